// encode/decode_entity_graph, encode/decode_relation_graph,
// encode/decode_entity_embeddings: one MessagePack map per document.
#include "module/frame.h"
#include "module/value_bridge.h"

namespace {

using namespace kv;

PyObject* encode_map_document(PyObject* dict) {
    return encode_to_bytes([&](msgpack::Writer& w) { pyobject_to_msgpack(w, dict, 1); });
}

// The dict stored at the start of `data`; None when the bytes do not start
// with a readable value or the value is not a map. Trailing bytes are ignored.
PyObject* decode_map_document(std::string_view data) {
    return decode_or_none(data, [&]() -> PyObject* {
        MsgpackToPy in(data);
        Ref value = in.value(1);
        if (!PyDict_CheckExact(value.get())) Py_RETURN_NONE;
        return value.release();
    });
}

PyObject* encode_entity_graph(DictArg graph) {
    return encode_map_document(graph.obj);
}
PyObject* decode_entity_graph(Bytes data) {
    return decode_map_document(data.view);
}
PyObject* encode_relation_graph(DictArg graph) {
    return encode_map_document(graph.obj);
}
PyObject* decode_relation_graph(Bytes data) {
    return decode_map_document(data.view);
}
PyObject* encode_entity_embeddings(DictArg embeddings) {
    return encode_map_document(embeddings.obj);
}
PyObject* decode_entity_embeddings(Bytes data) {
    return decode_map_document(data.view);
}

}  // namespace

KV_FUNCTION(encode_entity_graph, "encode_entity_graph(graph)",
            "Encode entity graph dict to msgpack bytes.");
KV_FUNCTION(decode_entity_graph, "decode_entity_graph(data)",
            "Decode msgpack bytes to entity graph dict.\n"
            "Returns None on malformed input so Python can fall back to JSON.");
KV_FUNCTION(encode_relation_graph, "encode_relation_graph(graph)",
            "Encode relation graph dict to msgpack bytes.");
KV_FUNCTION(decode_relation_graph, "decode_relation_graph(data)",
            "Decode msgpack bytes to relation graph dict.\n"
            "Returns None on malformed input so Python can fall back to JSON.");
KV_FUNCTION(encode_entity_embeddings, "encode_entity_embeddings(embeddings)",
            "Encode entity embeddings dict (str \u2192 list[float]) to msgpack bytes.");
KV_FUNCTION(decode_entity_embeddings, "decode_entity_embeddings(data)",
            "Decode msgpack bytes to entity embeddings dict.\n"
            "Returns None on malformed input.");
