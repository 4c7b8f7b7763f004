"""Knowledge graph: entity/relation merge, edge lists, Louvain, alias groups,
code-to-prose bridge edges; against the pure-Python routines and library peers."""

from __future__ import annotations

import gc
import math
import random
import statistics
import time

import numpy as np

import kelvo_native as kn
from common import Table
from models import graph as model

SEED = 20261211


# ---- data ------------------------------------------------------------------------------

SYLLABLES = ["ka", "lo", "mi", "ren", "tas", "vor", "qui", "zen", "dal", "fer", "gu", "hal",
             "ix", "jo", "nu", "pra", "sol", "tri", "ul", "wex"]


def make_names(rng: random.Random, n: int) -> list[str]:
    out, seen = [], set()
    while len(out) < n:
        w = "".join(rng.choice(SYLLABLES) for _ in range(rng.randint(2, 4)))
        if rng.random() < 0.4:
            w += " " + "".join(rng.choice(SYLLABLES) for _ in range(rng.randint(1, 3)))
        if w not in seen:
            seen.add(w)
            out.append(w)
    return out


def zipf_choices(rng: random.Random, items: list, k: int, s: float = 0.8) -> list:
    weights = [1.0 / (r + 10) ** s for r in range(len(items))]
    return rng.choices(items, weights=weights, k=k)


def extraction_batches(n_items: int = 100_000, per_chunk: int = 10, chunks_per_batch: int = 100,
                       skew: float = 0.8):
    """Per-chunk entity and relation results, cut into batches of 100 chunks. Names are drawn
    from 30,000 with Zipf-like weights 1/(rank+10)**skew (skew 0: uniform)."""
    rng = random.Random(SEED)
    vocab = make_names(rng, 30_000)
    relations = ["works_at", "uses", "part_of", "calls", "depends_on", "located_in", "owns",
                 "mentions", "created_by", "related_to"]
    types = ["PERSON", "ORG", "CONCEPT", "UNKNOWN", "", None]
    n_chunks = n_items // per_chunk
    ent_names = zipf_choices(rng, vocab, n_items, skew)
    subj = zipf_choices(rng, vocab, n_items, skew)
    obj = zipf_choices(rng, vocab, n_items, skew)
    ent_chunks, rel_chunks = [], []
    for c in range(n_chunks):
        doc = f"doc-{c:06d}"
        ents = []
        for i in range(c * per_chunk, (c + 1) * per_chunk):
            name = ent_names[i]
            if rng.random() < 0.3:
                name = name.title()
            if rng.random() < 0.1:
                name = f" {name} "
            e = {"name": name, "description": f"{name} appears in {doc}"}
            t = rng.choice(types)
            if t is not None:
                e["type"] = t
            ents.append(e)
        ent_chunks.append((doc, ents))
        triples = []
        for i in range(c * per_chunk, (c + 1) * per_chunk):
            rel = rng.choice(relations)
            if rng.random() < 0.2:
                triples.append((subj[i].upper(), rel, obj[i]))
            else:
                triples.append({"subject": subj[i], "relation": rel, "object": obj[i],
                                "description": f"{subj[i]} {rel} {obj[i]}",
                                "strength": rng.randint(1, 9)})
        rel_chunks.append((doc, triples))
    batch = lambda xs: [xs[i:i + chunks_per_batch] for i in range(0, len(xs), chunks_per_batch)]
    return batch(ent_chunks), batch(rel_chunks)


def fold(fn, batches):
    graph: dict = {}
    for b in batches:
        fn(graph, b)
    return graph


def planted_partition(n: int = 100_000, size: int = 100, intra: int = 9, inter: int = 1):
    """Seeded planted-partition graph: each node links to `intra` random members of its own
    block and `inter` random nodes elsewhere (about n * (intra + inter) edges)."""
    rng = np.random.default_rng(SEED)
    src = np.repeat(np.arange(n), intra + inter)
    block = src // size
    within = block * size + rng.integers(0, size, size=src.size)
    anywhere = rng.integers(0, n, size=src.size)
    is_inter = np.tile(np.r_[np.zeros(intra, bool), np.ones(inter, bool)], n)
    dst = np.where(is_inter, anywhere, within)
    keep = src != dst
    src, dst = src[keep], dst[keep]
    w = rng.choice(np.array([1.0, 1.0, 2.0, 0.5]), size=src.size)
    return src, dst, w


def modularity(n, src, dst, w, membership) -> float:
    """Weighted modularity (resolution 1) of a membership array, the same way for everyone."""
    membership = np.asarray(membership)
    m = w.sum()
    inside = w[membership[src] == membership[dst]].sum()
    deg = np.bincount(src, weights=w, minlength=n) + np.bincount(dst, weights=w, minlength=n)
    tot = np.bincount(membership, weights=deg)
    return float(inside / m - ((tot / (2 * m)) ** 2).sum())


# ---- benches -------------------------------------------------------------------------------

def timed(fn, repeats: int, clock=time.process_time) -> float:
    """Median time of fn() over `repeats` runs (like common.median_time), except that each
    run's result is freed after its clock stops (freeing is the same work for every
    contender), and that the clock is the process's CPU time: the machine these figures
    come from is shared, and CPU time is far steadier there than wall time. Contenders
    that use several threads (BLAS) are timed with wall time on both sides."""
    times = []
    for _ in range(repeats):
        gc.collect()
        t0 = clock()
        result = fn()
        times.append(clock() - t0)
        del result
    return statistics.median(times)


def bench_merges(table: Table) -> None:
    for skew, label in ((0.8, "Zipf-skewed names"), (0.0, "uniform names")):
        ent_batches, rel_batches = extraction_batches(skew=skew)
        n_ent = sum(len(e) for b in ent_batches for _, e in b)
        n_rel = sum(len(t) for b in rel_batches for _, t in b)
        assert fold(kn.merge_entities_into_graph, ent_batches) == fold(
            model.merge_entities_into_graph, ent_batches)
        assert fold(kn.merge_relations_into_graph, rel_batches) == fold(
            model.merge_relations_into_graph, rel_batches)
        ours = timed(lambda: fold(kn.merge_entities_into_graph, ent_batches), repeats=5)
        theirs = timed(lambda: fold(model.merge_entities_into_graph, ent_batches), repeats=3)
        table.add(f"merge_entities_into_graph, {n_ent:,} entities, {len(ent_batches)} batches, "
                  f"{label}", ours, "Python routine", theirs)
        ours = timed(lambda: fold(kn.merge_relations_into_graph, rel_batches), repeats=5)
        theirs = timed(lambda: fold(model.merge_relations_into_graph, rel_batches), repeats=3)
        table.add(f"merge_relations_into_graph, {n_rel:,} triples, {len(rel_batches)} batches, "
                  f"{label}", ours, "Python routine", theirs)

    eg = fold(kn.merge_entities_into_graph, ent_batches)
    rg = fold(kn.merge_relations_into_graph, rel_batches)
    assert kn.build_graph_edges(eg, rg) == model.build_graph_edges(eg, rg)
    nodes, edges = kn.build_graph_edges(eg, rg)
    ours = timed(lambda: kn.build_graph_edges(eg, rg), repeats=7)
    theirs = timed(lambda: model.build_graph_edges(eg, rg), repeats=5)
    table.add(f"build_graph_edges, {len(nodes):,} nodes, {len(edges):,} edges", ours,
              "Python routine", theirs)


def optional(name: str):
    """A peer library, or None when it is not installed (its rows are then left out)."""
    try:
        return __import__(name)
    except ImportError:
        return None


def bench_louvain(table: Table) -> None:
    igraph = optional("igraph")
    nx = optional("networkx")
    community_louvain = optional("community")

    n = 100_000
    src, dst, w = planted_partition(n)
    labels = [f"n{i}" for i in range(n)]
    wl = w.tolist()
    edges = [(labels[a], labels[b], c) for a, b, c in zip(src.tolist(), dst.tolist(), wl)]
    result = kn.run_louvain(labels, edges)
    ours = timed(lambda: kn.run_louvain(labels, edges), repeats=3)
    q_ours = modularity(n, src, dst, w, [result[x] for x in labels])
    table.add(f"run_louvain, {n:,} nodes, {len(edges):,} edges (planted partition)", ours)
    table.add(f"  modularity of our result ({q_ours:.4f})", q_ours, "", None, unit="Q")

    if igraph is not None:
        pairs = np.column_stack([src, dst]).tolist()

        def igraph_from_labels():
            index = {lab: i for i, lab in enumerate(labels)}
            g = igraph.Graph(n=n, edges=[(index[a], index[b]) for a, b, _ in edges])
            return g.community_multilevel(weights=[c for _, _, c in edges])

        g = igraph.Graph(n=n, edges=pairs)
        t_algo = timed(lambda: g.community_multilevel(weights=wl), repeats=3)
        t_full = timed(igraph_from_labels, repeats=3)
        q_ig = modularity(n, src, dst, w, g.community_multilevel(weights=wl).membership)
        table.add("  vs igraph community_multilevel (prebuilt graph)", ours, "igraph", t_algo)
        table.add("  vs igraph incl. graph build from the label tuples", ours, "igraph", t_full)
        table.add(f"  modularity of igraph's result ({q_ig:.4f})", q_ig, "", None, unit="Q")

    if nx is not None:
        G = nx.Graph()
        G.add_nodes_from(range(n))
        G.add_weighted_edges_from(zip(src.tolist(), dst.tolist(), wl))
        t0 = time.process_time()
        comms = nx.community.louvain_communities(G, weight="weight", seed=SEED)
        t_nx = time.process_time() - t0
        member = np.empty(n, dtype=np.int64)
        for ci, c in enumerate(comms):
            member[list(c)] = ci
        table.add("  vs networkx louvain_communities (1 run)", ours, "networkx", t_nx)
        q_nx = modularity(n, src, dst, w, member)
        table.add(f"  modularity of networkx's result ({q_nx:.4f})", q_nx, "", None, unit="Q")

    # The Python routine (the same local-moving procedure) and python-louvain on the
    # subgraph of the first 10,000 nodes: on the full graph they take minutes.
    n_small = 10_000
    keep = ((src < n_small) & (dst < n_small)).tolist()
    small_edges = [e for e, k in zip(edges, keep) if k]
    small_labels = labels[:n_small]
    assert kn.run_louvain(small_labels, small_edges) == model.run_louvain(small_labels,
                                                                          small_edges)
    ours_s = timed(lambda: kn.run_louvain(small_labels, small_edges), repeats=5)
    t0 = time.process_time()
    model.run_louvain(small_labels, small_edges)
    table.add(f"run_louvain, {n_small:,} nodes, {len(small_edges):,} edges", ours_s,
              "Python routine (1 run)", time.process_time() - t0)
    if community_louvain is not None and nx is not None:
        Gs = nx.Graph()
        Gs.add_nodes_from(range(n_small))
        Gs.add_weighted_edges_from((a, b, c) for a, b, c, k in zip(src.tolist(), dst.tolist(), wl,
                                                                   keep) if k)
        t0 = time.process_time()
        community_louvain.best_partition(Gs, random_state=SEED)
        table.add("  same graph vs python-louvain best_partition (1 run)", ours_s,
                  "python-louvain", time.process_time() - t0)


def clustered_rows(n: int, dim: int, seed: int):
    rng = np.random.default_rng(seed)
    centres = rng.normal(size=(n // 4, dim))
    rows = centres[rng.integers(0, len(centres), size=n)] + rng.normal(scale=0.25, size=(n, dim))
    return rows.tolist()


def numpy_alias_groups(rows, threshold):
    from scipy.sparse import coo_matrix
    from scipy.sparse.csgraph import connected_components

    x = np.asarray(rows, dtype=np.float32)
    x /= np.maximum(np.linalg.norm(x, axis=1, keepdims=True), np.float32(1e-30))
    sim = x @ x.T
    i, j = np.nonzero(np.triu(sim >= np.float32(threshold), 1))
    n = len(rows)
    graph = coo_matrix((np.ones(len(i), dtype=np.int8), (i, j)), shape=(n, n))
    _, labels = connected_components(graph, directed=False)
    return labels


def python_pair_loop(rows, threshold):
    """A plain-Python pass over the pairs (double precision, math.sumprod)."""
    normed = []
    for r in rows:
        s = math.sqrt(math.sumprod(r, r)) or 1.0
        normed.append([x / s for x in r])
    n = len(normed)
    parent = list(range(n))

    def find(x):
        while parent[x] != x:
            parent[x] = parent[parent[x]]
            x = parent[x]
        return x

    for l in range(n):
        a = normed[l]
        for m in range(l + 1, n):
            if math.sumprod(a, normed[m]) >= threshold:
                rl, rm = find(l), find(m)
                if rl != rm:
                    parent[rm] = rl
    return parent


def bench_alias(table: Table) -> None:
    rows = clustered_rows(5000, 384, SEED)
    thr = 0.9
    groups = kn.resolve_entity_alias_groups(rows, thr)
    wall = time.perf_counter
    ours = timed(lambda: kn.resolve_entity_alias_groups(rows, thr), repeats=5, clock=wall)
    if optional("scipy") is None:
        table.add(f"resolve_entity_alias_groups, 5,000 x 384 ({len(groups)} groups)", ours)
    else:
        theirs = timed(lambda: numpy_alias_groups(rows, thr), repeats=5, clock=wall)
        table.add(f"resolve_entity_alias_groups, 5,000 x 384 ({len(groups)} groups)", ours,
                  "numpy+scipy from the lists", theirs)
        arr = np.asarray(rows, dtype=np.float32)
        theirs_arr = timed(lambda: numpy_alias_groups(arr, thr), repeats=5, clock=wall)
        table.add("  same, numpy given a ready float32 array", ours, "numpy+scipy (array)",
                  theirs_arr)

    small = clustered_rows(600, 384, SEED + 1)
    ours_s = timed(lambda: kn.resolve_entity_alias_groups(small, thr), repeats=7)
    t0 = time.process_time()
    python_pair_loop(small, thr)
    table.add("resolve_entity_alias_groups, 600 x 384", ours_s, "Python pair loop (1 run)",
              time.process_time() - t0)


WORDS = ("the of and to in is that for it as with was on be by this are from at or which an "
         "have not but function class value returns object list string when each used call "
         "data file example method default module parameter result").split()


def bench_bridge(table: Table) -> None:
    rng = random.Random(SEED)
    names = set()
    while len(names) < 20_000:
        parts = [rng.choice(SYLLABLES) for _ in range(rng.randint(2, 4))]
        style = rng.random()
        if style < 0.5:
            name = "_".join(parts)
        elif style < 0.8:
            name = parts[0] + "".join(p.title() for p in parts[1:])
        else:
            name = "".join(p.title() for p in parts)
        if len(name) >= 4:
            names.add(name)
    names = sorted(names)
    rng.shuffle(names)
    sym_lookup = {name: f"sym:{i % 15000}" for i, name in enumerate(names)}
    chunks = []
    for c in range(5000):
        words = []
        size = 0
        while size < 1000:
            w = rng.choice(names) if rng.random() < 0.03 else rng.choice(WORDS)
            if rng.random() < 0.05:
                w = w.upper()
            words.append(w)
            size += len(w) + 1
        chunks.append({"id": f"doc:{c}", "text": " ".join(words) + "."})
    existing = [(sym_lookup[n], f"doc:{i}", "MENTIONED_IN") for i, n in enumerate(names[:2000])]

    edges = kn.build_code_doc_bridge_edges(sym_lookup, chunks, existing)
    ours = timed(lambda: kn.build_code_doc_bridge_edges(sym_lookup, chunks, existing),
                       repeats=5)
    sample = chunks[:10]
    assert kn.build_code_doc_bridge_edges(sym_lookup, sample, existing) == \
        model.build_code_doc_bridge_edges(sym_lookup, sample, existing)
    t0 = time.process_time()
    model.build_code_doc_bridge_edges(sym_lookup, sample, existing)
    per_chunk = (time.process_time() - t0) / len(sample)
    table.add(f"build_code_doc_bridge_edges, 20,000 names x 5,000 chunks ({len(edges):,} edges)",
              ours, f"Python routine ({len(sample)} chunks, scaled)", per_chunk * len(chunks))


def main() -> None:
    table = Table("Knowledge graph")
    bench_merges(table)
    bench_alias(table)
    bench_bridge(table)
    bench_louvain(table)
    table.print()


if __name__ == "__main__":
    main()
