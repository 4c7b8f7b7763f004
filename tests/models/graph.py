"""Pure-Python routines of the knowledge-graph functions.

They follow the documented behaviour step by step (forgiving reads included) and
serve as test oracles and as the benchmark peers.
"""

from __future__ import annotations

import math
import operator
import re

import numpy as np

# The Unicode White_Space property (Python's str.isspace() is a wider set).
WHITE_SPACE = ("\t\n\x0b\x0c\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005"
               "\u2006\u2007\u2008\u2009\u200a\u2028\u2029\u202f\u205f\u3000")


def is_str(v) -> bool:
    """A str (or subclass) whose content encodes to UTF-8."""
    if not isinstance(v, str):
        return False
    if v.isascii():
        return True
    try:
        v.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def text(v) -> str:
    return v if is_str(v) else ""


_MISSING = object()


def lookup(d, key):
    """(found, value): a plain dict lookup; a failing lookup counts as absent."""
    try:
        v = dict.get(d, key, _MISSING)
    except Exception:
        return False, None
    return (False, None) if v is _MISSING else (True, v)


def normalise_key(name: str) -> str:
    return name.lower().strip(WHITE_SPACE)


def as_count(v):
    """v read like a count (non-negative int below 2**64 through __index__), or None."""
    try:
        i = int.__index__(v) if isinstance(v, int) else operator.index(v)
    except Exception:
        return None
    if i < 0 or i >= 2 ** 64:
        return None
    return i


def as_float(v):
    """v converted like the C API's float conversion (no parsing of str or bytes), or None."""
    if isinstance(v, float):
        return float.__float__(v)
    try:
        if hasattr(type(v), "__float__"):
            return float(v)
        return float(operator.index(v))
    except Exception:
        return None


# ---- entity merge --------------------------------------------------------------

def merge_entities_into_graph(entity_graph: dict, results: list) -> int:
    inserted = 0
    for elem in results:
        if not isinstance(elem, (tuple, list)) or len(elem) < 2:
            continue
        doc_id, entities = elem[0], elem[1]
        if not isinstance(entities, list):
            continue
        inserted += merge_chunk_entities(entity_graph, str.__str__(text(doc_id)), entities)
    return inserted


def merge_chunk_entities(graph: dict, doc_id: str, entities: list) -> int:
    inserted = 0
    for item in entities:
        if not isinstance(item, dict):
            continue
        found, name = lookup(item, "name")
        if not found:
            continue
        key = normalise_key(text(name))
        if not key:
            continue
        found, record = lookup(graph, key)
        if not found:
            _, desc = lookup(item, "description")
            t_found, etype = lookup(item, "type")
            graph[key] = {
                "description": desc if is_str(desc) else "",
                "type": etype if (t_found and is_str(etype)) else "UNKNOWN",
                "chunk_ids": [doc_id],
                "frequency": 1,
                "degree": 0,
            }
            inserted += 1
        elif isinstance(record, dict):
            cur_found, cur = lookup(record, "type")
            if not cur_found or not is_str(cur) or cur in ("", "UNKNOWN"):
                _, etype = lookup(item, "type")
                if is_str(etype) and etype not in ("", "UNKNOWN"):
                    record["type"] = etype
            found, chunks = lookup(record, "chunk_ids")
            if not found:
                record["chunk_ids"] = [doc_id]
            elif isinstance(chunks, list):
                # str.__eq__ of the doc id: content equality with str items, NotImplemented
                # (never True) for anything else
                if True not in map(doc_id.__eq__, chunks):
                    chunks.append(doc_id)
            found, chunks = lookup(record, "chunk_ids")
            record["frequency"] = len(chunks) if (found and isinstance(chunks, list)) else 1
    return inserted


# ---- relation merge --------------------------------------------------------------

def _first_of(d, k1, k2) -> str:
    found, v = lookup(d, k1)
    if not found:
        found, v = lookup(d, k2)
    return text(v) if found else ""


def merge_relations_into_graph(relation_graph: dict, results: list) -> int:
    added = 0
    for elem in results:
        if not isinstance(elem, (tuple, list)) or len(elem) < 2:
            continue
        doc_id, triples = elem[0], elem[1]
        if not is_str(doc_id) or not isinstance(triples, list):
            continue
        doc_id = str.__str__(doc_id)
        for t in triples:
            if isinstance(t, dict):
                subj = _first_of(t, "subject", "source")
                obj = _first_of(t, "object", "target")
                rel = text(lookup(t, "relation")[1])
                desc = text(lookup(t, "description")[1])
                found, s = lookup(t, "strength")
                strength = as_count(s) if found else None
                if strength is None:
                    strength = 5
            elif isinstance(t, tuple) and len(t) >= 3:
                if not is_str(t[0]):
                    continue
                subj, rel, obj, desc, strength = t[0], text(t[1]), text(t[2]), "", 5
            else:
                continue
            if not subj:
                continue
            src = normalise_key(subj)
            if not src:
                continue
            tgt = normalise_key(obj)
            rel = rel.strip(WHITE_SPACE)
            found, edges = lookup(relation_graph, src)
            if not found or not isinstance(edges, list):
                edges = []
                relation_graph[src] = edges
            for e in edges:
                if (isinstance(e, dict) and text(lookup(e, "target")[1]) == tgt
                        and text(lookup(e, "relation")[1]) == rel):
                    found, w = lookup(e, "weight")
                    w = as_float(w) if found else None
                    e["weight"] = (1.0 if w is None else w) + float(strength)
                    found, sc = lookup(e, "support_count")
                    sc = as_count(sc) if found else None
                    e["support_count"] = 2 if sc is None else sc + 1
                    found, units = lookup(e, "text_unit_ids")
                    if not found:
                        e["text_unit_ids"] = [doc_id]
                    elif isinstance(units, list):
                        if True not in map(doc_id.__eq__, units):
                            units.append(doc_id)
                    break
            else:
                edges.append({
                    "target": tgt,
                    "relation": rel,
                    "chunk_id": doc_id,
                    "description": desc.strip(WHITE_SPACE),
                    "strength": strength,
                    "weight": float(strength),
                    "support_count": 1,
                    "text_unit_ids": [doc_id],
                })
                added += 1
    return added


# ---- edge lists ------------------------------------------------------------------

def build_graph_edges(entity_graph: dict, relation_graph: dict):
    nodes = list(entity_graph.keys())
    edges = []
    for src, records in list(relation_graph.items()):
        if not is_str(src) or not isinstance(records, list):
            continue
        for r in records:
            if not isinstance(r, dict):
                continue
            found, tgt = lookup(r, "target")
            if not found or not is_str(tgt) or not tgt:
                continue
            found, w = lookup(r, "weight")
            w = as_float(w) if found else None
            edges.append((str(src), str(tgt), 1.0 if w is None else w))
    return nodes, edges


# ---- Louvain -----------------------------------------------------------------------

def run_louvain(nodes: list, edges: list, resolution: float = 1.0) -> dict:
    gamma = resolution if (math.isfinite(resolution) and resolution > 0) else 1.0
    labels = [text(x) for x in nodes]
    if not labels:
        return {}
    index = {}
    for i, lab in enumerate(labels):
        index[lab] = i
    n = len(labels)
    adj = [[] for _ in range(n)]
    m = 0.0
    for e in edges:
        if not isinstance(e, (tuple, list)) or len(e) < 2:
            continue
        i = index.get(text(e[0]))
        j = index.get(text(e[1]))
        if i is None or j is None:
            continue
        if i == j and isinstance(e, tuple):
            continue
        w = as_float(e[2]) if len(e) > 2 else 1.0
        if w is None:
            w = 1.0
        adj[i].append((j, w))
        adj[j].append((i, w))
        m += w
    k = []
    for lst in adj:
        s = 0.0
        for _, w in lst:
            s += w
        k.append(s)
    comm = list(range(n))
    tot = list(k)
    if 2 * m < 1e-15:
        out = {}
        for i, lab in enumerate(labels):
            out[lab] = i
        return out
    D = (2 * m) * m
    for _ in range(20):
        moved = False
        for i in range(n):
            c = comm[i]
            ki = k[i]
            k_in = 0.0
            table = {}
            for j, w in adj[i]:
                d = comm[j]
                if d == c:
                    if j != i:
                        k_in += w
                else:
                    table[d] = table.get(d, 0.0) + w
            tot[c] -= ki
            best = c
            if table:
                g = k_in / m - (tot[c] * gamma * ki) / D
                for d, wd in table.items():  # first-seen order
                    gain = wd / m - (tot[d] * gamma * ki) / D
                    if gain > g + 1e-10:
                        best, g = d, gain
            comm[i] = best
            tot[best] += ki
            if best != c:
                moved = True
        if not moved:
            break
    numbers = {}
    out = {}
    for i, lab in enumerate(labels):
        out[lab] = numbers.setdefault(comm[i], len(numbers))
    return out


# ---- alias groups ------------------------------------------------------------------

def resolve_entity_alias_groups(embeddings: list, threshold: float) -> list:
    f32 = np.float32
    rows = []
    for r in embeddings:
        if not isinstance(r, list):
            continue
        row = []
        for x in r:
            v = as_float(x)
            row.append(f32(0.0) if v is None else f32(v))
        s = f32(0.0)
        for x in row:
            s = f32(s + f32(x * x))
        if s > 0:
            inv = f32(f32(1.0) / f32(np.sqrt(s)))
            row = [f32(x * inv) for x in row]
        rows.append(row)
    thr = f32(threshold)
    n = len(rows)
    parent = list(range(n))

    def find(x):
        while parent[x] != x:
            parent[x] = parent[parent[x]]
            x = parent[x]
        return x

    with np.errstate(all="ignore"):
        for l in range(n):
            for m in range(l + 1, n):
                d = min(len(rows[l]), len(rows[m]))
                if d == 0:
                    continue
                acc = f32(0.0)
                a, b = rows[l], rows[m]
                for i in range(d):
                    acc = f32(acc + f32(a[i] * b[i]))
                if acc >= thr:
                    rl, rm = find(l), find(m)
                    if rl != rm:
                        parent[rm] = rl
    groups = {}
    for i in range(n):
        groups.setdefault(find(i), []).append(i)
    return [groups[r] for r in sorted(groups) if len(groups[r]) >= 2]


# ---- code-to-prose bridge edges ----------------------------------------------------

_pattern_cache: dict = {}


def name_pattern(name: str):
    """Whole-ASCII-word, ASCII-case-insensitive search for `name`, on UTF-8 bytes."""
    p = _pattern_cache.get(name)
    if p is None:
        p = re.compile(rb"(?<![A-Za-z0-9])" + re.escape(name.encode("utf-8")) + rb"(?![A-Za-z0-9])",
                       re.IGNORECASE)
        _pattern_cache[name] = p
    return p


def build_code_doc_bridge_edges(sym_lookup: dict, prose_chunks: list, existing_edge_tuples: list):
    known = set()
    for t in existing_edge_tuples:
        if isinstance(t, tuple) and len(t) >= 3:
            known.add((text(t[0]), text(t[1]), text(t[2])))
    symbols = [(k, v) for k, v in sym_lookup.items() if is_str(k) and k and is_str(v) and v]
    out = []
    for chunk in prose_chunks:
        if not isinstance(chunk, dict):
            raise TypeError(f"'{type(chunk).__qualname__}' object cannot be converted to 'PyDict'")
        cid = text(lookup(chunk, "id")[1])
        body = text(lookup(chunk, "text")[1])
        if not cid or not body or not symbols:
            continue
        raw = body.encode("utf-8")
        for name, node in symbols:
            triple = (node, cid, "MENTIONED_IN")
            if triple in known:
                continue
            if len(name.encode("utf-8")) > len(raw):
                continue
            if name_pattern(name).search(raw):
                known.add(triple)
                out.append({"source": node, "target": cid, "edge_type": "MENTIONED_IN",
                            "chunk_id": cid})
    return out
