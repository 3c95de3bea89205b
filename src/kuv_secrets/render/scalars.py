"""A string found in a configuration file: where its source text stands and what it means."""

from __future__ import annotations

import re
from collections.abc import Callable
from dataclasses import dataclass

from kuv_secrets.render.scan import CLOSE, OPEN

__all__ = ["CLOSE", "OPEN", "SURROGATE", "Lines", "Scalar", "Substitute"]
# What UTF-8 can't hold: undecodable bytes from the command line or a file name become these.
SURROGATE = re.compile("[\ud800-\udfff]")
# Substitutes the references of some source text with the values already resolved for a scalar,
# each passed through the given function first.
Substitute = Callable[[str, Callable[[str], str]], str]


@dataclass(frozen=True)
class Scalar:
    start: int
    end: int
    value: str
    line: int
    in_key: bool = False
    style: str = '"'
    flow: bool = False
    ordinal: int = 0  # its place among all scalars of the stream, to compare a re-read
    tag: str = ""  # a tag that makes it no string: its text stays as it is


class Lines:
    """Line numbers of increasing offsets, counted once through the text."""

    def __init__(self, text: str) -> None:
        self.text, self.offset, self.line = text, 0, 1

    def at(self, offset: int) -> int:
        self.line += self.text.count("\n", self.offset, offset)
        self.offset = offset
        return self.line
