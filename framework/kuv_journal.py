"""A store's memory beside its records: earlier values, and who asked for what.

``kuv_versions`` holds every value a record has had, as the token it was stored as (never opened
here), numbered from 1 per record; the newest ``keep()`` of each record are kept (10 unless the
store's setting says otherwise). ``kuv_events`` is the audit trail: one row per request on a record
(UTC time, host, OS user, command, record id, outcome), appended and never changed; the store
refuses to update or delete its rows. Values, tokens and keys never go into it.

Every function runs in the thread's open transaction (``kuv_store.transaction()``) when there is
one, so a change, its version and its event commit together; else in a transaction of its own.
"""

from __future__ import annotations

import os
from collections import namedtuple

from kuv_store import run

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterable
    from typing import NamedTuple

    from kuv_store import Handle

__all__ = [
    "KEEP",
    "Event",
    "Version",
    "all_versions",
    "append",
    "drop",
    "events",
    "keep",
    "now",
    "record_change",
    "restore_events",
    "restore_versions",
    "retoken",
    "set_keep",
    "versions",
    "who",
]

KEEP = 10
_KEEP_SETTING = "keep_versions"

if TYPE_CHECKING:

    class Version(NamedTuple):
        number: int
        token: str
        made_at: str
        host: str
        os_user: str

    class Event(NamedTuple):
        at: str
        host: str
        os_user: str
        command: str
        secret_id: str
        outcome: str

else:  # typing costs the command line's start-up more than this module does
    Version = namedtuple("Version", "number token made_at host os_user")
    Event = namedtuple("Event", "at host os_user command secret_id outcome")

_VERSIONS = (
    "SELECT number, token, made_at, host, os_user FROM kuv_versions WHERE kind = ? AND id = ?"
)
_SETTING = "SELECT value FROM kuv_settings WHERE name = ?"
_EVENTS = "SELECT at, host, os_user, command, secret_id, outcome FROM kuv_events"
_ADD_VERSION = "INSERT INTO kuv_versions (kind, id, number, token, made_at, host, os_user) VALUES "
_ADD_EVENT = "INSERT INTO kuv_events (at, host, os_user, command, secret_id, outcome) VALUES "


def now() -> str:
    """The time as the tables hold it: UTC, ISO 8601 to the microsecond, so text order is time
    order."""
    from datetime import datetime, timezone

    return datetime.now(timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.%fZ")


def who() -> tuple[str, str]:
    """This host's name and the OS user the process runs as (not whom the environment claims)."""
    import pwd
    import socket

    uid = os.geteuid()
    try:
        user = pwd.getpwuid(uid).pw_name
    except KeyError:
        user = str(uid)
    return socket.gethostname(), user


def keep() -> int:
    """How many versions of each record the store keeps."""
    rows = run(False, lambda store: store.rows(_SETTING, (_KEEP_SETTING,)))
    return int(rows[0][0]) if rows else KEEP


def set_keep(count: int) -> int:
    """Keep ``count`` versions of each record from now on; older ones go at once. The number of
    versions removed."""
    if count < 1:
        raise ValueError("a store keeps at least the current version of each record")

    def work(store: Handle) -> int:
        store.change(
            "INSERT INTO kuv_settings (name, value) VALUES (?, ?) "
            "ON CONFLICT (name) DO UPDATE SET value = excluded.value",
            (_KEEP_SETTING, str(count)),
        )
        return store.change(
            "DELETE FROM kuv_versions WHERE number <= "
            "(SELECT max(number) FROM kuv_versions AS newer "
            "WHERE newer.kind = kuv_versions.kind AND newer.id = kuv_versions.id) - ?",
            (count,),
        )

    return run(True, work)


def versions(kind: str, record_id: str) -> list[Version]:
    """The kept versions of a record, oldest first."""
    rows = run(False, lambda store: store.rows(_VERSIONS + " ORDER BY number", (kind, record_id)))
    return [Version(int(row[0]), *(str(cell) for cell in row[1:])) for row in rows]


def all_versions(kind: str) -> dict[str, list[Version]]:
    """The kept versions of every record of ``kind``, oldest first, by record id."""
    sql = "SELECT id, number, token, made_at, host, os_user FROM kuv_versions WHERE kind = ?"
    rows = run(False, lambda store: store.rows(sql + " ORDER BY id, number", (kind,)))
    found: dict[str, list[Version]] = {}
    for row in rows:
        found.setdefault(str(row[0]), []).append(
            Version(int(row[1]), *(str(cell) for cell in row[2:]))
        )
    return found


def record_change(kind: str, record_id: str, before: str | None, after: str) -> int:
    """Keep ``after``, the record's token from now on, as its next version; the number.

    ``before`` is its token until now: kept first as a version of its own when the versions do
    not end with it (a record stored before versions were kept, or changed by a host through
    the framework directly), so that no value a record had is missing from its history.
    """
    host, user = who()
    made = now()

    def work(store: Handle) -> int:
        last = store.rows(_VERSIONS + " ORDER BY number DESC LIMIT 1", (kind, record_id))
        number = int(last[0][0]) if last else 0
        tokens = [after] if before is None or (last and last[0][1] == before) else [before, after]
        for token in tokens:
            number += 1
            store.change(
                _ADD_VERSION + "(?, ?, ?, ?, ?, ?, ?)",
                (kind, record_id, number, token, made, host, user),
            )
        _prune(store, kind, record_id, number)
        return number

    return run(True, work)


def _prune(store: Handle, kind: str, record_id: str, newest: int) -> None:
    rows = store.rows(_SETTING, (_KEEP_SETTING,))
    count = int(rows[0][0]) if rows else KEEP
    store.change(
        "DELETE FROM kuv_versions WHERE kind = ? AND id = ? AND number <= ?",
        (kind, record_id, newest - count),
    )


def retoken(kind: str, record_id: str, number: int, token: str) -> None:
    """The same value under another key (a rotation)."""
    run(
        True,
        lambda store: store.change(
            "UPDATE kuv_versions SET token = ? WHERE kind = ? AND id = ? AND number = ?",
            (token, kind, record_id, number),
        ),
    )


def drop(kind: str, record_id: str) -> int:
    """Remove every version of a record (it is deleted); how many there were."""
    return run(
        True,
        lambda store: store.change(
            "DELETE FROM kuv_versions WHERE kind = ? AND id = ?", (kind, record_id)
        ),
    )


def append(command: str, outcomes: Iterable[tuple[str, str]]) -> None:
    """One event per (record id, outcome) of ``command``, made now by this host and user."""
    host, user = who()
    at = now()
    rows = [(at, host, user, command, record_id, outcome) for record_id, outcome in outcomes]
    if rows:
        restore_events(rows)


def events(record_id: str | None = None, since: str | None = None) -> list[Event]:
    """The events, oldest first: all, or those of one record, from ``since`` (as ``now()``
    writes times) on."""
    where, params = [], []
    if record_id is not None:
        where.append("secret_id = ?")
        params.append(record_id)
    if since is not None:
        where.append("at >= ?")
        params.append(since)
    sql = _EVENTS + (" WHERE " + " AND ".join(where) if where else "") + " ORDER BY at"
    rows = run(False, lambda store: store.rows(sql, tuple(params)))
    return [Event(*(str(cell) for cell in row)) for row in rows]


def restore_versions(kind: str, record_id: str, kept: Iterable[Version]) -> None:
    """Versions as a backup holds them, numbers and all."""
    rows = [(kind, record_id, *version) for version in kept]

    def work(store: Handle) -> None:
        for row in rows:
            store.change(_ADD_VERSION + "(?, ?, ?, ?, ?, ?, ?)", row)

    run(True, work)


def restore_events(rows: Iterable[tuple[str, str, str, str, str, str]]) -> None:
    """Events as they are given (a backup's, or new ones)."""
    rows = list(rows)
    chunks = [rows[at : at + _ROWS] for at in range(0, len(rows), _ROWS)]

    def work(store: Handle) -> None:
        for chunk in chunks:
            values = ", ".join(["(?, ?, ?, ?, ?, ?)"] * len(chunk))
            store.change(_ADD_EVENT + values, tuple(cell for row in chunk for cell in row))

    # One statement is atomic by itself: a read's event costs one round trip, no transaction.
    run(len(chunks) > 1, work)


# Rows a statement: far below the engines' limits on parameters.
_ROWS = 500
