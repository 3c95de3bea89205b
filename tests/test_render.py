"""render and check on real files: only the string values that hold references change."""

from __future__ import annotations

import json
import subprocess
from pathlib import Path
from typing import Any

import kuv_store
import pytest
import yaml
from cryptography.fernet import InvalidToken
from hypothesis import given
from hypothesis import strategies as st

from kuv_secrets import cli, secrets
from kuv_secrets.cli.status import CliError
from kuv_secrets.render import yamlspans
from kuv_secrets.render.dotenv import entries, quote
from kuv_secrets.render.formats import chosen, render
from kuv_secrets.render.scan import references

try:
    from kuv_secrets import _yamlscan
except ImportError:
    _yamlscan = None  # type: ignore[assignment]

VALUES = {
    "pw": 'pa"ss: w#rd $(id) `x`\n',
    "word": "plain",
    "bool": "true",
    "num": "1.50",
    "multi": "line one\nline two\n",
    "odd": " it's\t\\n \u2028\x85\x00 ",
    "tab": " it's\t\\n \u2028\x85 ",
    "inj": "a}b;touch PWNED)`",
    "empty": "",
}
# Plain words that a YAML 1.1 or 1.2 reader takes as no string.
NOT_STRINGS = ["y", "N", ".", "-.5", "1.2.3", "<<", "=", "2001-12-14", "0b1_0", "190:20:30", "0o17"]


def resolve(cls: Any, secret_id: str, owner_name: str = "", prefix: str = "") -> str:
    if secret_id.startswith("="):
        return secret_id[1:]
    if secret_id == "badkey":
        raise InvalidToken
    if secret_id not in VALUES:
        raise ValueError("secret id not found")
    return VALUES[secret_id]


def hostile(cls: Any, secret_id: str, owner_name: str = "", prefix: str = "") -> str:
    return VALUES.get(secret_id, f"<{secret_id}>: #'\"\n")


class Fake(secrets.Secrets):
    get_secret_from_id = classmethod(hostile)


@pytest.fixture(autouse=True)
def _fake_records(monkeypatch: pytest.MonkeyPatch, tmp_path: Path) -> None:
    monkeypatch.setattr(secrets.Secrets, "get_secret_from_id", classmethod(resolve))
    monkeypatch.chdir(tmp_path)
    monkeypatch.delenv("KUV_DATABASE", raising=False)
    kuv_store.create("kuv.sqlite3")  # where what is read goes on record


def run(*args: str, capsys: pytest.CaptureFixture[str]) -> tuple[int, str, str]:
    status = cli.main(list(args))
    out, err = capsys.readouterr()
    return status, out, err


COMPOSE = """\
# deploy
on: push
services:
  api:
    image: app:1.10   # pinned
    ports:
      - 22:22
      - "8080:80"
    environment:
      MODE: NO
      MASK: 0x1F
      DB_PASSWORD: ${{ pw }} # from the vault
      TOKEN: '${{ word }}'
      DEBUG: ${{ bool }}
      ${{ word }}: kept
"""
MANIFEST = """\
%YAML 1.1
---
# first
kind: ConfigMap
data: &common
  password: &pw ${{ word }}
  script: |
    echo ${{ word }}
    exit 0
copy: *pw
merged:
  <<: *common
  ratio: ${{ num }}x
flow: {a: "${{ word }}", b: ['${{ num }}', {c: d}], e: }
---
kind: Secret
stringData:
  cert: |-
    ${{ multi }}
  note: >
    folded ${{ num }}
    text

...
"""
JSON = (
    '\ufeff{"big": 1e400, "price": 1.50, "a": "${{ pw }}", "a": 1,\r\n'
    ' "${{ word }}": ["${{ odd }}", 12345678901234567890, "\\u0024{{ word }}"]}'
)
DOTENV = """\
# ${{ word }} in a comment stays
export DB=${{ pw }} # kept
MULTI="${{ multi }}"
ODD='${{ tab }}'
PLAIN=${{ word }}
URL="pg://${USER}:${{ pw }}@db"
DIR=$HOME/${{ word }}
KEEP=as is   # untouched
"""


class TestRender:
    @pytest.mark.parametrize(
        ("name", "template", "expected"),
        [
            (
                "compose.yaml",  # its reader interpolates "$": written "$$"
                COMPOSE,
                COMPOSE.replace("${{ pw }}", '"pa\\"ss: w#rd $$(id) `x`\\n"')
                .replace("'${{ word }}'", "'plain'")
                .replace("${{ bool }}", '"true"'),
            ),
            (
                "manifest.yml",
                MANIFEST,
                MANIFEST.replace("${{ word }}", "plain")
                .replace("ratio: ${{ num }}x", "ratio: 1.50x")
                .replace("'${{ num }}'", "'1.50'")
                .replace("|-\n    ${{ multi }}", "|\n    line one\n    line two")
                .replace("${{ num }}", "1.50"),
            ),
            (
                "crlf.yaml",
                "a: 1\r\nb: |\r\n  x ${{ word }}\r\n  y\r\nc: ${{ multi }}",
                'a: 1\r\nb: |\r\n  x plain\r\n  y\r\nc: "line one\\nline two\\n"',
            ),
            # A marker's braces found first, then the string around them.
            (
                "q.json",
                (
                    '{"a": "\\\\", "b": "say \\"\\\\${{ word }}\\"", '
                    '"$\\u007b{ k }}": "${\\u007B word }}"}'
                ),
                '{"a": "\\\\", "b": "say \\"\\\\plain\\"", "$\\u007b{ k }}": "plain"}',
            ),
            (
                "deep.json",
                "[" * 3000 + '"${{ word }}"' + "]" * 3000,
                "[" * 3000 + '"plain"' + "]" * 3000,
            ),
            ("long.json", f'[{"9" * 5000}, "${{{{ word }}}}"]', f'[{"9" * 5000}, "plain"]'),
            # Without a line break after it, a block scalar can't end with one.
            ("eof.yaml", "a: |\n  ${{ multi }}", 'a: "line one\\nline two\\n"'),
            # Kept blank lines lie after the scalar's span: refolding there would add one.
            (
                "keep.yaml",
                "a: >+\n  ${{ empty }}\n\n  ${{ empty }}\n\nb: c\n",
                'a: "\\n\\n\\n"\n\nb: c\n',
            ),
            (
                "odd.json",
                JSON,
                JSON.replace("${{ pw }}", 'pa\\"ss: w#rd $(id) `x`\\n')
                .replace('"${{ odd }}"', json.dumps(VALUES["odd"], ensure_ascii=False))
                .replace("\\u0024{{ word }}", "plain"),
            ),
            ("x.json", "[1.0, {}]\n", "[1.0, {}]\n"),
            ("empty.yaml", "", ""),
            (
                ".env",
                DOTENV,
                DOTENV.replace("DB=${{ pw }}", f"DB='{VALUES['pw']}'")
                .replace('"${{ multi }}"', f"'{VALUES['multi']}'")
                .replace("'${{ tab }}'", quote(VALUES["tab"]))
                .replace("=${{ word }}", "=plain")
                .replace("${{ pw }}@", 'pa\\"ss: w#rd \\$(id) \\`x\\`\n@')
                .replace("$HOME/${{ word }}", '"$HOME/plain"'),
            ),
            (
                "b.env",
                'C="$X${{ word }}$X"\nD="\\$${{ word }}"\nH="$HOME${{ = }}_d"\n',
                'C="${X}plain$X"\nD="\\$plain"\nH="${HOME}_d"\n',
            ),
            # Lines after the last reference, and a file without one, stay whatever they hold.
            *(
                (".env", text, text.replace("${{ word }}", "plain"))
                for text in ["T=${{ word }}\nA=don't\nB=<<EOF\r\n", "A=don't\\\n# ${{ x }}\nB=`\n"]
            ),
            ("s.json", '{"a": "\\ud800 ${{ word }}"}', '{"a": "\\ud800 plain"}'),
            # Keys and tagged values are never substituted, complete or not.
            (
                "k.yaml",
                "${{ k }: ${{ word }}\nt: !!binary ${{ x }\n",
                "${{ k }: plain\nt: !!binary ${{ x }\n",
            ),
            ("k.json", '{"${{ k }": "${{ word }}"}', '{"${{ k }": "plain"}'),
            (
                "words.yaml",
                "".join(f"- ${{{{ ={w} }}}}\n" for w in [*NOT_STRINGS, "y2"]),
                "".join(f'- "{w}"\n' for w in NOT_STRINGS) + "- y2\n",
            ),
        ],
    )
    def test_only_references_change(
        self, capsys: pytest.CaptureFixture[str], name: str, template: str, expected: str
    ) -> None:
        Path(name).write_bytes(template.encode())
        status, _, err = run("render", name, "-o", "out", capsys=capsys)
        assert status == 0, err
        assert Path("out").read_bytes() == expected.encode()

    @pytest.mark.parametrize(
        ("form", "reading"),
        [
            (" \t@", "@"),  # bash would run what follows "= " as a command
            ('"@$NOTHING"', "@"),
            ('"$NOTHING@"', "@"),
            ('"\\$@"', "$@"),
            ('"\\`echo x\\`@"', "`echo x`@"),
        ],
    )
    def test_dotenv_reads_back_in_bash(
        self, capsys: pytest.CaptureFixture[str], form: str, reading: str
    ) -> None:
        # Quoted whole, and in place where the rest still expands ($NOTHING is unset).
        names = [n for n in VALUES if "\x00" not in VALUES[n]]  # bash can't hold NUL
        refs = {n: f"${{{{ {n} }}}}" for n in names}
        lines = [f"{n}={refs[n]}\n{n}_={form.replace('@', refs[n])}\n" for n in names]
        Path("c.env").write_text("".join(lines))
        assert run("render", "c.env", "-o", "out.env", capsys=capsys)[0] == 0
        script = 'set -a; . ./out.env; printf "%s\\0" ' + " ".join(f'"${n}" "${n}_"' for n in names)
        sourced = subprocess.run(["bash", "-c", script], capture_output=True, check=True)
        expected = [x for n in names for x in (VALUES[n], reading.replace("@", VALUES[n]))]
        assert sourced.stdout.decode().split("\0")[:-1] == expected
        assert not Path("PWNED").exists()
        read = [
            e.value.replace("${NOTHING}", "$NOTHING") for e in entries(Path("out.env").read_text())
        ]
        literal = entries(f"V={form}")[0].value
        assert read == [x for n in names for x in (VALUES[n], literal.replace("@", VALUES[n]))]

    def test_alias_bomb_is_never_expanded(self, capsys: pytest.CaptureFixture[str]) -> None:
        levels = [f"l{i}: &l{i} [{', '.join([f'*l{i - 1}'] * 9)}]" for i in range(1, 40)]
        bomb = "\n".join(["l0: &l0 ${{ word }}", *levels, "top: *l39", ""])
        Path("bomb.yaml").write_text(bomb)
        status, out, _ = run("render", "bomb.yaml", capsys=capsys)
        assert (status, out) == (0, bomb.replace("${{ word }}", "plain"))

    @pytest.mark.parametrize(
        ("name", "text", "message", "status"),
        [
            ("c.yaml", "a: 1\nb:\n  - x ${{ word }} ${{ nope }}\n", "3: ${{ nope }}: secret id", 4),
            ("c.json", '{\n"a": "${{ badkey }}"}', "2: ${{ badkey }}: the realm key does not", 3),
            ("c.env", "A=1\nB='\n${{ nope }}'\n", "3: ${{ nope }}: secret id not found", 4),
            ("c.env", "A=1\nB=${{ odd }}\n", "2: ${{ odd }}: the value holds a NUL character", 1),
            # Bash reads a line before a reference otherwise than the entries do.
            *(
                ("c.env", f"{text}${{{{ pw }}}}\n", f"{line}: this line is outside the dotenv", 1)
                for text, line in [
                    ("A=don't\nB=", 1),
                    ("WIN_DIR=C:\\tools\\\n# don't touch\nTOKEN=", 1),
                    ("A=1\nB=x\\ #'\nT=", 2),
                    ("A=$'\\''\nT=", 1),
                    ('A="$(echo ")\nT=', 1),
                    ("A=<<EOF\nT=", 1),
                    ("GREETING=$'it\\'s'\nT=", 1),  # closed, but no form render reads
                    ("# c\nA=x\nB=x y\nT=", 3),
                    ("T=${{ word }}\nA=`\nT=", 2),
                    ("T=x ", 1),  # the line of the reference itself
                ]
            ),
            # Refused before anything resolves.
            ("c.env", "A=don't\nB=${{ nope }}\n", "1: this line is outside the dotenv", 1),
            # A reference in what bash would run, join or take for ${...}: no place to write a value.
            *(
                ("c.env", f"A=1\n{text}\n", "2: this line is outside the dotenv", 1)
                for text in [
                    'A="$(printf %s ${{ word }})"',
                    'B="${X:-${{ word }}}"',
                    'D="$${{ word }}"',
                    'E="$(hostname)-${{ word }}"',
                    'F="US$\\${{ word }}"',
                    'G="$[${{ word }}]"',
                    'I="$\\\n(${{ word }})"',
                    'J="$@${{ word }}"',
                    'K="`echo x`${{ word }}"',
                    'L="$(case a in a) echo ${{ word }};; esac)"',
                ]
            ),
            ("c.yaml", "a: |\n  x\n  ${{ nope }}\n", "3: ${{ nope }}: secret id not found", 4),
            ("c.yaml", "a: >\n  x\n\n  y\n\n  ${{ nope }}\n", "6: ${{ nope }}: secret id", 4),
            ("c.yaml", 'a: "x\\ny\\n${{ nope }}"\n', "1: ${{ nope }}: secret id not found", 4),
            ("c.yaml", 'a: "x\n\n  ${{ nope }}"\n', "3: ${{ nope }}: secret id not found", 4),
            ("c.json", '\ufeff{"a" 1}', "1: not valid JSON: Expecting ':' delimiter (column 7)", 1),
            ("c.json", '{"a":\n "x\\n${{ nope }}"}', "2: ${{ nope }}: secret id not found", 4),
            ("c.txt", "x\n${{ word }}\n\n${{\nnope }}", "4: ${{ nope }}: secret id not found", 4),
            # An opening that nothing closes, found before anything resolves.
            *(
                (name, text, f"{line}: {shown}: not a complete reference: no }}}} closes it", 4)
                for name, text, line, shown in [
                    ("c.yaml", "a: ${{ nope }}\nb: |\n  x\n  ${{ tok }\n", 4, "${{ tok }"),
                    ("c.json", '{"a": "${{ nope }}",\n "b": "${{ w ${{ word }}"}', 2, "${{ w "),
                    ("c.env", "A=${{ nope }}\nB='x\n${{ word'\n", 3, "${{ word"),
                    ("c.txt", "${{ nope }}\n${{ word }\n", 2, "${{ word }"),
                ]
            ),
            (
                "c.json",
                '{"a": 1,\n "b" 2}',
                "2: not valid JSON: Expecting ':' delimiter (column 6)",
                1,
            ),
            (
                "c.yaml",
                "a: b: c",
                "1: not valid YAML: mapping values are not allowed",
                1,
            ),
            (
                "c.yaml",
                "a: [b\n",
                "2: not valid YAML: while parsing a flow sequence, did not find",
                1,
            ),
        ],
    )
    def test_failure_names_the_reference(
        self, capsys: pytest.CaptureFixture[str], name: str, text: str, message: str, status: int
    ) -> None:
        Path(name).write_text(text)
        got, out, err = run("render", name, capsys=capsys)
        assert (got, out) == (status, "")
        assert err.startswith(f"kuv-secrets: error: {name}:{message}")


class TestCheck:
    def test_lists_warnings_and_failures(self, capsys: pytest.CaptureFixture[str]) -> None:
        Path("c.yaml").write_text(
            'a: ${{ word }}\n${{ key }}: x\nb: ["${{ nope }}", "${{ cut }"]\nc: ${{ badkey }}\n'
            'd: |\n  x\n  ${{ word }}\ne: !!binary ${{ word }}\nf: "${{ \\e[2J }}"\n'
            "${{ half }: !!binary ${{ x }\n"
        )
        status, out, err = run("check", "c.yaml", capsys=capsys)
        assert out.splitlines() == [
            "ok    c.yaml:1: ${{ word }}",
            "warn  c.yaml:2: ${{ key }}: in a key, left as is",
            "FAIL  c.yaml:3: ${{ nope }}: secret id not found",
            "FAIL  c.yaml:3: ${{ cut }: not a complete reference: no }} closes it",
            (
                "FAIL  c.yaml:4: ${{ badkey }}: the realm key does not open this secret "
                "(wrong key or damaged token)"
            ),
            "ok    c.yaml:7: ${{ word }}",
            "warn  c.yaml:8: ${{ word }}: under the tag !!binary, left as is",
            "FAIL  c.yaml:9: ${{ \\x1b[2J }}: secret id not found",  # no escape to the terminal
            "warn  c.yaml:10: ${{ half }: in a key, left as is",
            "warn  c.yaml:10: ${{ x }: under the tag !!binary, left as is",
        ]
        assert err.splitlines() == [
            "kuv-secrets: note: format: yaml (from the file name)",
            "kuv-secrets: error: 4 of 6 references do not resolve",
        ]
        assert status == 3


WORKFLOW = """\
on: push
jobs:
  build:
    runs-on: ${{ matrix.os }}
    strategy: {matrix: {os: [ubuntu-latest]}}
    env:
      TOKEN:   "${{secrets.TOKEN}}"   # the platform's
      OURS: ${{ word }}
    steps:
      - run: |
          echo ${{ github.sha }} ${{ word }}
          deploy --pw '${{ num }}'
      - if: ${{ github.event_name == 'push' }}
        run: echo "${{ env.OURS }}-${{ word }}"
"""
PLATFORM_REFS = [
    "4: ${{ matrix.os }}",
    "7: ${{ secrets.TOKEN }}",
    "11: ${{ github.sha }}",
    "13: ${{ github.event_name == 'push' }}",
    "14: ${{ env.OURS }}",
]


class TestPlatformExpressions:
    """A CI workflow holds the platform's own ${{ ... }} next to ours."""

    LEAVE = ("--leave", "github.*", "--leave", "secrets.*", "--leave", "matrix.*")

    @pytest.mark.parametrize("name", ["ci.yaml", "ci.txt"])
    def test_left_byte_for_byte(self, capsys: pytest.CaptureFixture[str], name: str) -> None:
        Path(name).write_text(WORKFLOW)
        status, out, err = run("render", name, *self.LEAVE, "--leave", "env.*", capsys=capsys)
        assert status == 0, err
        assert out == WORKFLOW.replace("${{ word }}", "plain").replace("${{ num }}", "1.50")

    def test_unknown_ones_are_named_together(self, capsys: pytest.CaptureFixture[str]) -> None:
        Path("ci.yaml").write_text(WORKFLOW)
        status, out, err = run("render", "ci.yaml", "--leave", "github.*", capsys=capsys)
        assert (status, out) == (4, "")
        assert err.startswith("kuv-secrets: error: ci.yaml:4: ${{ matrix.os }}: secret id not")
        listed = [f"ci.yaml:{r}" for r in PLATFORM_REFS if "github" not in r]
        assert f"({', '.join(listed)})" in err
        assert "--leave 'matrix.*' --leave 'secrets.*' --leave 'env.*' leaves them" in err

    @pytest.mark.parametrize(
        ("text", "hinted"),
        [
            ("a: ${{ nope }}\nb: ${{ github.sha }}\n", False),  # ours fails first
            ("a: ${{ github }}\n", False),  # no context of the platform's
            ("a: ${{ githubx.sha }}\n", False),
            ("a: ${{ runner.os }}\n", True),
        ],
    )
    def test_hint_only_for_the_platform(
        self, capsys: pytest.CaptureFixture[str], text: str, hinted: bool
    ) -> None:
        Path("c.yaml").write_text(text)
        status, _, err = run("render", "c.yaml", capsys=capsys)
        assert status == 4
        assert ("--leave" in err) == hinted

    def test_check_lists_them_as_left(self, capsys: pytest.CaptureFixture[str]) -> None:
        Path("ci.yaml").write_text(WORKFLOW)
        status, out, err = run("check", "ci.yaml", *self.LEAVE, capsys=capsys)
        lines = out.splitlines()
        assert [line for line in lines if line.startswith("left  ")] == [
            f"left  ci.yaml:{r}" for r in PLATFORM_REFS if "env." not in r
        ]
        assert "FAIL  ci.yaml:14: ${{ env.OURS }}: secret id not found" in lines
        assert err.splitlines()[-1] == (
            "kuv-secrets: error: 1 of 5 references do not resolve; the CI platform's own "
            "expressions stay as they are with --leave 'env.*'"
        )
        assert status == 4

    def test_each_id_resolves_once(
        self, capsys: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch
    ) -> None:
        asked: list[str] = []

        def counting(cls: Any, secret_id: str, owner: str = "", prefix: str = "") -> str:
            asked.append(secret_id)
            return resolve(cls, secret_id)

        monkeypatch.setattr(secrets.Secrets, "get_secret_from_id", classmethod(counting))
        Path("c.yaml").write_text("a: ${{ word }} ${{ num }}\nb:\n- ${{ word }}\n- ${{ word }}\n")
        status, out, _ = run("render", "c.yaml", capsys=capsys)
        assert (status, out) == (0, "a: plain 1.50\nb:\n- plain\n- plain\n")
        assert asked == ["word", "num"]


class TestFormatByName:
    @pytest.mark.parametrize(
        ("path", "forced", "fmt", "how"),
        [
            ("x.yaml.tmpl", None, "yaml", "from the file name beneath its .tmpl"),
            ("deploy/app.env.example", None, "dotenv", "from the file name beneath its .example"),
            ("docker-compose.yaml.tmpl", None, "compose", "from the file name beneath its .tmpl"),
            ("docker-compose.prod.yml", None, "compose", "from the file name"),
            ("Compose.YML", None, "compose", "from the file name"),
            ("compose.yaml.dist.in", None, "compose", "from the file name beneath its .dist"),
            ("config.json.template", None, "json", "from the file name beneath its .template"),
            ("settings.tpl", None, "text", "from the file name beneath its .tpl"),
            (".env.example", None, "dotenv", "from the file name beneath its .example"),
            ("my-compose.yaml", None, "yaml", "from the file name"),
            ("compose.json", None, "json", "from the file name"),
            (".tmpl", None, "text", "from the file name"),
            ("x.yaml", "compose", "compose", "from --format"),
            (None, None, "text", "standard input, without --format"),
        ],
    )
    def test_chosen(self, path: str | None, forced: str | None, fmt: str, how: str) -> None:
        assert chosen(path, forced) == (fmt, how)

    @pytest.mark.parametrize(
        ("name", "template", "expected"),
        [
            (
                "docker-compose.yaml.tmpl",
                "x:\n  PW: ${{ =Pa$w0rd }}\n  B: '${{ =$$ }}'\n  C: ${{ bool }}\n",
                "x:\n  PW: Pa$$w0rd\n  B: '$$$$'\n  C: \"true\"\n",
            ),
            (
                "x.yaml.tmpl",
                "a: ${{ =$x }}\nb: ${{ pw }}\n",
                'a: $x\nb: "pa\\"ss: w#rd $(id) `x`\\n"\n',
            ),
            ("x.json.dist", '{"a": "${{ pw }}"}', '{"a": "pa\\"ss: w#rd $(id) `x`\\n"}'),
        ],
    )
    def test_rendered_as_the_file_beneath(
        self, capsys: pytest.CaptureFixture[str], name: str, template: str, expected: str
    ) -> None:
        Path(name).write_text(template)
        status, out, err = run("render", name, capsys=capsys)
        assert (status, out) == (0, expected), err

    def test_check_says_which(self, capsys: pytest.CaptureFixture[str]) -> None:
        Path("compose.yml").write_text("a: ${{ word }}\n")
        assert run("check", "compose.yml", capsys=capsys)[1:] == (
            "ok    compose.yml:1: ${{ word }}\n",
            "kuv-secrets: note: format: compose (from the file name)\n",
        )


def incomplete(data: Any) -> bool:
    """Whether a string value of ``data`` (keys are left as they are) holds an unclosed opening."""
    if isinstance(data, str):
        return any(found.secret_id is None for found in references(data))
    values = data.values() if isinstance(data, dict) else data if isinstance(data, list) else []
    return any(incomplete(value) for value in values)


def structures(leaf: st.SearchStrategy[Any]) -> st.SearchStrategy[Any]:
    keys = st.text(max_size=8) | st.just("${{ word }}")
    return st.recursive(
        leaf, lambda inner: st.lists(inner, max_size=4) | st.dictionaries(keys, inner, max_size=4)
    )


TEMPLATE = st.builds(
    "".join, st.lists(st.sampled_from(["${{ ", " }}", "x", " ", "\n", "'", *VALUES]), max_size=8)
)
LEAVES = (
    TEMPLATE | st.text() | st.integers() | st.floats(allow_nan=False) | st.none() | st.booleans()
)


class TestAgainstTheWalker:
    """Rendered files read back as what the module's walk makes of the data; without references,
    byte for byte as they were."""

    @given(
        structures(LEAVES),
        st.sampled_from([None, '"', "'", "|", ">"]),
        st.booleans(),
        st.sampled_from(["", "\ufeff", "%YAML 1.1\n---\n"]),
    )
    def test_yaml(self, data: Any, style: str | None, flow: bool, head: str) -> None:
        text = head + yaml.safe_dump_all(
            [data, {"b": data}], default_style=style, default_flow_style=flow, allow_unicode=True
        )
        self.compare(text, "yaml", lambda t: list(yaml.safe_load_all(t)))
        if _yamlscan is not None:
            assert _yamlscan.marked(text) == yamlspans.events(text)

    @pytest.mark.parametrize(
        "text",
        [
            "? ['a', \"${{ x }}\"]\n: &v !t ${{ y }}\n*v : '${{ z }}'\n? ${{ x }}\n",
            '- {a: "${{ x }}", "${{ y }}": [b, \'${{ z }}\'], *a : "${{ x }}"}\n'
            "- |-\n  ${{ x }}\n\n- >\n  ${{ y }}\n",
            '\ufeff--- !!str ${{ x }}\n...\n--- {? "${{ y }}"}\n'
            '---\n[a, {"${{ z }}": b}]: ${{ x }}\n',
            'a: "\u00e9\U0001d11e ${{ x }}\\u2028"\n',
            "a: [${{ x }}\n",
        ],
    )
    def test_libyaml_read_as_the_binding(self, text: str) -> None:
        if _yamlscan is None:
            pytest.skip("built without libyaml")
        try:
            expected = yamlspans.events(text)
        except yaml.YAMLError:
            expected = None
        assert _yamlscan.marked(text) == expected

    @given(structures(LEAVES), st.sampled_from([None, 1, "\t"]), st.booleans())
    def test_json(self, data: Any, indent: int | str | None, ascii: bool) -> None:
        text = json.dumps(data, indent=indent, ensure_ascii=ascii).replace("\n", "\r\n")
        self.compare(text, "json", json.loads)

    def compare(self, text: str, fmt: str, load: Any) -> None:
        if incomplete(load(text)):
            with pytest.raises(CliError, match="not a complete reference") as refused:
                render(Fake, text, fmt, "", "", "t")
            assert refused.value.status == 4
            return
        rendered = render(Fake, text, fmt, "", "", "t")
        assert load(rendered) == Fake.secret_parser(load(text))
        if "${{" not in text:
            assert rendered == text
