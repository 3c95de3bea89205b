"""A command's standard streams: values and configuration in, output and messages out."""

from __future__ import annotations

import contextlib
import errno
import os

from kuv_secrets.cli.status import EXIT_USAGE, PROG, CliError, OutputError, output_problem

TYPE_CHECKING = False
if TYPE_CHECKING:
    from kuv_secrets.cli.context import Context


def read_value(ctx: Context, prompt: str, *, allow_empty: bool = False) -> str:
    """The secret value: all of standard input exactly, or typed without echo on a terminal."""
    if ctx.stdin is None:
        raise CliError("standard input is closed; pipe the value in")
    if ctx.interactive():
        import getpass

        try:
            value = getpass.getpass(prompt)
        except EOFError:
            raise CliError("no value given") from None
    else:
        try:
            value = ctx.stdin.read().decode("utf-8")
        except UnicodeDecodeError:
            raise CliError("the value on standard input is not UTF-8 text") from None
        if value.endswith("\n"):
            # Kept: a value may end in a newline; the note catches an accidental `echo`.
            note(
                ctx,
                "the value ends with a newline, which is kept as part of it (printf %s avoids it)",
            )
    if not value and not allow_empty:
        # An empty value is mostly a mistake: `< /dev/null`, an unset variable, a closed pipe.
        raise CliError("the value is empty; use --allow-empty to store it anyway", EXIT_USAGE)
    return value


def read_input(ctx: Context, path: str | None) -> str:
    """A configuration: the file at ``path``, or standard input for None."""
    if path is None:
        if ctx.stdin is None:
            raise CliError("standard input is closed")
        data, label = ctx.stdin.read(), "standard input"
    else:
        with open(ctx.path(path), "rb") as fp:
            data, label = fp.read(), path
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        raise CliError(f"{label}: not UTF-8 text") from None


def note(ctx: Context, message: str) -> None:
    _say(ctx, "note", message)


def report(ctx: Context, message: str) -> None:
    _say(ctx, "error", message)


def printable(text: str) -> str:
    """``text`` with what a terminal would act on (escape sequences, line breaks) spelled out:
    paths, ids and names come from anyone who may store a secret or name a file."""
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)


def _say(ctx: Context, kind: str, message: str) -> None:
    if ctx.stderr is None:  # closed (2>&-)
        return
    # Standard error may be the same closed pipe as standard output.
    with contextlib.suppress(OSError, ValueError):
        ctx.stderr.write(f"{PROG}: {kind}: {printable(message)}\n")
        ctx.stderr.flush()


def write_stdout(ctx: Context, data: str | bytes) -> None:
    """Write all of ``data``, or raise ``OutputError``: a short write never passes for success."""
    view = memoryview(data.encode("utf-8") if isinstance(data, str) else data)
    out = ctx.stdout
    if out is None:  # closed (>&-)
        raise OutputError(output_problem(OSError(errno.EBADF, "it is closed")))
    try:
        while view:
            # Unbuffered (python -u, PYTHONUNBUFFERED) this is the raw file, which may write less.
            written = out.write(view)
            if not written:
                raise BlockingIOError(errno.EAGAIN, "standard output would block")
            view = view[written:]
        out.flush()
    except OSError as exc:
        raise OutputError(output_problem(exc)) from None
    except ValueError:  # a stream closed under the command: as good as a closed descriptor
        raise OutputError(output_problem(OSError(errno.EBADF, "it is closed"))) from None


def flush_stdout(ctx: Context) -> None:
    if ctx.stdout is None:  # closed, and nothing was written there, or that failed already
        return
    try:
        ctx.stdout.flush()
    except OSError as exc:
        raise OutputError(output_problem(exc)) from None
    except ValueError:  # closed by the caller
        pass


def discard_stdout(ctx: Context) -> None:
    """Point standard output at /dev/null, so the interpreter's last flush can't fail again."""
    if ctx.stdout is None:
        return
    with contextlib.suppress(OSError, ValueError, AttributeError):
        fd = ctx.stdout.fileno()
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, fd)
        os.close(devnull)


def columns(rows: list[list[str]]) -> str:
    """Rows of cells as a table of columns apart by two blanks, the first row its heading."""
    widths = [max(len(row[column]) for row in rows) for column in range(len(rows[0]))]
    lines = ("  ".join(cell.ljust(width) for cell, width in zip(row, widths)) for row in rows)
    return "".join(line.rstrip() + "\n" for line in lines)
