"""Where records live: the database named by ``KUV_DATABASE``, and the connections to it.

``KUV_DATABASE`` is read at every operation. A ``postgresql://`` or ``postgres://`` URL selects
PostgreSQL (through psycopg 3); any other ``scheme://`` is refused; anything else is the path of
a SQLite file, ``kuv.sqlite3`` in the current directory when the variable is unset.

Each thread of each process keeps one open connection per database and reuses it. A process
never touches a connection it inherited through ``fork``: the child opens its own. A SQLite
connection is replaced when the file at the path was removed or replaced; a PostgreSQL
connection that broke (a server restart) is replaced once before an operation fails. A thread's
connections are closed when the thread ends.
"""

from __future__ import annotations

import atexit
import contextlib
import contextvars
import functools
import os
import re
import stat
import warnings
from _thread import _local as _ThreadLocal  # threading.local, without importing threading
from collections import OrderedDict, namedtuple

# A host imports this as it starts (the secrets module on its import): typing, threading, sqlite3
# (unused with PostgreSQL) and the patterns of URLs wait for the first use that needs them.
TYPE_CHECKING = False
if TYPE_CHECKING:
    import sqlite3
    from collections.abc import Callable, Iterator
    from typing import Any, TypeVar

    T = TypeVar("T")

__all__ = [
    "DATABASE_ENV",
    "DEFAULT_DATABASE",
    "Handle",
    "RecordExistsError",
    "RecordGoneError",
    "StoreNotFoundError",
    "StoreUnavailableError",
    "redact",
    "run",
    "transaction",
    "using",
]

DATABASE_ENV = "KUV_DATABASE"
DEFAULT_DATABASE = "kuv.sqlite3"

# Long enough for a few busy processes to take turns instead of failing as "locked".
_BUSY_TIMEOUT = 30.0
# A thread that works on several databases keeps this many connections open, the latest used.
_KEEP = 4
# Any constant shared by every process that creates the schema.
_SCHEMA_LOCK = 0x6B75765F73746F72

_SCHEMA = (
    "CREATE TABLE IF NOT EXISTS records ("
    "kind TEXT NOT NULL, id TEXT NOT NULL, data TEXT NOT NULL, PRIMARY KEY (kind, id))"
)


class StoreNotFoundError(FileNotFoundError):
    """No database where ``KUV_DATABASE`` points (reads never create a SQLite file)."""


class StoreUnavailableError(ConnectionError):
    """The store named by ``KUV_DATABASE`` can't be used: a server out of reach, a bad file."""


class RecordExistsError(ValueError):
    """``save(create=True)`` found a record under the id already."""


class RecordGoneError(LookupError):
    """``save`` of a loaded record found it deleted since."""


# Patterns as text, compiled (and cached) by re when first used.
_SCHEME = r"\s*[A-Za-z][A-Za-z0-9+.-]*://"
_USERINFO = rf"(?s)^({_SCHEME}[^:/?#@]*):.*@"
# A value runs to the next "&name=": a password's unquoted "&" or "#" stays redacted.
_PARAMETER = r"([?&])([^=&]*)=(?:[^&]|&(?![^=&]*=))*"


def _drop_password(match: re.Match[str]) -> str:
    # libpq decodes parameter names, so "pass%77ord" is a password too.
    from urllib.parse import unquote

    named = "password" in unquote(match.group(2)).lower()
    return match.group(1) if named else match.group(0)


def redact(url: str) -> str:
    """The URL without its password, fit for a message."""
    # Up to the last "@": a password may hold an unquoted "@", "/", "?" or "#".
    url = re.sub(_USERINFO, r"\1@", url)
    url = re.sub(_PARAMETER, _drop_password, url)
    return re.sub(r"\?&+", "?", re.sub(r"&&+", "&", url)).rstrip("?&")


_Statements = namedtuple("_Statements", "fetch fetch_all replace create update remove")


_SQLITE_SQL = _Statements(
    fetch="SELECT data FROM records WHERE kind = ? AND id = ?",
    fetch_all="SELECT id, data FROM records WHERE kind = ? ORDER BY id",
    replace="INSERT OR REPLACE INTO records (kind, id, data) VALUES (?, ?, ?)",
    create="INSERT INTO records (kind, id, data) VALUES (?, ?, ?) ON CONFLICT (kind, id) DO NOTHING",
    update="UPDATE records SET data = ? WHERE kind = ? AND id = ?",
    remove="DELETE FROM records WHERE kind = ? AND id = ?",
)
_POSTGRES_SQL = _Statements(
    *(
        sql.replace("?", "%s")
        for sql in _SQLITE_SQL._replace(
            replace="INSERT INTO records (kind, id, data) VALUES (?, ?, ?) "
            "ON CONFLICT (kind, id) DO UPDATE SET data = EXCLUDED.data"
        )
    )
)


class Handle:
    """One connection lent to the operations of one transaction."""

    __slots__ = ("_conn", "_sql")

    def __init__(self, conn: Any, sql: _Statements) -> None:
        self._conn = conn
        self._sql = sql

    def fetch(self, kind: str, record_id: str) -> str | None:
        # fetchall: a SQLite statement left unfinished would hold its read lock.
        rows = self._conn.execute(self._sql.fetch, (kind, record_id)).fetchall()
        return None if not rows else str(rows[0][0])

    def fetch_all(self, kind: str) -> list[tuple[str, str]]:
        rows = self._conn.execute(self._sql.fetch_all, (kind,)).fetchall()
        return [(str(record_id), str(data)) for record_id, data in rows]

    def put(self, kind: str, record_id: str, data: str, *, create: bool) -> bool:
        """False when ``create`` found the id taken."""
        sql = self._sql.create if create else self._sql.replace
        return int(self._conn.execute(sql, (kind, record_id, data)).rowcount) > 0

    def update(self, kind: str, record_id: str, data: str) -> bool:
        """False when there is no record to update."""
        return int(self._conn.execute(self._sql.update, (data, kind, record_id)).rowcount) > 0

    def remove(self, kind: str, record_id: str) -> bool:
        return int(self._conn.execute(self._sql.remove, (kind, record_id)).rowcount) > 0


class _Slot:
    """An open connection and the file identity it was opened on (SQLite)."""

    __slots__ = ("conn", "identity")

    def __init__(self, conn: Any, identity: object) -> None:
        self.conn = conn
        self.identity = identity


# Connections inherited through fork: closing one would end the parent's session (PostgreSQL)
# or disturb its locks (SQLite), and dropping one closes it, so they are kept, unused.
_inherited: list[Any] = []


def _close(conn: Any) -> None:
    with contextlib.suppress(Exception):
        conn.close()


class _Connections:
    """One thread's open connections, by database; closed with the thread."""

    def __init__(self) -> None:
        self.pid = os.getpid()
        self.slots: OrderedDict[str, _Slot] = OrderedDict()
        self.tx: Handle | None = None

    def get(self, key: str) -> _Slot | None:
        slot = self.slots.get(key)
        if slot is not None:
            self.slots.move_to_end(key)
        return slot

    def put(self, key: str, slot: _Slot) -> _Slot:
        self.drop(key)
        self.slots[key] = slot
        while len(self.slots) > _KEEP:
            _close(self.slots.popitem(last=False)[1].conn)
        return slot

    def drop(self, key: str) -> None:
        slot = self.slots.pop(key, None)
        if slot is not None:
            _close(slot.conn)

    def release(self, getpid: Callable[[], int] = os.getpid) -> None:
        slots, self.slots = self.slots, OrderedDict()
        if self.pid == getpid():
            for slot in slots.values():
                _close(slot.conn)
        else:
            _inherited.extend(slot.conn for slot in slots.values())

    def __del__(self) -> None:
        self.release()


_local = _ThreadLocal()


def _connections() -> _Connections:
    held: _Connections | None = getattr(_local, "connections", None)
    if held is None or held.pid != os.getpid():
        if held is not None:
            held.release()
        held = _local.connections = _Connections()
    return held


@atexit.register
def _close_at_exit() -> None:
    # The main thread's connections would otherwise be left to interpreter teardown.
    held: _Connections | None = getattr(_local, "connections", None)
    if held is not None:
        held.release()
    if _inherited:
        # Teardown drops them unclosed, on purpose: no warning about that.
        for message in ("unclosed database", ".* was deleted while still open"):
            warnings.filterwarnings("ignore", message, ResourceWarning)


class _SQLite:
    sql = _SQLITE_SQL
    begin: tuple[str, ...] = ("BEGIN IMMEDIATE",)
    # A single write takes the write lock up front, too.
    single_write_transaction = True

    def __init__(self, path: str) -> None:
        self.key = self.path = path

    def _identity(self, write: bool) -> tuple[int, int] | None:
        if self.path == ":memory:":
            return None
        try:
            st = os.stat(self.path)
        except FileNotFoundError:
            if not write:
                raise StoreNotFoundError(f"no secret store at {self.where}") from None
            _create_private(self.path)
            st = os.stat(self.path)
        if not stat.S_ISREG(st.st_mode):
            raise StoreUnavailableError(f"the secret store at {self.where} is not a regular file")
        return st.st_dev, st.st_ino

    @property
    def where(self) -> str:
        return f"{self.path} (the path comes from {DATABASE_ENV})"

    def acquire(self, held: _Connections, write: bool) -> Handle:
        try:
            identity = self._identity(write)
        except OSError as exc:
            held.drop(self.key)
            if isinstance(exc, (StoreNotFoundError, StoreUnavailableError)):
                raise
            raise StoreUnavailableError(
                f"cannot open the secret store at {self.where}: {exc.strerror or exc}"
            ) from exc
        slot = held.get(self.key)
        if slot is None or slot.identity != identity:
            import sqlite3

            try:
                conn = self._connect(identity is None)
            except sqlite3.Error as exc:
                raise StoreUnavailableError(
                    f"cannot open the secret store at {self.where}: {exc}"
                ) from exc
            slot = held.put(self.key, _Slot(conn, identity))
        return Handle(slot.conn, self.sql)

    def _connect(self, memory: bool) -> sqlite3.Connection:
        import sqlite3
        from urllib.parse import quote  # costs every start-up at module level

        # mode=rw: a file removed since the stat is not created anew with the umask's mode.
        # An empty authority ("file://") lets any absolute path through, "//x" included.
        uri = f"file:{'//' if self.path.startswith('/') else ''}{quote(self.path)}?mode=rw"
        # Autocommit mode: transactions are begun explicitly so that writers take the
        # write lock up front (a deferred one could be refused without waiting).
        conn = sqlite3.connect(
            self.path if memory else uri,
            uri=True,
            timeout=_BUSY_TIMEOUT,
            isolation_level=None,
            check_same_thread=False,
        )
        try:
            conn.execute(_SCHEMA)
        except BaseException:
            conn.close()
            raise
        return conn

    def lost(self, handle: Handle, exc: BaseException) -> bool:
        return False

    def idle(self, handle: Handle) -> bool:
        return not handle._conn.in_transaction


def _create_private(path: str) -> None:
    # SQLite gives its journal and WAL the database file's mode, so 0600 here covers them.
    try:
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
    except FileExistsError:
        return
    os.close(fd)


_MISSING_DATABASE = r'database ".*" does not exist'
_UNQUOTED_AT = r"[a-z]+://[^/?#@]*@[^/?#]*@"


def _psycopg() -> Any:
    try:
        import psycopg
    except ImportError as exc:
        raise ModuleNotFoundError(
            "a PostgreSQL store needs psycopg: pip install 'kuv-framework[postgresql]'",
            name="psycopg",
        ) from exc
    return psycopg


def _readable(fd: int) -> bool:
    import select

    poll = select.poll()
    poll.register(fd, select.POLLIN)
    return bool(poll.poll(0))


class _Postgres:
    sql = _POSTGRES_SQL
    # Writers queue here as under SQLite's BEGIN IMMEDIATE; readers (ACCESS SHARE) go on.
    begin = ("BEGIN", "LOCK TABLE records IN SHARE ROW EXCLUSIVE MODE")
    # One statement in autocommit mode is its own transaction.
    single_write_transaction = False

    def __init__(self, url: str) -> None:
        self.key = self.url = url

    def acquire(self, held: _Connections, write: bool) -> Handle:
        slot = held.get(self.key)
        # An idle connection with something to read was told by the server that it is ending.
        if slot is not None and (slot.conn.closed or _readable(slot.conn.fileno())):
            held.drop(self.key)
            slot = None
        if slot is None:
            slot = held.put(self.key, _Slot(self._connect(), None))
        return Handle(slot.conn, self.sql)

    def _connect(self) -> Any:
        psycopg = _psycopg()
        where = f"{redact(self.url)} (the URL comes from {DATABASE_ENV})"
        if re.match(_UNQUOTED_AT, self.url):
            # libpq would cut the password at its first "@" and quote the rest as a host name.
            raise ValueError(f"not a valid PostgreSQL URL (write @ as %40): {where}")
        try:
            conn = psycopg.connect(self.url, autocommit=True)
        except psycopg.OperationalError as exc:
            reason = str(exc)
            if re.search(_MISSING_DATABASE, reason):
                raise StoreNotFoundError(f"no secret store at {where}: no such database") from exc
            first = reason.splitlines()[0] if reason else type(exc).__name__
            raise StoreUnavailableError(
                f"cannot connect to the secret store at {where}: {first}"
            ) from exc
        except psycopg.Error:
            # libpq quotes a malformed URL whole, password included: no chaining.
            raise ValueError(f"not a valid PostgreSQL URL: {where}") from None
        try:
            if conn.execute("SELECT to_regclass('records')").fetchone()[0] is None:
                # Many processes may start on an empty database at once.
                with conn.transaction():
                    conn.execute("SELECT pg_advisory_xact_lock(%s)", (_SCHEMA_LOCK,))
                    conn.execute(_SCHEMA)
        except BaseException:
            conn.close()
            raise
        return conn

    def lost(self, handle: Handle, exc: BaseException) -> bool:
        return isinstance(exc, _psycopg().OperationalError) and bool(handle._conn.closed)

    def idle(self, handle: Handle) -> bool:
        return bool(handle._conn.info.transaction_status == _psycopg().pq.TransactionStatus.IDLE)


_Engine = _SQLite | _Postgres


@functools.lru_cache(maxsize=16)
def _engine_for(target: str) -> _Engine:
    if target.startswith(("postgresql://", "postgres://")):
        return _Postgres(target)
    if "://" in target and re.match(_SCHEME, target):
        # Never a file path: that would create a file named after the URL and echo it whole.
        raise ValueError(
            f"unsupported store URL {redact(target)!r} (from {DATABASE_ENV}): "
            "use postgresql:// or the path of a SQLite file"
        )
    if not target:
        raise ValueError(f"{DATABASE_ENV} is empty: name a SQLite file or a postgresql:// URL")
    return _SQLite(target)


# A caller that carries its own configuration (the command line's context) names the store here
# instead of in the process environment; it holds for the thread (and task) that set it.
_TARGET: contextvars.ContextVar[str | None] = contextvars.ContextVar("kuv_store_target", default=None)


@contextlib.contextmanager
def using(target: str) -> Iterator[None]:
    """Within the block, this thread's records live in ``target`` whatever ``KUV_DATABASE`` says."""
    token = _TARGET.set(target)
    try:
        yield
    finally:
        _TARGET.reset(token)


def _engine() -> _Engine:
    target = _TARGET.get()
    return _engine_for(os.environ.get(DATABASE_ENV, DEFAULT_DATABASE) if target is None else target)


def _rollback(handle: Handle) -> None:
    # Failing here means a broken connection, which _using then drops.
    with contextlib.suppress(Exception):
        handle._conn.execute("ROLLBACK")


def _commit(handle: Handle) -> None:
    try:
        handle._conn.execute("COMMIT")
    except BaseException:
        _rollback(handle)  # SQLite keeps the transaction open when COMMIT is refused
        raise


def _begin(engine: _Engine, handle: Handle) -> None:
    first, *rest = engine.begin
    handle._conn.execute(first)
    try:
        for statement in rest:
            handle._conn.execute(statement)
    except BaseException:
        _rollback(handle)
        raise


def _using(
    engine: _Engine,
    held: _Connections,
    write: bool,
    attempt: Callable[[Handle], T],
    retry: bool = True,
) -> T:
    """``attempt`` on the thread's connection; a broken one is replaced once."""
    handle = engine.acquire(held, write)
    try:
        return attempt(handle)
    except BaseException as exc:
        lost = engine.lost(handle, exc)
        # A connection left inside a transaction (an interrupt, a failed rollback) is not reused.
        if lost or not engine.idle(handle):
            held.drop(engine.key)
        if not (lost and retry):
            raise
    return _using(engine, held, write, attempt, retry=False)


def run(write: bool, work: Callable[[Handle], T]) -> T:
    """``work`` on this thread's open transaction, or in a transaction of its own."""
    held = _connections()
    if held.tx is not None:
        return work(held.tx)
    engine = _engine()
    if not (write and engine.single_write_transaction):
        return _using(engine, held, write, work)

    def transact(handle: Handle) -> T:
        _begin(engine, handle)
        try:
            result = work(handle)
        except BaseException:
            _rollback(handle)
            raise
        _commit(handle)
        return result

    return _using(engine, held, write, transact)


@contextlib.contextmanager
def transaction() -> Iterator[None]:
    """Make every load, save and delete of this thread inside the block one transaction.

    The write lock is taken at the start, so what the block reads stays true until it commits.
    A nested block joins the outer one.
    """
    held = _connections()
    if held.tx is not None:
        yield
        return
    engine = _engine()

    def start(handle: Handle) -> Handle:
        _begin(engine, handle)
        return handle

    handle = _using(engine, held, True, start)
    held.tx = handle
    pid = os.getpid()
    try:
        yield
    except BaseException:
        held.tx = None
        if os.getpid() == pid:  # a child forked inside the block leaves it to the parent
            _finish(engine, held, handle, commit=False)
        raise
    held.tx = None
    if os.getpid() == pid:
        _finish(engine, held, handle, commit=True)


def _finish(engine: _Engine, held: _Connections, handle: Handle, commit: bool) -> None:
    try:
        (_commit if commit else _rollback)(handle)
    finally:
        if not engine.idle(handle):
            held.drop(engine.key)
