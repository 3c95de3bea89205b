"""import: the values of an environment file stored as secrets, and the file with references."""

from __future__ import annotations

import argparse

from kuv_meta import transaction

from kuv_secrets.cli.status import EXIT_OK, WRONG_KEY, CliError
from kuv_secrets.files.streams import note, read_input, report
from kuv_secrets.realm.memory import Trail, keep_change
from kuv_secrets.realm.records import require_key_for_new, require_opening_key
from kuv_secrets.render.scan import CLOSE, OPEN

TYPE_CHECKING = False
if TYPE_CHECKING:
    from kuv_secrets.cli.context import Context
    from kuv_secrets.render.dotenv import Entry
    from kuv_secrets.secrets import Secrets


def _left_as_is(text: str, entry: Entry) -> str | None:
    """Why an entry is not stored, or None; never a word of its value."""
    from kuv_secrets.render.dotenv import literal

    if OPEN in entry.value:
        return f"its value holds {OPEN} (a reference, or a broken one)"
    if not literal(text, entry):
        # Stored, it would be the text as written, and render would quote it so.
        return "bash would expand, unescape or split it, where a stored secret is only its text"
    return None


def _shown(record: Secrets) -> str:
    return f"{record.id} (owner {record.owner_name}, named {record.name})"


def _targets(
    ctx: Context, stored: list[Secrets], chosen: list[tuple[str, Entry]], args: argparse.Namespace
) -> list[Secrets | None]:
    """For each entry, the stored secret it updates, or None for a new one. Every collision is
    reported, and any stops the import."""
    by_id = {record.id: record for record in stored}
    by_name: dict[tuple[str | None, str | None], list[Secrets]] = {}
    for record in stored:
        by_name.setdefault((record.owner_name, record.name), []).append(record)
    first: dict[str, str] = {}
    targets: list[Secrets | None] = []
    for where, entry in chosen:
        name = args.name_prefix + entry.name
        hits = [by_id[name]] if name in by_id else []
        hits += [r for r in by_name.get((args.owner, name), []) if r.id != name]
        taken = "taken by " + " and ".join(map(_shown, hits))
        if name in first:
            report(ctx, f"{where}: {entry.name} is set again (first at {first[name]})")
        elif not hits:
            targets.append(None)
        elif not args.update_existing:
            report(ctx, f"{where}: {entry.name}: {taken}")
        elif len(hits) > 1 or hits[0].owner_name != args.owner or hits[0].is_file:
            # Only the owner's one value secret that the name means may take the value.
            report(ctx, f"{where}: {entry.name}: {taken}, which import does not update")
        else:
            targets.append(hits[0])
        first.setdefault(name, where)
    if len(targets) < len(chosen):
        hint = "" if args.update_existing else " (--update-existing gives them the new values)"
        count = len(chosen) - len(targets)
        raise CliError(f"{count} of the names are taken; nothing imported{hint}")
    return targets


def cmd_import(ctx: Context, args: argparse.Namespace) -> int:
    from kuv_secrets.files.publish import check_output, write_output
    from kuv_secrets.render.dotenv import entries
    from kuv_secrets.render.scalars import Lines

    # Refused before anything is stored: the references would reach nobody.
    if args.output not in (None, "-"):
        check_output(ctx.path(args.output), args.force)
    path = None if args.file == "-" else args.file
    text = read_input(ctx, path)
    label, lines = path or "standard input", Lines(text)
    chosen: list[tuple[str, Entry]] = []
    for entry in entries(text):
        if not entry.value:  # nothing secret in it
            continue
        where = f"{label}:{lines.at(entry.start)}"
        reason = _left_as_is(text, entry)
        if reason:
            note(ctx, f"{where}: {entry.name} left as is: {reason}")
        else:
            chosen.append((where, entry))
    if not chosen:
        # `import app.env > app.env` empties the file before the command reads it.
        raise CliError(f"{label}: nothing to import" + ("" if text else ": it is empty"))
    records = ctx.records
    pieces: list[str] = []
    updated: list[str] = []
    at = 0
    trail = Trail("import")
    with transaction():
        targets = _targets(ctx, require_key_for_new(records), chosen, args)
        for (where, entry), record in zip(chosen, targets):
            before = None
            if record is None:
                name = args.name_prefix + entry.name
                record = records(id=name, secret=entry.value, owner_name=args.owner, name=name)
                record.save(create=True)
            else:
                # As update: a key that can't open the value replaced would bury it.
                require_opening_key(records, [record], WRONG_KEY)
                before = record.encrypted_secret
                record.update_secret(entry.value)
                updated.append(f"{where}: {entry.name}: secret {record.id} has the new value")
            keep_change(records, record, before)
            trail.ok(record.id)
            pieces += [text[at : entry.start], f"{OPEN} {record.id} {CLOSE}"]
            at = entry.end
        trail.write(ctx, "nothing was imported")
        pieces.append(text[at:])
        # Inside the transaction: references nobody received are not kept.
        write_output(ctx, args.output, "".join(pieces).encode("utf-8"), args.force)
    for message in updated:
        note(ctx, message)
    return EXIT_OK
