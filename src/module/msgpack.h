// Byte-level MessagePack: a writer that always picks the smallest form, and a
// bounds-checked token reader with a nesting limit.
//
// The reader is written by hand rather than taken from a library because the
// stored documents need two rules that general-purpose readers do not follow:
// the reserved byte 0xc1 reads as nil (exactly like 0xc0) instead of being an
// error, and nesting is limited to 1024 levels counting every value, scalars
// included (the outermost value is level 1; any value at level 1025 fails).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

namespace kv::msgpack {

// The deepest level at which a value may be read (the outermost value is level 1).
inline constexpr int kMaxDepth = 1024;

// Raised by the writer for a value MessagePack cannot represent (a string,
// binary or container whose length does not fit 32 bits).
struct WriteError {
    std::string message;
};

// Where a Writer keeps its bytes: resize(n) returns a buffer of at least n
// bytes that holds the bytes written so far (or throws).
class Storage {
  public:
    virtual uint8_t* resize(std::size_t capacity) = 0;

  protected:
    ~Storage() = default;
};

// A growable byte buffer with the MessagePack writing rules. By default it
// keeps its bytes in memory of its own; given a Storage, in the caller's.
class Writer {
  public:
    Writer() = default;
    explicit Writer(Storage* storage) : storage_(storage) {}
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;
    ~Writer() {
        if (!storage_) std::free(buf_);
    }

    const char* data() const noexcept { return reinterpret_cast<const char*>(buf_); }
    std::size_t size() const noexcept { return len_; }
    void reserve(std::size_t n) { ensure(n); }

    void nil() { put1(0xc0); }
    void boolean(bool b) { put1(b ? 0xc3 : 0xc2); }
    void uint(uint64_t v) {
        if (v < 128) {
            put1(static_cast<uint8_t>(v));
        } else if (v < 256) {
            uint8_t* p = grow(2);
            p[0] = 0xcc;
            p[1] = static_cast<uint8_t>(v);
        } else if (v < 65536) {
            put_be(0xcd, v, 2);
        } else if (v <= 0xffffffffu) {
            put_be(0xce, v, 4);
        } else {
            put_be(0xcf, v, 8);
        }
    }
    void sint(int64_t v) {
        if (v >= 0) return uint(static_cast<uint64_t>(v));
        if (v >= -32) {
            put1(static_cast<uint8_t>(v));
        } else if (v >= -128) {
            uint8_t* p = grow(2);
            p[0] = 0xd0;
            p[1] = static_cast<uint8_t>(v);
        } else if (v >= -32768) {
            put_be(0xd1, static_cast<uint64_t>(v), 2);
        } else if (v >= INT32_MIN) {
            put_be(0xd2, static_cast<uint64_t>(v), 4);
        } else {
            put_be(0xd3, static_cast<uint64_t>(v), 8);
        }
    }
    void f64(double d) {
        uint64_t bits;
        std::memcpy(&bits, &d, 8);
        put_be(0xcb, bits, 8);
    }
    void f32(float f) {
        uint32_t bits;
        std::memcpy(&bits, &f, 4);
        put_be(0xca, bits, 4);
    }
    void str_header(std::size_t n) {
        if (n < 32) {
            put1(static_cast<uint8_t>(0xa0 | n));
        } else if (n < 256) {
            uint8_t* p = grow(2);
            p[0] = 0xd9;
            p[1] = static_cast<uint8_t>(n);
        } else if (n < 65536) {
            put_be(0xda, n, 2);
        } else {
            put_be(0xdb, checked32(n, "string"), 4);
        }
    }
    void str(std::string_view s) {
        str_header(s.size());
        raw(s);
    }
    void bin(std::string_view s) {
        const std::size_t n = s.size();
        if (n < 256) {
            uint8_t* p = grow(2);
            p[0] = 0xc4;
            p[1] = static_cast<uint8_t>(n);
        } else if (n < 65536) {
            put_be(0xc5, n, 2);
        } else {
            put_be(0xc6, checked32(n, "binary"), 4);
        }
        raw(s);
    }
    void ext(int8_t type, std::string_view s);
    void array_header(std::size_t n) {
        if (n < 16)
            put1(static_cast<uint8_t>(0x90 | n));
        else if (n < 65536)
            put_be(0xdc, n, 2);
        else
            put_be(0xdd, checked32(n, "array"), 4);
    }
    void map_header(std::size_t n) {
        if (n < 16)
            put1(static_cast<uint8_t>(0x80 | n));
        else if (n < 65536)
            put_be(0xde, n, 2);
        else
            put_be(0xdf, checked32(n, "map"), 4);
    }
    // Replaces the array header written at `at` for `announced` elements by
    // the header for `actual` elements, moving what follows if its size changes.
    void rewrite_array_header(std::size_t at, std::size_t announced, std::size_t actual);

    void raw(std::string_view s) {
        if (s.empty()) return;
        std::memcpy(grow(s.size()), s.data(), s.size());
    }

    // Writable room for n more bytes; the caller fills all of them.
    uint8_t* grow(std::size_t n) {
        if (cap_ - len_ < n) ensure(n);
        uint8_t* p = buf_ + len_;
        len_ += n;
        return p;
    }

  private:
    void put1(uint8_t b) { *grow(1) = b; }
    void put_be(uint8_t marker, uint64_t v, int bytes) {
        uint8_t* p = grow(1 + static_cast<std::size_t>(bytes));
        p[0] = marker;
        switch (bytes) {
            case 2: {
                const uint16_t be = __builtin_bswap16(static_cast<uint16_t>(v));
                std::memcpy(p + 1, &be, 2);
                break;
            }
            case 4: {
                const uint32_t be = __builtin_bswap32(static_cast<uint32_t>(v));
                std::memcpy(p + 1, &be, 4);
                break;
            }
            default: {
                const uint64_t be = __builtin_bswap64(v);
                std::memcpy(p + 1, &be, 8);
            }
        }
    }
    static uint64_t checked32(std::size_t n, const char* what);
    void ensure(std::size_t extra);

    Storage* storage_ = nullptr;
    uint8_t* buf_ = nullptr;
    std::size_t len_ = 0;
    std::size_t cap_ = 0;
};

// One item of the stream: a scalar, the header of a container, or a
// string/binary/extension with its payload.
enum class Kind : uint8_t { Nil, Bool, UInt, Int, F32, F64, Str, Bin, Array, Map, Ext };

struct Token {
    Kind kind = Kind::Nil;
    bool boolean = false;
    int8_t ext_type = 0;
    uint64_t u = 0;          // UInt value; Array/Map count
    int64_t i = 0;           // Int value (always negative)
    double d = 0;            // F64 value, or the F32 value widened exactly
    std::string_view bytes;  // Str, Bin, Ext payload
};

// Reads tokens from a byte range. Every length is checked against the bytes
// that are actually there; a container count is refused when even one byte
// per element (two per map pair) would run past the end, so counts read from
// the data are safe to size an allocation with.
class Reader {
  public:
    Reader(const char* data, std::size_t size) noexcept
        : p_(reinterpret_cast<const uint8_t*>(data)),
          end_(reinterpret_cast<const uint8_t*>(data) + size),
          begin_(p_) {}

    // Reads the next token; false when the data ends inside it.
    bool next(Token& t) noexcept {
        // The most frequent forms inline; everything else out of line.
        if (p_ == end_) return false;
        const uint8_t b = *p_;
        if (b <= 0x7f) {
            ++p_;
            t.kind = Kind::UInt;
            t.u = b;
            return true;
        }
        if ((b & 0xe0) == 0xa0) {
            ++p_;
            t.kind = Kind::Str;
            return payload(b & 0x1f, t);
        }
        if (b == 0xcb && end_ - p_ >= 9) {
            uint64_t be;
            std::memcpy(&be, p_ + 1, 8);
            be = __builtin_bswap64(be);
            std::memcpy(&t.d, &be, 8);
            t.kind = Kind::F64;
            p_ += 9;
            return true;
        }
        return next_slow(t);
    }
    // Skips one complete value whose level is `level`; false on truncation
    // or when the nesting limit is passed.
    bool skip(int level) noexcept;
    // Skips the elements of the container whose header `t` was just read at
    // `level` (nothing for other tokens).
    bool skip_children(const Token& t, int level) noexcept;

    std::size_t offset() const noexcept { return static_cast<std::size_t>(p_ - begin_); }
    std::size_t remaining() const noexcept { return static_cast<std::size_t>(end_ - p_); }

  private:
    bool next_slow(Token& t) noexcept;
    bool take(std::size_t n, const uint8_t*& at) noexcept {
        if (static_cast<std::size_t>(end_ - p_) < n) return false;
        at = p_;
        p_ += n;
        return true;
    }
    bool be(int bytes, uint64_t& v) noexcept {
        const uint8_t* at;
        if (!take(static_cast<std::size_t>(bytes), at)) return false;
        v = 0;
        for (int i = 0; i < bytes; ++i) v = (v << 8) | at[i];
        return true;
    }
    bool payload(std::size_t n, Token& t) noexcept {
        const uint8_t* at;
        if (!take(n, at)) return false;
        t.bytes = {reinterpret_cast<const char*>(at), n};
        return true;
    }
    bool container(Kind kind, uint64_t n, Token& t) noexcept {
        // Every element takes at least one byte.
        const uint64_t per = kind == Kind::Map ? 2 : 1;
        if (n > remaining() / per) return false;
        t.kind = kind;
        t.u = n;
        return true;
    }

    const uint8_t* p_;
    const uint8_t* end_;
    const uint8_t* begin_;
};

// True when `data` starts with one complete value within the nesting limit.
bool valid_value(std::string_view data) noexcept;

}  // namespace kv::msgpack
