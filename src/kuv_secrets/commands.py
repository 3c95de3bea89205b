"""The commands that work on the realm's records and on configuration."""

from __future__ import annotations

import argparse
import contextlib
import os
import signal
import subprocess
import threading
from collections.abc import Callable, Iterator
from typing import TYPE_CHECKING, Any

from kuv_meta import RecordExistsError, transaction

from kuv_secrets.errors import (
    EXIT_FAILURE,
    EXIT_KEY,
    EXIT_OK,
    EXIT_REFERENCE,
    EXIT_USAGE,
    CliError,
    describe,
    record_class,
    require_key_for_new,
)
from kuv_secrets.formats import find, format_of, render
from kuv_secrets.publish import check_output, write_output
from kuv_secrets.scalars import CLOSE, OPEN, SURROGATE
from kuv_secrets.streams import (
    OutputError,
    printable,
    read_input,
    read_value,
    report,
    write_stdout,
)

if TYPE_CHECKING:
    from types import FrameType

    from kuv_secrets.secrets import Secrets


def _problem(records: type[Secrets], ref: str, owner: str, prefix: str) -> tuple[int, str] | None:
    try:
        records.get_secret_from_id(ref, owner, prefix)
    except Exception as exc:  # noqa: BLE001 - every failure is reported, none ends the check
        return describe(exc, ref)
    return None


def cmd_keygen(args: argparse.Namespace) -> int:
    from cryptography.fernet import Fernet

    if args.output not in (None, "-") and os.path.lexists(args.output):
        # Never replaced: that would orphan every secret made under the old key.
        raise CliError(f"{args.output}: file exists; keygen never replaces a key file")
    check_output(args.output, force=False)
    write_output(args.output, Fernet.generate_key() + b"\n", force=False)
    return EXIT_OK


def cmd_put(args: argparse.Namespace) -> int:
    if args.file and args.file_name is None:
        raise CliError("--file needs --file-name", EXIT_USAGE)
    if not args.file and (args.file_path is not None or args.file_name is not None):
        raise CliError("--file-path and --file-name need --file", EXIT_USAGE)
    options = {
        "id": args.id,
        "owner_name": args.owner,
        "name": args.name,
        "file_path": args.file_path,
        "file_name": args.file_name,
    }
    for option, text in options.items():
        # Undecodable bytes from the command line would be stored as lone surrogates.
        if text is not None and not text.isascii() and SURROGATE.search(text):
            flag = "--" + {"owner_name": "owner"}.get(option, option).replace("_", "-")
            raise CliError(f"{flag}: not UTF-8 text", EXIT_USAGE)
    records = record_class()
    require_key_for_new(records)  # before a value is typed in vain
    fields: dict[str, Any] = {key: value for key, value in options.items() if value is not None}
    if args.file:
        fields["is_file"] = True
    record = records(secret=read_value("Secret value: ", allow_empty=args.allow_empty), **fields)
    try:
        with transaction():
            # Again with the store locked: a rotation may have retired the key meanwhile.
            require_key_for_new(records)
            # One step: of two puts racing for the id, exactly one stores its value.
            record.save(create=True)
    except RecordExistsError:
        raise CliError(f"secret id already exists: {record.id}") from None
    try:
        write_stdout(record.id + "\n")
    except OutputError as exc:
        # Nobody learnt the id, so nobody could ever use or remove the record.
        record.delete()
        raise OutputError(f"{exc}; the secret was not stored") from None
    return EXIT_OK


def cmd_get(args: argparse.Namespace) -> int:
    records = record_class()
    try:
        value = records.get_secret_from_id(args.id, args.owner, args.prefix)
    except ValueError as exc:
        status, message = describe(exc, args.id)
        raise CliError(message, status) from None
    write_stdout(value)
    return EXIT_OK


def cmd_render(args: argparse.Namespace) -> int:
    path = None if args.file in (None, "-") else args.file
    # Refused before anything resolves, so no file secret is written for nothing.
    check_output(args.output, args.force)
    text = read_input(path)
    fmt = format_of(path, args.format)
    label = path or "standard input"
    rendered = render(record_class(), text, fmt, args.owner, args.prefix, label)
    write_output(args.output, rendered.encode("utf-8"), args.force)
    return EXIT_OK


def cmd_check(args: argparse.Namespace) -> int:
    path = None if args.file in (None, "-") else args.file
    label = path or "standard input"
    records = record_class()
    found = find(records, read_input(path), format_of(path, args.format), label)
    problems: dict[str, tuple[int, str] | None] = {}
    failed = 0
    for ref in found:
        where = printable(f"{label}:{ref.line}: {ref.shown}")
        if ref.secret_id is None:
            write_stdout(f"warn  {where}: not a complete reference, left as is\n")
        elif ref.left:
            write_stdout(f"warn  {where}: {ref.left}, left as is\n")
        else:
            if ref.secret_id not in problems:
                problems[ref.secret_id] = _problem(records, ref.secret_id, args.owner, args.prefix)
            problem = problems[ref.secret_id]
            failed += problem is not None
            shown = f"ok    {where}" if problem is None else f"FAIL  {where}: {problem[1]}"
            write_stdout(printable(shown) + "\n")
    if failed:
        statuses = {problem[0] for problem in problems.values() if problem is not None}
        # A key that opens nothing is the cause to fix first.
        status = next((s for s in (EXIT_KEY, EXIT_REFERENCE) if s in statuses), EXIT_FAILURE)
        checked = sum(ref.secret_id is not None and not ref.left for ref in found)
        raise CliError(f"{failed} of {checked} references do not resolve", status)
    return EXIT_OK


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


def _child_environment(records: type[Secrets], args: argparse.Namespace) -> dict[str, str]:
    environment = dict(os.environ)
    if not args.pass_key:
        # With the realm key the command could read any secret, whatever --owner and --prefix say.
        environment.pop(os.environ.get("KUV_SECRET_NAME", "kuv_top_secret").upper(), None)
    failures: list[tuple[int, str]] = []
    resolving: list[str] = []

    def resolve(secret_id: str, owner: str, prefix: str) -> str:
        resolving.append(secret_id)
        return records.get_secret_from_id(secret_id, owner, prefix)

    for name, value in list(environment.items()):
        resolving.clear()
        try:
            environment[name] = records.secret_composer(value, resolve, args.owner, args.prefix)
        except Exception as exc:  # noqa: BLE001 - every variable is reported, none ends the check
            failures.append(describe(exc, resolving[-1] if resolving else None))
            shown = f" {OPEN} {resolving[-1]} {CLOSE}:" if resolving else ""
            report(f"environment variable {name}:{shown} {failures[-1][1]}")
    if failures:
        count = len(failures)
        raise CliError(
            f"{count} of the environment's variables do not resolve; nothing was run",
            failures[0][0],
        )
    return environment


def cmd_run(args: argparse.Namespace) -> int:
    command = list(args.command)
    if command[:1] == ["--"]:
        command = command[1:]
    if not command:
        raise CliError("no command given: kuv-secrets run -- COMMAND [ARG...]", EXIT_USAGE)
    environment = _child_environment(record_class(), args)
    try:
        with _signals_to(lambda: subprocess.Popen(command, env=environment)) as proc:
            status = proc.wait()
    except FileNotFoundError:
        raise CliError(f"{command[0]}: command not found", 127) from None
    except OSError as exc:
        raise CliError(f"{command[0]}: cannot run: {exc.strerror}", 126) from None
    return 128 - status if status < 0 else status
