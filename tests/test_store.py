"""Binary hash store: save, load and probe."""

import hashlib
import os
import stat
import subprocess
import sys
import textwrap
import time

import pytest
from hypothesis import given, settings, strategies as st

import kelvo_native as kn
from models import store as model

H_FF = "FF" + "0123456789ABCDEF" * 1 + "a" * 14   # upper case, begins with 0xff
H_00 = "00" + "fedcba9876543210" + "b" * 14
MD5_ABC = hashlib.md5(b"abc").hexdigest()


@pytest.fixture
def path(tmp_path):
    return str(tmp_path / "hashes.bin")


def write(path, data: bytes):
    with open(path, "wb") as f:
        f.write(data)


def read(path) -> bytes:
    with open(path, "rb") as f:
        return f.read()


# ---- registration and arguments ------------------------------------------------

def test_signatures_and_docstrings():
    assert kn.save_hash_store_binary.__text_signature__ == "(path, hashes)"
    assert kn.load_hash_store_binary.__text_signature__ == "(path)"
    assert kn.probe_hash_store.__text_signature__ == "(path, hash_hex)"
    assert kn.save_hash_store_binary.__doc__ == (
        "Write MD5 hex hashes to a binary file.\n\nBinary layout:\n"
        "  bytes 0\u20133   magic  b\"KVH1\"\n"
        "  bytes 4\u20137   count  uint32 little-endian\n"
        "  bytes 8+    N\u00d716   raw MD5 bytes, sorted lexicographically")
    assert kn.load_hash_store_binary.__doc__ == (
        "Load binary hash store; returns list of hex strings (for Python set compat).")
    assert kn.probe_hash_store.__doc__ == (
        "Probe binary hash store for membership without loading all hashes into Python.\n\n"
        "Opens the file via mmap and binary-searches for `hash_hex`.\n"
        "Returns `True` if found, `False` if not found, `None` if file is missing\n"
        "or unreadable (Python falls back).")
    names = kn.__all__
    i = names.index("compute_sha256")
    assert names[i + 1:i + 4] == ["save_hash_store_binary", "load_hash_store_binary",
                                  "probe_hash_store"]


@pytest.mark.parametrize("call, exc, message", [
    (lambda p: kn.save_hash_store_binary(p, MD5_ABC), TypeError, "argument 'hashes': "),
    (lambda p: kn.save_hash_store_binary(p, {MD5_ABC}), TypeError,
     "argument 'hashes': 'set' object cannot be converted to 'Sequence'"),
    (lambda p: kn.save_hash_store_binary(p, [MD5_ABC, 5]), TypeError,
     "argument 'hashes': 'int' object cannot be converted to 'PyString'"),
    (lambda p: kn.save_hash_store_binary(p.encode(), []), TypeError,
     "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
    (lambda p: kn.load_hash_store_binary(__import__("pathlib").Path(p)), TypeError,
     "argument 'path': 'PosixPath' object cannot be converted to 'PyString'"),
    (lambda p: kn.probe_hash_store(None, 5), TypeError,
     "argument 'path': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda p: kn.probe_hash_store(p, None), TypeError,
     "argument 'hash_hex': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda p: kn.probe_hash_store(p), TypeError,
     "probe_hash_store() missing 1 required positional argument: 'hash_hex'"),
    (lambda p: kn.save_hash_store_binary(p, ["\udc80"]), UnicodeEncodeError, ""),
])
def test_argument_errors(path, call, exc, message):
    with pytest.raises(exc) as info:
        call(path)
    assert str(info.value).startswith(message)
    assert not os.path.exists(path)


def test_tuple_and_keywords_accepted(path):
    kn.save_hash_store_binary(hashes=(MD5_ABC,), path=path)
    assert kn.probe_hash_store(hash_hex=MD5_ABC, path=path) is True


# ---- the examples of the format ----------------------------------------------

def test_empty_store(path):
    kn.save_hash_store_binary(path, [])
    assert read(path) == b"KVH1\x00\x00\x00\x00"
    assert kn.load_hash_store_binary(path) == []
    assert kn.probe_hash_store(path, MD5_ABC) is False


def test_sorted_lower_case_and_invalid_skipped(path):
    kn.save_hash_store_binary(path, [H_FF, " \t" + H_00 + "\n", "xyz"])
    data = read(path)
    assert data[:8] == b"KVH1\x02\x00\x00\x00" and len(data) == 8 + 32
    assert data[8] == 0x00 and data[24] == 0xFF
    assert kn.load_hash_store_binary(path) == [H_00.lower(), H_FF.lower()]
    assert kn.probe_hash_store(path, H_FF) is True
    assert kn.probe_hash_store(path, H_FF.lower()) is True
    assert kn.probe_hash_store(path, "xyz") is False


def test_duplicates_kept(path):
    kn.save_hash_store_binary(path, [MD5_ABC, MD5_ABC.upper()])
    assert read(path)[4:8] == b"\x02\x00\x00\x00"
    assert kn.load_hash_store_binary(path) == [MD5_ABC, MD5_ABC]
    assert kn.probe_hash_store(path, MD5_ABC) is True


@pytest.mark.parametrize("text, digest", [
    ("+0" * 16, bytes(16)),
    ("+f" * 16, b"\x0f" * 16),
    ("+F" + "ab" * 15, b"\x0f" + b"\xab" * 15),
    ("\u3000" + MD5_ABC + "\u00a0", bytes.fromhex(MD5_ABC)),      # White_Space trimmed
    ("\u2028\x0b" + MD5_ABC + "\x85\u205f", bytes.fromhex(MD5_ABC)),
    ("\x1c" + MD5_ABC, None),           # U+001C is not White_Space
    ("\u200b" + MD5_ABC, None),         # nor is a zero-width space
    (MD5_ABC + "0", None),              # 33 characters
    (MD5_ABC[:-1], None),               # 31 characters
    ("-1" + MD5_ABC[2:], None),
    ("0+" + MD5_ABC[2:], None),         # a plus sign must lead its group
    ("++" + MD5_ABC[2:], None),
    ("0x" + MD5_ABC[2:], None),
    ("\u00e9" * 16, None),              # 32 UTF-8 bytes, not ASCII
    ("g" + MD5_ABC[1:], None),
    ("", None),
])
def test_hex_parsing(path, text, digest):
    assert model.parse_hex(text) == digest
    kn.save_hash_store_binary(path, [text])
    assert read(path) == model.store_image([text])
    expected = [] if digest is None else [digest.hex()]
    assert kn.load_hash_store_binary(path) == expected
    assert kn.probe_hash_store(path, text) is (digest is not None)


hex_group = st.one_of(
    st.integers(0, 255).map(lambda b: f"{b:02x}"),
    st.integers(0, 255).map(lambda b: f"{b:02X}"),
    st.integers(0, 15).map(lambda b: f"+{b:x}"),
)
hex_text = st.tuples(
    st.sampled_from(["", " ", "\t\n", "\u3000", "\x1c"]),
    st.lists(hex_group, min_size=15, max_size=17).map("".join),
    st.sampled_from(["", " ", "\u00a0", "-"]),
).map("".join)


@settings(max_examples=150, deadline=None)
@given(hashes=st.lists(hex_text, max_size=40), probes=st.lists(hex_text, max_size=10))
def test_matches_model(tmp_path_factory, hashes, probes):
    path = str(tmp_path_factory.mktemp("h") / "s.bin")
    kn.save_hash_store_binary(path, hashes)
    data = read(path)
    assert data == model.store_image(hashes)
    assert kn.load_hash_store_binary(path) == model.load_store(data)
    for h in hashes + probes:
        assert kn.probe_hash_store(path, h) is model.probe_store(data, h)


def test_large_store_probe(path):
    hashes = [hashlib.md5(str(i).encode()).hexdigest() for i in range(5000)]
    kn.save_hash_store_binary(path, hashes[::2])
    data = read(path)
    assert kn.load_hash_store_binary(path) == sorted(hashes[::2])
    for h in hashes[:600]:
        assert kn.probe_hash_store(path, h) is model.probe_store(data, h)


# ---- malformed files -----------------------------------------------------------------

@pytest.mark.parametrize("data, load_error", [
    (b"KVH1\x00\x00\x00", "invalid hash store binary format"),          # 7 bytes
    (b"", "invalid hash store binary format"),
    (b"KVH2\x00\x00\x00\x00", "invalid hash store binary format"),
    (b"KVH1\x02\x00\x00\x00" + bytes(16), "truncated hash store binary file"),
    (b"KVH1\xff\xff\xff\xff" + bytes(64), "truncated hash store binary file"),
])
def test_malformed_files(path, data, load_error):
    write(path, data)
    with pytest.raises(ValueError, match=f"^{load_error}$"):
        kn.load_hash_store_binary(path)
    assert kn.probe_hash_store(path, MD5_ABC) is None
    assert kn.probe_hash_store(path, "nonsense") is False


def test_trailing_bytes_ignored(path):
    digest = bytes.fromhex(MD5_ABC)
    write(path, b"KVH1\x01\x00\x00\x00" + digest + b"trailing junk")
    assert kn.load_hash_store_binary(path) == [MD5_ABC]
    assert kn.probe_hash_store(path, MD5_ABC) is True
    assert kn.probe_hash_store(path, "0" * 32) is False


def test_unsorted_file_never_errors(path):
    digests = sorted(hashlib.md5(bytes([i])).digest() for i in range(50))[::-1]
    write(path, b"KVH1" + len(digests).to_bytes(4, "little") + b"".join(digests))
    data = read(path)
    for d in digests:
        assert kn.probe_hash_store(path, d.hex()) is model.probe_store(data, d.hex())


# ---- OS errors ----------------------------------------------------------------------

def test_missing_file(tmp_path):
    missing = str(tmp_path / "nope" / "hashes.bin")
    with pytest.raises(OSError) as info:
        kn.load_hash_store_binary(missing)
    assert type(info.value) is OSError
    assert info.value.args == ("No such file or directory (os error 2)",)
    assert info.value.errno is None
    with pytest.raises(OSError, match=r"^No such file or directory \(os error 2\)$"):
        kn.save_hash_store_binary(missing, [MD5_ABC])
    assert kn.probe_hash_store(missing, MD5_ABC) is None
    assert kn.probe_hash_store(missing, "zz") is False


def test_directory_as_path(tmp_path):
    d = str(tmp_path)
    with pytest.raises(OSError, match=r"^Is a directory \(os error 21\)$"):
        kn.load_hash_store_binary(d)
    with pytest.raises(OSError, match=r"^Is a directory \(os error 21\)$"):
        kn.save_hash_store_binary(d, [MD5_ABC])
    with pytest.raises(OSError, match=r"^Is a directory \(os error 21\)$"):
        kn.save_hash_store_binary(str(tmp_path / "new") + "/", [MD5_ABC])
    assert kn.probe_hash_store(d, MD5_ABC) is None
    assert os.listdir(d) == []


def test_nul_in_path(path):
    for call in (lambda: kn.save_hash_store_binary(path + "\0x", [MD5_ABC]),
                 lambda: kn.load_hash_store_binary(path + "\0x")):
        with pytest.raises(OSError, match="^file name contained an unexpected NUL byte$"):
            call()
    assert kn.probe_hash_store(path + "\0x", MD5_ABC) is None
    assert not os.path.exists(path)


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_device_written_in_place():
    # A device cannot be replaced by a rename; its write error comes through.
    with pytest.raises(OSError, match=r"^No space left on device \(os error 28\)$"):
        kn.save_hash_store_binary("/dev/full", [MD5_ABC])
    assert stat.S_ISCHR(os.stat("/dev/full").st_mode)
    assert kn.probe_hash_store("/dev/null", MD5_ABC) is None


# ---- saves replace the store whole -------------------------------------------------

def run_python(code: str, timeout=60):
    env = dict(os.environ)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=timeout)


def test_failed_save_keeps_old_store(tmp_path):
    """A save whose write fails part-way (here the file-size limit stops it
    after 1000 bytes) leaves the previous store intact and no stray file."""
    path = str(tmp_path / "hashes.bin")
    old = [hashlib.md5(str(i).encode()).hexdigest() for i in range(10)]
    kn.save_hash_store_binary(path, old)
    before = read(path)
    r = run_python(f"""
        import resource, signal, kelvo_native as kn
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (1000, resource.RLIM_INFINITY))
        new = ["%032x" % i for i in range(1000)]
        try:
            kn.save_hash_store_binary({path!r}, new)
        except OSError as e:
            print(e)
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "File too large (os error 27)"
    assert read(path) == before
    assert kn.load_hash_store_binary(path) == sorted(old)
    assert kn.probe_hash_store(path, old[3]) is True
    assert os.listdir(tmp_path) == ["hashes.bin"]


def test_killed_save_keeps_old_store(tmp_path):
    """A process killed while saving never leaves a partial store behind."""
    path = str(tmp_path / "hashes.bin")
    kn.save_hash_store_binary(path, [MD5_ABC])
    r = run_python(f"""
        import os, signal, kelvo_native as kn
        # Killed by the file-size limit signal on its first write past 64 bytes.
        import resource
        resource.setrlimit(resource.RLIMIT_FSIZE, (64, resource.RLIM_INFINITY))
        kn.save_hash_store_binary({path!r}, ["%032x" % i for i in range(100)])
    """)
    assert r.returncode != 0      # SIGXFSZ ended the process mid-save
    assert kn.load_hash_store_binary(path) == [MD5_ABC]


def test_new_file_mode_follows_umask(tmp_path):
    old = os.umask(0o027)
    try:
        kn.save_hash_store_binary(str(tmp_path / "a.bin"), [MD5_ABC])
    finally:
        os.umask(old)
    assert stat.S_IMODE(os.stat(tmp_path / "a.bin").st_mode) == 0o640


def test_existing_store_keeps_mode_and_link(tmp_path):
    real = tmp_path / "real.bin"
    link = tmp_path / "link.bin"
    kn.save_hash_store_binary(str(real), [])
    os.chmod(real, 0o600)
    os.symlink(real, link)
    kn.save_hash_store_binary(str(link), [MD5_ABC])
    assert os.path.islink(link)
    assert stat.S_IMODE(os.stat(real).st_mode) == 0o600
    assert kn.load_hash_store_binary(str(real)) == [MD5_ABC]
    assert sorted(os.listdir(tmp_path)) == ["link.bin", "real.bin"]


def test_relative_path(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    kn.save_hash_store_binary("rel.bin", [MD5_ABC])
    kn.save_hash_store_binary("rel.bin", [MD5_ABC, H_00])
    assert kn.load_hash_store_binary("rel.bin") == [H_00.lower(), MD5_ABC]
    assert os.listdir(tmp_path) == ["rel.bin"]


# ---- probes while the file changes -------------------------------------------------

def test_probe_survives_concurrent_truncation(tmp_path):
    """Another process keeps cutting the store short and rewriting it in place
    while probes run; every probe answers True, False or None, none crashes."""
    path = str(tmp_path / "hashes.bin")
    hashes = sorted("%032x" % (i * 7919) for i in range(200_000))
    kn.save_hash_store_binary(path, hashes)
    full = read(path)
    stop = str(tmp_path / "stop")
    writer = subprocess.Popen([sys.executable, "-c", textwrap.dedent(f"""
        import os
        data = open({path!r}, "rb").read()
        fd = os.open({path!r}, os.O_WRONLY)
        while not os.path.exists({stop!r}):
            os.ftruncate(fd, 9)
            os.pwrite(fd, data, 0)
    """)])
    try:
        r = run_python(f"""
            import kelvo_native as kn
            seen = set()
            probes = ["%032x" % (i * 7919) for i in range(0, 200_000, 97)]
            for _ in range(15):
                for h in probes:
                    seen.add(kn.probe_hash_store({path!r}, h))
            print(sorted(map(repr, seen)))
        """, timeout=120)
    finally:
        open(stop, "w").close()
        writer.wait(timeout=30)
    assert r.returncode == 0, r.stderr
    seen = eval(r.stdout)
    assert set(seen) <= {"True", "False", "None"}
    assert "None" in seen or "True" in seen
    assert read(path) == full


@pytest.mark.skipif(os.geteuid() == 0, reason="root may write any file")
def test_read_only_store_not_replaced(path):
    kn.save_hash_store_binary(path, [MD5_ABC])
    os.chmod(path, 0o444)
    with pytest.raises(OSError, match=r"^Permission denied \(os error 13\)$"):
        kn.save_hash_store_binary(path, [])
    assert kn.load_hash_store_binary(path) == [MD5_ABC]


def test_probes_during_saves_see_whole_stores(tmp_path):
    """While another process keeps saving the store, a probe sees either the
    old or the new file, never one cut short: a digest kept by every save is
    always found."""
    path = str(tmp_path / "hashes.bin")
    hashes = ["%032x" % (i * 104729) for i in range(20_000)]
    kn.save_hash_store_binary(path, hashes)
    stop = str(tmp_path / "stop")
    ready = str(tmp_path / "ready")
    saver = subprocess.Popen([sys.executable, "-c", textwrap.dedent(f"""
        import os, kelvo_native as kn
        hashes = ["%032x" % (i * 104729) for i in range(20_000)]
        i = 0
        while not os.path.exists({stop!r}):
            i += 1
            kn.save_hash_store_binary({path!r}, hashes + ["%032x" % (i + 1)])
            if i == 1:
                open({ready!r}, "w").close()
    """)], env=dict(os.environ))
    try:
        deadline = time.monotonic() + 30
        while not os.path.exists(ready) and time.monotonic() < deadline:
            time.sleep(0.01)
        answers = set()
        probes = hashes[::500]
        end = time.monotonic() + 1.0
        while time.monotonic() < end:
            for h in probes:
                answers.add(kn.probe_hash_store(path, h))
    finally:
        open(stop, "w").close()
        saver.wait(timeout=30)
    assert saver.returncode == 0
    assert answers == {True}
    assert set(hashes) <= set(kn.load_hash_store_binary(path))
    assert [f for f in os.listdir(tmp_path) if f.endswith(".tmp")] == []
