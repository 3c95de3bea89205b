"""The strings of a JSON text and where they stand, without building (or re-dumping) the data."""

from __future__ import annotations

import json
from collections.abc import Callable, Iterator

from kuv_secrets.render.scalars import OPEN, SURROGATE, LazyPattern, Lines, Scalar

_SPACE = LazyPattern(r"[ \t\n\r]*")
_NUMBER = LazyPattern(r"-?(?:0|[1-9][0-9]*)(?:\.[0-9]+)?(?:[eE][-+]?[0-9]+)?")
# The json module reads these too; they are no JSON, but the file is passed on, not judged.
_LITERAL = LazyPattern(r"true|false|null|NaN|-?Infinity")
_CLOSER = {"{": "}", "[": "]"}
# The json module's own string reader (in C where it can be), which its stubs leave out.
_Scan = Callable[[str, int, bool], tuple[str, int]]
_scanstring: _Scan = json.decoder.scanstring  # type: ignore[attr-defined]


# Where a marker's braces can stand: in valid JSON only inside a string, raw or escaped.
_BRACES = LazyPattern(r"\{\{|\\u007[bB]")


def scalars(text: str) -> list[Scalar]:
    """Every string holding a reference marker, keys included; json.JSONDecodeError if invalid."""
    shift = 1 if text.startswith("\ufeff") else 0
    try:
        json.loads(text[shift:] if shift else text)  # the reader in C says whether it is JSON
    except json.JSONDecodeError as exc:
        raise json.JSONDecodeError(exc.msg, text, exc.pos + shift) from None
    except (RecursionError, ValueError):
        # Nested deeper than the reader goes, or a number longer than int() takes: walked.
        return _walk(text)
    found: list[Scalar] = []
    lines = Lines(text)
    done = 0
    for at in _braces(text):
        if at < done:
            continue
        start = text.rfind('"', 0, at)
        while _escaped(text, start):
            start = text.rfind('"', 0, start)
        done = _string(text, start, found, lines, in_key=False)
        if found and found[-1].start == start:
            found[-1].in_key = text.startswith(":", _skip(text, done))
    return found


def _braces(text: str) -> Iterator[int]:
    if "\\u007" in text:
        yield from (match.start() for match in _BRACES.compiled.finditer(text))
        return
    # No brace escaped: found as text, many times faster than by the pattern.
    at = text.find("{{")
    while at != -1:
        yield at
        at = text.find("{{", at + 2)


def _escaped(text: str, quote: int) -> bool:
    before = quote
    while before and text[before - 1] == "\\":
        before -= 1
    return (quote - before) % 2 == 1


def _walk(text: str) -> list[Scalar]:
    found: list[Scalar] = []
    lines = Lines(text)
    stack: list[str] = []
    pos = _skip(text, 1 if text.startswith("\ufeff") else 0)
    while True:
        char = text[pos : pos + 1]
        if char == '"':
            pos = _string(text, pos, found, lines, in_key=False)
        elif char in _CLOSER:
            pos = _skip(text, pos + 1)
            if text.startswith(_CLOSER[char], pos):
                pos += 1
            else:
                stack.append(char)
                if char == "{":
                    pos = _key(text, pos, found, lines)
                continue
        else:
            match = _NUMBER.match(text, pos) or _LITERAL.match(text, pos)
            if match is None:
                raise json.JSONDecodeError("Expecting value", text, pos)
            pos = match.end()
        while True:
            pos = _skip(text, pos)
            if not stack:
                if pos != len(text):
                    raise json.JSONDecodeError("Extra data", text, pos)
                return found
            char = text[pos : pos + 1]
            if char == ",":
                pos = _skip(text, pos + 1)
                if stack[-1] == "{":
                    pos = _key(text, pos, found, lines)
                break
            if char != _CLOSER[stack[-1]]:
                raise json.JSONDecodeError("Expecting ',' delimiter", text, pos)
            stack.pop()
            pos += 1


def encode(value: str) -> str:
    return dumps(value)


def dumps(data: object, indent: int | None = None) -> str:
    """JSON text fit for UTF-8: characters as they are, but a lone surrogate as an escape."""
    text = json.dumps(data, ensure_ascii=False, indent=indent)
    return SURROGATE.sub(lambda m: f"\\u{ord(m.group()):04x}", text)


def _skip(text: str, pos: int) -> int:
    match = _SPACE.match(text, pos)
    return match.end() if match else pos


def _key(text: str, pos: int, found: list[Scalar], lines: Lines) -> int:
    if not text.startswith('"', pos):
        raise json.JSONDecodeError("Expecting property name enclosed in double quotes", text, pos)
    pos = _skip(text, _string(text, pos, found, lines, in_key=True))
    if not text.startswith(":", pos):
        raise json.JSONDecodeError("Expecting ':' delimiter", text, pos)
    return _skip(text, pos + 1)


def _string(text: str, pos: int, found: list[Scalar], lines: Lines, in_key: bool) -> int:
    value, end = _scanstring(text, pos + 1, True)
    if OPEN in value:
        found.append(Scalar(pos, end, value, lines.at(pos), in_key))
    return end
