"""Pure-Python BM25 routines: the host package's path without the module.

Used as the oracle in the tests and as a peer in the benchmarks."""

import math

from models.text import split_ws

K1 = 1.5
B = 0.75


def tokenize(text: str) -> list[str]:
    # str.lower() is the full Unicode mapping with the final-sigma rule.
    return split_ws(text.lower())


def preprocess_documents(documents):
    out = []
    for doc in documents:
        new = dict(doc)
        text = doc.get("text")
        if isinstance(text, str):
            new["text"] = " ".join(split_ws(text))
        out.append(new)
    return out


class Bm25Model:
    def __init__(self, corpus):
        self.doc_len = []
        self.postings: dict[str, list[tuple[int, int]]] = {}
        for d, doc in enumerate(corpus):
            text = doc.get("text")
            tokens = tokenize(text) if isinstance(text, str) else []
            counts: dict[str, int] = {}
            for t in tokens:
                counts[t] = counts.get(t, 0) + 1
            for t, tf in counts.items():
                self.postings.setdefault(t, []).append((d, tf))
            self.doc_len.append(len(tokens))
        n = len(self.doc_len)
        self.avgdl = float(sum(self.doc_len)) / float(n) if n else 0.0
        self.idf = {t: math.log(((float(n) - float(len(p))) + 0.5) / (float(len(p)) + 0.5) + 1.0)
                    for t, p in self.postings.items()}

    def search(self, query: str, top_k: int):
        if not self.doc_len:
            return []
        terms = list(dict.fromkeys(tokenize(query)))
        scores = [0.0] * len(self.doc_len)
        touched = []
        avgdl = max(self.avgdl, 1e-9)
        for t in terms:
            postings = self.postings.get(t)
            if not postings:
                continue
            idf = self.idf.get(t, 0.0)
            if idf == 0.0:
                continue
            for d, tf in postings:
                if scores[d] == 0.0:
                    touched.append(d)
                dl = float(self.doc_len[d])
                denom = ((dl * B) / avgdl + (1 - B)) * K1 + float(tf)
                scores[d] += (K1 + 1) * float(tf) / denom * idf
        hits = [(d, scores[d]) for d in touched if scores[d] > 0.0]
        hits.sort(key=lambda h: (-h[1], h[0]))
        return hits[:top_k]
