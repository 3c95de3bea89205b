"""Adversarial resolvers against the composer and the walker, compared with the Python rendering.

Each example builds one structure twice and hands both walks the same script of resolver
behaviour: plain values, str subclasses with their own `+`, exceptions (also BaseException),
values that are not str, changes to the very structure being walked, and calls back into the
module from inside a resolution. The native walk and the Python one must agree on the result or
the error, on every resolver call, and on what the structure looks like afterwards.
"""

from __future__ import annotations

import os
from collections import OrderedDict
from collections.abc import Callable
from typing import Any, ClassVar

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from kuv_secrets import secrets

import reference  # tests/reference.py: the tests folder is on pytest's pythonpath

LIGHT = os.environ.get("KUV_STRESS") == "light"


def fuzz(examples: int) -> Callable[[Callable[..., None]], Callable[..., None]]:
    return settings(
        max_examples=examples // 5 if LIGHT else examples,
        deadline=None,
        database=None,
        suppress_health_check=[HealthCheck.too_slow],
    )


class Boom(Exception):
    pass


class Stop(BaseException):
    """Not an Exception: nothing on the way may treat it as one."""


class Traced(str):
    """A value whose `+` both walks must call, in the same order."""

    log: ClassVar[list[tuple[str, str]]] = []

    def __add__(self, other: str) -> str:
        Traced.log.append((str(self), other))
        return str.__add__(self, other) + "+"


class Listish(list):  # type: ignore[type-arg]
    pass


# A tree plan: a leaf, ("list" | "listish", [children]) or ("dict" | "ordered", [(key, child)]).
leaves = st.one_of(
    st.sampled_from(["${{a}}", "x ${{ b }} y", "${{c}}${{", "plain", "${{ d }}}}", "é${{中}}😀"]),
    st.integers(-3, 3),
    st.none(),
    st.just(("${{t}}",)),
)
trees = st.recursive(
    leaves,
    lambda children: st.one_of(
        st.tuples(st.sampled_from(["list", "listish"]), st.lists(children, max_size=4)),
        st.tuples(
            st.sampled_from(["dict", "ordered"]),
            st.lists(st.tuples(st.text("abc", max_size=2), children), max_size=4),
        ),
    ),
    max_leaves=16,
)
KINDS = [
    "upper",
    "traced",
    "raise",
    "stop",
    "none",
    "int",
    "mutate",
    "mutate",
    "mutate",
    "reenter_parser",
    "reenter_composer",
]
scripts = st.lists(
    st.tuples(st.sampled_from(KINDS), st.integers(0, 63), st.integers(0, 63)), max_size=12
)


def build(plan: Any, containers: list[Any]) -> Any:
    """The structure of a tree plan; its containers are collected in preorder."""
    if not (isinstance(plan, tuple) and len(plan) == 2 and isinstance(plan[1], list)):
        return plan
    kind, children = plan
    if kind in ("list", "listish"):
        result: Any = [] if kind == "list" else Listish()
        containers.append(result)
        result.extend(build(child, containers) for child in children)
        return result
    result = {} if kind == "dict" else OrderedDict()
    containers.append(result)
    for key, child in children:
        result[key] = build(child, containers)
    return result


def mutate(target: Any, op: int) -> None:
    if isinstance(target, list):
        [
            lambda: target.append("${{m}}"),
            lambda: target.pop() if target else None,
            target.clear,
            lambda: target.insert(0, "${{i}}"),
            target.reverse,
        ][op % 5]()
    else:
        key = next(iter(target), None)
        [
            lambda: target.__setitem__(f"k{op}", "${{n}}"),
            lambda: target.pop(key) if target else None,
            target.clear,
            lambda: target.__setitem__(key, ["${{u}}"]) if target else None,
        ][op % 4]()


def resolve(cls: Any, secret_id: str, owner_name: Any, prefix: Any) -> Any:
    """Plays the next step of the class's script; upper case once the script has run out."""
    cls.calls.append((secret_id, owner_name, prefix))
    if not cls.script:
        return secret_id.upper()
    kind, a, b = cls.script.pop(0)
    containers = cls.containers
    target = containers[a % len(containers)] if containers else None
    if kind == "traced":
        return Traced(secret_id)
    if kind == "raise":
        raise Boom(f"{secret_id} {a}")
    if kind == "stop":
        raise Stop(secret_id)
    if kind == "none":
        return None
    if kind == "int":
        return a
    if kind == "mutate" and target is not None:
        mutate(target, b)
    if kind == "reenter_parser":
        return repr(cls.secret_parser(cls.root if b % 2 else target, owner_name, prefix))
    if kind == "reenter_composer":
        text = f"<${{{{ {secret_id}{a} }}}}|${{{{"
        return cls.secret_composer(text, cls.get_secret_from_id, owner_name, prefix)
    return secret_id + "!"


def shape(value: Any) -> Any:
    if isinstance(value, dict):
        return (type(value).__name__, [(k, shape(v)) for k, v in value.items()])
    if isinstance(value, list):
        return (type(value).__name__, [shape(v) for v in value])
    return (type(value).__name__, value)


class Run:
    """One walk by one implementation over its own copy of the structure."""

    def __init__(self, base: type, plan: Any, script: list[tuple[str, int, int]]) -> None:
        containers: list[Any] = []
        root = build(plan, containers)
        namespace = {
            "get_secret_from_id": classmethod(resolve),
            "calls": [],
            "script": list(script),
            "containers": containers,
            "root": root,
        }
        self.cls: Any = type("Fuzzed", (base,), namespace)
        self.root = root

    def outcome(self, call: Callable[[Any], Any]) -> tuple[Any, ...]:
        Traced.log = []
        try:
            result: tuple[Any, ...] = ("returned", shape(call(self.cls)))
        except (Exception, Stop) as error:  # noqa: BLE001 - the outcome under comparison
            result = ("raised", type(error), str(error))
        return (*result, self.cls.calls, Traced.log, shape(self.root))


def agree(plan: Any, script: list[tuple[str, int, int]], call: Callable[[Any], Any]) -> None:
    native = Run(secrets.Secrets, plan, script).outcome(call)
    oracle = Run(reference.Reference, plan, script).outcome(call)
    assert native == oracle


class TestWalker:
    @fuzz(300)
    @given(plan=trees, script=scripts)
    def test_adversarial_resolvers(self, plan: Any, script: list[tuple[str, int, int]]) -> None:
        agree(plan, script, lambda cls: cls.secret_parser(cls.root, "owner", None))

    @fuzz(100)
    @given(plan=trees, script=scripts)
    def test_walk_reached_through_a_subclass_override(
        self, plan: Any, script: list[tuple[str, int, int]]
    ) -> None:
        def run(cls: Any) -> Any:
            # A Python-level parser between every level: the native walk must not skip it.
            def parser(klass: Any, source: Any, owner_name: str = "", prefix: str = "") -> Any:
                klass.calls.append(("parser", type(source).__name__))
                return base_parser(source, owner_name, prefix)

            base_parser = cls.secret_parser
            cls.secret_parser = classmethod(parser)
            return cls.secret_parser(cls.root)

        agree(plan, script, run)


texts = st.lists(
    st.sampled_from(["${{", "}}", "$", "{", "}", " ", "\t", "a", "b", "é", "中", "😀"]), max_size=24
).map("".join)


class TestComposer:
    @fuzz(300)
    @given(raw=texts, script=scripts, subclass=st.booleans())
    def test_adversarial_resolvers(
        self, raw: str, script: list[tuple[str, int, int]], subclass: bool
    ) -> None:
        text = Traced(raw) if subclass else raw
        agree(
            ("list", [text]),
            script,
            lambda cls: cls.secret_composer(text, cls.get_secret_from_id, "owner", "prefix"),
        )
