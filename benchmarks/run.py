"""Runs every benchmarks/bench_*.py (or those named on the command line).

    python benchmarks/run.py            # all
    python benchmarks/run.py bm25       # only bench_bm25.py
"""

import importlib
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)


def main(argv):
    names = sorted(f[len("bench_"):-3] for f in os.listdir(HERE)
                   if f.startswith("bench_") and f.endswith(".py"))
    wanted = argv or names
    for name in wanted:
        module = importlib.import_module(f"bench_{name}")
        module.main()


if __name__ == "__main__":
    main(sys.argv[1:])
