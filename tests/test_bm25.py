"""The BM25 tokenizer, preprocess_documents, build_bm25_index and search_bm25."""

import math

import pytest
from hypothesis import given, settings, strategies as st

import kelvo_native as kn
from models.bm25 import Bm25Model, preprocess_documents as py_preprocess


def test_tokens_are_lowercased_whitespace_words():
    index = kn.build_bm25_index([{"text": "  Hello,  WORLD\tfoo\n"}])
    for token in ["hello,", "world", "foo"]:
        assert kn.search_bm25(index, token, 5) == kn.search_bm25(index, token.upper(), 5) != []
    assert kn.search_bm25(index, "hello", 5) == []  # punctuation stays attached


def test_worked_example_scores():
    index = kn.build_bm25_index([{"text": "a b"}, {"text": "b c"}, {"text": ""}])
    avgdl = 4 / 3
    idf_b = math.log(1.5 / 2.5 + 1)
    norm = ((2 * 0.75) / avgdl + 0.25) * 1.5
    expected_b = 2.5 * 1.0 / (norm + 1.0) * idf_b
    assert kn.search_bm25(index, "b", 10) == [(0, expected_b), (1, expected_b)]
    assert kn.search_bm25(index, "B b B", 10) == kn.search_bm25(index, "b", 10)
    idf_a = math.log(2.5 / 1.5 + 1)
    expected_ab = expected_b + 2.5 * 1.0 / (norm + 1.0) * idf_a
    assert kn.search_bm25(index, "b a", 10) == [(0, expected_ab), (1, expected_b)]
    assert kn.search_bm25(index, "b a", 1) == [(0, expected_ab)]


@pytest.mark.parametrize("query,top_k", [("z", 10), ("", 10), ("   ", 10), ("b", 0),
                                         ("\u3000\u2028", 3)])
def test_searches_without_results(query, top_k):
    index = kn.build_bm25_index([{"text": "a b"}, {"text": "b c"}, {"text": ""}])
    assert kn.search_bm25(index, query, top_k) == []


def test_empty_index_returns_nothing():
    index = kn.build_bm25_index([])
    assert kn.search_bm25(index, "a", 10) == []


def test_documents_without_text_index_as_empty():
    corpus = [{"text": 5}, {"id": "x"}, {"text": None}, {"text": b"a"}, {"text": "a"}]
    index = kn.build_bm25_index(corpus)
    assert [d for d, _ in kn.search_bm25(index, "a", 10)] == [4]
    # The empty documents still count toward N and avgdl.
    assert kn.search_bm25(index, "a", 10) == Bm25Model(corpus).search("a", 10)


def test_non_dict_element_is_refused():
    with pytest.raises(TypeError) as info:
        kn.build_bm25_index([{"text": "a"}, 5])
    assert str(info.value) == "'int' object cannot be converted to 'PyDict'"


def test_dict_subclass_elements_and_text_subclass_values():
    class D(dict):
        def __getitem__(self, key):  # ordinary dict lookup is used, not __getitem__
            raise AssertionError

    class S(str):
        pass

    index = kn.build_bm25_index([D(text=S("alpha beta"))])
    assert [d for d, _ in kn.search_bm25(index, "beta", 3)] == [0]


def test_failing_key_lookup_ends_the_build():
    class Key:
        def __hash__(self):
            return hash("text")

        def __eq__(self, other):
            raise ValueError("boom")

    with pytest.raises(ValueError, match="boom"):
        kn.build_bm25_index([{Key(): 1}])


def test_index_outlives_its_corpus_and_is_reusable():
    corpus = [{"text": f"doc {i} common"} for i in range(50)]
    index = kn.build_bm25_index(corpus)
    first = kn.search_bm25(index, "common doc", 100)
    corpus.clear()
    del corpus
    assert kn.search_bm25(index, "common doc", 100) == first
    assert len(first) == 50
    assert [d for d, _ in first] == list(range(50))  # equal scores: ascending position


def test_unicode_lowercasing_and_white_space():
    corpus = [
        {"text": "ΟΔΟΣ"},              # final sigma
        {"text": "\u0130stanbul"},     # dotted capital I -> i + combining dot
        {"text": "a\u001cb"},          # U+001C is not White_Space: one token
        {"text": "x\u00a0y\u3000z"},   # NBSP and ideographic space split
    ]
    index = kn.build_bm25_index(corpus)
    assert [d for d, _ in kn.search_bm25(index, "οδος", 5)] == [0]
    assert [d for d, _ in kn.search_bm25(index, "\u0130STANBUL", 5)] == [1]
    assert [d for d, _ in kn.search_bm25(index, "i\u0307stanbul", 5)] == [1]
    assert kn.search_bm25(index, "b", 5) == []
    assert [d for d, _ in kn.search_bm25(index, "a\u001cb", 5)] == [2]
    assert [d for d, _ in kn.search_bm25(index, "z", 5)] == [3]


words = st.sampled_from(["a", "b", "ab", "Ab", "AB", "σ", "Σ", "ΟΔΟΣ", "İ", "ß", "x,", "1",
                         "\u0301", "é", "E\u0301", "\x1c", "ǅ"])
seps = st.sampled_from([" ", "  ", "\t", "\n", "\u00a0", "\u2003", "\u3000", "\u0085", ""])
texts = st.lists(st.tuples(words, seps), max_size=12).map(
    lambda parts: "".join(w + s for w, s in parts))


@settings(max_examples=200, deadline=None)
@given(st.lists(texts, max_size=12), st.lists(texts, min_size=1, max_size=4),
       st.integers(0, 15))
def test_search_matches_the_python_routine_exactly(docs, queries, top_k):
    corpus = [{"text": t} for t in docs]
    index = kn.build_bm25_index(corpus)
    model = Bm25Model(corpus)
    for q in queries:
        assert kn.search_bm25(index, q, top_k) == model.search(q, top_k)


@pytest.mark.parametrize("doc,expected", [
    ({"id": "a", "text": "  x \n\n y  "}, {"id": "a", "text": "x y"}),
    ({"id": "a"}, {"id": "a"}),
    ({"text": 5}, {"text": 5}),
    ({"text": "\t\n "}, {"text": ""}),
    ({"text": "a\u3000\u3000b\x1cc"}, {"text": "a b\x1cc"}),
    ({"text": "x y", "z": 1}, {"text": "x y", "z": 1}),
])
def test_preprocess_cases(doc, expected):
    out = kn.preprocess_documents([doc], 32)
    assert out == [expected]
    assert list(out[0]) == list(doc)  # key order kept
    assert out[0] is not doc


def test_preprocess_copies_are_shallow_and_inputs_untouched():
    meta = {"k": [1]}
    doc = {"text": " a  b ", "metadata": meta}
    out = kn.preprocess_documents([doc], 0)
    assert out[0]["metadata"] is meta
    assert doc["text"] == " a  b "


def test_preprocess_refuses_non_dict_elements():
    with pytest.raises(TypeError) as info:
        kn.preprocess_documents([{"text": "a"}, 5], 1)
    assert str(info.value) == "'int' object cannot be converted to 'PyDict'"


@given(st.lists(texts.map(lambda t: {"text": t, "id": 1}), max_size=10))
def test_preprocess_matches_the_python_routine(docs):
    assert kn.preprocess_documents(docs, 8) == py_preprocess(docs)


def test_copy_of_a_dict_mutated_during_copy_is_an_internal_fault():
    class Key:
        armed = False

        def __hash__(self):
            if Key.armed:
                victim["added"] = 1  # grows the dict while it is being copied
            return 1

    victim = {"text": "a", Key(): 3}
    Key.armed = True
    with pytest.raises(BaseException) as info:
        kn.preprocess_documents([victim], 1)
    assert type(info.value).__name__ == "InternalFault"
    assert not isinstance(info.value, Exception)
