"""BM25 search over the standard-library chunks."""

import time

import kelvo_native as kn

TITLE = "Lexical search (BM25)"

QUERIES = [
    "parse command line arguments",
    "json decode error",
    "thread pool executor shutdown",
    "http request headers",
    "temporary directory cleanup",
]


def show_hits(ctx, hits, limit=5):
    for pos, score in hits[:limit]:
        meta = ctx.corpus[pos]["metadata"]
        print(f"   {score:7.3f}  {meta['file_path']}:{meta['start_line']}-{meta['end_line']}")


def run(ctx) -> None:
    t0 = time.perf_counter()
    docs = kn.preprocess_documents(ctx.corpus, 256)
    t1 = time.perf_counter()
    index = kn.build_bm25_index(docs)
    t2 = time.perf_counter()
    ctx.state["bm25"] = index
    print(f"preprocess {len(docs):,} chunks: {(t1 - t0) * 1e3:.1f} ms; "
          f"build index: {(t2 - t1) * 1e3:.1f} ms")
    for q in QUERIES:
        t0 = time.perf_counter()
        hits = kn.search_bm25(index, q, 10)
        dt = time.perf_counter() - t0
        print(f"\n  query {q!r}: {len(hits)} hits in {dt * 1e6:.0f} us")
        show_hits(ctx, hits)
