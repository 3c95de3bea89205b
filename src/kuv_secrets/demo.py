"""``kuv-secrets demo``: the whole cycle in a throwaway realm."""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
from typing import TYPE_CHECKING

from kuv_secrets.errors import EXIT_OK, PROG, CliError, record_class
from kuv_secrets.formats import render
from kuv_secrets.scalars import CLOSE, OPEN

if TYPE_CHECKING:
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


def _demo(records: type[Secrets], workdir: str) -> None:
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
    print(f"{PROG} demo: a throwaway realm with its own key and database in {workdir}")
    print()
    print(f"Stored a plain secret as {password.id}")
    print(f"   and a file secret as {key_file.id}")
    print(f"(owner {_DEMO_OWNER}; names prod.billing.db.password and prod.billing.tls.key)")
    print()
    print("Configuration demo.yaml:")
    print(_indent(template))
    print(f"Rendered with --owner {_DEMO_OWNER} --prefix {_DEMO_PREFIX}:")
    print(_indent(rendered))
    print(
        f"The file secret's value went into {delivered} ({size} characters, "
        f"mode {mode:04o}), not into the configuration."
    )
    print(f"Rendered with --prefix prod.shop. instead, the configuration {refusal}")
    print("The throwaway realm is deleted now.")


def cmd_demo(args: argparse.Namespace) -> int:
    from cryptography.fernet import Fernet

    key = Fernet.generate_key().decode()
    names = ("KUV_DATABASE", "KUV_SECRET_NAME", _DEMO_KEY_NAME.upper())
    saved = {name: os.environ.get(name) for name in names}
    previous_key = record_class().top_secret if "kuv_secrets.secrets" in sys.modules else None
    try:
        with tempfile.TemporaryDirectory(prefix="kuv-secrets-demo-") as workdir:
            # Set before the import, which reads the key once; a module already loaded gets it below.
            os.environ["KUV_DATABASE"] = os.path.join(workdir, "demo.sqlite3")
            os.environ["KUV_SECRET_NAME"] = _DEMO_KEY_NAME
            os.environ[_DEMO_KEY_NAME.upper()] = key
            records = record_class()
            records.top_secret = key
            _demo(records, workdir)
    finally:
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value
        if "kuv_secrets.secrets" in sys.modules:
            from kuv_secrets import secrets

            # A module first loaded for the demo gets the key its import would have found.
            secrets.Secrets.top_secret = (
                previous_key
                if previous_key is not None
                else secrets.get_top_secret(os.environ.get("KUV_SECRET_NAME", "kuv_top_secret"))
            )
    return EXIT_OK
