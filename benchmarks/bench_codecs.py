"""Payload codecs: the graph and embedding documents, the corpus payloads.

Peers: ormsgpack and msgpack on the same Python objects, orjson and the
standard json for the JSON corpus payloads, and the host's pure-Python routines
(tests/models/codecs.py)."""

from __future__ import annotations

import json
import random

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


def add_codec_rows(table, label, ours_enc, ours_dec, obj, repeats=5):
    data = ours_enc(obj)
    assert ours_dec(data) == obj
    assert data == ormsgpack.packb(obj) == msgpack.packb(obj)
    t_enc = median_time(lambda: ours_enc(obj), repeats)
    t_dec = median_time(lambda: ours_dec(data), repeats)
    table.add(f"{label}: encode", t_enc, "ormsgpack.packb",
              median_time(lambda: ormsgpack.packb(obj), repeats))
    table.add(f"{label}: encode", t_enc, "msgpack.packb",
              median_time(lambda: msgpack.packb(obj), repeats))
    table.add(f"{label}: decode", t_dec, "ormsgpack.unpackb",
              median_time(lambda: ormsgpack.unpackb(data), repeats))
    table.add(f"{label}: decode", t_dec, "msgpack.unpackb",
              median_time(lambda: msgpack.unpackb(data, strict_map_key=False), repeats))


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
    table.add(f"corpus {N_CHUNKS:,} chunks: build_dedup_corpus_payload",
              median_time(lambda: kn.build_dedup_corpus_payload(chunks), 5),
              "pure Python", median_time(lambda: model.build_dedup_corpus_payload(chunks), 3))

    data = kn.encode_corpus_msgpack(texts, docs)
    assert kn.decode_corpus_msgpack(data) == chunks
    flat = ormsgpack.packb(chunks)

    def ours_round_trip():
        kn.decode_corpus_msgpack(kn.encode_corpus_msgpack(texts, docs))

    t_ours = median_time(ours_round_trip, 5)
    table.add("corpus msgpack: encode + decode", t_ours, "ormsgpack flat list",
              median_time(lambda: ormsgpack.unpackb(ormsgpack.packb(chunks)), 5))
    table.add("corpus msgpack: encode + decode", t_ours, "msgpack flat list",
              median_time(lambda: msgpack.unpackb(msgpack.packb(chunks)), 5))
    table.add("corpus msgpack: encode", median_time(
        lambda: kn.encode_corpus_msgpack(texts, docs), 5), "ormsgpack.packb flat list",
        median_time(lambda: ormsgpack.packb(chunks), 5))
    table.add("corpus msgpack: decode", median_time(
        lambda: kn.decode_corpus_msgpack(data), 5), "ormsgpack.unpackb flat list",
        median_time(lambda: ormsgpack.unpackb(flat), 5))
    print(f"\ncorpus payload: {len(texts):,} distinct texts; msgpack v2 {len(data) / 1e6:.1f} MB, "
          f"flat msgpack {len(flat) / 1e6:.1f} MB")

    dedup_json = orjson.dumps({"format": "dedup_v1", "texts": texts, "docs": docs})
    legacy_json = orjson.dumps(chunks)
    for label, payload in (("dedup_v1", dedup_json), ("legacy", legacy_json)):
        assert kn.decode_corpus_json(payload) == model.decode_corpus_json(payload)
        t = median_time(lambda: kn.decode_corpus_json(payload), 5)
        table.add(f"decode_corpus_json {label} ({len(payload) / 1e6:.0f} MB)", t,
                  "orjson.loads alone", median_time(lambda: orjson.loads(payload), 5))
        table.add(f"decode_corpus_json {label}", t, "json.loads + flatten",
                  median_time(lambda: model.flatten_corpus(json.loads(payload)), 3))
    table.print()


if __name__ == "__main__":
    main()
