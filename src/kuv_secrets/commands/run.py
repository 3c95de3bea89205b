"""run: a command with the references in its environment substituted."""

from __future__ import annotations

import argparse
import contextlib
import os
import signal
import subprocess
import threading
from collections.abc import Callable, Iterator

from kuv_secrets.cli.status import EXIT_REFERENCE, EXIT_USAGE, CliError, describe
from kuv_secrets.files.streams import report
from kuv_secrets.realm.keys import key_name, key_variable
from kuv_secrets.realm.memory import Trail, resolve
from kuv_secrets.render.scan import CLOSE, OPEN, references

TYPE_CHECKING = False
if TYPE_CHECKING:
    from types import FrameType
    from typing import IO

    from kuv_secrets.cli.context import Context


@contextlib.contextmanager
def _signals_to(
    start: Callable[[], subprocess.Popen[bytes]],
) -> Iterator[subprocess.Popen[bytes]]:
    """Starts the command and, while it runs, passes the signals meant for it on, so that it
    decides about them and never outlives us."""
    if threading.current_thread() is not threading.main_thread():
        yield start()
        return
    # Caught from before the start: one sent meanwhile is held, then passed on.
    started: list[subprocess.Popen[bytes]] = []
    held: list[int] = []

    def forward(signum: int, frame: FrameType | None) -> None:
        if started:
            started[0].send_signal(signum)
        else:
            held.append(signum)

    def ignore(signum: int, frame: FrameType | None) -> None:
        pass

    # Ctrl-C and Ctrl-\ at our terminal reach the command as well; sent by anyone else, they
    # reach only us.
    keyboard = ignore if _in_terminal_foreground() else forward
    handlers: list[tuple[signal.Signals, Callable[[int, FrameType | None], None]]] = [
        (signal.SIGINT, keyboard),
        (signal.SIGQUIT, keyboard),
        (signal.SIGTERM, forward),
        (signal.SIGHUP, forward),
        (signal.SIGUSR1, forward),
        (signal.SIGUSR2, forward),
    ]
    # One ignored already (nohup, a background job) stays ignored, for the command too.
    previous = [
        (signum, signal.signal(signum, handler))
        for signum, handler in handlers
        if signal.getsignal(signum) is not signal.SIG_IGN
    ]
    try:
        started.append(start())
        for signum in held:
            started[0].send_signal(signum)
        yield started[0]
    finally:
        for signum, old in previous:
            signal.signal(signum, old if old is not None else signal.SIG_DFL)


def _in_terminal_foreground() -> bool:
    try:
        fd = os.open("/dev/tty", os.O_RDONLY | os.O_NOCTTY | os.O_CLOEXEC)
    except OSError:
        return False  # no controlling terminal: a supervisor's signals are all there is
    try:
        return os.tcgetpgrp(fd) == os.getpgrp()
    except OSError:
        return False
    finally:
        os.close(fd)


def _child_environment(ctx: Context, args: argparse.Namespace) -> dict[str, str]:
    records = ctx.records
    environment = dict(ctx.env)
    if not args.pass_key:
        # With the realm key the command could read any secret, whatever --owner and --prefix say.
        environment.pop(key_variable(key_name(ctx.env)), None)
    failures: list[tuple[int, str]] = []
    resolving: list[str] = []

    trail = Trail("run")

    def resolved(secret_id: str, owner: str, prefix: str) -> str:
        resolving.append(secret_id)
        with trail.noted(secret_id):
            return resolve(ctx, secret_id, owner, prefix)

    for name, value in list(environment.items()):
        if OPEN in value and any(ref.secret_id is None for ref in references(value)):
            # Named, never shown: the rest of the value may be a secret of its own.
            failures.append((EXIT_REFERENCE, f"holds a {OPEN} that no {CLOSE} closes"))
            report(ctx, f"environment variable {name}: {failures[-1][1]}")
            continue
        resolving.clear()
        try:
            environment[name] = records.secret_composer(value, resolved, args.owner, args.prefix)
        except Exception as exc:  # noqa: BLE001 - every variable is reported, none ends the check
            failures.append(describe(exc, ctx, resolving[-1] if resolving else None))
            shown = f" {OPEN} {resolving[-1]} {CLOSE}:" if resolving else ""
            report(ctx, f"environment variable {name}:{shown} {failures[-1][1]}")
    trail.write(ctx, "nothing was run")
    if failures:
        count = len(failures)
        raise CliError(
            f"{count} of the environment's variables do not resolve; nothing was run",
            failures[0][0],
        )
    return environment


def _fd(stream: IO[bytes] | IO[str] | None) -> int | None:
    # The command writes to the context's streams where they are files; else to ours.
    try:
        return None if stream is None else stream.fileno()
    except (OSError, ValueError):
        return None


def cmd_run(ctx: Context, args: argparse.Namespace) -> int:
    command = list(args.command)
    if command[:1] == ["--"]:
        command = command[1:]
    if not command:
        raise CliError("no command given: kuv-secrets run -- COMMAND [ARG...]", EXIT_USAGE)
    environment = _child_environment(ctx, args)

    def start() -> subprocess.Popen[bytes]:
        return subprocess.Popen(
            command,
            env=environment,
            cwd=ctx.cwd,
            stdin=_fd(ctx.stdin),
            stdout=_fd(ctx.stdout),
            stderr=_fd(ctx.stderr),
        )

    try:
        with _signals_to(start) as proc:
            status = proc.wait()
    except FileNotFoundError:
        raise CliError(f"{command[0]}: command not found", 127) from None
    except OSError as exc:
        raise CliError(f"{command[0]}: cannot run: {exc.strerror}", 126) from None
    return 128 - status if status < 0 else status
