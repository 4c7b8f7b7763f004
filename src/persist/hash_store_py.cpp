// save_hash_store_binary, load_hash_store_binary, probe_hash_store.
#include "module/frame.h"
#include "module/primitives.h"
#include "persist/hash_store.h"

#include <vector>

namespace {

using namespace kv;
using persist::StoreStatus;

// Raises the Python exception for a failed store operation.
[[noreturn]] void raise_status(const StoreStatus& s) {
    switch (s.kind) {
        case StoreStatus::Kind::Os:
            PyErr_SetString(PyExc_OSError, persist::os_error_message(s.code).c_str());
            break;
        case StoreStatus::Kind::NulInPath:
            PyErr_SetString(PyExc_OSError, "file name contained an unexpected NUL byte");
            break;
        case StoreStatus::Kind::InvalidFormat:
            PyErr_SetString(PyExc_ValueError, "invalid hash store binary format");
            break;
        case StoreStatus::Kind::Truncated:
            PyErr_SetString(PyExc_ValueError, "truncated hash store binary file");
            break;
        case StoreStatus::Kind::TooMany:
            PyErr_SetString(PyExc_ValueError,
                            "too many hashes for a hash store (at most 4294967295)");
            break;
        case StoreStatus::Kind::Ok:
            fault("hash store reported success as an error");
    }
    throw PyErrorSet{};
}

PyObject* save_hash_store_binary(Text path, TextList hashes) {
    std::vector<persist::Digest> digests;
    digests.reserve(hashes.items.size());
    for (std::string_view h : hashes.items) {
        persist::Digest d;
        if (persist::parse_hex_digest(h, d)) digests.push_back(d);
    }
    StoreStatus s = persist::save_hash_store(path.view, digests);
    if (!s.ok()) raise_status(s);
    Py_RETURN_NONE;
}

PyObject* load_hash_store_binary(Text path) {
    std::string raw;
    std::uint32_t count = 0;
    StoreStatus s = persist::load_hash_store(path.view, raw, count);
    if (!s.ok()) raise_status(s);

    Ref list = check(PyList_New(static_cast<Py_ssize_t>(count)));
    const auto* p = reinterpret_cast<const unsigned char*>(raw.data()) + 8;
    for (std::uint32_t i = 0; i < count; ++i, p += 16) {
        // An ASCII str filled in place.
        PyObject* str = PyUnicode_New(32, 127);
        if (!str) throw PyErrorSet{};
        primitives::to_hex(p, 16, static_cast<char*>(PyUnicode_DATA(str)));
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), str);
    }
    return list.release();
}

PyObject* probe_hash_store(Text path, Text hash_hex) {
    persist::Digest target;
    // An invalid digest is never in the store; the file is not even opened.
    if (!persist::parse_hex_digest(hash_hex.view, target)) Py_RETURN_FALSE;
    std::optional<bool> found = persist::probe_hash_store(path.view, target);
    if (!found) Py_RETURN_NONE;
    return PyBool_FromLong(*found);
}

}  // namespace

KV_FUNCTION(save_hash_store_binary, "save_hash_store_binary(path, hashes)",
            "Write MD5 hex hashes to a binary file.\n"
            "\n"
            "Binary layout:\n"
            "  bytes 0\u20133   magic  b\"KVH1\"\n"
            "  bytes 4\u20137   count  uint32 little-endian\n"
            "  bytes 8+    N\u00d716   raw MD5 bytes, sorted lexicographically");

KV_FUNCTION(load_hash_store_binary, "load_hash_store_binary(path)",
            "Load binary hash store; returns list of hex strings (for Python set compat).");

KV_FUNCTION(probe_hash_store, "probe_hash_store(path, hash_hex)",
            "Probe binary hash store for membership without loading all hashes into Python.\n"
            "\n"
            "Opens the file via mmap and binary-searches for `hash_hex`.\n"
            "Returns `True` if found, `False` if not found, `None` if file is missing\n"
            "or unreadable (Python falls back).");
