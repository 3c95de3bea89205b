"""Where records live: the database named by ``KUV_DATABASE``, and the connections to it.

``KUV_DATABASE`` is read at every operation. A ``postgresql://`` or ``postgres://`` URL selects
PostgreSQL (through psycopg 3); any other ``scheme://``, and anything else that starts like a
PostgreSQL URL, is refused; anything else is the path of a SQLite file, ``kuv.sqlite3`` in the
current directory when the variable is unset.

A store is a SQLite file, or a PostgreSQL database, holding the table ``records``. A write makes
a missing one (a read of a missing SQLite file fails; PostgreSQL makes the table at any use),
unless ``using(target, create=False)`` asks for stores made on purpose only, by ``create()``.

Each thread of each process keeps one open connection per database and reuses it. A process
never touches a connection it inherited through ``fork``: the child opens its own. A SQLite
connection is replaced when the file at the path was removed or replaced; a PostgreSQL
connection that broke (a server restart) is replaced once before an operation fails. A thread's
connections are closed when the thread ends; a PostgreSQL one also once unused for its idle time.
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
from _thread import RLock
from _thread import _local as _ThreadLocal  # threading.local, without importing threading
from collections import OrderedDict, namedtuple

# A host imports this as it starts (the secrets module on its import): typing, threading, sqlite3
# (unused with PostgreSQL) and the patterns of URLs wait for the first use that needs them.
TYPE_CHECKING = False
if TYPE_CHECKING:
    import sqlite3
    from collections.abc import Callable, Iterator
    from typing import Any, ClassVar, TypeVar

    T = TypeVar("T")

__all__ = [
    "DATABASE_ENV",
    "DEFAULT_DATABASE",
    "Handle",
    "RecordExistsError",
    "RecordGoneError",
    "StoreBusyError",
    "StoreNotFoundError",
    "StoreUnavailableError",
    "create",
    "exists",
    "is_path",
    "redact",
    "run",
    "transaction",
    "using",
]

DATABASE_ENV = "KUV_DATABASE"
DEFAULT_DATABASE = "kuv.sqlite3"

# Long enough for a few busy processes to take turns instead of failing as "locked"; also how
# long a PostgreSQL writer waits for the table's lock, unless its URL says lock_timeout=SECONDS.
_BUSY_TIMEOUT = 30.0
# Seconds; a PostgreSQL URL's connect_timeout (or PGCONNECT_TIMEOUT) says otherwise. Also how
# long a connection refused for load or start-up is tried again.
_CONNECT_TIMEOUT = 10
# Seconds a PostgreSQL connection stays open unused, unless the URL says idle_timeout=SECONDS:
# long enough for a burst of operations to share it, short enough that a host that sleeps
# leaves its server slot to others.
_IDLE_TIMEOUT = 2.0
# Jittered exponential backoff between connection attempts, in seconds.
_RETRY_FIRST = 0.02
_RETRY_MAX = 1.0
# A thread that works on several databases keeps this many connections open, the latest used.
_KEEP = 4
# Any constant shared by every process that creates the schema.
_SCHEMA_LOCK = 0x6B75765F73746F72

_SCHEMA = (
    "CREATE TABLE IF NOT EXISTS records ("
    "kind TEXT NOT NULL, id TEXT NOT NULL, data TEXT NOT NULL, PRIMARY KEY (kind, id))"
)
# Beside the records: earlier values (tokens only), the audit trail and per-store settings.
# A store made before them gains them at its next connection.
_JOURNAL = (
    (
        "CREATE TABLE IF NOT EXISTS kuv_versions ("
        "kind TEXT NOT NULL, id TEXT NOT NULL, number INTEGER NOT NULL, token TEXT NOT NULL, "
        "made_at TEXT NOT NULL, host TEXT NOT NULL, os_user TEXT NOT NULL, "
        "PRIMARY KEY (kind, id, number))"
    ),
    (
        "CREATE TABLE IF NOT EXISTS kuv_events ("
        "at TEXT NOT NULL, host TEXT NOT NULL, os_user TEXT NOT NULL, command TEXT NOT NULL, "
        "secret_id TEXT NOT NULL, outcome TEXT NOT NULL)"
    ),
    "CREATE INDEX IF NOT EXISTS kuv_events_by_id ON kuv_events (secret_id, at)",
    "CREATE INDEX IF NOT EXISTS kuv_events_by_time ON kuv_events (at)",
    "CREATE TABLE IF NOT EXISTS kuv_settings (name TEXT PRIMARY KEY, value TEXT NOT NULL)",
)
_TABLES = ("records", "kuv_versions", "kuv_events", "kuv_settings")
_APPEND_ONLY = "the audit trail is append-only"
_SQLITE_JOURNAL = (
    *_JOURNAL,
    *(
        f"CREATE TRIGGER IF NOT EXISTS kuv_events_no_{verb.lower()} BEFORE {verb} ON kuv_events "
        f"BEGIN SELECT RAISE(ABORT, '{_APPEND_ONLY}'); END"
        for verb in ("UPDATE", "DELETE")
    ),
)
_POSTGRES_JOURNAL = (
    *_JOURNAL,
    (
        "CREATE OR REPLACE FUNCTION kuv_append_only() RETURNS trigger LANGUAGE plpgsql AS "
        f"$$ BEGIN RAISE EXCEPTION '{_APPEND_ONLY}'; END $$"
    ),
    "DROP TRIGGER IF EXISTS kuv_events_append_only ON kuv_events",
    (
        "CREATE TRIGGER kuv_events_append_only BEFORE UPDATE OR DELETE OR TRUNCATE ON kuv_events "
        "FOR EACH STATEMENT EXECUTE FUNCTION kuv_append_only()"
    ),
)


class StoreNotFoundError(FileNotFoundError):
    """No store where ``KUV_DATABASE`` points (reads never create a SQLite file)."""

    # False when create() can't make it either: a PostgreSQL database that does not exist.
    creatable = True


class StoreUnavailableError(ConnectionError):
    """The store named by ``KUV_DATABASE`` can't be used: a server out of reach, a bad file."""


class StoreBusyError(StoreUnavailableError):
    """A writer waited longer than its limit for another writer's lock; nothing was written."""


class RecordExistsError(ValueError):
    """``save(create=True)`` found a record under the id already."""


class RecordGoneError(LookupError):
    """``save`` of a loaded record found it deleted since."""


# Patterns as text, compiled (and cached) by re when first used.
_SCHEME = r"\s*[A-Za-z][A-Za-z0-9+.-]*://"
# A mistyped PostgreSQL URL ("postgresql:user:pw@host") must not become a file named after it.
_POSTGRES_LIKE = r"(?i)\s*postgres(?:ql)?:"
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
    # Parameters first: a password=... holding "@" would otherwise pass for the user's part.
    url = re.sub(_PARAMETER, _drop_password, url)
    # Then up to the last "@": a password may hold an unquoted "@", "/", "?" or "#".
    url = re.sub(_USERINFO, r"\1@", url)
    return re.sub(r"\?&+", "?", re.sub(r"&&+", "&", url)).rstrip("?&")


_Statements = namedtuple("_Statements", "fetch fetch_all replace create update remove param")


_SQLITE_SQL = _Statements(
    fetch="SELECT data FROM records WHERE kind = ? AND id = ?",
    fetch_all="SELECT id, data FROM records WHERE kind = ? ORDER BY id",
    replace="INSERT OR REPLACE INTO records (kind, id, data) VALUES (?, ?, ?)",
    create="INSERT INTO records (kind, id, data) VALUES (?, ?, ?) ON CONFLICT (kind, id) DO NOTHING",
    update="UPDATE records SET data = ? WHERE kind = ? AND id = ?",
    remove="DELETE FROM records WHERE kind = ? AND id = ?",
    param="?",
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

    def rows(self, sql: str, params: tuple[Any, ...] = ()) -> list[tuple[Any, ...]]:
        """Any query on the store's tables, its parameters written ``?`` on every engine."""
        return [tuple(row) for row in self._conn.execute(self._param(sql), params).fetchall()]

    def change(self, sql: str, params: tuple[Any, ...] = ()) -> int:
        """Any statement on the store's tables; the rows it changed."""
        return int(self._conn.execute(self._param(sql), params).rowcount)

    def _param(self, sql: str) -> str:
        return sql if self._sql.param == "?" else sql.replace("?", self._sql.param)


class _Slot:
    """An open connection and the file identity it was opened on (SQLite); unless ``idle`` is
    None, it is closed once unused (not ``busy``) for ``idle`` seconds after ``last``."""

    __slots__ = ("busy", "conn", "identity", "idle", "last")

    def __init__(self, conn: Any, identity: object, idle: float | None = None) -> None:
        self.conn = conn
        self.identity = identity
        self.idle = idle
        self.busy = True
        self.last = 0.0


# Connections inherited through fork: closing one would end the parent's session (PostgreSQL)
# or disturb its locks (SQLite), and dropping one closes it, so they are kept, unused.
_inherited: list[Any] = []


def _close(conn: Any) -> None:
    with contextlib.suppress(Exception):
        conn.close()


class _Connections:
    """One thread's open connections, by database; closed with the thread."""

    # Guards every thread's slots against the idle closer. Reentrant: a holder dropped by the
    # garbage collector inside a locked block releases its slots under the lock too.
    lock = RLock()

    def __init__(self) -> None:
        self.pid = os.getpid()
        self.slots: OrderedDict[str, _Slot] = OrderedDict()
        self.tx: Handle | None = None

    def get(self, key: str) -> _Slot | None:
        """The open connection, marked busy until ``done``."""
        with self.lock:
            slot = self.slots.get(key)
            if slot is not None:
                self.slots.move_to_end(key)
                slot.busy = True
        return slot

    def put(self, key: str, slot: _Slot) -> _Slot:
        self.drop(key)
        with self.lock:
            self.slots[key] = slot
            # The oldest unused ones: a busy one may hold the thread's open transaction.
            idle = [k for k, old in self.slots.items() if not old.busy and k != key]
            evicted = [self.slots.pop(k) for k in idle[: max(0, len(self.slots) - _KEEP)]]
        for old in evicted:
            _close(old.conn)
        if slot.idle:
            _Closer.watch(self)
        return slot

    def done(self, key: str) -> None:
        """The connection is unused from now on: its idle time starts."""
        with self.lock:
            slot = self.slots.get(key)
            if slot is None:
                return
            slot.busy, slot.last = False, _monotonic()
            if slot.idle != 0:
                return
            del self.slots[key]
        _close(slot.conn)

    def drop(self, key: str) -> None:
        with self.lock:
            slot = self.slots.pop(key, None)
        if slot is not None:
            _close(slot.conn)

    def release(self, getpid: Callable[[], int] = os.getpid) -> None:
        with self.lock:
            slots, self.slots = self.slots, OrderedDict()
        if self.pid == getpid():
            for slot in slots.values():
                _close(slot.conn)
        else:
            _inherited.extend(slot.conn for slot in slots.values())

    def __del__(self) -> None:
        self.release()


def _monotonic() -> float:
    from time import monotonic

    return monotonic()


def _sleep(seconds: float) -> None:
    from time import sleep

    sleep(seconds)


class _Closer:
    """The daemon thread that closes this process's unused PostgreSQL connections on time, so
    that a host that sleeps holds no server slot. It runs while such connections are open, and
    is stopped over a fork, and gone from the process before it: a process with threads is no
    safe one to fork."""

    pid = 0
    holders: Any = None  # weakref.WeakSet of the _Connections watched
    ending: ClassVar[list[Any]] = []  # threads told to end (or ending by themselves), not yet gone
    thread: Any = None
    wake: Any = None  # the thread's threading.Event: a new connection, or time to stop

    @classmethod
    def watch(cls, held: _Connections) -> None:
        with _Connections.lock:
            if cls.pid != os.getpid():
                import weakref

                cls.pid, cls.holders = os.getpid(), weakref.WeakSet()
            cls.holders.add(held)
            if cls.thread is None:
                cls.ending = [t for t in cls.ending if os.path.exists(_task(t))]
                cls.start()
            cls.wake.set()

    @classmethod
    def start(cls) -> None:
        """Under the lock."""
        import signal
        import threading

        cls.wake = threading.Event()
        name = "kuv-store-idle-closer"
        cls.thread = threading.Thread(target=cls.run, args=(cls.wake,), name=name, daemon=True)
        # Born with every signal blocked: a signal sent to the process is the host's threads'
        # to take (and to hold off while they commit).
        mask = signal.pthread_sigmask(signal.SIG_BLOCK, signal.valid_signals())
        try:
            cls.thread.start()
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, mask)

    @classmethod
    def run(cls, wake: Any) -> None:
        while cls.wake is wake:
            wait = cls.close_idle(_monotonic(), wake)
            if wait is None:
                return
            wake.wait(min(wait, 3600.0))  # an idle_timeout of years is no time_t
            wake.clear()

    @classmethod
    def close_idle(cls, now: float, wake: Any) -> float | None:
        """Closes what is due; the seconds until the next check, None when the thread ends."""
        expired: list[_Slot] = []
        soonest: float | None = None
        with _Connections.lock:
            for held in list(cls.holders):
                if held.pid != os.getpid():  # inherited: the parent's to close
                    continue
                for key, slot in list(held.slots.items()):
                    if slot.idle is None:
                        continue
                    # A busy one is never closed: checked again one idle time on.
                    due = now + max(slot.idle, 0.001) if slot.busy else slot.last + slot.idle
                    if not slot.busy and due <= now:
                        expired.append(held.slots.pop(key))
                    elif soonest is None or due < soonest:
                        soonest = due
            if soonest is None and cls.wake is wake:  # nothing left open: the next one restarts it
                cls.ending.append(cls.thread)
                cls.thread = cls.wake = None
        for slot in expired:
            _close(slot.conn)
        return None if soonest is None else soonest - now

    @classmethod
    def stop(cls) -> None:
        with _Connections.lock:
            thread, wake = cls.thread, cls.wake
            cls.thread = cls.wake = None
            ending, cls.ending = [*cls.ending, thread] if thread else cls.ending, []
        if wake is not None:
            wake.set()
        for each in ending:
            _gone(each)

    @classmethod
    def resume(cls) -> None:
        with _Connections.lock:
            if cls.pid == os.getpid() and cls.thread is None and cls.holders:
                cls.start()


def _gone(thread: Any) -> None:
    """Wait until ``thread`` has left the process, not only Python: a thread that is still
    unwinding in the C library (handing its allocator cache back, under a sanitizer) at a fork
    can leave a lock taken in the child for good."""
    if thread.ident is None:  # a fork from a signal handler inside start()
        return
    thread.join()
    deadline = _monotonic() + 1.0
    while os.path.exists(_task(thread)) and _monotonic() < deadline:
        _sleep(0.0002)


def _task(thread: Any) -> str:
    return f"/proc/self/task/{thread.native_id}"


def _forked() -> None:
    # Another thread may have held the lock at the fork.
    _Connections.lock = RLock()
    _Closer.pid, _Closer.thread, _Closer.wake, _Closer.ending = 0, None, None, []


os.register_at_fork(before=_Closer.stop, after_in_parent=_Closer.resume, after_in_child=_forked)

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

    def __init__(self, path: str) -> None:
        self.key = self.path = path

    @property
    def where(self) -> str:
        return f"{self.path} (the path comes from {DATABASE_ENV})"

    @property
    def limit(self) -> float:
        return _BUSY_TIMEOUT

    def _identity(self, make: bool) -> tuple[tuple[int, int] | None, bool]:
        """The file's identity, and whether it was made now (only ever with ``make``)."""
        if self.path == ":memory:":
            return None, False
        try:
            made = make and _create_private(self.path)
            st = os.stat(self.path)
        except OSError as exc:
            if isinstance(exc, FileNotFoundError) and not make:
                raise StoreNotFoundError(f"no secret store at {self.where}") from None
            raise StoreUnavailableError(
                f"cannot open the secret store at {self.where}: {exc.strerror or exc}"
            ) from exc
        if not stat.S_ISREG(st.st_mode):
            raise StoreUnavailableError(f"the secret store at {self.where} is not a regular file")
        return (st.st_dev, st.st_ino), made

    def acquire(self, held: _Connections, write: bool, create: bool) -> Handle:
        try:
            identity, _ = self._identity(write and create)
        except OSError:
            held.drop(self.key)
            raise
        slot = held.get(self.key)
        if slot is None or slot.identity != identity:
            conn, _ = self._connect(identity is None, create)
            slot = held.put(self.key, _Slot(conn, identity))
        return Handle(slot.conn, self.sql)

    def create(self) -> bool:
        identity, made = self._identity(True)
        conn, table = self._connect(identity is None, True)
        conn.close()
        return made or table

    def _connect(self, memory: bool, create: bool) -> tuple[sqlite3.Connection, bool]:
        import sqlite3
        from urllib.parse import quote  # costs every start-up at module level

        # mode=rw: a file removed since the stat is not created anew with the umask's mode.
        # An empty authority ("file://") lets any absolute path through, "//x" included.
        uri = f"file:{'//' if self.path.startswith('/') else ''}{quote(self.path)}?mode=rw"
        conn = None
        try:
            # Autocommit mode: transactions are begun explicitly so that writers take the
            # write lock up front (a deferred one could be refused without waiting).
            conn = sqlite3.connect(
                self.path if memory else uri,
                uri=True,
                timeout=_BUSY_TIMEOUT,
                isolation_level=None,
                check_same_thread=False,
            )
            return conn, self._table(conn, create)
        except BaseException as exc:
            if conn is not None:
                conn.close()
            if isinstance(exc, sqlite3.Error):
                raise StoreUnavailableError(
                    f"cannot open the secret store at {self.where}: {exc}"
                ) from exc
            raise

    def _table(self, conn: sqlite3.Connection, create: bool) -> bool:
        """Whether the table was made now; a missing one is made only with ``create``."""
        import sqlite3

        present = {row[0] for row in conn.execute(_SQLITE_TABLES)}
        if present.issuperset(_TABLES):
            return False
        if "records" not in present and not create:
            # Another program's database, say: not ours to add a table to.
            raise StoreNotFoundError(f"no secret store at {self.where}: it holds no records")
        upgrade = "records" in present
        try:
            if upgrade:
                # Not worth a reader's wait behind a writer: the next connection tries again.
                conn.execute("PRAGMA busy_timeout = 0")
            conn.execute("BEGIN IMMEDIATE")
            try:
                made = not conn.execute(_SQLITE_HAS_TABLE).fetchone()[0]
                for statement in (_SCHEMA, *_SQLITE_JOURNAL):
                    conn.execute(statement)
                conn.execute("COMMIT")
            except BaseException:
                with contextlib.suppress(Exception):
                    conn.execute("ROLLBACK")
                raise
        except sqlite3.Error:
            if upgrade:
                return False  # a reader without write access reads on; its writer adds them
            raise
        finally:
            if upgrade:
                conn.execute(f"PRAGMA busy_timeout = {int(_BUSY_TIMEOUT * 1000)}")
        return bool(made)

    def begin(self, handle: Handle, whole: bool) -> None:
        handle._conn.execute("BEGIN IMMEDIATE")

    def busy(self, exc: BaseException) -> bool:
        import sqlite3

        if not isinstance(exc, sqlite3.OperationalError):
            return False
        code = getattr(exc, "sqlite_errorcode", None)  # from 3.11 on
        return str(exc) == "database is locked" if code is None else code & 0xFF == _SQLITE_BUSY

    def lost(self, handle: Handle, exc: BaseException) -> bool:
        return False

    def idle(self, handle: Handle) -> bool:
        return not handle._conn.in_transaction


_SQLITE_HAS_TABLE = "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'records'"
_SQLITE_TABLES = "SELECT name FROM sqlite_master WHERE type = 'table'"
_SQLITE_BUSY = 5


def _create_private(path: str) -> bool:
    """Whether the file was made now. SQLite gives its journal and WAL the database file's
    mode, so 0600 here covers them."""
    try:
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
    except FileExistsError:
        return False
    os.close(fd)
    return True


_MISSING_DATABASE = r'database ".*" does not exist'
_UNQUOTED_AT = r"[a-z]+://[^/?#@]*@[^/?#]*@"
_POSTGRES_HAS_TABLE = "SELECT to_regclass('records')"
_POSTGRES_TABLES = "SELECT " + ", ".join(f"to_regclass('{name}')" for name in _TABLES)
# Ours, not libpq's (which refuses names it doesn't know): taken out of the URL before connecting.
_LOCK_PARAMETER = "lock_timeout"
_IDLE_PARAMETER = "idle_timeout"
# Refusals of a server (or pooler) that is full, starting or stopping: tried again.
# A server that answered and said no: waiting won't change it, whatever other hosts said.
_REFUSED_LOGIN = (
    r"(?i)password authentication failed|role \S+ does not exist|no pg_hba\.conf entry"
    r"|authentication failed|permission denied for database"
)
_OVERLOADED = (
    r"(?i)too many clients already|remaining connection slots are reserved"
    r"|the database system is (starting up|shutting down|in recovery mode)"
    r"|connection refused|no more connections allowed|no such file or directory"
)


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


def _lock_limit(
    url: str, where: str, name: str = _LOCK_PARAMETER, default: float = _BUSY_TIMEOUT
) -> tuple[str, float]:
    """The URL for libpq, without ``name`` (``lock_timeout``: the seconds a writer waits for a
    lock), and its value."""
    from urllib.parse import unquote

    # After the last "@" before a "/" (libpq's reading): a password may hold "?" or "&".
    scheme = url.find("://") + 3
    path = url.find("/", scheme)
    query = url.find("?", url.rfind("@", scheme, len(url) if path == -1 else path) + 1)
    items = url[query + 1 :].split("&") if query >= 0 else []
    ours = [item for item in items if unquote(item.partition("=")[0]) == name]
    if not ours:
        return url, default
    kept = [item for item in items if item not in ours]
    limit = -1.0
    with contextlib.suppress(ValueError):
        limit = float(unquote(ours[-1].partition("=")[2]))
    if not 0 <= limit < float("inf"):
        raise ValueError(f"not a valid PostgreSQL URL: {name} takes seconds: {where}")
    return url[:query] + ("?" + "&".join(kept) if kept else ""), limit


def _connect_limit(given: dict[str, Any]) -> float:
    """Seconds to keep trying to connect: the URL's connect_timeout, else PGCONNECT_TIMEOUT."""
    value = given.get("connect_timeout") or os.environ.get("PGCONNECT_TIMEOUT")
    with contextlib.suppress(TypeError, ValueError):
        return max(0.0, float(value))  # type: ignore[arg-type]
    return float(_CONNECT_TIMEOUT)


class _Postgres:
    sql = _POSTGRES_SQL

    def __init__(self, url: str) -> None:
        self.key = url
        self.url, self.limit = _lock_limit(url, self.where)
        self.url, self.idle_time = _lock_limit(self.url, self.where, _IDLE_PARAMETER, _IDLE_TIMEOUT)
        # 0 waits as long as it takes, as for the server's own setting.
        self.lock_wait = f"{max(1, round(self.limit * 1000))}ms" if self.limit else "0"

    @property
    def where(self) -> str:
        return f"{redact(self.key)} (the URL comes from {DATABASE_ENV})"

    def acquire(self, held: _Connections, write: bool, create: bool) -> Handle:
        slot = held.get(self.key)
        # An idle connection with something to read was told by the server that it is ending.
        if slot is not None and (slot.conn.closed or _readable(slot.conn.fileno())):
            held.drop(self.key)
            slot = None
        if slot is None:
            conn, _ = self._connect(create)
            slot = held.put(self.key, _Slot(conn, None, self.idle_time))
        return Handle(slot.conn, self.sql)

    def create(self) -> bool:
        conn, made = self._connect(True)
        conn.close()
        return made

    def _connect(self, create: bool) -> tuple[Any, bool]:
        psycopg = _psycopg()
        where = self.where
        if re.match(_UNQUOTED_AT, self.key):
            # libpq would cut the password at its first "@" and quote the rest as a host name.
            raise ValueError(f"not a valid PostgreSQL URL (write @ as %40): {where}")
        try:
            given = psycopg.conninfo.conninfo_to_dict(self.url)
        except psycopg.Error:
            # libpq quotes a malformed URL whole, password included: no chaining.
            raise ValueError(f"not a valid PostgreSQL URL: {where}") from None
        # A server that takes the connection and never answers must not hang us.
        timeout = "connect_timeout" in given or os.environ.get("PGCONNECT_TIMEOUT")
        defaults = {} if timeout else {"connect_timeout": max(1, -int(-_CONNECT_TIMEOUT // 1))}
        conn = self._attempts(psycopg, _connect_limit(given), defaults)
        try:
            return conn, self._table(conn, create)
        except BaseException:
            conn.close()
            raise

    def _attempts(self, psycopg: Any, limit: float, defaults: dict[str, Any]) -> Any:
        """A connection; one refused for load or start-up is tried again for ``limit`` seconds."""
        where = self.where
        deadline, delay, tries = _monotonic() + limit, _RETRY_FIRST, 0
        while True:
            tries += 1
            try:
                # No prepared statements: a pooler in transaction mode gives each transaction
                # whichever server session is free, where they would be missing or clash.
                return psycopg.connect(
                    self.url, autocommit=True, prepare_threshold=None, **defaults
                )
            except psycopg.OperationalError as exc:
                reason = str(exc)
                if re.search(_MISSING_DATABASE, reason):
                    missing = StoreNotFoundError(f"no secret store at {where}: no such database")
                    missing.creatable = False
                    raise missing from exc
                if re.search(_OVERLOADED, reason) and not re.search(_REFUSED_LOGIN, reason):
                    import random

                    left = deadline - _monotonic()
                    if left > 0:
                        # Jittered: hosts refused together must not all come back together. The
                        # last try is at the limit.
                        _sleep(min(left, random.uniform(delay / 2, delay)))
                        delay = min(delay * 2, _RETRY_MAX)
                        continue
                first = reason.splitlines()[0] if reason else type(exc).__name__
                gave_up = f" (tried {tries} times in {limit:g} s)" if tries > 1 else ""
                raise StoreUnavailableError(
                    f"cannot connect to the secret store at {where}: {first}{gave_up}"
                ) from exc
            except psycopg.Error:
                raise ValueError(f"not a valid PostgreSQL URL: {where}") from None

    def _table(self, conn: Any, create: bool) -> bool:
        """Whether the table was made now; a missing one is made only with ``create``."""
        present = conn.execute(_POSTGRES_TABLES).fetchone()
        if None not in present:
            return False
        if present[0] is None and not create:
            raise StoreNotFoundError(f"no secret store at {self.where}: no records table")
        psycopg = _psycopg()
        try:
            # Many processes may start on an empty database at once.
            with conn.transaction():
                conn.execute("SELECT pg_advisory_xact_lock(%s)", (_SCHEMA_LOCK,))
                made = conn.execute(_POSTGRES_HAS_TABLE).fetchone()[0] is None
                if made or None in conn.execute(_POSTGRES_TABLES).fetchone():
                    for statement in (_SCHEMA, *_POSTGRES_JOURNAL):
                        conn.execute(statement)
        except psycopg.errors.InsufficientPrivilege:
            if present[0] is not None:
                return False  # a reader without the right to add them reads on
            raise
        return bool(made)

    def begin(self, handle: Handle, whole: bool) -> None:
        conn = handle._conn
        conn.execute("BEGIN")
        try:
            # Local to the transaction: a session setting would stay behind on a pooler's
            # server connection for whoever gets it next.
            conn.execute("SELECT set_config('lock_timeout', %s, true)", (self.lock_wait,))
            if whole:
                # Writers queue here as under SQLite's BEGIN IMMEDIATE; readers go on.
                conn.execute("LOCK TABLE records IN SHARE ROW EXCLUSIVE MODE")
        except BaseException:
            _rollback(handle)
            raise

    def busy(self, exc: BaseException) -> bool:
        return isinstance(exc, _psycopg().errors.LockNotAvailable)

    def lost(self, handle: Handle, exc: BaseException) -> bool:
        return isinstance(exc, _psycopg().OperationalError) and bool(handle._conn.closed)

    def idle(self, handle: Handle) -> bool:
        return bool(handle._conn.info.transaction_status == _psycopg().pq.TransactionStatus.IDLE)


_Engine = _SQLite | _Postgres


def is_path(target: str) -> bool:
    """Whether ``target`` names a SQLite file: neither a URL nor anything refused as one."""
    return not (re.match(_POSTGRES_LIKE, target) or ("://" in target and re.match(_SCHEME, target)))


@functools.lru_cache(maxsize=16)
def _engine_for(target: str) -> _Engine:
    if target.startswith(("postgresql://", "postgres://")):
        return _Postgres(target)
    if re.match(_POSTGRES_LIKE, target):
        # Not even redacted: without "//" nobody can tell where a password starts.
        raise ValueError(
            f"{DATABASE_ENV} is not a well-formed PostgreSQL URL (not shown, it may hold a "
            "password): write postgresql://user@host:port/database"
        )
    if not is_path(target):
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
_TARGET: contextvars.ContextVar[tuple[str, bool] | None] = contextvars.ContextVar(
    "kuv_store_target", default=None
)


@contextlib.contextmanager
def using(target: str, *, create: bool = True) -> Iterator[None]:
    """Within the block, this thread's records live in ``target`` whatever ``KUV_DATABASE`` says.

    With ``create=False`` no operation makes a missing store, which raises
    ``StoreNotFoundError`` instead: stores are then made on purpose, by ``create()``.
    """
    token = _TARGET.set((target, create))
    try:
        yield
    finally:
        _TARGET.reset(token)


def _chosen() -> tuple[_Engine, bool]:
    """This thread's store, and whether an operation may make it."""
    chosen = _TARGET.get()
    if chosen is None:
        return _engine_for(os.environ.get(DATABASE_ENV, DEFAULT_DATABASE)), True
    return _engine_for(chosen[0]), chosen[1]


def create(target: str | None = None) -> bool:
    """Make the store ``target`` names (by default this thread's): a SQLite file of mode 0600
    holding the table, or the table in an existing PostgreSQL database. True when it is made
    now; False, and nothing changes, when it was there."""
    return (_chosen()[0] if target is None else _engine_for(target)).create()


def exists(target: str | None = None) -> bool:
    """Whether the store ``target`` names (by default this thread's) is there; makes nothing."""
    engine = _chosen()[0] if target is None else _engine_for(target)
    try:
        _using(engine, _connections(), False, False, lambda handle: None)
    except StoreNotFoundError:
        return False
    return True


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


def _busy(engine: _Engine) -> StoreBusyError:
    return StoreBusyError(
        f"gave up after {engine.limit:g} s waiting for another writer to finish with the "
        f"secret store at {engine.where}; nothing was written"
    )


def _using(
    engine: _Engine,
    held: _Connections,
    write: bool,
    create: bool,
    attempt: Callable[[Handle], T],
    retry: bool = True,
) -> T:
    """``attempt`` on the thread's connection; a broken one is replaced once."""
    handle = engine.acquire(held, write, create)
    try:
        return attempt(handle)
    except BaseException as exc:
        lost = engine.lost(handle, exc)
        # A connection left inside a transaction (an interrupt, a failed rollback) is not reused.
        if lost or not engine.idle(handle):
            held.drop(engine.key)
        if engine.busy(exc):
            raise _busy(engine) from exc
        if not (lost and retry):
            raise
    finally:
        # One a transaction() goes on with stays busy until _finish; a dropped one is gone.
        slot = held.slots.get(engine.key)
        if slot is not None and slot.conn is handle._conn and engine.idle(handle):
            held.done(engine.key)
    return _using(engine, held, write, create, attempt, retry=False)


def run(write: bool, work: Callable[[Handle], T]) -> T:
    """``work`` on this thread's open transaction, or in a transaction of its own."""
    held = _connections()
    if held.tx is not None:
        return work(held.tx)
    engine, create = _chosen()
    if not write:
        return _using(engine, held, False, create, work)

    def transact(handle: Handle) -> T:
        engine.begin(handle, whole=False)
        try:
            result = work(handle)
        except BaseException:
            _rollback(handle)
            raise
        _commit(handle)
        return result

    return _using(engine, held, True, create, transact)


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
    engine, create = _chosen()

    def start(handle: Handle) -> Handle:
        engine.begin(handle, whole=True)
        return handle

    handle = _using(engine, held, True, create, start)
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
    except BaseException as exc:
        if engine.busy(exc):
            raise _busy(engine) from exc
        raise
    finally:
        if not engine.idle(handle):
            held.drop(engine.key)
        else:
            held.done(engine.key)
