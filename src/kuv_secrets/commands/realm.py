"""Commands on the stored secrets as a whole: listing and deleting."""

from __future__ import annotations

import argparse
import os

from kuv_meta import transaction

from kuv_secrets.cli.status import EXIT_OK, EXIT_REFERENCE, CliError
from kuv_secrets.files.streams import columns, note, printable, write_stdout
from kuv_secrets.realm.records import chosen, delivered_path

TYPE_CHECKING = False
if TYPE_CHECKING:
    from kuv_secrets.cli.context import Context
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
    write_stdout(ctx, columns(table))
    return EXIT_OK


def cmd_delete(ctx: Context, args: argparse.Namespace) -> int:
    import kuv_journal

    from kuv_secrets.realm.memory import Trail, kind

    given = chosen(ctx, args.ids, args.name, args.owner or "")
    records = ctx.records
    wanted = list(dict.fromkeys(given))
    # A read first: the transaction would create a missing SQLite store just to find it empty.
    records.load(wanted[0])
    trail = Trail("delete")
    with transaction():
        found = {secret_id: records.load(secret_id) for secret_id in wanted}
        missing = [secret_id for secret_id, record in found.items() if not record]
        if missing:
            for secret_id in missing:
                trail.failed(secret_id, "not found")
        else:
            doomed = [record for record in found.values() if record]
            # Read before they go: only a file holding the secret's own value is its to remove.
            values = {r.id: _value_of(records, r) for r in doomed} if args.remove_file else {}
            for record in doomed:
                record.delete()
                kuv_journal.drop(kind(records), record.id)
                trail.ok(record.id)
            trail.write(ctx, "nothing deleted")
    if missing:
        trail.write(ctx, "nothing deleted")
        raise CliError(
            f"secret id not found: {', '.join(missing)}; nothing deleted", EXIT_REFERENCE
        )
    # The records are gone for good now; a file left behind is reported, not rolled back.
    problems = []
    for record in doomed:
        left = ""
        if not args.remove_file:
            left = _file_stays(record)
        elif (problem := _remove_delivered(record, values[record.id])) is not None:
            problems.append(problem)
        note(ctx, f"deleted {record.id}{left}")
    if problems:
        raise CliError(f"deleted {len(doomed)} secrets, but: " + "; ".join(problems))
    return EXIT_OK


def _file_stays(record: Secrets) -> str:
    # Whoever deletes a file secret may think its delivered file went with it.
    if not record.is_file:
        return ""
    path = delivered_path(record)
    if path is None:
        where = os.path.join(record.file_path or ".", "")
        return f"; its files, named anew at each use, stay in {where}"
    if not os.path.lexists(path):  # seen from the process's folder, as resolution sees it
        return ""
    return f"; its file {path} stays; --remove-file removes it"


def _value_of(records: type[Secrets], record: Secrets) -> str | None:
    try:
        return records.decrypt(record.encrypted_secret or "", records.top_secret)
    except Exception:  # noqa: BLE001 - unknown content: its file is not removed
        return None


def _remove_delivered(record: Secrets, value: str | None) -> str | None:
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
        # Seen from the process's folder, as resolution sees it.
        trust.remove_if_holding(path, value.encode("utf-8"))
    except (OSError, UnicodeError) as exc:
        reason = exc.strerror if isinstance(exc, OSError) else "the value has no UTF-8 form"
        return f"{path}: {reason}, left in place"
    return None
