"""Hybrid search: BM25 and a vector channel merged by score fusion, then MMR.

The vector channel here is a STAND-IN, not a semantic model: no embedding model
can be downloaded on this machine, so each text becomes a hashed bag of its
words (and their 4-letter prefixes) in 512 dimensions, L2-normalised. It finds
chunks that share vocabulary with the query, which is enough to show how the
two channels are fused. To use a real model instead, install
sentence-transformers with a model available locally and set
KELVO_DEMO_EMBED_MODEL to its name or path.
"""

from __future__ import annotations

import hashlib
import os
import re
import time
import zlib

import numpy as np

import kelvo_native as kn

TITLE = "Hybrid search (BM25 + vector channel, fusion, MMR)"

QUERIES = [
    "parse command line arguments",
    "json decode error",
    "thread pool executor shutdown",
    "temporary directory cleanup",
]
DIM = 512
TOP = 20
_WORD = re.compile(r"[a-z][a-z0-9]+")


class HashedBagEmbedder:
    """Stand-in embedding: hashed bag of lower-cased words and 4-letter prefixes."""

    name = "stand-in hashed bag of words (not a semantic model)"

    def __init__(self, dim: int = DIM):
        self.dim = dim
        self._features: dict[str, tuple[list[int], list[float]]] = {}

    def _word_features(self, word: str) -> tuple[list[int], list[float]]:
        f = self._features.get(word)
        if f is None:
            idx, sign = [], []
            for feature in (word, word[:4] + "~") if len(word) > 4 else (word,):
                h = zlib.crc32(feature.encode())
                idx.append(h % self.dim)
                sign.append(1.0 if (h >> 31) & 1 else -1.0)
            f = self._features[word] = (idx, sign)
        return f

    def __call__(self, text: str) -> np.ndarray:
        idx: list[int] = []
        weights: list[float] = []
        for word in _WORD.findall(text.lower()):
            i, s = self._word_features(word)
            idx.extend(i)
            weights.extend(s)
        vec = np.bincount(idx, weights=weights, minlength=self.dim).astype(np.float32)
        norm = float(np.linalg.norm(vec))
        return vec / norm if norm else vec


class SentenceTransformerEmbedder:
    """A real embedding model, when one is installed and named."""

    def __init__(self, model_name: str):
        from sentence_transformers import SentenceTransformer  # optional dependency

        self.name = f"sentence-transformers model {model_name}"
        self._model = SentenceTransformer(model_name)

    def __call__(self, text: str) -> np.ndarray:
        return self._model.encode([text], normalize_embeddings=True)[0].astype(np.float32)

    def many(self, texts):
        return self._model.encode(texts, normalize_embeddings=True, batch_size=64).astype(np.float32)


def make_embedder():
    name = os.environ.get("KELVO_DEMO_EMBED_MODEL")
    if name:
        try:
            return SentenceTransformerEmbedder(name)
        except Exception as exc:  # no package or no local model: fall back
            print(f"  (could not load {name!r}: {exc}; using the stand-in)")
    return HashedBagEmbedder()


def embed_corpus(embed, corpus, cache_dir=None) -> np.ndarray:
    """The chunk vectors; the stand-in's are cached on disk (they only depend on the texts)."""
    path = None
    if cache_dir and isinstance(embed, HashedBagEmbedder):
        digest = hashlib.sha256()
        for c in corpus:
            digest.update(c["text"].encode("utf-8", "surrogatepass") + b"\0")
        path = os.path.join(cache_dir, f"s20_vectors_{embed.dim}_{digest.hexdigest()[:16]}.npy")
        if os.path.exists(path):
            return np.load(path)
    vectors = _embed_all(embed, corpus)
    if path:
        os.makedirs(cache_dir, exist_ok=True)
        np.save(path, vectors)
    return vectors


def _embed_all(embed, corpus) -> np.ndarray:
    if hasattr(embed, "many"):
        return embed.many([c["text"] for c in corpus])
    return np.stack([embed(c["text"]) for c in corpus]) if corpus else np.zeros((0, DIM), np.float32)


def result(chunk, score):
    return {"id": chunk["id"], "text": chunk["text"], "metadata": chunk["metadata"],
            "score": float(score)}


def vector_search(ctx, query, top=TOP):
    vectors = ctx.state["vectors"]
    sims = vectors @ ctx.state["embed"](query)
    top = min(top, len(sims))
    best = np.argpartition(-sims, top - 1)[:top] if top else np.array([], dtype=int)
    best = best[np.argsort(-sims[best], kind="stable")]
    return [result(ctx.corpus[int(i)], sims[i]) for i in best]


def where(d):
    m = d["metadata"]
    return f"{m['file_path']}:{m['start_line']}-{m['end_line']}"


def run(ctx) -> None:
    if "bm25" not in ctx.state:
        ctx.state["bm25"] = kn.build_bm25_index(kn.preprocess_documents(ctx.corpus, 256))
    t0 = time.perf_counter()
    embed = make_embedder()
    ctx.state["embed"] = embed
    ctx.state["vectors"] = embed_corpus(embed, ctx.corpus, ctx.cache_dir)
    print(f"vector channel: {embed.name}")
    print(f"chunk vectors for {len(ctx.corpus):,} chunks, {ctx.state['vectors'].shape[1]} dims "
          f"ready in {time.perf_counter() - t0:.2f} s")

    for q in QUERIES:
        bm25 = [result(ctx.corpus[pos], s) for pos, s in kn.search_bm25(ctx.state["bm25"], q, TOP)]
        vec = vector_search(ctx, q)
        t0 = time.perf_counter()
        rrf = kn.score_fusion_rrf(vec, bm25)
        t1 = time.perf_counter()
        fused = kn.score_fusion_weighted(vec, bm25, weight=0.5)
        t2 = time.perf_counter()
        kept = kn.filter_results_by_threshold(fused, 0.05)
        t3 = time.perf_counter()
        reranked = kn.mmr_rerank(kept, lambda_mult=0.7, dup_threshold=0.85)
        t4 = time.perf_counter()
        final = kn.dedupe_best_by_id(reranked)
        both = len({d["id"] for d in vec} & {d["id"] for d in bm25})
        print(f"\n  query {q!r}: {len(vec)} vector + {len(bm25)} BM25 hits ({both} in both)")
        print(f"   rrf {len(rrf)} results in {(t1 - t0) * 1e6:.0f} us; weighted {len(fused)} in "
              f"{(t2 - t1) * 1e6:.0f} us; threshold kept {len(kept)} in {(t3 - t2) * 1e6:.0f} us; "
              f"MMR kept {len(reranked)} (dropped {len(kept) - len(reranked)} near-duplicates) "
              f"in {(t4 - t3) * 1e6:.0f} us")
        print(f"   top RRF: {where(rrf[0])}  score {rrf[0]['score']:.4f}" if rrf else "   no hits")
        for d in final[:5]:
            channel = "bm25 only" if d.get("fused_only") else (
                "both" if d["id"] in {b["id"] for b in bm25} else "vector only")
            print(f"   {d['score']:6.3f}  vec {d['vector_score']:5.3f}  {channel:11s} {where(d)}")
