#include "module/primitives.h"

#include <openssl/evp.h>

#include <cmath>
#include <stdexcept>

namespace kv::primitives {

double cosine_similarity(std::span<const double> a, std::span<const double> b) {
    const std::size_t n = a.size() < b.size() ? a.size() : b.size();
    if (n == 0) return 0.0;
    double dot = 0.0, na = 0.0, nb = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        dot += a[i] * b[i];
        na += a[i] * a[i];
        nb += b[i] * b[i];
    }
    const double denom = std::sqrt(na) * std::sqrt(nb);
    if (denom < 1e-12) return 0.0;
    return dot / denom;
}

void to_hex(const unsigned char* bytes, std::size_t n, char* out) {
    static constexpr char kDigits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < n; ++i) {
        out[2 * i] = kDigits[bytes[i] >> 4];
        out[2 * i + 1] = kDigits[bytes[i] & 0x0F];
    }
}

std::string to_hex(const unsigned char* bytes, std::size_t n) {
    std::string out(n * 2, '0');
    to_hex(bytes, n, out.data());
    return out;
}

namespace {

// The digest implementations are fetched once: the implicit fetch that
// EVP_md5() and EVP_sha256() cause on every use costs more than hashing a
// short text.
const EVP_MD* fetched(const char* name, const EVP_MD* legacy) {
    EVP_MD* md = EVP_MD_fetch(nullptr, name, nullptr);
    return md ? md : legacy;
}

// One digest context per thread, reset for each digest.
struct DigestContext {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    ~DigestContext() { EVP_MD_CTX_free(ctx); }
};

std::string digest_hex(const EVP_MD* md, std::string_view data) {
    thread_local DigestContext holder;
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!holder.ctx || !EVP_DigestInit_ex(holder.ctx, md, nullptr) ||
        !EVP_DigestUpdate(holder.ctx, data.data(), data.size()) ||
        !EVP_DigestFinal_ex(holder.ctx, out, &len))
        throw std::runtime_error("digest computation failed");
    return to_hex(out, len);
}

}  // namespace

std::string md5_hex(std::string_view data) {
    static const EVP_MD* const md = fetched("MD5", EVP_md5());
    return digest_hex(md, data);
}
std::string sha256_hex(std::string_view data) {
    static const EVP_MD* const md = fetched("SHA256", EVP_sha256());
    return digest_hex(md, data);
}

}  // namespace kv::primitives
