"""Substituting ${{ id }} references inside one string."""

from __future__ import annotations

import builtins
import sys
from collections.abc import Callable
from typing import Any, ClassVar

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from kuv_secrets import secrets

import reference  # tests/reference.py: the tests folder is on pytest's pythonpath

compose: Any = secrets.Secrets.secret_composer  # called with odd types on purpose


class Log:
    """A resolver that records its calls and answers through `answer`."""

    def __init__(self, answer: Callable[[str], Any] = str.upper) -> None:
        self.answer = answer
        self.calls: list[tuple[Any, ...]] = []

    def __call__(self, secret_id: str, owner_name: Any, prefix: Any) -> Any:
        self.calls.append((type(secret_id), secret_id, owner_name, prefix))
        return self.answer(secret_id)

    @property
    def ids(self) -> list[str]:
        return [call[1] for call in self.calls]


def outcome(run: Callable[[], Any]) -> tuple[str, Any]:
    try:
        result = run()
    except Exception as error:  # noqa: BLE001 - the outcome under comparison
        return ("raised", (type(error), str(error)))
    return ("returned", (type(result), result))


def differential(raw: Any, answer: Callable[[str], Any], owner: Any = "", prefix: Any = "") -> None:
    """The module and the reference agree on result or error, and on every resolver call."""
    ours, theirs = Log(answer), Log(answer)
    got = outcome(lambda: compose(raw, ours, owner, prefix))
    expected = outcome(lambda: reference.compose(raw, theirs, owner, prefix))
    assert got == expected
    assert ours.calls == theirs.calls


TABLE = [
    ("a ${{ b }} c", ["b"], "a B c"),
    ("${{b}}", ["b"], "B"),
    ("x ${{a}} y ${{b}} z", ["a", "b"], "x A y B z"),
    ("${{a}}${{b}}", ["a", "b"], "AB"),
    ("${{ x }}${{ x }}", ["x", "x"], "XX"),
    ("a }} b", [], "a }} b"),
    ("abc ${{", [], "abc ${{"),
    ("a ${{ b }} c ${{ d", ["b"], "a B c ${{ d"),
    ("${{}}", [""], ""),
    ("${{ a ${{ b }} c }}", ["b"], "${{ a B c }}"),
    ("${{${{a}}}}", ["a"], "${{A}}"),
    ("${{ a }} b }} c", ["a"], "A b }} c"),
    ("${{{x}}}", ["{x"], "{X}"),
    ("$${{x}}", ["x"], "$X"),
    ("}}${{a}}}}", ["a"], "}}A}}"),
    ("${{ a b }}", ["a b"], "A B"),
    ("${ {a}}", [], "${ {a}}"),
    ("${{a} }", [], "${{a} }"),
    ("", [], ""),
    ("${{   }}", [""], ""),
    ("${{\t\n a \r\x0b\x0c}}", ["a"], "A"),
    ("${{\x85\u3000\u2028a b\xa0}}", ["a b"], "A B"),
    ("${{}}}", [""], "}"),
    ("${{ x }}${{", ["x"], "X${{"),
    ("${{}}${{}}", ["", ""], ""),
]


class TestTable:
    @pytest.mark.parametrize(("raw", "ids", "result"), TABLE)
    def test_row(self, raw: str, ids: list[str], result: str) -> None:
        log = Log()
        assert compose(raw, log) == result
        assert log.ids == ids
        assert all(call[0] is str for call in log.calls)

    @pytest.mark.parametrize(("raw", "ids", "result"), TABLE)
    def test_row_as_a_str_subclass(self, raw: str, ids: list[str], result: str) -> None:
        log = Log()
        got = compose(type("Text", (str,), {})(raw), log)
        assert (type(got), got, log.ids) == (str, result, ids)

    def test_values_are_inserted_literally(self) -> None:
        log = Log(lambda secret_id: "${{" + secret_id + "}}")
        assert compose("<${{a}}>", log) == "<${{a}}>"
        assert log.ids == ["a"]


class TestNoSubstitution:
    @pytest.mark.parametrize("raw", [None, 42, 3.5, ["${{a}}"], b"${{a}}", "${{a}}", ""])
    @pytest.mark.parametrize("resolver", [None, "resolver", 7])
    def test_resolver_not_callable_gives_the_same_object(self, raw: Any, resolver: Any) -> None:
        assert compose(raw, resolver) is raw

    @pytest.mark.parametrize("raw", ["", "plain text", "a }} b", "x" * 10_000, "é中😀 $ { }"])
    def test_text_without_reference_is_the_same_object(self, raw: str) -> None:
        log = Log()
        assert compose(raw, log) is raw
        assert log.calls == []


class TestScope:
    def test_owner_and_prefix_reach_the_resolver_unchanged(self) -> None:
        owner, prefix = object(), ["p"]
        log = Log()
        compose("${{a}}${{b}}", log, owner, prefix)
        assert [call[2:] for call in log.calls] == [(owner, prefix)] * 2
        assert log.calls[0][2] is owner and log.calls[0][3] is prefix

    def test_defaults_are_empty_strings(self) -> None:
        log = Log()
        compose("${{a}}", log)
        assert log.calls == [(str, "a", "", "")]


class Plus:
    """Not a str, but `+` with a str on the right works and gives `result`."""

    def __init__(self, result: Any) -> None:
        self.result = result

    def __add__(self, other: str) -> Any:
        return self.result if not callable(self.result) else self.result(other)


class Loud(str):
    def __add__(self, other: str) -> str:
        return str.upper(self) + "!" + other


def fail_on_b(secret_id: str) -> str:
    if secret_id == "b":
        raise KeyError(secret_id)
    return secret_id.upper()


VALUES: list[Callable[[str], Any]] = [
    lambda secret_id: None,
    lambda secret_id: 42,
    lambda secret_id: b"bytes",
    lambda secret_id: secret_id.encode(),
    lambda secret_id: Loud(secret_id),
    lambda secret_id: type("Quiet", (str,), {})(secret_id + "q"),
    lambda secret_id: Plus(lambda rest: "<" + rest + ">"),
    lambda secret_id: Plus(42),
    lambda secret_id: Plus(Loud("sub")),
    lambda secret_id: None if secret_id == "b" else secret_id,
    lambda secret_id: "é中😀" if secret_id == "a" else 0,
    fail_on_b,
]


class TestFailures:
    @pytest.mark.parametrize("answer", VALUES)
    @pytest.mark.parametrize("raw", ["${{a}} x ${{b}} y ${{c}}", "${{a}}${{", "${{b}}}}${{c}}"])
    def test_values_that_are_not_exact_str(self, raw: str, answer: Callable[[str], Any]) -> None:
        differential(raw, answer)
        differential(type("Text", (str,), {})(raw), answer)

    def test_none_for_the_first_reference_stops_the_call(self) -> None:
        log = Log(lambda secret_id: None)
        with pytest.raises(TypeError, match="NoneType"):
            compose("${{a}} ${{b}}", log)
        assert log.ids == ["a"]

    def test_resolver_exception_arrives_unchanged(self) -> None:
        error = ValueError("secret id not found")

        def resolver(*args: Any) -> str:
            raise error

        with pytest.raises(ValueError) as caught:
            compose("x ${{a}}", resolver)
        assert caught.value is error

    @pytest.mark.parametrize("raw", [42, None, ["${{a}}"], b"${{a}}", bytearray(b"a")])
    def test_raw_string_of_the_wrong_type(self, raw: Any) -> None:
        differential(raw, str.upper)
        with pytest.raises(TypeError if isinstance(raw, (bytes, bytearray)) else AttributeError):
            compose(raw, Log())


class Splitter(str):
    """A str whose split answers with what the test decides, and is recorded."""

    answers: ClassVar[list[Any]] = []
    seen: ClassVar[list[tuple[str, str]]] = []

    def split(self, sep: Any = None, maxsplit: int = -1) -> Any:  # type: ignore[override]
        type(self).seen.append((str(self), sep))
        return type(self).answers.pop(0) if type(self).answers else str.split(self, sep)


class TestStrSubclass:
    def test_its_own_split_is_called_first(self) -> None:
        Splitter.seen = []
        Splitter.answers = [["a ", " b }} c"]]
        log = Log()
        assert compose(Splitter("ignored"), log) == "a B c"
        assert Splitter.seen == [("ignored", "${{")]

    @pytest.mark.parametrize(
        "answer",
        [
            list,
            lambda: ["x"],
            lambda: ("h", "i }} j"),
            lambda: iter(["h", "i }} j"]),
            lambda: [5],
            lambda: ["h", 5],
            lambda: None,
            lambda: ["h", b"a}}b"],
        ],
    )
    def test_odd_split_results_behave_as_in_python(self, answer: Callable[[], Any]) -> None:
        def run(fn: Callable[..., Any]) -> tuple[Any, ...]:
            Splitter.answers = [answer()]
            log = Log()
            return outcome(lambda: fn(Splitter("h${{i}} j"), log)), log.ids

        assert run(compose) == run(reference.compose)


class TestLookups:
    def test_callable_is_looked_up_in_the_module_at_each_use(
        self, monkeypatch: pytest.MonkeyPatch
    ) -> None:
        seen: list[Any] = []

        def never(obj: Any) -> bool:
            seen.append(obj)
            return False

        log = Log()
        monkeypatch.setattr(secrets, "callable", never, raising=False)
        raw = "${{a}}"
        assert compose(raw, log) is raw
        assert seen == [log] and log.calls == []
        monkeypatch.delattr(secrets, "callable")
        assert compose(raw, log) == "A"

    def test_callable_is_looked_up_in_builtins(self, monkeypatch: pytest.MonkeyPatch) -> None:
        monkeypatch.setattr(builtins, "callable", lambda obj: 0)
        raw = "${{a}}"
        assert compose(raw, Log()) is raw

    def test_a_truthy_callable_answer_for_a_non_callable(
        self, monkeypatch: pytest.MonkeyPatch
    ) -> None:
        monkeypatch.setattr(secrets, "callable", lambda obj: "yes", raising=False)
        with pytest.raises(TypeError, match="'int' object is not callable"):
            compose("${{a}}", 5)
        assert compose("no reference", 5) == "no reference"


WIDTHS = ["a", "é", "ÿ", "Ā", "中", "😀"]


class TestWidths:
    @pytest.mark.parametrize("outer", WIDTHS)
    @pytest.mark.parametrize("inner", WIDTHS)
    @pytest.mark.parametrize("value", ["v", "é", "中", "😀", ""])
    def test_every_width_at_start_middle_and_end(self, outer: str, inner: str, value: str) -> None:
        for raw in [
            f"${{{{ {inner} }}}}{outer}",
            f"{outer}${{{{{inner}}}}}{outer}",
            f"{outer}{outer}${{{{\u3000{inner}}}}}",
        ]:
            log = Log(lambda secret_id: value)
            got = compose(raw, log)
            assert got == reference.compose(raw, lambda *args: value)
            assert log.ids == [inner]

    @pytest.mark.parametrize("wide", ["é", "中", "😀"])
    def test_result_is_as_narrow_as_its_characters(self, wide: str) -> None:
        got = compose(f"ab${{{{{wide}}}}}cd", Log(lambda secret_id: "x"))
        assert got == "abxcd" and got.isascii()
        latin = compose(f"é${{{{{wide}}}}}", Log(lambda secret_id: "x"))
        assert latin == "éx" and sys.getsizeof(latin) == sys.getsizeof("éy")


class TestLongText:
    """Markers at every offset around the 16- and 64-byte steps of the search, in every width."""

    @pytest.mark.parametrize("fill", ["a", "\xff", "\u0100", "\U0001f600"])
    @pytest.mark.parametrize("marker", ["${{x}}", "${{ x }}}}", "$${{x}}", "${{x}"])
    def test_every_offset(self, fill: str, marker: str) -> None:
        for offset in range(140):
            for tail in (0, 1, 2, 17, 70):
                raw = fill * offset + marker + "$" * (tail % 3) + fill * tail
                log = Log()
                assert compose(raw, log) == reference.compose(raw, Log()), (offset, tail)
                assert log.ids == (["x"] if "}}" in marker else [])

    @pytest.mark.parametrize("fill", ["a", "\xe9", "\u4e2d", "\U0001f600"])
    def test_lone_marker_characters(self, fill: str) -> None:
        raw = ("$ { } ${ {$ }}{ $}" + fill * 5) * 40 + "${{end}}" + "}" * 33
        differential(raw, str.upper)
        differential(raw[:-40], str.upper)


def test_no_reference_is_leaked() -> None:
    value, raw, resolver = "v" * 20, "a ${{ b }} c ${{d}}" + "x" * 30, Log(lambda s: value)
    sub = Loud("w")
    for _ in range(50):
        compose(raw, resolver)
        compose(raw, lambda *a: sub)
    before = sys.getrefcount(value), sys.getrefcount(raw), sys.getrefcount(sub)
    for _ in range(1000):
        compose(raw, resolver)
        compose(raw, lambda *a: sub)
    resolver.calls.clear()
    assert (sys.getrefcount(value), sys.getrefcount(raw), sys.getrefcount(sub)) == before


ALPHABET = "$${{}} \t\n\x85\u3000abé\xffĀ中😀"
texts = st.text(alphabet=st.sampled_from(ALPHABET), max_size=40)
long_texts = st.text(
    alphabet=st.sampled_from("${} a\xe9\u4e2d\U0001f600"), min_size=60, max_size=300
)
# Marker-dense texts: whole markers and fragments of them among ordinary characters.
tokens = st.lists(st.sampled_from(["${{", "}}", "$", "{", "}", " ", "\t", "a", "é", "中", "😀"]))
dense = tokens.map("".join)
answers = st.sampled_from(
    [
        str.upper,
        fail_on_b,
        lambda s: None if "a" in s else s,
        lambda s: Loud(s) if s else s,
        lambda s: s * 2 + "😀",
        lambda s: "",
        lambda s: "${{" + s + "}}",
        lambda s: 1 if "中" in s else "ok",
    ]
)


class TestAgainstReference:
    @settings(max_examples=400, deadline=None)
    @given(raw=st.one_of(texts, dense, long_texts), answer=answers)
    def test_exact_str(self, raw: str, answer: Callable[[str], Any]) -> None:
        differential(raw, answer, "owner", None)

    @settings(max_examples=100, deadline=None)
    @given(raw=st.one_of(texts, dense), answer=answers)
    def test_str_subclass(self, raw: str, answer: Callable[[str], Any]) -> None:
        differential(Loud(raw), answer)
