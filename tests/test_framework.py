"""The record framework: its contract (real and recording fake) and its stores on each engine."""

from __future__ import annotations

import contextlib
import importlib.util
import json
import os
import re
import sqlite3
import subprocess
import sys
import threading
import time
from collections.abc import Iterator
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from types import MappingProxyType, ModuleType
from typing import Any

import kuv_fields
import kuv_meta
import kuv_store
import pytest
from conftest import Database
from pgserver import Server

FAKE_DIR = Path(__file__).parent / "fakeframework"


def load_fake(monkeypatch: pytest.MonkeyPatch) -> tuple[ModuleType, ModuleType]:
    modules = []
    for name in ("kuv_fields", "kuv_meta"):
        spec = importlib.util.spec_from_file_location(name, FAKE_DIR / f"{name}.py")
        assert spec is not None and spec.loader is not None
        module = importlib.util.module_from_spec(spec)
        # The fake's kuv_meta imports kuv_fields by name; monkeypatch puts the real one back.
        monkeypatch.setitem(sys.modules, name, module)
        spec.loader.exec_module(module)
        modules.append(module)
    return modules[0], modules[1]


@pytest.fixture
def db(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    path = tmp_path / "records.sqlite3"
    monkeypatch.setenv("KUV_DATABASE", str(path))
    return path


@pytest.fixture(params=["real", "fake"])
def fw(request: pytest.FixtureRequest, db: Path, monkeypatch: pytest.MonkeyPatch) -> Any:
    """(kuv_fields, kuv_meta) of the framework under test."""
    if request.param == "fake":
        return load_fake(monkeypatch)
    return kuv_fields, kuv_meta


def declare(fw: Any, name: str = "Secret") -> Any:
    """Create a record class the way the extension does: metaclass called by hand."""
    fields, meta = fw
    worker = meta.VirtualWorker
    mcls = type(worker)
    prepare = getattr(mcls, "__prepare__", None)
    ns = prepare(name, (worker,)) if prepare is not None else {}
    ns["__module__"] = __name__
    ns["__qualname__"] = name
    ns["top_secret"] = "key"
    ns["encrypted_secret"] = fields.StringField()
    ns["is_file"] = fields.BooleanField(default=False)
    ns["file_path"] = fields.StringField(default=".")
    ns["where"] = classmethod(lambda cls: cls)
    ns["shout"] = lambda self: str(self.top_secret).upper()
    return mcls(name, (worker,), ns)


class TestContract:
    """What the extension relies on, held by the real framework and by the fake alike."""

    def test_fields_are_keyword_only(self, fw: Any) -> None:
        fields, _ = fw
        for make in (fields.StringField, fields.BooleanField):
            with pytest.raises(TypeError):
                make(False)

    def test_defaults_and_assignment(self, fw: Any) -> None:
        rec = declare(fw)()
        assert (rec.encrypted_secret, rec.is_file, rec.file_path) == (None, False, ".")
        assert (rec.owner_name, rec.name) == (None, None)
        rec.file_path = "/tmp"
        rec.is_file = True
        assert (rec.file_path, rec.is_file) == ("/tmp", True)
        assert declare(fw)().file_path == "."

    def test_plain_attributes_readable_before_init(self, fw: Any) -> None:
        cls = declare(fw)
        bare = cls.__new__(cls)
        assert cls.top_secret == bare.top_secret == "key"
        assert cls.where() is cls and bare.where() is cls
        assert bare.shout() == "KEY"

    def test_non_dict_namespace(self, fw: Any) -> None:
        _, meta = fw
        ns = MappingProxyType({"__module__": __name__, "__qualname__": "Odd", "label": "x"})
        cls = type(meta.VirtualWorker)("Odd", (meta.VirtualWorker,), ns)
        assert cls.label == "x" and cls(name="a.b").name == "a.b"

    def test_init_takes_known_fields_in_order(self, fw: Any) -> None:
        values = {
            "owner_name": "ann",
            "name": "a.b.c.d",
            "encrypted_secret": "tok",
            "is_file": True,
        }
        rec = declare(fw)(**values)
        assert {key: getattr(rec, key) for key in values} == values
        assert isinstance(rec.id, str) and rec.id

    @pytest.mark.parametrize(
        "args, kwargs, message",
        [
            ((), {"name": "n", "foo": 1}, r"^Secret\(\) got an unexpected field 'foo'$"),
            (("x",), {}, "positional"),
        ],
    )
    def test_bad_arguments_rejected(
        self, fw: Any, args: tuple[Any, ...], kwargs: dict[str, Any], message: str
    ) -> None:
        with pytest.raises(TypeError, match=message):
            declare(fw)(*args, **kwargs)

    def test_zero_argument_super_in_subclass_init(self, fw: Any) -> None:
        _, meta = fw

        class Sub(meta.VirtualWorker):  # type: ignore[misc, name-defined]
            def __init__(self, **kwargs: Any) -> None:
                kwargs["name"] = kwargs.pop("label", None)
                super().__init__(**kwargs)

        assert Sub(label="a.b").name == "a.b"

    def test_save_then_load(self, fw: Any) -> None:
        cls = declare(fw)
        rec = cls(owner_name="ann", encrypted_secret="tok")
        rec.save()
        assert cls.load("no-such-id") is None
        got = cls.load(rec.id)
        assert type(got) is cls and got is not rec
        assert [got.id, got.owner_name, got.encrypted_secret] == [rec.id, "ann", "tok"]


class TestFakeRecords:
    def test_logs(self, monkeypatch: pytest.MonkeyPatch) -> None:
        fields, meta = load_fake(monkeypatch)
        meta.reset()
        cls = declare((fields, meta))
        assert meta.NAMESPACE_LOG == [
            "__module__",
            "__qualname__",
            "top_secret",
            "encrypted_secret",
            "is_file",
            "file_path",
            "where",
            "shout",
        ]
        assert fields.CALLS == [
            ("StringField", (), {}),
            ("BooleanField", (), {"default": False}),
            ("StringField", (), {"default": "."}),
        ]
        rec = cls(name="n", owner_name="o")
        assert meta.INIT_CALLS == [("Secret", [("name", "n"), ("owner_name", "o")])]
        rec.save()
        cls.load(rec.id)
        assert meta.LOAD_CALLS == [("Secret", rec.id)]
        assert meta.SAVE_CALLS[0][:2] == ("Secret", rec.id)
        meta.reset()
        assert cls.load(rec.id) is None

    def test_positional_field_argument_is_logged(self, monkeypatch: pytest.MonkeyPatch) -> None:
        fields, _ = load_fake(monkeypatch)
        with pytest.raises(TypeError):
            fields.BooleanField(False)
        assert fields.CALLS[-1] == ("BooleanField", (False,), {})


def make(cls: Any, **values: Any) -> Any:
    rec = cls(**values)
    rec.save()
    return rec


@pytest.fixture
def cls(database: Database) -> Any:
    return declare((kuv_fields, kuv_meta))


class TestStore:
    """Each engine keeps the same records with the same semantics."""

    @pytest.mark.parametrize("value", ["", "tëxt ✓ 𝄞", True, False, None, 0, 42])
    def test_values_keep_their_type(self, cls: Any, value: Any) -> None:
        rec = make(cls, encrypted_secret=value, is_file=value)
        got = cls.load(rec.id)
        assert type(got.encrypted_secret) is type(value) and got.encrypted_secret == value
        assert type(got.is_file) is type(value) and got.is_file == value

    def test_given_id_is_used(self, cls: Any) -> None:
        first = make(cls, id="abc", name="first")
        make(cls, id="abc", name="second")
        loaded = cls.load("abc")
        assert loaded.name == "second" and cls.load("abc").delete()
        with pytest.raises(kuv_meta.RecordGoneError):  # deleted since it was loaded: not restored
            loaded.save()
        assert cls.load("abc") is None
        first.save()  # never loaded, under a new id, or after its own delete: stored as asked
        loaded.id = "abd"
        loaded.save()
        again = cls.load("abd")
        assert again.delete() and not again.save() and cls.load("abd").name == "second"
        assert cls.load("abc").name == "first"

    @pytest.mark.parametrize("bad", [1, b"abc"])
    def test_non_str_id_rejected(self, cls: Any, bad: Any) -> None:
        with pytest.raises(TypeError):
            cls.load(bad)
        with pytest.raises(TypeError):
            cls(id=bad)

    def test_kinds_are_separate_unless_declared(self, cls: Any) -> None:
        rec = make(cls, name="n")
        plain: Any = type("Plain", (cls,), {})
        shared: Any = type("Shared", (cls,), {"__record_kind__": "Secret"})
        assert plain.load(rec.id) is None
        got = shared.load(rec.id)
        assert type(got) is shared and got.name == "n"
        deeper: Any = type("Deeper", (shared,), {})
        assert deeper.load(rec.id) is None

    def test_unencodable_value_keeps_old_record(self, cls: Any) -> None:
        rec = make(cls, name="old")
        rec.name = "new"
        rec.encrypted_secret = object()
        with pytest.raises(TypeError):
            rec.save()
        assert cls.load(rec.id).name == "old"

    def test_create_refuses_an_existing_id(self, cls: Any) -> None:
        make(cls, id="abc", name="first")
        with pytest.raises(kuv_meta.RecordExistsError):
            cls(id="abc", name="second").save(create=True)
        assert cls.load("abc").name == "first"

    def test_transaction_is_all_or_nothing(self, cls: Any) -> None:
        keep, gone = make(cls, id="a", name="a"), make(cls, id="b", name="b")
        with pytest.raises(RuntimeError), kuv_meta.transaction():
            assert gone.delete()
            make(cls, id="c")
            raise RuntimeError
        assert [r.id for r in cls.load_all()] == ["a", "b"]
        with kuv_meta.transaction():
            assert gone.delete() and not gone.delete()
        assert [r.name for r in cls.load_all()] == [keep.name]

    def test_transaction_serialises_writers_not_readers(self, cls: Any) -> None:
        make(cls, id="n", name="0")

        def bump(_: int) -> None:
            for _ in range(5):
                with kuv_meta.transaction():
                    rec = cls.load("n")
                    rec.name = str(int(rec.name) + 1)
                    rec.save()

        with ThreadPoolExecutor(3) as pool:
            list(pool.map(bump, range(3)))
        assert cls.load("n").name == "15"

        entered, release = threading.Event(), threading.Event()

        def hold() -> None:
            with kuv_meta.transaction():
                cls.load("n")
                entered.set()
                release.wait(60)

        holder = threading.Thread(target=hold)
        holder.start()
        try:
            assert entered.wait(60)
            with ThreadPoolExecutor(1) as pool:
                assert pool.submit(cls.load, "n").result(timeout=60).name == "15"
        finally:
            release.set()
            holder.join()


def has_table(database: Database) -> bool:
    """The records table is there, as the engine itself says."""
    if database.server is None:
        if not os.path.exists(database.url):
            return False
        with contextlib.closing(sqlite3.connect(database.url)) as conn:
            found = conn.execute("SELECT * FROM sqlite_master WHERE name = 'records'").fetchall()
        return bool(found)
    import psycopg

    with psycopg.connect(database.url) as pg:
        return pg.execute("SELECT to_regclass('records')").fetchone() != (None,)


def in_transaction() -> None:
    with kuv_meta.transaction():
        pass


@contextlib.contextmanager
def locked(database: Database) -> Iterator[None]:
    """Another writer holds the store's write lock; after 20 s it lets go, so a wait without
    limit ends, and too late."""
    if database.server is None:
        conn: Any = sqlite3.connect(database.url, isolation_level=None, check_same_thread=False)
        conn.execute("BEGIN IMMEDIATE")
    else:
        import psycopg

        conn = psycopg.connect(database.url, autocommit=True)
        conn.execute("BEGIN")
        conn.execute("LOCK TABLE records IN SHARE ROW EXCLUSIVE MODE")
    release = threading.Timer(20, conn.execute, ["ROLLBACK"])
    release.start()
    try:
        yield
    finally:
        release.cancel()
        with contextlib.suppress(sqlite3.Error):
            conn.execute("ROLLBACK")
        conn.close()


def lock_limited(database: Database, monkeypatch: pytest.MonkeyPatch, seconds: float) -> str:
    """The store with writers' lock waits cut short: by its URL, or SQLite's busy timeout."""
    if database.server is None:
        monkeypatch.setattr(kuv_store, "_BUSY_TIMEOUT", seconds)
        return database.url
    return f"{database.url}?lock_timeout={seconds}"


class TestMadeOnPurpose:
    def test_hosts_make_it_by_writing(self, cls: Any, database: Database) -> None:
        assert not kuv_meta.exists() and not has_table(database)
        make(cls, id="a")
        assert kuv_meta.exists() and has_table(database)

    def test_else_only_create_makes_it(self, cls: Any, database: Database) -> None:
        with kuv_meta.using(database.url, create=False):
            for operation in (lambda: cls.load("a"), lambda: make(cls), in_transaction):
                with pytest.raises(NOT_FOUND, match="^no secret store at "):
                    operation()
            assert not kuv_meta.exists() and not has_table(database)
            old = os.umask(0)
            try:
                assert [kuv_meta.create() for _ in range(2)] == [True, False]
            finally:
                os.umask(old)
            make(cls, id="a")
        assert kuv_meta.exists(database.url) and has_table(database)
        assert not kuv_meta.create(database.url) and cls.load("a") is not None
        if database.server is None:
            assert os.stat(database.url).st_mode & 0o777 == 0o600

    @pytest.mark.parametrize("operation", ["save", "delete", "transaction"])
    def test_writers_wait_for_a_lock_within_limits(
        self, cls: Any, database: Database, monkeypatch: pytest.MonkeyPatch, operation: str
    ) -> None:
        target = lock_limited(database, monkeypatch, 0.3)  # before SQLite's connection is made
        rec = make(cls, id="a", name="old")
        rec.name = "new"
        work = {"save": rec.save, "delete": rec.delete, "transaction": in_transaction}
        with locked(database), kuv_meta.using(target):
            start = time.monotonic()
            with pytest.raises(kuv_meta.StoreBusyError, match="^gave up after 0.3 s .* store at"):
                work[operation]()
            assert 0.25 < time.monotonic() - start < 10
            assert cls.load("a").name == "old"  # readers go on
        with kuv_meta.using(target):
            work[operation]()


class TestSQLiteFile:
    @pytest.fixture
    def cls(self, db: Path) -> Any:
        return declare((kuv_fields, kuv_meta))

    def test_removed_or_replaced_file_is_noticed(
        self, cls: Any, db: Path, tmp_path: Path, monkeypatch: pytest.MonkeyPatch
    ) -> None:
        make(cls, id="old")
        monkeypatch.setenv("KUV_DATABASE", str(tmp_path / "new.sqlite3"))
        make(cls, id="new")
        monkeypatch.setenv("KUV_DATABASE", str(db))
        assert cls.load("old") is not None  # a connection to the first file stays open
        os.replace(tmp_path / "new.sqlite3", db)
        assert cls.load("old") is None and cls.load("new") is not None
        db.unlink()
        with pytest.raises(kuv_meta.StoreNotFoundError):
            cls.load("new")

    def test_failure_mid_transaction_rolls_back(self, cls: Any, db: Path) -> None:
        rec = cls.load(make(cls, name="old").id)  # loaded: saved by an update
        with sqlite3.connect(db) as conn:
            # FAIL keeps the statement's own changes: only the transaction rollback undoes them.
            conn.execute(
                "CREATE TRIGGER boom AFTER UPDATE ON records BEGIN SELECT RAISE(FAIL, 'boom'); END"
            )
        conn.close()
        rec.name = "new"
        with pytest.raises(sqlite3.Error, match="boom"):
            rec.save()
        with sqlite3.connect(db) as conn:
            conn.execute("DROP TRIGGER boom")
            rows = conn.execute("SELECT data FROM records").fetchall()
        conn.close()
        assert [json.loads(r[0])["name"] for r in rows] == ["old"]

    def test_another_programs_database_is_no_store(self, cls: Any, db: Path) -> None:
        with contextlib.closing(sqlite3.connect(db)) as conn:
            conn.execute("CREATE TABLE theirs (x)")
        tables = "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name"
        with kuv_meta.using(str(db), create=False), pytest.raises(NOT_FOUND, match="no records"):
            make(cls)
        with contextlib.closing(sqlite3.connect(db)) as conn:
            assert conn.execute(tables).fetchall() == [("theirs",)]
            assert kuv_meta.create(str(db))
            made = [
                ("kuv_events",),
                ("kuv_settings",),
                ("kuv_versions",),
                ("records",),
                ("theirs",),
            ]
            assert conn.execute(tables).fetchall() == made

    def test_store_is_private(self, cls: Any, db: Path, monkeypatch: pytest.MonkeyPatch) -> None:
        monkeypatch.setenv("KUV_DATABASE", "/" + str(db))  # "//" must not read as a URI authority
        old = os.umask(0)  # the mode must not depend on the umask
        try:
            make(cls)
        finally:
            os.umask(old)
        assert db.stat().st_mode & 0o777 == 0o600

    @pytest.mark.parametrize(
        ("target", "message"),
        [
            ("{dir}", "is not a regular file"),
            ("{dir}/text", "file is not a database"),
            ("/dev/null", "is not a regular file"),
            ("", "^KUV_DATABASE is empty"),
        ],
    )
    def test_unusable_file_is_named(
        self, cls: Any, tmp_path: Path, monkeypatch: pytest.MonkeyPatch, target: str, message: str
    ) -> None:
        (tmp_path / "text").write_text("not a database\n")
        target = target.format(dir=tmp_path)
        monkeypatch.setenv("KUV_DATABASE", target)
        for operation in (lambda: cls.load("x"), lambda: make(cls)):
            with pytest.raises((OSError, ValueError), match=message) as caught:
                operation()
            assert target in str(caught.value) and "KUV_DATABASE" in str(caught.value)
        assert (tmp_path / "text").read_text() == "not a database\n"

    def test_database_read_at_each_use(
        self, cls: Any, tmp_path: Path, monkeypatch: pytest.MonkeyPatch
    ) -> None:
        rec = make(cls, name="n")
        monkeypatch.setenv("KUV_DATABASE", str(tmp_path / "other.sqlite3"))
        with pytest.raises(kuv_meta.StoreNotFoundError, match="other.sqlite3.*KUV_DATABASE"):
            cls.load(rec.id)
        assert not (tmp_path / "other.sqlite3").exists()
        monkeypatch.delenv("KUV_DATABASE")
        monkeypatch.chdir(tmp_path)
        make(cls, id="here")
        assert (tmp_path / "kuv.sqlite3").exists()


NOT_FOUND, UNAVAILABLE = kuv_meta.StoreNotFoundError, kuv_meta.StoreUnavailableError
MISTYPED = r"KUV_DATABASE is not a well-formed PostgreSQL URL \(not shown"


class TestPostgres:
    @pytest.fixture
    def cls(self, pg_server: Server, monkeypatch: pytest.MonkeyPatch) -> Any:
        monkeypatch.setenv("KUV_DATABASE", pg_server.create_database())
        return declare((kuv_fields, kuv_meta))

    @pytest.mark.parametrize(
        ("url", "error", "message"),
        [
            ("{auth}@{sock}:5432/nosuch", NOT_FOUND, "^no secret store at {url} "),
            ("kuv@{sock}:5432/nosuch?password=PW", NOT_FOUND, "at {url} "),
            ("{auth}@{sock}:1/db", UNAVAILABLE, "^cannot connect to .* at {url} "),
            ("postgres://{auth}@127.0.0.1:1/db", UNAVAILABLE, "at {url} "),
            ("{auth}@[::1:1/db", ValueError, "^not a valid PostgreSQL URL: {url} "),
            ("{auth}@PW@{sock}:5432/db", ValueError, "^not a valid .*: postgresql://kuv@%2F"),
            ("kuv:PW?PW@127.0.0.1:1/db", UNAVAILABLE, "at postgresql://kuv@127.0.0.1:1/db "),
            ("kuv:PW/PW#PW@127.0.0.1:1/db", UNAVAILABLE, "at postgresql://kuv@127.0.0.1:1/db "),
            ("127.0.0.1:1/db?password=PW@PW", UNAVAILABLE, "at postgresql://127.0.0.1:1/db "),
            ("kuv@{sock}:5432/nosuch?pass%77ord=PW", NOT_FOUND, "at {url} "),
            ("POSTGRESQL://{auth}@{sock}:5432/db", ValueError, f"^{MISTYPED}"),
            (" postgresql://{auth}@{sock}:5432/db", ValueError, f"^{MISTYPED}"),
            ("kuv@{sock}:5432/db?lock_timeout=soon", ValueError, "lock_timeout takes .*: {url} "),
            ("{auth}@{sock}:5432/db?lock_timeout=-1", ValueError, "lock_timeout takes .*: {url} "),
            ("{auth}@{sock}:5432/db?idle_timeout=nan", ValueError, "idle_timeout takes .*: {url} "),
            ("postgresq://{auth}@{sock}:5432/db", ValueError, "^unsupported store URL '{url}'"),
        ],
    )
    def test_unusable_store_is_named_without_password(
        self,
        pg_server: Server,
        monkeypatch: pytest.MonkeyPatch,
        url: str,
        error: type[Exception],
        message: str,
    ) -> None:
        sock = pg_server.url().split("@")[1].rsplit(":", 1)[0]
        url = url.format(auth="kuv:PW", sock=sock)
        url = url if "://" in url else "postgresql://" + url
        shown = re.sub(r"\?pass(word|%77ord)=PW", "", url.replace(":PW@", "@"))
        expected = message.format(url=re.escape(shown), sock=re.escape(sock))
        monkeypatch.setenv("KUV_DATABASE", url)
        # A refused connection is tried again until the connect limit: a short one here.
        monkeypatch.setattr(kuv_store, "_CONNECT_TIMEOUT", 0.2)
        cls = declare((kuv_fields, kuv_meta))
        for operation in (lambda: cls.load("x"), lambda: make(cls)):
            with pytest.raises(error, match=expected) as caught:
                operation()
            assert "PW" not in str(caught.value) and "PW" not in str(caught.value.__cause__)

    @pytest.mark.parametrize("told", [True, False], ids=["told", "found-out"])
    def test_restarted_server_costs_no_failure(
        self, cls: Any, pg_server: Server, monkeypatch: pytest.MonkeyPatch, told: bool
    ) -> None:
        rec = make(cls, name="before")
        with kuv_meta.transaction():
            rec.save()
        if not told:  # the connection learns of the restart only when it is used
            monkeypatch.setattr(kuv_store, "_readable", lambda fd: False)
        pg_server.restart()
        assert cls.load(rec.id).name == "before"
        pg_server.restart()
        with kuv_meta.transaction():
            rec.name = "after"
            rec.save()
        assert cls.load(rec.id).name == "after"

    def test_lock_limit_stays_in_its_transaction(self, cls: Any) -> None:
        def limit() -> Any:
            conn = kuv_store._connections().slots[os.environ["KUV_DATABASE"]].conn
            return conn.execute("SHOW lock_timeout").fetchone()[0]

        make(cls, id="a")
        with kuv_meta.transaction():
            assert limit() == "30s"
        # A pooler hands the server session to other clients: it must keep the server's default.
        assert limit() == "0"

    def test_engine_is_chosen_at_each_use(
        self, pg_server: Server, tmp_path: Path, monkeypatch: pytest.MonkeyPatch
    ) -> None:
        cls = declare((kuv_fields, kuv_meta))
        urls = [str(tmp_path / "one.sqlite3"), pg_server.create_database()]
        for url in urls:
            monkeypatch.setenv("KUV_DATABASE", url)
            make(cls, id="x", name=url)
        for url in urls:
            monkeypatch.setenv("KUV_DATABASE", url)
            assert cls.load("x").name == url


WORKER = """
import sys
from kuv_fields import StringField
from kuv_meta import VirtualWorker

class Item(VirtualWorker):
    n = StringField()

tag, count = sys.argv[1], int(sys.argv[2])
for i in range(count):
    Item(id=f"{tag}-{i}", n=i, name=tag).save()
    assert Item.load(f"{tag}-{i}").n == i
    Item.load(f"0-{i}")
print(Item.load(sys.argv[3]).name if len(sys.argv) > 3 else "done")
"""


FORK = """
import json, os, kuv_store
from kuv_meta import VirtualWorker

class Item(VirtualWorker):
    pass

def connection():
    return kuv_store._connections().slots[os.environ["KUV_DATABASE"]].conn

Item(id="parent").save()
mine = connection()
pid = os.fork()
if pid == 0:  # leaves through the interpreter's normal exit, finalisers and all
    Item(id="child").save()
    raise SystemExit(connection() is mine)
_, status = os.waitpid(pid, 0)
print(json.dumps([os.waitstatus_to_exitcode(status), Item.load("child").id, connection() is mine]))
"""


def run_worker(database: Database, *args: str, code: str = WORKER) -> subprocess.Popen[str]:
    env = {**os.environ, "KUV_DATABASE": database.url}
    return subprocess.Popen(
        [sys.executable, "-W", "error", "-c", code, *args],
        cwd=Path(__file__).parent,
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )


class TestConcurrency:
    def test_another_process_sees_saved_records(self, database: Database) -> None:
        first = run_worker(database, "a", "3")
        assert first.communicate(timeout=60) == ("done\n", "")
        second = run_worker(database, "b", "1", "a-2")
        assert second.communicate(timeout=60) == ("a\n", "")

    def test_processes_at_once(self, database: Database) -> None:
        procs = [run_worker(database, str(i), "25") for i in range(8)]
        results = [p.communicate(timeout=120) for p in procs]
        assert results == [("done\n", "")] * 8
        item: Any = type("Item", (kuv_meta.VirtualWorker,), {})
        assert len(item.load_all()) == 200

    def test_forked_child_keeps_off_the_parents_connection(self, database: Database) -> None:
        out, err = run_worker(database, code=FORK).communicate(timeout=60)
        assert (out, err) == ('[0, "child", true]\n', "")

    def test_threads_at_once(self, database: Database) -> None:
        cls = declare((kuv_fields, kuv_meta))

        def work(tag: int) -> None:
            for i in range(30):
                make(cls, id=f"{tag}-{i}", name=str(i))
                assert cls.load(f"{tag}-{i}").name == str(i)

        with ThreadPoolExecutor(8) as pool:
            list(pool.map(work, range(8)))
        assert all(cls.load(f"{t}-29").name == "29" for t in range(8))
        # The pool's threads have ended: only this thread's connection may be left.
        deadline = time.monotonic() + 30
        while database.connections() > 1 and time.monotonic() < deadline:
            time.sleep(0.05)
        assert database.connections() == 1


def test_an_open_transaction_outlives_other_stores_used_meanwhile(tmp_path: Path) -> None:
    # More stores than a thread keeps open: the oldest goes, never the one in a transaction.
    cls = declare((kuv_fields, kuv_meta))
    targets = [str(tmp_path / f"s{n}.sqlite3") for n in range(6)]
    for target in targets:
        kuv_store.create(target)
    with kuv_meta.using(targets[0]), kuv_meta.transaction():
        make(cls, id="a")
        for other in targets[1:]:
            kuv_store.exists(other)
        make(cls, id="b")
    with kuv_meta.using(targets[0]):
        assert [r.id for r in cls.load_all()] == ["a", "b"]
