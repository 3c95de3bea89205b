"""One secret at a time: keygen, put, get and update."""

from __future__ import annotations

import argparse
import contextlib
import os

from kuv_secrets.cli.status import (
    EXIT_OK,
    EXIT_REFERENCE,
    EXIT_USAGE,
    WRONG_KEY,
    CliError,
    OutputError,
    describe,
)
from kuv_secrets.files.streams import note, read_value, write_stdout
from kuv_secrets.realm.records import (
    chosen,
    delivered_path,
    name_taken,
    require_key_for_new,
    require_opening_key,
    same_name,
)

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from kuv_secrets.cli.context import Context
    from kuv_secrets.secrets import Secrets


def cmd_keygen(ctx: Context, args: argparse.Namespace) -> int:
    from cryptography.fernet import Fernet

    from kuv_secrets.files.publish import check_output, write_output

    if args.output not in (None, "-") and os.path.lexists(ctx.path(args.output)):
        # Never replaced: that would orphan every secret made under the old key.
        raise CliError(f"{args.output}: file exists; keygen never replaces a key file")
    check_output(ctx.path(args.output) if args.output else None, force=False)
    write_output(ctx, args.output, Fernet.generate_key() + b"\n", force=False)
    return EXIT_OK


def _surrogates(text: str) -> bool:
    return not text.isascii() and any("\ud800" <= c <= "\udfff" for c in text)


def _require_new_name(records: type[Secrets], owner: str, name: str) -> None:
    taken = same_name(require_key_for_new(records), owner, name)
    if taken:
        raise name_taken(taken[0])


def cmd_put(ctx: Context, args: argparse.Namespace) -> int:
    from kuv_meta import RecordExistsError, transaction

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
        if text is not None and _surrogates(text):
            flag = "--" + {"owner_name": "owner"}.get(option, option).replace("_", "-")
            raise CliError(f"{flag}: not UTF-8 text", EXIT_USAGE)
    import kuv_journal

    from kuv_secrets.realm.memory import Trail, keep_change, kind

    records = ctx.records
    _require_new_name(records, args.owner, args.name)  # before a value is typed in vain
    fields: dict[str, Any] = {key: value for key, value in options.items() if value is not None}
    if args.file:
        fields["is_file"] = True
    value = read_value(ctx, "Secret value: ", allow_empty=args.allow_empty)
    record = records(secret=value, **fields)
    try:
        with transaction():
            # Again with the store locked: a rotation may have retired the key meanwhile, and
            # of two puts racing for the name or the id, only the first finds them free.
            _require_new_name(records, args.owner, args.name)
            record.save(create=True)
            # Versions a secret of this id left behind (deleted by a host) are not this one's.
            kuv_journal.drop(kind(records), record.id)
            keep_change(records, record, None)
            trail = Trail("put")
            trail.ok(record.id)
            trail.write(ctx, "nothing was stored")
    except RecordExistsError:
        raise CliError(f"secret id already exists: {record.id}") from None
    try:
        write_stdout(ctx, record.id + "\n")
    except OutputError as exc:
        # Nobody learnt the id, so nobody could ever use or remove the record.
        with transaction():
            record.delete()
            kuv_journal.drop(kind(records), record.id)
        trail.failed(record.id, "failed")
        with contextlib.suppress(CliError):  # it fails either way, saying why
            trail.write(ctx)
        raise OutputError(f"{exc}; the secret was not stored") from None
    return EXIT_OK


def cmd_get(ctx: Context, args: argparse.Namespace) -> int:
    from kuv_secrets.realm.memory import Trail, resolve

    given = [args.id] if args.id is not None else []
    [secret_id] = chosen(ctx, given, args.name, args.owner, owner_limits=True)
    trail = Trail("get")
    try:
        with trail.failing(ctx, secret_id):
            value = resolve(ctx, secret_id, args.owner, args.prefix)
    except ValueError as exc:
        status, message = describe(exc, ctx, secret_id)
        raise CliError(message, status) from None
    trail.ok(secret_id)
    trail.write(ctx)
    write_stdout(ctx, value)
    return EXIT_OK


def opened_record(records: type[Secrets], secret_id: str) -> Secrets:
    record = records.load(secret_id)
    if not record:
        raise CliError("secret id not found", EXIT_REFERENCE)
    require_opening_key(records, [record], WRONG_KEY)
    return record


def cmd_update(ctx: Context, args: argparse.Namespace) -> int:
    from kuv_meta import RecordGoneError, transaction

    from kuv_secrets.realm.memory import Trail, keep_change

    given = [args.id] if args.id is not None else []
    [secret_id] = chosen(ctx, given, args.name, args.owner or "")
    records = ctx.records
    trail = Trail("update")
    with trail.failing(ctx, secret_id):
        opened_record(records, secret_id)  # before a value is typed in vain
        _check_version(records, secret_id, args.if_version)
    value = read_value(ctx, "New secret value: ", allow_empty=args.allow_empty)
    with trail.failing(ctx, secret_id):
        try:
            with transaction():
                # Again with the store locked: it may be deleted, rotated or updated meanwhile.
                record = opened_record(records, secret_id)
                _check_version(records, secret_id, args.if_version)
                before = records.decrypt(record.encrypted_secret or "", records.top_secret)
                token = record.encrypted_secret
                record.update_secret(value)
                number = keep_change(records, record, token)
                trail.ok(secret_id)
                trail.write(ctx, "nothing changed")
        except RecordGoneError:
            # Deleted while the value was being typed: saving must not bring it back.
            raise CliError("secret id not found", EXIT_REFERENCE) from None
    note(ctx, f"{secret_id} is at version {number}")
    path = delivered_path(record)
    if path is not None:
        replace_delivered(path, before, value)
    return EXIT_OK


def _check_version(records: type[Secrets], secret_id: str, expected: int | None) -> None:
    """Check-and-set: refuse unless the secret is at version ``expected``."""
    import kuv_journal

    from kuv_secrets.realm.memory import Conflict, current_number, kind

    if expected is None:
        return
    record = records.load(secret_id)
    token = record.encrypted_secret if record is not None else None
    number = current_number(kuv_journal.versions(kind(records), secret_id), token)
    if number != expected:
        raise Conflict(
            f"{secret_id} is at version {number}, not {expected}; nothing changed "
            f"(kuv-secrets history {secret_id} lists its versions)"
        )


def replace_delivered(path: str, before: str, value: str) -> None:
    """Replace the file that resolution wrote for the old value, so the next one finds the new
    value instead of a conflict; any other file there is left alone. The path is seen from the
    process's folder, as resolution sees it."""
    from kuv_secrets.files import trust

    try:
        # Resolution writes and compares UTF-8 whatever the locale.
        trust.replace_if_holding(path, before.encode("utf-8"), value.encode("utf-8"))
    except (OSError, UnicodeError) as exc:
        # A codec's message would quote a character of the value.
        reason = exc.strerror if isinstance(exc, OSError) else "the value has no UTF-8 form"
        raise CliError(
            f"the secret is updated, but its file {path} was not replaced: {reason}"
        ) from None
