"""Payload codecs: the graph and embedding documents, the corpus payloads.

Peers: ormsgpack and msgpack on the same Python objects, orjson and the
standard json for the JSON corpus payloads, and the host's pure-Python routines
(tests/models/codecs.py)."""

from __future__ import annotations

import gc
import json
import random
import statistics
import time

import msgpack
import orjson
import ormsgpack

import kelvo_native as kn
from common import Table, median_time
from models import codecs as model

N_ENTITIES = 50_000
N_VECTORS = 20_000
DIM = 384
N_CHUNKS = 100_000
DUPLICATE_SHARE = 0.30

WORDS = ("graph index query vector token chunk entity relation score fusion retrieval "
         "document sentence window embedding cache payload store merge").split()
TYPES = ["PERSON", "ORG", "CONCEPT", "FUNCTION", "CLASS", "MODULE", "UNKNOWN"]


def words(rng, n):
    return " ".join(rng.choice(WORDS) for _ in range(n))


def entity_graph(rng):
    graph = {}
    for i in range(N_ENTITIES):
        n = rng.randint(1, 6)
        chunk_ids = [f"lib/{rng.choice(WORDS)}/{rng.randrange(400)}.py:{rng.randrange(2000)}-"
                     f"{rng.randrange(2000, 4000)}" for _ in range(n)]
        graph[f"{words(rng, 2)} {i}"] = {
            "description": words(rng, rng.randint(4, 14)),
            "type": rng.choice(TYPES),
            "chunk_ids": chunk_ids,
            "frequency": n,
            "degree": rng.randrange(30),
        }
    return graph


def embeddings(rng):
    return {f"entity {i}": [rng.uniform(-1.0, 1.0) for _ in range(DIM)]
            for i in range(N_VECTORS)}


def corpus(rng):
    n_distinct = int(N_CHUNKS * (1 - DUPLICATE_SHARE))
    pool = [words(rng, rng.randint(60, 160)) for _ in range(n_distinct)]
    chunks = []
    for i in range(N_CHUNKS):
        text = pool[i] if i < n_distinct else rng.choice(pool)
        path = f"lib/{rng.choice(WORDS)}/{i // 20}.py"
        chunks.append({"id": f"{path}:{i}", "text": text,
                       "metadata": {"file_path": path, "start_line": i % 20 * 40 + 1,
                                    "end_line": i % 20 * 40 + 40, "source_class": "code_text"}})
    rng.shuffle(chunks)
    return chunks


def paired(table, name, ours, peers, repeats=7):
    """Times ours and each peer in alternation, so that a busy machine slows
    them alike; one row per peer with the medians."""
    times = {label: [] for label in ["ours", *peers]}
    calls = {"ours": ours, **peers}
    for _ in range(repeats):
        for label, fn in calls.items():
            gc.collect()
            t0 = time.perf_counter()
            fn()
            times[label].append(time.perf_counter() - t0)
    ours_t = statistics.median(times["ours"])
    for label in peers:
        table.add(name, ours_t, label, statistics.median(times[label]))


def add_codec_rows(table, label, ours_enc, ours_dec, obj):
    data = ours_enc(obj)
    assert ours_dec(data) == obj
    assert data == ormsgpack.packb(obj) == msgpack.packb(obj)
    paired(table, f"{label}: encode", lambda: ours_enc(obj),
           {"ormsgpack.packb": lambda: ormsgpack.packb(obj),
            "msgpack.packb": lambda: msgpack.packb(obj)})
    paired(table, f"{label}: decode", lambda: ours_dec(data),
           {"ormsgpack.unpackb": lambda: ormsgpack.unpackb(data),
            "msgpack.unpackb": lambda: msgpack.unpackb(data, strict_map_key=False)})


def main():
    rng = random.Random(42)
    table = Table("Payload codecs (MessagePack and JSON)")

    graph = entity_graph(rng)
    add_codec_rows(table, f"entity graph, {N_ENTITIES:,} records", kn.encode_entity_graph,
                   kn.decode_entity_graph, graph)
    small = dict(list(graph.items())[:2_000])
    table.add("entity graph, 2,000 records: encode", median_time(
        lambda: kn.encode_entity_graph(small), 5), "pure-Python writer",
        median_time(lambda: model.pack(small), 3))
    del graph, small

    vecs = embeddings(rng)
    add_codec_rows(table, f"embeddings, {N_VECTORS:,} x {DIM}", kn.encode_entity_embeddings,
                   kn.decode_entity_embeddings, vecs)
    del vecs

    chunks = corpus(rng)
    texts, docs = kn.build_dedup_corpus_payload(chunks)
    assert (texts, docs) == model.build_dedup_corpus_payload(chunks)
    paired(table, f"corpus {N_CHUNKS:,} chunks: build_dedup_corpus_payload",
           lambda: kn.build_dedup_corpus_payload(chunks),
           {"pure Python": lambda: model.build_dedup_corpus_payload(chunks)}, 5)

    data = kn.encode_corpus_msgpack(texts, docs)
    assert kn.decode_corpus_msgpack(data) == chunks
    flat = ormsgpack.packb(chunks)

    def ours_round_trip():
        kn.decode_corpus_msgpack(kn.encode_corpus_msgpack(texts, docs))

    paired(table, "corpus msgpack: encode + decode", ours_round_trip,
           {"ormsgpack flat list": lambda: ormsgpack.unpackb(ormsgpack.packb(chunks)),
            "msgpack flat list": lambda: msgpack.unpackb(msgpack.packb(chunks))}, 5)
    paired(table, "corpus msgpack: encode", lambda: kn.encode_corpus_msgpack(texts, docs),
           {"ormsgpack.packb flat list": lambda: ormsgpack.packb(chunks)}, 5)
    paired(table, "corpus msgpack: decode", lambda: kn.decode_corpus_msgpack(data),
           {"ormsgpack.unpackb flat list": lambda: ormsgpack.unpackb(flat)}, 5)
    print(f"\ncorpus payload: {len(texts):,} distinct texts; msgpack v2 {len(data) / 1e6:.1f} MB, "
          f"flat msgpack {len(flat) / 1e6:.1f} MB")

    dedup_json = orjson.dumps({"format": "dedup_v1", "texts": texts, "docs": docs})
    legacy_json = orjson.dumps(chunks)
    for label, payload in (("dedup_v1", dedup_json), ("legacy", legacy_json)):
        assert kn.decode_corpus_json(payload) == model.decode_corpus_json(payload)
        paired(table, f"decode_corpus_json {label} ({len(payload) / 1e6:.0f} MB)",
               lambda: kn.decode_corpus_json(payload),
               {"orjson.loads alone": lambda: orjson.loads(payload),
                "json.loads + flatten": lambda: model.flatten_corpus(json.loads(payload))}, 5)
    table.print()


if __name__ == "__main__":
    main()
