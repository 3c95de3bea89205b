"""rotate: every secret re-encrypted under a new realm key, all or none.

The new key is on disk before anything changes, and a committed rotation is always reported:
every secret would be lost with a key nobody kept, and a host switched to the new key only if
someone learns of the rotation.
"""

from __future__ import annotations

import argparse
import signal

import kuv_journal
from kuv_meta import transaction

from kuv_secrets.cli.status import EXIT_KEY, EXIT_OK, EXIT_USAGE, CliError
from kuv_secrets.files.streams import discard_stdout, note, write_stdout
from kuv_secrets.realm.memory import Trail, kind

TYPE_CHECKING = False
if TYPE_CHECKING:
    from kuv_secrets.cli.context import Context
    from kuv_secrets.secrets import Secrets

_HELD = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


class _Held:
    """SIGINT, SIGTERM and SIGHUP blocked from just before the COMMIT until the report is out.

    Their handlers raise (KeyboardInterrupt, and SIGTERM and SIGHUP through main's unwinding),
    and one raised out of a COMMIT that went through, or out of its report, would end a rotation
    in silence or as a failure. Only the main thread runs handlers, so only it holds them."""

    def __init__(self) -> None:
        self.previous: set[int] | None = None
        self.arrived: list[signal.Signals] = []

    def start(self) -> None:
        import threading

        if threading.current_thread() is not threading.main_thread():
            return
        # Read first: a signal already on its way raises out of the next call, and the mask
        # must still be put back then.
        self.previous = signal.pthread_sigmask(signal.SIG_BLOCK, ())
        signal.pthread_sigmask(signal.SIG_BLOCK, _HELD)

    def swallow(self) -> None:
        """Take the held signals off the pending set, so that unblocking runs no handler."""
        if self.previous is None:
            return
        mine = set(_HELD) - self.previous
        while (info := signal.sigtimedwait(mine, 0)) is not None:
            signum = signal.Signals(info.si_signo)
            if signal.getsignal(signum) is not signal.SIG_IGN:
                self.arrived.append(signum)

    def end(self) -> None:
        if self.previous is not None:
            signal.pthread_sigmask(signal.SIG_SETMASK, self.previous)
            self.previous = None


def cmd_rotate(ctx: Context, args: argparse.Namespace) -> int:
    from kuv_secrets.commands import backup
    from kuv_secrets.realm import keys

    records = ctx.records
    if args.new_key_file is not None:
        key_path, new_key = args.new_key_file, keys.saved_key(ctx, args.new_key_file)
        if keys.same_key(records.top_secret, new_key):
            raise CliError("the new key is the current realm key; nothing to do", EXIT_KEY)
    else:
        key_path = args.generate_key_file
        keys.check_key_target(ctx, key_path)
    if args.backup == "-":
        raise CliError("--backup -: the backup goes into a file, not before the report", EXIT_USAGE)
    if args.backup is not None:
        backup.check_target(ctx, args.backup, force=False)
    # Fails as every command does without a usable key, before any record is read.
    records.encrypt("", records.top_secret)
    # Checked before a key file is made in vain; again under the lock below.
    count = len(_opened(records))
    _opened_versions(records)
    if not count:
        # A mistyped store path would "succeed" with nothing to do, and hosts would switch keys.
        raise CliError("no secrets in this store; nothing to re-encrypt")
    if args.dry_run:
        report = f"All {count} secrets open with the current realm key; nothing changed.\n"
        if args.backup is None:
            report += "Take a backup before the rotation: --backup FILE, or export.\n"
        write_stdout(ctx, report)
        return EXIT_OK
    if args.generate_key_file is not None:
        new_key = keys.generate_key_file(ctx, key_path)
    held = _Held()
    try:
        with transaction():
            stored = _opened(records)
            kept = _opened_versions(records)
            if args.backup is not None:
                # Under the lock: the backup holds exactly what is rotated.
                backup.write(ctx, args.backup, records, [record for record, _ in stored])
            trail = Trail("rotate")
            # The current version keeps the very token of its record: that is how it is known.
            renewed: dict[str | None, str] = {}
            for record, value in stored:
                old = record.encrypted_secret
                record.encrypted_secret = renewed[old] = records.encrypt(value, new_key)
                record.save()
                trail.ok(record.id)
            for secret_id, number, token, value in kept:
                new = renewed.get(token) or records.encrypt(value, new_key)
                kuv_journal.retoken(kind(records), secret_id, number, new)
            trail.write(ctx, "nothing changed")
            held.start()
        _report(ctx, len(stored), key_path, args.backup)
        held.swallow()
        if held.arrived:
            names = " and ".join(signum.name for signum in held.arrived)
            note(ctx, f"{names} arrived after the new key was committed; held until this report")
    finally:
        held.end()
    return EXIT_OK


def _opened(records: type[Secrets]) -> list[tuple[Secrets, str]]:
    """Every stored record with its value, or a ``CliError`` listing those that don't open."""
    stored = records.load_all()
    opened: list[tuple[Secrets, str]] = []
    failed: list[str] = []
    for record in stored:
        try:
            value = records.decrypt(record.encrypted_secret or "", records.top_secret)
        except Exception:  # noqa: BLE001 - a record that doesn't open is listed, not fatal yet
            failed.append(record.id)
        else:
            opened.append((record, value))
    if failed:
        raise CliError(
            f"{len(failed)} of {len(stored)} secrets do not open with the current realm key, "
            f"nothing changed: {', '.join(failed)}",
            EXIT_KEY,
        )
    return opened


def _opened_versions(records: type[Secrets]) -> list[tuple[str, int, str, str]]:
    """Every kept version with its value, or a ``CliError`` listing those that don't open: a
    version left under the old key would be lost with it."""
    opened: list[tuple[str, int, str, str]] = []
    failed: list[str] = []
    for secret_id, kept in kuv_journal.all_versions(kind(records)).items():
        for version in kept:
            try:
                value = records.decrypt(version.token, records.top_secret)
            except Exception:  # noqa: BLE001 - listed below
                failed.append(f"{secret_id} version {version.number}")
            else:
                opened.append((secret_id, version.number, version.token, value))
    if failed:
        raise CliError(
            f"{len(failed)} kept versions do not open with the current realm key, nothing "
            f"changed: {', '.join(failed)}",
            EXIT_KEY,
        )
    return opened


def _report(ctx: Context, count: int, key_path: str, backup: str | None) -> None:
    report = f"Re-encrypted {count} secrets under the new key in {key_path}.\n"
    if backup is not None:
        report += f"As they were, under the old key, they are in {backup}.\n"
    report += (
        "Next: give every host that uses this realm the new key (its key variable, "
        "/run/secrets/ file or --key-file); until it has it, it cannot open any secret.\n"
    )
    try:
        write_stdout(ctx, report)
    except Exception:  # noqa: BLE001 - committed: whatever befell standard output
        # Committed: a failure status now could get the new key thrown away.
        discard_stdout(ctx)
        note(
            ctx,
            f"the {count} secrets ARE rotated to the new key in {key_path}, though this report "
            "could not be written to standard output; every host must now switch to the new key",
        )
