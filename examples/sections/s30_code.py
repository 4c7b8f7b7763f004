"""Code retrieval over the standard library's functions and classes: query
tokens, the symbol index, the index-free symbol channel and the lexical boost."""

from __future__ import annotations

import ast
import os
import sysconfig
import time

import kelvo_native as kn

from stdlib_corpus import stdlib_files

TITLE = "Code retrieval (symbols)"

QUERIES = [
    "json.loads",
    "parse_config",
    "HTTPConnection request",
    "os.path.join",
    "ThreadPoolExecutor shutdown",
    "where is urlsplit defined in urllib/parse.py",
]


def module_name(rel: str) -> str:
    parts = rel[:-3].split(os.sep)
    if parts[-1] == "__init__":
        parts.pop()
    return ".".join(parts)


def code_chunks_of(path: str, root: str) -> list[dict]:
    try:
        with open(path, encoding="utf-8") as fh:
            source = fh.read()
        tree = ast.parse(source)
    except (SyntaxError, UnicodeDecodeError, OSError, ValueError):
        return []
    rel = os.path.relpath(path, root)
    module = module_name(rel)
    lines = source.splitlines()
    chunks = []

    def visit(node, owner: list[str], in_class: bool):
        for child in ast.iter_child_nodes(node):
            if isinstance(child, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
                is_class = isinstance(child, ast.ClassDef)
                kind = "class" if is_class else ("method" if in_class else "function")
                qual = ".".join([module, *owner, child.name])
                start, end = child.lineno, child.end_lineno or child.lineno
                chunks.append({
                    "id": f"{rel}:{qual}:{start}",
                    "text": "\n".join(lines[start - 1:end]),
                    "metadata": {"symbol_name": child.name, "qualified_name": qual,
                                 "symbol_type": kind, "file_path": rel,
                                 "start_line": start, "end_line": end,
                                 "source_class": "code"},
                })
                visit(child, [*owner, child.name], is_class)

    visit(tree, [], False)
    return chunks


def build_code_chunks() -> list[dict]:
    root = sysconfig.get_paths()["stdlib"]
    chunks = []
    for path in stdlib_files():
        chunks.extend(code_chunks_of(path, root))
    return chunks


def where(chunk: dict) -> str:
    m = chunk["metadata"]
    return f"{m['qualified_name']} ({m['symbol_type']}, {m['file_path']}:{m['start_line']})"


def run(ctx) -> None:
    t0 = time.perf_counter()
    chunks = build_code_chunks()
    t1 = time.perf_counter()
    ctx.state["code_chunks"] = chunks
    index = kn.build_symbol_index([chunks])
    t2 = time.perf_counter()
    print(f"{len(chunks):,} functions, methods and classes from the standard library "
          f"({t1 - t0:.2f} s with ast); symbol index built in {(t2 - t1) * 1e3:.1f} ms")

    for query in QUERIES:
        t0 = time.perf_counter()
        tokens = kn.extract_code_query_tokens(query)
        t1 = time.perf_counter()
        hits = kn.search_symbol_index(index, tokens, 8)
        t2 = time.perf_counter()
        channel = kn.symbol_channel_search([chunks], tokens, 8)
        t3 = time.perf_counter()
        print(f"\n  query {query!r}")
        print(f"    tokens ({(t1 - t0) * 1e6:.0f} us): {sorted(tokens)}")
        print(f"    symbol index: {len(hits)} hits in {(t2 - t1) * 1e6:.0f} us")
        for pos, score, field in hits[:3]:
            print(f"      {score:.1f} {field:<14} {where(chunks[pos])}")
        print(f"    symbol channel: {len(channel)} hits in {(t3 - t2) * 1e3:.1f} ms")

        # Boost the union of both candidate lists by the lexical scores and
        # show the best few, as the host package ranks its code results.
        positions = list(dict.fromkeys([p for p, _, _ in hits] + [c["index"] for c in channel]))
        results = [chunks[p] for p in positions]
        t4 = time.perf_counter()
        lex, max_lex = kn.code_lexical_scores(results, tokens)
        t5 = time.perf_counter()
        ranked = sorted(zip(lex, positions), key=lambda x: -x[0])
        print(f"    lexical boost of {len(results)} results in {(t5 - t4) * 1e6:.0f} us "
              f"(max {max_lex:.3f}):")
        for score, pos in ranked[:3]:
            print(f"      {score:.3f} {where(chunks[pos])}")

    # The channel also filters on metadata, compared as str() texts.
    tokens = kn.extract_code_query_tokens("request")
    methods = kn.symbol_channel_search([chunks], tokens, 5, {"symbol_type": "method"})
    print("\n  methods named like 'request', filtered with {'symbol_type': 'method'}:")
    for r in methods:
        print(f"    {r['score']:.1f} {r['channel']:<14} {where(chunks[r['index']])}")
