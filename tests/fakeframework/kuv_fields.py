"""Recording in-memory stand-in for the field declarations; tests read ``CALLS``."""

from __future__ import annotations

from typing import Any

# (constructor name, positional args, keyword args), one entry per call, in call order.
CALLS: list[tuple[str, tuple[Any, ...], dict[str, Any]]] = []


class Field:
    def __init__(self, *args: Any, **kwargs: Any) -> None:
        # Recorded before checking, so a test can see a forbidden positional argument.
        CALLS.append((type(self).__name__, args, dict(kwargs)))
        if args:
            raise TypeError(f"{type(self).__name__}() takes keyword arguments only")
        self.default: Any = kwargs.pop("default", None)
        if kwargs:
            raise TypeError(f"{type(self).__name__}() got unexpected {sorted(kwargs)}")


class StringField(Field):
    pass


class BooleanField(Field):
    pass
