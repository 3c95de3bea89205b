"""Recording in-memory stand-in for the record base class.

The metaclass hands out a namespace that is not a dict and logs every key stored in it;
fields become plain class attributes holding their defaults. Records are kept in ``STORE``
by id alone, so every class sees them. Tests read the logs below and may call ``reset()``
between cases.
"""

from __future__ import annotations

import uuid
from collections.abc import Iterator, MutableMapping
from typing import Any

import kuv_fields
from kuv_fields import Field, StringField

NAMESPACE_LOG: list[str] = []
INIT_CALLS: list[tuple[str, list[tuple[str, Any]]]] = []
LOAD_CALLS: list[tuple[str, Any]] = []
SAVE_CALLS: list[tuple[str, str, dict[str, Any]]] = []
STORE: dict[str, dict[str, Any]] = {}


def reset() -> None:
    kuv_fields.CALLS.clear()
    for log in (NAMESPACE_LOG, INIT_CALLS, LOAD_CALLS, SAVE_CALLS):
        log.clear()
    STORE.clear()


class RecordingNamespace(MutableMapping[str, Any]):
    def __init__(self) -> None:
        self._data: dict[str, Any] = {}

    def __getitem__(self, key: str) -> Any:
        return self._data[key]

    def __setitem__(self, key: str, value: Any) -> None:
        NAMESPACE_LOG.append(key)
        self._data[key] = value

    def __delitem__(self, key: str) -> None:
        del self._data[key]

    def __iter__(self) -> Iterator[str]:
        return iter(self._data)

    def __len__(self) -> int:
        return len(self._data)


class FakeMeta(type):
    __fields__: dict[str, Field]

    @classmethod
    def __prepare__(
        mcls, name: str, bases: tuple[type, ...], /, **kwargs: Any
    ) -> MutableMapping[str, object]:
        return RecordingNamespace()

    def __new__(
        mcls, name: str, bases: tuple[type, ...], namespace: Any, **kwargs: Any
    ) -> FakeMeta:
        attrs = dict(namespace)
        fields = {k: v for k, v in attrs.items() if isinstance(v, Field)}
        attrs.update({k: f.default for k, f in fields.items()})
        cls = super().__new__(mcls, name, bases, attrs, **kwargs)
        inherited = getattr(cls, "__fields__", {})
        cls.__fields__ = {**inherited, **fields}
        return cls


class VirtualWorker(metaclass=FakeMeta):
    owner_name = StringField()
    name = StringField()

    def __init__(self, **fields: Any) -> None:
        INIT_CALLS.append((type(self).__name__, list(fields.items())))
        self.id = str(fields.pop("id", None) or uuid.uuid4())
        for key in fields:
            if key not in type(self).__fields__:
                raise TypeError(f"{type(self).__name__}() got an unexpected field {key!r}")
        for key, value in fields.items():
            setattr(self, key, value)

    @classmethod
    def load(cls, record_id: Any) -> Any:
        LOAD_CALLS.append((cls.__name__, record_id))
        values = STORE.get(record_id)
        if values is None:
            return None
        record = cls.__new__(cls)
        record.id = record_id
        record.__dict__.update(values)
        return record

    def save(self) -> None:
        values = {key: getattr(self, key) for key in type(self).__fields__}
        SAVE_CALLS.append((type(self).__name__, self.id, values))
        STORE[self.id] = dict(values)
