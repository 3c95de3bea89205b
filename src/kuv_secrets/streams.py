"""Secret values and configuration from standard input or files; output to standard output."""

from __future__ import annotations

import contextlib
import errno
import getpass
import os
import sys

from kuv_secrets.errors import EXIT_USAGE, PROG, CliError, output_problem


class OutputError(CliError):
    """Standard output took less than all of what was written (a closed pipe, a full disk)."""


def read_value(prompt: str, *, allow_empty: bool = False) -> str:
    """The secret value: all of standard input exactly, or typed without echo on a terminal."""
    stdin = sys.stdin
    if stdin is None:
        raise CliError("standard input is closed; pipe the value in")
    if stdin.isatty():
        try:
            value = getpass.getpass(prompt)
        except EOFError:
            raise CliError("no value given") from None
    else:
        try:
            value = stdin.buffer.read().decode("utf-8")
        except UnicodeDecodeError:
            raise CliError("the value on standard input is not UTF-8 text") from None
        if value.endswith("\n"):
            # Kept: a value may end in a newline; the note catches an accidental `echo`.
            note("the value ends with a newline, which is kept as part of it (printf %s avoids it)")
    if not value and not allow_empty:
        # An empty value is mostly a mistake: `< /dev/null`, an unset variable, a closed pipe.
        raise CliError("the value is empty; use --allow-empty to store it anyway", EXIT_USAGE)
    return value


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


def note(message: str) -> None:
    _say("note", message)


def report(message: str) -> None:
    _say("error", message)


def printable(text: str) -> str:
    """``text`` with what a terminal would act on (escape sequences, line breaks) spelled out:
    paths, ids and names come from anyone who may store a secret or name a file."""
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)


def _say(kind: str, message: str) -> None:
    if sys.stderr is None:  # closed (2>&-): print would fall back to standard output
        return
    # Standard error may be the same closed pipe as standard output.
    with contextlib.suppress(OSError):
        print(f"{PROG}: {kind}: {printable(message)}", file=sys.stderr, flush=True)


def write_stdout(data: str | bytes) -> None:
    """Write all of ``data``, or raise ``OutputError``: a short write never passes for success."""
    view = memoryview(data.encode("utf-8") if isinstance(data, str) else data)
    if sys.stdout is None:  # closed (>&-)
        raise OutputError(output_problem(OSError(errno.EBADF, "it is closed")))
    try:
        sys.stdout.flush()
        while view:
            # Unbuffered (python -u, PYTHONUNBUFFERED) this is the raw file, which may write less.
            written = sys.stdout.buffer.write(view)
            if not written:
                raise BlockingIOError(errno.EAGAIN, "standard output would block")
            view = view[written:]
        sys.stdout.flush()
    except OSError as exc:
        raise OutputError(output_problem(exc)) from None


def flush_stdout() -> None:
    if sys.stdout is None:  # closed, and nothing was written there, or that failed already
        return
    try:
        sys.stdout.flush()
    except OSError as exc:
        raise OutputError(output_problem(exc)) from None


def discard_stdout() -> None:
    """Point standard output at /dev/null, so the interpreter's last flush can't fail again."""
    with contextlib.suppress(OSError, ValueError, AttributeError):
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
