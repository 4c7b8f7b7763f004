"""Sentence segmentation."""

import pytest
from hypothesis import given, settings, strategies as st

import kelvo_native as kn
from models import store as model


def test_signature_and_docstring():
    assert kn.segment_text.__text_signature__ == "(text, min_chars)"
    lines = kn.segment_text.__doc__.split("\n")
    assert lines[:5] == [
        "Split text into sentences, merging fragments shorter than `min_chars` into",
        "the preceding sentence.",
        "",
        "Mirrors `sentence_window.segment_text()` exactly.",
        'The Python version uses `re.split(r"(?<=[.!?])\\s+", text)`.',
    ]
    assert "look-behind" in lines[5]
    assert lines[6] == "scan for [.!?] followed by whitespace and split at the whitespace boundary."
    assert len(lines) == 7
    names = kn.__all__
    assert names.index("probe_hash_store") < names.index("segment_text")
    assert names[names.index("segment_text") + 1] == "cosine_similarity"


@pytest.mark.parametrize("text, min_chars, expected", [
    ("", 0, []),
    ("  \n \r\n\t ", 0, []),
    ("Hello world", 0, ["Hello world"]),
    ("This is long. Ok. Another one.", 5, ["This is long. Ok.", "Another one."]),
    ("Hi. There is more.", 5, ["Hi.", "There is more."]),
    ("Wait...what? Yes", 0, ["Wait...what?", "Yes"]),
    ("End.\n\nNext line", 0, ["End.", "Next line"]),
    ("A;  B", 0, ["A;  B"]),
    ("A:\nB", 0, ["A:\nB"]),
    ("One.\u00a0Two", 0, ["One.", "Two"]),
    ("One.\u3000\u00a0 Two", 0, ["One.", "Two"]),
    ("Go! Now? Yes.", 0, ["Go!", "Now?", "Yes."]),
    ("\u00c7a va. Tr\u00e8s bien.", 11, ["\u00c7a va.", "Tr\u00e8s bien."]),
    ("\u00c7a va. Tr\u00e8s bien.", 12, ["\u00c7a va. Tr\u00e8s bien."]),
    ("Done. ", 0, ["Done."]),
    ("  Lead. Next", 0, ["Lead.", "Next"]),
    (". . .", 0, [".", ".", "."]),
    ("a. b. c. dddd.", 3, ["a. b. c.", "dddd."]),        # each short piece joins the last
    ("Line one.\x0b\x0cTwo", 0, ["Line one.", "Two"]),  # VT/FF trimmed, not skipped
    ("No cut.\x1cHere", 0, ["No cut.\x1cHere"]),        # U+001C is not White_Space
    ("Big gap.   \t\r\n  Then", 0, ["Big gap.", "Then"]),
    ("x" * 3, 2**64 - 1, ["xxx"]),
])
def test_examples(text, min_chars, expected):
    assert kn.segment_text(text, min_chars) == expected
    assert model.segment_text(text, min_chars) == expected


@pytest.mark.parametrize("args, exc, message", [
    (("abc", -1), OverflowError, ""),
    (("abc", 1.5), TypeError, "argument 'min_chars': "),
    (("abc", None), TypeError, "argument 'min_chars': "),
    ((b"abc", 1), TypeError, "argument 'text': 'bytes' object cannot be converted to 'PyString'"),
    (("a\ud800. b", 0), UnicodeEncodeError, ""),
    (("abc",), TypeError, "segment_text() missing 1 required positional argument: 'min_chars'"),
])
def test_argument_errors(args, exc, message):
    with pytest.raises(exc) as info:
        kn.segment_text(*args)
    assert type(info.value) is exc
    assert str(info.value).startswith(message)


def test_keywords_and_index_objects():
    class Five:
        def __index__(self):
            return 5
    assert kn.segment_text(min_chars=Five(), text="Hi. Ok. Longer one.") == ["Hi. Ok.", "Longer one."]


ALPHABET = st.sampled_from(list(
    "ab .!?\t\n\r\x0b\x0c\x1c\x85\u00a0\u1680\u2000\u2028\u2029\u202f\u3000\u200b\u00e9\u4e2d\U0001f600"))


@settings(max_examples=400, deadline=None)
@given(text=st.lists(ALPHABET, max_size=60).map("".join), min_chars=st.integers(0, 12))
def test_matches_model(text, min_chars):
    assert kn.segment_text(text, min_chars) == model.segment_text(text, min_chars)


ASCII = st.sampled_from(list("abc .!?\t\n\r\x0b\x0cXY"))


@settings(max_examples=300, deadline=None)
@given(text=st.lists(ASCII, max_size=80).map("".join), min_chars=st.integers(0, 10))
def test_matches_regex_routine_on_ascii(text, min_chars):
    # On ASCII text without U+001C..U+001F the host's re.split routine agrees.
    assert kn.segment_text(text, min_chars) == model.segment_text_re(text, min_chars)


def test_long_text():
    text = ("Sentence number one is here. Short. Another sentence follows!  "
            "Is it a question?\nYes.\u00a0\u00e9t\u00e9 fini. ") * 2000
    for m in (0, 6, 40):
        assert kn.segment_text(text, m) == model.segment_text(text, m)
