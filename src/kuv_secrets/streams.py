"""Secret values and configuration from standard input or files; output to standard output."""

from __future__ import annotations

import getpass
import sys

from kuv_secrets.errors import CliError


def read_value(prompt: str) -> str:
    """The secret value: all of standard input, or typed without echo on a terminal."""
    stdin = sys.stdin
    if stdin is None:
        raise CliError("standard input is closed; pipe the value in")
    if stdin.isatty():
        try:
            return getpass.getpass(prompt)
        except EOFError:
            raise CliError("no value given") from None
    try:
        return stdin.buffer.read().decode("utf-8")
    except UnicodeDecodeError:
        raise CliError("the value on standard input is not UTF-8 text") from None


def read_input(path: str | None) -> str:
    if path is None:
        data, label = sys.stdin.buffer.read(), "standard input"
    else:
        with open(path, "rb") as fp:
            data, label = fp.read(), path
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        raise CliError(f"{label}: not UTF-8 text") from None


def write_stdout(text: str) -> None:
    sys.stdout.flush()
    sys.stdout.buffer.write(text.encode("utf-8"))
    sys.stdout.flush()
