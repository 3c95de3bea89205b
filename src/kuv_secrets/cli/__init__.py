"""The ``kuv-secrets`` command: realm keys, secret records, rendering and checking configuration."""

from __future__ import annotations

import contextlib
import importlib
import signal
import sys
import threading
from collections.abc import Iterator
from types import FrameType

from kuv_secrets.cli.context import Context
from kuv_secrets.cli.status import EXIT_FAILURE, EXIT_OK, EXIT_USAGE, OutputError, describe

__all__ = ["Context", "main"]


def _exit_code(code: object) -> int:
    if code is None:
        return EXIT_OK
    return code if isinstance(code, int) else EXIT_FAILURE


class _Terminated(BaseException):
    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


@contextlib.contextmanager
def _termination_unwinds() -> Iterator[None]:
    """SIGTERM and SIGHUP unwind like Ctrl-C, so that clean-up code runs (unless ignored)."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return

    def terminate(signum: int, frame: FrameType | None) -> None:
        raise _Terminated(signum)

    previous = [
        (signum, signal.signal(signum, terminate))
        for signum in (signal.SIGTERM, signal.SIGHUP)
        if signal.getsignal(signum) is not signal.SIG_IGN
    ]
    try:
        yield
    finally:
        for signum, old in previous:
            signal.signal(signum, old if old is not None else signal.SIG_DFL)


def main(argv: list[str] | None = None, ctx: Context | None = None) -> int:
    """Run one command; ``ctx`` defaults to this process's streams, environment and folder."""
    from kuv_secrets.cli.parser import build_parser
    from kuv_secrets.files import streams

    if ctx is None:
        ctx = Context.from_process()
    status = EXIT_OK
    try:
        parser = build_parser(ctx)
        try:
            args = parser.parse_args(sys.argv[1:] if argv is None else argv)
        except SystemExit as exc:
            return _exit_code(exc.code)
        if args.handler is None:
            if ctx.stderr is not None:
                parser.print_help(ctx.stderr)
            return EXIT_USAGE
        ctx.key_file = args.key_file
        module, name = args.handler.split(":")
        handler = getattr(importlib.import_module(f"kuv_secrets.commands.{module}"), f"cmd_{name}")
        with _termination_unwinds(), _store(ctx, args.handler):
            status = handler(ctx, args)
            streams.flush_stdout(ctx)
    except KeyboardInterrupt:
        return 130
    except _Terminated as exc:
        return 128 + exc.signum
    except Exception as exc:  # noqa: BLE001 - the command's boundary: a message, not a traceback
        if isinstance(exc, (OutputError, BrokenPipeError)):
            streams.discard_stdout(ctx)
        status, message = describe(exc, ctx)
        streams.report(ctx, message)
    return status


# Commands that never open the context's store; they skip the framework's import.
_NO_STORE = frozenset({"values:keygen", "demo:demo"})


@contextlib.contextmanager
def _store(ctx: Context, handler: str) -> Iterator[None]:
    if handler in _NO_STORE:
        yield
        return
    from kuv_meta import using

    with using(ctx.database):
        yield
