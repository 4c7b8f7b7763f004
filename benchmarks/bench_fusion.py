"""Score fusion, MMR rerank and result filters against the pure-Python routines.

Peers: the pure-Python versions in tests/models/fusion.py (the same steps, in
Python), and for the two fusions ranx.fuse ("rrf" and "wsum" with min-max
normalisation) timed on prebuilt ranx Runs, i.e. without turning result dicts
into Runs and back. No PyPI routine does Jaccard-MMR or the two filters on
result dicts, so those have only the Python peer.
"""

from __future__ import annotations

import gc
import random
import statistics
import time

import kelvo_native as kn
from common import Table

from models import fusion as model

try:  # optional peer
    from ranx import Run, fuse as ranx_fuse
except Exception:  # pragma: no cover - ranx not installed
    Run = ranx_fuse = None

WORDS = [f"w{i}" for i in range(1500)] + ["the", "of", "and", "to", "in", "is", "for", "return",
                                          "def", "self", "value", "data", "file", "path"] * 20


def result(rng, rid, score, words=12):
    return {
        "id": rid,
        "text": " ".join(rng.choice(WORDS) for _ in range(words)),
        "score": score,
        "metadata": {"file_path": f"pkg/mod{rng.randrange(50)}.py", "start_line": rng.randrange(900)},
    }


def fusion_lists(rng, n=1000):
    vec_ids = [f"doc-{i}" for i in range(n)]
    bm_ids = [f"doc-{i}" for i in range(n // 2, n + n // 2)]  # half of them shared
    rng.shuffle(bm_ids)
    vec = [result(rng, rid, 1.0 - i / (2 * n)) for i, rid in enumerate(vec_ids)]
    bm = [result(rng, rid, 20.0 - i * 0.01) for i, rid in enumerate(bm_ids)]
    return vec, bm


def mmr_results(rng, n=200, words=80):
    out = []
    for i in range(n):
        if out and rng.random() < 0.2:  # a near-duplicate of an earlier passage
            text = out[rng.randrange(len(out))]["text"].split()
            for _ in range(rng.randint(1, 4)):
                text[rng.randrange(len(text))] = rng.choice(WORDS)
            text = " ".join(text)
        else:
            text = " ".join(rng.choice(WORDS).capitalize() if rng.random() < 0.1
                            else rng.choice(WORDS) for _ in range(words)) + "."
        out.append({"id": f"c{i}", "text": text, "score": rng.random()})
    out.sort(key=lambda d: d["score"], reverse=True)
    return out


def filter_results(rng, n=10_000):
    out = []
    for i in range(n):
        d = result(rng, f"doc-{rng.randrange(n * 2 // 5)}", rng.random(), words=6)
        d["vector_score"] = rng.random() if rng.random() < 0.8 else None
        if rng.random() < 0.1:
            d["fused_only"] = True
        out.append(d)
    return out


def ranx_runs(vec, bm):
    rv = Run({"q": {d["id"]: float(d["score"]) for d in vec}}, name="vector")
    rb = Run({"q": {d["id"]: float(d["score"]) for d in bm}}, name="bm25")
    return rv, rb


def interleaved_medians(fns, repeats, number):
    """Median seconds per call of each fn, timing them in turn within every repeat,
    so that all of them see the same machine load. The clock is the process's
    CPU time: on a machine shared with other jobs, wall time mostly measures
    how long the process waited for a core."""
    times = [[] for _ in fns]
    for _ in range(repeats):
        for k, fn in enumerate(fns):
            gc.collect()
            t0 = time.process_time()
            for _ in range(number):
                fn()
            times[k].append((time.process_time() - t0) / number)
    return [statistics.median(t) for t in times]


def main() -> None:
    rng = random.Random(7)
    table = Table("Fusion and reranking (kelvo_native vs pure Python / ranx)")

    vec, bm = fusion_lists(rng)
    assert [d["id"] for d in kn.score_fusion_weighted(vec, bm)] == [
        d["id"] for d in model.score_fusion_weighted(vec, bm)]
    runs = ranx_runs(vec, bm) if Run is not None else None
    if runs is not None:  # first calls compile ranx's numba kernels
        ranx_fuse(list(runs), norm=None, method="rrf", params={"k": 60})
        ranx_fuse(list(runs), norm="min-max", method="wsum", params={"weights": [0.7, 0.3]})

    cases = [
        ("score_fusion_rrf 2x1000", lambda: kn.score_fusion_rrf(vec, bm),
         lambda: model.score_fusion_rrf(vec, bm),
         (lambda: ranx_fuse(list(runs), norm=None, method="rrf", params={"k": 60}))
         if runs else None, 20),
        ("score_fusion_weighted 2x1000", lambda: kn.score_fusion_weighted(vec, bm),
         lambda: model.score_fusion_weighted(vec, bm),
         (lambda: ranx_fuse(list(runs), norm="min-max", method="wsum",
                            params={"weights": [0.7, 0.3]})) if runs else None, 20),
    ]

    mmr_items = mmr_results(rng)
    assert [id(d) for d in kn.mmr_rerank(mmr_items)] == [id(d) for d in model.mmr_rerank(mmr_items)]
    cases.append(("mmr_rerank 200x80 words", lambda: kn.mmr_rerank(mmr_items),
                  lambda: model.mmr_rerank(mmr_items), None, 1))

    many = filter_results(rng)
    assert kn.dedupe_best_by_id(many) == model.dedupe_best_by_id(many)
    assert kn.filter_results_by_threshold(many, 0.5) == model.filter_results_by_threshold(many, 0.5)
    cases.append(("dedupe_best_by_id 10k", lambda: kn.dedupe_best_by_id(many),
                  lambda: model.dedupe_best_by_id(many), None, 5))
    cases.append(("filter_results_by_threshold 10k",
                  lambda: kn.filter_results_by_threshold(many, 0.5),
                  lambda: model.filter_results_by_threshold(many, 0.5), None, 5))

    # The inputs and everything the imports built (ranx brings pandas and numba)
    # are long-lived: keep them out of the collector's way, so that the timings
    # measure the routines, not full collections over the benchmark's own heap.
    gc.collect()
    gc.freeze()
    for name, ours_fn, py_fn, ranx_fn, number in cases:
        fns = [ours_fn, py_fn] + ([ranx_fn] if ranx_fn is not None else [])
        repeats = 3 if number == 1 else 9
        ours, *peers = interleaved_medians(fns, repeats, number)
        table.add(name, ours, "Python routine", peers[0])
        if ranx_fn is not None:
            table.add(name, ours, "ranx.fuse (prebuilt Runs)", peers[1])
    gc.unfreeze()
    table.print()


if __name__ == "__main__":
    main()
