"""The ``kuv-secrets`` command: realm keys, secret records, rendering and checking configuration.

Start-up is most of what a command costs, so this imports next to nothing: ``--version`` alone
answers before argparse is imported, and a command imports what it uses when it runs.
"""

from __future__ import annotations

import sys

from kuv_secrets.cli.context import Context
from kuv_secrets.cli.status import EXIT_FAILURE, EXIT_OK, EXIT_USAGE, VERSION, OutputError, describe

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse
    from collections.abc import Callable
    from contextlib import AbstractContextManager
    from types import FrameType
    from typing import Any

__all__ = ["Context", "main"]

# Commands that never open the context's store; they skip the framework's import.
_NO_STORE = frozenset({"values:keygen", "demo:demo"})


def _exit_code(code: object) -> int:
    if code is None:
        return EXIT_OK
    return code if isinstance(code, int) else EXIT_FAILURE


class _Terminated(BaseException):
    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


class _TerminationUnwinds:
    """SIGTERM and SIGHUP unwind like Ctrl-C, so that clean-up code runs (unless ignored)."""

    previous: list[tuple[int, Any]]

    def __enter__(self) -> None:
        import signal

        def terminate(signum: int, frame: FrameType | None) -> None:
            raise _Terminated(signum)

        try:
            self.previous = [
                (signum, signal.signal(signum, terminate))
                for signum in (signal.SIGTERM, signal.SIGHUP)
                if signal.getsignal(signum) is not signal.SIG_IGN
            ]
        except ValueError:  # not the main thread (signal says so; threading is not imported)
            self.previous = []

    def __exit__(self, *exc_info: object) -> None:
        import signal

        for signum, old in self.previous:
            signal.signal(signum, old if old is not None else signal.SIG_DFL)


def main(argv: list[str] | None = None, ctx: Context | None = None) -> int:
    """Run one command; ``ctx`` defaults to this process's streams, environment and folder."""
    if ctx is None:
        ctx = Context.from_process()
    given = sys.argv[1:] if argv is None else argv
    try:
        if given == ["--version"]:
            from kuv_secrets.files import streams

            # What argparse's version action prints, through the same writer.
            streams.write_stdout(ctx, VERSION + "\n")
            return EXIT_OK
        return _run(ctx, given)
    except KeyboardInterrupt:
        return 130
    except _Terminated as exc:
        return 128 + exc.signum
    except Exception as exc:  # noqa: BLE001 - the command's boundary: a message, not a traceback
        # 3.10 and 3.11 wrap what a class body's __set_name__ raises: a signal there too.
        cause = exc.__cause__ if isinstance(exc, RuntimeError) else None
        if isinstance(cause, (KeyboardInterrupt, _Terminated)):
            return 130 if isinstance(cause, KeyboardInterrupt) else 128 + cause.signum
        from kuv_secrets.files import streams

        # A closed standard output (>&-) has nothing left to flush at exit.
        if isinstance(exc, (OutputError, BrokenPipeError)) and ctx.stdout is not None:
            streams.discard_stdout(ctx)
        status, message = describe(exc, ctx)
        streams.report(ctx, message)
        return status


def _run(ctx: Context, given: list[str]) -> int:
    from importlib import import_module

    from kuv_secrets.cli.parser import build_parser
    from kuv_secrets.files import streams

    parser = build_parser(ctx)
    try:
        args = parser.parse_args(given)
    except SystemExit as exc:
        return _exit_code(exc.code)
    if args.handler is None:
        if ctx.stderr is not None:
            parser.print_help(ctx.stderr)
        return EXIT_USAGE
    ctx.key_file = args.key_file
    module, name = args.handler.split(":")
    handler: Callable[[Context, argparse.Namespace], int]
    handler = getattr(import_module(f"kuv_secrets.commands.{module}"), f"cmd_{name}")
    with _TerminationUnwinds(), _store(ctx, args.handler):
        status = handler(ctx, args)
        streams.flush_stdout(ctx)
    return status


def store_target(ctx: Context) -> str:
    """The store the context names: a SQLite file as seen from its folder, or a URL as given."""
    from kuv_store import is_path

    from kuv_secrets.cli.context import DATABASE_VARIABLE, DEFAULT_DATABASE

    # Joined to the folder, a mistyped URL ("postgresql:user:pw@host") would pass for a path.
    given = ctx.env.get(DATABASE_VARIABLE, DEFAULT_DATABASE)
    return ctx.database if is_path(given) else given


def _store(ctx: Context, handler: str) -> AbstractContextManager[None]:
    if handler in _NO_STORE:
        from contextlib import nullcontext

        return nullcontext()
    from kuv_store import using

    # Made by init only: a mistyped path would otherwise become a new, empty realm.
    return using(store_target(ctx), create=False)
