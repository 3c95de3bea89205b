"""import: the values of an environment file stored as secrets, and the file with references."""

from __future__ import annotations

import argparse

from kuv_meta import transaction

from kuv_secrets.cli.status import EXIT_OK
from kuv_secrets.files.streams import note, read_input, write_stdout
from kuv_secrets.realm.records import require_key_for_new
from kuv_secrets.render.scan import CLOSE, OPEN

TYPE_CHECKING = False
if TYPE_CHECKING:
    from kuv_secrets.cli.context import Context
    from kuv_secrets.render.dotenv import Entry


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
