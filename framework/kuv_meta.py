"""Record base class ``VirtualWorker`` with SQLite persistence.

Records live in one SQLite database whose path is read from the environment variable
``KUV_DATABASE`` each time a connection is opened; when it is unset the file is
``kuv.sqlite3`` in the current directory. Every ``load`` and ``save`` opens its own
connection, so records can be used from several threads and processes at once.

All records share the table ``records``, keyed by (kind, id). The kind is the class
attribute ``__record_kind__`` when the class itself sets one, else the class ``__name__``;
a subclass that should see its base's records sets ``__record_kind__`` to the base's kind.
The field values are stored as one JSON object, so str, bool, int and None come back with
their types.
"""

from __future__ import annotations

import json
import os
import sqlite3
import uuid
from collections.abc import Mapping
from contextlib import closing
from types import MappingProxyType
from typing import TYPE_CHECKING, Any

from kuv_fields import Field, StringField

if TYPE_CHECKING:
    from typing_extensions import Self

__all__ = ["DATABASE_ENV", "DEFAULT_DATABASE", "VirtualWorker", "WorkerMeta"]

DATABASE_ENV = "KUV_DATABASE"
DEFAULT_DATABASE = "kuv.sqlite3"

# Long enough for a few busy processes to take turns instead of failing as "locked".
_BUSY_TIMEOUT = 30.0

_SCHEMA = (
    "CREATE TABLE IF NOT EXISTS records ("
    "kind TEXT NOT NULL, id TEXT NOT NULL, data TEXT NOT NULL, PRIMARY KEY (kind, id))"
)


def _connect() -> sqlite3.Connection:
    path = os.environ.get(DATABASE_ENV, DEFAULT_DATABASE)
    # Autocommit mode: transactions are begun explicitly so that writers take the write
    # lock up front (a deferred one could be refused without waiting).
    conn = sqlite3.connect(path, timeout=_BUSY_TIMEOUT, isolation_level=None)
    try:
        conn.execute(_SCHEMA)
    except BaseException:
        conn.close()
        raise
    return conn


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


class VirtualWorker(metaclass=WorkerMeta):
    """Base of all records: identity, the owner and name fields, ``load`` and ``save``."""

    owner_name = StringField()
    name = StringField()

    id: str

    def __init__(self, **fields: Any) -> None:
        record_id = fields.pop("id", None)
        if record_id is None:
            record_id = str(uuid.uuid4())
        elif not isinstance(record_id, str):
            raise TypeError(f"record id must be str, not {type(record_id).__name__}")
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
    def load(cls, record_id: str) -> Self | None:
        """Return the record stored under ``record_id``, or None when there is none."""
        if not isinstance(record_id, str):
            raise TypeError(f"record id must be str, not {type(record_id).__name__}")
        kind = cls._record_kind()
        with closing(_connect()) as conn:
            row = conn.execute(
                "SELECT data FROM records WHERE kind = ? AND id = ?", (kind, record_id)
            ).fetchone()
        if row is None:
            return None
        values = json.loads(row[0])
        # Restored without running __init__: a subclass initialiser may expect other input.
        record = cls.__new__(cls)
        record.id = record_id
        for key, field in cls.__fields__.items():
            if key in values:
                field.__set__(record, values[key])
        return record

    def save(self) -> None:
        """Store the record with its current field values, replacing any earlier version."""
        cls = type(self)
        # Encoded before the transaction: a value JSON refuses leaves the stored record intact.
        data = json.dumps({key: getattr(self, key) for key in cls.__fields__})
        with closing(_connect()) as conn:
            conn.execute("BEGIN IMMEDIATE")
            with conn:
                conn.execute(
                    "INSERT OR REPLACE INTO records (kind, id, data) VALUES (?, ?, ?)",
                    (cls._record_kind(), self.id, data),
                )
