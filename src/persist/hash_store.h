// Binary hash store: a file of sorted 16-byte MD5 digests.
//
//   bytes 0-3   magic "KVH1"
//   bytes 4-7   N, uint32 little-endian
//   bytes 8+    N x 16 raw digests in ascending byte order (duplicates kept)
//
// Readers accept trailing bytes after the last digest.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kv::persist {

using Digest = std::array<unsigned char, 16>;

// Parses a hex digest: White_Space is trimmed, the rest must be 32 bytes made
// of 16 groups, each two hex digits or '+' followed by one hex digit.
bool parse_hex_digest(std::string_view s, Digest& out);

// Outcome of a file operation.
struct StoreStatus {
    enum class Kind {
        Ok,
        Os,             // errno in `code`
        NulInPath,      // the path holds a NUL byte
        InvalidFormat,  // under 8 bytes or wrong magic
        Truncated,      // fewer digests than the header claims
        TooMany,        // more digests than the count field can hold
    };
    Kind kind = Kind::Ok;
    int code = 0;

    bool ok() const { return kind == Kind::Ok; }
    static StoreStatus os(int e) { return {Kind::Os, e}; }
};

// The message of an OS error: the system's text, then " (os error N)".
std::string os_error_message(int code);

// Sorts the digests and writes the store to `path`. The new content goes to a
// temporary file in the same directory, which is flushed to disk and renamed
// over the target, so a failed or interrupted save leaves the old store as it
// was. An existing store keeps its permission bits; a new file gets 0666 less
// the umask. Targets that are not regular files (devices, pipes) are written
// in place.
StoreStatus save_hash_store(std::string_view path, std::vector<Digest>& digests);

// Reads the whole store. On success `raw` holds the file and `count` the
// number of digests, which start at raw.data() + 8.
StoreStatus load_hash_store(std::string_view path, std::string& raw, std::uint32_t& count);

// Binary search of the store for `target` without loading it: reads the header
// and the digests the search visits with positioned reads, so a file that
// shrinks under the probe reads short (nullopt) instead of faulting. nullopt
// when the file is missing, not a regular file, unreadable, too short or not a
// store.
std::optional<bool> probe_hash_store(std::string_view path, const Digest& target);

}  // namespace kv::persist
