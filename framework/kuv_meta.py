"""Record base class ``VirtualWorker``, persisted in SQLite or PostgreSQL.

Records live in the database named by the environment variable ``KUV_DATABASE``, read at every
operation (see ``kuv_store``): the path of a SQLite file, ``kuv.sqlite3`` in the current
directory when unset, or a ``postgresql://`` URL. Only a write creates a SQLite file (mode 0600,
so its journal and WAL are private too); a read of a store that does not exist raises
``StoreNotFoundError``. Within ``using(target, create=False)`` no operation makes a store: only
``create()`` does.

All records share the table ``records``, keyed by (kind, id). The kind is the class
attribute ``__record_kind__`` when the class itself sets one, else the class ``__name__``;
a subclass that should see its base's records sets ``__record_kind__`` to the base's kind.
The field values are stored as one JSON object, so str, bool, int and None come back with
their types.

Every operation is its own transaction, unless it runs inside ``with transaction():``, which
makes all operations of the thread inside it one transaction, committed at the end or rolled
back on an exception.
"""

from __future__ import annotations

import json
import uuid
from types import MappingProxyType

from kuv_fields import Field, StringField
from kuv_store import (
    DATABASE_ENV,
    DEFAULT_DATABASE,
    RecordExistsError,
    RecordGoneError,
    StoreBusyError,
    StoreNotFoundError,
    StoreUnavailableError,
    create,
    exists,
    run,
    transaction,
    using,
)

TYPE_CHECKING = False  # typing itself costs a host's start-up more than this module does
if TYPE_CHECKING:
    from collections.abc import Mapping
    from typing import Any

    from typing_extensions import Self

__all__ = [
    "DATABASE_ENV",
    "DEFAULT_DATABASE",
    "RecordExistsError",
    "RecordGoneError",
    "StoreBusyError",
    "StoreNotFoundError",
    "StoreUnavailableError",
    "VirtualWorker",
    "WorkerMeta",
    "create",
    "exists",
    "transaction",
    "using",
]


class WorkerMeta(type):
    """Collects the field declarations of a record class and its bases into ``__fields__``."""

    __fields__: Mapping[str, Field]

    def __new__(
        mcls, name: str, bases: tuple[type, ...], namespace: Mapping[str, Any], **kwargs: Any
    ) -> WorkerMeta:
        # The namespace may be any mapping handed over by the caller; type() needs a dict.
        cls = super().__new__(mcls, name, bases, dict(namespace), **kwargs)
        fields: dict[str, Field] = {}
        for klass in reversed(cls.__mro__):
            for key, value in vars(klass).items():
                if isinstance(value, Field):
                    fields[key] = value
                elif key in fields:
                    # A plain attribute in a subclass hides the inherited field.
                    del fields[key]
        cls.__fields__ = MappingProxyType(fields)
        return cls


def _check_id(record_id: object) -> str:
    if not isinstance(record_id, str):
        raise TypeError(f"record id must be str, not {type(record_id).__name__}")
    return record_id


class VirtualWorker(metaclass=WorkerMeta):
    """Base of all records: identity, the owner and name fields, load, save and delete."""

    owner_name = StringField()
    name = StringField()

    id: str
    # The id it was loaded under: saving it there again must not bring back a record deleted
    # since. A rolled-back save, its own delete() or a new id leave nothing to protect.
    _loaded_id: str | None = None

    def __init__(self, **fields: Any) -> None:
        record_id = fields.pop("id", None)
        record_id = str(uuid.uuid4()) if record_id is None else _check_id(record_id)
        known = type(self).__fields__
        for key in fields:
            if key not in known:
                raise TypeError(f"{type(self).__name__}() got an unexpected field {key!r}")
        self.id = record_id
        for key, value in fields.items():
            setattr(self, key, value)

    @classmethod
    def _record_kind(cls) -> str:
        kind = vars(cls).get("__record_kind__", cls.__name__)
        return str(kind)

    @classmethod
    def _restore(cls, record_id: str, data: str) -> Self:
        values = json.loads(data)
        # Restored without running __init__: a subclass initialiser may expect other input.
        record = cls.__new__(cls)
        record.id = record_id
        record._loaded_id = record_id
        for key, field in cls.__fields__.items():
            if key in values:
                field.__set__(record, values[key])
        return record

    @classmethod
    def load(cls, record_id: str) -> Self | None:
        """Return the record stored under ``record_id``, or None when there is none."""
        _check_id(record_id)
        kind = cls._record_kind()
        data = run(False, lambda store: store.fetch(kind, record_id))
        return None if data is None else cls._restore(record_id, data)

    @classmethod
    def load_all(cls) -> list[Self]:
        """Every record of this kind, ordered by id."""
        kind = cls._record_kind()
        rows = run(False, lambda store: store.fetch_all(kind))
        return [cls._restore(record_id, data) for record_id, data in rows]

    def save(self, *, create: bool = False) -> None:
        """Store the record with its current field values, replacing any earlier version.

        With ``create=True`` an existing record under the same id is left alone and
        ``RecordExistsError`` is raised; the test and the insert are one step. A loaded record
        is only updated: when it has been deleted since (by anyone but itself),
        ``RecordGoneError`` is raised and nothing is stored.
        """
        cls = type(self)
        # Encoded before the transaction: a value JSON refuses leaves the stored record intact.
        data = json.dumps({key: getattr(self, key) for key in cls.__fields__})
        kind, record_id = cls._record_kind(), self.id
        if self._loaded_id == record_id and not create:
            if not run(True, lambda store: store.update(kind, record_id, data)):
                raise RecordGoneError(f"no record under the id {record_id}; it was deleted")
        elif not run(True, lambda store: store.put(kind, record_id, data, create=create)):
            raise RecordExistsError(f"a record exists under the id {record_id}")

    def delete(self) -> bool:
        """Remove the stored record; False when there was none."""
        kind, record_id = type(self)._record_kind(), self.id
        removed = run(True, lambda store: store.remove(kind, record_id))
        self._loaded_id = None
        return removed
