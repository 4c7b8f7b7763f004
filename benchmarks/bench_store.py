"""Hash store, digests and sentence segmentation against hashlib and Python."""

from __future__ import annotations

import hashlib
import os
import random
import statistics
import tempfile
import time

import kelvo_native as kn

from common import Table, median_time
from models import store as model

N_DIGESTS = 1_000_000
PROSE_BYTES = 10 * 1024 * 1024


def paired(ours, peer, repeats=5):
    """Medians of ours() and peer(), timed alternately so that both see the
    same machine load."""
    a, b = [], []
    for _ in range(repeats):
        a.append(median_time(ours, repeats=1))
        b.append(median_time(peer, repeats=1))
    return statistics.median(a), statistics.median(b)


def digests_table(t: Table):
    rng = random.Random(1)
    words = ["alpha", "beta", "gamma", "delta", "\u00e9t\u00e9", "data", "index", "token"]
    short = [" ".join(rng.choices(words, k=8)) for _ in range(20_000)]
    long = [" ".join(rng.choices(words, k=2000)) for _ in range(200)]
    for label, texts in (("20,000 texts of ~50 B", short), ("200 texts of ~14 KB", long)):
        ours, peer = paired(lambda: [kn.compute_doc_hash(s) for s in texts],
                            lambda: [hashlib.md5(s.encode()).hexdigest() for s in texts])
        t.add(f"compute_doc_hash, {label}", ours, "hashlib.md5(...).hexdigest()", peer)
        ours, peer = paired(
            lambda: [kn.compute_sha256(s) for s in texts],
            lambda: [hashlib.sha256(s.strip().encode("utf-8")).hexdigest() for s in texts])
        t.add(f"compute_sha256, {label}", ours, "hashlib.sha256(strip)", peer)


def per_call_median(fn, args_list, repeats=5):
    """Median over single calls (each timed alone) of fn(*args)."""
    times = []
    for _ in range(repeats):
        for args in args_list:
            t0 = time.perf_counter()
            fn(*args)
            times.append(time.perf_counter() - t0)
    return statistics.median(times)


def store_table(t: Table, folder: str):
    rng = random.Random(2)
    hashes = [f"{rng.getrandbits(128):032x}" for _ in range(N_DIGESTS)]
    path = os.path.join(folder, "store.bin")
    py_path = os.path.join(folder, "store_py.bin")

    def save_py():
        with open(py_path, "wb") as f:
            f.write(model.store_image(hashes))

    ours = median_time(lambda: kn.save_hash_store_binary(path, hashes), repeats=3)
    peer = median_time(save_py, repeats=3)
    t.add("save_hash_store_binary, 1M digests", ours, "Python (parse, sort, write)", peer)

    ours = median_time(lambda: kn.load_hash_store_binary(path), repeats=3)
    load_set = median_time(lambda: model.load_store_set(path), repeats=3)
    t.add("load_hash_store_binary, 1M digests", ours, "Python read into a set", load_set)

    present = rng.sample(hashes, 1000)
    absent = [f"{rng.getrandbits(128):032x}" for _ in range(1000)]
    probes = [(path, h) for pair in zip(present, absent) for h in pair]
    ours = per_call_median(kn.probe_hash_store, probes)
    t.add("probe_hash_store (median call), 1M digests", ours, "load into a Python set", load_set)
    peer = per_call_median(model.probe_file, probes, repeats=1)
    t.add("probe_hash_store (median call), 1M digests", ours, "Python mmap + binary search", peer)
    assert all(kn.probe_hash_store(path, h) for h in present[:100])
    assert not any(kn.probe_hash_store(path, h) for h in absent[:100])


def make_prose(nbytes: int) -> str:
    rng = random.Random(3)
    words = ("the of and a to in is was that for it with as his on be at by this had not are "
             "but from or have an they which one you were her all she there would their we him "
             "been has when who will more no if out so said what up its about into than them "
             "can only other new some could time these two may then do first any my now such "
             "like our over man me even most made after also did many before must through "
             "e.g. i.e. Mr. Dr. etc. caf\u00e9 na\u00efve").split()
    parts = []
    size = 0
    while size < nbytes:
        sentence = " ".join(rng.choices(words, k=rng.randint(2, 24)))
        sentence = sentence[0].upper() + sentence[1:] + rng.choice(".....!?")
        sep = rng.choice(["  ", " ", " ", " ", " ", "\n", "\n\n"])
        parts.append(sentence + sep)
        size += len(sentence) + len(sep)
    return "".join(parts)


def segment_table(t: Table):
    text = make_prose(PROSE_BYTES)
    ascii_text = text.replace("\u00e9", "e").replace("\u00ef", "i")
    for label, s in (("10 MB prose, ASCII", ascii_text), ("10 MB prose, some non-ASCII", text)):
        kn.segment_text(s, 20)  # the str caches its UTF-8 form on first use
        ours, peer = paired(lambda: kn.segment_text(s, 20),
                            lambda: model.segment_text_re(s, 20))
        t.add(f"segment_text, {label}", ours, "re.split + merging", peer)
    peer = median_time(lambda: model.segment_text(ascii_text, 20), repeats=1)
    t.add("segment_text, 10 MB prose, ASCII", median_time(lambda: kn.segment_text(ascii_text, 20)),
          "Python character scan", peer)


def main():
    t = Table("Hash store, digests and sentence segmentation")
    digests_table(t)
    with tempfile.TemporaryDirectory() as folder:
        store_table(t, folder)
    segment_table(t)
    t.print()


if __name__ == "__main__":
    main()
