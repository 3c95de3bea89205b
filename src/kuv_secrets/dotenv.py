"""Environment files (``NAME=value`` lines): where each value stands and how to write one back.

Values are read as bash's ``set -a; . file`` reads the quoted forms: single quotes are literal,
double quotes take backslash only before ``$``, backquote, ``"``, backslash and newline. An
unquoted value is taken as the dotenv loaders take it: the rest of the line up to a `` #``
comment, trailing blanks dropped, nothing expanded. Other lines are no entries and stay text.
"""

from __future__ import annotations

import re
from dataclasses import dataclass

from kuv_secrets.scalars import Substitute

_NAME = re.compile(r"[ \t\ufeff]*(?:export[ \t]+)?([A-Za-z_][A-Za-z0-9_.-]*)[ \t]*=([ \t]*)")
_SINGLE = re.compile(r"'([^']*)'")
_DOUBLE = re.compile(r'"((?:[^"\\]|\\.)*)"', re.DOTALL)
_AFTER_QUOTE = re.compile(r"[ \t\r]*(?:#[^\n]*)?(?:\n|$)")
_COMMENT = re.compile(r"[ \t]#")
_DOUBLE_ESCAPE = re.compile(r"\\([$`\"\\\n])")
_BARE = re.compile(r"[A-Za-z0-9_./:@%+,=-]+")
_NEEDS_ESCAPE = re.compile(r'([$`"\\])')
_NOT_IN_DOUBLE = re.compile(r'["`\\\']')
_ESCAPED = frozenset('$`"\\\n')
# What bash reads as written, as the loaders do: nothing expanded, run, split or unescaped.
# Only \" and \\ are escapes that bash and the loaders read alike (\n, \$ are not).
_LITERAL_DOUBLE = re.compile(r'"(?:[^"\\$`]|\\["\\])*"')
_LITERAL_SINGLE = re.compile(r"'[^'\\]*'")
_LITERAL_BARE = re.compile(r"[^$`\\'\" \t;&|<>()]+")
_TILDE = re.compile(r"(?:^|:)~")
_NAME_CHAR = re.compile(r"[A-Za-z0-9_]")
_PARAMETER = re.compile(r"\$(?:[A-Za-z_][A-Za-z0-9_]*|[0-9@*#?$!-])")
# Expansions whose end is sure: a ${...} without quotes, backslash, backquote, "$" or braces; a
# $(...) holding one simple command of plain words (no case, whose patterns end in ")"); and a
# backquoted command, which the first unescaped backquote ends.
_DELIMITED = re.compile(
    r"\$\{[^\"'\\`${}]*\}|\$\((?![^)]*\bcase\b)[A-Za-z0-9_ \t./:=,@%+-]*\)|`(?:[^`\\]|\\.)*`",
    re.DOTALL,
)


@dataclass(frozen=True)
class Entry:
    name: str
    value: str
    start: int
    end: int


def entries(text: str) -> list[Entry]:
    """Each ``NAME=value`` of ``text``: its value and the span of its source, quotes included."""
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


def literal(text: str, entry: Entry) -> bool:
    """Whether bash takes the entry's value as the loaders do, the text it stands for and no more:
    single-quoted without a backslash (some loaders unescape there), double-quoted with no
    ``$``, backquote or backslash but in ``\\"`` and ``\\\\``, or bare without
    expansions (``$``, backquote, a backslash, ``~``), quotes or what splits a command."""
    source = text[entry.start : entry.end]
    if text[entry.start - 1] != "=":
        return False  # "A= x": bash assigns "" and runs x
    if source.startswith("'"):
        return bool(_LITERAL_SINGLE.fullmatch(source))
    if source.startswith('"'):
        return bool(_LITERAL_DOUBLE.fullmatch(source))
    return bool(_LITERAL_BARE.fullmatch(source)) and not _TILDE.search(source)


def quote(value: str) -> str:
    """Source text that bash and the dotenv loaders read back as exactly ``value``."""
    if _BARE.fullmatch(value):
        return value
    # Single quotes are literal everywhere, except that some loaders unescape \\ and \' there.
    if "'" not in value and "\\" not in value:
        return f"'{value}'"
    return f'"{_escape(value)}"'


def rewritten(source: str, value: str, substitute: Substitute) -> str:
    """Source text for a value that now reads ``value``.

    Where the rest of the value expands something ($HOME, ${USER}), the references are replaced
    where they stand inside double quotes, so that the shell still expands it; an unquoted value
    moves into double quotes. Anything else is quoted whole, and so is a value with a reference
    that bash would read as part of an expansion: inside or after ``$(``, a backquote or a
    ``${...}`` it can't delimit surely, where the value would be run or cut.
    """
    expands = "$" in source.replace("${{", "") or "`" in source
    if expands and _DOUBLE.fullmatch(source):
        inner = source[1:-1]
    elif expands and source[:1] != "'" and not _NOT_IN_DOUBLE.search(source):
        inner = source
    else:
        return quote(value)
    mark = next((chr(c) for c in range(0xE000, 0xF900) if chr(c) not in inner), None)
    if mark is None:
        return quote(value)
    values: list[str] = []

    def hold(resolved: str) -> str:
        values.append(resolved)
        return mark

    try:
        marked = substitute(inner, hold)
    except StopIteration:  # more references here than were resolved: not the same text
        return quote(value)
    built = _in_place(marked, mark, values)
    if built is None:
        return quote(value)
    candidate = f'"{built}"'
    found = entries(f"V={candidate}")
    if [e.end for e in found] == [len(candidate) + 2]:
        return candidate
    return quote(value)


def _in_place(marked: str, mark: str, values: list[str]) -> str | None:
    """Double-quoted text with each ``mark`` replaced by its value, read by bash as that value
    between what precedes and follows it; None where that can't be said surely."""
    out: list[str] = []
    queue = iter(values)
    at = 0
    name: int | None = None  # where in ``out`` an unbraced $NAME stands, if it is the last piece
    while at < len(marked):
        char, following = marked[at], marked[at + 1 : at + 2]
        if char == mark:
            value = next(queue)
            if name is not None and name == len(out) - 1 and _NAME_CHAR.match(value):
                out[name] = "${" + out[name][1:] + "}"  # "$HOME" then "x" is no "$HOMEx"
            out.append(_escape(value))
            at += 1
        elif char == "\\" and following == mark:
            at += 1  # it escaped the reference's own "$", which the value replaces
        elif char == "\\" and following in _ESCAPED:
            out.append(marked[at : at + 2])
            at += 2
        elif char == "$" and following == mark:
            out.append("\\$")  # a lone "$" is literal, and must not take up the value
            at += 1
        elif char == "$" and (parameter := _PARAMETER.match(marked, at)):
            if _NAME_CHAR.match(following) and not following.isdigit():
                name = len(out)
            out.append(parameter.group())
            at = parameter.end()
        elif char == "`" or (char == "$" and following != "" and following in "({"):
            # Elsewhere where bash ends these is for its parser to say: no reference may follow.
            delimited = _DELIMITED.match(marked, at)
            if delimited is not None and mark not in delimited.group():
                out.append(delimited.group())
                at = delimited.end()
                continue
            if mark in marked[at:]:
                return None
            out.append(marked[at:])
            break
        else:
            out.append(char)
            at += 1
    return "".join(out)


def _escape(value: str) -> str:
    return _NEEDS_ESCAPE.sub(r"\\\1", value)
