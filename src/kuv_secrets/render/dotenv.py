"""Environment files (``NAME=value`` lines): where each value stands and how to write one back.

Values are read as bash's ``set -a; . file`` reads the quoted forms: single quotes are literal,
double quotes take backslash only before ``$``, backquote, ``"``, backslash and newline. An
unquoted value is the rest of the line up to a `` #`` comment, trailing blanks dropped, nothing
expanded. Other lines are no entries and stay text.

Render writes a value only into a file whose lines up to it are in a small subset of the format
(``outside``), where that reading and bash's agree by construction rather than by a model of bash.
"""

from __future__ import annotations

import re

from kuv_secrets.render.scalars import OPEN, LazyPattern, Substitute

_NAME = LazyPattern(r"[ \t\ufeff]*(?:export[ \t]+)?([A-Za-z_][A-Za-z0-9_.-]*)[ \t]*=([ \t]*)")
_SINGLE = LazyPattern(r"'([^']*)'")
_DOUBLE = LazyPattern(r'"((?:[^"\\]|\\.)*)"', re.DOTALL)
_AFTER_QUOTE = LazyPattern(r"[ \t\r]*(?:#[^\n]*)?(?:\n|$)")
_COMMENT = LazyPattern(r"[ \t]#")
_DOUBLE_ESCAPE = LazyPattern(r"\\([$`\"\\\n])")
_BARE = LazyPattern(r"[A-Za-z0-9_./:@%+,=-]+")
_NEEDS_ESCAPE = LazyPattern(r'([$`"\\])')
# What bash reads as written, as the loaders do: nothing expanded, run, split or unescaped.
# Only \" and \\ are escapes that bash and the loaders read alike (\n, \$ are not).
_LITERAL_DOUBLE = LazyPattern(r'"(?:[^"\\$`]|\\["\\])*"')
_LITERAL_SINGLE = LazyPattern(r"'[^'\\]*'")
_LITERAL_BARE = LazyPattern(r"[^$`\\'\" \t;&|<>()]+")
_TILDE = LazyPattern(r"(?:^|:)~")
# The pieces of a value whose reading by bash is certain, in double quotes and bare.
_VARIABLE = r"\$\{[A-Za-z_][A-Za-z0-9_]*\}|\$[A-Za-z_][A-Za-z0-9_]*"
_QUOTED_PIECE = LazyPattern(rf'[^"\\$`]+|\\["\\$`]|{_VARIABLE}')
_BARE_PIECE = LazyPattern(rf"[A-Za-z0-9_./:@%+,=-]+|{_VARIABLE}")


class Entry:
    # A plain class: a dataclass costs the import of dataclasses.
    __slots__ = ("end", "name", "start", "value")

    def __init__(self, name: str, value: str, start: int, end: int) -> None:
        self.name, self.value, self.start, self.end = name, value, start, end


def entries(text: str) -> list[Entry]:
    """Each ``NAME=value`` of ``text``: its value and the span of its source, quotes included."""
    found: list[Entry] = []
    at = 0
    while at < len(text):
        line_end = _line_end(text, at)
        entry = _entry(text, at, line_end)
        if entry is None:
            at = line_end + 1
            continue
        found.append(entry)
        at = _line_end(text, entry.end) + 1
    return found


def _entry(text: str, at: int, line_end: int) -> Entry | None:
    head = _NAME.match(text, at, line_end)
    if head is None:
        return None
    return _quoted(text, head.group(1), head.end()) or _unquoted(
        text, head.group(1), head.start(2), line_end
    )


def marked(text: str) -> tuple[list[Entry], bool]:
    """The entries whose value holds a reference marker, as ``entries`` reads them, and whether
    the lines up to the last marker are plain (so ``outside`` finds none of them)."""
    found: list[Entry] = []
    last = text.rfind(OPEN)
    if last == -1:
        return found, True
    plain, at, end = True, 0, _line_end(text, last)
    while at <= last:
        # Each plain line is an entry of its own or none: only those with a marker are read.
        other = _unplain(text, at, end)
        marker = text.find(OPEN, at, end if other is None else other)
        while marker != -1:
            line_end = _line_end(text, marker)
            entry = _entry(text, text.rfind("\n", 0, marker) + 1, line_end)
            if entry is not None and OPEN in entry.value:
                found.append(entry)
            marker = text.find(OPEN, line_end, end if other is None else other)
        if other is None:
            break
        # Any other line as ``entries`` reads it, which may take the lines after it.
        plain, line_end = False, _line_end(text, other)
        entry = _entry(text, other, line_end)
        if entry is not None:
            if OPEN in entry.value:
                found.append(entry)
            line_end = _line_end(text, entry.end)
        at = line_end + 1
    return found, plain


def _line_end(text: str, at: int) -> int:
    end = text.find("\n", at)
    return len(text) if end == -1 else end


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


# The subset render writes into: blank lines, comments, and ``[export ]NAME=value`` with an
# optional `` #`` comment, the value bare, single-quoted, or double-quoted with only the escapes
# \\ \" \$ \` and variables. Each piece can be read one way only, so matching stays linear.
_SAFE_VARIABLE = r"\$\{[A-Za-z_][A-Za-z0-9_]*\}|\$[A-Za-z_][A-Za-z0-9_]*(?![A-Za-z0-9_])"
# Names bash keeps to itself: an assignment that doesn't stick (SECONDS, RANDOM...), one to a
# read-only name that ends the sourcing, or one that changes how the rest is read.
_BASH_OWN = (
    r"(?!(?:SECONDS|RANDOM|SRANDOM|LINENO|BASHPID|HISTCMD|GROUPS|DIRSTACK|EPOCHREALTIME"
    r"|EPOCHSECONDS|FUNCNAME|BASH_ARGV0|BASH_SUBSHELL|BASH_COMMAND|UID|EUID|PPID|SHELLOPTS"
    r"|BASHOPTS|BASH_VERSINFO|POSIXLY_CORRECT)=)"
)
_REFERENCE = r"\$\{\{[^\n\"'\\$`{}#]*\}\}"
_SUBSET = LazyPattern(
    r"[ \t]*(?:#[^\n]*)?(?=\n|\Z)"
    rf"|[ \t]*(?:export[ \t]+)?{_BASH_OWN}[A-Za-z_][A-Za-z0-9_]*=(?P<blanks>[ \t]*)(?P<value>"
    rf"(?:[A-Za-z0-9_./:@%+,=-]|{_SAFE_VARIABLE}|{_REFERENCE})+"
    r"|'[^'\x00]*'"
    rf"|\"(?:[^\"\\$`\x00]|\\[\"\\$`]|{_SAFE_VARIABLE}|{_REFERENCE})*\""
    r")?(?:[ \t]+(?:#[^\n]*)?)?(?=\n|\Z)"
)


# The subset's lines with no line break in a value and no blanks before one: each line is an
# entry of its own or none. Each piece can be read one way only, even where a line fails.
_RUN = r"[A-Za-z0-9_./:@%+,=-]*"
_IN_DOUBLE = r"[^\"\\$`\x00\n]*"
_PLAIN_LINE = (
    rf"[ \t]*(?:#[^\n]*|(?:export[ \t]+)?{_BASH_OWN}[A-Za-z_][A-Za-z0-9_]*=(?:"
    r"'[^'\x00\n]*'"
    rf"|\"{_IN_DOUBLE}(?:(?:\\[\"\\$`]|{_SAFE_VARIABLE}|{_REFERENCE}){_IN_DOUBLE})*\""
    rf"|{_RUN}(?:(?:{_SAFE_VARIABLE}|{_REFERENCE}){_RUN})*"
    r")(?:[ \t]+(?:#[^\n]*)?)?)?"
)
_PLAIN_LINES = LazyPattern(rf"{_PLAIN_LINE}(?:\n{_PLAIN_LINE})*")
_CHUNK = 1 << 16  # lines matched at once: the matcher keeps a frame for each


def _unplain(text: str, at: int, end: int) -> int | None:
    """Where the first line from ``at`` to ``end`` (a line's start and end) that is not plain
    starts, or None."""
    while True:
        stop = text.find("\n", at + _CHUNK, end) if at + _CHUNK < end else -1
        stop = end if stop == -1 else stop
        # Each line matches as far as it is plain: the match stops in the first other one.
        reach = _PLAIN_LINES.match(text, at, stop)
        assert reach is not None  # every line starts with a plain one, if empty
        if reach.end() < stop:
            return text.rfind("\n", 0, reach.end()) + 1
        if stop == end:
            return None
        at = stop + 1


def outside(text: str, until: int) -> int | None:
    """The number of the first line that starts before ``until`` and is outside the subset, or
    None. Only blanks after ``=`` and before a value with a reference pass, as render drops them
    (``A= x`` runs x)."""
    at, line, limit = 0, 1, min(until, len(text))
    end = _line_end(text, max(limit - 1, 0))
    while at < limit:
        other = _unplain(text, at, end)  # plain lines are in the subset
        if other is None or other >= limit:
            return None
        line += text.count("\n", at, other)
        match = _SUBSET.match(text, other)
        if match is None or (match["blanks"] and match["value"] and OPEN not in match["value"]):
            return line
        line += text.count("\n", other, match.end()) + 1
        at = match.end() + 1
    return None


def quote(value: str) -> str:
    """Source text that bash reads back as exactly ``value``."""
    if _BARE.fullmatch(value):
        return value
    # A backslash stays out of single quotes, where some loaders unescape it.
    if "'" not in value and "\\" not in value:
        return f"'{value}'"
    return f'"{_escape(value)}"'


def rewritten(source: str, value: str, substitute: Substitute) -> str:
    """Source text for a value that now reads ``value``.

    Where the rest of the value expands a variable ($HOME, ${USER}), the references are replaced
    where they stand inside double quotes, so that the shell still expands it; an unquoted value
    moves into double quotes. That is done only where every other piece of the value reads the
    same for certain: plain text, the escapes \\" \\\\ \\$ \\`, ``$NAME`` and ``${NAME}``.
    Anything else (a command, arithmetic, ``${NAME:-...}``, a backslash-newline) and the value is
    quoted whole, so that no part of a secret is ever read as shell syntax.
    """
    expands = "$" in source.replace("${{", "") or "`" in source
    if expands and _DOUBLE.fullmatch(source):
        inner, pieces = source[1:-1], _QUOTED_PIECE
    elif expands and source[:1] != "'":
        inner, pieces = source, _BARE_PIECE
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
    built = _in_place(marked.split(mark), values, pieces)
    return quote(value) if built is None else f'"{built}"'


def _in_place(segments: list[str], values: list[str], pieces: LazyPattern) -> str | None:
    """The text around the references, each read piece by piece, with the values between them
    escaped for double quotes; None where a piece is not one whose reading is certain."""
    out: list[str] = []
    for index, segment in enumerate(segments):
        at, last = 0, ""
        while at < len(segment):
            match = pieces.match(segment, at)
            if match is None:
                return None
            last, at = match.group(), match.end()
            out.append(last)
        if index < len(values):
            if last.startswith("$") and not last.startswith("${"):
                out[-1] = "${" + last[1:] + "}"  # "$HOME" then a value is no "$HOMEvalue"
            out.append(_escape(values[index]))
    return "".join(out)


def _escape(value: str) -> str:
    return _NEEDS_ESCAPE.sub(r"\\\1", value)
