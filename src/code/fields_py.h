// Python-side readers shared by the code-retrieval functions: corpora walks,
// lookups whose errors propagate, and str values read as UTF-8.
#pragma once

#include "module/frame.h"
#include "text/unicode.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kv::code {

// An interned str key, created once per call.
inline Ref key_object(const char* s) {
    return check(PyUnicode_InternFromString(s));
}

// dict[key] as a strong reference, null when absent; a raising lookup
// (a stored key's __eq__) propagates.
inline Ref lookup(PyObject* dict, PyObject* key) {
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(dict, key, &value) < 0) throw PyErrorSet{};
    return Ref::steal(value);
}

// The UTF-8 text of a str value; empty for a missing value, a non-str, or a
// str that has no UTF-8 form (the encoding error is discarded).
inline std::string_view str_value(PyObject* v) {
    if (!v || !PyUnicode_Check(v)) return {};
    if (PyUnicode_IS_COMPACT_ASCII(v))  // the usual name: its bytes are its UTF-8
        return {static_cast<const char*>(PyUnicode_DATA(v)),
                static_cast<std::size_t>(PyUnicode_GET_LENGTH(v))};
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(v, &n);
    if (!s) {
        PyErr_Clear();
        return {};
    }
    return {s, static_cast<std::size_t>(n)};
}
inline std::string_view str_value(const Ref& v) {
    return str_value(v.get());
}

// Calls read(text) with the UTF-8 text of dict[key] (as str_value gives it)
// straight after the lookup, before anything can run Python code, so the
// value needs no reference of its own: a cold str is only read, never
// written. A raising lookup propagates.
template <class Read>
void read_text(PyObject* dict, PyObject* key, Read&& read) {
    PyObject* v = PyDict_GetItemWithError(dict, key);  // borrowed, used at once
    if (!v && PyErr_Occurred()) throw PyErrorSet{};
    read(str_value(v));
}

// list[i] as a strong reference that must be an instance of the kind tested
// by `ok`; otherwise the element TypeError naming `target`.
template <class Check>
Ref typed_item(PyObject* list, Py_ssize_t i, Check ok, const char* target) {
    Ref item = Ref::steal(PyList_GetItemRef(list, i));
    if (!item) throw PyErrorSet{};
    if (!ok(item.get())) {
        set_conversion_error(item.get(), target);
        throw PyErrorSet{};
    }
    return item;
}

// Memory hints for the chunks ahead of position j in a corpus of large,
// cache-cold dicts: the dict object a few steps ahead, then its key table.
// Only pointers held by the list right now are read, before any Python code
// can run, so every object touched is alive; a prefetch itself never faults.
inline void prefetch_ahead(PyObject* list, Py_ssize_t j) {
    constexpr Py_ssize_t kFar = 8, kNear = 4;
    const Py_ssize_t n = PyList_GET_SIZE(list);
    if (j + kFar < n) __builtin_prefetch(PyList_GET_ITEM(list, j + kFar));
    if (j + kNear < n) {
        PyObject* near = PyList_GET_ITEM(list, j + kNear);
        if (PyDict_CheckExact(near)) {
            const char* keys =
                reinterpret_cast<const char*>(reinterpret_cast<PyDictObject*>(near)->ma_keys);
            __builtin_prefetch(keys);
            __builtin_prefetch(keys + 64);
            __builtin_prefetch(keys + 128);
        }
    }
}

// Memory hints for walks over large corpora whose chunk dicts, metadata dicts
// and name strings are cache-cold: the chunk a few steps ahead, then its key
// table, its "metadata" dict, that dict's key table and finally the values
// of the names to be read, each stage nearer to the chunk being processed so
// that each can read what the stage before brought in.
//
// The dicts ahead are searched for the very key objects (identity) through
// PyDict_Next, which never runs Python code; a pointer found this way is
// used at once, within the same step, and only as a hint, so a dict changed
// by Python code between steps costs no more than a wasted hint. The entry
// where a key was found last is tried first.
class ChunkPrefetcher {
  public:
    ChunkPrefetcher(PyObject* metadata_key, PyObject* name_key_a, PyObject* name_key_b)
        : metadata_key_(metadata_key), name_keys_{name_key_a, name_key_b} {}

    void ahead(PyObject* list, Py_ssize_t j) {
        const Py_ssize_t n = PyList_GET_SIZE(list);
        if (j + kChunk < n) __builtin_prefetch(PyList_GET_ITEM(list, j + kChunk));
        if (j + kChunkKeys < n) prefetch_keys(PyList_GET_ITEM(list, j + kChunkKeys), 2);
        if (j + kMeta < n) {
            // Not read here (its type is not known yet): it is what comes in.
            if (PyObject* meta =
                    find(PyList_GET_ITEM(list, j + kMeta), metadata_key_, metadata_guess_))
                __builtin_prefetch(meta);
        }
        if (j + kMetaKeys < n) {
            if (PyObject* meta = metadata_of(PyList_GET_ITEM(list, j + kMetaKeys)))
                prefetch_keys(meta, 3);
        }
        if (j + kNames < n) {
            if (PyObject* meta = metadata_of(PyList_GET_ITEM(list, j + kNames))) {
                for (int i = 0; i < 2; ++i) {
                    if (PyObject* v = find(meta, name_keys_[i], name_guess_[i])) {
                        // A str's text follows its 40-byte header.
                        __builtin_prefetch(v);
                        __builtin_prefetch(reinterpret_cast<const char*>(v) + 64);
                    }
                }
            }
        }
    }

  private:
    static constexpr Py_ssize_t kChunk = 10, kChunkKeys = 8, kMeta = 6, kMetaKeys = 4, kNames = 2;
    static constexpr Py_ssize_t kScanLimit = 16;  // larger dicts are only guessed at

    static void prefetch_keys(PyObject* dict, int lines) {
        if (!PyDict_Check(dict)) return;
        const char* keys =
            reinterpret_cast<const char*>(reinterpret_cast<PyDictObject*>(dict)->ma_keys);
        for (int i = 0; i < lines; ++i) __builtin_prefetch(keys + 64 * i);
    }

    PyObject* metadata_of(PyObject* chunk) {
        PyObject* meta = find(chunk, metadata_key_, metadata_guess_);
        return meta && PyDict_Check(meta) ? meta : nullptr;
    }

    // The value stored under the key object itself, or null; borrowed.
    static PyObject* find(PyObject* dict, PyObject* key, Py_ssize_t& guess) {
        if (!PyDict_Check(dict)) return nullptr;
        PyObject* k = nullptr;
        PyObject* v = nullptr;
        Py_ssize_t pos = guess;
        if (PyDict_Next(dict, &pos, &k, &v) && k == key) return v;
        if (PyDict_GET_SIZE(dict) > kScanLimit) return nullptr;
        pos = 0;
        for (Py_ssize_t at = 0; PyDict_Next(dict, &pos, &k, &v); at = pos) {
            if (k == key) {
                guess = at;
                return v;
            }
        }
        return nullptr;
    }

    PyObject* metadata_key_;
    PyObject* name_keys_[2];
    Py_ssize_t metadata_guess_ = 0;
    Py_ssize_t name_guess_[2] = {0, 0};
};

// Calls f(position, chunk) for every chunk of every corpus, in order; corpora
// must be lists and chunks dicts. Sizes are re-read at every step because a
// callback into Python may change the lists. A prefetcher's hints replace the
// generic ones in corpora too large to stay in cache; in smaller ones they
// would only cost their own work.
template <class F>
void for_each_chunk(PyObject* corpora, F&& f, ChunkPrefetcher* prefetcher = nullptr) {
    constexpr Py_ssize_t kColdCorpus = 16384;  // chunks
    uint64_t position = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(corpora); ++i) {
        Ref corpus = typed_item(
            corpora, i, [](PyObject* o) { return PyList_Check(o) != 0; }, "PyList");
        ChunkPrefetcher* hints =
            PyList_GET_SIZE(corpus.get()) >= kColdCorpus ? prefetcher : nullptr;
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(corpus.get()); ++j) {
            if (hints)
                hints->ahead(corpus.get(), j);
            else
                prefetch_ahead(corpus.get(), j);
            Ref chunk = typed_item(
                corpus.get(), j, [](PyObject* o) { return PyDict_Check(o) != 0; }, "PyDict");
            f(position, chunk.get());
            ++position;
        }
    }
}

// The "metadata" dict of a chunk: null when absent, the element TypeError
// when it is not a dict.
inline Ref chunk_metadata(PyObject* chunk, PyObject* metadata_key) {
    Ref meta = lookup(chunk, metadata_key);
    if (meta && !PyDict_Check(meta.get())) {
        set_conversion_error(meta.get(), "PyDict");
        throw PyErrorSet{};
    }
    return meta;
}

// Query tokens for the symbol searches: str items of at least 3 UTF-8 bytes,
// lowercased, in order, duplicates kept. A str without a UTF-8 form (lone
// surrogates) cannot equal or lie inside any name, which are read as UTF-8;
// it is counted in *unmatchable instead.
inline std::vector<std::string> symbol_query_tokens(PyObject* list, bool* unmatchable = nullptr) {
    std::vector<std::string> tokens;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        Ref item = Ref::steal(PyList_GetItemRef(list, i));
        if (!item) throw PyErrorSet{};
        if (!PyUnicode_Check(item.get())) continue;
        std::string_view s = str_value(item);
        if (s.size() >= 3)
            tokens.push_back(text::to_lower(s));
        else if (s.empty() && unmatchable && PyUnicode_GET_LENGTH(item.get()) > 0)
            *unmatchable = true;
    }
    return tokens;
}

}  // namespace kv::code
