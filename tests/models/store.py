"""Reference routines for the binary hash store and the sentence splitter.

Written from the rules of the routines, not from the native code: the tests
compare the module against them and the benchmarks time them as peers."""

from __future__ import annotations

import re
import struct

from models.text import WHITE_SPACE, trim_ws  # noqa: F401  (re-exported for the tests)

HEX_DIGITS = frozenset("0123456789abcdefABCDEF")
MAGIC = b"KVH1"


# ---- hash store ---------------------------------------------------------------

def parse_hex(text: str) -> bytes | None:
    """The 16 bytes a hex digest denotes, or None when it is invalid."""
    s = trim_ws(text)
    if len(s.encode("utf-8", "surrogatepass")) != 32 or not s.isascii():
        return None
    out = bytearray()
    for k in range(16):
        a, b = s[2 * k], s[2 * k + 1]
        if b not in HEX_DIGITS:
            return None
        if a == "+":
            out.append(int(b, 16))
        elif a in HEX_DIGITS:
            out.append(int(a + b, 16))
        else:
            return None
    return bytes(out)


def store_image(hashes) -> bytes:
    """The bytes a save of `hashes` writes."""
    digests = sorted(d for d in map(parse_hex, hashes) if d is not None)
    return MAGIC + struct.pack("<I", len(digests)) + b"".join(digests)


def load_store(data: bytes) -> list[str]:
    if len(data) < 8 or data[:4] != MAGIC:
        raise ValueError("invalid hash store binary format")
    (n,) = struct.unpack_from("<I", data, 4)
    if len(data) < 8 + 16 * n:
        raise ValueError("truncated hash store binary file")
    return [data[8 + 16 * i: 24 + 16 * i].hex() for i in range(n)]


def _binary_search(buf, n: int, target: bytes) -> bool:
    """Binary search of the n sorted 16-byte digests after the 8-byte header."""
    lo, hi = 0, n
    while lo < hi:
        mid = lo + (hi - lo) // 2
        d = buf[8 + 16 * mid: 24 + 16 * mid]
        if d == target:
            return True
        if d > target:
            hi = mid
        else:
            lo = mid + 1
    return False


def probe_store(data: bytes | None, hash_hex: str) -> bool | None:
    """Binary search of a store's bytes (None: the file is missing)."""
    target = parse_hex(hash_hex)
    if target is None:
        return False
    if data is None or len(data) < 8 or data[:4] != MAGIC:
        return None
    (n,) = struct.unpack_from("<I", data, 4)
    if len(data) < 8 + 16 * n:
        return None
    return _binary_search(data, n, target)


def load_store_set(path: str) -> set[str]:
    """What a caller without the module does: read the file into a set."""
    with open(path, "rb") as f:
        return set(load_store(f.read()))


# ---- sentence segmentation ----------------------------------------------------

_RESTART_SKIP = frozenset(" \t\n\r")


def segment_text(text: str, min_chars: int) -> list[str]:
    """The splitter as a character scan: cut at the first White_Space after
    '.', '!' or '?', skip spaces, tabs and line breaks, trim, and merge pieces
    shorter than `min_chars` UTF-8 bytes into the sentence before them."""
    pieces = []
    start = 0
    for i in range(1, len(text)):
        if text[i] in WHITE_SPACE and text[i - 1] in ".!?":
            pieces.append(text[start:i])
            start = i
            while start < len(text) and text[start] in _RESTART_SKIP:
                start += 1
    pieces.append(text[start:])
    out: list[str] = []
    for piece in pieces:
        piece = trim_ws(piece)
        if not piece:
            continue
        if len(piece.encode("utf-8")) < min_chars and out:
            out[-1] += " " + piece
        else:
            out.append(piece)
    return out


_SENTENCE_END = re.compile(r"(?<=[.!?])\s+")


def segment_text_re(text: str, min_chars: int) -> list[str]:
    """The host's routine: re.split on white space after a terminator, then
    merging. It counts characters and uses Python's \\s and strip(), so it
    agrees with segment_text on ASCII text without U+001C..U+001F."""
    out: list[str] = []
    for piece in _SENTENCE_END.split(text):
        piece = piece.strip()
        if not piece:
            continue
        if len(piece) < min_chars and out:
            out[-1] += " " + piece
        else:
            out.append(piece)
    return out


def probe_file(path: str, hash_hex: str) -> bool | None:
    """The probe in Python: map the file and binary-search it."""
    import mmap
    import os

    target = parse_hex(hash_hex)
    if target is None:
        return False
    try:
        fd = os.open(path, os.O_RDONLY)
    except OSError:
        return None
    try:
        size = os.fstat(fd).st_size
        if size < 8:
            return None
        with mmap.mmap(fd, size, prot=mmap.PROT_READ) as m:
            if m[:4] != MAGIC:
                return None
            (n,) = struct.unpack_from("<I", m, 4)
            if size < 8 + 16 * n:
                return None
            return _binary_search(m, n, target)
    finally:
        os.close(fd)
