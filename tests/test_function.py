"""The native function type against real `def`s with the same signatures."""

import gc
import inspect
import re
import sys
import weakref
from collections.abc import Callable
from typing import Any

import pytest
from cryptography.fernet import Fernet

from kuv_secrets import secrets

import reference as substitution  # tests/reference.py

Secrets = secrets.Secrets

# The same signatures written as Python, compiled under the same qualified names.
REFERENCE_SOURCE = """
def get_top_secret(key: str):
    pass

class Secrets:
    @classmethod
    def secret_parser(cls, source, owner_name: str = "", prefix: str = ""):
        pass

    @classmethod
    def secret_composer(
        cls, raw_string: str, secret_manager=None, owner_name: str = "", prefix: str = ""
    ) -> str:
        pass

    @classmethod
    def encrypt(cls, data: str, key: str) -> str:
        pass

    @classmethod
    def decrypt(cls, data: str, key: str) -> str:
        pass

    @classmethod
    def get_secret_from_id(cls, secret_id: str, owner_name: str = "", prefix: str = "") -> str:
        pass

    def __init__(self, **kwargs):
        pass

    def update_secret(self, new_secret: str):
        pass
"""
reference: dict[str, Any] = {"__name__": "reference"}
exec(REFERENCE_SOURCE, reference)  # noqa: S102
Reference = reference["Secrets"]

CLASS_METHODS = ["secret_parser", "secret_composer", "encrypt", "decrypt", "get_secret_from_id"]
INSTANCE_METHODS = ["__init__", "update_secret"]
METHODS = CLASS_METHODS + INSTANCE_METHODS


def function(owner: Any, name: str) -> Any:
    """The plain function behind a class attribute, unwrapped from its classmethod."""
    if owner is secrets or owner is reference:
        return getattr(secrets, name) if owner is secrets else reference[name]
    raw = vars(owner)[name]
    return raw.__func__ if isinstance(raw, classmethod) else raw


def pairs() -> list[Any]:
    cases = [pytest.param(secrets, reference, "get_top_secret", id="get_top_secret")]
    cases += [pytest.param(Secrets, Reference, m, id=m) for m in METHODS]
    return cases


def outcome(call: Callable[[], Any]) -> tuple[str, str]:
    try:
        call()
    except TypeError as error:
        return "TypeError", str(error)
    return "returned", ""


DOCS = {
    "get_top_secret": "Get Top Secret\n\n    Priority:\n        1. via environment variable\n"
    "        2. via /run/secrets/zam_top_secret (Docker)\n    ",
    "secret_parser": "Parse un string with secret id like ${{}}\n\n        Args:\n"
    "            source (any): Source to be parsed, could be dict, list or str\n"
    "            owner_name (str): limiting the secret scope to a specified owner\n"
    "            prefix (str): limiting the secret scope with name of a given prefix\n\n"
    "        Returns:\n            amy: with secret parsed\n        ",
    "secret_composer": "String level secret parser\n\n        Args:\n"
    "            raw_string (str): String to be parsed\n"
    "            secret_manager: Callable to get the secret value\n"
    "            owner_name (str): limiting the secret scope to a specified owner\n"
    "            prefix (str): limiting the secret scope with name of a given prefix\n\n"
    "        Returns:\n            str: secret id replaced by secret value in the string\n        ",
    "encrypt": "Encrypt data\n\n        Args:\n            data (str): data to be encrypted\n"
    "            key (str): encryption key\n\n        Returns:\n            str: encrypted data\n"
    "        ",
    "get_secret_from_id": "Get secret value from secret id\n\n        Args:\n"
    "            secret_id (str): Secret id from engine\n"
    "            owner_name (str): limiting the secret scope to a specified owner\n"
    "            prefix (str): limiting the secret scope with name of a given prefix\n\n"
    "        Returns:\n\n        ",
    "update_secret": "Update secret value\n\n        Args:\n"
    "            new_secret (str): New secret value\n\n        Returns:\n            self\n        ",
    "__init__": None,
}
CLASS_DOC = (
    "All Secrets should be managed here\n\n    Attributes:\n"
    "        top_secret: Encrypt key of this realm\n"
    "        owner_name (inherited): Owner of the secret\n"
    "        name (inherited): Should be managed as a.b.c.d for the access control\n"
    "        encrypted_secret : Encrypted password\n    "
)


class TestAttributes:
    @pytest.mark.parametrize(("ours", "theirs", "name"), pairs())
    def test_like_a_def(self, ours: Any, theirs: Any, name: str) -> None:
        mine, ref = function(ours, name), function(theirs, name)
        for attr in ("__name__", "__qualname__", "__defaults__", "__kwdefaults__"):
            assert getattr(mine, attr) == getattr(ref, attr), attr
        assert list(mine.__annotations__.items()) == list(ref.__annotations__.items())
        assert inspect.signature(mine) == inspect.signature(ref)
        assert mine.__module__ == "kuv_secrets.secrets"
        assert mine.__globals__ is vars(secrets)

    @pytest.mark.parametrize(("ours", "theirs", "name"), pairs())
    def test_code_describes_the_parameters(self, ours: Any, theirs: Any, name: str) -> None:
        mine, ref = function(ours, name).__code__, function(theirs, name).__code__
        flags = inspect.CO_VARARGS | inspect.CO_VARKEYWORDS
        assert mine.co_flags & flags == ref.co_flags & flags
        for attr in ("co_argcount", "co_posonlyargcount", "co_kwonlyargcount"):
            assert getattr(mine, attr) == getattr(ref, attr), attr
        assert mine.co_varnames[: mine.co_nlocals] == ref.co_varnames[: ref.co_nlocals]
        if sys.version_info >= (3, 11):
            assert mine.co_qualname == ref.co_qualname

    @pytest.mark.parametrize("name", CLASS_METHODS)
    def test_bound_signature(self, name: str) -> None:
        assert inspect.signature(getattr(Secrets, name)) == inspect.signature(
            getattr(Reference, name)
        )

    @pytest.mark.parametrize(("name", "doc"), DOCS.items())
    def test_documentation(self, name: str, doc: str | None) -> None:
        owner = secrets if name == "get_top_secret" else Secrets
        assert function(owner, name).__doc__ == doc

    def test_decrypt_documentation_laid_out_like_encrypt(self) -> None:
        shape = re.compile(
            r"Decrypt data\n\n {8}Args:\n {12}data \(str\): [^\n]+\n {12}key \(str\): [^\n]+\n\n"
            r" {8}Returns:\n {12}str: [^\n]+\n {8}\Z"
        )
        assert shape.match(Secrets.decrypt.__doc__ or "")

    def test_class_documentation(self) -> None:
        assert Secrets.__doc__ == CLASS_DOC

    @pytest.mark.parametrize(("ours", "theirs", "name"), pairs())
    def test_repr(self, ours: Any, theirs: Any, name: str) -> None:
        address = re.compile(r" at 0x[0-9a-f]+>$")
        mine, ref = function(ours, name), function(theirs, name)
        assert address.sub(">", repr(mine)) == address.sub(">", repr(ref))
        assert repr(mine).endswith(f" at {hex(id(mine))}>")


class TestBinding:
    @pytest.mark.parametrize("name", CLASS_METHODS)
    def test_class_methods(self, name: str) -> None:
        class Sub(Secrets):
            pass

        raw = vars(Secrets)[name]
        assert type(raw) is classmethod
        for through, cls in ((Secrets, Secrets), (Secrets(), Secrets), (Sub, Sub), (Sub(), Sub)):
            bound = getattr(through, name)
            assert bound.__self__ is cls
            assert bound.__func__ is raw.__func__

    @pytest.mark.parametrize("name", INSTANCE_METHODS)
    def test_instance_methods(self, name: str) -> None:
        raw = vars(Secrets)[name]
        assert not isinstance(raw, classmethod)
        record = Secrets()
        bound = getattr(record, name)
        assert (bound.__self__, bound.__func__) == (record, raw)
        assert raw.__get__(record, Secrets).__self__ is record
        assert raw.__get__(None, Secrets) is raw
        assert getattr(Secrets, name) is raw

    def test_module_function_binds_to_instances(self) -> None:
        f = secrets.get_top_secret
        holder = object()
        bound = f.__get__(holder)
        assert bound.__self__ is holder and bound.__func__ is f


def call_cases() -> list[Any]:
    """(target name, args, kwargs): wrong calls and some right ones for comparison."""
    f, S = "get_top_secret", "Secrets"
    table: list[tuple[str, str, tuple[Any, ...], dict[str, Any]]] = [
        ("missing", f, (), {}),
        ("surplus", f, ("a", "b"), {}),
        ("unknown", f, (), {"kee": "x"}),
        ("unknown-far", f, (), {"zzzzzz": "x"}),
        ("duplicate", f, ("a",), {"key": "b"}),
        ("missing-two", f"{S}.encrypt", (), {}),
        ("missing-one", f"{S}.encrypt", ("d",), {}),
        ("missing-first", f"{S}.encrypt", (), {"key": "k"}),
        ("surplus-three", f"{S}.encrypt", ("a", "b", "c"), {}),
        ("unknown-typo", f"{S}.encrypt", ("a",), {"kye": "k"}),
        ("duplicate-data", f"{S}.decrypt", ("a",), {"data": "b"}),
        ("missing-three", f"{S}.encrypt.__func__", (), {}),
        ("missing-id", f"{S}.get_secret_from_id", (), {"prefix": "p"}),
        ("surplus-range", f"{S}.get_secret_from_id", ("a", "b", "c", "d"), {}),
        ("surplus-range-5", f"{S}.secret_composer", (1, 2, 3, 4, 5), {}),
        ("unknown-parser", f"{S}.secret_parser", ("s",), {"owner": "o"}),
        ("duplicate-default", f"{S}.secret_parser", ("s", "o"), {"owner_name": "o"}),
        ("update-missing", f"{S}.update_secret", (), {}),
        ("update-surplus", "record.update_secret", ("a", "b"), {}),
        ("update-unknown", "record.update_secret", (), {"new_secrets": "a"}),
        ("init-positional", f"{S}", (1,), {}),
        ("init-missing-self", f"{S}.__init__", (), {}),
        ("init-two-positional", "record.__init__", (1, 2), {"owner_name": "o"}),
    ]
    return [pytest.param(target, args, kwargs, id=case) for case, target, args, kwargs in table]


class NoInit:
    """Stands in for the framework: what the reference __init__ would reach."""


def resolve(target: str, namespace: Any, cls: Any) -> Any:
    root, _, rest = target.partition(".")
    obj: Any = {"get_top_secret": namespace, "Secrets": cls, "record": cls.__new__(cls)}[root]
    if root == "get_top_secret":
        return obj
    for part in rest.split(".") if rest else ():
        obj = getattr(obj, part)
    return obj


class TestWrongCalls:
    @pytest.mark.parametrize(("target", "args", "kwargs"), call_cases())
    def test_same_error_as_a_def(self, target: str, args: Any, kwargs: Any) -> None:
        mine = resolve(target, secrets.get_top_secret, Secrets)
        ref = resolve(target, reference["get_top_secret"], Reference)
        expected = outcome(lambda: ref(*args, **kwargs))
        assert expected[0] == "TypeError"
        assert outcome(lambda: mine(*args, **kwargs)) == expected

    @pytest.mark.parametrize(("target", "args", "kwargs"), call_cases()[:6])
    def test_same_error_through_tp_call(self, target: str, args: Any, kwargs: Any) -> None:
        mine = resolve(target, secrets.get_top_secret, Secrets)
        ref = resolve(target, reference["get_top_secret"], Reference)
        expected = outcome(lambda: type(ref).__call__(ref, *args, **kwargs))
        assert outcome(lambda: type(mine).__call__(mine, *args, **kwargs)) == expected

    def test_non_string_keyword(self) -> None:
        mine: Any = secrets.get_top_secret
        ref = reference["get_top_secret"]
        odd: dict[Any, Any] = {1: 2}
        assert outcome(lambda: mine(**odd)) == outcome(lambda: ref(**odd))


DELETE = object()


def change(target: Any, attr: str, value: Any) -> tuple[str, str]:
    try:
        if value is DELETE:
            delattr(target, attr)
        else:
            setattr(target, attr, value)
    except (TypeError, AttributeError) as error:
        return type(error).__name__, str(error)
    return "changed", ""


class TestMutableAttributes:
    @pytest.mark.parametrize(
        ("attr", "value"),
        [
            ("__name__", 1),
            ("__name__", DELETE),
            ("__qualname__", "Q.renamed"),
            ("__qualname__", None),
            ("__doc__", DELETE),
            ("__module__", DELETE),
            ("__defaults__", ("k",)),
            ("__defaults__", [1]),
            ("__defaults__", DELETE),
            ("__kwdefaults__", 1),
            ("__kwdefaults__", DELETE),
            ("__annotations__", ()),
            ("__annotations__", None),
            ("__annotations__", DELETE),
            ("__dict__", 1),
            ("__dict__", DELETE),
        ],
    )
    def test_change_like_a_def(
        self, monkeypatch: pytest.MonkeyPatch, attr: str, value: Any
    ) -> None:
        mine = secrets.get_top_secret
        fresh: dict[str, Any] = {"__name__": "reference"}
        exec(REFERENCE_SOURCE, fresh)  # noqa: S102 - a reference of its own, changed freely
        ref = fresh["get_top_secret"]
        monkeypatch.setattr(mine, attr, getattr(mine, attr))  # undone after the test
        assert change(mine, attr, value) == change(ref, attr, value)
        assert getattr(mine, attr) == getattr(ref, attr)

    @pytest.mark.parametrize("attr", ["__globals__", "__code__"])
    def test_read_only(self, attr: str) -> None:
        f = secrets.get_top_secret
        before = getattr(f, attr)
        with pytest.raises(AttributeError):
            setattr(f, attr, before)
        assert getattr(f, attr) is before

    def test_defaults_take_effect(self, monkeypatch: pytest.MonkeyPatch) -> None:
        f: Any = secrets.get_top_secret
        monkeypatch.setenv("KUV_H5_DEFAULTED", "from default")
        monkeypatch.setattr(f, "__defaults__", ("kuv_h5_defaulted",))
        assert f() == "from default"
        assert inspect.signature(f).parameters["key"].default == "kuv_h5_defaulted"
        monkeypatch.setattr(f, "__defaults__", None)
        assert outcome(f)[0] == "TypeError"

    def test_class_method_defaults_take_effect(self, monkeypatch: pytest.MonkeyPatch) -> None:
        key = Fernet.generate_key().decode()
        monkeypatch.setattr(vars(Secrets)["encrypt"].__func__, "__defaults__", (key,))
        token = Secrets.encrypt("value")  # type: ignore[call-arg]
        assert Secrets.decrypt(token, key) == "value"

    @pytest.mark.parametrize(
        ("defaults", "args"),
        [
            ((None, "o", "p"), ()),
            (("o", "p"), (len,)),
            (("p",), (len, "o")),
            (("extra", "o", "p"), (len,)),
            (("o",), (len,)),
            ((), (len, "o", "p")),
        ],
    )
    def test_positional_calls_take_the_tail_of_defaults(
        self, monkeypatch: pytest.MonkeyPatch, defaults: tuple[Any, ...], args: tuple[Any, ...]
    ) -> None:
        def run(cls: Any) -> tuple[str, str, list[Any]]:
            seen: list[Any] = []

            def manager(*given: Any) -> str:
                seen.append(given)
                return "v"

            fill = tuple(manager if arg in (len, None) else arg for arg in defaults)
            monkeypatch.setattr(vars(cls)["secret_composer"].__func__, "__defaults__", fill)
            given: tuple[Any, ...] = tuple(manager if arg is len else arg for arg in args)
            kind, message = outcome(lambda: cls.secret_composer("${{x}}", *given))
            return kind, message.replace(cls.__name__, "Secrets"), seen

        assert run(Secrets) == run(substitution.Reference)

    def test_renamed_function_reports_its_new_name(self, monkeypatch: pytest.MonkeyPatch) -> None:
        f: Any = secrets.get_top_secret
        monkeypatch.setattr(f, "__qualname__", "Q.renamed")
        with pytest.raises(TypeError, match=r"^Q\.renamed\(\) missing"):
            f()

    def test_instance_dict(self, monkeypatch: pytest.MonkeyPatch) -> None:
        f = secrets.get_top_secret
        monkeypatch.setattr(f, "__dict__", {})
        f.marker = 1  # type: ignore[attr-defined]
        assert f.__dict__ == {"marker": 1}
        f.__dict__ = {"other": 2}
        assert f.other == 2  # type: ignore[attr-defined]
        assert not hasattr(f, "marker")


class TestMemory:
    @pytest.mark.parametrize(("ours", "theirs", "name"), pairs())
    def test_traversed_by_the_collector(self, ours: Any, theirs: Any, name: str) -> None:
        f = function(ours, name)
        assert gc.is_tracked(f)
        held = [f.__dict__, f.__globals__, f.__code__, f.__annotations__, type(f)]
        if f.__defaults__ is not None:
            held.append(f.__defaults__)
        referents = gc.get_referents(f)
        for obj in held:
            assert any(r is obj for r in referents), obj

    def test_weak_references(self) -> None:
        f = secrets.get_top_secret
        assert weakref.ref(f)() is f
