"""Graph, embedding, sentence-index and sentence-meta codecs."""

import struct

import msgpack
import pytest

import kelvo_native as kn

MAP_CODECS = [
    (kn.encode_entity_graph, kn.decode_entity_graph, "graph"),
    (kn.encode_relation_graph, kn.decode_relation_graph, "graph"),
    (kn.encode_entity_embeddings, kn.decode_entity_embeddings, "embeddings"),
]
MAP_DECODERS = [d for _, d, _ in MAP_CODECS]


def entity_graph():
    return {
        "alice": {"description": "a person", "type": "PERSON", "chunk_ids": ["d1", "d2"],
                  "frequency": 2, "degree": 0},
        "acme corp": {"description": "", "type": "UNKNOWN", "chunk_ids": ["d3"],
                      "frequency": 1, "degree": 3, "extra": {"aliases": ["acme"], "w": 0.25}},
    }


def relation_graph():
    return {"alice": [{"target": "acme corp", "relation": "WORKS_AT", "weight": 1.5,
                       "chunk_ids": ["d1"], "support_count": 1}]}


# ---- text signatures and docstrings --------------------------------------

@pytest.mark.parametrize("name,signature,doc", [
    ("encode_entity_graph", "(graph)", "Encode entity graph dict to msgpack bytes."),
    ("decode_entity_graph", "(data)", "Decode msgpack bytes to entity graph dict.\n"
     "Returns None on malformed input so Python can fall back to JSON."),
    ("encode_relation_graph", "(graph)", "Encode relation graph dict to msgpack bytes."),
    ("decode_relation_graph", "(data)", "Decode msgpack bytes to relation graph dict.\n"
     "Returns None on malformed input so Python can fall back to JSON."),
    ("encode_entity_embeddings", "(embeddings)",
     "Encode entity embeddings dict (str \u2192 list[float]) to msgpack bytes."),
    ("decode_entity_embeddings", "(data)", "Decode msgpack bytes to entity embeddings dict.\n"
     "Returns None on malformed input."),
    ("encode_sentence_index", "(records, chunk_to_sentences)",
     "Encode SentenceWindowIndex data to msgpack bytes.\n\n"
     "`records`             \u2014 dict[str, dict]   (sentence_id \u2192 record dict)\n"
     "`chunk_to_sentences`  \u2014 dict[str, list[str]]"),
    ("decode_sentence_index", "(data)",
     "Decode msgpack bytes \u2192 `(records: PyDict, chunk_to_sentences: PyDict)`.\n"
     "Returns `None` on error."),
    ("encode_sentence_meta", "(ids, meta)",
     "Encode SentenceVectorStore meta to msgpack bytes.\n\n`ids`  \u2014 list[str]\n"
     "`meta` \u2014 list[dict]"),
    ("decode_sentence_meta", "(data)",
     "Decode msgpack bytes \u2192 `(ids: list[str], meta: list[dict])`.\nReturns `None` on error."),
    ("build_dedup_corpus_payload", "(corpus)",
     'Build a deduplicated corpus payload from a list of {"id", "text", "metadata"} dicts.\n\n'
     "Returns (texts: list[str], docs: list[dict]) where each doc has:\n"
     '  "id": str, "t": int (index into texts), "metadata": dict\n\n'
     "This is the native equivalent of BM25Retriever._build_dedup_corpus_payload()."),
    ("encode_corpus_msgpack", "(texts, docs)",
     "Encode BM25 corpus to MessagePack bytes.\n\n"
     "Layout: fixarray[3] \u2192 [version: u8=2, texts: array<str>, "
     "docs: array<fixarray[3]=[id,t,metadata]>]\n\n"
     "`texts` \u2014 deduplicated text pool (list of str)\n"
     '`docs`  \u2014 list of {"id": str, "t": int, "metadata": dict}'),
    ("decode_corpus_msgpack", "(data)",
     'Decode MessagePack corpus bytes back to a flat list of {"id","text","metadata"} dicts.\n'
     "Returns `None` on malformed input (Python falls back to JSON path)."),
    ("decode_corpus_json", "(data)",
     "Decode a BM25 corpus JSON payload (raw bytes) into a flat list of\n"
     '{"id", "text", "metadata"} Python dicts.\n\nAccepts both:\n'
     '  - dedup_v1 format: {"format": "dedup_v1", "texts": [...], "docs": [...]}\n'
     '  - legacy format: list of {"id", "text", "metadata"} dicts\n\n'
     "Returns `None` on unrecognised/malformed input so Python can fall back."),
])
def test_signature_and_docstring(name, signature, doc):
    fn = getattr(kn, name)
    assert fn.__text_signature__ == signature
    assert fn.__doc__ == doc


def test_registration_order_of_the_codecs():
    codecs = [
        "decode_corpus_json", "encode_corpus_msgpack", "decode_corpus_msgpack",
        "encode_sentence_index", "decode_sentence_index", "encode_sentence_meta",
        "decode_sentence_meta", "encode_entity_graph", "decode_entity_graph",
        "encode_relation_graph", "decode_relation_graph", "encode_entity_embeddings",
        "decode_entity_embeddings", "build_dedup_corpus_payload"]
    assert [n for n in kn.__all__ if n in codecs] == codecs


# ---- graph and embedding codecs ----------------------------------------------

@pytest.mark.parametrize("encode,decode,param", MAP_CODECS)
def test_map_codecs_round_trip(encode, decode, param):
    for doc in (entity_graph(), relation_graph(), {"e": [0.1, -2.5e-300, 1e300, 0.0]}):
        data = encode(doc)
        assert data == msgpack.packb(doc)
        out = decode(data)
        assert out == doc and list(out) == list(doc)
    assert encode({}) == b"\x80"
    assert decode(b"\x80") == {}


def test_map_decoders_are_interchangeable():
    data = [enc(entity_graph()) for enc, _, _ in MAP_CODECS]
    assert data[0] == data[1] == data[2]
    for decode in MAP_DECODERS:
        assert decode(data[0]) == entity_graph()


def test_embeddings_come_back_bit_for_bit():
    vec = [struct.unpack(">d", struct.pack(">Q", bits))[0]
           for bits in (1, 0x3FB999999999999A, 0x7FEFFFFFFFFFFFFF, 0x8000000000000000)]
    out = kn.decode_entity_embeddings(kn.encode_entity_embeddings({"x": vec}))
    assert [struct.pack(">d", v) for v in out["x"]] == [struct.pack(">d", v) for v in vec]
    assert all(type(v) is float for v in out["x"])


@pytest.mark.parametrize("decode", MAP_DECODERS)
@pytest.mark.parametrize("hexbytes", ["", "90", "c1", "c0", "a161", "01", "81", "81a161",
                                      "8fa161"])
def test_map_decoders_none_cases(decode, hexbytes):
    assert decode(bytes.fromhex(hexbytes)) is None


@pytest.mark.parametrize("decode", MAP_DECODERS)
def test_map_decoder_details(decode):
    assert decode(b"\x81\xa1a\xc1") == {"a": None}
    data = kn.encode_entity_graph(entity_graph())
    assert decode(data + b"\x00\xc1") == entity_graph()
    assert decode(b"\x81\xa1k" * 1023 + b"\x80") is not None
    assert decode(b"\x81\xa1k" * 1024 + b"\x80") is None


@pytest.mark.parametrize("encode,decode,param", MAP_CODECS)
def test_map_codec_argument_errors(encode, decode, param):
    with pytest.raises(TypeError, match=rf"^argument '{param}': 'list' object cannot be "
                                        r"converted to 'PyDict'$"):
        encode([])
    for bad in (bytearray(b"\x80"), memoryview(b"\x80"), "x", None):
        with pytest.raises(TypeError, match=r"^argument 'data': '\w+' object cannot be "
                                            r"converted to 'PyBytes'$"):
            decode(bad)


def test_map_encoders_accept_subclasses():
    class D(dict):
        pass

    class B(bytes):
        pass

    assert kn.encode_entity_graph(D(a=1)) == b"\x81\xa1a\x01"
    assert kn.decode_entity_graph(B(b"\x81\xa1a\x01")) == {"a": 1}


# ---- sentence index and meta ---------------------------------------------------

def test_sentence_bytes_and_round_trip():
    assert kn.encode_sentence_index({}, {}) == bytes.fromhex("93018080")
    assert kn.encode_sentence_meta([], []) == bytes.fromhex("93019090")
    records = {"c1:0": {"text": "One.", "chunk_id": "c1", "position": 0, "window": [0, 2]},
               "c1:1": {"text": "Two.", "chunk_id": "c1", "position": 1, "score": 0.5}}
    chunks = {"c1": ["c1:0", "c1:1"]}
    data = kn.encode_sentence_index(records, chunks)
    assert data == msgpack.packb([1, records, chunks])
    assert kn.decode_sentence_index(data) == (records, chunks)
    meta_data = kn.encode_sentence_meta(["a", "b"], [{}])
    assert kn.decode_sentence_meta(meta_data) == (["a", "b"], [{}])


@pytest.mark.parametrize("hexbytes,index,meta", [
    ("93018080", ({}, {}), None),
    ("93019090", None, ([], [])),
    ("93028080", ({}, {}), None),
    ("93a1788080", ({}, {}), None),
    ("93c18080", ({}, {}), None),
    ("9391c08080", ({}, {}), None),        # a container as version
    ("9301809000", None, None),            # wrong kinds mixed; trailing byte ignored
    ("9401808080", None, None),            # four elements
    ("920180", None, None),                # two elements
    ("8101", None, None),                  # a map
    ("930180", None, None),                # truncated
    ("9301", None, None),
    ("", None, None),
    ("9301c080", None, None),              # nil is not a dict
    ("930180c1", None, None),
])
def test_sentence_decoders(hexbytes, index, meta):
    data = bytes.fromhex(hexbytes)
    assert kn.decode_sentence_index(data) == index
    assert kn.decode_sentence_meta(data) == meta


def test_sentence_decoders_nesting_limit():
    # root array (1) holds the payload at level 2
    ok = b"\x93\x01" + b"\x81\xa1k" * 1022 + b"\x80" + b"\x80"
    assert kn.decode_sentence_index(ok) is not None
    deep = b"\x93\x01" + b"\x81\xa1k" * 1023 + b"\x80" + b"\x80"
    assert kn.decode_sentence_index(deep) is None
    version_too_deep = b"\x93" + b"\x91" * 1023 + b"\x90" + b"\x80\x80"
    assert kn.decode_sentence_index(version_too_deep) is None


def test_sentence_conversion_errors_propagate():
    unhashable = b"\x93\x01\x81\x90\x01\x80"
    with pytest.raises(TypeError, match="unhashable"):
        kn.decode_sentence_index(unhashable)
    # the second payload is converted even when the first has the wrong kind
    with pytest.raises(TypeError, match="unhashable"):
        kn.decode_sentence_meta(b"\x93\x01\x80\x91\x81\x90\x01")
    assert kn.decode_sentence_index(unhashable[:-1]) is None


def test_sentence_argument_errors():
    with pytest.raises(TypeError, match=r"^argument 'ids': 'tuple' object cannot be "
                                        r"converted to 'PyList'$"):
        kn.encode_sentence_meta(("a",), [])
    with pytest.raises(TypeError, match=r"^argument 'meta': 'dict' object"):
        kn.encode_sentence_meta([], {})
    with pytest.raises(TypeError, match=r"^argument 'records': 'list' object cannot be "
                                        r"converted to 'PyDict'$"):
        kn.encode_sentence_index([], [])
    with pytest.raises(TypeError, match=r"^argument 'chunk_to_sentences': 'list' object"):
        kn.encode_sentence_index({}, [])
    with pytest.raises(TypeError, match=r"^argument 'data': 'bytearray' object"):
        kn.decode_sentence_meta(bytearray(b"\x93\x01\x90\x90"))


def test_sentence_encoders_stop_at_the_first_failing_payload():
    class Bad:
        def __str__(self):
            raise ValueError("first")

    class Worse:
        def __str__(self):
            raise KeyError("second")

    with pytest.raises(ValueError, match="first"):
        kn.encode_sentence_meta([Bad()], [Worse()])
    lst = []
    lst.append(lst)
    with pytest.raises(RecursionError):
        kn.encode_sentence_meta(lst, [])
