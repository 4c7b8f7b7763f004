// encode/decode_sentence_index, encode/decode_sentence_meta: a three-element
// MessagePack array [version 1, first payload, second payload].
#include "module/frame.h"
#include "module/value_bridge.h"

namespace {

using namespace kv;

constexpr uint64_t kSentenceVersion = 1;

PyObject* encode_pair(PyObject* first, PyObject* second) {
    return encode_to_bytes([&](msgpack::Writer& w) {
        w.array_header(3);
        w.uint(kSentenceVersion);
        pyobject_to_msgpack(w, first, 2);
        pyobject_to_msgpack(w, second, 2);
    });
}

// The two payloads as a tuple when both pass `accept`, else None. The
// version element is read but not inspected.
template <class Accept>
PyObject* decode_pair(std::string_view data, Accept accept) {
    return decode_or_none(data, [&]() -> PyObject* {
        MsgpackToPy in(data);
        msgpack::Token root;
        in.next(root);
        if (root.kind != msgpack::Kind::Array || root.u != 3) Py_RETURN_NONE;
        in.skip(2);
        Ref first = in.value(2);
        Ref second = in.value(2);
        if (!accept(first.get()) || !accept(second.get())) Py_RETURN_NONE;
        return PyTuple_Pack(2, first.get(), second.get());
    });
}

PyObject* encode_sentence_index(DictArg records, DictArg chunk_to_sentences) {
    return encode_pair(records.obj, chunk_to_sentences.obj);
}

PyObject* decode_sentence_index(Bytes data) {
    return decode_pair(data.view, [](PyObject* o) { return PyDict_CheckExact(o); });
}

PyObject* encode_sentence_meta(ListArg ids, ListArg meta) {
    return encode_pair(ids.obj, meta.obj);
}

PyObject* decode_sentence_meta(Bytes data) {
    return decode_pair(data.view, [](PyObject* o) { return PyList_CheckExact(o); });
}

}  // namespace

KV_FUNCTION(encode_sentence_index, "encode_sentence_index(records, chunk_to_sentences)",
            "Encode SentenceWindowIndex data to msgpack bytes.\n"
            "\n"
            "`records`             \u2014 dict[str, dict]   (sentence_id \u2192 record dict)\n"
            "`chunk_to_sentences`  \u2014 dict[str, list[str]]");
KV_FUNCTION(decode_sentence_index, "decode_sentence_index(data)",
            "Decode msgpack bytes \u2192 `(records: PyDict, chunk_to_sentences: PyDict)`.\n"
            "Returns `None` on error.");
KV_FUNCTION(encode_sentence_meta, "encode_sentence_meta(ids, meta)",
            "Encode SentenceVectorStore meta to msgpack bytes.\n"
            "\n"
            "`ids`  \u2014 list[str]\n"
            "`meta` \u2014 list[dict]");
KV_FUNCTION(decode_sentence_meta, "decode_sentence_meta(data)",
            "Decode msgpack bytes \u2192 `(ids: list[str], meta: list[dict])`.\n"
            "Returns `None` on error.");
