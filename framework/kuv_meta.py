"""Record base class ``VirtualWorker`` with SQLite persistence.

Records live in one SQLite database whose path is read from the environment variable
``KUV_DATABASE`` at every operation; when it is unset the file is ``kuv.sqlite3`` in the
current directory. Only a write creates the database (mode 0600, so its journal and WAL are
private too); a read of a database that does not exist raises ``StoreNotFoundError``.

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

import contextlib
import json
import os
import sqlite3
import threading
import uuid
from collections.abc import Iterator, Mapping
from types import MappingProxyType
from typing import TYPE_CHECKING, Any

from kuv_fields import Field, StringField

if TYPE_CHECKING:
    from typing_extensions import Self

__all__ = [
    "DATABASE_ENV",
    "DEFAULT_DATABASE",
    "RecordExistsError",
    "StoreNotFoundError",
    "VirtualWorker",
    "WorkerMeta",
    "transaction",
]

DATABASE_ENV = "KUV_DATABASE"
DEFAULT_DATABASE = "kuv.sqlite3"

# Long enough for a few busy processes to take turns instead of failing as "locked".
_BUSY_TIMEOUT = 30.0

_SCHEMA = (
    "CREATE TABLE IF NOT EXISTS records ("
    "kind TEXT NOT NULL, id TEXT NOT NULL, data TEXT NOT NULL, PRIMARY KEY (kind, id))"
)


class StoreNotFoundError(FileNotFoundError):
    """A read found no database where ``KUV_DATABASE`` points (reads never create one)."""


class RecordExistsError(ValueError):
    """``save(create=True)`` found a record under the id already."""


def _database() -> str:
    return os.environ.get(DATABASE_ENV, DEFAULT_DATABASE)


def _create_private(path: str) -> None:
    # SQLite gives its journal and WAL the database file's mode, so 0600 here covers them.
    try:
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
    except FileExistsError:
        return
    os.close(fd)


def _connect(write: bool) -> sqlite3.Connection:
    path = _database()
    if path != ":memory:" and not os.path.exists(path):
        if not write:
            raise StoreNotFoundError(
                f"no secret store at {path} (the path comes from {DATABASE_ENV})"
            )
        _create_private(path)
    # Autocommit mode: transactions are begun explicitly so that writers take the write
    # lock up front (a deferred one could be refused without waiting).
    conn = sqlite3.connect(path, timeout=_BUSY_TIMEOUT, isolation_level=None)
    try:
        conn.execute(_SCHEMA)
    except BaseException:
        conn.close()
        raise
    return conn


_current = threading.local()


@contextlib.contextmanager
def _session(write: bool) -> Iterator[sqlite3.Connection]:
    """The thread's open transaction, or a new one around a single operation."""
    conn: sqlite3.Connection | None = getattr(_current, "conn", None)
    if conn is not None:
        yield conn
        return
    with contextlib.closing(_connect(write)) as conn:
        if not write:
            yield conn
            return
        conn.execute("BEGIN IMMEDIATE")
        with conn:
            yield conn


@contextlib.contextmanager
def transaction() -> Iterator[None]:
    """Make every load, save and delete of this thread inside the block one transaction.

    The write lock is taken at the start, so what the block reads stays true until it commits.
    A nested block joins the outer one.
    """
    if getattr(_current, "conn", None) is not None:
        yield
        return
    with _session(write=True) as conn:
        _current.conn = conn
        try:
            yield
        finally:
            _current.conn = None


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
        for key, field in cls.__fields__.items():
            if key in values:
                field.__set__(record, values[key])
        return record

    @classmethod
    def load(cls, record_id: str) -> Self | None:
        """Return the record stored under ``record_id``, or None when there is none."""
        _check_id(record_id)
        kind = cls._record_kind()
        with _session(write=False) as conn:
            row = conn.execute(
                "SELECT data FROM records WHERE kind = ? AND id = ?", (kind, record_id)
            ).fetchone()
        return None if row is None else cls._restore(record_id, row[0])

    @classmethod
    def load_all(cls) -> list[Self]:
        """Every record of this kind, ordered by id."""
        kind = cls._record_kind()
        with _session(write=False) as conn:
            rows = conn.execute(
                "SELECT id, data FROM records WHERE kind = ? ORDER BY id", (kind,)
            ).fetchall()
        return [cls._restore(record_id, data) for record_id, data in rows]

    def save(self, *, create: bool = False) -> None:
        """Store the record with its current field values, replacing any earlier version.

        With ``create=True`` an existing record under the same id is left alone and
        ``RecordExistsError`` is raised; the test and the insert are one step.
        """
        cls = type(self)
        # Encoded before the transaction: a value JSON refuses leaves the stored record intact.
        data = json.dumps({key: getattr(self, key) for key in cls.__fields__})
        sql = (
            "INSERT INTO records (kind, id, data) VALUES (?, ?, ?) ON CONFLICT (kind, id) DO NOTHING"
            if create
            else "INSERT OR REPLACE INTO records (kind, id, data) VALUES (?, ?, ?)"
        )
        with _session(write=True) as conn:
            cursor = conn.execute(sql, (cls._record_kind(), self.id, data))
            if cursor.rowcount == 0:
                raise RecordExistsError(f"a record exists under the id {self.id}")

    def delete(self) -> bool:
        """Remove the stored record; False when there was none."""
        with _session(write=True) as conn:
            cursor = conn.execute(
                "DELETE FROM records WHERE kind = ? AND id = ?",
                (type(self)._record_kind(), self.id),
            )
        return cursor.rowcount > 0
