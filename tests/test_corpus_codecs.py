"""build_dedup_corpus_payload, encode/decode_corpus_msgpack, decode_corpus_json."""

import json
import random

import msgpack
import orjson
import pytest
from hypothesis import given, settings, strategies as st

import kelvo_native as kn
from models import codecs as model


# ---- build_dedup_corpus_payload ---------------------------------------------

def test_dedup_payload_example_shares_metadata_objects():
    meta = {"k": 1}
    corpus = [{"id": "a", "text": "x"}, {"id": "b", "text": "x"},
              {"id": "c", "text": "y", "metadata": meta}]
    texts, docs = kn.build_dedup_corpus_payload(corpus)
    assert texts == ["x", "y"]
    assert docs == [{"id": "a", "t": 0, "metadata": {}}, {"id": "b", "t": 0, "metadata": {}},
                    {"id": "c", "t": 1, "metadata": {"k": 1}}]
    assert docs[2]["metadata"] is meta
    assert docs[0]["metadata"] is not docs[1]["metadata"]
    assert [list(d) for d in docs] == [["id", "t", "metadata"]] * 3


def test_dedup_payload_forgiving_fields():
    class Weird(str):
        pass

    corpus = [{"id": 1, "metadata": None}, {"text": 5}, {"id": Weird("w"), "text": Weird("x")},
              {"id": "s", "text": "a\ud800"}, {"id": "z", "text": "x", "metadata": [1]}]
    texts, docs = kn.build_dedup_corpus_payload(corpus)
    assert texts == ["", "x"]
    assert all(type(t) is str for t in texts)
    assert [d["t"] for d in docs] == [0, 0, 1, 0, 1]
    assert [d["id"] for d in docs] == ["", "", "w", "s", "z"]
    assert docs[0]["metadata"] is None
    assert docs[4]["metadata"] == [1]


def test_dedup_payload_failing_metadata_lookup_gives_empty_dict():
    class BadKey:
        def __hash__(self):
            return hash("metadata")

        def __eq__(self, other):
            raise RuntimeError("boom")

    chunk = {BadKey(): 1, "id": "a", "text": "x"}
    texts, docs = kn.build_dedup_corpus_payload([chunk])
    assert docs[0]["metadata"] == {}


def test_dedup_payload_errors():
    with pytest.raises(TypeError, match=r"^argument 'corpus': 'tuple' object cannot be "
                                        r"converted to 'PyList'$"):
        kn.build_dedup_corpus_payload(())
    with pytest.raises(TypeError, match=r"^'int' object cannot be converted to 'PyDict'$"):
        kn.build_dedup_corpus_payload([{"id": "a", "text": "x"}, 3])


corpus_strategy = st.lists(
    st.fixed_dictionaries(
        {"id": st.text(max_size=5) | st.integers()},
        optional={"text": st.sampled_from(["", "a", "b", "é", "a "]) | st.text(max_size=4),
                  "metadata": st.none() | st.dictionaries(st.text(max_size=3),
                                                            st.integers(-(2**63), 2**63 - 1))}),
    max_size=30)


@settings(max_examples=200, deadline=None)
@given(corpus_strategy)
def test_dedup_payload_matches_model(corpus):
    assert kn.build_dedup_corpus_payload(corpus) == model.build_dedup_corpus_payload(corpus)


# ---- encode_corpus_msgpack ----------------------------------------------------

@pytest.mark.parametrize("texts,docs,expected", [
    ([], [], "93029090"),
    (["x"], [{"id": "a", "t": 0}], "930291a1789193a16100c0"),
    (["x"], [{"id": "a", "t": -1}], "930291a1789193a16100c0"),
    (["x"], [{"id": "a", "t": 1.5}], "930291a1789193a16100c0"),
    (["x"], [{"id": "a", "t": "0"}], "930291a1789193a16100c0"),
    ([5, "a\ud800"], [{"id": 7, "t": 300, "metadata": {"k": 1}}],
     "930292a0a09193a0cd012c81a16b01"),
    ([], [{"t": 2**64 - 1, "metadata": None}], "9302909193a0cfffffffffffffffffc0"),
    ([], [{"t": 2**64, "metadata": (1,)}], "9302909193a000a4" + b"(1,)".hex()),
])
def test_encode_corpus_bytes(texts, docs, expected):
    assert kn.encode_corpus_msgpack(texts, docs).hex() == expected


def test_encode_corpus_sixteen_texts_use_array16():
    out = kn.encode_corpus_msgpack(["t"] * 16, [])
    assert out[:5] == b"\x93\x02\xdc\x00\x10"


def test_encode_corpus_errors():
    with pytest.raises(TypeError, match=r"^argument 'texts': 'tuple' object cannot be "
                                        r"converted to 'PyList'$"):
        kn.encode_corpus_msgpack((), ())
    with pytest.raises(TypeError, match=r"^argument 'docs': 'dict' object"):
        kn.encode_corpus_msgpack([], {})
    with pytest.raises(TypeError, match=r"^'str' object cannot be converted to 'PyDict'$"):
        kn.encode_corpus_msgpack([], ["x"])

    lst = []
    lst.append(lst)
    with pytest.raises(RecursionError):
        kn.encode_corpus_msgpack([], [{"metadata": lst}])

    class BadKey:
        def __hash__(self):
            return hash("id")

        def __eq__(self, other):
            raise KeyError("lookup failed")

    with pytest.raises(KeyError, match="lookup failed"):
        kn.encode_corpus_msgpack([], [{BadKey(): 1}])


def test_encode_corpus_index_objects_as_t():
    class Idx:
        def __index__(self):
            return 3

    assert kn.encode_corpus_msgpack([], [{"t": Idx()}])[-2:] == b"\x03\xc0"
    assert kn.encode_corpus_msgpack([], [{"t": True}])[-2:] == b"\x01\xc0"


@settings(max_examples=200, deadline=None)
@given(corpus_strategy)
def test_encode_corpus_matches_model_and_msgpack(corpus):
    texts, docs = model.build_dedup_corpus_payload(corpus)
    out = kn.encode_corpus_msgpack(texts, docs)
    assert out == model.encode_corpus_msgpack(texts, docs)
    flat = [[d["id"], d["t"], d["metadata"]] for d in docs]
    assert out == msgpack.packb([2, texts, flat], use_bin_type=True)


# ---- decode_corpus_msgpack ----------------------------------------------------

def test_decode_corpus_msgpack_examples():
    data = bytes.fromhex("930291a1789193a16100c0")
    assert kn.decode_corpus_msgpack(data) == [{"id": "a", "text": "x", "metadata": None}]
    assert kn.decode_corpus_msgpack(data + b"\xff\x00") == kn.decode_corpus_msgpack(data)
    assert kn.decode_corpus_msgpack(bytes.fromhex("93029090")) == []


@pytest.mark.parametrize("hexbytes", [
    "",                              # empty
    "93019090",                      # version 1
    "920290",                        # two elements
    "94029090c0",                    # four elements
    "93a1329090",                    # version as a string
    "93c39090",                      # version as a boolean
    "930290c0",                      # docs not an array
    "9302c090",                      # texts not an array
    "930291a1789193010000",          # integer id
    "930291a1789193c40161 00c0".replace(" ", ""),  # binary id
    "930291a1789193a161cb3ff0000000000000c0",        # float t
    "930291a1789193a161a130c0",      # string t
    "930291a178919 2a16100".replace(" ", ""),       # record of two
    "930291a1789193a16100",          # truncated metadata
    "930291a178",                    # truncated before docs
    "93029091",                      # truncated docs
])
def test_decode_corpus_msgpack_none_cases(hexbytes):
    assert kn.decode_corpus_msgpack(bytes.fromhex(hexbytes)) is None


def test_decode_corpus_msgpack_lenient_values():
    # t beyond the pool gives "", negative t counts as 0, invalid UTF-8 reads as ""
    data = msgpack.packb([2, ["x", 5, "y"], [["a", 5, None], ["b", -3, {"m": 1}],
                                             ["c", 1, []], ["d", 2, 1.5]]])
    assert kn.decode_corpus_msgpack(data) == [
        {"id": "a", "text": "", "metadata": None}, {"id": "b", "text": "x", "metadata": {"m": 1}},
        {"id": "c", "text": "", "metadata": []}, {"id": "d", "text": "y", "metadata": 1.5}]
    bad_utf8 = bytes.fromhex("930292a1ffa1789293a1ff00c093a2c3a901c0")
    assert kn.decode_corpus_msgpack(bad_utf8) == [{"id": "", "text": "", "metadata": None},
                                                  {"id": "é", "text": "x", "metadata": None}]
    # the version may be written in a signed form; texts may hold containers
    assert kn.decode_corpus_msgpack(bytes.fromhex("93d0029192a178a17991")) is None
    assert kn.decode_corpus_msgpack(bytes.fromhex("93d0029192a178a1799193a16100c0")) == [
        {"id": "a", "text": "", "metadata": None}]


def test_decode_corpus_msgpack_unhashable_metadata_key():
    data = bytes.fromhex("9302909293a16100c093a16200") + b"\x81\x90\x01"
    with pytest.raises(TypeError, match="unhashable"):
        kn.decode_corpus_msgpack(data)
    # ... but not when the document is unreadable further on
    data2 = bytes.fromhex("93029092") + bytes.fromhex("93a16100") + b"\x81\x90\x01" + b"\x93\xa1b"
    assert kn.decode_corpus_msgpack(data2) is None


def test_decode_corpus_msgpack_argument_kind():
    for bad in (bytearray(b"\x90"), memoryview(b"\x90"), "x"):
        with pytest.raises(TypeError, match=r"^argument 'data': '\w+' object cannot be "
                                            r"converted to 'PyBytes'$"):
            kn.decode_corpus_msgpack(bad)


@settings(max_examples=200, deadline=None)
@given(corpus_strategy)
def test_corpus_msgpack_round_trip(corpus):
    texts, docs = kn.build_dedup_corpus_payload(corpus)
    flat = kn.decode_corpus_msgpack(kn.encode_corpus_msgpack(texts, docs))
    expected = [{"id": d["id"], "text": texts[d["t"]], "metadata": d["metadata"]} for d in docs]
    assert flat == expected
    assert [list(c) for c in flat] == [["id", "text", "metadata"]] * len(flat)


# ---- decode_corpus_json ------------------------------------------------------

def test_decode_corpus_json_examples():
    dedup = b'{"format": "dedup_v1", "texts": ["x"], "docs": [{"id": "a", "t": 0}]}'
    assert kn.decode_corpus_json(dedup) == [{"id": "a", "text": "x", "metadata": {}}]
    assert kn.decode_corpus_json(b'[{"id": 1, "text": "x"}, 7]') == [
        {"id": "", "text": "x", "metadata": {}}, {"id": "", "text": "", "metadata": {}}]
    assert kn.decode_corpus_json(b"[]") == []
    assert kn.decode_corpus_json(b'{"format":"dedup_v1","texts":[],"docs":[]}') == []
    out = kn.decode_corpus_json(b'[{"metadata": {"b": 1, "a": 2}}]')
    assert list(out[0]["metadata"]) == ["a", "b"]


@pytest.mark.parametrize("payload", [
    b'{"format": "dedup_v1", "texts": ["x"], "docs": [{"id": "a", "t": 1}]}',
    b'{"format": "dedup_v1", "texts": ["x"], "docs": [{"id": "a", "t": 0.0}]}',
    b'{"format": "dedup_v1", "texts": ["x"], "docs": [{"id": "a", "t": 1e0}]}',
    b'{"format": "dedup_v1", "texts": ["x"], "docs": [{"id": "a", "t": -1}]}',
    b'{"format": "dedup_v1", "texts": ["x"], "docs": [{"id": "a", "t": "0"}]}',
    b'{"format": "dedup_v1", "texts": ["x"], "docs": [{"id": "a"}]}',
    b'{"format": "dedup_v1", "texts": [5], "docs": [{"id": "a", "t": 0}]}',
    b'{"format": "dedup_v1", "texts": ["x"], "docs": [7]}',
    b'{"format": "dedup_v2", "texts": ["x"], "docs": [{"id": "a", "t": 0}]}',
    b'{"texts": ["x"], "docs": []}',
    b'{"format": "dedup_v1", "texts": {}, "docs": []}',
    b'{"format": "dedup_v1", "texts": [], "docs": null}',
    b'{"format": "dedup_v1", "texts": ["x"], "docs": [{"t": 18446744073709551616}]}',
    b"{}", b'"x"', b"1", b"null", b"true", b"", b"[] x", b"[1,]",
])
def test_decode_corpus_json_none_cases(payload):
    assert kn.decode_corpus_json(payload) is None


def test_decode_corpus_json_dedup_details():
    payload = (b'{"docs": [{"id": 5, "t": 1, "metadata": null, "extra": 1},'
               b' {"id": "b", "t": 0, "metadata": {"z": [1, {"y": 2, "x": 3}]}}],'
               b' "texts": ["x", "y", 7], "format": "dedup_v1", "other": 1}')
    out = kn.decode_corpus_json(payload)
    assert out == [{"id": "", "text": "y", "metadata": None},
                   {"id": "b", "text": "x", "metadata": {"z": [1, {"x": 3, "y": 2}]}}]
    assert list(out[1]["metadata"]["z"][1]) == ["x", "y"]
    # a repeated member keeps the last value, also for the payload's own members
    assert kn.decode_corpus_json(
        b'{"format": "x", "format": "dedup_v1", "texts": ["a"], "docs": [{"t": 9, "t": 0}]}'
    ) == [{"id": "", "text": "a", "metadata": {}}]


# Strictness of the JSON reader, seen through the legacy layout: each value
# sits in the metadata of one chunk.
@pytest.mark.parametrize("value,expected", [
    (b"18446744073709551615", 1.8446744073709552e19),
    (b"9223372036854775807", 9223372036854775807),
    (b"-9223372036854775808", -9223372036854775808),
    (b"-9223372036854775809", -9.223372036854775808e18),
    (b"18446744073709551616", 1.8446744073709552e19),
    (b"123456789012345678901234567890", 1.2345678901234568e29),
    (b"9" * 308, 1e308),
    (b"-5", -5), (b"-0", 0), (b"-0.0", -0.0), (b"1.0", 1.0), (b"1E+2", 100.0),
    (b"1e-400", 0.0), (b"0e99999999999999999999", 0.0),
    (b'"\\ud83d\\ude00"', "\U0001F600"), (b'"a\\u0000b"', "a\x00b"),
    (b'"\\"\\\\\\/\\b\\f\\n\\r\\t"', "\"\\/\b\f\n\r\t"),
    ('"é\u2028"'.encode(), "é\u2028"),
    (b'{"b": 1, "a": 2, "b": 3}', {"a": 2, "b": 3}),
    (b'{"\xc3\xa9": 1, "z": 2, "\\u0000": 3}', {"\x00": 3, "z": 2, "é": 1}),
    (b" [ true , false , null ] ", [True, False, None]),
    (b"\t\n\r{}", {}),
    (b'{"123456789012345678901": "x"}', {"123456789012345678901": "x"}),
])
def test_json_values(value, expected):
    out = kn.decode_corpus_json(b'[{"metadata": ' + value + b"}]")
    got = out[0]["metadata"]
    assert got == expected and type(got) is type(expected)
    if isinstance(expected, dict):
        assert list(got) == sorted(expected, key=lambda k: k.encode())
    if isinstance(expected, float):
        assert repr(got) == repr(expected)


@pytest.mark.parametrize("value", [
    b"NaN", b"Infinity", b"-Infinity", b"1e400", b"-1e400", b"9" * 309, b"1.7976931348623159e308",
    b'"\\ud800"', b'"\\udc00"', b'"\\ud800\\u0041"', b'"\x01"', b'"\x1f"', b'"\xff"',
    b'"\xed\xa0\x80"', b'"\xc0\xaf"', b"01", b"1.", b".5", b"+1", b"0x10", b"tru", b"[1,]",
    b'{"a":1,}', b"// c\n1", b"/* c */ 1", b"'x'", b'"\\x41"', b"1 2", b"\x0c1",
    b"[" * 129 + b"]" * 129, b'{"a":' * 129 + b"1" + b"}" * 129,
])
def test_json_refusals(value):
    assert kn.decode_corpus_json(b'[{"metadata": ' + value + b"}]") is None


def test_json_nesting_limit_counts_containers():
    # The root array and its chunk object are two levels already.
    ok = b"[{\"metadata\": " + b"[" * 126 + b"1" + b"]" * 126 + b"}]"
    assert kn.decode_corpus_json(ok) is not None
    too_deep = b"[{\"metadata\": " + b"[" * 127 + b"]" * 127 + b"}]"
    assert kn.decode_corpus_json(too_deep) is None
    assert kn.decode_corpus_json(b"[" * 100_000 + b"]" * 100_000) is None


def test_json_byte_order_mark_and_bad_encoding_are_refused():
    assert kn.decode_corpus_json(b"\xef\xbb\xbf[]") is None
    assert kn.decode_corpus_json("[]".encode("utf-16")) is None


def test_json_long_integer_inside_strings_is_left_alone():
    payload = b'[{"id": "18446744073709551616", "metadata": [18446744073709551616, "1e999"]}]'
    assert kn.decode_corpus_json(payload) == [
        {"id": "18446744073709551616", "text": "", "metadata": [1.8446744073709552e19, "1e999"]}]


def test_decode_corpus_json_argument_kind():
    with pytest.raises(TypeError, match=r"^argument 'data': 'str' object cannot be "
                                        r"converted to 'PyBytes'$"):
        kn.decode_corpus_json("[]")


json_values = st.recursive(
    st.none() | st.booleans() | st.integers(-(2**70), 2**70) | st.floats(allow_nan=False,
                                                                          allow_infinity=False)
    | st.text(max_size=6),
    lambda c: st.lists(c, max_size=5) | st.dictionaries(st.text(max_size=4), c, max_size=5),
    max_leaves=25)


@settings(max_examples=300, deadline=None)
@given(st.lists(st.fixed_dictionaries({}, optional={"id": json_values, "text": json_values,
                                                     "metadata": json_values}), max_size=6),
       st.booleans())
def test_decode_corpus_json_matches_model(chunks, dedup):
    if dedup:
        texts, docs = model.build_dedup_corpus_payload(
            [{k: v for k, v in c.items()} for c in chunks])
        payload = json.dumps({"format": "dedup_v1", "texts": texts, "docs": docs},
                             ensure_ascii=False).encode()
    else:
        payload = json.dumps(chunks, ensure_ascii=bool(len(chunks) % 2)).encode()
    expected = model.decode_corpus_json(payload)
    got = kn.decode_corpus_json(payload)
    assert got == expected
    assert repr(got) == repr(expected)  # key order, int/float and -0.0 included


@settings(max_examples=300, deadline=None)
@given(st.binary(max_size=40))
def test_decode_corpus_json_arbitrary_bytes_match_model(tail):
    for payload in (tail, b'[{"metadata": ' + tail + b"}]"):
        assert repr(kn.decode_corpus_json(payload)) == repr(model.decode_corpus_json(payload))


def test_decode_corpus_json_mutated_payloads_match_model():
    rng = random.Random(7)
    seed = orjson.dumps([{"id": "a", "text": "x y", "metadata": {"n": [1, -2, 3.5, None, True],
                                                                  "s": "é\\\""}}])
    alphabet = b'[]{}",:0123456789-+.eE\\u tfnrl\x00\x7f\xc3\xa9\xff'
    for _ in range(3000):
        b = bytearray(seed)
        for _ in range(rng.randrange(1, 3)):
            b[rng.randrange(len(b))] = rng.choice(alphabet)
        payload = bytes(b)
        assert repr(kn.decode_corpus_json(payload)) == repr(model.decode_corpus_json(payload)), \
            payload


def test_json_results_do_not_depend_on_where_the_bytes_end():
    # Payloads of every length around a page are read in place or from a
    # padded copy, depending on where they end; the result must not change.
    body = b'[{"id": "a", "text": "b", "metadata": [12, -3.5e1, true, null, "x"]}]'
    expected = [{"id": "a", "text": "b", "metadata": [12, -35.0, True, None, "x"]}]
    cut = [body[:n] for n in range(len(body))]
    for pad in range(0, 4200, 7):
        payload = body + b" " * pad
        assert kn.decode_corpus_json(payload) == expected
    for pad in range(0, 300, 3):
        for prefix in cut[::5]:
            assert kn.decode_corpus_json(b" " * pad + prefix) is None
