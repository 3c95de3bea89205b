"""Environment files (``NAME=value`` lines): where each value stands and how to write one back.

Values are read as bash's ``set -a; . file`` reads the quoted forms: single quotes are literal,
double quotes take backslash only before ``$``, backquote, ``"``, backslash and newline. An
unquoted value is taken as the dotenv loaders take it: the rest of the line up to a `` #``
comment, trailing blanks dropped, nothing expanded. Other lines are no entries and stay text.
"""

from __future__ import annotations

import re
from dataclasses import dataclass

_NAME = re.compile(r"[ \t\ufeff]*(?:export[ \t]+)?([A-Za-z_][A-Za-z0-9_.-]*)[ \t]*=([ \t]*)")
_SINGLE = re.compile(r"'([^']*)'")
_DOUBLE = re.compile(r'"((?:[^"\\]|\\.)*)"', re.DOTALL)
_AFTER_QUOTE = re.compile(r"[ \t\r]*(?:#[^\n]*)?(?:\n|$)")
_COMMENT = re.compile(r"[ \t]#")
_DOUBLE_ESCAPE = re.compile(r"\\([$`\"\\\n])")
_BARE = re.compile(r"[A-Za-z0-9_./:@%+,=-]+")
_NEEDS_ESCAPE = re.compile(r'([$`"\\])')


@dataclass(frozen=True)
class Entry:
    name: str
    value: str
    start: int
    end: int


def entries(text: str) -> list[Entry]:
    """Each ``NAME=value`` of ``text`` with its value and the span of its source, quotes included."""
    found: list[Entry] = []
    at = 0
    while at < len(text):
        line_end = text.find("\n", at)
        line_end = len(text) if line_end == -1 else line_end
        head = _NAME.match(text, at, line_end)
        if head is None:
            at = line_end + 1
            continue
        entry = _quoted(text, head.group(1), head.end()) or _unquoted(
            text, head.group(1), head.start(2), line_end
        )
        found.append(entry)
        next_line = text.find("\n", entry.end)
        at = len(text) if next_line == -1 else next_line + 1
    return found


def _quoted(text: str, name: str, start: int) -> Entry | None:
    # A quoted value may span lines; what follows its closing quote must end the line.
    pattern = {"'": _SINGLE, '"': _DOUBLE}.get(text[start : start + 1])
    match = pattern.match(text, start) if pattern else None
    if match is None or not _AFTER_QUOTE.match(text, match.end()):
        return None
    value = match.group(1)
    if pattern is _DOUBLE:
        value = _DOUBLE_ESCAPE.sub(lambda m: "" if m.group(1) == "\n" else m.group(1), value)
    return Entry(name, value, start, match.end())


def _unquoted(text: str, name: str, after_equals: int, line_end: int) -> Entry:
    # A comment needs a blank before it: A=#x holds "#x", A= #x holds "".
    comment = _COMMENT.search(text, after_equals, line_end)
    source = text[after_equals : comment.start() if comment else line_end]
    value = source.strip(" \t\r")
    start = after_equals + len(source) - len(source.lstrip(" \t\r"))
    return Entry(name, value, start, start + len(value))


def quote(value: str) -> str:
    """Source text that bash and the dotenv loaders read back as exactly ``value``."""
    if _BARE.fullmatch(value):
        return value
    # Single quotes are literal everywhere, except that some loaders unescape \\ and \' there.
    if "'" not in value and "\\" not in value:
        return f"'{value}'"
    return '"' + _NEEDS_ESCAPE.sub(r"\\\1", value) + '"'
