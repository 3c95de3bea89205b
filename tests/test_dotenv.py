"""render into environment files, judged by bash itself: every file render writes reads back each
value exactly, and every file it refuses holds a line outside the subset before a reference."""

from __future__ import annotations

import random
import subprocess
from pathlib import Path
from typing import Any

from kuv_secrets import secrets
from kuv_secrets.cli.status import CliError
from kuv_secrets.render.dotenv import entries, marked
from kuv_secrets.render.formats import render

HOSTILE = [
    "",
    "plain",
    "'",
    '"',
    "$(touch MARK)",
    "`touch MARK`",
    "a\nb\n",
    ";touch MARK",
    "\\",
    "x\\",
    "#x",
    " a b ",
    "\u00e9\u2603\U0001d11e",
    "$HOME",
    "'$(touch MARK)'",
    '"; touch MARK; "',
    "\\\n",
    "${{ x }}",
    "a'b\"c$d`e\\f",
    "\t-\r",
    "$'\\''",
    "<<EOF",
]


def hostile(cls: Any, secret_id: str, owner_name: str = "", prefix: str = "") -> str:
    return HOSTILE[int(secret_id)]


class Hostile(secrets.Secrets):
    get_secret_from_id = classmethod(hostile)


# Lines with no reference, and whether they are in the subset. Commands here are harmless: only a
# value may touch MARK.
PIECES = [
    ("", True),
    ("# don't touch", True),
    ('  # a "quote" $(x) \\', True),
    ("export A=x", True),
    ("SECONDS=1", False),  # bash keeps these to itself: the value would not read back
    ("export UID=5", False),  # read-only: sourcing stops there
    ("A=", True),
    ("A= # c", True),
    ("A=x #'", True),
    ("B='it is'  # c", True),
    ("B='multi\nline $(x) \\'", True),
    ("A='\\'", True),
    ('C="a\\"b\\\\c\\$d\\`e $HOME ${USER}x it\'s"', True),
    ("D=$HOME/x:${PATH}", True),
    ("E=a.b/c:d@e%f+g,h=i-j", True),
    ('export\tF=""', True),
    ("G='' \t", True),
    ("WIN_DIR=C:\\tools\\", False),
    ("A=x\\ #'", False),
    ("A=$'\\''", False),
    ("GREETING=$'it\\'s'", False),
    ('A="$(echo ")', False),
    ("A=<<EOF\nEOF", False),
    ("A=<<EOF", False),
    ("A=don't", False),
    ("A=`echo '`", False),
    ('A="x', False),
    ("A= x", False),
    ("A=x y", False),
    ("A=~/k", False),
    ("A.B=1", False),
    ("A=x;:", False),
    ("A=(a b)", False),
    ("A=$((1+1))", False),
    ("A=${X:-'}", False),
    ("A='x'y", False),
    ('A="x"#y', False),
    ('A="\\n"', False),
    ('A="x\\\ny"', False),
    ("if true; then", False),
    ("\ufeffA=1", False),
    ("A=1\r", False),
    ("export A", False),
    ("A=H#y", False),
    ("A=$", False),
    ("A=x{a,b}", False),
]
# Lines with a reference (@): the reading bash gives with the value for @, or None where the line
# is outside the subset.
FORMS = [
    ("R=@", "@"),
    ("export R=@ # c", "@"),
    ("R='@'", "@"),
    ('R="@"', "@"),
    ('R="a\\"$NOTHING@${NOTHING}\\$b"', 'a"@$b'),
    ("R=$NOTHING/@", "/@"),
    ("R= \t@", "@"),
    ("R=\"x'@\" # it's", "x'@"),
    ("R=x @", None),
    ("R=$'@'", None),
    ('R="$(printf %s @)"', None),
    ("R=@ y", None),
    ("R=\\@", None),
    ('R="\\@"', "@"),  # the escaped $ is unescaped before references are found
    ("A=x # ${{ 0 }}\nR=@", "@"),  # a marker outside values is no reference
    ("R=@\n# ${{ 0 }}", "@"),
    ("R='x\nA=${{ 0 }} @'", "x\nA= @"),  # a line of a value, not an entry
]


def case(rng: random.Random) -> tuple[str, list[str], int | None]:
    """A template, what bash reads into R0, R1, ... after render, and the first line outside the
    subset before its last reference (None where render must write it)."""
    items = [(text, ok) for text, ok in rng.choices(PIECES, k=rng.randint(3, 6))]
    readings: list[str] = []
    for index in range(rng.choice([1, 1, 2])):
        form, reading = rng.choice(FORMS)
        value = rng.randrange(len(HOSTILE))
        source = form.replace("R", f"R{index}", 1).replace("@", f"${{{{ {value} }}}}")
        items.insert(rng.randint(0, len(items)), (source, reading is not None))
        readings.append((reading or "").replace("@", HOSTILE[value]))
    last = max(k for k, (text, _) in enumerate(items) if "${{" in text)
    text = "\n".join(text for text, _ in items) + rng.choice(["", "\n"])
    line = 1
    for piece, ok in items[: last + 1]:
        if not ok:
            return text, readings, line
        line += piece.count("\n") + 1
    return text, readings, None


def test_bash_reads_back_what_render_writes(tmp_path: Path) -> None:
    rng = random.Random(1729)
    script: list[str] = []
    expected: dict[int, list[str]] = {}
    written: dict[int, str] = {}
    for number in range(20_000):
        text, readings, outside = case(rng)
        # Read only where the markers stand when it can, the entries must be the same.
        spans = [(e.start, e.end, e.value) for e in entries(text) if "${{" in e.value]
        assert [(e.start, e.end, e.value) for e in marked(text)[0]] == spans, text
        try:
            written[number] = render(Hostile, text, "dotenv", "", "", "t.env")
        except CliError as exc:
            assert outside is not None, (text, str(exc))
            assert str(exc).startswith(f"t.env:{outside}: this line is outside the dotenv subset")
            continue
        assert outside is None, (text, written[number])
        (tmp_path / f"{number}.env").write_bytes(written[number].encode())
        names = " ".join(f'"${{R{k}-unset}}"' for k in range(len(readings)))
        # The trap prints even where garbage after the last reference ends the subshell.
        show = f'{{ printf "\\1%s" {number}; printf "\\0%s" {names}; }} >&3'
        script.append(f"(trap '{show}' EXIT; . ./{number}.env)")
        expected[number] = readings
    assert len(expected) > 2_500  # the generator still makes plenty of files render writes
    sourced = subprocess.run(
        ["bash"],
        input=("set -a\nexec 3>&1 >/dev/null 2>&1\n" + "\n".join(script)).encode(),
        cwd=tmp_path,
        env={"PATH": "/usr/bin:/bin"},
        capture_output=True,
        check=False,  # the status is the last file's; what each file sets is what counts
    )
    read: dict[int, list[str]] = {}
    for chunk in sourced.stdout.decode().split("\1")[1:]:
        shown, *values = chunk.split("\0")
        read[int(shown)] = values
    for number, readings in expected.items():
        assert read.get(number) == readings, written[number]
    assert not (tmp_path / "MARK").exists()
