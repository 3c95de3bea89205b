"""``kuv-secrets demo``: the whole cycle in a throwaway realm."""

from __future__ import annotations

import argparse
import os
import tempfile

from kuv_secrets.cli.status import EXIT_OK, PROG, CliError
from kuv_secrets.files.streams import write_stdout
from kuv_secrets.render.formats import render
from kuv_secrets.render.scan import CLOSE, OPEN

TYPE_CHECKING = False
if TYPE_CHECKING:
    from kuv_secrets.cli.context import Context
    from kuv_secrets.secrets import Secrets

_DEMO_KEY_NAME = "kuv_secrets_demo_key"
_DEMO_OWNER = "billing"
_DEMO_PREFIX = "prod.billing."


def _demo_template(password_id: str, key_id: str) -> str:
    return (
        "service: billing\n"
        "database:\n"
        "  host: db.internal\n"
        "  user: billing\n"
        f"  password: {OPEN} {password_id} {CLOSE}\n"
        "tls:\n"
        "  certificate: /etc/billing/tls.crt\n"
        f"  key_file: {OPEN} {key_id} {CLOSE}\n"
        "greeting: Grüße aus der Buchhaltung\n"
    )


def _indent(text: str) -> str:
    return "".join(f"  {line}" for line in text.splitlines(keepends=True))


def _demo(records: type[Secrets], workdir: str, store: str) -> str:
    password = records(
        secret="correct horse battery staple",
        owner_name=_DEMO_OWNER,
        name="prod.billing.db.password",
    )
    password.save()
    key_file = records(
        secret="-----BEGIN DEMO KEY-----\nnot a real key\n-----END DEMO KEY-----\n",
        owner_name=_DEMO_OWNER,
        name="prod.billing.tls.key",
        is_file=True,
        file_path=os.path.join(workdir, "run", "billing"),
        file_name="tls.key",
    )
    key_file.save()
    template = _demo_template(password.id, key_file.id)
    rendered = render(records, template, "yaml", _DEMO_OWNER, _DEMO_PREFIX, "demo.yaml")
    delivered = records.get_secret_from_id(key_file.id, _DEMO_OWNER, _DEMO_PREFIX)
    with open(delivered, encoding="utf-8") as fp:
        size = len(fp.read())
    mode = os.stat(delivered).st_mode & 0o777
    try:
        render(records, template, "yaml", _DEMO_OWNER, "prod.shop.", "demo.yaml")
        refusal = "was not refused (unexpected)"
    except CliError as exc:
        refusal = f"is refused: {exc}"
    lines: list[str] = []
    lines.append(f"{PROG} demo: a throwaway realm with its own key and database in {workdir}")
    lines.append("")
    lines.append(f"Created its store {store}, as `{PROG} init` does")
    lines.append(f"Stored a plain secret as {password.id}")
    lines.append(f"   and a file secret as {key_file.id}")
    lines.append(f"(owner {_DEMO_OWNER}; names prod.billing.db.password and prod.billing.tls.key)")
    lines.append("")
    lines.append("Configuration demo.yaml:")
    lines.append(_indent(template))
    lines.append(f"Rendered with --owner {_DEMO_OWNER} --prefix {_DEMO_PREFIX}:")
    lines.append(_indent(rendered))
    lines.append(
        f"The file secret's value went into {delivered} ({size} characters, "
        f"mode {mode:04o}), not into the configuration."
    )
    lines.append(f"Rendered with --prefix prod.shop. instead, the configuration {refusal}")
    lines.append("The throwaway realm is deleted now.")
    return "\n".join(lines) + "\n"


def cmd_demo(ctx: Context, args: argparse.Namespace) -> int:
    from cryptography.fernet import Fernet
    from kuv_store import create, using

    from kuv_secrets.realm.records import record_class

    # Its own store and key, never the context's: the realm at hand is not touched.
    records = record_class(Fernet.generate_key().decode())
    with tempfile.TemporaryDirectory(prefix="kuv-secrets-demo-") as workdir:
        store = os.path.join(workdir, "demo.sqlite3")
        create(store)
        with using(store, create=False):
            report = _demo(records, workdir, store)
    write_stdout(ctx, report)
    return EXIT_OK
