"""A real corpus found on every machine: the Python standard library's .py files,
cut into chunks of a few dozen lines as chunk dicts {"id", "text", "metadata"}."""

from __future__ import annotations

import os
import sysconfig

CHUNK_LINES = 40


def stdlib_files(limit: int | None = None) -> list[str]:
    root = sysconfig.get_paths()["stdlib"]
    out = []
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames[:] = sorted(d for d in dirnames
                             if d not in ("site-packages", "test", "tests", "idlelib", "__pycache__"))
        for f in sorted(filenames):
            if f.endswith(".py"):
                out.append(os.path.join(dirpath, f))
                if limit and len(out) >= limit:
                    return out
    return out


def chunk_file(path: str, root: str) -> list[dict]:
    try:
        with open(path, encoding="utf-8") as fh:
            lines = fh.read().splitlines()
    except (UnicodeDecodeError, OSError):
        return []
    rel = os.path.relpath(path, root)
    chunks = []
    for start in range(0, len(lines), CHUNK_LINES):
        piece = lines[start:start + CHUNK_LINES]
        text = "\n".join(piece)
        if not text.strip():
            continue
        end = start + len(piece)
        chunks.append({
            "id": f"{rel}:{start + 1}-{end}",
            "text": text,
            "metadata": {"file_path": rel, "start_line": start + 1, "end_line": end,
                         "source_class": "prose" if not rel.endswith(".py") else "code_text"},
        })
    return chunks


def stdlib_corpus(limit_files: int | None = None) -> list[dict]:
    root = sysconfig.get_paths()["stdlib"]
    corpus = []
    for path in stdlib_files(limit_files):
        corpus.extend(chunk_file(path, root))
    return corpus
