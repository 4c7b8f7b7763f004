"""Pure-Python reference versions of the fusion and reranking routines.

They follow the routines step by step (same reads, same order of floating-point
operations) and serve as test oracles and as benchmark peers.
"""

from __future__ import annotations

import math
import re

import regex

_MISSING = object()

# The 25 White_Space code points (str.split() also splits at U+001C..U+001F).
WHITE_SPACE = ("\t\n\x0b\x0c\r \x85\xa0\u1680" + "".join(chr(c) for c in range(0x2000, 0x200B))
               + "\u2028\u2029\u202f\u205f\u3000")
_WS_RUN = re.compile("[" + re.escape(WHITE_SPACE) + "]+")
# Characters that are neither alphanumeric (Alphabetic, Nd, Nl, No) nor White_Space.
_NOT_KEPT = regex.compile(r"[^\p{Alphabetic}\p{Nd}\p{Nl}\p{No}" + regex.escape(WHITE_SPACE) + "]+")


def _lookup(d, key):
    try:
        return dict.get(d, key, _MISSING)
    except Exception:
        return _MISSING


def _as_float(v):
    """The C-API float conversion: floats as they are, else __float__ or __index__."""
    if isinstance(v, float):
        return float.__float__(v)
    t = type(v)
    if not (hasattr(t, "__float__") or hasattr(t, "__index__")):
        return None
    try:
        return float(v)
    except Exception:
        return None


def get_str(d, key):
    v = _lookup(d, key)
    if not isinstance(v, str):
        return ""
    try:
        return v.encode("utf-8").decode("utf-8")
    except UnicodeEncodeError:
        return ""


def get_optional_f64(d, key):
    v = _lookup(d, key)
    if v is _MISSING:
        return None
    return _as_float(v)


def get_score(d):
    v = get_optional_f64(d, "score")
    return 0.0 if v is None else v


def _not_dict(item):
    return TypeError(f"'{type(item).__qualname__}' object cannot be converted to 'PyDict'")


def min_max_norm(values):
    if not values:
        return []
    lo, hi = math.inf, -math.inf
    for v in values:
        if math.isnan(v):
            continue
        if v < lo:
            lo = v
        if v > hi:
            hi = v
    if abs(hi - lo) < 1e-12:
        return [1.0 if hi > 0.0 else 0.0] * len(values)
    return [(v - lo) / (hi - lo) for v in values]


def _recip(x):
    """1.0 / x with IEEE semantics (+-inf for a zero)."""
    return 1.0 / x if x else math.copysign(math.inf, x)


def score_fusion_rrf(vector_results, bm25_results, k=60):
    kf = float(k)
    fused, vector_score, rep = {}, {}, {}
    for i, item in enumerate(vector_results):
        if not isinstance(item, dict):
            raise _not_dict(item)
        rid = get_str(item, "id")
        score = get_score(item)
        fused[rid] = fused.get(rid, 0.0) + _recip(kf + i)
        vector_score[rid] = score
        rep.setdefault(rid, item)
    for j, item in enumerate(bm25_results):
        if not isinstance(item, dict):
            raise _not_dict(item)
        rid = get_str(item, "id")
        fused[rid] = fused.get(rid, 0.0) + _recip(kf + j)
        rep.setdefault(rid, item)
    out = []
    for rid, score in sorted(fused.items(), key=lambda p: p[1], reverse=True):
        copy = dict(rep[rid])
        copy["score"] = score
        copy["vector_score"] = vector_score.get(rid, 0.0)
        out.append(copy)
    return out


def score_fusion_weighted(vector_results, bm25_results, weight=0.7):
    weight = float(weight)
    raw_v = [get_score(it) if isinstance(it, dict) else 0.0 for it in vector_results]
    raw_b = [get_score(it) if isinstance(it, dict) else 0.0 for it in bm25_results]
    norm_v = min_max_norm(raw_v)
    norm_b = min_max_norm(raw_b)
    dicts, scores, slot_of = [], [], {}
    for i, item in enumerate(vector_results):
        if not isinstance(item, dict):
            raise _not_dict(item)
        rid = get_str(item, "id")
        copy = dict(item)
        copy["vector_score"] = raw_v[i]
        slot_of[rid] = len(dicts)
        dicts.append(copy)
        scores.append(weight * norm_v[i])
    for j, item in enumerate(bm25_results):
        if not isinstance(item, dict):
            raise _not_dict(item)
        rid = get_str(item, "id")
        c = norm_b[j] * (1.0 - weight)
        slot = slot_of.get(rid)
        if slot is not None:
            scores[slot] += c
            dicts[slot]["score"] = scores[slot]
        else:
            copy = dict(item)
            copy["vector_score"] = 0.0
            copy["fused_only"] = True
            slot_of[rid] = len(dicts)
            dicts.append(copy)
            scores.append(c)
    for d, s in zip(dicts, scores):
        d["score"] = s
    # NaN scores last (any order that keeps each result once is allowed).
    order = sorted(range(len(dicts)),
                   key=lambda s: (math.isnan(scores[s]), 0.0 if math.isnan(scores[s]) else -scores[s]))
    return [dicts[s] for s in order]


def tokenize_for_mmr(text):
    tokens = []
    for word in _WS_RUN.split(_NOT_KEPT.sub("", text)):
        if word:
            tokens.append(word.lower())
    return tokens


def jaccard(a, b):
    if not a or not b:
        return 0.0
    inter = len(a & b)
    return inter / (len(a) + len(b) - inter)


def mmr_rerank(results, lambda_mult=0.5, dup_threshold=0.85):
    if len(results) <= 1:
        return list(results)
    lam = float(lambda_mult)
    dup = float(dup_threshold)
    rel, sets = [], []
    for item in results:
        if not isinstance(item, dict):
            raise _not_dict(item)
        rel.append(get_score(item))
        sets.append(frozenset(tokenize_for_mmr(get_str(item, "text"))))
    remaining = list(range(len(results)))
    selected = []
    one_minus = 1.0 - lam

    def redundancy(c):
        r = 0.0
        for s in selected:
            sim = jaccard(sets[c], sets[s])
            if sim > r:
                r = sim
        return r

    while remaining:
        if not selected:
            best = 0
            for k in range(1, len(remaining)):
                if not rel[remaining[best]] > rel[remaining[k]]:
                    best = k
        elif len(remaining) == 1:
            best = 0
        else:
            best, best_mmr = 0, None
            for k, c in enumerate(remaining):
                mmr = lam * rel[c] - one_minus * redundancy(c)
                if best_mmr is None or not best_mmr > mmr:
                    best, best_mmr = k, mmr
        chosen = remaining.pop(best)
        if selected and redundancy(chosen) >= dup:
            continue
        selected.append(chosen)
    return [results[p] for p in selected]


def dedupe_best_by_id(results):
    order, best = [], {}
    for item in results:
        if not isinstance(item, dict):
            raise _not_dict(item)
        rid = get_str(item, "id")
        if not rid:
            continue
        score = get_score(item)
        copy = dict(item)
        if rid not in best:
            order.append(rid)
            best[rid] = (copy, score)
        elif score > best[rid][1]:
            best[rid] = (copy, score)
    return [best[rid][0] for rid in order]


def _is_true_flag(v):
    if isinstance(v, bool):
        return v
    t = type(v)
    if t.__name__ in ("bool_", "bool") and getattr(t, "__module__", None) == "numpy":
        try:
            return bool(v)
        except Exception:
            return False
    return False


def filter_results_by_threshold(results, threshold, score_field="vector_score"):
    threshold = float(threshold)
    fallback = "vector_score" if score_field == "score" else "score"
    out = []
    for item in results:
        if not isinstance(item, dict):
            raise _not_dict(item)
        flag = _lookup(item, "fused_only")
        if flag is not _MISSING and _is_true_flag(flag):
            out.append(dict(item))
            continue
        score = get_optional_f64(item, score_field)
        if score is None:
            score = get_optional_f64(item, fallback)
        if score is None:
            score = 0.0
        if score >= threshold:
            out.append(dict(item))
    return out
