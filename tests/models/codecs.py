"""Pure-Python payload codecs: the host package's own paths without the module.

The MessagePack writer and reader follow the stored format byte for byte
(smallest forms, float64 for every float, the str() fallback, 0xc1 read as
nil, the 1024-level limit); the JSON reader is the strict reader the corpus
payloads are read with. Used as oracles by the tests and as peers by the
benchmarks."""

from __future__ import annotations

import json
import math
import operator
import struct

MAX_DEPTH = 1024
JSON_MAX_DEPTH = 128


class Unreadable(Exception):
    """The bytes do not start with a readable MessagePack value."""


class JsonRefused(Exception):
    """The bytes are not one strict JSON text."""


# ---- Python object -> MessagePack bytes --------------------------------------

def _lossy_utf8(s: str) -> bytes:
    # Lone surrogates become three U+FFFD each (one per byte of their UTF-8 form).
    return s.encode("utf-8", "surrogatepass").decode("utf-8", "replace").encode("utf-8")


def _str_bytes(b: bytes) -> bytes:
    n = len(b)
    if n < 32:
        return bytes([0xA0 | n]) + b
    if n < 256:
        return b"\xd9" + bytes([n]) + b
    if n < 65536:
        return b"\xda" + struct.pack(">H", n) + b
    return b"\xdb" + struct.pack(">I", n) + b


def _int_bytes(v: int) -> bytes:
    if v >= 0:
        if v < 128:
            return bytes([v])
        if v < 256:
            return b"\xcc" + bytes([v])
        if v < 65536:
            return b"\xcd" + struct.pack(">H", v)
        if v < 2**32:
            return b"\xce" + struct.pack(">I", v)
        return b"\xcf" + struct.pack(">Q", v)
    if v >= -32:
        return struct.pack(">b", v)
    if v >= -128:
        return b"\xd0" + struct.pack(">b", v)
    if v >= -32768:
        return b"\xd1" + struct.pack(">h", v)
    if v >= -(2**31):
        return b"\xd2" + struct.pack(">i", v)
    return b"\xd3" + struct.pack(">q", v)


def _container_header(n: int, fix: int, m16: bytes, m32: bytes, fix_limit: int = 16) -> bytes:
    if n < fix_limit:
        return bytes([fix | n])
    if n < 65536:
        return m16 + struct.pack(">H", n)
    return m32 + struct.pack(">I", n)


def _is_numpy_bool(obj) -> bool:
    t = type(obj)
    return t.__name__ in ("bool_", "bool") and getattr(t, "__module__", None) == "numpy"


def pack(obj, level: int = 1) -> bytes:
    """MessagePack bytes of a Python object, by the module's mapping."""
    if level > MAX_DEPTH:
        raise RecursionError("maximum nesting depth exceeded while encoding MessagePack")
    if obj is None:
        return b"\xc0"
    if isinstance(obj, bool) or _is_numpy_bool(obj):
        return b"\xc3" if bool(obj) else b"\xc2"
    try:
        v = operator.index(obj)
        if -(2**63) <= v < 2**63:
            return _int_bytes(v)
    except Exception:
        pass
    try:
        if isinstance(obj, (int, float)) or hasattr(type(obj), "__float__") \
                or hasattr(type(obj), "__index__"):
            return b"\xcb" + struct.pack(">d", float(obj))
    except Exception:
        pass
    if isinstance(obj, str):
        try:
            return _str_bytes(obj.encode("utf-8"))
        except UnicodeEncodeError:
            pass
    if isinstance(obj, list):
        items = [pack(x, level + 1) for x in obj]
        return _container_header(len(items), 0x90, b"\xdc", b"\xdd") + b"".join(items)
    if isinstance(obj, dict):
        parts = [pack(k, level + 1) + pack(v, level + 1) for k, v in obj.items()]
        return _container_header(len(parts), 0x80, b"\xde", b"\xdf") + b"".join(parts)
    return _str_bytes(_lossy_utf8(str(obj)))


# ---- MessagePack bytes -> Python object --------------------------------------

class _Ext:
    """An extension value (converted to None)."""


class Reader:
    def __init__(self, data: bytes):
        self.data = data
        self.pos = 0

    def take(self, n: int) -> bytes:
        if self.pos + n > len(self.data):
            raise Unreadable("truncated")
        b = self.data[self.pos:self.pos + n]
        self.pos += n
        return b

    def be(self, n: int, signed: bool = False) -> int:
        return int.from_bytes(self.take(n), "big", signed=signed)

    def value(self, level: int = 1):
        """Reads one value; returns the Python object (a decoded tree)."""
        if level > MAX_DEPTH:
            raise Unreadable("too deep")
        b = self.take(1)[0]
        if b <= 0x7F:
            return b
        if b >= 0xE0:
            return b - 256
        if b <= 0x8F:
            return self.map(b & 0x0F, level)
        if b <= 0x9F:
            return self.array(b & 0x0F, level)
        if b <= 0xBF:
            return self.string(b & 0x1F)
        if b in (0xC0, 0xC1):
            return None
        if b in (0xC2, 0xC3):
            return b == 0xC3
        if 0xC4 <= b <= 0xC6:
            return self.take(self.be(1 << (b - 0xC4)))
        if 0xC7 <= b <= 0xC9:
            n = self.be(1 << (b - 0xC7))
            self.take(1 + n)
            return None
        if b == 0xCA:
            return struct.unpack(">f", self.take(4))[0]
        if b == 0xCB:
            return struct.unpack(">d", self.take(8))[0]
        if 0xCC <= b <= 0xCF:
            return self.be(1 << (b - 0xCC))
        if 0xD0 <= b <= 0xD3:
            return self.be(1 << (b - 0xD0), signed=True)
        if 0xD4 <= b <= 0xD8:
            self.take(1 + (1 << (b - 0xD4)))
            return None
        if 0xD9 <= b <= 0xDB:
            return self.string(self.be(1 << (b - 0xD9)))
        if b in (0xDC, 0xDD):
            return self.array(self.be(2 if b == 0xDC else 4), level)
        return self.map(self.be(2 if b == 0xDE else 4), level)

    def string(self, n: int) -> str:
        raw = self.take(n)
        try:
            return raw.decode("utf-8")
        except UnicodeDecodeError:
            return ""

    def array(self, n: int, level: int) -> list:
        if n > len(self.data) - self.pos:
            raise Unreadable("count beyond the data")
        return [self.value(level + 1) for _ in range(n)]

    def map(self, n: int, level: int) -> dict:
        if 2 * n > len(self.data) - self.pos:
            raise Unreadable("count beyond the data")
        pairs = [(self.value(level + 1), self.value(level + 1)) for _ in range(n)]
        return pairs  # converted by _to_dicts once the whole value has been read


def _to_dicts(tree, raw_maps: set):
    """Turns the map pair lists of a read tree into dicts (raises TypeError for
    unhashable keys, as the module does)."""
    if isinstance(tree, list):
        if id(tree) in raw_maps:
            d = {}
            for k, v in tree:
                d[_to_dicts(k, raw_maps)] = _to_dicts(v, raw_maps)
            return d
        return [_to_dicts(x, raw_maps) for x in tree]
    return tree


class _TreeReader(Reader):
    def __init__(self, data):
        super().__init__(data)
        self.raw_maps: set = set()
        self.keep: list = []

    def map(self, n, level):
        pairs = super().map(n, level)
        self.raw_maps.add(id(pairs))
        self.keep.append(pairs)
        return pairs


def unpack(data: bytes):
    """The Python object of the first value in `data` (trailing bytes ignored).
    Raises Unreadable for truncated or too deeply nested data."""
    r = _TreeReader(data)
    tree = r.value()
    return _to_dicts(tree, r.raw_maps)


def decode_map_document(data: bytes):
    """The graph / embedding decoders: a dict, or None."""
    try:
        value = unpack(data)
    except Unreadable:
        return None
    return value if isinstance(value, dict) else None


# ---- corpus payloads ---------------------------------------------------------

def build_dedup_corpus_payload(corpus):
    """The host package's de-duplication of a chunk list."""
    texts: list[str] = []
    index: dict[str, int] = {}
    docs = []
    for chunk in corpus:
        if not isinstance(chunk, dict):
            raise TypeError(f"'{type(chunk).__qualname__}' object cannot be converted to 'PyDict'")
        text = _str_field(chunk, "text")
        doc_id = _str_field(chunk, "id")
        t = index.get(text)
        if t is None:
            t = index[text] = len(texts)
            texts.append(text)
        try:
            metadata = chunk["metadata"] if "metadata" in chunk else {}
        except Exception:
            metadata = {}
        docs.append({"id": doc_id, "t": t, "metadata": metadata})
    return texts, docs


def _str_field(d, key) -> str:
    try:
        v = d.get(key)
    except Exception:
        return ""
    if not isinstance(v, str):
        return ""
    try:
        v.encode("utf-8")
    except UnicodeEncodeError:
        return ""
    return str.__str__(v)


def encode_corpus_msgpack(texts, docs) -> bytes:
    def text(x):
        if isinstance(x, str):
            try:
                return x.encode("utf-8")
            except UnicodeEncodeError:
                pass
        return b""

    out = [b"\x93\x02", _container_header(len(texts), 0x90, b"\xdc", b"\xdd")]
    out += [_str_bytes(text(x)) for x in texts]
    out.append(_container_header(len(docs), 0x90, b"\xdc", b"\xdd"))
    for doc in docs:
        t = doc.get("t", 0)
        try:
            t = t.__index__()
            if not 0 <= t < 2**64:
                t = 0
        except Exception:
            t = 0
        meta = pack(doc["metadata"], 4) if "metadata" in doc else b"\xc0"
        out += [b"\x93", _str_bytes(text(doc.get("id"))), _int_bytes(t), meta]
    return b"".join(out)


def decode_corpus_msgpack(data: bytes):
    try:
        root = unpack(data)
    except Unreadable:
        return None
    if not (isinstance(root, list) and len(root) == 3):
        return None
    version, texts, docs = root
    if type(version) is not int or version != 2 or not isinstance(texts, list) \
            or not isinstance(docs, list):
        return None
    pool = [x if isinstance(x, str) else "" for x in texts]
    out = []
    for rec in docs:
        if not (isinstance(rec, list) and len(rec) == 3):
            return None
        doc_id, t, meta = rec
        if not isinstance(doc_id, str) or type(t) is not int:
            return None
        t = max(t, 0)
        out.append({"id": doc_id, "text": pool[t] if t < len(pool) else "", "metadata": meta})
    return out


def flatten_corpus(obj):
    """The host's flattening of a parsed "dedup_v1" or legacy JSON payload."""
    if isinstance(obj, list):
        out = []
        for el in obj:
            if isinstance(el, dict):
                doc_id = el.get("id")
                text = el.get("text")
                out.append({"id": doc_id if isinstance(doc_id, str) else "",
                            "text": text if isinstance(text, str) else "",
                            "metadata": el["metadata"] if "metadata" in el else {}})
            else:
                out.append({"id": "", "text": "", "metadata": {}})
        return out
    if isinstance(obj, dict):
        texts, docs = obj.get("texts"), obj.get("docs")
        if obj.get("format") != "dedup_v1" or not isinstance(texts, list) \
                or not isinstance(docs, list):
            return None
        out = []
        for d in docs:
            if not isinstance(d, dict):
                return None
            t = d.get("t")
            if type(t) is not int or t < 0 or t >= len(texts) or not isinstance(texts[t], str):
                return None
            doc_id = d.get("id")
            out.append({"id": doc_id if isinstance(doc_id, str) else "", "text": texts[t],
                        "metadata": d["metadata"] if "metadata" in d else {}})
        return out
    return None


def _refuse(*_):
    raise JsonRefused("constant")


def _parse_int(s: str):
    v = int(s)
    # Unsigned values above the signed range convert to float, like longer ones.
    if -(2**63) <= v < 2**63:
        return v
    return float(v)  # OverflowError beyond the double range


def _parse_float(s: str):
    f = float(s)
    if math.isinf(f):
        raise JsonRefused("number outside the double range")
    return f


def _sorted_object(pairs):
    last = {}
    for k, v in pairs:
        last[k] = v
    return {k: last[k] for k in sorted(last, key=lambda k: k.encode("utf-8", "surrogatepass"))}


def _check_tree(v, depth: int):
    if isinstance(v, str):
        try:
            v.encode("utf-8")
        except UnicodeEncodeError:
            raise JsonRefused("lone surrogate") from None
    elif isinstance(v, (list, dict)):
        if depth + 1 > JSON_MAX_DEPTH:
            raise JsonRefused("too deep")
        items = v.items() if isinstance(v, dict) else ((None, x) for x in v)
        for k, x in items:
            if k is not None:
                _check_tree(k, depth)
            _check_tree(x, depth + 1)


def json_loads_strict(data: bytes):
    """Strict RFC 8259 reading as the corpus decoder does it; raises JsonRefused."""
    try:
        text = data.decode("utf-8")
        value = json.loads(text, parse_constant=_refuse, parse_int=_parse_int,
                           parse_float=_parse_float, object_pairs_hook=_sorted_object)
    except (ValueError, OverflowError, RecursionError, JsonRefused) as e:
        raise JsonRefused(str(e)) from None
    if text.startswith("\ufeff"):
        raise JsonRefused("byte order mark")
    _check_tree(value, 0)
    return value


def decode_corpus_json(data: bytes):
    try:
        value = json_loads_strict(data)
    except JsonRefused:
        return None
    return flatten_corpus(value)
