// Python objects to MessagePack and back.
#include "module/frame.h"
#include "module/list_items.h"
#include "module/value_bridge.h"

#include <cstring>
#include <utility>

namespace kv {

// ---- shared str cache -------------------------------------------------------

namespace {

constexpr std::size_t kCacheSlots = 1024;

// A cheap slot hash of a short key: its length and its first and last eight
// bytes. A collision only costs a cache miss.
uint64_t hash_bytes(std::string_view s) noexcept {
    uint64_t head = 0, tail = 0;
    if (s.size() >= 8) {
        std::memcpy(&head, s.data(), 8);
        std::memcpy(&tail, s.data() + s.size() - 8, 8);
    } else {
        std::memcpy(&head, s.data(), s.size());
    }
    uint64_t h = (head * 0x9E3779B97F4A7C15ull) ^ (tail + s.size()) * 0xC2B2AE3D27D4EB4Full;
    return h ^ (h >> 29);
}

}  // namespace

StrCache::StrCache() = default;

StrCache::~StrCache() {
    for (Slot& s : slots_) Py_XDECREF(s.obj);
}

PyObject* StrCache::get(std::string_view s) {
    if (s.size() > kMaxKeyBytes)
        return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
    if (slots_.empty()) slots_.resize(kCacheSlots);
    Slot& slot = slots_[hash_bytes(s) & (kCacheSlots - 1)];
    if (slot.obj && slot.size == s.size() && std::memcmp(slot.data, s.data(), s.size()) == 0)
        return Py_NewRef(slot.obj);
    PyObject* obj = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
    if (!obj) return nullptr;
    // Keys are hashed on insertion anyway; hashing here lets every later use
    // of the cached object skip it.
    if (PyObject_Hash(obj) == -1) {
        Py_DECREF(obj);
        return nullptr;
    }
    Py_XDECREF(slot.obj);
    slot = {s.data(), s.size(), Py_NewRef(obj)};
    return obj;
}

Ref str_or_empty(std::string_view bytes) {
    PyObject* s =
        PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), nullptr);
    if (s) return Ref::steal(s);
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw PyErrorSet{};
    PyErr_Clear();
    return check(PyUnicode_New(0, 0));
}

// ---- Python object -> MessagePack -----------------------------------------

uint8_t* BytesStorage::resize(std::size_t capacity) {
    if (capacity > static_cast<std::size_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
    const auto n = static_cast<Py_ssize_t>(capacity);
    if (!bytes_) {
        bytes_ = PyBytes_FromStringAndSize(nullptr, n);
        if (!bytes_) throw PyErrorSet{};
    } else if (_PyBytes_Resize(&bytes_, n) < 0) {
        throw PyErrorSet{};  // bytes_ was released and set to null
    }
    return reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(bytes_));
}

PyObject* BytesStorage::finish(std::size_t size) {
    if (!bytes_) return PyBytes_FromStringAndSize(nullptr, 0);
    if (_PyBytes_Resize(&bytes_, static_cast<Py_ssize_t>(size)) < 0) throw PyErrorSet{};
    return std::exchange(bytes_, nullptr);
}

namespace {

[[noreturn]] void too_deep() {
    PyErr_SetString(PyExc_RecursionError,
                    "maximum nesting depth exceeded while encoding MessagePack "
                    "(at most 1024 levels)");
    throw PyErrorSet{};
}

// Writes str content as UTF-8 with every lone surrogate replaced by three
// U+FFFD characters (one per byte of the surrogate's UTF-8 form).
void write_str_lossy(msgpack::Writer& w, PyObject* s) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    std::string out;
    out.reserve(static_cast<std::size_t>(n) * 3);
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xc0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
        } else if (c >= 0xd800 && c <= 0xdfff) {
            out.append("\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd");
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xe0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3f)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
        } else {
            out.push_back(static_cast<char>(0xf0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3f)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3f)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
        }
    }
    w.str(out);
}

// Writes the UTF-8 content of a str, or returns false (no error pending) when
// it holds lone surrogates.
bool write_str_utf8(msgpack::Writer& w, PyObject* s) {
    if (PyUnicode_IS_ASCII(s)) {
        w.str({static_cast<const char*>(PyUnicode_DATA(s)),
               static_cast<std::size_t>(PyUnicode_GET_LENGTH(s))});
        return true;
    }
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s, &n);
    if (!p) {
        PyErr_Clear();
        return false;
    }
    w.str({p, static_cast<std::size_t>(n)});
    return true;
}

class Encoder {
  public:
    explicit Encoder(msgpack::Writer& w) : w_(w) {}

    void write(PyObject* obj, int level) {
        if (!write_simple(obj, level)) write_general(obj, level);
    }

  private:
    // Objects of the exact built-in scalar types, whose conversion runs no
    // Python code; false for everything else (nothing written).
    bool write_simple(PyObject* o, int level) {
        PyTypeObject* t = Py_TYPE(o);
        if (t == &PyFloat_Type) {
            if (level > msgpack::kMaxDepth) too_deep();
            w_.f64(PyFloat_AS_DOUBLE(o));
            return true;
        }
        if (t == &PyUnicode_Type) {
            if (level > msgpack::kMaxDepth) too_deep();
            if (!write_str_utf8(w_, o)) write_str_lossy(w_, o);
            return true;
        }
        if (t == &PyLong_Type) {
            if (level > msgpack::kMaxDepth) too_deep();
            write_exact_int(o);
            return true;
        }
        if (o == Py_None) {
            if (level > msgpack::kMaxDepth) too_deep();
            w_.nil();
            return true;
        }
        if (t == &PyBool_Type) {
            if (level > msgpack::kMaxDepth) too_deep();
            w_.boolean(o == Py_True);
            return true;
        }
        return false;
    }

    void write_exact_int(PyObject* o) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (!overflow) {
            if (v == -1 && PyErr_Occurred()) throw PyErrorSet{};
            w_.sint(v);
            return;
        }
        double d = PyLong_AsDouble(o);
        if (!(d == -1.0 && PyErr_Occurred())) {
            w_.f64(d);
            return;
        }
        PyErr_Clear();
        // Beyond the double range: stored as its decimal text.
        Ref text = check(PyObject_Str(o));
        write_str_lossy(w_, text.get());
    }

    void write_general(PyObject* o, int level) {
        if (level > msgpack::kMaxDepth) too_deep();
        PyTypeObject* t = Py_TYPE(o);
        if (t == &PyList_Type) return write_list(o, level);
        if (t == &PyDict_Type) return write_dict(o, level);
        PyNumberMethods* nb = t->tp_as_number;
        // A NumPy boolean scalar: its truth value through the number protocol.
        if (nb && nb->nb_bool && is_numpy_bool_type(t)) {
            int truth = nb->nb_bool(o);
            if (truth >= 0) {
                w_.boolean(truth != 0);
                return;
            }
            PyErr_Clear();
        }
        const bool has_index = nb && nb->nb_index;
        if (PyLong_Check(o) || has_index) {
            long long v = PyLong_AsLongLong(o);
            if (!(v == -1 && PyErr_Occurred())) {
                w_.sint(v);
                return;
            }
            PyErr_Clear();
        }
        if (PyFloat_Check(o) || PyLong_Check(o) || has_index || (nb && nb->nb_float)) {
            double d = PyFloat_AsDouble(o);
            if (!(d == -1.0 && PyErr_Occurred())) {
                w_.f64(d);
                return;
            }
            PyErr_Clear();
        }
        if (PyUnicode_Check(o) && write_str_utf8(w_, o)) return;
        if (PyList_Check(o)) return write_list(o, level);
        if (PyDict_Check(o)) return write_dict(o, level);
        Ref text = check(PyObject_Str(o));
        if (!write_str_utf8(w_, text.get())) write_str_lossy(w_, text.get());
    }

    void write_list(PyObject* list, int level) {
        const std::size_t announced = static_cast<std::size_t>(PyList_GET_SIZE(list));
        const std::size_t at = w_.size();
        w_.array_header(announced);
        std::size_t count = 0;
        // The list is re-measured on every step: converting an element can
        // run Python code that changes it.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
            PyObject* item = PyList_GET_ITEM(list, i);
            if (!write_simple(item, level + 1)) {
                Ref hold = Ref::borrow(item);
                write_general(hold.get(), level + 1);
            }
            ++count;
        }
        if (count != announced) w_.rewrite_array_header(at, announced, count);
    }

    void write_dict(PyObject* dict, int level) {
        const Py_ssize_t size = PyDict_GET_SIZE(dict);
        w_.map_header(static_cast<std::size_t>(size));
        Py_ssize_t pos = 0, count = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(dict, &pos, &key, &value)) {
            if (count == size) fault("dict changed during MessagePack encoding");
            if (!write_simple(key, level + 1)) {
                Ref k = Ref::borrow(key);
                Ref v = Ref::borrow(value);
                write_general(k.get(), level + 1);
                write(v.get(), level + 1);
            } else if (!write_simple(value, level + 1)) {
                Ref v = Ref::borrow(value);
                write_general(v.get(), level + 1);
            }
            ++count;
            if (PyDict_GET_SIZE(dict) != size)
                fault("dict changed size during MessagePack encoding");
        }
        if (count != size) fault("dict changed during MessagePack encoding");
    }

    msgpack::Writer& w_;
};

}  // namespace

void pyobject_to_msgpack(msgpack::Writer& w, PyObject* obj, int level) {
    Encoder(w).write(obj, level);
}

// ---- MessagePack -> Python object -----------------------------------------

Ref MsgpackToPy::value(int level) {
    if (level > msgpack::kMaxDepth) throw ReadFailure{};
    msgpack::Token t;
    next(t);
    return from_token(t, level);
}

Ref MsgpackToPy::map_key(int level) {
    if (level > msgpack::kMaxDepth) throw ReadFailure{};
    msgpack::Token t;
    next(t);
    if (t.kind == msgpack::Kind::Str && t.bytes.size() <= StrCache::kMaxKeyBytes) {
        if (PyObject* k = keys_.get(t.bytes)) return Ref::steal(k);
        if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw PyErrorSet{};
        PyErr_Clear();
        return check(PyUnicode_New(0, 0));
    }
    return from_token(t, level);
}

Ref MsgpackToPy::from_token(const msgpack::Token& t, int level) {
    using msgpack::Kind;
    switch (t.kind) {
        case Kind::Nil:
        case Kind::Ext:
            return Ref::borrow(Py_None);
        case Kind::Bool:
            return Ref::borrow(t.boolean ? Py_True : Py_False);
        case Kind::UInt:
            return check(PyLong_FromUnsignedLongLong(t.u));
        case Kind::Int:
            return check(PyLong_FromLongLong(t.i));
        case Kind::F32:
        case Kind::F64:
            return check(PyFloat_FromDouble(t.d));
        case Kind::Str:
            return str_or_empty(t.bytes);
        case Kind::Bin:
            return check(
                PyBytes_FromStringAndSize(t.bytes.data(), static_cast<Py_ssize_t>(t.bytes.size())));
        case Kind::Array: {
            // The count was checked against the bytes present.
            Ref list = check(PyList_New(static_cast<Py_ssize_t>(t.u)));
            for (uint64_t i = 0; i < t.u; ++i) {
                Ref item = value(level + 1);
                PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
            }
            return list;
        }
        case Kind::Map: {
            Ref dict = check(PyDict_New());
            for (uint64_t i = 0; i < t.u; ++i) {
                Ref key = map_key(level + 1);
                Ref item = value(level + 1);
                check_status(PyDict_SetItem(dict.get(), key.get(), item.get()));
            }
            return dict;
        }
    }
    fault("unknown MessagePack token");
}

}  // namespace kv
