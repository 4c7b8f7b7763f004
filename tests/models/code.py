"""Pure-Python models of the code-retrieval routines: query tokens, the symbol
index and its search, the symbol channel, and the lexical boost of code results.

They follow the documented behaviour step by step and serve both as test
oracles and as the Python peers of the benchmarks.
"""

from __future__ import annotations

import re

try:  # the Unicode \w / \b the native patterns use (letters, marks, Nd, Pc, joiners)
    import regex as _uregex
except ImportError:  # pragma: no cover - the exact model then is unavailable
    _uregex = None

EXTENSIONS = ("py|rs|ts|tsx|js|jsx|go|java|cpp|c|h|cs|rb|kt|swift|scala|lua|sh|toml|yaml|yml"
              "|json|md")
RE_CODE_EXT = r"\b(\w+)\.(" + EXTENSIONS + r")\b"
RE_QUALIFIED = r"\b([A-Za-z_]\w+)\.([A-Za-z_]\w+)\b"
RE_IDENTIFIER = r"\b[A-Za-z_][A-Za-z0-9_]{3,}\b"
RE_CAMEL = r"[A-Z][a-z0-9]*|[a-z][a-z0-9]*"


def _make_extractor(engine):
    code_ext = engine.compile(RE_CODE_EXT)
    qualified = engine.compile(RE_QUALIFIED)
    identifier = engine.compile(RE_IDENTIFIER)
    camel = engine.compile(RE_CAMEL)

    def extract(query: str) -> set[str]:
        tokens: set[str] = set()
        for m in code_ext.finditer(query):
            tokens.add(m.group(1).lower())
        for m in qualified.finditer(query):
            q, member = m.group(1).lower(), m.group(2).lower()
            tokens.add(q)
            tokens.add(member)
            tokens.add(f"{q}.{member}")
        for m in identifier.finditer(query):
            ident = m.group(0)
            low = ident.lower()
            tokens.add(low)
            for piece in camel.findall(ident):
                piece = piece.lower()
                if len(piece) >= 3:
                    tokens.add(piece)
            if "_" in low:
                for piece in low.split("_"):
                    if len(piece) >= 3:
                        tokens.add(piece)
        return tokens

    return extract


# The host package's routine, on Python's `re` (whose \w is str.isalnum() plus
# "_": the same as the Unicode class on ASCII text, narrower around marks).
extract_code_query_tokens_re = _make_extractor(re)
# The exact model, on the Unicode word class the native patterns use.
extract_code_query_tokens = _make_extractor(_uregex) if _uregex else None


# ---- symbol index -----------------------------------------------------------

def _str_or_empty(value) -> str:
    return value if isinstance(value, str) else ""


def _names(meta: dict) -> tuple[str, str]:
    return (_str_or_empty(meta.get("symbol_name")).lower(),
            _str_or_empty(meta.get("qualified_name")).lower())


class PySymbolIndex:
    def __init__(self):
        self.entries: list[tuple[int, str, str]] = []
        self.names: dict[str, list[tuple[int, str]]] = {}


def build_symbol_index(corpora) -> PySymbolIndex:
    index = PySymbolIndex()
    position = 0
    for corpus in corpora:
        for chunk in corpus:
            meta = chunk.get("metadata")
            if isinstance(meta, dict):
                sym, qual = _names(meta)
                if sym or qual:
                    index.entries.append((position, sym, qual))
                    if sym:
                        index.names.setdefault(sym, []).append((position, "symbol_name"))
                    if qual:
                        index.names.setdefault(qual, []).append((position, "qualified_name"))
            position += 1
    return index


def _symbol_tokens(query_tokens) -> list[str]:
    return [t.lower() for t in query_tokens
            if isinstance(t, str) and len(t.encode("utf-8", "surrogatepass")) >= 3]


def search_symbol_index_full(index: PySymbolIndex, query_tokens, top_k: int):
    """Every hit, best first, before the cut at top_k."""
    tokens = _symbol_tokens(query_tokens)
    if not tokens:
        return []
    hits: dict[int, tuple[float, str]] = {}
    for t in tokens:
        for pos, field in index.names.get(t, ()):
            if pos not in hits:
                hits[pos] = (1.0, field)
    if len(hits) < top_k:
        for pos, sym, qual in index.entries:
            if pos in hits:
                continue
            score, field = 0.0, "symbol_name"
            if sym and any(t in sym for t in tokens):
                score, field = 0.6, "symbol_name"
            if qual and any(t in qual for t in tokens) and score < 0.6:
                score, field = 0.6, "qualified_name"
            if score > 0.0:
                hits[pos] = (score, field)
    out = [(pos, score, field) for pos, (score, field) in hits.items()]
    out.sort(key=lambda h: -h[1])
    return out


def search_symbol_index(index: PySymbolIndex, query_tokens, top_k: int):
    return search_symbol_index_full(index, query_tokens, top_k)[:top_k]


# ---- symbol channel -----------------------------------------------------------

def symbol_channel_search(corpora, query_tokens, top_k: int, filters=None):
    tokens = _symbol_tokens(query_tokens)
    if not tokens:
        return []
    candidates = []
    position = -1
    for corpus in corpora:
        for chunk in corpus:
            position += 1
            meta = chunk.get("metadata")
            if meta is None:
                continue
            if filters:
                if any(k not in meta or str(meta[k]) != str(v) for k, v in filters.items()):
                    continue
            sym, qual = _names(meta)
            if not sym and not qual:
                continue
            score, field = 0.0, "symbol_name"
            for t in tokens:
                if sym and sym == t:
                    score, field = 1.0, "symbol_name"
                elif sym and score < 1.0 and t in sym:
                    score, field = 0.6, "symbol_name"
                if qual and qual == t:
                    score, field = 1.0, "qualified_name"
                elif qual and score < 1.0 and t in qual:
                    score, field = 0.6, "qualified_name"
            if score > 0.0:
                candidates.append((position, score, field))
    candidates.sort(key=lambda c: -c[1])
    return [{"index": p, "score": s, "channel": f} for p, s, f in candidates[:top_k]]


# ---- lexical boost --------------------------------------------------------------

def file_stem(path: str) -> str:
    parts = [p for p in path.split("/") if p and p != "."]
    if not parts or parts[-1] == "..":
        return ""
    name = parts[-1]
    dot = name.rfind(".")
    return (name if dot <= 0 else name[:dot]).lower()


def _line(value):
    if isinstance(value, int) and -2**63 <= value < 2**63:
        return value
    return None


def code_lexical_scores(results, query_tokens):
    all_tokens = {t.lower() for t in query_tokens if isinstance(t, str)}
    long_tokens = [t for t in all_tokens if len(t.encode("utf-8", "surrogatepass")) >= 4]
    if not all_tokens:
        return [0.0] * len(results), 0.0
    scores = []
    for r in results:
        meta = r.get("metadata")
        if meta is None or meta.get("source_class") != "code" \
                or not isinstance(meta.get("source_class"), str):
            scores.append(0.0)
            continue
        sym = _str_or_empty(meta.get("symbol_name")).lower()
        sym_type = _str_or_empty(meta.get("symbol_type")).lower()
        path = meta.get("file_path")
        if not isinstance(path, str):
            path = _str_or_empty(meta.get("source"))
        stem = file_stem(path)
        guessed = f"{stem}.{sym}" if stem and sym else ""
        text = _str_or_empty(r.get("text")).lower()
        start, end = _line(meta.get("start_line")), _line(meta.get("end_line"))

        s = 0.0
        if sym:
            if sym in all_tokens:
                s = 1.0
            elif any(t in sym for t in long_tokens):
                s = 0.5
        if stem and stem in all_tokens:
            s = s + 0.4
        if guessed and guessed in all_tokens:
            s = s + 1.0
        n = sum(1 for t in long_tokens if t in text)
        s = s + min(n * 0.08, 0.32)
        if s > 0.0 and sym_type in ("method", "function"):
            s = s * 1.1
        if start is not None and end is not None:
            d = end - start
            if d <= 30:
                s = s + 0.05
            elif d <= 80:
                s = s + 0.02
        scores.append(s)
    return scores, max(scores, default=0.0)
