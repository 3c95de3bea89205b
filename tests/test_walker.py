"""Walking dicts and lists to substitute references in every string."""

from __future__ import annotations

import builtins
from collections import OrderedDict, defaultdict
from collections.abc import Callable, Iterator
from functools import partial
from typing import Any

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from kuv_secrets import secrets

import reference  # tests/reference.py: the tests folder is on pytest's pythonpath

Resolve = Callable[[Any, str, Any, Any], Any]


def upper(cls: Any, secret_id: str, owner_name: Any = "", prefix: Any = "") -> str:
    return secret_id.upper()


def pair(resolve: Resolve = upper, **extra: Any) -> tuple[Any, Any]:
    """A Secrets subclass and a reference class resolving with `resolve` and logging each call."""

    def logged(cls: Any, secret_id: str, owner_name: Any = "", prefix: Any = "") -> Any:
        cls.calls.append((secret_id, owner_name, prefix))
        return resolve(cls, secret_id, owner_name, prefix)

    body = {"get_secret_from_id": classmethod(logged), **extra}
    native = type("Native", (secrets.Secrets,), {"calls": [], **body})
    oracle = type("Oracle", (reference.Reference,), {"calls": [], **body})
    return native, oracle


def outcome(run: Callable[[], Any]) -> tuple[str, Any]:
    try:
        result = run()
    except Exception as error:  # noqa: BLE001 - the outcome under comparison
        return ("raised", (type(error), str(error)))
    return ("returned", result)


def shape(value: Any) -> Any:
    """Value and container types, for comparing two walks exactly."""
    if isinstance(value, dict):
        return (type(value), [(k, shape(v)) for k, v in value.items()])
    if isinstance(value, list):
        return (type(value), [shape(v) for v in value])
    return (type(value), value)


def differential(source: Callable[[], Any], resolve: Resolve = upper, **extra: Any) -> Any:
    """Both walks over fresh copies of one structure agree in result or error and in calls."""
    native, oracle = pair(resolve, **extra)
    got = outcome(lambda: native.secret_parser(source(), "owner", "prefix"))
    expected = outcome(lambda: oracle.secret_parser(source(), "owner", "prefix"))
    assert (got[0], shape(got[1])) == (expected[0], shape(expected[1]))
    assert native.calls == oracle.calls
    return got


class TestWalk:
    def test_the_example(self) -> None:
        native, _ = pair()
        inner = ("${{c}}",)
        source = {"x": "${{a}}", "y": [1, "${{b}}"], "z": inner}
        got = native.secret_parser(source)
        assert got == {"x": "A", "y": [1, "B"], "z": inner}
        assert got["z"] is inner
        assert native.calls == [("a", "", ""), ("b", "", "")]
        assert source == {"x": "${{a}}", "y": [1, "${{b}}"], "z": inner}

    def test_keys_are_not_walked(self) -> None:
        native, _ = pair()
        assert native.secret_parser({"${{k}}": "${{v}}"}) == {"${{k}}": "V"}
        assert native.calls == [("v", "", "")]

    @pytest.mark.parametrize("empty", [{}, [], OrderedDict(), type("L", (list,), {})()])
    def test_empty_containers_are_new(self, empty: Any) -> None:
        got = secrets.Secrets.secret_parser(empty)
        assert got == empty and got is not empty
        assert type(got) in (dict, list)

    @pytest.mark.parametrize(
        "leaf", [None, True, 42, 3.5, b"${{a}}", {"${{a}}"}, ("${{a}}",), object(), frozenset()]
    )
    def test_leaves_are_the_same_objects(self, leaf: Any) -> None:
        native, _ = pair()
        assert native.secret_parser(leaf) is leaf
        assert native.secret_parser([leaf])[0] is leaf
        assert native.calls == []

    def test_subclasses_become_plain_containers(self) -> None:
        native, _ = pair()
        source = OrderedDict([("b", "${{x}}"), ("a", defaultdict(list, k=["${{y}}"]))])
        got = native.secret_parser(source)
        assert shape(got) == shape({"b": "X", "a": {"k": ["Y"]}})
        assert type(native.secret_parser(type("L", (list,), {})(["${{z}}"]))) is list
        text = native.secret_parser(type("S", (str,), {})("${{s}}"))
        assert (type(text), text) == (str, "S")

    def test_owner_and_prefix_reach_every_level(self) -> None:
        native, _ = pair()
        native.secret_parser({"a": [{"b": ["${{x}}"]}], "c": "${{y}}"}, "ann", "team.")
        assert native.calls == [("x", "ann", "team."), ("y", "ann", "team.")]

    def test_shared_objects_are_walked_per_occurrence(self) -> None:
        native, _ = pair()
        shared = ["${{a}}"]
        got = native.secret_parser({"one": shared, "two": shared})
        assert got["one"] == got["two"] == ["A"]
        assert got["one"] is not got["two"]
        assert native.calls == [("a", "", "")] * 2

    def test_first_failure_ends_the_walk(self) -> None:
        def third_fails(cls: Any, secret_id: str, *scope: Any) -> str:
            if secret_id == "3":
                raise ValueError("secret id not found")
            return secret_id

        native, _ = pair(third_fails)
        with pytest.raises(ValueError, match="secret id not found"):
            native.secret_parser(["${{1}}", {"k": "${{2}}"}, ["${{3}}"], "${{4}}", "${{5}}"])
        assert [call[0] for call in native.calls] == ["1", "2", "3"]

    def test_call_on_an_instance_and_keywords(self) -> None:
        native, _ = pair()
        record = native.__new__(native)
        assert record.secret_parser(source=["${{a}}"], prefix="p") == ["A"]
        assert native.calls == [("a", "", "p")]


class TestOverrides:
    def test_secret_composer_override_gets_every_string(self) -> None:
        seen: list[tuple[Any, ...]] = []

        def composer(
            cls: Any, raw: Any, manager: Any = None, owner: str = "", prefix: str = ""
        ) -> Any:
            seen.append((raw, manager, owner, prefix))
            return f"<{raw}>"

        native, _ = pair(secret_composer=classmethod(composer))
        got = native.secret_parser({"a": ["x", 1], "b": "${{y}}"}, "o", "p")
        assert got == {"a": ["<x>", 1], "b": "<${{y}}>"}
        assert [s[0] for s in seen] == ["x", "${{y}}"]
        assert all(s[1] == native.get_secret_from_id and s[2:] == ("o", "p") for s in seen)
        assert seen[0][1].__self__ is native

    def test_secret_parser_override_is_used_for_nested_values(self) -> None:
        def parser(cls: Any, source: Any, owner: str = "", prefix: str = "") -> Any:
            cls.visited.append(source)
            return super(cls.base, cls).secret_parser(source, owner, prefix)  # type: ignore[misc]

        native, oracle = pair(secret_parser=classmethod(parser))
        native.base, oracle.base = native, oracle
        native.visited, oracle.visited = [], []
        source = {"a": ["${{x}}", [2]], "b": "t"}
        assert native.secret_parser(source) == oracle.secret_parser(source)
        assert native.visited == oracle.visited
        assert len(native.visited) == 6

    def test_methods_are_looked_up_on_cls_at_each_use(self) -> None:
        native, _ = pair()

        def swap(cls: Any, secret_id: str, *scope: Any) -> str:
            native.get_secret_from_id = classmethod(lambda cls, i, *s: i + "!")
            return secret_id.lower()

        native.get_secret_from_id = classmethod(swap)
        assert native.secret_parser(["${{A}}", "${{B}}"]) == ["a", "B!"]

    def test_a_foreign_bound_parser_receives_its_own_self(self) -> None:
        native, other = pair()[0], pair()[0]
        native.secret_parser = other.secret_parser  # a bound method stored on the class
        walk = secrets.Secrets.__dict__["secret_parser"].__func__
        assert walk(native, ["${{a}}"]) == ["A"]
        assert (native.calls, other.calls) == ([], [("a", "", "")])


class OddItems(dict):  # type: ignore[type-arg]
    """A dict whose items() yields what the test says."""

    def __init__(self, entries: Callable[[], Any]) -> None:
        super().__init__(k="v")
        self.entries = entries

    def items(self) -> Any:
        return self.entries()


class Pairish:
    def __iter__(self) -> Iterator[str]:
        raise TypeError("no iteration today")


class Seq:
    def __getitem__(self, i: int) -> str:
        if i < 2:
            return "kv"[i]
        raise IndexError(i)


def gen() -> Iterator[Any]:
    yield ("a", "${{a}}")
    raise KeyError("generator broke")


class TestOddItems:
    @pytest.mark.parametrize(
        "entries",
        [
            lambda: [(1, 2, 3)],
            lambda: [(1,)],
            lambda: [()],
            lambda: [5],
            lambda: [None],
            lambda: ["ab"],
            lambda: ["abc"],
            lambda: [["k", "${{v}}"]],
            lambda: [iter(["k", "${{v}}"])],
            lambda: [type("T", (tuple,), {"__iter__": lambda s: iter("xy")})(("k", "v"))],
            lambda: [Pairish()],
            lambda: [Seq()],
            lambda: [("k", "${{a}}"), ("k", "${{b}}")],
            lambda: [(["unhashable"], "v")],
            lambda: iter([("k", "${{v}}")]),
            lambda: 5,
            lambda: gen(),
            lambda: {"k": "${{v}}"},
        ],
    )
    def test_as_in_python(self, entries: Callable[[], Any]) -> None:
        differential(lambda: OddItems(entries))

    def test_unpack_messages(self) -> None:
        native, _ = pair()
        with pytest.raises(ValueError, match=r"^too many values to unpack \(expected 2\)$"):
            native.secret_parser(OddItems(lambda: [(1, 2, 3)]))
        with pytest.raises(
            ValueError, match=r"^not enough values to unpack \(expected 2, got 1\)$"
        ):
            native.secret_parser(OddItems(lambda: [[1]]))
        with pytest.raises(TypeError, match=r"^cannot unpack non-iterable int object$"):
            native.secret_parser(OddItems(lambda: [7]))


class TestMutation:
    def test_dict_growing_during_the_walk(self) -> None:
        def grow(cls: Any, secret_id: str, *scope: Any) -> str:
            cls.target[secret_id + "!"] = "x"
            return secret_id

        native, oracle = pair(grow)
        for cls in (native, oracle):
            cls.target = {"a": "${{a}}", "b": "${{b}}"}
        got = outcome(lambda: native.secret_parser(native.target))
        assert got == outcome(lambda: oracle.secret_parser(oracle.target))
        assert got == ("raised", (RuntimeError, "dictionary changed size during iteration"))

    @pytest.mark.parametrize("change", ["swap", "swap back", "pop", "clear", "refill"])
    def test_dict_changing_under_the_same_size(self, change: str) -> None:
        def mutate(cls: Any, secret_id: str, *scope: Any) -> str:
            target = cls.target
            if change == "swap" and secret_id == "a":
                del target["a"]
                target["z"] = "${{z}}"
            elif change == "swap back" and "b" in target:
                del target["b"]
                target["b"] = "${{again}}"
            elif change == "pop" and secret_id == "b":
                target.pop("c")
            elif change == "clear":
                target.clear()
            elif change == "refill" and secret_id == "a":
                target.clear()
                target.update(x="${{x}}", y="${{y}}", w="${{w}}")
            return secret_id

        native, oracle = pair(mutate)
        results = []
        for cls in (native, oracle):
            cls.target = {"a": "${{a}}", "b": "${{b}}", "c": "${{c}}"}
            got = outcome(partial(cls.secret_parser, cls.target))
            results.append((got[0], shape(got[1]), cls.calls))
        assert results[0] == results[1]
        if change == "swap":
            assert results[0][1] == shape(
                (RuntimeError, "dictionary keys changed during iteration")
            )

    @pytest.mark.parametrize("change", ["append", "clear", "pop", "replace"])
    def test_list_changing_during_the_walk(self, change: str) -> None:
        def mutate(cls: Any, secret_id: str, *scope: Any) -> str:
            target = cls.target
            if change == "append" and len(target) < 6:
                target.append(f"${{{{n{len(target)}}}}}")
            elif change == "clear":
                target.clear()
            elif change == "pop" and target:
                target.pop(0)
            elif change == "replace":
                target[:] = [7, 8, 9]
            return secret_id

        native, oracle = pair(mutate)
        results = []
        for cls in (native, oracle):
            cls.target = ["${{a}}", "${{b}}", 7, "${{c}}"]
            results.append((shape(cls.secret_parser(cls.target)), cls.calls))
        assert results[0] == results[1]


class TestRecursion:
    @staticmethod
    def nested(depth: int, wrap: Callable[[Any], Any], leaf: str = "${{deep}}") -> Any:
        value: Any = leaf
        for _ in range(depth):
            value = wrap(value)
        return value

    def assert_usable(self) -> None:
        native, _ = pair()
        for wrap in (lambda v: [v], lambda v: {"k": [v]}):
            got = native.secret_parser(self.nested(100, wrap))
            assert got == self.nested(100, wrap, "DEEP")

    def test_list_containing_itself(self) -> None:
        loop: list[Any] = ["${{a}}"]
        loop.append(loop)
        native, _ = pair()
        with pytest.raises(RecursionError):
            native.secret_parser(loop)
        self.assert_usable()

    def test_dict_that_is_its_own_value(self) -> None:
        loop: dict[str, Any] = {}
        loop["self"] = loop
        with pytest.raises(RecursionError):
            secrets.Secrets.secret_parser(loop)
        self.assert_usable()

    @pytest.mark.parametrize("wrap", [lambda v: [v], lambda v: {"k": v}, lambda v: [{"k": [v]}]])
    def test_very_deep_nesting(self, wrap: Callable[[Any], Any]) -> None:
        deep = self.nested(100_000, wrap)
        native, _ = pair()
        with pytest.raises(RecursionError):
            native.secret_parser(deep)
        assert native.calls == []
        self.assert_usable()

    def test_deep_nesting_through_a_python_override(self) -> None:
        def parser(cls: Any, source: Any, owner: str = "", prefix: str = "") -> Any:
            return super(cls.base, cls).secret_parser(source, owner, prefix)  # type: ignore[misc]

        native, _ = pair(secret_parser=classmethod(parser))
        native.base = native
        with pytest.raises(RecursionError):
            native.secret_parser(self.nested(100_000, lambda v: [v]))
        self.assert_usable()


class TestLookups:
    def test_isinstance_tests_in_order_with_names_looked_up_now(
        self, monkeypatch: pytest.MonkeyPatch
    ) -> None:
        seen: list[Any] = []

        def spy(obj: Any, kind: Any) -> bool:
            seen.append((obj, kind))
            return builtins.isinstance(obj, kind)

        monkeypatch.setattr(secrets, "isinstance", spy, raising=False)
        native, _ = pair()
        leaf = object()
        assert native.secret_parser(leaf) is leaf
        assert seen == [(leaf, dict), (leaf, list), (leaf, str)]

    def test_isinstance_is_looked_up_in_builtins(self, monkeypatch: pytest.MonkeyPatch) -> None:
        seen: list[Any] = []
        real = builtins.isinstance

        def spy(obj: Any, kind: Any) -> bool:
            seen.append(kind)
            return real(obj, kind)

        native, _ = pair()
        monkeypatch.setattr(builtins, "isinstance", spy)
        got = native.secret_parser(["${{a}}"])
        monkeypatch.undo()
        assert got == ["A"]
        assert seen == [dict, list, dict, list, str]

    def test_rebound_type_names(self, monkeypatch: pytest.MonkeyPatch) -> None:
        monkeypatch.setattr(secrets, "dict", tuple, raising=False)
        monkeypatch.setattr(secrets, "list", type(None), raising=False)
        native, _ = pair()
        with pytest.raises(AttributeError, match="'tuple' object has no attribute 'items'"):
            native.secret_parser(("k", "v"))
        with pytest.raises(TypeError, match="'NoneType' object is not iterable"):
            native.secret_parser(None)
        leaf = ["${{a}}"]
        assert native.secret_parser(leaf) is leaf
        assert native.secret_parser("${{a}}") == "A"

    def test_truth_of_a_replacement_isinstance(self, monkeypatch: pytest.MonkeyPatch) -> None:
        native, _ = pair()
        source = {"k": "${{a}}"}
        monkeypatch.setattr(secrets, "isinstance", lambda obj, kind: [], raising=False)
        assert native.secret_parser(source) is source
        monkeypatch.setattr(secrets, "isinstance", lambda obj, kind: kind is str and "yes")
        with pytest.raises(AttributeError, match="'int' object has no attribute 'split'"):
            native.secret_parser(5)


def bracket(cls: Any, raw: Any, *rest: Any) -> str:
    return f"<{raw}>"


real_isinstance = builtins.isinstance


def no_str(obj: Any, kind: Any) -> bool:
    """isinstance, except that the strings of the walk below are no str."""
    return real_isinstance(obj, kind) and not (kind is str and obj.startswith("${{"))


class Meta(type(secrets.Secrets)):  # type: ignore[misc]
    pass


def other_metaclass(native: Any, mp: pytest.MonkeyPatch) -> None:
    class Other(Meta):
        secret_composer = property(lambda cls: partial(bracket, cls))

    native.__class__ = Other


def on(target: Callable[[Any], Any], name: str, value: Any) -> Any:
    return lambda native, mp: mp.setattr(target(native), name, value, raising=False)


MODULE, BUILTINS, CLS = (lambda n: secrets), (lambda n: builtins), (lambda n: n)
BASE, META = (lambda n: n.__bases__[0]), (lambda n: Meta)
NOT_STR = (["A", "${{b}}", "${{c"], ["${{a}}", "${{b}}", "${{c"])
BRACKETED = (["A", "<${{b}}>", "<${{c>"], ["<${{a}}>", "<${{b}}>", "<${{c>"])
UNCHANGED = ["A", "B", "${{c"]

# Each rebinds one name the walk looks up, from inside the resolver at its first call, after a
# first walk made every lookup once: the rest of that walk, and the next walk, see it.
REBINDINGS: dict[str, tuple[Callable[[Any, pytest.MonkeyPatch], None], tuple[Any, Any]]] = {
    "module isinstance": (on(MODULE, "isinstance", no_str), NOT_STR),
    "module str": (on(MODULE, "str", bytes), NOT_STR),
    "module callable": (on(MODULE, "callable", lambda obj: 0), NOT_STR),
    "builtin isinstance": (on(BUILTINS, "isinstance", no_str), NOT_STR),
    "builtin callable": (on(BUILTINS, "callable", lambda obj: 0), NOT_STR),
    # Read once per call, as a def reads its builtins once: the next walk sees it.
    "__builtins__": (
        on(MODULE, "__builtins__", {**vars(builtins), "str": bytes}),
        (UNCHANGED, NOT_STR[1]),
    ),
    "composer on the class": (on(CLS, "secret_composer", classmethod(bracket)), BRACKETED),
    "composer on a base": (on(BASE, "secret_composer", classmethod(bracket)), BRACKETED),
    "composer's classmethod re-initialised": (
        lambda n, mp: vars(n.__bases__[0])["secret_composer"].__init__(bracket),
        BRACKETED,
    ),
    "data descriptor on the metaclass": (
        on(META, "secret_composer", property(lambda cls: partial(bracket, cls))),
        BRACKETED,
    ),
    "plain function on the metaclass": (
        on(META, "secret_composer", bracket),
        (UNCHANGED, UNCHANGED),
    ),
    "another metaclass": (other_metaclass, BRACKETED),
    "parser on the class": (
        on(CLS, "secret_parser", classmethod(lambda cls, source, *scope: "P")),
        (["A", "P", "P"], "P"),
    ),
    "resolver on the class": (
        on(CLS, "get_secret_from_id", classmethod(lambda cls, i, *scope: i + "!")),
        (["A", "b!", "${{c"], ["a!", "b!", "${{c"]),
    ),
}


class TestRebindingDuringAWalk:
    @pytest.mark.parametrize(("rebind", "expected"), REBINDINGS.values(), ids=REBINDINGS.keys())
    def test_takes_effect_at_the_next_use(
        self, monkeypatch: pytest.MonkeyPatch, rebind: Any, expected: tuple[Any, Any]
    ) -> None:
        pending: list[Any] = []

        def resolve(cls: Any, secret_id: str, *scope: Any) -> str:
            while pending:
                pending.pop()(native, monkeypatch)
            return secret_id.upper()

        composer: Any = classmethod(vars(secrets.Secrets)["secret_composer"].__func__)
        base = Meta("Base", (secrets.Secrets,), {"secret_composer": composer})
        native = Meta("Native", (base,), {"get_secret_from_id": classmethod(resolve)})
        source = ["${{a}}", "${{b}}", "${{c"]
        assert native.secret_parser(source) == UNCHANGED
        pending.append(rebind)
        got = native.secret_parser(source), native.secret_parser(source)
        monkeypatch.undo()
        assert got == expected


def containers(children: st.SearchStrategy[Any]) -> st.SearchStrategy[Any]:
    return st.one_of(
        st.lists(children, max_size=4),
        st.dictionaries(st.text(max_size=3), children, max_size=4),
    )


structures = st.recursive(
    st.one_of(
        st.text(alphabet=st.sampled_from("${} a中😀"), max_size=12),
        st.sampled_from(["${{a}}", "x ${{ b }} y", "${{c}}${{", "${{ d }}}}"]),
        st.integers(),
        st.none(),
        st.tuples(st.just("${{t}}")),
    ),
    containers,
    max_leaves=30,
)


class TestAgainstReference:
    @settings(max_examples=200, deadline=None)
    @given(source=structures)
    def test_walks_agree(self, source: Any) -> None:
        differential(lambda: source)

    @settings(max_examples=100, deadline=None)
    @given(source=structures)
    def test_failures_agree(self, source: Any) -> None:
        def picky(cls: Any, secret_id: str, *scope: Any) -> Any:
            return None if secret_id == "c" else secret_id + "é"

        differential(lambda: source, picky)
