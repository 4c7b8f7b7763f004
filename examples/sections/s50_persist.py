"""Persisting the corpus, the knowledge graph, the entity embeddings and a
sentence-window index to the demo's cache folder, and loading them back on the
next run instead of rebuilding them."""

from __future__ import annotations

import json
import os
import time

import kelvo_native as kn

TITLE = "Persistence (MessagePack payloads cached between runs)"

SENTENCE_CHUNKS = 3000  # chunks split into sentences for the window index
MIN_SENTENCE_BYTES = 20


def write_atomically(path: str, data: bytes) -> None:
    tmp = f"{path}.tmp{os.getpid()}"
    with open(tmp, "wb") as fh:
        fh.write(data)
    os.replace(tmp, path)


def read_or_none(path: str) -> bytes | None:
    try:
        with open(path, "rb") as fh:
            return fh.read()
    except OSError:
        return None


def ms(seconds: float) -> str:
    return f"{seconds * 1e3:.1f} ms"


def corpus_fingerprint(corpus) -> str:
    return kn.compute_doc_hash("\n".join(str(c["id"]) for c in corpus) + f"\n{len(corpus)}")


class Cache:
    """The cache folder with a manifest of what its files were built from."""

    def __init__(self, folder: str, fingerprint: str):
        self.folder = folder
        os.makedirs(folder, exist_ok=True)
        self.manifest_path = os.path.join(folder, "manifest.json")
        try:
            with open(self.manifest_path, encoding="utf-8") as fh:
                self.manifest = json.load(fh)
        except (OSError, ValueError):
            self.manifest = {}
        if self.manifest.get("corpus") != fingerprint:
            self.manifest = {"corpus": fingerprint, "files": []}

    def path(self, name: str) -> str:
        return os.path.join(self.folder, name)

    def load(self, name: str) -> bytes | None:
        if name not in self.manifest["files"]:
            return None
        return read_or_none(self.path(name))

    def store(self, name: str, data: bytes) -> None:
        write_atomically(self.path(name), data)
        if name not in self.manifest["files"]:
            self.manifest["files"].append(name)
        write_atomically(self.manifest_path, json.dumps(self.manifest).encode())


def persist_corpus(ctx, cache: Cache) -> None:
    t0 = time.perf_counter()
    data = cache.load("corpus.msgpack")
    chunks = kn.decode_corpus_msgpack(data) if data is not None else None
    if chunks is not None and len(chunks) == len(ctx.corpus):
        dt = time.perf_counter() - t0
        same = chunks == ctx.corpus
        print(f"corpus: loaded from cache, {len(chunks):,} chunks from "
              f"{len(data) / 1e6:.1f} MB in {ms(dt)} (identical to the fresh corpus: {same})")
        return
    t0 = time.perf_counter()
    texts, docs = kn.build_dedup_corpus_payload(ctx.corpus)
    t1 = time.perf_counter()
    data = kn.encode_corpus_msgpack(texts, docs)
    t2 = time.perf_counter()
    cache.store("corpus.msgpack", data)
    t2b = time.perf_counter()
    back = kn.decode_corpus_msgpack(data)
    t3 = time.perf_counter()
    print(f"corpus: built; {len(ctx.corpus):,} chunks share {len(texts):,} distinct texts; "
          f"payload {ms(t1 - t0)}, MessagePack {len(data) / 1e6:.1f} MB in {ms(t2 - t1)}, "
          f"read back in {ms(t3 - t2b)} (round trip exact: {back == ctx.corpus})")

    # The JSON form the host package keeps as its fallback, read natively.
    dedup_json = json.dumps({"format": "dedup_v1", "texts": texts, "docs": docs}).encode()
    t0 = time.perf_counter()
    from_json = kn.decode_corpus_json(dedup_json)
    t1 = time.perf_counter()
    json.loads(dedup_json)
    t2 = time.perf_counter()
    print(f"corpus: dedup_v1 JSON ({len(dedup_json) / 1e6:.1f} MB) decoded and flattened in "
          f"{ms(t1 - t0)}; json.loads alone takes {ms(t2 - t1)} "
          f"(same chunks: {from_json == ctx.corpus})")


def plain_embeddings(embeddings) -> dict:
    # Vectors may be NumPy arrays; the stored document holds lists of floats.
    return {k: (v.tolist() if hasattr(v, "tolist") else list(v)) for k, v in embeddings.items()}


def persist_graph(ctx, cache: Cache) -> None:
    parts = [("entity_graph", kn.encode_entity_graph, kn.decode_entity_graph, lambda g: g),
             ("relation_graph", kn.encode_relation_graph, kn.decode_relation_graph, lambda g: g),
             ("entity_embeddings", kn.encode_entity_embeddings, kn.decode_entity_embeddings,
              plain_embeddings)]
    for key, encode, decode, prepare in parts:
        name = f"{key}.msgpack"
        t0 = time.perf_counter()
        data = cache.load(name)
        loaded = decode(data) if data is not None else None
        dt = time.perf_counter() - t0
        current = ctx.state.get(key)
        if loaded is not None:
            same = "" if current is None else \
                f" (same as this run's: {loaded == prepare(current)})"
            print(f"{key}: loaded from cache, {len(loaded):,} entries from "
                  f"{len(data) / 1e6:.2f} MB in {ms(dt)}{same}")
            ctx.state.setdefault(key, loaded)
            continue
        if not isinstance(current, dict):
            print(f"{key}: skipped (not built in this run, nothing cached)")
            continue
        t0 = time.perf_counter()
        data = encode(prepare(current))
        t1 = time.perf_counter()
        cache.store(name, data)
        t1b = time.perf_counter()
        back = decode(data)
        t2 = time.perf_counter()
        print(f"{key}: built; {len(current):,} entries, {len(data) / 1e6:.2f} MB encoded in "
              f"{ms(t1 - t0)}, decoded in {ms(t2 - t1b)} (round trip exact: "
              f"{back == prepare(current)})")


def build_sentence_index(corpus):
    records: dict[str, dict] = {}
    chunk_to_sentences: dict[str, list[str]] = {}
    for chunk in corpus[:SENTENCE_CHUNKS]:
        ids = []
        sentences = kn.segment_text(chunk["text"], MIN_SENTENCE_BYTES)
        for i, sentence in enumerate(sentences):
            sid = f"{chunk['id']}#s{i}"
            records[sid] = {"text": sentence, "chunk_id": chunk["id"], "position": i,
                            "window": [max(i - 1, 0), min(i + 1, len(sentences) - 1)]}
            ids.append(sid)
        chunk_to_sentences[chunk["id"]] = ids
    return records, chunk_to_sentences


def persist_sentences(ctx, cache: Cache) -> None:
    if not hasattr(kn, "segment_text"):
        print("sentence-window index: skipped (segment_text is not in this build)")
        return
    t0 = time.perf_counter()
    index_data, meta_data = cache.load("sentences.msgpack"), cache.load("sentence_meta.msgpack")
    index = kn.decode_sentence_index(index_data) if index_data is not None else None
    meta = kn.decode_sentence_meta(meta_data) if meta_data is not None else None
    if index is not None and meta is not None:
        dt = time.perf_counter() - t0
        records, chunk_to_sentences = index
        print(f"sentence-window index: loaded from cache, {len(records):,} sentences of "
              f"{len(chunk_to_sentences):,} chunks and {len(meta[0]):,} vector-store entries "
              f"in {ms(dt)}")
        ctx.state["sentence_index"] = index
        return
    t0 = time.perf_counter()
    records, chunk_to_sentences = build_sentence_index(ctx.corpus)
    t1 = time.perf_counter()
    index_data = kn.encode_sentence_index(records, chunk_to_sentences)
    ids = list(records)
    meta_list = [{"chunk_id": r["chunk_id"], "position": r["position"]} for r in records.values()]
    meta_data = kn.encode_sentence_meta(ids, meta_list)
    t2 = time.perf_counter()
    cache.store("sentences.msgpack", index_data)
    cache.store("sentence_meta.msgpack", meta_data)
    t2b = time.perf_counter()
    back = kn.decode_sentence_index(index_data), kn.decode_sentence_meta(meta_data)
    t3 = time.perf_counter()
    ctx.state["sentence_index"] = (records, chunk_to_sentences)
    print(f"sentence-window index: built; {len(records):,} sentences of "
          f"{len(chunk_to_sentences):,} chunks segmented in {ms(t1 - t0)}, encoded "
          f"({(len(index_data) + len(meta_data)) / 1e6:.2f} MB) in {ms(t2 - t1)}, decoded in "
          f"{ms(t3 - t2b)} (round trip exact: {back == ((records, chunk_to_sentences), (ids, meta_list))})")


def run(ctx) -> None:
    cache = Cache(os.path.join(ctx.cache_dir, "persist"), corpus_fingerprint(ctx.corpus))
    print(f"cache folder: {cache.folder}")
    persist_corpus(ctx, cache)
    persist_graph(ctx, cache)
    persist_sentences(ctx, cache)
