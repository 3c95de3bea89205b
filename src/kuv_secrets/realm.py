"""Commands on the realm as a whole: listing, deleting, importing, updating and re-keying secrets."""

from __future__ import annotations

import argparse
import base64
import contextlib
import os
import stat
import sys
from collections.abc import Iterator
from typing import TYPE_CHECKING

from kuv_meta import RecordGoneError, transaction

from kuv_secrets import jsonspans
from kuv_secrets.dotenv import Entry, entries, literal
from kuv_secrets.errors import (
    EXIT_KEY,
    EXIT_OK,
    EXIT_REFERENCE,
    CliError,
    delivered_path,
    record_class,
    require_key_for_new,
    require_opening_key,
)
from kuv_secrets.publish import open_directory, publish_file
from kuv_secrets.scalars import CLOSE, OPEN, Lines
from kuv_secrets.streams import (
    OutputError,
    discard_stdout,
    note,
    printable,
    read_input,
    read_value,
    write_stdout,
)

if TYPE_CHECKING:
    from kuv_secrets.secrets import Secrets

_ANY_NAME = "<new name per use>"


def read_key(path: str) -> str:
    """A realm key from a file only its owner may read (``-``: standard input), checked."""
    if path == "-":
        data = sys.stdin.buffer.read()
    else:
        data = _read_key_file(path)
    key = data.decode("utf-8", "replace").strip()
    return _checked_key(key, "standard input" if path == "-" else path)


def _read_key_file(path: str) -> bytes:
    try:
        # Non-blocking: a FIFO without a writer is refused below instead of waited on.
        fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC | os.O_NONBLOCK | os.O_NOCTTY)
    except OSError as exc:
        raise CliError(f"{path}: cannot read the key: {exc.strerror}", EXIT_KEY) from None
    try:
        # Checked on the open file, so a swap after the check can't slip another file in.
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            raise CliError(f"{path}: the key file is not a regular file", EXIT_KEY)
        mode = stat.S_IMODE(info.st_mode)
        if mode & 0o077:
            raise CliError(
                f"{path}: group or others may access the key file (mode {mode:04o}); "
                f"chmod 600 {path}",
                EXIT_KEY,
            )
        chunks = []
        while chunk := os.read(fd, 65536):
            chunks.append(chunk)
        return b"".join(chunks)
    except OSError as exc:
        raise CliError(f"{path}: cannot read the key: {exc.strerror}", EXIT_KEY) from None
    finally:
        os.close(fd)


def _checked_key(key: str, source: str) -> str:
    from cryptography.fernet import Fernet

    try:
        Fernet(key.encode("ascii"))
    except (ValueError, UnicodeEncodeError):
        raise CliError(
            f"{source}: does not hold a realm key (44 characters of URL-safe Base64)", EXIT_KEY
        ) from None
    return key


def _same_key(first: str, second: str) -> bool:
    # As Fernet reads them: other spellings of the same 32 bytes are the same key.
    try:
        return base64.urlsafe_b64decode(first) == base64.urlsafe_b64decode(second)
    except ValueError:
        return first == second


def use_key_file(path: str) -> None:
    # Set on the class, never in the environment, so no child process inherits it.
    record_class().top_secret = read_key(path)


def _display(text: object) -> str:
    # Names come from anyone who may store a secret: no terminal control sequences out of them.
    return "-" if text is None else printable(str(text))


def cmd_list(args: argparse.Namespace) -> int:
    selected = [
        record
        for record in record_class().load_all()
        if (args.owner is None or record.owner_name == args.owner)
        and (not args.prefix or (record.name or "").startswith(args.prefix))
    ]
    if args.format == "json":
        fields = ("owner_name", "name", "is_file", "file_path", "file_name")
        rows = [{"id": r.id, **{f: getattr(r, f) for f in fields}} for r in selected]
        # A name a host stored from undecodable bytes must not break the listing for everyone.
        write_stdout(jsonspans.dumps(rows, indent=2) + "\n")
        return EXIT_OK
    table = [["ID", "OWNER", "NAME", "KIND", "FILE"]]
    for record in selected:
        target = ""
        if record.is_file:
            target = delivered_path(record) or os.path.join(record.file_path, _ANY_NAME)
        kind = "file" if record.is_file else "value"
        cells = (record.id, record.owner_name, record.name, kind, target)
        table.append([_display(cell) for cell in cells])
    widths = [max(len(row[column]) for row in table) for column in range(len(table[0]))]
    lines = ("  ".join(cell.ljust(width) for cell, width in zip(row, widths)) for row in table)
    write_stdout("".join(line.rstrip() + "\n" for line in lines))
    return EXIT_OK


def _remove_delivered(path: str) -> str | None:
    """Removes a regular file at ``path``; the reason when something else stands there."""
    directory, name = os.path.split(path)
    try:
        dir_fd = open_directory(directory)
    except FileNotFoundError:
        return None
    except OSError as exc:
        return exc.strerror
    try:
        try:
            info = os.stat(name, dir_fd=dir_fd, follow_symlinks=False)
        except FileNotFoundError:
            return None
        if not stat.S_ISREG(info.st_mode):
            return "not a regular file, left in place"
        os.unlink(name, dir_fd=dir_fd)
    except FileNotFoundError:
        return None
    except OSError as exc:
        return exc.strerror
    finally:
        os.close(dir_fd)
    return None


def cmd_delete(args: argparse.Namespace) -> int:
    records = record_class()
    wanted = list(dict.fromkeys(args.ids))
    # A read first: the transaction would create a missing SQLite store just to find it empty.
    records.load(wanted[0])
    with transaction():
        found = {secret_id: records.load(secret_id) for secret_id in wanted}
        missing = [secret_id for secret_id, record in found.items() if not record]
        if missing:
            raise CliError(
                f"secret id not found: {', '.join(missing)}; nothing deleted", EXIT_REFERENCE
            )
        doomed = [record for record in found.values() if record]
        for record in doomed:
            record.delete()
    if not args.remove_file:
        return EXIT_OK
    # The records are gone for good now; a file left behind is reported, not rolled back.
    problems = []
    for record in doomed:
        path = delivered_path(record)
        if path is None and record.is_file:
            problems.append(f"{record.id}: its file has a new name at each use, left in place")
            continue
        reason = None if path is None else _remove_delivered(path)
        if reason is not None:
            problems.append(f"{path}: {reason}")
    if problems:
        raise CliError(f"deleted {len(doomed)} secrets, but: " + "; ".join(problems))
    return EXIT_OK


def cmd_rotate(args: argparse.Namespace) -> int:
    records = record_class()
    new_key = read_key(args.new_key_file)
    old_key = records.top_secret
    if _same_key(old_key, new_key):
        raise CliError("the new key is the current realm key; nothing to do", EXIT_KEY)
    # Fails as every command does without a usable key, before any record is read.
    records.encrypt("", old_key)
    # A mistyped store path would "succeed" with nothing to do, and hosts would switch keys.
    if not records.load_all():
        raise CliError("no secrets in this store; nothing to re-encrypt")
    with transaction():
        stored = records.load_all()
        values: list[str] = []
        failed: list[str] = []
        for record in stored:
            try:
                values.append(records.decrypt(record.encrypted_secret or "", old_key))
            except Exception:  # noqa: BLE001 - a record that doesn't open is listed, not fatal yet
                failed.append(record.id)
        if failed:
            raise CliError(
                f"{len(failed)} of {len(stored)} secrets do not open with the current realm key, "
                f"nothing changed: {', '.join(failed)}",
                EXIT_KEY,
            )
        if not args.dry_run:
            for record, value in zip(stored, values):
                record.encrypted_secret = records.encrypt(value, new_key)
                record.save()
    if args.dry_run:
        write_stdout(
            f"All {len(stored)} secrets open with the current realm key; nothing changed.\n"
        )
        return EXIT_OK
    try:
        write_stdout(
            f"Re-encrypted {len(stored)} secrets under the new key.\n"
            "Next: give every host that uses this realm the new key (its key variable, "
            "/run/secrets/ file or --key-file); until it has it, it cannot open any secret.\n"
        )
    except OutputError:
        # Committed: a failure status now could get the new key thrown away.
        discard_stdout()
        note(
            f"the {len(stored)} secrets ARE rotated to the new key, though this report could "
            "not be written to standard output; every host must now switch to the new key"
        )
    return EXIT_OK


def _left_as_is(text: str, entry: Entry) -> str | None:
    """Why an entry is not stored, or None; never a word of its value."""
    if OPEN in entry.value:
        return f"its value holds {OPEN} (a reference, or a broken one)"
    if not literal(text, entry):
        # Stored, it would be the text as written, and render would quote it so.
        return "bash would expand, unescape or split it, where a stored secret is only its text"
    return None


def cmd_import(args: argparse.Namespace) -> int:
    path = None if args.file == "-" else args.file
    text = read_input(path)
    label, lines = path or "standard input", Lines(text)
    records = record_class()
    pieces: list[str] = []
    at = 0
    with transaction():
        require_key_for_new(records)
        for entry in entries(text):
            if not entry.value:  # nothing secret in it
                continue
            reason = _left_as_is(text, entry)
            if reason:
                note(f"{label}:{lines.at(entry.start)}: {entry.name} left as is: {reason}")
                continue
            record = records(
                secret=entry.value, owner_name=args.owner, name=args.name_prefix + entry.name
            )
            record.save(create=True)
            pieces += [text[at : entry.start], f"{OPEN} {record.id} {CLOSE}"]
            at = entry.end
        pieces.append(text[at:])
        # Inside the transaction: references nobody received are not kept.
        write_stdout("".join(pieces))
    return EXIT_OK


@contextlib.contextmanager
def _file_step(path: str) -> Iterator[None]:
    try:
        yield
    except (OSError, UnicodeError) as exc:
        # A codec's message would quote a character of the value.
        reason = exc.strerror if isinstance(exc, OSError) else "the value has no UTF-8 form"
        raise CliError(
            f"the secret is updated, but its file {path} was not replaced: {reason}"
        ) from None


def _opened_record(records: type[Secrets], secret_id: str) -> Secrets:
    record = records.load(secret_id)
    if not record:
        raise CliError("secret id not found", EXIT_REFERENCE)
    refusal = "the realm key does not open this secret (wrong key or damaged token)"
    require_opening_key(records, [record], refusal)
    return record


def cmd_update(args: argparse.Namespace) -> int:
    records = record_class()
    _opened_record(records, args.id)  # before a value is typed in vain
    value = read_value("New secret value: ", allow_empty=args.allow_empty)
    try:
        with transaction():
            # Again with the store locked: it may be deleted or rotated meanwhile.
            record = _opened_record(records, args.id)
            record.update_secret(value)
    except RecordGoneError:
        # Deleted while the value was being typed: saving must not bring it back.
        raise CliError("secret id not found", EXIT_REFERENCE) from None
    path = delivered_path(record)
    if path is None or not os.path.lexists(path):
        return EXIT_OK
    with _file_step(path):
        if not stat.S_ISREG(os.lstat(path).st_mode):
            raise CliError(
                f"the secret is updated, but {path} is not a regular file; it was not replaced"
            )
        # Resolution writes and compares UTF-8 whatever the locale.
        publish_file(path, value.encode("utf-8"), force=True)
    return EXIT_OK
