"""cosine_similarity, compute_doc_hash and compute_sha256."""

import hashlib
import math

import pytest
from hypothesis import given, strategies as st

import kelvo_native as kn
from models.text import WHITE_SPACE, trim_ws


def py_cosine(a, b):
    n = min(len(a), len(b))
    if n == 0:
        return 0.0
    dot = na = nb = 0.0
    for i in range(n):
        x, y = float(a[i]), float(b[i])
        dot += x * y
        na += x * x
        nb += y * y
    denom = math.sqrt(na) * math.sqrt(nb)
    if denom < 1e-12:
        return 0.0
    return dot / denom


@pytest.mark.parametrize("a,b,expected", [
    ([], [], 0.0),
    ([1.0, 2.0], [], 0.0),
    ([0.0, 0.0], [1.0, 1.0], 0.0),
    ([1.0, 0.0], [0.0, 1.0], 0.0),
    ([1.0, 2.0, 3.0], [1.0, 2.0], 0.9999999999999998),
    ([1, 2], (1.0, 2.0), 0.9999999999999998),
    ([1e-7], [1e-6], 0.0),
    ([1e-6], [1e-6], 1.0),
    ([1.0, 0.0], [-1.0, 0.0], -1.0),
])
def test_cosine_cases(a, b, expected):
    assert kn.cosine_similarity(a, b) == expected


def test_cosine_non_finite():
    assert math.isnan(kn.cosine_similarity([float("nan"), 1.0], [1.0, 1.0]))
    assert math.isnan(kn.cosine_similarity([float("inf")], [float("inf")]))


finite = st.floats(allow_nan=False, allow_infinity=False, width=64, min_value=-1e150,
                   max_value=1e150)


@given(st.lists(finite, max_size=40), st.lists(finite, max_size=40))
def test_cosine_matches_the_python_routine_bit_for_bit(a, b):
    assert kn.cosine_similarity(a, b) == py_cosine(a, b)


@pytest.mark.parametrize("text", ["", "abc", " abc", "héllo wörld", "\u0130\u03a3", "a" * 100000])
def test_doc_hash_is_md5_of_utf8(text):
    assert kn.compute_doc_hash(text) == hashlib.md5(text.encode()).hexdigest()


def test_doc_hash_rfc_1321_examples_and_no_trimming():
    assert kn.compute_doc_hash("") == "d41d8cd98f00b204e9800998ecf8427e"
    assert kn.compute_doc_hash("abc") == "900150983cd24fb0d6963f7d28e17f72"
    assert kn.compute_doc_hash(" abc") != kn.compute_doc_hash("abc")


SHA_ABC = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"
SHA_EMPTY = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"


@pytest.mark.parametrize("text,expected", [
    ("", SHA_EMPTY),
    ("  \n\t", SHA_EMPTY),
    ("abc", SHA_ABC),
    (" abc ", SHA_ABC),
    ("\u3000abc\u00a0", SHA_ABC),
    ("\u0085\u1680\u2000\u200a\u2028\u2029\u202f\u205f abc\x0b\x0c\r", SHA_ABC),
])
def test_sha256_trims_white_space(text, expected):
    assert kn.compute_sha256(text) == expected


@pytest.mark.parametrize("kept", ["\x1c", "\x1d", "\x1e", "\x1f", "\u200b", "\ufeff"])
def test_sha256_keeps_characters_that_are_not_white_space(kept):
    # str.strip() would remove the information separators; White_Space does not.
    assert kn.compute_sha256(kept + "abc") != SHA_ABC
    assert kn.compute_sha256("abc" + kept) != SHA_ABC


ws_text = st.text(alphabet=st.sampled_from(sorted(WHITE_SPACE) + list("ab\x1c\u200bé\U0001f600")),
                  max_size=30)


@given(ws_text)
def test_sha256_matches_white_space_trim_model(text):
    assert kn.compute_sha256(text) == hashlib.sha256(trim_ws(text).encode()).hexdigest()
