"""A knowledge graph of the standard library: modules, classes and functions as
entities; imports, inheritance and calls as relations (extracted with ast), merged
in batches, flattened, clustered, alias-grouped and linked to prose chunks."""

from __future__ import annotations

import ast
import bisect
import hashlib
import os
import sysconfig
import time
from collections import Counter, defaultdict

import kelvo_native as kn

TITLE = "Knowledge graph (entities, relations, communities, aliases, bridge edges)"

MAX_FILES = 400
BATCH_CHUNKS = 100


def module_name(rel_path: str) -> str:
    name = rel_path[:-3].replace(os.sep, ".")
    return name[: -len(".__init__")] if name.endswith(".__init__") else name


def first_line(node) -> str:
    doc = ast.get_docstring(node) if isinstance(
        node, (ast.Module, ast.ClassDef, ast.FunctionDef, ast.AsyncFunctionDef)) else None
    return doc.strip().splitlines()[0] if doc else ""


def call_name(node: ast.Call) -> str | None:
    f = node.func
    if isinstance(f, ast.Name):
        return f.id
    if isinstance(f, ast.Attribute):
        return f.attr
    return None


class Extractor(ast.NodeVisitor):
    """Entities and relation triples of one module, each tagged with its line."""

    def __init__(self, module: str):
        self.module = module
        self.scope: list[str] = [module]
        self.entities: list[tuple[int, dict]] = []
        self.triples: list[tuple[int, object]] = []
        self.docs: list[tuple[str, str]] = []

    def qual(self, name: str) -> str:
        return ".".join(self.scope + [name])

    def visit_Import(self, node):
        for alias in node.names:
            self.triples.append((node.lineno, (self.module, "IMPORTS", alias.name)))

    def visit_ImportFrom(self, node):
        if node.module and not node.level:
            self.triples.append((node.lineno, {"subject": self.module, "relation": "IMPORTS",
                                               "object": node.module, "strength": 3}))

    def visit_ClassDef(self, node):
        q = self.qual(node.name)
        self.entities.append((node.lineno, {"name": q, "type": "CLASS",
                                            "description": first_line(node)}))
        for base in node.bases:
            base_name = base.id if isinstance(base, ast.Name) else (
                base.attr if isinstance(base, ast.Attribute) else None)
            if base_name:
                self.triples.append((node.lineno, {"subject": q, "relation": "INHERITS",
                                                   "object": base_name, "strength": 8}))
        self.triples.append((node.lineno, (q, "DEFINED_IN", self.module)))
        self._doc(q, node)
        self.scope.append(node.name)
        self.generic_visit(node)
        self.scope.pop()

    def visit_FunctionDef(self, node):
        q = self.qual(node.name)
        self.entities.append((node.lineno, {"name": q, "type": "FUNCTION",
                                            "description": first_line(node)}))
        self.triples.append((node.lineno, (q, "DEFINED_IN", ".".join(self.scope))))
        self._doc(q, node)
        for sub in ast.walk(node):
            if isinstance(sub, ast.Call):
                callee = call_name(sub)
                if callee and not callee.startswith("_") and len(callee) > 3:
                    self.triples.append((getattr(sub, "lineno", node.lineno),
                                         {"subject": q, "relation": "CALLS", "object": callee,
                                          "strength": 1}))
        self.scope.append(node.name)
        for child in node.body:
            if isinstance(child, (ast.ClassDef, ast.FunctionDef, ast.AsyncFunctionDef)):
                self.visit(child)
        self.scope.pop()

    visit_AsyncFunctionDef = visit_FunctionDef

    def _doc(self, q: str, node):
        doc = ast.get_docstring(node)
        if doc and len(doc) > 200:
            self.docs.append((q, doc))


def extract(ctx):
    """Per-chunk extraction results, as the host's parallel extractors return them, plus
    prose chunks (long docstrings) and the symbol names."""
    root = sysconfig.get_paths()["stdlib"]
    chunks_by_file = defaultdict(list)
    for c in ctx.corpus:
        chunks_by_file[c["metadata"]["file_path"]].append(c)
    ent_results, rel_results, prose, symbols = [], [], [], {}
    for rel_path in sorted(chunks_by_file)[:MAX_FILES]:
        try:
            with open(os.path.join(root, rel_path), encoding="utf-8") as fh:
                tree = ast.parse(fh.read())
        except (SyntaxError, UnicodeDecodeError, OSError, ValueError):
            continue
        mod = module_name(rel_path)
        ex = Extractor(mod)
        ex.visit(tree)
        chunks = chunks_by_file[rel_path]
        per_chunk_e = defaultdict(list)
        per_chunk_r = defaultdict(list)
        per_chunk_e[chunks[0]["id"]].append({"name": mod, "type": "MODULE",
                                             "description": first_line(tree)})

        starts = [c["metadata"]["start_line"] for c in chunks]

        def chunk_of(line):
            return chunks[max(bisect.bisect_right(starts, line) - 1, 0)]["id"]

        for line, e in ex.entities:
            per_chunk_e[chunk_of(line)].append(e)
            short = e["name"].rsplit(".", 1)[-1]
            # distinctive names only: CamelCase classes and snake_case functions
            distinctive = (e["type"] == "CLASS" and short[:1].isupper() and len(short) >= 8) or (
                "_" in short.strip("_") and len(short) >= 8)
            if distinctive and not short.startswith("_"):
                symbols.setdefault(short, e["name"].lower())
        for line, t in ex.triples:
            per_chunk_r[chunk_of(line)].append(t)
        for c in chunks:
            ent_results.append((c["id"], per_chunk_e.get(c["id"], [])))
            rel_results.append((c["id"], per_chunk_r.get(c["id"], [])))
        for q, doc in ex.docs:
            prose.append({"id": f"doc:{q}", "text": doc})
    return ent_results, rel_results, prose, symbols


def hashed_embedding(text: str, dim: int = 128) -> list[float]:
    """Stand-in name embedding: hashed character trigrams (not a language model)."""
    v = [0.0] * dim
    t = f"  {text.lower()}  "
    for i in range(len(t) - 2):
        h = hashlib.blake2b(t[i:i + 3].encode(), digest_size=4).digest()
        v[int.from_bytes(h[:2], "little") % dim] += 1.0 if h[2] & 1 else -1.0
    return v


def run(ctx) -> None:
    t0 = time.perf_counter()
    ent_results, rel_results, prose, symbols = extract(ctx)
    n_ent = sum(len(e) for _, e in ent_results)
    n_rel = sum(len(r) for _, r in rel_results)
    print(f"extracted with ast: {n_ent:,} entity mentions and {n_rel:,} relation triples "
          f"from {len(ent_results):,} chunks ({time.perf_counter() - t0:.2f} s)")

    entity_graph: dict = {}
    relation_graph: dict = {}
    t0 = time.perf_counter()
    new_e = new_r = 0
    for i in range(0, len(ent_results), BATCH_CHUNKS):
        new_e += kn.merge_entities_into_graph(entity_graph, ent_results[i:i + BATCH_CHUNKS])
        new_r += kn.merge_relations_into_graph(relation_graph, rel_results[i:i + BATCH_CHUNKS])
    t1 = time.perf_counter()
    print(f"merged in batches of {BATCH_CHUNKS} chunks: {new_e:,} entities, {new_r:,} relation "
          f"records ({(t1 - t0) * 1e3:.1f} ms)")
    top = sorted(entity_graph.items(), key=lambda kv: -kv[1]["frequency"])[:3]
    for key, rec in top:
        print(f"   {key!r}: type {rec['type']}, in {rec['frequency']} chunks")
    heavy = max(((s, r) for s, rs in relation_graph.items() for r in rs),
                key=lambda sr: sr[1]["weight"])
    print(f"   heaviest relation: {heavy[0]} -{heavy[1]['relation']}-> {heavy[1]['target']} "
          f"(weight {heavy[1]['weight']}, support {heavy[1]['support_count']})")

    t0 = time.perf_counter()
    nodes, edges = kn.build_graph_edges(entity_graph, relation_graph)
    t1 = time.perf_counter()
    communities = kn.run_louvain(nodes, edges)
    t2 = time.perf_counter()
    print(f"\nflattened: {len(nodes):,} nodes, {len(edges):,} edges ({(t1 - t0) * 1e3:.1f} ms); "
          f"Louvain: {len(set(communities.values())):,} communities ({(t2 - t1) * 1e3:.1f} ms)")
    members = defaultdict(list)
    for label, c in communities.items():
        members[c].append(label)
    for c, size in Counter(communities.values()).most_common(5):
        sample = sorted(members[c], key=lambda k: -entity_graph.get(k, {}).get("frequency", 0))
        print(f"   community {c}: {size} entities, e.g. {', '.join(sample[:5])}")

    embed = ctx.state.get("embed")
    names = [k for k, rec in entity_graph.items() if rec.get("type") in ("CLASS", "MODULE")]
    names = names[:3000]
    if embed is not None:
        label = "the demo's embedding"
        vectors = [[float(x) for x in embed(n)] for n in names]
    else:
        label = "a hashed-trigram stand-in embedding (not a language model)"
        vectors = [hashed_embedding(n.rsplit(".", 1)[-1]) for n in names]
    t0 = time.perf_counter()
    groups = kn.resolve_entity_alias_groups(vectors, 0.92)
    t1 = time.perf_counter()
    print(f"\nalias groups over {len(names):,} class/module names with {label}: "
          f"{len(groups)} groups ({(t1 - t0) * 1e3:.1f} ms)")
    for g in sorted(groups, key=len, reverse=True)[:4]:
        print("   " + ", ".join(names[i] for i in g[:5]) + (" ..." if len(g) > 5 else ""))
    entity_embeddings = {n: v for n, v in zip(names, vectors)}

    t0 = time.perf_counter()
    bridge = kn.build_code_doc_bridge_edges(symbols, prose, [])
    t1 = time.perf_counter()
    print(f"\nbridge edges: {len(symbols):,} symbol names x {len(prose):,} docstring chunks -> "
          f"{len(bridge):,} MENTIONED_IN edges ({(t1 - t0) * 1e3:.1f} ms)")
    by_source = Counter(e["source"] for e in bridge)
    for source, n in by_source.most_common(5):
        print(f"   {source}: mentioned in {n} docstrings")

    ctx.state["entity_graph"] = entity_graph
    ctx.state["relation_graph"] = relation_graph
    ctx.state["entity_embeddings"] = entity_embeddings
