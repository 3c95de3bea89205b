"""A string found in a configuration file: where its source text stands and what it means."""

from __future__ import annotations

import re
from collections.abc import Callable

from kuv_secrets.render.scan import CLOSE, OPEN

__all__ = ["CLOSE", "OPEN", "SURROGATE", "LazyPattern", "Lines", "Scalar", "Substitute"]


class LazyPattern:
    """A regular expression compiled when first used: a command imports many patterns and uses
    few, and compiling them all would cost more than most commands spend matching. Once compiled,
    its methods are the pattern's own, so a match costs what it would with re.compile."""

    __slots__ = ("_compiled", "_flags", "_source", "fullmatch", "match", "search", "sub")

    match: Callable[..., re.Match[str] | None]
    fullmatch: Callable[..., re.Match[str] | None]
    search: Callable[..., re.Match[str] | None]
    sub: Callable[..., str]

    def __init__(self, source: str, flags: int = 0) -> None:
        self._source, self._flags = source, flags
        self._compiled: re.Pattern[str] | None = None
        self.match = lambda *args: self.compiled.match(*args)
        self.fullmatch = lambda *args: self.compiled.fullmatch(*args)
        self.search = lambda *args: self.compiled.search(*args)
        self.sub = lambda *args: self.compiled.sub(*args)

    @property
    def compiled(self) -> re.Pattern[str]:
        if self._compiled is None:
            pattern = self._compiled = re.compile(self._source, self._flags)
            self.match, self.fullmatch = pattern.match, pattern.fullmatch
            self.search, self.sub = pattern.search, pattern.sub
        return self._compiled


# What UTF-8 can't hold: undecodable bytes from the command line or a file name become these.
SURROGATE = LazyPattern("[\ud800-\udfff]")
# Substitutes the references of some source text with the values already resolved for a scalar,
# each passed through the given function first.
Substitute = Callable[[str, Callable[[str], str]], str]


class Scalar:
    # A plain class: a dataclass costs the import of dataclasses at every render.
    __slots__ = ("end", "flow", "in_key", "line", "start", "style", "tag", "value")

    def __init__(
        self,
        start: int,
        end: int,
        value: str,
        line: int,
        in_key: bool = False,
        style: str = '"',
        flow: bool = False,
        tag: str = "",  # a tag that makes it no string: its text stays as it is
    ) -> None:
        self.start = start
        self.end = end
        self.value = value
        self.line = line
        self.in_key = in_key
        self.style = style
        self.flow = flow
        self.tag = tag


class Lines:
    """Line numbers of increasing offsets, counted once through the text."""

    def __init__(self, text: str) -> None:
        self.text, self.offset, self.line = text, 0, 1

    def at(self, offset: int) -> int:
        self.line += self.text.count("\n", self.offset, offset)
        self.offset = offset
        return self.line
