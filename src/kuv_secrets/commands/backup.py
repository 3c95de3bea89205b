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
# After the records: their kept versions, then the audit trail, each line told by its first key.
VERSION_FIELDS: dict[str, tuple[type, ...]] = {
    "version_of": (str,),
    "number": (int,),
    "token": (str,),
    "made_at": (str,),
    "host": (str,),
    "os_user": (str,),
}
EVENT_FIELDS: dict[str, tuple[type, ...]] = {
    "at": (str,),
    "host": (str,),
    "os_user": (str,),
    "command": (str,),
    "secret_id": (str,),
    "outcome": (str,),
}
# Every engine's INTEGER holds it, and no secret gets that many changes.
_MOST = 2**31 - 1
_WORDS = {str: "a string", bool: "true or false", type(None): "null", int: "a whole number"}


def _fields(row: dict[str, Any]) -> dict[str, tuple[type, ...]]:
    if "version_of" in row:
        return VERSION_FIELDS
    return EVENT_FIELDS if "outcome" in row else FIELDS


def _problem(row: dict[str, Any]) -> str | None:
    """What keeps ``row`` from being a record, a version or an event; None when nothing does."""
    fields = _fields(row)
    missing = [field for field in fields if field not in row]
    if missing:
        return "missing " + ", ".join(missing)
    unknown = [field for field in row if field not in fields]
    if unknown:
        return "unknown field " + ", ".join(printable(field) for field in unknown)
    for field, kinds in fields.items():
        if type(row[field]) not in kinds:
            return f"{field} must be " + " or ".join(_WORDS[kind] for kind in kinds)
    if fields is VERSION_FIELDS and not 1 <= row["number"] <= _MOST:
        return f"number must be from 1 to {_MOST}"
    return None


def dump(records: type[Secrets], stored: list[Secrets]) -> bytes:
    """The records, their versions and the audit trail as export writes them: in the order of
    their ids on every engine."""
    import kuv_journal

    from kuv_secrets.realm.memory import kind
    from kuv_secrets.render import jsonspans

    rows: list[dict[str, Any]] = []
    ordered = sorted(stored, key=lambda r: r.id)
    for record in ordered:
        rows.append({field: getattr(record, field) for field in FIELDS})
    kept = kuv_journal.all_versions(kind(records))
    for record in ordered:
        for version in kept.get(record.id, ()):
            rows.append({"version_of": record.id, **version._asdict()})
    rows += [event._asdict() for event in kuv_journal.events()]
    lines = []
    for row in rows:
        problem = _problem(row)
        if problem:
            # A backup that restore would refuse is found out now, not when it is needed.
            shown = row.get("id", row.get("version_of", row.get("secret_id")))
            raise CliError(f"secret {printable(str(shown))}: {problem}; nothing exported")
        lines.append(jsonspans.dumps(row) + "\n")
    return "".join(lines).encode("utf-8")


def check_target(ctx: Context, path: str, force: bool) -> None:
    from kuv_secrets.files.publish import check_output

    check_output(None if path == "-" else ctx.path(path), force)


def write(
    ctx: Context, path: str, records: type[Secrets], stored: list[Secrets], force: bool = False
) -> None:
    from kuv_secrets.files.publish import write_output

    write_output(ctx, path, dump(records, stored), force)


def cmd_export(ctx: Context, args: argparse.Namespace) -> int:
    from kuv_meta import transaction

    from kuv_secrets.files.publish import write_output
    from kuv_secrets.realm.memory import Trail

    check_target(ctx, args.output, args.force)
    records = ctx.records
    # One transaction: the versions and events read belong to the records read.
    with transaction():
        stored = records.load_all()
        data = dump(records, stored)
        trail = Trail("export")
        for record in stored:
            trail.ok(record.id)
        trail.write(ctx, "nothing was exported")
    write_output(ctx, args.output, data, args.force)
    return EXIT_OK


def _unique_keys(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    row = dict(pairs)
    if len(row) != len(pairs):
        raise ValueError("a field is given twice")
    return row


def parse(
    text: str, label: str
) -> tuple[list[dict[str, Any]], list[dict[str, Any]], list[dict[str, Any]]]:
    """The records, versions and events of an export, or a ``CliError`` naming the first line
    that holds none of them."""
    import json

    rows: list[dict[str, Any]] = []
    versions: list[dict[str, Any]] = []
    events: list[dict[str, Any]] = []
    first: dict[object, int] = {}
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
        fields = _fields(row) if problem is None else None
        key: object = None
        if fields is FIELDS:
            key = row["id"]
            if key in first:
                problem = f"id {printable(row['id'])} again, first on line {first[key]}"
        elif fields is VERSION_FIELDS:
            key = (row["version_of"], row["number"])
            if row["version_of"] not in first:
                problem = f"a version of {printable(row['version_of'])}, which no line before holds"
            elif key in first:
                problem = f"version {row['number']} again, first on line {first[key]}"
        if problem is not None:
            raise CliError(f"{label}:{number}: {problem}; nothing restored")
        first[key] = number
        (rows if fields is FIELDS else versions if fields is VERSION_FIELDS else events).append(row)
    return rows, versions, events


def cmd_restore(ctx: Context, args: argparse.Namespace) -> int:
    import kuv_journal
    from kuv_meta import transaction

    from kuv_secrets.realm.memory import Trail, kind

    path = None if args.file == "-" else args.file
    rows, versions, events = parse(read_input(ctx, path), path or "standard input")
    records = ctx.records
    trail = Trail("restore")
    with transaction():
        present = len(records.load_all())
        if present:
            raise CliError(
                f"the store holds {present} secrets; restore fills an empty store only, "
                "nothing restored"
            )
        for row in rows:
            records(**row).save(create=True)
            trail.ok(row["id"])
        for row in versions:
            fields = {field: row[field] for field in VERSION_FIELDS if field != "version_of"}
            version = kuv_journal.Version(**fields)
            kuv_journal.restore_versions(kind(records), row["version_of"], [version])
        kuv_journal.restore_events(tuple(row[field] for field in EVENT_FIELDS) for row in events)
        trail.write(ctx, "nothing restored")
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
