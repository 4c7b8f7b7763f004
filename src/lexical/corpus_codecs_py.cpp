// build_dedup_corpus_payload, encode_corpus_msgpack, decode_corpus_msgpack,
// decode_corpus_json: the de-duplicated corpus payload and its stored forms.
#include "lexical/text_pool.h"
#include "module/dict_fields.h"
#include "module/frame.h"
#include "module/json_value.h"
#include "module/list_items.h"
#include "module/pyvalues.h"
#include "module/value_bridge.h"

#include <vector>

namespace {

using namespace kv;

// The format version written first in the MessagePack payload.
constexpr uint64_t kCorpusVersion = 2;

Ref intern(const char* s) {
    return check(PyUnicode_InternFromString(s));
}

Ref empty_str() {
    return check(PyUnicode_New(0, 0));
}

// A value under `key` (null when absent); a failing lookup raises.
Ref lookup(PyObject* dict, PyObject* key) {
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(dict, key, &value) < 0) throw PyErrorSet{};
    return Ref::steal(value);
}

// An exact str holding the text that get_str_from_dict read: the stored
// object itself when it is an exact str, else a new one.
Ref exact_str(const Ref& holder, std::string_view text) {
    // An empty text from a non-empty str means the str could not be read
    // (lone surrogates).
    if (holder && PyUnicode_CheckExact(holder.get()) &&
        (!text.empty() || PyUnicode_GET_LENGTH(holder.get()) == 0))
        return holder;
    return make_str(text);
}

// The keys of a decoded chunk dict, made once per call.
struct ChunkKeys {
    Ref id = intern("id");
    Ref text = intern("text");
    Ref metadata = intern("metadata");

    Ref chunk(PyObject* id_value, PyObject* text_value, PyObject* metadata_value) const {
        Ref d = check(PyDict_New());
        set_item(d.get(), id.get(), id_value);
        set_item(d.get(), text.get(), text_value);
        set_item(d.get(), metadata.get(), metadata_value);
        return d;
    }
};

// ---- build_dedup_corpus_payload ---------------------------------------------

PyObject* build_dedup_corpus_payload(ListArg corpus) {
    Ref id_key = intern("id");
    Ref text_key = intern("text");
    Ref metadata_key = intern("metadata");
    Ref t_key = intern("t");
    Ref texts = check(PyList_New(0));
    Ref docs = check(PyList_New(0));
    lexical::TextPool pool;
    pool.reserve(static_cast<std::size_t>(PyList_GET_SIZE(corpus.obj)));
    // The new doc dicts only refer to objects that already exist: nothing
    // built here can form a cycle, so collections meanwhile are wasted work.
    GcPause pause;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(corpus.obj); ++i) {
        Ref chunk = dict_element(corpus.obj, i);
        Ref text_holder;
        std::string_view text = get_str_from_dict(chunk.get(), text_key.get(), text_holder);
        Ref text_obj = exact_str(text_holder, text);
        // Equal texts are equal exact str objects, so their str hashes agree
        // (and are cached in the objects, so a repeated run pays nothing).
        Py_hash_t hash = PyObject_Hash(text_obj.get());
        if (hash == -1) throw PyErrorSet{};
        std::string_view pooled;
        if (!text_from_py(text_obj.get(), pooled)) throw PyErrorSet{};
        auto [position, added] = pool.intern(pooled, static_cast<uint64_t>(hash));
        // A new text's view points into text_obj, which the pool list keeps alive.
        if (added) check_status(PyList_Append(texts.get(), text_obj.get()));

        Ref id_holder;
        std::string_view id = get_str_from_dict(chunk.get(), id_key.get(), id_holder);
        Ref id_obj = exact_str(id_holder, id);

        PyObject* raw = nullptr;
        int found = PyDict_GetItemRef(chunk.get(), metadata_key.get(), &raw);
        Ref metadata = Ref::steal(raw);
        if (found < 0) PyErr_Clear();
        if (found <= 0) metadata = check(PyDict_New());

        Ref doc = check(PyDict_New());
        set_item(doc.get(), id_key.get(), id_obj.get());
        Ref t = make_uint(position);
        set_item(doc.get(), t_key.get(), t.get());
        set_item(doc.get(), metadata_key.get(), metadata.get());
        check_status(PyList_Append(docs.get(), doc.get()));
    }
    return PyTuple_Pack(2, texts.get(), docs.get());
}

// ---- encode_corpus_msgpack --------------------------------------------------

// Writes a str's UTF-8 content, or the empty string for anything else
// (including a str holding lone surrogates).
void write_text_or_empty(msgpack::Writer& w, PyObject* obj) {
    std::string_view text;
    if (obj && PyUnicode_Check(obj)) {
        if (text_from_py(obj, text)) return w.str(text);
        PyErr_Clear();
    }
    w.str({});
}

PyObject* encode_corpus_msgpack(ListArg texts, ListArg docs) {
    Ref id_key = intern("id");
    Ref t_key = intern("t");
    Ref metadata_key = intern("metadata");
    return encode_to_bytes([&](msgpack::Writer& w) {
        w.array_header(3);
        w.uint(kCorpusVersion);
        // Text elements are only type-checked: no Python code runs here.
        const Py_ssize_t n_texts = PyList_GET_SIZE(texts.obj);
        w.array_header(static_cast<std::size_t>(n_texts));
        for (Py_ssize_t i = 0; i < n_texts; ++i)
            write_text_or_empty(w, PyList_GET_ITEM(texts.obj, i));

        const std::size_t announced = static_cast<std::size_t>(PyList_GET_SIZE(docs.obj));
        const std::size_t header_at = w.size();
        w.array_header(announced);
        std::size_t count = 0;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(docs.obj); ++i, ++count) {
            Ref doc = dict_element(docs.obj, i);
            Ref id = lookup(doc.get(), id_key.get());
            Ref t = lookup(doc.get(), t_key.get());
            uint64_t position = 0;
            if (t && !frame::count_from_py(t.get(), position)) {
                PyErr_Clear();
                position = 0;
            }
            Ref metadata = lookup(doc.get(), metadata_key.get());
            w.array_header(3);
            write_text_or_empty(w, id.get());
            w.uint(position);
            // Root, docs array and record hold the metadata at level 4.
            if (metadata)
                pyobject_to_msgpack(w, metadata.get(), 4);
            else
                w.nil();
        }
        if (count != announced) w.rewrite_array_header(header_at, announced, count);
    });
}

// ---- decode_corpus_msgpack --------------------------------------------------

PyObject* decode_corpus_msgpack(Bytes data) {
    return decode_or_none(data.view, [&]() -> PyObject* {
        using msgpack::Kind;
        MsgpackToPy in(data.view);
        msgpack::Token root, version, texts, docs;
        in.next(root);
        if (root.kind != Kind::Array || root.u != 3) Py_RETURN_NONE;
        in.next(version);
        if (version.kind != Kind::UInt || version.u != kCorpusVersion) Py_RETURN_NONE;
        in.next(texts);
        if (texts.kind != Kind::Array) Py_RETURN_NONE;
        // Pool entries stay bytes until a record uses them.
        std::vector<std::string_view> pool;
        pool.reserve(texts.u);
        for (uint64_t i = 0; i < texts.u; ++i) {
            msgpack::Token t;
            in.next(t);
            if (t.kind == Kind::Str) {
                pool.push_back(t.bytes);
            } else {
                in.skip_children(t, 3);
                pool.emplace_back();
            }
        }
        in.next(docs);
        if (docs.kind != Kind::Array) Py_RETURN_NONE;

        ChunkKeys keys;
        Ref empty = empty_str();
        std::vector<Ref> pool_objs(pool.size());
        Ref out = check(PyList_New(static_cast<Py_ssize_t>(docs.u)));
        for (uint64_t i = 0; i < docs.u; ++i) {
            msgpack::Token record, id, t;
            in.next(record);
            if (record.kind != Kind::Array || record.u != 3) Py_RETURN_NONE;
            in.next(id);
            if (id.kind != Kind::Str) Py_RETURN_NONE;
            Ref id_obj = str_or_empty(id.bytes);
            in.next(t);
            uint64_t position;
            if (t.kind == Kind::UInt)
                position = t.u;
            else if (t.kind == Kind::Int)
                position = 0;
            else
                Py_RETURN_NONE;
            Ref text = empty;
            if (position < pool.size()) {
                Ref& cached = pool_objs[position];
                if (!cached) cached = str_or_empty(pool[position]);
                text = cached;
            }
            Ref metadata = in.value(4);
            Ref chunk = keys.chunk(id_obj.get(), text.get(), metadata.get());
            PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), chunk.release());
        }
        return out.release();
    });
}

// ---- decode_corpus_json -----------------------------------------------------

Ref json_str(std::string_view s) {
    return check(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr));
}

// The members of one chunk object that the decoder reads (last one wins).
struct ChunkMembers {
    bool has_id = false, has_text = false, has_metadata = false, has_t = false;
    json::Element id, text, metadata, t;

    explicit ChunkMembers(json::Object obj) {
        for (auto field : obj) {
            const std::string_view k = field.key;
            if (k == "id") {
                id = field.value;
                has_id = true;
            } else if (k == "text") {
                text = field.value;
                has_text = true;
            } else if (k == "metadata") {
                metadata = field.value;
                has_metadata = true;
            } else if (k == "t") {
                t = field.value;
                has_t = true;
            }
        }
    }
};

Ref string_member_or(bool present, json::Element value, const Ref& fallback) {
    if (present && value.is_string()) return json_str(value.get_string().value_unsafe());
    return fallback;
}

Ref metadata_of(const ChunkMembers& m, JsonToPy& conv) {
    if (m.has_metadata) return conv.convert(m.metadata);
    return check(PyDict_New());
}

PyObject* decode_legacy(json::Array chunks, JsonToPy& conv) {
    ChunkKeys keys;
    Ref empty = empty_str();
    Ref out = check(PyList_New(static_cast<Py_ssize_t>(json::array_length(chunks))));
    Py_ssize_t i = 0;
    for (json::Element element : chunks) {
        Ref chunk;
        if (element.is_object()) {
            ChunkMembers m(element.get_object().value_unsafe());
            Ref id = string_member_or(m.has_id, m.id, empty);
            Ref text = string_member_or(m.has_text, m.text, empty);
            Ref metadata = metadata_of(m, conv);
            chunk = keys.chunk(id.get(), text.get(), metadata.get());
        } else {
            Ref metadata = check(PyDict_New());
            chunk = keys.chunk(empty.get(), empty.get(), metadata.get());
        }
        PyList_SET_ITEM(out.get(), i++, chunk.release());
    }
    return out.release();
}

PyObject* decode_dedup_v1(json::Object root, JsonToPy& conv) {
    json::Element format, texts_value, docs_value;
    if (!json::find_member(root, "format", format) || !format.is_string() ||
        format.get_string().value_unsafe() != "dedup_v1")
        Py_RETURN_NONE;
    if (!json::find_member(root, "texts", texts_value) || !texts_value.is_array()) Py_RETURN_NONE;
    if (!json::find_member(root, "docs", docs_value) || !docs_value.is_array()) Py_RETURN_NONE;
    json::Array docs = docs_value.get_array().value_unsafe();
    json::Array texts = texts_value.get_array().value_unsafe();

    // The pool's strings, made in document order (null for non-strings).
    std::vector<Ref> pool;
    pool.reserve(json::array_length(texts));
    for (json::Element text : texts) {
        std::string_view s;
        pool.push_back(text.get_string().get(s) ? Ref{} : json_str(s));
    }

    ChunkKeys keys;
    Ref empty = empty_str();
    Ref out = check(PyList_New(static_cast<Py_ssize_t>(json::array_length(docs))));
    Py_ssize_t i = 0;
    for (json::Element element : docs) {
        if (!element.is_object()) Py_RETURN_NONE;
        ChunkMembers m(element.get_object().value_unsafe());
        // t: a non-negative integer literal (1.0 or 1e0 are doubles and fail).
        if (!m.has_t) Py_RETURN_NONE;
        uint64_t position;
        if (m.t.type() == simdjson::dom::element_type::UINT64)
            position = m.t.get_uint64().value_unsafe();
        else if (m.t.type() == simdjson::dom::element_type::INT64 &&
                 m.t.get_int64().value_unsafe() >= 0)
            position = static_cast<uint64_t>(m.t.get_int64().value_unsafe());
        else
            Py_RETURN_NONE;
        if (position >= pool.size() || !pool[position]) Py_RETURN_NONE;
        const Ref& text = pool[position];
        Ref id = string_member_or(m.has_id, m.id, empty);
        Ref metadata = metadata_of(m, conv);
        Ref chunk = keys.chunk(id.get(), text.get(), metadata.get());
        PyList_SET_ITEM(out.get(), i++, chunk.release());
    }
    return out.release();
}

PyObject* decode_corpus_json(Bytes data) {
    GcPause pause;
    json::Document doc;
    if (!doc.parse(data.view)) Py_RETURN_NONE;
    JsonToPy conv;
    json::Element root = doc.root();
    if (root.is_array()) return decode_legacy(root.get_array().value_unsafe(), conv);
    if (root.is_object()) return decode_dedup_v1(root.get_object().value_unsafe(), conv);
    Py_RETURN_NONE;
}

}  // namespace

KV_FUNCTION(decode_corpus_json, "decode_corpus_json(data)",
            "Decode a BM25 corpus JSON payload (raw bytes) into a flat list of\n"
            "{\"id\", \"text\", \"metadata\"} Python dicts.\n"
            "\n"
            "Accepts both:\n"
            "  - dedup_v1 format: {\"format\": \"dedup_v1\", \"texts\": [...], \"docs\": [...]}\n"
            "  - legacy format: list of {\"id\", \"text\", \"metadata\"} dicts\n"
            "\n"
            "Returns `None` on unrecognised/malformed input so Python can fall back.");

KV_FUNCTION(encode_corpus_msgpack, "encode_corpus_msgpack(texts, docs)",
            "Encode BM25 corpus to MessagePack bytes.\n"
            "\n"
            "Layout: fixarray[3] \u2192 [version: u8=2, texts: array<str>, "
            "docs: array<fixarray[3]=[id,t,metadata]>]\n"
            "\n"
            "`texts` \u2014 deduplicated text pool (list of str)\n"
            "`docs`  \u2014 list of {\"id\": str, \"t\": int, \"metadata\": dict}");

KV_FUNCTION(decode_corpus_msgpack, "decode_corpus_msgpack(data)",
            "Decode MessagePack corpus bytes back to a flat list of "
            "{\"id\",\"text\",\"metadata\"} dicts.\n"
            "Returns `None` on malformed input (Python falls back to JSON path).");

KV_FUNCTION(build_dedup_corpus_payload, "build_dedup_corpus_payload(corpus)",
            "Build a deduplicated corpus payload from a list of {\"id\", \"text\", "
            "\"metadata\"} dicts.\n"
            "\n"
            "Returns (texts: list[str], docs: list[dict]) where each doc has:\n"
            "  \"id\": str, \"t\": int (index into texts), \"metadata\": dict\n"
            "\n"
            "This is the native equivalent of BM25Retriever._build_dedup_corpus_payload().");
