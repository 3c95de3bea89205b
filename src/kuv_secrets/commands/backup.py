"""export and restore: every record as it is stored, one JSON object a line.

Tokens are copied, never opened: a backup is taken and restored without the realm key, and it
opens with the key that the records were made under, whichever store it goes to.
"""

from __future__ import annotations

import argparse

from kuv_secrets.cli.status import EXIT_OK, CliError
from kuv_secrets.files.streams import note, printable, read_input

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from kuv_secrets.cli.context import Context
    from kuv_secrets.secrets import Secrets

# A record, field by field, with the JSON types its value may take; a line holds these alone.
FIELDS: dict[str, tuple[type, ...]] = {
    "id": (str,),
    "owner_name": (str, type(None)),
    "name": (str, type(None)),
    "is_file": (bool,),
    "file_path": (str, type(None)),
    "file_name": (str, type(None)),
    "encrypted_secret": (str, type(None)),
}
_WORDS = {str: "a string", bool: "true or false", type(None): "null"}


def _problem(row: dict[str, Any]) -> str | None:
    """What keeps ``row`` from being a record; None when nothing does."""
    missing = [field for field in FIELDS if field not in row]
    if missing:
        return "missing " + ", ".join(missing)
    unknown = [field for field in row if field not in FIELDS]
    if unknown:
        return "unknown field " + ", ".join(printable(field) for field in unknown)
    for field, kinds in FIELDS.items():
        if type(row[field]) not in kinds:
            return f"{field} must be " + " or ".join(_WORDS[kind] for kind in kinds)
    return None


def dump(stored: list[Secrets]) -> bytes:
    """The records as export writes them: in the order of their ids on every engine."""
    from kuv_secrets.render import jsonspans

    lines = []
    for record in sorted(stored, key=lambda r: r.id):
        row = {field: getattr(record, field) for field in FIELDS}
        problem = _problem(row)
        if problem:
            # A backup that restore would refuse is found out now, not when it is needed.
            raise CliError(f"secret {printable(record.id)}: {problem}; nothing exported")
        lines.append(jsonspans.dumps(row) + "\n")
    return "".join(lines).encode("utf-8")


def check_target(ctx: Context, path: str, force: bool) -> None:
    from kuv_secrets.files.publish import check_output

    check_output(None if path == "-" else ctx.path(path), force)


def write(ctx: Context, path: str, stored: list[Secrets], force: bool = False) -> None:
    from kuv_secrets.files.publish import write_output

    write_output(ctx, path, dump(stored), force)


def cmd_export(ctx: Context, args: argparse.Namespace) -> int:
    check_target(ctx, args.output, args.force)
    write(ctx, args.output, ctx.records.load_all(), args.force)
    return EXIT_OK


def _unique_keys(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    row = dict(pairs)
    if len(row) != len(pairs):
        raise ValueError("a field is given twice")
    return row


def parse(text: str, label: str) -> list[dict[str, Any]]:
    """The records of an export, or a ``CliError`` naming the first line that holds none."""
    import json

    rows: list[dict[str, Any]] = []
    first: dict[str, int] = {}
    lines = text.split("\n")
    if lines[-1] == "":
        lines.pop()
    for number, line in enumerate(lines, 1):
        try:
            row = json.loads(line, object_pairs_hook=_unique_keys)
        except json.JSONDecodeError as exc:
            problem: str | None = f"not JSON: {exc.msg} (column {exc.colno})"
        except ValueError as exc:
            problem = str(exc)
        else:
            problem = _problem(row) if isinstance(row, dict) else "not a JSON object"
        if problem is None and row["id"] in first:
            problem = f"id {printable(row['id'])} again, first on line {first[row['id']]}"
        if problem is not None:
            raise CliError(f"{label}:{number}: {problem}; nothing restored")
        first[row["id"]] = number
        rows.append(row)
    return rows


def cmd_restore(ctx: Context, args: argparse.Namespace) -> int:
    from kuv_meta import transaction

    path = None if args.file == "-" else args.file
    rows = parse(read_input(ctx, path), path or "standard input")
    records = ctx.records
    with transaction():
        present = len(records.load_all())
        if present:
            raise CliError(
                f"the store holds {present} secrets; restore fills an empty store only, "
                "nothing restored"
            )
        for row in rows:
            records(**row).save(create=True)
    if _opens_none(records, rows):
        note(
            ctx,
            f"restored {len(rows)} secrets, but the realm key opens none of them: they open "
            "with the key they were exported under",
        )
    return EXIT_OK


def _opens_none(records: type[Secrets], rows: list[dict[str, Any]]) -> bool:
    # Only a usable key is worth the warning; restore itself needs none.
    from cryptography.fernet import InvalidToken

    tokens = [row["encrypted_secret"] for row in rows if row["encrypted_secret"] is not None]
    if not records.top_secret or not tokens:
        return False
    for token in tokens:
        try:
            records.decrypt(token, records.top_secret)
            return False
        except InvalidToken:
            continue
        except (ValueError, UnicodeEncodeError):  # no Fernet key at all
            return False
    return True
