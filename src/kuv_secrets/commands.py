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

from kuv_meta import RecordExistsError

from kuv_secrets.errors import EXIT_OK, EXIT_USAGE, CliError, describe, record_class
from kuv_secrets.formats import format_of, located, parse, references, render
from kuv_secrets.publish import write_private
from kuv_secrets.streams import read_input, read_value, write_stdout

if TYPE_CHECKING:
    from types import FrameType

    from kuv_secrets.secrets import Secrets

_NEWLINE = "\n"


def _problem(records: type[Secrets], ref: str, owner: str, prefix: str) -> str | None:
    try:
        records.get_secret_from_id(ref, owner, prefix)
    except Exception as exc:  # noqa: BLE001 - every failure is reported, none ends the check
        return describe(exc)[1]
    return None


def cmd_keygen(args: argparse.Namespace) -> int:
    from cryptography.fernet import Fernet

    key = Fernet.generate_key().decode()
    if args.output is None:
        print(key)
        return EXIT_OK
    fd = os.open(args.output, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    with os.fdopen(fd, "w", encoding="ascii") as fp:
        os.fchmod(fd, 0o600)
        fp.write(key + "\n")
    return EXIT_OK


def cmd_put(args: argparse.Namespace) -> int:
    if not args.file and (args.file_path is not None or args.file_name is not None):
        raise CliError("--file-path and --file-name need --file", EXIT_USAGE)
    records = record_class()
    options = {
        "id": args.id,
        "owner_name": args.owner,
        "name": args.name,
        "file_path": args.file_path,
        "file_name": args.file_name,
    }
    fields: dict[str, Any] = {key: value for key, value in options.items() if value is not None}
    if args.file:
        fields["is_file"] = True
    record = records(secret=read_value("Secret value: "), **fields)
    try:
        # One step: of two puts racing for the id, exactly one stores its value.
        record.save(create=True)
    except RecordExistsError:
        raise CliError(f"secret id already exists: {record.id}") from None
    print(record.id)
    return EXIT_OK


def cmd_get(args: argparse.Namespace) -> int:
    write_stdout(record_class().get_secret_from_id(args.id, args.owner, args.prefix))
    return EXIT_OK


def cmd_render(args: argparse.Namespace) -> int:
    path = None if args.file in (None, "-") else args.file
    # Refused before anything resolves, so no file secret is written for nothing.
    if args.output is not None and not args.force and os.path.lexists(args.output):
        raise CliError(f"{args.output}: file exists; use --force to replace it")
    text = read_input(path)
    fmt = format_of(path, args.format)
    label = path or "standard input"
    rendered = render(record_class(), text, fmt, args.owner, args.prefix, label)
    if args.output is None:
        write_stdout(rendered)
    else:
        write_private(args.output, rendered.encode("utf-8"), args.force)
    return EXIT_OK


def cmd_check(args: argparse.Namespace) -> int:
    path = None if args.file in (None, "-") else args.file
    text = read_input(path)
    fmt = format_of(path, args.format)
    if fmt == "text":
        found = [(f"line {text.count(_NEWLINE, 0, at) + 1}", ref) for at, ref in references(text)]
    else:
        found = list(located(parse(text, fmt, path or "standard input"), ""))
    records = record_class()
    problems: dict[str, str | None] = {}
    for where, ref in found:
        if ref not in problems:
            problems[ref] = _problem(records, ref, args.owner, args.prefix)
        problem = problems[ref]
        print(f"ok    {where}: {ref}" if problem is None else f"FAIL  {where}: {ref} ({problem})")
    failed = sum(problems[ref] is not None for _, ref in found)
    if failed:
        raise CliError(f"{failed} of {len(found)} references do not resolve")
    return EXIT_OK


@contextlib.contextmanager
def _signals_to(proc: subprocess.Popen[bytes]) -> Iterator[None]:
    """While the command runs, let it decide about Ctrl-C and pass termination on to it."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return

    def forward(signum: int, frame: FrameType | None) -> None:
        proc.send_signal(signum)

    def ignore(signum: int, frame: FrameType | None) -> None:
        # The terminal sent Ctrl-C to the command as well.
        pass

    handlers: list[tuple[signal.Signals, Callable[[int, FrameType | None], None]]] = [
        (signal.SIGINT, ignore),
        (signal.SIGTERM, forward),
        (signal.SIGHUP, forward),
    ]
    previous = [(signum, signal.signal(signum, handler)) for signum, handler in handlers]
    try:
        yield
    finally:
        for signum, old in previous:
            signal.signal(signum, old if old is not None else signal.SIG_DFL)


def cmd_run(args: argparse.Namespace) -> int:
    command = list(args.command)
    if command[:1] == ["--"]:
        command = command[1:]
    if not command:
        raise CliError("no command given: kuv-secrets run -- COMMAND [ARG...]", EXIT_USAGE)
    records = record_class()
    environment = {
        name: records.secret_composer(value, records.get_secret_from_id, args.owner, args.prefix)
        for name, value in os.environ.items()
    }
    try:
        proc = subprocess.Popen(command, env=environment)
    except FileNotFoundError:
        raise CliError(f"{command[0]}: command not found", 127) from None
    except OSError as exc:
        raise CliError(f"{command[0]}: cannot run: {exc.strerror}", 126) from None
    with _signals_to(proc):
        status = proc.wait()
    return 128 - status if status < 0 else status
