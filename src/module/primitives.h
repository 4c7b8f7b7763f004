// Stateless primitives: cosine similarity and hex digests.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace kv::primitives {

// Cosine of the first min(len a, len b) elements; 0.0 for empty or near-zero norms.
double cosine_similarity(std::span<const double> a, std::span<const double> b);

// Lower-case hex digests of the bytes of `data`.
std::string md5_hex(std::string_view data);
std::string sha256_hex(std::string_view data);

// Lower-case hex of raw bytes.
std::string to_hex(const unsigned char* bytes, std::size_t n);
// The same into out[0 .. 2n).
void to_hex(const unsigned char* bytes, std::size_t n, char* out);

}  // namespace kv::primitives
