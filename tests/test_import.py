"""Start-up of the compiled module, each case in a fresh interpreter."""

from __future__ import annotations

import os
import textwrap
from collections.abc import Callable
from pathlib import Path

import pytest

import support  # tests/support.py: the tests folder is on pytest's pythonpath

FAKE = support.FAKE_FRAMEWORK

NINE = [
    "os",
    "Path",
    "uuid",
    "Fernet",
    "StringField",
    "BooleanField",
    "VirtualWorker",
    "get_top_secret",
    "Secrets",
]
BODY = [
    "__module__",
    "__doc__",
    "__qualname__",
    "top_secret",
    "encrypted_secret",
    "is_file",
    "file_path",
    "file_name",
    "secret_parser",
    "secret_composer",
    "encrypt",
    "decrypt",
    "get_secret_from_id",
    "__init__",
    "update_secret",
]

MakeFramework = Callable[..., Path]


@pytest.fixture
def framework(tmp_path: Path) -> MakeFramework:
    """Writes the recording fake framework with extra source appended to either module."""

    def make(fields: str = "", meta: str = "") -> Path:
        folder = tmp_path / "framework"
        folder.mkdir(exist_ok=True)
        for name, extra in (("kuv_fields", fields), ("kuv_meta", meta)):
            source = (FAKE / f"{name}.py").read_text() + "\n" + extra
            (folder / f"{name}.py").write_text(source)
        return folder

    return make


# Imports the module and reports how it failed; EXTRA takes more entries of the report.
FAILED_IMPORT = """
import sys
import kuv_fields
try:
    from kuv_secrets import secrets
except Exception as caught:
    error = caught
else:
    raise SystemExit("the import succeeded")
emit({
    EXTRA
    "type": type(error).__name__,
    "message": str(error),
    "registered": "kuv_secrets.secrets" in sys.modules,
    "same": error is getattr(kuv_fields, "ERROR", None),
    "bare": error.__context__ is None and error.__cause__ is None,
})
"""


def failed_import(extra: str = "") -> str:
    return FAILED_IMPORT.replace("EXTRA", extra)


class TestNamespace:
    def test_public_names_in_order_and_star_import(self) -> None:
        out = support.run_json("""
            from kuv_secrets import secrets
            star = {}
            exec("from kuv_secrets.secrets import *", star)
            emit({
                "public": [k for k in vars(secrets) if not k.startswith("_")],
                "star": [k for k in star if k != "__builtins__"],
                "all": hasattr(secrets, "__all__"),
                "bound": all(star[k] is getattr(secrets, k) for k in star if k != "__builtins__"),
            })
            """)
        assert out == {"public": NINE, "star": NINE, "all": False, "bound": True}

    def test_bindings_are_the_imported_objects(self) -> None:
        out = support.run_json("""
            import os, uuid, pathlib, cryptography.fernet, kuv_fields, kuv_meta
            from kuv_secrets import secrets as s
            emit([
                s.os is os, s.uuid is uuid, s.Path is pathlib.Path,
                s.Fernet is cryptography.fernet.Fernet, s.StringField is kuv_fields.StringField,
                s.BooleanField is kuv_fields.BooleanField,
                s.VirtualWorker is kuv_meta.VirtualWorker,
            ])
            """)
        assert out == [True] * 7

    @pytest.mark.parametrize("dotted", [True, False], ids=["submodule", "top-level"])
    def test_names_and_standard_attributes(self, dotted: bool) -> None:
        name = "kuv_secrets.secrets" if dotted else "secrets"
        load = (
            "from kuv_secrets import secrets"
            if dotted
            else f"sys.path.insert(0, {str(support.package_dir())!r}); import secrets"
        )
        out = support.run_json(f"""
            import importlib.util, os, sys
            assert "secrets" not in sys.modules
            {load}
            S = secrets.Secrets
            spec = importlib.util.find_spec({name!r})
            emit({{
                "name": secrets.__name__,
                "package": secrets.__package__,
                "modules": [S.__module__, secrets.get_top_secret.__module__,
                            S.encrypt.__module__, S.__init__.__module__],
                "registered": sys.modules[{name!r}] is secrets,
                "doc": secrets.__doc__, "cached": secrets.__cached__,
                "file": secrets.__file__ == os.path.realpath(spec.origin),
                "spec": [secrets.__spec__.name, secrets.__spec__.origin == spec.origin],
                "loader": secrets.__loader__ == secrets.__spec__.loader,
                "builtins": "__builtins__" in vars(secrets),
            }})
            """)
        assert out == {
            "name": name,
            "package": "kuv_secrets" if dotted else out["package"],
            "modules": [name] * 4,
            "registered": True,
            "doc": None,
            "cached": None,
            "file": True,
            "spec": [name, True],
            "loader": True,
            "builtins": True,
        }
        if not dotted:
            assert not out["package"]

    def test_the_standard_library_secrets_is_not_shadowed(self) -> None:
        out = support.run_json("""
            import sys
            from kuv_secrets import secrets as ours
            registered = "secrets" in sys.modules
            import secrets
            emit([registered, secrets is ours, callable(getattr(secrets, "token_hex", None))])
            """)
        assert out == [False, False, True]


class TestRealmKeyAtImport:
    """The lookup that the class body runs, with the environment and secret files faked."""

    PROBE = """
    import builtins, io, os, sys
    LOG = []
    DIR = "/run/secrets/"

    class Environ(dict):
        def get(self, key, *default):
            LOG.append(["get", key, *default])
            return super().get(key, *default)

    saved = os.environ, os.path.exists, builtins.open

    def exists(path):
        if not path.startswith(DIR):
            return saved[1](path)
        LOG.append(["exists", path])
        return path in FILES

    def fake_open(path, *args, **kwargs):
        if path not in FILES:
            return saved[2](path, *args, **kwargs)
        LOG.append(["open", path, *args])
        return io.StringIO(FILES[path])

    os.environ, os.path.exists, builtins.open = Environ(os.environ), exists, fake_open
    try:
        from kuv_secrets import secrets
    finally:
        os.environ, os.path.exists, builtins.open = saved
    emit({
        "key": secrets.Secrets.top_secret,
        "log": [e for e in LOG if e[0] != "get" or e[1] in WATCH],
    })
    """

    @pytest.mark.parametrize(
        ("env", "files", "key", "log"),
        [
            pytest.param(
                {},
                {},
                "",
                [["get", "KUV_TOP_SECRET", ""], ["exists", "/run/secrets/kuv_top_secret"]],
                id="nothing",
            ),
            pytest.param(
                {"KUV_TOP_SECRET": "env-key\n"},
                {"/run/secrets/kuv_top_secret": "file-key"},
                "env-key\n",
                [["get", "KUV_TOP_SECRET", ""], ["get", "KUV_TOP_SECRET"]],
                id="environment-wins",
            ),
            pytest.param(
                {"KUV_TOP_SECRET": ""},
                {"/run/secrets/kuv_top_secret": " \t file key \n"},
                "file key",
                [
                    ["get", "KUV_TOP_SECRET", ""],
                    ["exists", "/run/secrets/kuv_top_secret"],
                    ["open", "/run/secrets/kuv_top_secret", "r"],
                ],
                id="empty-variable-then-file",
            ),
            pytest.param(
                {"KUV_SECRET_NAME": "Top_Key", "TOP_KEY": "t", "KUV_TOP_SECRET": "wrong"},
                {},
                "t",
                [["get", "TOP_KEY", ""], ["get", "TOP_KEY"]],
                id="named-variable",
            ),
            pytest.param(
                {"KUV_SECRET_NAME": "Top_Key", "KUV_TOP_SECRET": "wrong"},
                {"/run/secrets/top_key": "f"},
                "f",
                [
                    ["get", "TOP_KEY", ""],
                    ["exists", "/run/secrets/top_key"],
                    ["open", "/run/secrets/top_key", "r"],
                ],
                id="named-file",
            ),
            pytest.param(
                {"KUV_SECRET_NAME": "", "KUV_TOP_SECRET": "wrong"},
                {"/run/secrets/kuv_top_secret": "wrong"},
                "",
                [["get", "", ""], ["exists", "/run/secrets/"]],
                id="empty-name",
            ),
        ],
    )
    def test_key_sources(
        self, env: dict[str, str], files: dict[str, str], key: str, log: list[list[str]]
    ) -> None:
        watch = {"", "KUV_TOP_SECRET", "TOP_KEY"}
        code = f"FILES = {files!r}\nWATCH = {watch!r}\n" + textwrap.dedent(self.PROBE)
        out = support.run_json(code, env=env)
        assert out == {"key": key, "log": log}

    def test_name_variable_read_once_with_default(self) -> None:
        code = "FILES = {}\nWATCH = {'KUV_SECRET_NAME'}\n" + textwrap.dedent(self.PROBE)
        out = support.run_json(code)
        gets = [entry for entry in out["log"] if entry[0] == "get"]
        assert gets == [["get", "KUV_SECRET_NAME", "kuv_top_secret"]]

    def test_empty_name_on_this_machine(self) -> None:
        proc = support.run_python(
            "from kuv_secrets import secrets\nemit(secrets.Secrets.top_secret)",
            env={"KUV_SECRET_NAME": ""},
        )
        if os.path.isdir("/run/secrets"):
            assert proc.returncode != 0
            assert "IsADirectoryError" in proc.stderr
        else:
            assert proc.returncode == 0, proc.stderr
            assert proc.stdout.splitlines()[-1] == '""'

    def test_unreadable_secret_file_fails_the_import(self) -> None:
        out = support.run_json("""
            import builtins, os, sys
            ERROR = PermissionError(13, "denied", "/run/secrets/kuv_top_secret")
            def refuse(*args, **kwargs):
                raise ERROR
            saved = os.path.exists, builtins.open
            os.path.exists = lambda p: p.startswith("/run/secrets/") or saved[0](p)
            builtins.open = refuse
            try:
                from kuv_secrets import secrets
            except PermissionError as error:
                caught = error
            finally:
                os.path.exists, builtins.open = saved
            emit([caught is ERROR, "kuv_secrets.secrets" in sys.modules])
            """)
        assert out == [True, False]


def test_imports_go_through_the_hosts_import() -> None:
    out = support.run_json("""
        import builtins
        calls = []
        real = builtins.__import__

        def recording(name, globals=None, locals=None, fromlist=(), level=0):
            if globals is not None and globals.get("__name__") == "kuv_secrets.secrets":
                calls.append([name, locals, type(fromlist).__name__, fromlist and list(fromlist),
                              level, "VirtualWorker" in globals])
            return real(name, globals, locals, fromlist, level)

        builtins.__import__ = recording
        try:
            from kuv_secrets import secrets
        finally:
            builtins.__import__ = real
        emit(calls)
        """)
    assert out == [
        ["pathlib", None, "tuple", ["Path"], 0, False],
        ["uuid", None, "NoneType", None, 0, False],
        ["cryptography.fernet", None, "tuple", ["Fernet"], 0, False],
        ["kuv_fields", None, "tuple", ["StringField", "BooleanField"], 0, False],
        ["kuv_meta", None, "tuple", ["VirtualWorker"], 0, False],
    ]


class TestOnce:
    def test_second_import_runs_nothing_again(self) -> None:
        out = support.run_json(
            """
            import importlib, os, sys
            LOG = []

            class Environ(dict):
                def get(self, key, *default):
                    LOG.append(key)
                    return super().get(key, *default)

            import kuv_meta
            kuv_meta.reset()
            real = os.environ
            os.environ = Environ(real)
            try:
                from kuv_secrets import secrets as first
                again = importlib.import_module("kuv_secrets.secrets")
                import kuv_secrets.secrets
                from kuv_secrets import secrets as third
            finally:
                os.environ = real
            import kuv_fields, kuv_meta
            emit({
                "same": first is again is kuv_secrets.secrets is third,
                "lookups": [k for k in LOG if k in ("KUV_SECRET_NAME", "KUV_TOP_SECRET")],
                "fields": len(kuv_fields.CALLS),
                "body": kuv_meta.NAMESPACE_LOG.count("top_secret"),
            })
            """,
            path=[FAKE],
        )
        assert out == {
            "same": True,
            "lookups": ["KUV_SECRET_NAME", "KUV_TOP_SECRET"],
            "fields": 4,
            "body": 1,
        }

    def test_key_fixed_at_class_creation(self) -> None:
        out = support.run_json(
            """
            import os
            from kuv_secrets import secrets
            os.environ["KUV_TOP_SECRET"] = "later"
            emit([secrets.Secrets.top_secret, secrets.get_top_secret("kuv_top_secret")])
            """,
            env={"KUV_TOP_SECRET": "first"},
        )
        assert out == ["first", "later"]


class TestClassCreation:
    """Class creation against the recording fake, whose namespace is not a dict."""

    def test_body_order_and_field_calls(self) -> None:
        out = support.run_json(
            """
            import kuv_fields, kuv_meta
            kuv_meta.reset()
            from kuv_secrets import secrets
            S = secrets.Secrets
            emit({
                "namespace": kuv_meta.NAMESPACE_LOG,
                "fields": kuv_fields.CALLS,
                "orig": "__orig_bases__" in vars(S),
                "mro": [c.__name__ for c in S.__mro__],
                "meta": type(S) is type(kuv_meta.VirtualWorker),
                "qualname": S.__qualname__,
                "defaults": [S.is_file, S.file_path],
            })
            """,
            path=[FAKE],
        )
        assert out == {
            "namespace": BODY,
            "fields": [
                ["StringField", [], {}],
                ["BooleanField", [], {"default": False}],
                ["StringField", [], {"default": "."}],
                ["StringField", [], {}],
            ],
            "orig": False,
            "mro": ["Secrets", "VirtualWorker", "object"],
            "meta": True,
            "qualname": "Secrets",
            "defaults": [False, "."],
        }

    def test_mro_entries_base(self, framework: MakeFramework) -> None:
        meta = """
        ENTRY_CALLS = []
        class Alias:
            def __mro_entries__(self, bases):
                ENTRY_CALLS.append(bases)
                return (RealWorker,)
        RealWorker = VirtualWorker
        VirtualWorker = Alias()
        """
        out = support.run_json(
            """
            import kuv_meta
            kuv_meta.reset()
            from kuv_secrets import secrets
            S = secrets.Secrets
            alias = kuv_meta.VirtualWorker
            emit({
                "bases": S.__bases__ == (kuv_meta.RealWorker,),
                "orig": vars(S)["__orig_bases__"] == (alias,),
                "entries": kuv_meta.ENTRY_CALLS == [(alias,)],
                "namespace": kuv_meta.NAMESPACE_LOG,
            })
            """,
            path=[framework(meta=textwrap.dedent(meta))],
        )
        assert out == {
            "bases": True,
            "orig": True,
            "entries": True,
            "namespace": [*BODY, "__orig_bases__"],
        }

    def test_body_names_found_in_the_namespace_first(self, framework: MakeFramework) -> None:
        meta = """
        def _lookup(key):
            return "namespace:" + key
        class Shadowing(FakeMeta):
            @classmethod
            def __prepare__(mcls, name, bases, /, **kwargs):
                ns = RecordingNamespace()
                ns._data.update(str="STR", get_top_secret=_lookup)
                return ns
        class VirtualWorker(VirtualWorker, metaclass=Shadowing):
            pass
        """
        out = support.run_json(
            """
            from kuv_secrets import secrets
            S = secrets.Secrets
            emit([S.top_secret, S.encrypt.__annotations__,
                  secrets.get_top_secret.__annotations__ == {"key": str}])
            """,
            path=[framework(meta=textwrap.dedent(meta))],
        )
        # get_top_secret is made at module level, outside the class namespace.
        assert out == [
            "namespace:kuv_top_secret",
            {"data": "STR", "key": "STR", "return": "STR"},
            True,
        ]

    def test_init_super_reaches_the_framework(self) -> None:
        out = support.run_json(
            """
            import kuv_meta
            from kuv_secrets import secrets
            secrets.Secrets(owner_name="o", encrypted_secret="tok")
            emit(kuv_meta.INIT_CALLS)
            """,
            path=[FAKE],
        )
        assert out == [["Secrets", [["owner_name", "o"], ["encrypted_secret", "tok"]]]]


class TestFailedStartUp:
    def test_missing_framework_then_retry(self) -> None:
        out = support.run_json("""
            import os, sys
            import kuv_secrets, cryptography.fernet, pathlib, uuid
            saved = list(sys.path)
            sys.path[:] = [p for p in saved
                           if not os.path.exists(os.path.join(p or ".", "kuv_fields.py"))]
            try:
                from kuv_secrets import secrets
            except ModuleNotFoundError as error:
                first = [error.name, "kuv_secrets.secrets" in sys.modules,
                         hasattr(kuv_secrets, "secrets")]
            sys.path[:] = saved
            from kuv_secrets import secrets
            emit(first + [sys.modules["kuv_secrets.secrets"] is secrets,
                          [k for k in vars(secrets) if not k.startswith("_")]])
            """)
        assert out == ["kuv_fields", False, False, True, NINE]

    @pytest.mark.parametrize(
        ("fields", "meta", "kind"),
        [
            pytest.param(
                "ERROR = LookupError('no strings')\n"
                "class StringField(Field):\n"
                "    def __init__(self, **kwargs):\n"
                "        raise ERROR\n",
                "",
                "LookupError",
                id="field-constructor",
            ),
            pytest.param(
                "",
                "import kuv_fields\n"
                "kuv_fields.ERROR = ERROR = ArithmeticError('prepare')\n"
                "class Meta(FakeMeta):\n"
                "    @classmethod\n"
                "    def __prepare__(mcls, *args, **kwargs):\n"
                "        raise ERROR\n"
                "class VirtualWorker(VirtualWorker, metaclass=Meta):\n"
                "    pass\n",
                "ArithmeticError",
                id="prepare-raises",
            ),
            pytest.param(
                "",
                "import kuv_fields\n"
                "kuv_fields.ERROR = ERROR = KeyError('new')\n"
                "class Meta(FakeMeta):\n"
                "    def __new__(mcls, name, bases, ns, **kwargs):\n"
                "        if name == 'Secrets':\n"
                "            raise ERROR\n"
                "        return super().__new__(mcls, name, bases, ns, **kwargs)\n"
                "class VirtualWorker(VirtualWorker, metaclass=Meta):\n"
                "    pass\n",
                "KeyError",
                id="metaclass-raises",
            ),
        ],
    )
    def test_exception_reaches_the_importer_unchanged(
        self, framework: MakeFramework, fields: str, meta: str, kind: str
    ) -> None:
        out = support.run_json(failed_import(), path=[framework(fields=fields, meta=meta)])
        assert out["type"] == kind
        assert out["registered"] is False
        assert out["same"] is True
        assert out["bare"] is True

    @pytest.mark.parametrize(
        "meta",
        [
            pytest.param(
                "class MA(type): pass\n"
                "class MB(type): pass\n"
                "class A(metaclass=MA): pass\n"
                "class B(metaclass=MB): pass\n"
                "class Alias:\n"
                "    def __mro_entries__(self, bases):\n"
                "        return (A, B)\n"
                "VirtualWorker = Alias()\n",
                id="metaclass-conflict",
            ),
            pytest.param(
                "class BadMeta(type):\n"
                "    @classmethod\n"
                "    def __prepare__(mcls, name, bases, **kwargs):\n"
                "        return 42 if name == 'Secrets' else {}\n"
                "class VirtualWorker(metaclass=BadMeta):\n"
                "    pass\n",
                id="prepare-not-a-mapping",
            ),
        ],
    )
    def test_class_creation_errors_match_a_class_statement(
        self, framework: MakeFramework, meta: str
    ) -> None:
        # The same interpreter words the error for a class statement first.
        statement = (
            "import kuv_meta\n"
            "try:\n"
            "    exec('class Secrets(VirtualWorker): pass', vars(kuv_meta).copy())\n"
            "except TypeError as statement_error:\n"
            "    expected = str(statement_error)\n"
        )
        out = support.run_json(
            statement + failed_import('"expected": expected,'), path=[framework(meta=meta)]
        )
        assert out["type"] == "TypeError"
        assert out["message"] == out["expected"]
        assert out["message"].startswith(("metaclass conflict: ", "BadMeta.__prepare__() "))
        assert out["registered"] is False

    def test_missing_name_message(self, framework: MakeFramework) -> None:
        folder = framework(meta="del VirtualWorker\n")
        out = support.run_json(
            """
            import sys
            try:
                from kuv_secrets import secrets
            except ImportError as error:
                emit([type(error).__name__, str(error), error.name, error.path,
                      "kuv_secrets.secrets" in sys.modules])
            """,
            path=[folder],
        )
        location = str(folder / "kuv_meta.py")
        assert out == [
            "ImportError",
            f"cannot import name 'VirtualWorker' from 'kuv_meta' ({location})",
            "kuv_meta",
            location,
            False,
        ]

    def test_missing_name_found_in_the_registry(self, framework: MakeFramework) -> None:
        meta = (
            "import sys\nsys.modules['kuv_meta.VirtualWorker'] = VirtualWorker\ndel VirtualWorker\n"
        )
        out = support.run_json(
            """
            import sys
            from kuv_secrets import secrets
            emit(secrets.VirtualWorker is sys.modules["kuv_meta.VirtualWorker"])
            """,
            path=[framework(meta=meta)],
        )
        assert out is True

    def test_failure_keeps_earlier_bindings_in_the_discarded_module(
        self, framework: MakeFramework
    ) -> None:
        meta = (
            "import kuv_fields\n"
            "from kuv_secrets import secrets as _partial\n"
            "kuv_fields.PARTIAL = _partial\n"
            "kuv_fields.ERROR = ERROR = RuntimeError('broken framework')\n"
            "raise ERROR\n"
        )
        out = support.run_json(
            failed_import('"partial": [k for k in vars(kuv_fields.PARTIAL) if k[0] != "_"],'),
            path=[framework(meta=meta)],
        )
        assert out["partial"] == NINE[:6]
        assert out["registered"] is False
        assert out["same"] is True


class TestPartlyInitialised:
    GRAB = (
        "from kuv_secrets import secrets as _partial\n"
        "SEEN = [k for k in vars(_partial) if not k.startswith('_')]\n"
        "PARTIAL = _partial\n"
    )

    @pytest.mark.parametrize(("module", "seen"), [("kuv_fields", NINE[:4]), ("kuv_meta", NINE[:6])])
    def test_framework_importing_the_module(
        self, framework: MakeFramework, module: str, seen: list[str]
    ) -> None:
        folder = framework(**{"fields" if module == "kuv_fields" else "meta": self.GRAB})
        out = support.run_json(
            f"""
            from kuv_secrets import secrets
            import {module} as grabbed
            emit([grabbed.SEEN, grabbed.PARTIAL is secrets])
            """,
            path=[folder],
        )
        assert out == [seen, True]
