"""init: the store made on purpose, since no other command makes one."""

from __future__ import annotations

import argparse

from kuv_secrets.cli.status import EXIT_OK
from kuv_secrets.files.streams import write_stdout

TYPE_CHECKING = False
if TYPE_CHECKING:
    from kuv_secrets.cli.context import Context


def cmd_init(ctx: Context, args: argparse.Namespace) -> int:
    from kuv_store import create, is_path, redact

    from kuv_secrets.cli import store_target

    target = store_target(ctx)
    made = create(target)  # refuses a mistyped URL before anything of it is shown
    shown = target if is_path(target) else redact(target)
    # Idempotent, so that provisioning may run it every time: an existing store is success.
    if made:
        write_stdout(ctx, f"created a secret store at {shown}\n")
    else:
        write_stdout(ctx, f"a secret store is at {shown} already; nothing changed\n")
    return EXIT_OK
