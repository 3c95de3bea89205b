"""A string found in a configuration file: where its source text stands and what it means."""

from __future__ import annotations

import re
import sys
from collections.abc import Callable

from kuv_secrets.render.scan import CLOSE, OPEN

__all__ = ["CLOSE", "OPEN", "SURROGATE", "LazyPattern", "Lines", "Scalar", "Substitute"]


class LazyPattern:
    """A regular expression compiled when first used: a command imports many patterns and uses
    few, and compiling them all would cost more than most commands spend matching."""

    __slots__ = ("_source", "_flags", "_compiled")

    def __init__(self, source: str, flags: int = 0) -> None:
        self._source, self._flags = source, flags
        self._compiled: re.Pattern[str] | None = None

    @property
    def compiled(self) -> re.Pattern[str]:
        if self._compiled is None:
            self._compiled = re.compile(self._source, self._flags)
        return self._compiled

    def match(self, text: str, pos: int = 0, endpos: int = sys.maxsize) -> re.Match[str] | None:
        return self.compiled.match(text, pos, endpos)

    def fullmatch(
        self, text: str, pos: int = 0, endpos: int = sys.maxsize
    ) -> re.Match[str] | None:
        return self.compiled.fullmatch(text, pos, endpos)

    def search(self, text: str, pos: int = 0, endpos: int = sys.maxsize) -> re.Match[str] | None:
        return self.compiled.search(text, pos, endpos)

    def sub(self, repl: str | Callable[[re.Match[str]], str], text: str, count: int = 0) -> str:
        return self.compiled.sub(repl, text, count)


# What UTF-8 can't hold: undecodable bytes from the command line or a file name become these.
SURROGATE = LazyPattern("[\ud800-\udfff]")
# Substitutes the references of some source text with the values already resolved for a scalar,
# each passed through the given function first.
Substitute = Callable[[str, Callable[[str], str]], str]


class Scalar:
    # A plain class: a dataclass costs the import of dataclasses at every render.
    __slots__ = ("start", "end", "value", "line", "in_key", "style", "flow", "ordinal", "tag")

    def __init__(
        self,
        start: int,
        end: int,
        value: str,
        line: int,
        in_key: bool = False,
        style: str = '"',
        flow: bool = False,
        ordinal: int = 0,  # its place among all scalars of the stream, to compare a re-read
        tag: str = "",  # a tag that makes it no string: its text stays as it is
    ) -> None:
        self.start = start
        self.end = end
        self.value = value
        self.line = line
        self.in_key = in_key
        self.style = style
        self.flow = flow
        self.ordinal = ordinal
        self.tag = tag


class Lines:
    """Line numbers of increasing offsets, counted once through the text."""

    def __init__(self, text: str) -> None:
        self.text, self.offset, self.line = text, 0, 1

    def at(self, offset: int) -> int:
        self.line += self.text.count("\n", self.offset, offset)
        self.offset = offset
        return self.line
