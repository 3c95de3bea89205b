"""Commands on the realm as a whole: listing, deleting, importing and re-keying secrets."""

from __future__ import annotations

import argparse
import os

from kuv_meta import transaction

from kuv_secrets.cli.status import EXIT_KEY, EXIT_OK, EXIT_REFERENCE, CliError, OutputError
from kuv_secrets.files.streams import (
    discard_stdout,
    note,
    printable,
    read_input,
    write_stdout,
)
from kuv_secrets.realm.records import delivered_path, require_key_for_new
from kuv_secrets.render.scan import CLOSE, OPEN

TYPE_CHECKING = False
if TYPE_CHECKING:
    from kuv_secrets.cli.context import Context
    from kuv_secrets.render.dotenv import Entry
    from kuv_secrets.secrets import Secrets

_ANY_NAME = "<new name per use>"


def _display(text: object) -> str:
    # Names come from anyone who may store a secret: no terminal control sequences out of them.
    return "-" if text is None else printable(str(text))


def cmd_list(ctx: Context, args: argparse.Namespace) -> int:
    selected = [
        record
        for record in ctx.records.load_all()
        if (args.owner is None or record.owner_name == args.owner)
        and (not args.prefix or (record.name or "").startswith(args.prefix))
    ]
    if args.format == "json":
        fields = ("owner_name", "name", "is_file", "file_path", "file_name")
        rows = [{"id": r.id, **{f: getattr(r, f) for f in fields}} for r in selected]
        # A name a host stored from undecodable bytes must not break the listing for everyone.
        from kuv_secrets.render import jsonspans

        write_stdout(ctx, jsonspans.dumps(rows, indent=2) + "\n")
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
    write_stdout(ctx, "".join(line.rstrip() + "\n" for line in lines))
    return EXIT_OK


def cmd_delete(ctx: Context, args: argparse.Namespace) -> int:
    records = ctx.records
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
        # Read before they go: only a file holding the secret's own value is its to remove.
        values = {r.id: _value_of(records, r) for r in doomed} if args.remove_file else {}
        for record in doomed:
            record.delete()
    if not args.remove_file:
        return EXIT_OK
    # The records are gone for good now; a file left behind is reported, not rolled back.
    problems = [p for r in doomed if (p := _remove_delivered(ctx, r, values[r.id])) is not None]
    if problems:
        raise CliError(f"deleted {len(doomed)} secrets, but: " + "; ".join(problems))
    return EXIT_OK


def _value_of(records: type[Secrets], record: Secrets) -> str | None:
    try:
        return records.decrypt(record.encrypted_secret or "", records.top_secret)
    except Exception:  # noqa: BLE001 - unknown content: its file is not removed
        return None


def _remove_delivered(ctx: Context, record: Secrets, value: str | None) -> str | None:
    """Why a file secret's file stays, or None when it is removed or absent."""
    from kuv_secrets.files import trust

    if not record.is_file:
        return None
    path = delivered_path(record)
    if path is None:
        return f"{record.id}: its file has a new name at each use, left in place"
    if value is None:
        return f"{path}: the realm key does not open the secret, so its file is left in place"
    try:
        trust.remove_if_holding(ctx.path(path), value.encode("utf-8"))
    except (OSError, UnicodeError) as exc:
        reason = exc.strerror if isinstance(exc, OSError) else "the value has no UTF-8 form"
        return f"{path}: {reason}, left in place"
    return None


def cmd_rotate(ctx: Context, args: argparse.Namespace) -> int:
    from kuv_secrets.realm.keys import read_key, same_key

    records = ctx.records
    new_key = read_key(ctx, args.new_key_file)
    old_key = records.top_secret
    if same_key(old_key, new_key):
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
            ctx,
            f"All {len(stored)} secrets open with the current realm key; nothing changed.\n"
        )
        return EXIT_OK
    try:
        write_stdout(
            ctx,
            f"Re-encrypted {len(stored)} secrets under the new key.\n"
            "Next: give every host that uses this realm the new key (its key variable, "
            "/run/secrets/ file or --key-file); until it has it, it cannot open any secret.\n"
        )
    except OutputError:
        # Committed: a failure status now could get the new key thrown away.
        discard_stdout(ctx)
        note(
            ctx,
            f"the {len(stored)} secrets ARE rotated to the new key, though this report could "
            "not be written to standard output; every host must now switch to the new key"
        )
    return EXIT_OK


def _left_as_is(text: str, entry: Entry) -> str | None:
    """Why an entry is not stored, or None; never a word of its value."""
    from kuv_secrets.render.dotenv import literal

    if OPEN in entry.value:
        return f"its value holds {OPEN} (a reference, or a broken one)"
    if not literal(text, entry):
        # Stored, it would be the text as written, and render would quote it so.
        return "bash would expand, unescape or split it, where a stored secret is only its text"
    return None


def cmd_import(ctx: Context, args: argparse.Namespace) -> int:
    from kuv_secrets.render.dotenv import entries
    from kuv_secrets.render.scalars import Lines

    path = None if args.file == "-" else args.file
    text = read_input(ctx, path)
    label, lines = path or "standard input", Lines(text)
    records = ctx.records
    pieces: list[str] = []
    at = 0
    with transaction():
        require_key_for_new(records)
        for entry in entries(text):
            if not entry.value:  # nothing secret in it
                continue
            reason = _left_as_is(text, entry)
            if reason:
                note(ctx, f"{label}:{lines.at(entry.start)}: {entry.name} left as is: {reason}")
                continue
            record = records(
                secret=entry.value, owner_name=args.owner, name=args.name_prefix + entry.name
            )
            record.save(create=True)
            pieces += [text[at : entry.start], f"{OPEN} {record.id} {CLOSE}"]
            at = entry.end
        pieces.append(text[at:])
        # Inside the transaction: references nobody received are not kept.
        write_stdout(ctx, "".join(pieces))
    return EXIT_OK
