"""The references of a string, paired as the module's composer pairs them, in one pass."""

from __future__ import annotations

from typing import NamedTuple

OPEN, CLOSE = "${{", "}}"


class Reference(NamedTuple):
    start: int  # where its opening marker stands
    end: int  # just past its closing marker; for an opening without one, the next opening's start
    secret_id: str | None  # None for an opening that no closing marker completes


def references(text: str) -> list[Reference]:
    """Every opening marker of ``text`` in order: an opening pairs with the first closing marker
    after it unless another opening comes first; the id is the text between, stripped."""
    found: list[Reference] = []
    at = text.find(OPEN)
    while at != -1:
        body = at + len(OPEN)
        following = text.find(OPEN, body)
        limit = len(text) if following == -1 else following
        close = text.find(CLOSE, body, limit)
        if close == -1:
            found.append(Reference(at, limit, None))
        else:
            found.append(Reference(at, close + len(CLOSE), text[body:close].strip()))
        at = following
    return found
