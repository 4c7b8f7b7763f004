"""Shared timing and table helpers for the benchmark scripts."""

from __future__ import annotations

import gc
import os
import statistics
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# Pure-Python reference routines live with the tests and double as peers here.
sys.path.insert(0, os.path.join(ROOT, "tests"))


def median_time(fn, repeats: int = 5, number: int = 1) -> float:
    """Median wall time of `number` calls of fn, over `repeats` runs (seconds per call)."""
    times = []
    for _ in range(repeats):
        gc.collect()
        t0 = time.perf_counter()
        for _ in range(number):
            fn()
        times.append((time.perf_counter() - t0) / number)
    return statistics.median(times)


def fmt_time(seconds: float) -> str:
    if seconds >= 1:
        return f"{seconds:.3f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds * 1e6:.1f} us"


class Table:
    """Rows of (benchmark, ours, peer name, peer figure, ratio peer/ours)."""

    def __init__(self, title: str):
        self.title = title
        self.rows: list[tuple[str, str, str, str, str]] = []

    def add(self, name: str, ours: float, peer: str | None = None, theirs: float | None = None,
            unit: str = "time"):
        if unit == "time":
            o = fmt_time(ours)
            t = fmt_time(theirs) if theirs is not None else ""
        else:
            o = f"{ours:.2f} {unit}"
            t = f"{theirs:.2f} {unit}" if theirs is not None else ""
        ratio = f"{theirs / ours:.1f}x" if (theirs is not None and ours > 0) else ""
        self.rows.append((name, o, peer or "", t, ratio))

    def print(self):
        head = ("benchmark", "kelvo_native", "peer", "peer figure", "speed-up")
        widths = [max(len(r[i]) for r in [head, *self.rows]) for i in range(5)]
        print(f"\n## {self.title}\n")
        print("| " + " | ".join(h.ljust(w) for h, w in zip(head, widths)) + " |")
        print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
        for r in self.rows:
            print("| " + " | ".join(c.ljust(w) for c, w in zip(r, widths)) + " |")
        sys.stdout.flush()
