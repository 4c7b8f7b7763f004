"""Ingestion bookkeeping: MD5 digests of the standard-library files kept in a
binary hash store, probed on the next run to skip unchanged files; and the
sentence splitter on module docstrings."""

import importlib
import os
import time

import kelvo_native as kn

TITLE = "Ingestion: hash store and sentence segmentation"

STORE_NAME = "ingested_files.kvh"
DOC_MODULES = ["json", "argparse", "csv", "shutil"]


def file_texts(corpus):
    """Each file's text, rebuilt from its chunks in order."""
    files: dict[str, list[str]] = {}
    for chunk in corpus:
        files.setdefault(chunk["metadata"]["file_path"], []).append(chunk["text"])
    return {path: "\n".join(parts) for path, parts in files.items()}


def ingest(ctx):
    os.makedirs(ctx.cache_dir, exist_ok=True)
    store = os.path.join(ctx.cache_dir, STORE_NAME)
    files = file_texts(ctx.corpus)

    t0 = time.perf_counter()
    digests = {path: kn.compute_doc_hash(text) for path, text in files.items()}
    t1 = time.perf_counter()
    print(f"MD5 of {len(files):,} files: {(t1 - t0) * 1e3:.1f} ms")

    t0 = time.perf_counter()
    answers = [kn.probe_hash_store(store, d) for d in digests.values()]
    t1 = time.perf_counter()
    if answers and answers[0] is None:
        print(f"no hash store at {store} yet: every file is new")
    else:
        unchanged = sum(a is True for a in answers)
        print(f"probed {len(answers):,} digests in {(t1 - t0) * 1e3:.1f} ms "
              f"({(t1 - t0) / max(len(answers), 1) * 1e6:.1f} us each, file never loaded)")
        print(f"  {unchanged:,} files unchanged and skipped, {len(answers) - unchanged:,} new "
              f"or changed")
        t0 = time.perf_counter()
        known = set(kn.load_hash_store_binary(store))
        t1 = time.perf_counter()
        print(f"  for comparison, loading the whole store into a set: {(t1 - t0) * 1e3:.1f} ms "
              f"({len(known):,} distinct digests); probes pay off on large stores")

    t0 = time.perf_counter()
    kn.save_hash_store_binary(store, list(digests.values()))
    t1 = time.perf_counter()
    print(f"saved {len(digests):,} digests ({os.path.getsize(store):,} bytes) in "
          f"{(t1 - t0) * 1e3:.1f} ms (written to a temporary file, synced, renamed)")


def sentences(ctx):
    for name in DOC_MODULES:
        doc = (importlib.import_module(name).__doc__ or "").strip()
        parts = kn.segment_text(doc, 20)
        print(f"\n  {name}: {len(doc):,} characters of docstring -> {len(parts)} sentences")
        for s in parts[:3]:
            s = " ".join(s.split())
            print(f"    - {s[:100]}{'...' if len(s) > 100 else ''}")

    texts = [c["text"] for c in ctx.corpus]
    t0 = time.perf_counter()
    total = sum(len(kn.segment_text(t, 20)) for t in texts)
    t1 = time.perf_counter()
    size = sum(len(t) for t in texts)
    print(f"\n  all {len(texts):,} chunks ({size / 1e6:.1f} M characters) -> {total:,} "
          f"sentences in {(t1 - t0) * 1e3:.1f} ms")


def run(ctx) -> None:
    ingest(ctx)
    sentences(ctx)
