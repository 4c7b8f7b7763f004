"""Score fusion, MMR reranking and the result filters."""

import math

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import kelvo_native as kn
from models import fusion as model

FUSION_NAMES = ["score_fusion_weighted", "score_fusion_rrf", "dedupe_best_by_id",
                "filter_results_by_threshold", "mmr_rerank"]


# ---------------------------------------------------------------- registration

def test_registered_in_order_after_cosine_similarity():
    names = kn.__all__
    positions = [names.index(n) for n in FUSION_NAMES]
    assert positions == list(range(positions[0], positions[0] + 5))
    assert positions[0] > names.index("cosine_similarity")


@pytest.mark.parametrize("name, sig, doc", [
    ("score_fusion_rrf", "(vector_results, bm25_results, k=60)",
     'Merge vector + BM25 results using Reciprocal Rank Fusion.\n'
     'k: RRF smoothing constant (default 60).\n'
     'Preserves original vector score in "vector_score" field.'),
    ("score_fusion_weighted", "(vector_results, bm25_results, weight=0.7)",
     "Merge vector + BM25 results using weighted normalized score fusion.\n"
     "weight: 1.0 = pure semantic, 0.0 = pure lexical.\n"
     "Returns a combined list sorted by fused score descending."),
    ("mmr_rerank", "(results, lambda_mult=0.5, dup_threshold=0.85)",
     "Rerank results using Maximal Marginal Relevance (Jaccard text similarity).\n\n"
     "Iteratively selects the next document maximising:\n"
     "  lambda_mult * relevance_score - (1-lambda_mult) * max_jaccard_to_selected\n\n"
     "Documents with Jaccard >= dup_threshold to any already-selected document\n"
     "are dropped as near-duplicates.\n\n"
     "Returns a reordered + deduplicated list of the original dicts."),
    ("dedupe_best_by_id", "(results)", None),
    ("filter_results_by_threshold", '(results, threshold, score_field="vector_score")', None),
])
def test_signature_and_docstring(name, sig, doc):
    fn = getattr(kn, name)
    assert fn.__text_signature__ == sig
    assert fn.__doc__ == doc
    assert fn.__module__ == "kelvo_native"


# ---------------------------------------------------------------- argument errors

@pytest.mark.parametrize("call, exc, message", [
    (lambda: kn.score_fusion_rrf((), []), TypeError,
     "argument 'vector_results': 'tuple' object cannot be converted to 'PyList'"),
    (lambda: kn.score_fusion_rrf([], ()), TypeError,
     "argument 'bm25_results': 'tuple' object cannot be converted to 'PyList'"),
    (lambda: kn.score_fusion_rrf([], [], k=2.0), TypeError, "argument 'k': "),
    (lambda: kn.score_fusion_rrf([], [], k=2**64), OverflowError, ""),
    (lambda: kn.score_fusion_weighted([], [], weight="0.5"), TypeError, "argument 'weight': "),
    (lambda: kn.score_fusion_weighted([], {}), TypeError,
     "argument 'bm25_results': 'dict' object cannot be converted to 'PyList'"),
    (lambda: kn.mmr_rerank((1,)), TypeError,
     "argument 'results': 'tuple' object cannot be converted to 'PyList'"),
    (lambda: kn.mmr_rerank([], lambda_mult=None), TypeError, "argument 'lambda_mult': "),
    (lambda: kn.mmr_rerank([], 0.5, "x"), TypeError, "argument 'dup_threshold': "),
    (lambda: kn.mmr_rerank(None, None), TypeError, "argument 'results': "),
    (lambda: kn.mmr_rerank([], 1, 2, 3), TypeError,
     "mmr_rerank() takes from 1 to 3 positional arguments but 4 were given"),
    (lambda: kn.dedupe_best_by_id(None), TypeError,
     "argument 'results': 'NoneType' object cannot be converted to 'PyList'"),
    (lambda: kn.filter_results_by_threshold([], None), TypeError, "argument 'threshold': "),
    (lambda: kn.filter_results_by_threshold([]), TypeError,
     "filter_results_by_threshold() missing 1 required positional argument: 'threshold'"),
    (lambda: kn.filter_results_by_threshold([], 0.5, score_field=1), TypeError,
     "argument 'score_field': 'int' object cannot be converted to 'PyString'"),
    (lambda: kn.filter_results_by_threshold((), None, 1), TypeError, "argument 'results': "),
])
def test_argument_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert str(info.value).startswith(message)


@pytest.mark.parametrize("call", [
    lambda items: kn.score_fusion_rrf(items, []),
    lambda items: kn.score_fusion_rrf([], items),
    lambda items: kn.score_fusion_weighted(items, []),
    lambda items: kn.score_fusion_weighted([{"id": "a"}], items),
    lambda items: kn.mmr_rerank(items),
    lambda items: kn.dedupe_best_by_id(items),
    lambda items: kn.filter_results_by_threshold(items, 0.0),
])
def test_non_dict_element_is_refused_without_argument_prefix(call):
    with pytest.raises(TypeError) as info:
        call([{"id": "a", "text": "t"}, ("id", "b")])
    assert str(info.value) == "'tuple' object cannot be converted to 'PyDict'"


def test_weighted_reads_every_score_before_refusing_an_element():
    calls = []

    class Score:
        def __init__(self, v):
            self.v = v

        def __float__(self):
            calls.append(self.v)
            return self.v

    with pytest.raises(TypeError):
        kn.score_fusion_weighted([{"score": Score(1.0)}, 5], [{"score": Score(2.0)}])
    assert calls == [1.0, 2.0]


# ---------------------------------------------------------------- reciprocal rank fusion

def test_rrf_examples():
    out = kn.score_fusion_rrf(
        [{"id": "a", "score": 0.9, "text": "A"}, {"id": "b", "score": 0.4}],
        [{"id": "a", "score": 12.0}, {"id": "c", "score": 3.0, "vector_score": 0.77}])
    by_id = {d["id"]: d for d in out}
    assert out[0]["id"] == "a"
    assert by_id["a"]["score"] == 1.0 / 60 + 1.0 / 60
    assert by_id["a"]["vector_score"] == 0.9
    assert by_id["a"]["text"] == "A"  # represented by the vector-list dict
    assert by_id["c"]["score"] == 1.0 / 61 and by_id["c"]["vector_score"] == 0.0
    assert list(by_id["c"]) == ["id", "score", "vector_score"]  # overwritten keys keep place
    assert list(by_id["b"]) == ["id", "score", "vector_score"]
    assert by_id["b"]["score"] == 1.0 / 61
    assert kn.score_fusion_rrf([], []) == []


def test_rrf_duplicates_and_missing_ids():
    first = {"id": "x", "score": 0.1, "tag": "first"}
    out = kn.score_fusion_rrf(
        [first, {"id": 7}, {}, {"id": "x", "score": 0.3, "tag": "second"}],
        [{"text": "no id"}, {"id": None}])
    by_tag = {d.get("tag", d.get("text", "?")): d for d in out}
    x = by_tag["first"]
    assert x["score"] == 1.0 / 60 + 1.0 / 63
    assert x["vector_score"] == 0.3  # the last vector occurrence's score
    # The id 7, the missing id and the None id all share the empty identity.
    assert len(out) == 2
    empty = [d for d in out if d is not x][0]
    assert empty["score"] == ((0.0 + 1.0 / 61) + 1.0 / 62) + 1.0 / 60 + 1.0 / 61
    assert empty["id"] == 7  # a copy of the first dict met for that identity


def test_rrf_keeps_the_sign_of_a_zero_vector_score():
    out = kn.score_fusion_rrf([{"id": "a", "score": -0.0}], [{"id": "b"}])
    assert math.copysign(1.0, out[0]["vector_score"]) == -1.0
    assert math.copysign(1.0, out[1]["vector_score"]) == 1.0


def test_rrf_k_edge_values():
    out = kn.score_fusion_rrf([{"id": "a"}, {"id": "b"}], [{"id": "b"}], k=0)
    assert out[0]["id"] == "a" and out[0]["score"] == math.inf
    assert out[1]["score"] == 1.0 + math.inf  # b: 1/1 from vectors, 1/0 from BM25
    neg = kn.score_fusion_rrf([{"id": "a"}, {"id": "b"}, {"id": "c"}], [], k=-1)
    assert [d["score"] for d in neg] == [math.inf, 1.0, -1.0]


def test_rrf_copies_share_values_and_leave_inputs_alone():
    meta = {"file": "x.py"}
    vec = [{"id": "a", "score": 0.5, "metadata": meta}]
    bm = [{"id": "a", "score": 3}]
    snapshot = [dict(vec[0]), dict(bm[0])]
    out = kn.score_fusion_rrf(vec, bm)
    assert out[0] is not vec[0] and out[0]["metadata"] is meta
    assert [vec[0], bm[0]] == snapshot and len(vec) == 1 and len(bm) == 1


def _assert_same_up_to_ties(ours, theirs):
    """Equal lists except that results with equal scores may come in any order."""
    assert len(ours) == len(theirs)
    assert [d["score"] for d in ours] == [d["score"] for d in theirs]

    def groups(lst):
        out = {}
        for d in lst:
            out.setdefault(d["score"], []).append(sorted(map(repr, d.items())))
        return {k: sorted(v) for k, v in out.items()}
    assert groups(ours) == groups(theirs)
    for a, b in zip(ours, theirs):
        assert list(a) == list(b) or a["score"] == b["score"]


class Name(str):
    """A str subclass: ids compare by content."""


IDS = st.sampled_from(["a", "b", "c", "d", "e", "", "é", "a\u0301", Name("a"), Name("z"), "\ud800"])
SCORES = st.one_of(st.floats(allow_nan=False, width=64, min_value=-1e6, max_value=1e6),
                   st.integers(-5, 5), st.just(True), st.none(), st.just("0.5"))


@st.composite
def result_dict(draw, with_nan=False):
    d = {}
    keys = draw(st.permutations(["id", "score", "text", "vector_score", "x"]))
    for k in keys[:draw(st.integers(0, 5))]:
        if k == "id":
            d["id"] = draw(st.one_of(IDS, IDS, st.integers(0, 3)))
        elif k == "score":
            d["score"] = draw(SCORES if not with_nan else st.one_of(SCORES, st.floats()))
        else:
            d[k] = draw(st.integers(0, 3))
    return d


class ResultDict(dict):
    pass


RESULT_LISTS = st.lists(st.one_of(result_dict(), result_dict(), result_dict().map(ResultDict)),
                        max_size=25)


@settings(max_examples=300, deadline=None)
@given(RESULT_LISTS, RESULT_LISTS, st.integers(-3, 100))
def test_rrf_matches_model(vec, bm, k):
    _assert_same_up_to_ties(kn.score_fusion_rrf(vec, bm, k), model.score_fusion_rrf(vec, bm, k))


# ---------------------------------------------------------------- weighted fusion

def test_weighted_worked_example():
    vec = [{"id": "A", "score": 0.9}, {"id": "B", "score": 0.5}, {"id": "C", "score": 0.1}]
    bm = [{"id": "D", "score": 10}, {"id": "A", "score": 5}]
    out = kn.score_fusion_weighted(vec, bm)
    assert [d["id"] for d in out] == ["A", "B", "D", "C"]
    assert [d["score"] for d in out] == [0.7, 0.35, 0.30000000000000004, 0.0]
    assert out[0]["vector_score"] == 0.9 and "fused_only" not in out[0]
    assert out[2]["fused_only"] is True and out[2]["vector_score"] == 0.0
    assert list(out[2]) == ["id", "score", "vector_score", "fused_only"]
    assert list(kn.score_fusion_weighted([{"id": "q"}], [{"id": "r"}])[1]) == [
        "id", "vector_score", "fused_only", "score"]
    assert list(out[1]) == ["id", "score", "vector_score"]
    assert list(kn.score_fusion_weighted([{"id": "q"}], [])[0]) == ["id", "vector_score", "score"]


@pytest.mark.parametrize("score, fused", [(0.8, 0.7), (0.0, 0.0), (-2.5, 0.0), (3, 0.7)])
def test_weighted_single_result(score, fused):
    out = kn.score_fusion_weighted([{"id": "a", "score": score}], [])
    assert out[0]["score"] == fused and out[0]["vector_score"] == score


def test_weighted_duplicate_ids_and_weight_one():
    vec = [{"id": "a", "score": 1.0, "n": 1}, {"id": "a", "score": 0.0, "n": 2}]
    out = kn.score_fusion_weighted(vec, [{"id": "a", "score": 4.0}, {"id": "z", "score": 1.0},
                                         {"id": "z", "score": 9.0}], weight=0.5)
    # Two slots for the duplicated vector id; only the later one gets BM25 mass,
    # and the second "z" adds to the BM25-only slot the first one opened.
    assert [(d.get("n"), d["id"], d["score"]) for d in out] == [
        (1, "a", 0.5), (None, "z", 0.5), (2, "a", 0.0 * 0.5 + 0.375 * 0.5)]
    z = [d for d in out if d["id"] == "z"][0]
    assert z["score"] == 0.0 * 0.5 + 1.0 * 0.5 and z["fused_only"] is True
    out1 = kn.score_fusion_weighted([{"id": "v", "score": 0.2}, {"id": "w", "score": 0.1}],
                                    [{"id": "b", "score": 5.0}], weight=1.0)
    assert [d["id"] for d in out1] == ["v", "w", "b"] and out1[2]["score"] == 0.0


def test_weighted_ties_keep_slot_order():
    vec = [{"id": str(i), "score": 1.0} for i in range(5)]
    bm = [{"id": "x", "score": 2.0}, {"id": "y", "score": 2.0}]
    out = kn.score_fusion_weighted(vec, bm, weight=0.5)
    assert [d["id"] for d in out] == ["0", "1", "2", "3", "4", "x", "y"]


def test_weighted_nan_scores_keep_every_result_once():
    vec = [{"id": "a", "score": math.nan}, {"id": "b", "score": 1.0}, {"id": "c", "score": 0.0}]
    out = kn.score_fusion_weighted(vec, [{"id": "d", "score": math.nan}, {"id": "e"}])
    assert sorted(d["id"] for d in out) == ["a", "b", "c", "d", "e"]
    finite = [d["score"] for d in out if not math.isnan(d["score"])]
    assert finite == sorted(finite, reverse=True)


@settings(max_examples=300, deadline=None)
@given(RESULT_LISTS, RESULT_LISTS,
       st.one_of(st.sampled_from([0.0, 0.3, 0.5, 0.7, 1.0, -1.0, 2.0]), st.floats(-3, 3)))
def test_weighted_matches_model(vec, bm, weight):
    ours = kn.score_fusion_weighted(vec, bm, weight)
    theirs = model.score_fusion_weighted(vec, bm, weight)
    assert [list(d.items()) for d in ours] == [list(d.items()) for d in theirs]


@settings(max_examples=200, deadline=None)
@given(st.lists(result_dict(with_nan=True), max_size=12), st.lists(result_dict(with_nan=True),
                                                                    max_size=12))
def test_weighted_with_nan_and_inf_matches_model_as_multiset(vec, bm):
    ours = kn.score_fusion_weighted(vec, bm)
    theirs = model.score_fusion_weighted(vec, bm)

    def key(d):
        return repr(list(d.items()))
    assert sorted(map(key, ours)) == sorted(map(key, theirs))


# ---------------------------------------------------------------- MMR

def test_mmr_small_inputs_are_returned_untouched():
    assert kn.mmr_rerank([]) == []
    for item in (5, {"text": "a"}, None):
        src = [item]
        out = kn.mmr_rerank(src, lambda_mult=0.1)
        assert out == src and out is not src and out[0] is item


def test_mmr_returns_the_callers_dicts():
    a, b = {"text": "red fish", "score": 1.0}, {"text": "blue bird", "score": 0.5}
    out = kn.mmr_rerank([b, a])
    assert out[0] is a and out[1] is b
    out[0]["touched"] = True
    assert a["touched"] is True


def test_mmr_drops_later_duplicate_whatever_the_scores():
    low = {"text": "The Cat's hat, the CAT", "score": 0.1}
    high = {"text": "cat THE hat cats", "score": 0.9}
    other = {"text": "dog", "score": 0.5}
    assert kn.mmr_rerank([low, other, high]) == [high, other]


def test_mmr_equal_scores_disjoint_texts_come_back_reversed():
    items = [{"text": w, "score": 1.0} for w in ["alpha", "beta", "gamma", "delta"]]
    assert kn.mmr_rerank(items) == items[::-1]


def test_mmr_thresholds_and_lambda():
    items = [{"text": f"w{i} shared", "score": s} for i, s in enumerate([0.3, 0.9, 0.1, 0.5])]
    assert kn.mmr_rerank(items, dup_threshold=0.0) == [items[1]]
    assert kn.mmr_rerank(items, dup_threshold=-1) == [items[1]]
    assert kn.mmr_rerank(items, lambda_mult=1.0, dup_threshold=1.01) == [
        items[1], items[3], items[0], items[2]]
    no_text = [{"score": 0.2}, {"score": 0.2, "text": 5}, {"score": 0.9}]
    assert kn.mmr_rerank(no_text, dup_threshold=1e-9) == [no_text[2], no_text[1], no_text[0]]


def test_mmr_nan_relevance_hands_the_pick_to_the_later_position():
    items = [{"text": "a", "score": 5.0}, {"text": "b", "score": math.nan}, {"text": "c"}]
    assert kn.mmr_rerank(items, lambda_mult=1.0)[0] is items[2]


@pytest.mark.parametrize("left, right, same", [
    ("The Cat's hat, the CAT", "the cats hat cat", True),
    ("foo-bar e.g.", "foobar eg", True),
    ("x", "X", True),
    ("a\xa0b", "b a", True),            # NO-BREAK SPACE splits
    ("a\u2003b", "a b", True),          # EM SPACE splits
    ("a\x1cb", "ab", True),             # FILE SEPARATOR is not White_Space
    ("a\u200bb", "ab", True),           # ZERO WIDTH SPACE is not White_Space
    ("ΣΑΣ", "σας", True),               # final sigma after filtering and lower-casing
    ("cafe\u0301", "cafe", True),       # a combining accent is not alphabetic
    ("\u0915\u093f", "\u0915", False),  # a Devanagari vowel sign is alphabetic
    ("\u2160 \u00bd \u0663", "Ⅰ ½ ٣", True),  # Nl, No and Nd are kept
    ("\u2160", "\u2170", True),         # ROMAN NUMERAL ONE lower-cases
    ("İstanbul", "İSTANBUL", True),
    ("İ", "i", False),                 # lower-cased after filtering: i + U+0307
    ("ǅ", "ǆ", True),
    ("ß", "ss", False),
    ("-- !!", "", True),                # nothing left: both empty, never similar
])
def test_mmr_tokenisation(left, right, same):
    a = {"text": left, "score": 1.0}
    b = {"text": right, "score": 0.5}
    out = kn.mmr_rerank([a, b], dup_threshold=1.0)
    empty = not model.tokenize_for_mmr(left)
    assert (out == [a]) == (same and not empty)
    assert (set(model.tokenize_for_mmr(left)) == set(model.tokenize_for_mmr(right))) == same


WORDS = ["alpha", "beta", "Gamma", "delta,", "éclair", "ÉCLAIR", "x", "a-b", "ab", "σας", "ΣΑΣ",
         "١٢", "½", "—", "", "\u00a0", "\t", "na\u0303o", "\u4e00"]


@st.composite
def mmr_items(draw):
    n = draw(st.integers(0, 12))
    items = []
    for _ in range(n):
        d = {}
        if draw(st.booleans()) or True:
            words = draw(st.lists(st.sampled_from(WORDS), max_size=8))
            d["text"] = draw(st.sampled_from([" ", "  ", "\n", "\u3000"])).join(words)
        if draw(st.integers(0, 4)):
            d["score"] = draw(st.one_of(st.sampled_from([0.0, 0.5, 1.0, 1.0]),
                                        st.floats(-2, 2), st.integers(-1, 2)))
        items.append(d)
    return items


@settings(max_examples=300, deadline=None)
@given(mmr_items(), st.sampled_from([0.0, 0.3, 0.5, 0.7, 1.0, 1.5, -0.5]),
       st.sampled_from([0.0, 0.2, 0.5, 0.85, 1.0, 1.01, -1.0]))
def test_mmr_matches_model(items, lam, dup):
    ours = kn.mmr_rerank(items, lam, dup)
    theirs = model.mmr_rerank(items, lam, dup)
    assert [id(d) for d in ours] == [id(d) for d in theirs]


ASSIGNED = st.characters(exclude_categories=["Cs", "Cn", "Co"], max_codepoint=0x2FFFF).filter(
    lambda c: not (0x2EBF0 <= ord(c) <= 0x2EE5D or 0x2FFC <= ord(c) <= 0x2FFF or c == "\u31ef"))


@settings(max_examples=300, deadline=None)
@given(st.lists(st.text(ASSIGNED, max_size=12), min_size=2, max_size=2))
def test_mmr_tokenisation_matches_model_on_random_text(texts):
    a = {"text": texts[0], "score": 1.0}
    b = {"text": texts[1], "score": 0.0}
    sa = set(model.tokenize_for_mmr(texts[0]))
    sb = set(model.tokenize_for_mmr(texts[1]))
    jac = model.jaccard(sa, sb)
    for thr in (jac, math.nextafter(jac, 2.0)):
        expected = [a] if jac >= thr else [a, b]
        assert kn.mmr_rerank([a, b], lambda_mult=1.0, dup_threshold=thr) == expected


# ---------------------------------------------------------------- dedupe_best_by_id

def test_dedupe_examples():
    items = [{"id": "a", "score": 0.2}, {"id": "b", "score": 0.9}, {"id": "a", "score": 0.5},
             {"id": "a", "score": 0.5, "later": True}, {"score": 9}, {"id": 3, "score": 9},
             {"id": "", "score": 9}]
    out = kn.dedupe_best_by_id(items)
    assert out == [items[2], items[1]]
    assert out[0] is not items[2]
    assert kn.dedupe_best_by_id([]) == []


def test_dedupe_nan_never_replaces_and_is_never_replaced():
    items = [{"id": "a", "score": math.nan, "n": 0}, {"id": "a", "score": 5.0, "n": 1},
             {"id": "b", "score": 1.0, "n": 2}, {"id": "b", "score": math.nan, "n": 3}]
    assert [d["n"] for d in kn.dedupe_best_by_id(items)] == [0, 2]


@settings(max_examples=300, deadline=None)
@given(st.lists(result_dict(with_nan=True), max_size=30))
def test_dedupe_matches_model(items):
    ours = kn.dedupe_best_by_id(items)
    theirs = model.dedupe_best_by_id(items)
    assert [repr(list(d.items())) for d in ours] == [repr(list(d.items())) for d in theirs]


# ---------------------------------------------------------------- filter_results_by_threshold

@pytest.mark.parametrize("item, threshold, field, kept", [
    ({"vector_score": 0.4, "score": 0.9}, 0.5, "vector_score", False),
    ({"score": 0.9}, 0.5, "vector_score", True),
    ({}, 0.5, "vector_score", False),
    ({}, 0.0, "vector_score", True),
    ({}, -0.1, "vector_score", True),
    ({"vector_score": None, "score": 0.7}, 0.6, "vector_score", True),
    ({"vector_score": "0.9", "score": 0.1}, 0.6, "vector_score", False),
    ({"vector_score": 0.7}, 0.6, "score", True),
    ({"vector_score": 0.7, "score": 0.1}, 0.6, "score", False),
    ({"custom": 0.7, "vector_score": 0.0}, 0.6, "custom", True),
    ({"custom": 0.0, "score": 0.7}, 0.6, "custom", False),
    ({"vector_score": 0.1, "score": 0.7}, 0.6, "custom", True),  # fallback is "score"
    ({"vector_score": 0.5}, 0.5, "vector_score", True),
    ({"vector_score": 1}, 1, "vector_score", True),
    ({"vector_score": True}, 1.0, "vector_score", True),
    ({"vector_score": math.nan, "score": 1.0}, 0.0, "vector_score", False),
    ({"score": 1.0}, math.nan, "vector_score", False),
    ({"fused_only": True}, math.nan, "vector_score", True),
    ({"fused_only": True, "vector_score": -5}, 10.0, "vector_score", True),
    ({"fused_only": np.True_, "vector_score": -5}, 10.0, "vector_score", True),
    ({"fused_only": np.False_, "vector_score": 11}, 10.0, "vector_score", True),
    ({"fused_only": np.False_, "vector_score": 9}, 10.0, "vector_score", False),
    ({"fused_only": 1, "vector_score": 9}, 10.0, "vector_score", False),
    ({"fused_only": "yes"}, 10.0, "vector_score", False),
    ({"fused_only": False, "score": 11}, 10.0, "vector_score", True),
    ({"fused_only": np.array(True)}, 10.0, "vector_score", False),
])
def test_filter_cases(item, threshold, field, kept):
    out = kn.filter_results_by_threshold([item], threshold, field)
    assert out == ([item] if kept else [])
    assert (model.filter_results_by_threshold([item], threshold, field) == [item]) == kept


def test_filter_fake_numpy_bool_type_counts():
    class Flag:
        def __bool__(self):
            return True
    Flag.__name__ = "bool_"
    Flag.__module__ = "numpy"
    assert kn.filter_results_by_threshold([{"fused_only": Flag()}], 1.0) != []

    class Broken:
        def __bool__(self):
            raise ValueError("no truth")
    Broken.__name__ = "bool"
    Broken.__module__ = "numpy"
    assert kn.filter_results_by_threshold([{"fused_only": Broken()}], 1.0) == []


def test_filter_keeps_order_and_copies():
    meta = {"k": 1}
    items = [{"score": 0.9, "metadata": meta}, {"score": 0.1}, {"score": 0.6}]
    out = kn.filter_results_by_threshold(items, 0.5, score_field="score")
    assert out == [items[0], items[2]] and out[0] is not items[0]
    assert out[0]["metadata"] is meta
    assert kn.filter_results_by_threshold([], 0.5) == []


@settings(max_examples=300, deadline=None)
@given(st.lists(result_dict(with_nan=True), max_size=20), st.floats(-2, 2),
       st.sampled_from(["vector_score", "score", "x", "id"]))
def test_filter_matches_model(items, threshold, field):
    for it in items[::2]:
        it["fused_only"] = True if len(it) % 2 else 1
    ours = kn.filter_results_by_threshold(items, threshold, field)
    theirs = model.filter_results_by_threshold(items, threshold, field)
    assert ours == theirs


# ---------------------------------------------------------------- hostile input

def _is_internal_fault(exc):
    return type(exc).__name__ == "InternalFault" and not isinstance(exc, Exception)


class MutatingKey:
    """A key whose __hash__, once armed, removes another key from its dict."""

    def __init__(self, target):
        self.target = target
        self.armed = False

    def __hash__(self):
        if self.armed:
            self.target.pop("victim", None)
        return 12345

    def __eq__(self, other):
        return self is other


ALL_CALLS = [
    ("rrf", lambda lst: kn.score_fusion_rrf(lst, [])),
    ("rrf_bm25", lambda lst: kn.score_fusion_rrf([], lst)),
    ("weighted", lambda lst: kn.score_fusion_weighted(lst, [])),
    ("weighted_bm25", lambda lst: kn.score_fusion_weighted([], lst)),
    ("dedupe", lambda lst: kn.dedupe_best_by_id(lst)),
    ("filter", lambda lst: kn.filter_results_by_threshold(lst, -1.0)),
]


@pytest.mark.parametrize("name, call", ALL_CALLS)
def test_dict_mutated_by_key_hash_during_copy_is_an_internal_fault(name, call):
    d = {"id": "a", "score": 1.0}
    k = MutatingKey(d)
    d[k] = 1
    d["victim"] = 2
    k.armed = True
    with pytest.raises(BaseException) as info:
        call([d])
    assert _is_internal_fault(info.value)


class ClearingKey:
    """Collides with every key and empties the dict when compared."""

    def __init__(self, target, h):
        self.target = target
        self.h = h
        self.armed = False

    def __hash__(self):
        return self.h

    def __eq__(self, other):
        if self.armed:
            self.target.clear()
        return False


@pytest.mark.parametrize("name, call", ALL_CALLS + [("mmr", lambda lst: kn.mmr_rerank(lst))])
@pytest.mark.parametrize("looked_up", ["id", "score", "text", "fused_only", "vector_score"])
def test_dict_cleared_during_lookup_does_not_crash(name, call, looked_up):
    d = {}
    k = ClearingKey(d, hash(looked_up))
    d[k] = 0
    d.update({"id": "a", "score": 1.0, "text": "x y"})
    k.armed = True
    other = {"id": "b", "score": 0.5, "text": "z"}
    try:
        out = call([d, other])
    except BaseException as exc:  # a Python error or InternalFault, never a crash
        assert isinstance(exc, Exception) or _is_internal_fault(exc)
    else:
        assert isinstance(out, list)


class ListClearingScore:
    def __init__(self, lst, value=0.5, grow=False):
        self.lst = lst
        self.value = value
        self.grow = grow

    def __float__(self):
        if self.grow:
            self.lst.extend({"id": f"g{i}", "score": 1.0, "text": "g"} for i in range(50))
        else:
            self.lst.clear()
        return self.value


@pytest.mark.parametrize("grow", [False, True])
@pytest.mark.parametrize("name, call", ALL_CALLS + [("mmr", lambda lst: kn.mmr_rerank(lst))])
def test_list_mutated_while_walked(name, call, grow):
    lst = []
    lst.extend([{"id": "a", "score": 1.0, "text": "a b"},
                {"id": "b", "score": ListClearingScore(lst, grow=grow), "vector_score":
                 ListClearingScore(lst, grow=grow), "text": "b c"},
                {"id": "c", "score": 0.2, "text": "c d"}])
    out = call(lst)
    assert isinstance(out, list)
    assert all(isinstance(d, dict) for d in out)


def test_mmr_hostile_text_and_score_values():
    class Weird:
        def __float__(self):
            raise RuntimeError("no float")
    items = [{"text": "a\ud800b", "score": Weird()}, {"text": b"bytes", "score": 10**400},
             {"text": "ok words", "score": 1}]
    out = kn.mmr_rerank(items)
    assert out == model.mmr_rerank(items)


def test_dedupe_copies_losing_items_too():
    # The losing occurrence is still copied as it is met, so its hostile key
    # is hashed and the mutation is caught.
    d = {"id": "a", "score": 0.0}
    k = MutatingKey(d)
    d[k] = 1
    d["victim"] = 2
    k.armed = True
    with pytest.raises(BaseException) as info:
        kn.dedupe_best_by_id([{"id": "a", "score": 1.0}, d])
    assert _is_internal_fault(info.value)
    k.armed = False
    sub = type("D", (dict,), {})(id="a", score=0.5)
    out = kn.dedupe_best_by_id([{"id": "a", "score": 1.0, "n": 0}, sub, {"id": "a", "score": 2.0}])
    assert out == [{"id": "a", "score": 2.0}] and type(out[0]) is dict
