"""The MessagePack value mapping and byte rules, seen through the map-document
codecs (encode/decode_entity_graph are thin wrappers around them)."""

import math
import random
import struct

import msgpack
import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import kelvo_native as kn
from models import codecs as model

enc = kn.encode_entity_graph
dec = kn.decode_entity_graph


def value_bytes(v) -> bytes:
    """The bytes the writer gives for one value (inside a one-entry map)."""
    out = enc({"k": v})
    assert out[:3] == b"\x81\xa1k"
    return out[3:]


def read_value(b: bytes):
    """The Python object the reader gives for the value bytes `b`."""
    d = dec(b"\x81\xa1k" + b)
    assert d is not None
    return d["k"]


class Idx:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class Flt:
    def __float__(self):
        return 2.5


class IdxStr(str):
    def __index__(self):
        return 7


class BadStr:
    def __str__(self):
        raise ValueError("no text")


# ---- writer: exact bytes ------------------------------------------------------

@pytest.mark.parametrize("value,expected", [
    (None, "c0"), (False, "c2"), (True, "c3"),
    (0, "00"), (127, "7f"), (128, "cc80"), (255, "ccff"), (256, "cd0100"), (65535, "cdffff"),
    (65536, "ce00010000"), (2**32 - 1, "ceffffffff"), (2**32, "cf0000000100000000"),
    (2**63 - 1, "cf7fffffffffffffff"),
    (-1, "ff"), (-32, "e0"), (-33, "d0df"), (-128, "d080"), (-129, "d1ff7f"),
    (-32768, "d18000"), (-32769, "d2ffff7fff"), (-(2**31), "d280000000"),
    (-(2**31) - 1, "d3ffffffff7fffffff"), (-(2**63), "d38000000000000000"),
    (1.0, "cb3ff0000000000000"), (0.5, "cb3fe0000000000000"),
    (2**63, "cb43e0000000000000"), (2**64 - 1, "cb43f0000000000000"),
    (2**70, "cb4450000000000000"), (-(2**63) - 1, "cbc3e0000000000000"),
    ("", "a0"), ("a" * 31, "bf" + "61" * 31), ("a" * 32, "d920" + "61" * 32),
    ("a" * 255, "d9ff" + "61" * 255), ("a" * 256, "da0100" + "61" * 256),
    ("é", "a2c3a9"),
    ((1, 2), "a6" + b"(1, 2)".hex()), (b"ab", "a5" + b"b'ab'".hex()),
    (bytearray(b"x"), "af" + b"bytearray(b'x')".hex()), ({1}, "a3" + b"{1}".hex()),
    ([], "90"), ({}, "80"), ({1: "a"}, "8101a161"),
    (Idx(300), "cd012c"), (Idx(-5), "fb"), (Flt(), "cb4004000000000000"),
    (IdxStr("x"), "07"), (np.int64(-2), "fe"), (np.float32(0.5), "cb3fe0000000000000"),
    (np.bool_(True), "c3"), (np.bool_(False), "c2"),
    ("a\ud800b", "ab61" + "efbfbd" * 3 + "62"),
])
def test_writer_bytes(value, expected):
    assert value_bytes(value).hex() == expected


@pytest.mark.parametrize("n,prefix", [(15, "9f"), (16, "dc0010"), (65535, "dcffff"),
                                      (65536, "dd00010000")])
def test_array_headers(n, prefix):
    assert value_bytes([0] * n).hex().startswith(prefix)


@pytest.mark.parametrize("n,prefix", [(15, "8f"), (16, "de0010"), (65536, "df00010000")])
def test_map_headers(n, prefix):
    assert value_bytes({i: 0 for i in range(n)}).hex().startswith(prefix)


def test_long_strings_use_str16_and_str32():
    assert value_bytes("x" * 65535)[:3] == b"\xda\xff\xff"
    assert value_bytes("x" * 65536)[:5] == b"\xdb\x00\x01\x00\x00"


def test_huge_int_is_written_as_its_decimal_text():
    assert value_bytes(10**400) == b"\xda\x01\x91" + str(10**400).encode()


def test_nan_and_infinities_keep_their_bit_patterns():
    for v in (math.inf, -math.inf, math.nan):
        assert value_bytes(v) == b"\xcb" + struct.pack(">d", v)


def test_str_fallback_error_propagates():
    with pytest.raises(ValueError, match="no text"):
        enc({"k": BadStr()})


def test_index_errors_only_mean_the_row_does_not_match():
    class Broken:
        def __index__(self):
            raise RuntimeError("boom")

        def __float__(self):
            raise RuntimeError("boom")

        def __str__(self):
            return "broken"

    assert value_bytes(Broken()) == b"\xa6broken"


# ---- writer against independent oracles -------------------------------------

json_like = st.recursive(
    st.none() | st.booleans() | st.integers(-(2**63), 2**63 - 1)
    | st.floats(allow_nan=False) | st.text(),
    lambda children: st.lists(children, max_size=20)
    | st.dictionaries(st.text(max_size=40), children, max_size=20),
    max_leaves=60,
)

anything = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | st.text()
    | st.binary(max_size=8) | st.tuples(st.integers(), st.text(max_size=3)),
    lambda children: st.lists(children, max_size=8)
    | st.dictionaries(st.integers(-5, 5) | st.text(max_size=5), children, max_size=8),
    max_leaves=40,
)


@settings(max_examples=300, deadline=None)
@given(json_like)
def test_writer_matches_msgpack_package(v):
    doc = {"k": v}
    assert enc(doc) == msgpack.packb(doc, use_bin_type=True)


@settings(max_examples=300, deadline=None)
@given(anything)
def test_writer_matches_model(v):
    assert value_bytes(v) == model.pack(v, 2)


@settings(max_examples=300, deadline=None)
@given(json_like)
def test_round_trip_keeps_values_and_order(v):
    doc = {"k": v, 1: [v], "z": {"a": v}}
    out = dec(enc(doc))
    assert out == doc
    assert list(out) == list(doc)


# ---- encoder safety ---------------------------------------------------------

def test_self_referencing_containers_raise_recursion_error():
    lst = []
    lst.append(lst)
    d = {}
    d["self"] = d
    for v in (lst, d):
        with pytest.raises(RecursionError):
            enc({"k": v})


def test_very_deep_nesting_raises_recursion_error():
    v = []
    for _ in range(100_000):
        v = [v]
    with pytest.raises(RecursionError):
        enc({"k": v})


def test_deepest_writable_document_reads_back():
    # Top-level map is level 1; 1022 lists below its value put the last
    # (empty) list at level 1024, the reader's limit.
    v = []
    for _ in range(1022):
        v = [v]
    data = enc({"k": v})
    assert dec(data) == {"k": v}
    with pytest.raises(RecursionError):
        enc({"k": [v]})
    with pytest.raises(RecursionError):
        enc({"k": _nest(1023, 0)})


def _nest(depth, leaf):
    v = leaf
    for _ in range(depth):
        v = [v]
    return v


def test_dict_mutated_during_encoding_is_an_internal_fault():
    d = {}

    class Grow:
        def __index__(self):
            d["new"] = 1
            return 1

    d["a"] = Grow()
    with pytest.raises(BaseException) as info:
        enc(d)
    assert type(info.value).__name__ == "InternalFault"
    assert not isinstance(info.value, Exception)


def test_list_shrinking_during_encoding_writes_what_is_left():
    lst = []

    class Shrink:
        def __index__(self):
            del lst[1:]
            return 3

    lst.extend([Shrink()] + list(range(20)))
    data = enc({"k": lst})
    assert dec(data) == {"k": [3]}
    assert data == msgpack.packb({"k": [3]})


def test_list_growing_during_encoding_writes_every_element():
    lst = []

    class Grow:
        def __index__(self):
            if len(lst) < 20:
                lst.extend(range(20))
            return 9

    lst.append(Grow())
    data = enc({"k": lst})
    assert dec(data) == {"k": [9] + list(range(20))}


# ---- reader: every form ------------------------------------------------------

@pytest.mark.parametrize("hexbytes,expected", [
    ("c0", None), ("c1", None), ("c2", False), ("c3", True),
    ("00", 0), ("7f", 127), ("e0", -32), ("ff", -1),
    ("cc80", 128), ("cd0100", 256), ("ce00010000", 65536),
    ("cfffffffffffffffff", 2**64 - 1),
    ("d0ff", -1), ("d07f", 127), ("d1ff7f", -129), ("d27fffffff", 2**31 - 1),
    ("d2ffff7fff", -32769), ("d38000000000000000", -(2**63)), ("d37fffffffffffffff", 2**63 - 1),
    ("ca3fc00000", 1.5), ("ca7f800000", math.inf), ("cb3ff0000000000000", 1.0),
    ("a161", "a"), ("d90161", "a"), ("da000161", "a"), ("db0000000161", "a"),
    ("a1ff", ""), ("a3eda080", ""), ("a2c3a9", "é"),
    ("c40161", b"a"), ("c5000161", b"a"), ("c600000001" + "61", b"a"), ("c400", b""),
    ("d40102", None), ("d501" + "00" * 2, None), ("d601" + "00" * 4, None),
    ("d701" + "00" * 8, None), ("d801" + "00" * 16, None), ("c70301616263", None),
    ("c8000101" + "61", None), ("c900000001ff61", None),
    ("92c0c1", [None, None]), ("dc0002c3c2", [True, False]), ("dd00000001a0", [""]),
    ("82a161a162a161c3", {"a": True}), ("de0001a16101", {"a": 1}), ("df00000001a16102", {"a": 2}),
    ("8101a161", {1: "a"}), ("81c0c0", {None: None}), ("81c401ff01", {b"\xff": 1}),
    ("81a1ff01", {"": 1}),
])
def test_reader_forms(hexbytes, expected):
    got = read_value(bytes.fromhex(hexbytes))
    assert got == expected and type(got) is type(expected)


def test_float32_widens_exactly():
    assert read_value(b"\xca" + struct.pack(">f", 0.1)) == struct.unpack(">f", struct.pack(">f", 0.1))[0]


@settings(max_examples=300, deadline=None)
@given(json_like)
def test_reader_matches_msgpack_package(v):
    doc = {"k": v}
    forms = [msgpack.packb(doc, use_bin_type=True)]
    try:
        forms.append(msgpack.packb(doc, use_bin_type=True, use_single_float=True))
    except OverflowError:
        pass  # a double beyond the float32 range
    for data in forms:
        assert dec(data) == msgpack.unpackb(data, strict_map_key=False)


@settings(max_examples=200, deadline=None)
@given(st.binary(max_size=64))
def test_reader_matches_model_on_arbitrary_bytes(data):
    data = b"\x81\xa1k" + data
    try:
        expected = model.decode_map_document(data)
    except TypeError:
        with pytest.raises(TypeError):
            dec(data)
        return
    got = dec(data)
    assert got == expected or (_has_nan(got) and repr(got) == repr(expected))


def _has_nan(v):
    return "nan" in repr(v)


# ---- reader: failures -------------------------------------------------------

def test_every_truncation_is_none():
    data = enc({"a": [1, 2.5, "x" * 40, {"b": None}, 70000, -70000, b"z"], "c": "d" * 300})
    assert dec(data) is not None
    for n in range(len(data)):
        assert dec(data[:n]) is None


@pytest.mark.parametrize("hexbytes", [
    "", "81", "81a1", "81a161", "dc", "dcff", "ddffffffff", "dfffffffff", "dbffffffff61",
    "c6ffffffff", "c9ffffffff01", "81a161cb00", "81a161d8", "81a161d1ff",
])
def test_unreadable_documents_are_none(hexbytes):
    assert dec(bytes.fromhex(hexbytes)) is None


def test_nesting_limit():
    def maps(depth):
        return b"\x81\xa1k" * (depth - 1) + b"\x80"

    assert dec(maps(1024)) is not None
    assert dec(maps(1025)) is None
    # A scalar counts as a level of its own.
    assert dec(b"\x81\xa1k" + b"\x91" * 1022 + b"\x90") is not None
    assert dec(b"\x81\xa1k" + b"\x91" * 1022 + b"\x91\x00") is None


def test_unhashable_key_raises_type_error_only_for_readable_documents():
    data = b"\x82\x91\x01\x02\xa1a\x03"  # {[1]: 2, 'a': 3}
    with pytest.raises(TypeError, match="unhashable"):
        dec(data)
    with pytest.raises(TypeError, match="unhashable"):
        dec(b"\x81\x80\x01")  # a map as a key
    assert dec(data[:-1]) is None


def test_non_map_documents_are_none_but_still_converted():
    assert dec(b"\x90") is None
    assert dec(b"\xc1") is None
    assert dec(b"\xa1a") is None
    with pytest.raises(TypeError):
        dec(b"\x91\x81\x90\x01")  # [{[]: 1}]


def test_trailing_bytes_are_ignored():
    data = enc({"a": 1})
    assert dec(data + b"\xc1\xff garbage") == {"a": 1}


def test_fuzzed_bytes_never_crash():
    rng = random.Random(1234)
    seeds = [enc({"a": [1, 2.5, "x" * 40, {"b": None}], "c": {"d": [True, -1, 70000]}}),
             kn.encode_corpus_msgpack(["x", "y" * 50], [{"id": "a", "t": 1, "metadata": {"k": [1]}}]),
             kn.encode_sentence_index({"s": {"t": "x"}}, {"c": ["s"]})]
    decoders = [kn.decode_entity_graph, kn.decode_corpus_msgpack, kn.decode_sentence_index,
                kn.decode_sentence_meta]
    for _ in range(4000):
        seed = rng.choice(seeds)
        kind = rng.randrange(3)
        if kind == 0:
            data = bytes(rng.randrange(256) for _ in range(rng.randrange(40)))
        elif kind == 1:
            b = bytearray(seed)
            for _ in range(rng.randrange(1, 4)):
                b[rng.randrange(len(b))] = rng.randrange(256)
            data = bytes(b)
        else:
            data = seed[:rng.randrange(len(seed))] + bytes(rng.randrange(256) for _ in range(3))
        for decode in decoders:
            try:
                decode(data)
            except TypeError:
                pass  # an unhashable map key in a readable document
