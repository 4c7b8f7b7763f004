// Conversions between Python objects and MessagePack bytes or parsed JSON
// values, shared by every encoder and decoder of stored payloads.
#pragma once

#include "module/msgpack.h"
#include "module/ref.h"

#include <cstdint>
#include <string_view>
#include <vector>

namespace kv {

// Short str objects (map keys) made once per call and shared. The byte views
// it is given must outlive the cache (they point into the call's input).
class StrCache {
  public:
    StrCache();
    ~StrCache();
    StrCache(const StrCache&) = delete;
    StrCache& operator=(const StrCache&) = delete;

    // A new reference to the str for valid UTF-8 `s`; null (with the Python
    // error set) when `s` is not valid UTF-8 or the str cannot be made.
    PyObject* get(std::string_view s);

    static constexpr std::size_t kMaxKeyBytes = 64;

  private:
    struct Slot {
        const char* data = nullptr;
        std::size_t size = 0;
        PyObject* obj = nullptr;
    };
    std::vector<Slot> slots_;
};

// A str from UTF-8 bytes that may be invalid: invalid bytes give the empty
// str (the stored string is kept but has no text). Throws PyErrorSet for
// other failures (memory).
Ref str_or_empty(std::string_view bytes);

// Keeps the cyclic garbage collector from running while a decoder builds a
// large tree of new containers (which cannot form cycles): otherwise every
// few thousand new lists and dicts trigger a collection that walks them all
// again. The collector's previous state is restored on exit.
class GcPause {
  public:
    GcPause() noexcept : was_enabled_(PyGC_Disable()) {}
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

  private:
    int was_enabled_;
};

// ---- Python object -> MessagePack -----------------------------------------

// Writes `obj` as one MessagePack value at nesting level `level` (the
// document's outermost value is level 1). Values deeper than the readers'
// limit raise RecursionError, so self-containing and absurdly deep containers
// fail cleanly and every written document can be read back.
void pyobject_to_msgpack(msgpack::Writer& w, PyObject* obj, int level);

// Runs `fill` on a fresh writer and returns its bytes as a new `bytes`
// object; a writer error becomes RuntimeError "msgpack encode: ...".
// Writer storage inside a bytes object, so the result needs no final copy.
class BytesStorage final : public msgpack::Storage {
  public:
    BytesStorage() = default;
    BytesStorage(const BytesStorage&) = delete;
    BytesStorage& operator=(const BytesStorage&) = delete;
    ~BytesStorage() { Py_XDECREF(bytes_); }

    uint8_t* resize(std::size_t capacity) override;
    // The bytes object cut to `size` bytes (a new reference).
    PyObject* finish(std::size_t size);

  private:
    PyObject* bytes_ = nullptr;
};

template <class F>
PyObject* encode_to_bytes(F&& fill) {
    BytesStorage storage;
    msgpack::Writer w(&storage);
    try {
        fill(w);
    } catch (const msgpack::WriteError& e) {
        PyErr_Format(PyExc_RuntimeError, "msgpack encode: %s", e.message.c_str());
        throw PyErrorSet{};
    }
    return storage.finish(w.size());
}

// ---- MessagePack -> Python object -----------------------------------------

// Thrown when the stored bytes are not a readable value (truncated, too deep).
struct ReadFailure {};

class MsgpackToPy {
  public:
    explicit MsgpackToPy(std::string_view data) : reader_(data.data(), data.size()) {}

    msgpack::Reader& reader() noexcept { return reader_; }

    // Reads the next token (ReadFailure when the data ends inside it).
    void next(msgpack::Token& t) {
        if (!reader_.next(t)) throw ReadFailure{};
    }
    // Skips one value at `level`.
    void skip(int level) {
        if (!reader_.skip(level)) throw ReadFailure{};
    }
    // Skips the elements of a container whose header `t` was read at `level`.
    void skip_children(const msgpack::Token& t, int level) {
        if (!reader_.skip_children(t, level)) throw ReadFailure{};
    }
    // Reads one value at `level` and converts it to a new Python object.
    Ref value(int level);
    // Converts the value whose first token `t` was just read at `level`.
    Ref from_token(const msgpack::Token& t, int level);

  private:
    Ref map_key(int level);

    msgpack::Reader reader_;
    StrCache keys_;
};

// Runs a decoder body over `data`. A ReadFailure gives None. A Python error
// raised while converting is passed on only when `data` does start with a
// complete readable value: unreadable bytes give None whatever was met first.
template <class F>
PyObject* decode_or_none(std::string_view data, F&& body) {
    GcPause pause;
    try {
        return body();
    } catch (const ReadFailure&) {
        Py_RETURN_NONE;
    } catch (const PyErrorSet&) {
        if (!msgpack::valid_value(data)) {
            PyErr_Clear();
            Py_RETURN_NONE;
        }
        throw;
    }
}

}  // namespace kv
