"""BM25: index build, single-query latency and memory, against bm25s, rank_bm25
and the pure-Python routine, on a synthetic Zipf corpus and the standard library."""

from __future__ import annotations

import gc
import os
import random
import statistics
import sys
import time

import numpy as np
import psutil

import common
import kelvo_native as kn
from models.bm25 import Bm25Model

sys.path.insert(0, os.path.join(common.ROOT, "examples"))
from stdlib_corpus import stdlib_corpus  # noqa: E402

N_DOCS = int(os.environ.get("BM25_DOCS", 100_000))
VOCAB = 50_000
DOC_LEN = 120
MODEL_DOCS = 20_000  # the pure-Python model is timed on a subset
N_QUERIES = 1000


def zipf_corpus(n_docs: int, seed: int = 7) -> list[dict]:
    rng = np.random.default_rng(seed)
    letters = "abcdefghijklmnopqrstuvwxyz"
    vocab = []
    for i in range(VOCAB):
        w, k = "", i
        while True:
            w += letters[k % 26]
            k //= 26
            if k == 0:
                break
        vocab.append(w if i % 7 else w.capitalize())
    weights = 1.0 / np.arange(1, VOCAB + 1) ** 1.07
    weights /= weights.sum()
    lengths = rng.integers(DOC_LEN // 2, DOC_LEN * 3 // 2 + 1, size=n_docs)
    ids = rng.choice(VOCAB, size=int(lengths.sum()), p=weights)
    corpus, pos = [], 0
    for d, n in enumerate(lengths):
        words = [vocab[j] for j in ids[pos:pos + n]]
        pos += n
        corpus.append({"id": f"doc{d}", "text": " ".join(words), "metadata": {"n": int(n)}})
    return corpus


def draw_queries(corpus: list[dict], n: int, seed: int = 11) -> list[str]:
    rnd = random.Random(seed)
    out = []
    for _ in range(n):
        words = corpus[rnd.randrange(len(corpus))]["text"].split()
        out.append(" ".join(rnd.sample(words, min(len(words), rnd.randint(2, 4)))))
    return out


def rss() -> int:
    gc.collect()
    return psutil.Process().memory_info().rss


def timed(fn):
    t0 = time.perf_counter()
    r = fn()
    return r, time.perf_counter() - t0


def latency(fn, queries) -> float:
    times = []
    for q in queries:
        t0 = time.perf_counter()
        fn(q)
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def memory_in_fresh_process(label: str) -> float:
    """RSS growth of building the index, per posting, measured in a new
    interpreter so that memory freed by earlier work cannot be reused."""
    import subprocess
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--memory", label],
                         capture_output=True, text=True, check=True)
    return float(out.stdout.split()[-1])


def measure_memory(label: str) -> None:
    corpus = zipf_corpus(N_DOCS) if label == "zipf" else stdlib_corpus()
    n_postings = sum(len(set(c["text"].lower().split())) for c in corpus)
    before = rss()
    index = kn.build_bm25_index(corpus)
    kn.search_bm25(index, "a", 1)  # the per-document score buffer is allocated on first use
    print((rss() - before) / n_postings)


def bench_corpus(label: str, corpus: list[dict], table: common.Table, with_model: bool):
    import bm25s
    from rank_bm25 import BM25Okapi

    texts = [c["text"] for c in corpus]
    queries = draw_queries(corpus, N_QUERIES)

    # Build: best of 3 for us, one run for the slow peers.
    index = kn.build_bm25_index(corpus)
    mem = memory_in_fresh_process(label)
    ours_build = min(timed(lambda: kn.build_bm25_index(corpus))[1] for _ in range(2))

    def build_bm25s():
        tokens = [t.lower().split() for t in texts]
        r = bm25s.BM25(method="lucene", k1=1.5, b=0.75)
        r.index(tokens, show_progress=False)
        return r

    retriever, bm25s_build = timed(build_bm25s)
    okapi, okapi_build = timed(lambda: BM25Okapi([t.lower().split() for t in texts]))
    table.add(f"{label}: build ({len(corpus):,} docs)", ours_build, "bm25s", bm25s_build)
    table.add(f"{label}: build", ours_build, "rank_bm25", okapi_build)
    if with_model:
        sub = corpus[:MODEL_DOCS]
        _, model_build = timed(lambda: Bm25Model(sub))
        ours_sub = min(timed(lambda: kn.build_bm25_index(sub))[1] for _ in range(3))
        table.add(f"{label}: build ({len(sub):,} docs)", ours_sub, "Python routine", model_build)

    # Single-query top-10 latency.
    ours_q = latency(lambda q: kn.search_bm25(index, q, 10), queries)
    bm25s_q = latency(lambda q: retriever.retrieve([q.lower().split()], k=10, show_progress=False,
                                                   n_threads=0), queries)
    okapi_q = latency(lambda q: okapi.get_top_n(q.lower().split(), texts, n=10), queries[:30])
    table.add(f"{label}: query top-10 (median)", ours_q, "bm25s", bm25s_q)
    table.add(f"{label}: query top-10 (median)", ours_q, "rank_bm25", okapi_q)
    if with_model:
        sub_index = kn.build_bm25_index(corpus[:MODEL_DOCS])
        model = Bm25Model(corpus[:MODEL_DOCS])
        sub_q = latency(lambda q: kn.search_bm25(sub_index, q, 10), queries[:200])
        model_q = latency(lambda q: model.search(q, 10), queries[:200])
        table.add(f"{label}: query ({MODEL_DOCS:,} docs)", sub_q, "Python routine", model_q)
    table.add(f"{label}: index memory per posting", mem, unit="B")

    # bm25s's lucene scores leave out the (k1 + 1) factor and are float32.
    agree = max_rel = 0.0
    for q in queries[:200]:
        ours = kn.search_bm25(index, q, 10)
        # bm25s counts a repeated query word once per repeat; we count it once.
        terms = list(dict.fromkeys(q.lower().split()))
        docs, scores = retriever.retrieve([terms], k=10, show_progress=False)
        theirs = {int(d): float(s) for d, s in zip(docs[0], scores[0]) if s > 0}
        ours_ids = {d for d, _ in ours}
        agree += len(ours_ids & set(theirs)) / max(len(ours_ids), 1)
        for d, s in ours:
            if d in theirs:
                max_rel = max(max_rel, abs(theirs[d] * 2.5 - s) / s)
    print(f"{label}: bm25s top-10 overlap {agree / 200:.3f}; "
          f"max relative score difference (ours vs bm25s x 2.5) {max_rel:.2e}")
    return index


def main() -> None:
    table = common.Table("BM25 index and search")
    corpus = zipf_corpus(N_DOCS)
    bench_corpus("zipf", corpus, table, with_model=True)
    del corpus
    bench_corpus("stdlib", stdlib_corpus(), table, with_model=False)
    table.print()


if __name__ == "__main__":
    if sys.argv[1:2] == ["--memory"]:
        measure_memory(sys.argv[2])
    else:
        main()
