"""The realm's memory: history, rollback, the audit log, and how many versions are kept."""

from __future__ import annotations

import argparse

from kuv_secrets.cli.status import EXIT_OK, EXIT_REFERENCE, EXIT_USAGE, CliError
from kuv_secrets.files.streams import columns, note, printable, write_stdout
from kuv_secrets.realm.memory import Trail, current_number, keep_change, kind

TYPE_CHECKING = False
if TYPE_CHECKING:
    from kuv_journal import Version

    from kuv_secrets.cli.context import Context


def _json(rows: list[dict[str, object]]) -> str:
    from kuv_secrets.render import jsonspans

    return jsonspans.dumps(rows, indent=2) + "\n"


def cmd_history(ctx: Context, args: argparse.Namespace) -> int:
    import kuv_journal

    records = ctx.records
    record = records.load(args.id)
    if record is None:
        raise CliError(f"secret id not found: {printable(args.id)}", EXIT_REFERENCE)
    kept = kuv_journal.versions(kind(records), args.id)
    current = current_number(kept, record.encrypted_secret)
    if not kept or current > kept[-1].number:
        note(
            ctx,
            f"the current value, version {current}, was stored where no version is kept (a "
            "host, or a release before versions); its next change keeps it",
        )
    if args.format == "json":
        write_stdout(
            ctx,
            _json(
                [
                    {
                        "version": v.number,
                        "made_at": v.made_at,
                        "host": v.host,
                        "user": v.os_user,
                        "current": v.number == current,
                    }
                    for v in kept
                ]
            ),
        )
        return EXIT_OK
    rows = [["VERSION", "MADE (UTC)", "HOST", "USER", "CURRENT"]]
    for v in kept:
        cells = [str(v.number), v.made_at, v.host, v.os_user, "yes" if v.number == current else ""]
        rows.append([printable(cell) for cell in cells])
    write_stdout(ctx, columns(rows))
    return EXIT_OK


def _version(kept: list[Version], current: int, secret_id: str, number: int) -> Version:
    from kuv_journal import keep

    if number == current:
        raise CliError(f"version {number} is the current value of {secret_id}; nothing changed")
    found = [v for v in kept if v.number == number]
    if found:
        return found[0]
    if number < current:
        raise CliError(
            f"version {number} of {secret_id} is no longer kept: the store keeps the newest "
            f"{keep()} of each secret (kuv-secrets history {secret_id} lists them); nothing changed",
            EXIT_REFERENCE,
        )
    raise CliError(
        f"{secret_id} has no version {number}: the newest is {current}; nothing changed",
        EXIT_REFERENCE,
    )


def cmd_rollback(ctx: Context, args: argparse.Namespace) -> int:
    import kuv_journal
    from kuv_meta import transaction

    from kuv_secrets.commands.values import opened_record, replace_delivered
    from kuv_secrets.realm.records import delivered_path

    records = ctx.records
    secret_id = args.id
    trail = Trail("rollback")
    with trail.failing(ctx, secret_id), transaction():
        record = opened_record(records, secret_id)
        kept = kuv_journal.versions(kind(records), secret_id)
        token = record.encrypted_secret
        chosen = _version(kept, current_number(kept, token), secret_id, args.to)
        before = records.decrypt(token or "", records.top_secret)
        value = records.decrypt(chosen.token, records.top_secret)
        record.update_secret(value)
        number = keep_change(records, record, token)
        trail.ok(secret_id)
        trail.write(ctx, "nothing changed")
    note(ctx, f"{secret_id} is at version {number}, the value of version {args.to}")
    path = delivered_path(record)
    if path is not None:
        replace_delivered(path, before, value)
    return EXIT_OK


_AGE = {"s": 1, "m": 60, "h": 3600, "d": 86400}


def since(text: str) -> str:
    """A --since TIME as the trail writes times (UTC), or a usage error."""
    from datetime import datetime, timedelta, timezone

    problem = (
        f"--since {printable(text)!r}: give a date (2026-12-09), a time "
        "(2026-12-09T14:30:00, UTC unless it ends in Z or an offset such as +01:00) or an "
        "age (90m, 12h, 7d)"
    )
    when: datetime | None = None
    if text[:-1].isascii() and text[:-1].isdigit() and text[-1:] in _AGE:
        try:
            when = datetime.now(timezone.utc) - timedelta(seconds=int(text[:-1]) * _AGE[text[-1]])
        except OverflowError:
            raise CliError(problem, EXIT_USAGE) from None
    else:
        try:
            # fromisoformat takes "Z" only from 3.11 on.
            given = text[:-1] + "+00:00" if text.endswith(("Z", "z")) else text
            when = datetime.fromisoformat(given) if len(given) >= 10 and given.isascii() else None
        except ValueError:
            when = None
        if when is None:
            raise CliError(problem, EXIT_USAGE)
        if when.tzinfo is None:
            when = when.replace(tzinfo=timezone.utc)
    try:
        when = when.astimezone(timezone.utc)
    except OverflowError:
        raise CliError(problem, EXIT_USAGE) from None
    # The year in four digits, as the trail writes it: text order is time order.
    return f"{when.year:04d}" + when.strftime("-%m-%dT%H:%M:%S.%fZ")


def cmd_log(ctx: Context, args: argparse.Namespace) -> int:
    import kuv_journal

    start = None if args.since is None else since(args.since)
    found = kuv_journal.events(args.id, start)
    if not found and args.id is not None and ctx.records.load(args.id) is None:
        raise CliError(
            f"no events, and no secret, under the id {printable(args.id)}", EXIT_REFERENCE
        )
    if args.format == "json":
        write_stdout(ctx, _json([e._asdict() for e in found]))
        return EXIT_OK
    rows = [["TIME (UTC)", "HOST", "USER", "COMMAND", "SECRET", "OUTCOME"]]
    rows += [[printable(cell) for cell in event] for event in found]
    write_stdout(ctx, columns(rows))
    return EXIT_OK


def cmd_retention(ctx: Context, args: argparse.Namespace) -> int:
    import kuv_journal

    if args.versions is None:
        write_stdout(ctx, f"{kuv_journal.keep()}\n")
        return EXIT_OK
    removed = kuv_journal.set_keep(args.versions)
    note(
        ctx,
        f"the store keeps the newest {args.versions} versions of each secret; "
        f"{removed} older versions removed",
    )
    return EXIT_OK
