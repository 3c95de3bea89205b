"""Field declarations for records built on ``kuv_meta.VirtualWorker``.

A field is declared by assigning an instance in a record class body::

    class Note(VirtualWorker):
        text = StringField()
        pinned = BooleanField(default=False)

Each field is a data descriptor: reading it on a record gives the value set through the
constructor or by assignment, else the declared ``default`` (None when none was declared).
Values are not checked on assignment; ``save`` stores them as JSON, so anything that JSON
cannot encode is refused there.
"""

from __future__ import annotations

TYPE_CHECKING = False  # typing itself costs a host's start-up more than this module does
if TYPE_CHECKING:
    from typing import Any, overload

__all__ = ["BooleanField", "Field", "StringField"]


class Field:
    """Base of all field declarations; ``default`` is keyword-only."""

    __slots__ = ("default", "name")

    def __init__(self, *, default: Any = None) -> None:
        self.default = default
        self.name = ""

    def __set_name__(self, owner: type, name: str) -> None:
        self.name = name

    if TYPE_CHECKING:

        @overload
        def __get__(self, instance: None, owner: type | None = None) -> Field: ...

        @overload
        def __get__(self, instance: object, owner: type | None = None) -> Any: ...

    def __get__(self, instance: object | None, owner: type | None = None) -> Any:
        if instance is None:
            return self
        return instance.__dict__.get(self.name, self.default)

    def __set__(self, instance: object, value: Any) -> None:
        instance.__dict__[self.name] = value

    def __delete__(self, instance: object) -> None:
        # Deleting brings the default back rather than leaving a hole in the record.
        instance.__dict__.pop(self.name, None)

    def __repr__(self) -> str:
        return f"{type(self).__name__}(default={self.default!r})"


class StringField(Field):
    """A text field."""

    __slots__ = ()


class BooleanField(Field):
    """A flag field."""

    __slots__ = ()
