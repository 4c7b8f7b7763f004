#include "module/msgpack.h"

#include <limits>

namespace kv::msgpack {

void Writer::ensure(std::size_t extra) {
    if (extra > std::numeric_limits<std::size_t>::max() / 2 - len_) throw std::bad_alloc();
    std::size_t want = len_ + extra;
    std::size_t cap = cap_ ? cap_ : 256;
    while (cap < want) cap *= 2;
    if (storage_) {
        buf_ = storage_->resize(cap);
    } else {
        void* p = std::realloc(buf_, cap);
        if (!p) throw std::bad_alloc();
        buf_ = static_cast<uint8_t*>(p);
    }
    cap_ = cap;
}

uint64_t Writer::checked32(std::size_t n, const char* what) {
    if (n > 0xffffffffu)
        throw WriteError{std::string(what) + " of " + std::to_string(n) +
                         " items is too long for MessagePack (at most 4294967295)"};
    return n;
}

void Writer::ext(int8_t type, std::string_view s) {
    const std::size_t n = s.size();
    const uint8_t t = static_cast<uint8_t>(type);
    switch (n) {
        case 1:
            put1(0xd4);
            break;
        case 2:
            put1(0xd5);
            break;
        case 4:
            put1(0xd6);
            break;
        case 8:
            put1(0xd7);
            break;
        case 16:
            put1(0xd8);
            break;
        default:
            if (n < 256) {
                uint8_t* p = grow(2);
                p[0] = 0xc7;
                p[1] = static_cast<uint8_t>(n);
            } else if (n < 65536) {
                put_be(0xc8, n, 2);
            } else {
                put_be(0xc9, checked32(n, "extension"), 4);
            }
    }
    put1(t);
    raw(s);
}

void Writer::rewrite_array_header(std::size_t at, std::size_t announced, std::size_t actual) {
    auto header_size = [](std::size_t n) -> std::size_t { return n < 16 ? 1 : n < 65536 ? 3 : 5; };
    const std::size_t old_size = header_size(announced);
    const std::size_t new_size = header_size(actual);
    if (new_size != old_size) {
        const std::size_t tail = len_ - at - old_size;
        if (new_size > old_size)
            grow(new_size - old_size);
        else
            len_ -= old_size - new_size;
        std::memmove(buf_ + at + new_size, buf_ + at + old_size, tail);
    }
    // Write the new header in place.
    const std::size_t keep = len_;
    len_ = at;
    array_header(actual);
    len_ = keep;
}

bool Reader::next_slow(Token& t) noexcept {
    const uint8_t* at;
    if (!take(1, at)) return false;
    const uint8_t b = *at;
    uint64_t v = 0;
    if (b <= 0x7f) {
        t.kind = Kind::UInt;
        t.u = b;
        return true;
    }
    if (b >= 0xe0) {
        t.kind = Kind::Int;
        t.i = static_cast<int8_t>(b);
        return true;
    }
    if (b <= 0x8f) return container(Kind::Map, b & 0x0f, t);
    if (b <= 0x9f) return container(Kind::Array, b & 0x0f, t);
    if (b <= 0xbf) {
        t.kind = Kind::Str;
        return payload(b & 0x1f, t);
    }
    // Signed forms holding a non-negative number read as unsigned integers.
    auto signed_value = [&](int64_t s) {
        if (s >= 0) {
            t.kind = Kind::UInt;
            t.u = static_cast<uint64_t>(s);
        } else {
            t.kind = Kind::Int;
            t.i = s;
        }
        return true;
    };
    auto ext_with = [&](std::size_t n) {
        const uint8_t* type;
        if (!take(1, type)) return false;
        t.kind = Kind::Ext;
        t.ext_type = static_cast<int8_t>(*type);
        return payload(n, t);
    };
    switch (b) {
        case 0xc0:
        case 0xc1:  // reserved: read as nil
            t.kind = Kind::Nil;
            return true;
        case 0xc2:
        case 0xc3:
            t.kind = Kind::Bool;
            t.boolean = b == 0xc3;
            return true;
        case 0xc4:
        case 0xc5:
        case 0xc6:
            if (!be(1 << (b - 0xc4), v)) return false;
            t.kind = Kind::Bin;
            return payload(v, t);
        case 0xc7:
        case 0xc8:
        case 0xc9:
            if (!be(1 << (b - 0xc7), v)) return false;
            return ext_with(v);
        case 0xca: {
            if (!be(4, v)) return false;
            uint32_t bits = static_cast<uint32_t>(v);
            float f;
            std::memcpy(&f, &bits, 4);
            t.kind = Kind::F32;
            t.d = f;
            return true;
        }
        case 0xcb:
            if (!be(8, v)) return false;
            t.kind = Kind::F64;
            std::memcpy(&t.d, &v, 8);
            return true;
        case 0xcc:
        case 0xcd:
        case 0xce:
        case 0xcf:
            if (!be(1 << (b - 0xcc), v)) return false;
            t.kind = Kind::UInt;
            t.u = v;
            return true;
        case 0xd0:
            if (!be(1, v)) return false;
            return signed_value(static_cast<int8_t>(v));
        case 0xd1:
            if (!be(2, v)) return false;
            return signed_value(static_cast<int16_t>(v));
        case 0xd2:
            if (!be(4, v)) return false;
            return signed_value(static_cast<int32_t>(v));
        case 0xd3:
            if (!be(8, v)) return false;
            return signed_value(static_cast<int64_t>(v));
        case 0xd4:
        case 0xd5:
        case 0xd6:
        case 0xd7:
        case 0xd8:
            return ext_with(std::size_t{1} << (b - 0xd4));
        case 0xd9:
        case 0xda:
        case 0xdb:
            if (!be(1 << (b - 0xd9), v)) return false;
            t.kind = Kind::Str;
            return payload(v, t);
        case 0xdc:
        case 0xdd:
            if (!be(b == 0xdc ? 2 : 4, v)) return false;
            return container(Kind::Array, v, t);
        case 0xde:
        case 0xdf:
            if (!be(b == 0xde ? 2 : 4, v)) return false;
            return container(Kind::Map, v, t);
        default:
            return false;  // not reached: every byte value is handled above
    }
}

bool Reader::skip(int level) noexcept {
    if (level > kMaxDepth) return false;
    Token t;
    return next(t) && skip_children(t, level);
}

bool Reader::skip_children(const Token& t, int level) noexcept {
    uint64_t n = 0;
    if (t.kind == Kind::Array)
        n = t.u;
    else if (t.kind == Kind::Map)
        n = 2 * t.u;
    for (uint64_t i = 0; i < n; ++i)
        if (!skip(level + 1)) return false;
    return true;
}

bool valid_value(std::string_view data) noexcept {
    Reader r(data.data(), data.size());
    return r.skip(1);
}

}  // namespace kv::msgpack
