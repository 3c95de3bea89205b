"""rotate: every secret re-encrypted under a new realm key, all or none."""

from __future__ import annotations

import argparse

from kuv_meta import transaction

from kuv_secrets.cli.status import EXIT_KEY, EXIT_OK, CliError, OutputError
from kuv_secrets.files.streams import discard_stdout, note, write_stdout

TYPE_CHECKING = False
if TYPE_CHECKING:
    from kuv_secrets.cli.context import Context


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
