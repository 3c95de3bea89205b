"""The references of a string, paired as the module's composer pairs them, in one pass."""

from __future__ import annotations

OPEN, CLOSE = "${{", "}}"


class Reference:
    """An opening marker: where it stands, to where it reaches, and the id it opens."""

    __slots__ = ("end", "secret_id", "start")

    def __init__(self, start: int, end: int, secret_id: str | None) -> None:
        self.start = start  # where its opening marker stands
        self.end = end  # past its closing marker; without one, where the next opening starts
        self.secret_id = secret_id  # None for an opening that no closing marker completes


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
