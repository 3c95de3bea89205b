"""The scalars of a YAML stream and where they stand, and writing new values into their places.

Only the parser's events are used, never its constructor: no value is given a type, no alias is
expanded, and the text between the scalars that change is copied as it is.
"""

from __future__ import annotations

import functools
import itertools
import json
from typing import Any

import yaml

from kuv_secrets.cli.status import CliError
from kuv_secrets.render.scalars import OPEN, LazyPattern, Lines, Scalar, Substitute

_LOADER = getattr(yaml, "CSafeLoader", yaml.SafeLoader)
_CORE = "tag:yaml.org,2002:"
_ENDS = (yaml.MappingEndEvent, yaml.SequenceEndEvent)
# Characters YAML won't take raw, and line breaks that YAML 1.1 readers fold in quoted text; listed
# as such, since the complement of what YAML takes compiles five times slower.
_UNSAFE = LazyPattern(
    "[\x00-\x08\x0b\x0c\x0e-\x1f\x7f-\x9f\u2028\u2029\ud800-\udfff\ufeff\ufffe\uffff]"
)
_PLAIN = LazyPattern(r"[^\s\-?:,\[\]{}#&*!|>'\"%@`][^\t\r\n]*")
# What YAML 1.2's core schema reads as no string; 1.1's resolver reads some of it as strings.
_CORE_12 = LazyPattern(
    r"null|Null|NULL|~|true|True|TRUE|false|False|FALSE|0o[0-7]+|0x[0-9a-fA-F]+"
    r"|[-+]?(?:\.[0-9]+|[0-9]+(?:\.[0-9]*)?)(?:[eE][-+]?[0-9]+)?"
    r"|[-+]?\.(?:inf|Inf|INF)|\.(?:nan|NaN|NAN)"
)
# What YAML 1.1 readers take as no string beyond what this resolver does: y and n as booleans,
# and the floats of 1.1's own expression, which the resolver narrows (".", "-.5", "1.2.3").
_CORE_11 = LazyPattern(r"[yYnN]|[-+]?(?:[0-9][0-9_]*)?\.[0-9._]*(?:[eE][-+][0-9]+)?")
_PROPERTY = LazyPattern(r"(?:\s+|#[^\n]*|&[^\s,\[\]{}]+|!<[^>]*>|![^\s,\[\]{}]*)*")
_BLOCK_HEADER = LazyPattern(r"([|>])([-+]?)([1-9]?)([-+]?)")
_RESOLVER = yaml.resolver.Resolver()

try:
    from kuv_secrets import _yamlscan
except ImportError:  # built without libyaml: the binding's events are read in Python
    _yamlscan = None  # type: ignore[assignment]


def _unsafe(text: str) -> bool:
    # Every unsafe character is unprintable: most values never need the pattern, nor its compiling.
    return not text.isprintable() and _UNSAFE.search(text) is not None


@functools.cache
def _bom_uncounted() -> int:
    # libyaml's reader drops a byte order mark without counting it in its marks.
    probe = (e for e in yaml.parse("\ufeffa", Loader=_LOADER) if isinstance(e, yaml.ScalarEvent))
    mark = next(probe).start_mark
    return 1 - mark.index if mark else 0


def scalars(text: str, label: str) -> list[Scalar]:
    """Every string scalar holding a reference marker, with whether it is (inside) a key."""
    try:
        marked = _read(text)
    except yaml.YAMLError as exc:
        raise _invalid(exc, label) from None
    found: list[Scalar] = []
    lines = Lines(text)
    shift = _bom_uncounted() if text.startswith("\ufeff") else 0
    for start, end, value, tag, anchored, style, in_key, flow in marked:
        start, end = start + shift, end + shift
        if anchored or tag is not None:
            start = _after_properties(text, start, end)
        line = lines.at(start)
        if style in ("|", ">"):
            end = _block_end(text, start, end)
        shown = "" if _is_string(tag) else _shown_tag(tag)
        found.append(Scalar(start, end, value, line, in_key, style, flow, shown))
    return found


# A scalar holding a marker as the parser gives it: its marks' indices, value, tag, whether it has
# an anchor, style, whether it is (inside) a key, whether it is in flow style.
Marked = tuple[int, int, str, str | None, bool, str, bool, bool]


def _read(text: str) -> list[Marked]:
    if _yamlscan is not None and _LOADER is not yaml.SafeLoader:
        # The binding's own libyaml judges the stream; the one linked here only reads it.
        parser = yaml.CSafeLoader(text)
        try:
            parser.raw_parse()
        finally:
            parser.dispose()
        found = _yamlscan.marked(text)
        if found is not None:
            return found
    return events(text)


def events(text: str) -> list[Marked]:
    """The scalars holding a marker, from the binding's events."""
    found: list[Marked] = []
    # The open collections: mapping?, flow?, the number of their start event, how many events
    # their finished children took beyond one each, inside a key? Counting events rather than
    # children leaves most events, the scalars and aliases, with nothing to do but be looked at.
    frames: list[list[Any]] = []
    scalar, ends = yaml.ScalarEvent, _ENDS
    starts: dict[type[yaml.Event], bool] = {
        yaml.MappingStartEvent: True,
        yaml.SequenceStartEvent: False,
    }
    parser = _LOADER(text)
    try:
        for number, event in zip(itertools.count(), iter(parser.get_event, None)):
            kind = type(event)
            if kind is scalar:
                if OPEN not in event.value:
                    continue
                assert isinstance(event, yaml.ScalarEvent)
                assert event.start_mark is not None and event.end_mark is not None
                in_key, flow = _place(frames, number)
                found.append(
                    (
                        event.start_mark.index,
                        event.end_mark.index,
                        event.value,
                        event.tag,
                        event.anchor is not None,
                        event.style or "",
                        in_key,
                        flow,
                    )
                )
            elif kind in starts:
                assert isinstance(event, yaml.CollectionStartEvent)
                in_key, flow = _place(frames, number)
                frames.append([starts[kind], flow or bool(event.flow_style), number, 0, in_key])
            elif kind in ends:
                first = frames.pop()[2]
                if frames:
                    frames[-1][3] += number - first
    finally:
        parser.dispose()
    return found


def _place(frames: list[list[Any]], number: int) -> tuple[bool, bool]:
    """Whether the event of this number is (inside) a key, and whether it is in flow style."""
    if not frames:
        return False, False
    mapping, flow, first, taken, inside = frames[-1]
    # Its elder siblings took number - first - 1 events, one each but for what ``taken`` counts.
    return inside or (mapping and (number - first - taken) % 2 == 1), flow


def rewrite(text: str, edits: list[tuple[Scalar, str, Substitute]], label: str) -> str:
    """``text`` with each scalar's source replaced by its new value, in its own style if it can."""
    # Re-reading is the judge: a scalar misread goes down to a plainer way of writing it, and
    # double quotes can say anything. Each new source is read on its own, in a context of its
    # kind (block or flow, a value, a block scalar's header): every way of writing used here
    # ends where the old source ended and holds no line that starts at its parent's indentation,
    # so what the stream makes of the text around it can't change, and only the scalar is read.
    pieces: list[str] = []
    done = 0
    for scalar, new, substitute in edits:
        for tier in (0, 1, 2) if scalar.style == ">" else (0, 2):
            start, end, source = _encode(text, scalar, new, substitute, tier)
            if _reads_back(text, scalar, start, end, source, new):
                break
        else:
            raise CliError(
                f"{label}:{scalar.line}: the substituted value could not be written back as YAML"
            )
        pieces += (text[done:start], source)
        done = end
    pieces.append(text[done:])
    return "".join(pieces)


def _reads_back(text: str, scalar: Scalar, start: int, end: int, source: str, new: str) -> bool:
    """Whether the new source of a scalar, read where it stands, is a string holding ``new``."""
    if start != scalar.start:  # a folded scalar's content: read with its header
        source = text[scalar.start : start] + source
    if source[:1] in ("|", ">"):
        document, count = "k: " + source, 8  # a block scalar as a mapping's value
    elif "\n" in source or "\r" in source:
        return False
    else:
        document, count = ("[" + source + "]", 7) if scalar.flow else (source, 5)
    try:
        # The line break after the source, if any: a block scalar's chomping counts it.
        after = "\n" if end < len(text) else ""
        events = list(yaml.parse(document + after, Loader=_LOADER))
    except yaml.YAMLError:
        return False
    if len(events) != count:
        return False
    read = events[-3 if count == 5 else -4]
    return (
        isinstance(read, yaml.ScalarEvent)
        and read.value == new
        and (read.style not in (None, "") or _is_str(new))
    )


def _invalid(exc: yaml.YAMLError, label: str) -> CliError:
    if isinstance(exc, yaml.MarkedYAMLError):
        # The parser's own text spans lines and names "<unicode string>"; say it on one, ours.
        mark = exc.problem_mark or exc.context_mark
        what = ", ".join(part for part in (exc.context, exc.problem) if part)
        if mark is None:
            return CliError(f"{label}: not valid YAML: {what}")
        return CliError(
            f"{label}:{mark.line + 1}: not valid YAML: {what} (column {mark.column + 1})"
        )
    return CliError(f"{label}: not valid YAML: {str(exc).splitlines()[0]}")


def _after_properties(text: str, start: int, end: int) -> int:
    # The event starts at the node's anchor or tag; its source text starts after them.
    match = _PROPERTY.match(text, start, end)
    return match.end() if match else start


def _block_end(text: str, start: int, end: int) -> int:
    # A block scalar's span runs on over the blank lines after it; they stay where they are.
    last = start + len(text[start:end].rstrip())
    line_end = text.find("\n", last, end)
    return end if line_end == -1 else line_end - (text[line_end - 1] == "\r")


def _shown_tag(tag: str | None) -> str:
    return "!!" + tag[len(_CORE) :] if tag and tag.startswith(_CORE) else str(tag)


def _is_string(tag: str | None) -> bool:
    # Untagged, "!" and application tags name strings here; of the core tags only !!str does.
    return tag is None or not tag.startswith(_CORE) or tag == _CORE + "str"


def _encode(
    text: str, scalar: Scalar, new: str, substitute: Substitute, tier: int
) -> tuple[int, int, str]:
    if tier == 0 and scalar.style == ">":
        refolded = _refold(text, scalar, substitute)
        if refolded is not None:
            return refolded
    if tier < 2:
        if scalar.style == "" and _plain(new, scalar.flow):
            return scalar.start, scalar.end, new
        if scalar.style == "'" and "\n" not in new and not _unsafe(new):
            return scalar.start, scalar.end, "'" + new.replace("'", "''") + "'"
        if scalar.style in ("|", ">"):
            block = _block(text, scalar, new)
            if block is not None:
                return block
    return scalar.start, scalar.end, double_quoted(new)


def _refold(text: str, scalar: Scalar, substitute: Substitute) -> tuple[int, int, str] | None:
    """A folded scalar with each reference replaced on its own line, the folds kept."""

    def one_line(value: str) -> str:
        if "\n" in value or "\r" in value or _unsafe(value):
            raise ValueError(value)
        return value

    content = text.find("\n", scalar.start, scalar.end) + 1
    header = _BLOCK_HEADER.match(text, scalar.start, scalar.end)
    # Kept final line breaks run on past the span, where re-reading the scalar can't see them.
    if not content or header is None or "+" in header.group(0):
        return None
    try:
        return content, scalar.end, substitute(text[content : scalar.end], one_line)
    except (ValueError, StopIteration):
        return None


def double_quoted(value: str) -> str:
    quoted = json.dumps(value, ensure_ascii=False)
    if quoted.isprintable():
        return quoted
    return _UNSAFE.sub(lambda m: f"\\u{ord(m.group()):04x}", quoted)


def _plain(value: str, flow: bool) -> bool:
    if not _PLAIN.fullmatch(value) or value != value.rstrip() or _unsafe(value):
        return False
    if ": " in value or " #" in value or value.endswith(":"):
        return False
    if flow and any(char in value for char in ",[]{}"):
        return False
    return _is_str(value)


def _is_str(value: str) -> bool:
    # A plain scalar must read back as a string under YAML 1.1 and 1.2 alike.
    tag = _RESOLVER.resolve(yaml.ScalarNode, value, (True, False))  # type: ignore[no-untyped-call]
    return tag == _CORE + "str" and not _CORE_12.fullmatch(value) and not _CORE_11.fullmatch(value)


def _block(text: str, scalar: Scalar, new: str) -> tuple[int, int, str] | None:
    """A literal or folded scalar with new content, its header and indentation kept."""
    header_end = text.find("\n", scalar.start, scalar.end)
    header = _BLOCK_HEADER.match(text, scalar.start, scalar.end)
    if header_end == -1 or header is None or header.group(3) or "+" in header.group(0):
        return None
    # The chomping indicator follows the new value's final line break; kept ones stay out.
    body = new.removesuffix("\n")
    if body.endswith("\n"):
        return None
    chomp = "" if new.endswith("\n") else "-"
    lines = body.split("\n")
    if not lines[0].strip() or lines[0][0] in " \t" or _unsafe(body) or "\r" in body:
        return None
    if scalar.style == ">" and len(lines) > 1:
        return None
    content = text[header_end + 1 : scalar.end].split("\n")
    first = next((line for line in content if line.strip()), "")
    indent = first[: len(first) - len(first.lstrip(" "))]
    if not indent:
        return None
    newline = "\r\n" if text[header_end - 1] == "\r" else "\n"
    head = scalar.style + chomp + text[header.end() : header_end].rstrip("\r")
    return (
        scalar.start,
        scalar.end,
        head + newline + newline.join(indent + x if x else x for x in lines),
    )
