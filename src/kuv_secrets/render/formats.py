"""Configuration formats: finding the references of a file and substituting them in place.

The parsers only say where each string value stands and what it means; the output is the input
with just those strings rewritten, so comments, layout, numbers and keys stay as they were.
"""

from __future__ import annotations

import json
import os
from collections.abc import Callable, Iterator, Sequence

from kuv_secrets.cli.status import EXIT_REFERENCE, CliError, describe
from kuv_secrets.render import scan
from kuv_secrets.render.scalars import CLOSE, OPEN, SURROGATE, Lines, Scalar, Substitute

TYPE_CHECKING = False
if TYPE_CHECKING:
    from kuv_secrets.cli.context import Context
    from kuv_secrets.realm.memory import Trail
    from kuv_secrets.secrets import Secrets

_EXTENSIONS = {".json": "json", ".yaml": "yaml", ".yml": "yaml", ".env": "dotenv"}
# Suffixes that mark a file as a template of the file beneath, whose format counts.
_TEMPLATES = (".tmpl", ".tpl", ".template", ".in", ".dist", ".example")
# The CI platform writes its own expressions with the same markers.
PLATFORM = frozenset(
    ["github", "secrets", "env", "vars", "inputs", "matrix", "steps", "needs", "runner", "job"]
    + ["strategy"]
)
_SHOWN = 40
# An opening that no closing marker completes is a typo, never text meant to be kept.
INCOMPLETE = f"not a complete reference: no {CLOSE} closes it"


def format_of(path: str | None, forced: str | None) -> str:
    return chosen(path, forced)[0]


def chosen(path: str | None, forced: str | None) -> tuple[str, str]:
    """The format of a file and what it was chosen from, as check says it."""
    if forced:
        return forced, "from --format"
    if path is None:
        # Standard input has no name to go by, and its content is not guessed at.
        return "text", "standard input, without --format"
    name = os.path.basename(path).lower()
    how = "from the file name"
    stem, suffix = os.path.splitext(name)
    while suffix in _TEMPLATES and stem:
        name, how = stem, f"from the file name beneath its {suffix}"
        stem, suffix = os.path.splitext(name)
    if name == ".env" or name.startswith(".env."):
        return "dotenv", how
    compose = name.startswith("docker-compose") or name == "compose" + suffix
    if compose and suffix in (".yaml", ".yml"):
        return "compose", how
    return _EXTENSIONS.get(suffix, "text"), how


def leaving(patterns: Sequence[str]) -> Callable[[str], bool]:
    """Whether --leave keeps a reference of this id as it is."""
    if not patterns:
        return _never
    from fnmatch import fnmatchcase

    return lambda secret_id: any(fnmatchcase(secret_id, pattern) for pattern in patterns)


def _never(secret_id: str) -> bool:
    return False


def platform(secret_id: str) -> str | None:
    """The CI platform's context an id starts with, if any."""
    head, dot, _ = secret_id.partition(".")
    return head if dot and head in PLATFORM else None


class Marker:
    """A reference marker found in a file, as check lists it."""

    __slots__ = ("left", "line", "secret_id", "shown")

    def __init__(self, line: int, shown: str, secret_id: str | None, left: str = "") -> None:
        self.line, self.shown = line, shown
        self.secret_id = secret_id  # None where the marker starts no complete reference
        self.left = left  # why a complete reference stays as it is


def find(text: str, fmt: str, label: str) -> list[Marker]:
    """Every reference marker in the string values (and keys) of ``text``, in order."""
    found = []
    for scalar in _scalars(text, fmt, label):
        markers = scan.references(scalar.value)
        for line, marker in zip(_lines(text, scalar, len(markers)), markers):
            found.append(Marker(line, _shown(scalar, marker), marker.secret_id, _left(scalar)))
    return found


def _shown(scalar: Scalar, marker: scan.Reference) -> str:
    if marker.secret_id is not None:
        return f"{OPEN} {marker.secret_id} {CLOSE}"
    return scalar.value[marker.start : min(marker.end, marker.start + _SHOWN)].split("\n")[0]


def _require_complete(text: str, scalar: Scalar, label: str) -> None:
    markers = scan.references(scalar.value)
    for line, marker in zip(_lines(text, scalar, len(markers)), markers):
        if marker.secret_id is None:
            where = f"{label}:{line}: {_shown(scalar, marker)}"
            raise CliError(f"{where}: {INCOMPLETE}", EXIT_REFERENCE)


def _left(scalar: Scalar) -> str:
    if scalar.in_key:
        return "in a key"
    return f"under the tag {scalar.tag}" if scalar.tag else ""


def _lines(text: str, scalar: Scalar, count: int) -> list[int]:
    """The line of each of the ``count`` markers of a scalar's value in the source: the k-th
    marker of its source text, unless escapes or folding make the counts differ."""
    offsets = []
    at = text.find(OPEN, scalar.start, scalar.end)
    while at != -1:
        offsets.append(at)
        at = text.find(OPEN, at + len(OPEN), scalar.end)
    if len(offsets) != count:
        return [scalar.line] * count
    # Counted on from the previous marker: a text with many references stays linear.
    found, line, done = [], scalar.line, scalar.start
    for at in offsets:
        line += text.count("\n", done, at)
        found.append(line)
        done = at
    return found


def render(
    records: type[Secrets],
    text: str,
    fmt: str,
    owner: str,
    prefix: str,
    label: str,
    *,
    ctx: Context | None = None,
    leave: Sequence[str] = (),
    trail: Trail | None = None,
) -> str:
    """``text`` with the references in its string values substituted, and nothing else changed."""
    edits: list[tuple[Scalar, str, list[str]]] = []
    if fmt == "dotenv":
        scalars, in_subset = _dotenv(text)
    else:
        scalars = [scalar for scalar in _scalars(text, fmt, label) if not _left(scalar)]
        in_subset = True
    for scalar in scalars:  # before anything resolves, so no file secret is written for nothing
        _require_complete(text, scalar, label)
    if not in_subset and scalars:
        from kuv_secrets.render import dotenv

        # Up to its last reference, bash must read the file as the entries read it.
        line = dotenv.outside(text, scalars[-1].end)
        if line is not None:
            raise CliError(
                f"{label}:{line}: this line is outside the dotenv subset render accepts before a "
                "reference (see the README), where bash could read a value as shell syntax"
            )
    lookup = _Lookup(records, owner, prefix, leaving(leave), fmt == "compose")
    if ctx is not None and trail is not None:
        lookup.ctx, lookup.trail = ctx, trail
    for scalar in scalars:
        new, values, ids = _compose(lookup, text, fmt, scalar, label, ctx)
        if new != scalar.value:
            _writable(text, scalar, fmt, values, ids, label)
            edits.append((scalar, new, values))
    if not edits:
        return text
    if fmt in ("yaml", "compose"):
        from kuv_secrets.render import yamlspans

        replays = [(scalar, new, _replay(records, values)) for scalar, new, values in edits]
        return yamlspans.rewrite(text, replays, label)
    pieces: list[str] = []
    done = 0
    for scalar, new, values in edits:
        start = scalar.start
        if fmt == "json":
            from kuv_secrets.render import jsonspans

            source = jsonspans.encode(new)
        elif fmt == "dotenv":
            from kuv_secrets.render import dotenv

            source = dotenv.rewritten(
                text[scalar.start : scalar.end], new, _replay(records, values)
            )
            # The loaders drop blanks after "=", but bash would run the value as a command.
            while text[start - 1] in " \t":
                start -= 1
        else:
            source = new
        pieces += (text[done:start], source)
        done = scalar.end
    pieces.append(text[done:])
    return "".join(pieces)


def _writable(
    text: str,
    scalar: Scalar,
    fmt: str,
    values: list[str],
    ids: list[str],
    label: str,
) -> None:
    # JSON and YAML escape what they can't hold raw; a value pasted as it is must be UTF-8 text,
    # and bash can't hold a NUL at all.
    for index, value in enumerate(values):
        if fmt == "dotenv" and "\x00" in value:
            reason = "the value holds a NUL character, which an environment file can't hold"
        elif fmt in ("dotenv", "text") and SURROGATE.search(value):
            reason = "the value holds a lone surrogate, which UTF-8 text can't hold"
        else:
            continue
        line = _line_of(text, scalar, index)
        raise CliError(f"{label}:{line}: {OPEN} {ids[index]} {CLOSE}: {reason}")


def _line_of(text: str, scalar: Scalar, index: int) -> int:
    """The line of the complete reference that resolved ``index``-th in a scalar."""
    markers = scan.references(scalar.value)
    complete = [k for k, marker in enumerate(markers) if marker.secret_id is not None]
    if index >= len(complete):
        return scalar.line
    return _lines(text, scalar, len(markers))[complete[index]]


def _replay(records: type[Secrets], values: list[str]) -> Substitute:
    """Substitution in some source text with the values already resolved, in their order."""

    def substitute(source: str, transform: Callable[[str], str]) -> str:
        queue = iter(values)

        def resolve(secret_id: str, owner: str, prefix: str) -> str:
            return transform(next(queue))

        return records.secret_composer(source, resolve)

    return substitute


def _scalars(text: str, fmt: str, label: str) -> list[Scalar]:
    if fmt == "json":
        from kuv_secrets.render import jsonspans

        try:
            return jsonspans.scalars(text)
        except json.JSONDecodeError as exc:
            raise CliError(
                f"{label}:{exc.lineno}: not valid JSON: {exc.msg} (column {exc.colno})"
            ) from None
    if fmt in ("yaml", "compose"):
        from kuv_secrets.render import yamlspans

        return yamlspans.scalars(text, label)
    if fmt == "dotenv":
        return _dotenv(text)[0]
    return [Scalar(0, len(text), text, 1)] if OPEN in text else []


def _dotenv(text: str) -> tuple[list[Scalar], bool]:
    # With whether every line up to the last marker is known to be in the subset.
    from kuv_secrets.render import dotenv

    lines = Lines(text)
    entries, plain = dotenv.marked(text)
    return [Scalar(e.start, e.end, e.value, lines.at(e.start)) for e in entries], plain


class _Lookup:
    """Each distinct id resolved once per render; the values live only as long as the render."""

    def __init__(
        self,
        records: type[Secrets],
        owner: str,
        prefix: str,
        left: Callable[[str], bool],
        doubled: bool,
    ) -> None:
        self.records, self.owner, self.prefix = records, owner, prefix
        self.left = left
        self.doubled = doubled  # a compose file's reader interpolates "$", so it is written "$$"
        self.values: dict[str, str] = {}
        # The command line's: files brought up to date, and every secret read written down.
        self.ctx: Context | None = None
        self.trail: Trail | None = None

    def __call__(self, secret_id: str) -> str:
        value = self.values.get(secret_id)
        if value is None:
            value = self._resolve(secret_id)
            if self.doubled:
                value = value.replace("$", "$$")
            self.values[secret_id] = value
        return value

    def _resolve(self, secret_id: str) -> str:
        if self.trail is None or self.ctx is None:
            return self.records.get_secret_from_id(secret_id, self.owner, self.prefix)
        from kuv_secrets.realm.memory import resolve

        with self.trail.noted(secret_id):
            return resolve(self.ctx, secret_id, self.owner, self.prefix)


def _compose(
    lookup: _Lookup,
    text: str,
    fmt: str,
    scalar: Scalar,
    label: str,
    ctx: Context | None,
) -> tuple[str, list[str], list[str]]:
    resolved: list[str] = []
    values: list[str] = []
    complete: Iterator[scan.Reference] = iter(())
    if lookup.left is not _never:
        complete = iter([m for m in scan.references(scalar.value) if m.secret_id is not None])

    def resolve(secret_id: str, owner: str, prefix: str) -> str:
        resolved.append(secret_id)
        marker = next(complete, None)
        if marker is not None and lookup.left(secret_id):
            values.append(scalar.value[marker.start : marker.end])  # its own spelling, unchanged
        else:
            values.append(lookup(secret_id))
        return values[-1]

    try:
        new = lookup.records.secret_composer(scalar.value, resolve, lookup.owner, lookup.prefix)
        return new, values, resolved
    except Exception as exc:  # noqa: BLE001 - said again with the reference and where it stands
        status, reason = describe(exc, ctx, resolved[-1] if resolved else None)
        if not resolved:
            raise CliError(f"{label}:{scalar.line}: {reason}", status) from None
        line = _line_of(text, scalar, len(resolved) - 1)
        shown = f"{OPEN} {resolved[-1]} {CLOSE}"
        hint = ""
        if status == EXIT_REFERENCE and platform(resolved[-1]):
            hint = _platform_hint(text, fmt, label, lookup.left)
        raise CliError(f"{label}:{line}: {shown}: {reason}{hint}", status) from None


def _platform_hint(text: str, fmt: str, label: str, left: Callable[[str], bool]) -> str:
    """Every reference of the file that reads as the CI platform's own, and how to keep them."""
    found = [
        m
        for m in find(text, fmt, label)
        if m.secret_id is not None
        and not m.left
        and platform(m.secret_id)
        and not left(m.secret_id)
    ]
    contexts = dict.fromkeys(str(platform(m.secret_id or "")) for m in found)
    listed = ", ".join(f"{label}:{m.line}: {m.shown}" for m in found)
    options = " ".join(f"--leave '{context}.*'" for context in contexts)
    return (
        f"; these look like the CI platform's own expressions, not secrets ({listed}); "
        f"{options} leaves them as they are"
    )
