"""Reference text rules: the Unicode White_Space set and the word split on it.

Python's str.split() also splits on U+001C..U+001F, which are not White_Space,
so the split is modelled explicitly."""

import re

WHITE_SPACE = frozenset(map(chr, [
    *range(0x09, 0x0E), 0x20, 0x85, 0xA0, 0x1680, *range(0x2000, 0x200B),
    0x2028, 0x2029, 0x202F, 0x205F, 0x3000,
]))

_WS_RUN = re.compile("[" + "".join(re.escape(c) for c in sorted(WHITE_SPACE)) + "]+")


def split_ws(text: str) -> list[str]:
    return [w for w in _WS_RUN.split(text) if w]


def trim_ws(text: str) -> str:
    start, end = 0, len(text)
    while start < end and text[start] in WHITE_SPACE:
        start += 1
    while end > start and text[end - 1] in WHITE_SPACE:
        end -= 1
    return text[start:end]
