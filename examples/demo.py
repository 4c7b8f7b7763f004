"""kelvo_native demo over the Python standard library.

Builds a corpus of chunk dicts from the standard library's own .py files, then
runs every section in examples/sections/ in order (lexical search, and the
sections later parts of the module add: hybrid fusion, code retrieval, the
knowledge graph, persistence).
"""

from __future__ import annotations

import importlib
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from stdlib_corpus import stdlib_corpus  # noqa: E402


class Context:
    """What the sections share: the corpus, indexes built so far, a cache folder."""

    def __init__(self):
        self.cache_dir = os.path.join(HERE, ".cache")
        t0 = time.perf_counter()
        self.corpus = stdlib_corpus()
        self.corpus_seconds = time.perf_counter() - t0
        self.state: dict = {}


def main() -> None:
    ctx = Context()
    print(f"corpus: {len(ctx.corpus):,} chunks from the standard library "
          f"({ctx.corpus_seconds:.2f} s to read)")
    sections = sorted(f[:-3] for f in os.listdir(os.path.join(HERE, "sections"))
                      if f.startswith("s") and f.endswith(".py"))
    for name in sections:
        module = importlib.import_module(f"sections.{name}")
        print(f"\n=== {module.TITLE} ===")
        module.run(ctx)


if __name__ == "__main__":
    main()
