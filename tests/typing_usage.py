"""How a typed host uses the module; ``mypy --strict`` must accept this file as it is.

Never run: the calls need a realm. The lines marked ``type: ignore`` are misuses that the stub
must reject; strict mode reports an ignore that is not needed, so a stub that grew too lax
fails the check.
"""

from __future__ import annotations

from collections import OrderedDict

from kuv_secrets import secrets
from kuv_secrets.secrets import Secrets


def store(value: str, owner: str) -> str:
    record = Secrets(secret=value, owner_name=owner, name="prod.billing.db.password")
    record.save()
    return record.id


def store_file(value: str) -> Secrets:
    record = Secrets(
        secret=value, is_file=True, file_path="/run/billing", file_name="tls.key", id="tls"
    )
    record.save()
    return record


def rotate(secret_id: str, value: str) -> Secrets | None:
    record = Secrets.load(secret_id)
    return None if record is None else record.update_secret(value)


def describe(record: Secrets) -> tuple[str | None, str | None, bool, str, str | None]:
    record.file_path = "/run/other"
    return record.owner_name, record.name, record.is_file, record.file_path, record.file_name


def resolve(secret_id: str) -> str:
    return Secrets.get_secret_from_id(secret_id, owner_name="billing", prefix="prod.billing.")


def render(config: dict[str, object], rows: list[str], line: str) -> tuple[object, ...]:
    ordered: OrderedDict[str, int] = OrderedDict(a=1)
    walked: dict[str, object] = Secrets.secret_parser(config, "billing", "prod.")
    items: list[object] = Secrets.secret_parser(rows)
    text: str = Secrets.secret_parser(line)
    number: int = Secrets.secret_parser(42)
    plain: dict[str, object] = Secrets.secret_parser(ordered)
    return walked, items, text, number, plain


def compose(template: str) -> tuple[str, str, str]:
    def upper(secret_id: str, owner_name: str, prefix: str) -> str:
        return secret_id.upper()

    return (
        Secrets.secret_composer(template, Secrets.get_secret_from_id, "billing", "prod."),
        Secrets.secret_composer(template, upper),
        Secrets.secret_composer(template),
    )


def cipher(value: str) -> str:
    key: str = secrets.get_top_secret("kuv_top_secret")
    token = Secrets.encrypt(value, key)
    return Secrets.decrypt(token, Secrets.top_secret)


def misuse(record: Secrets) -> None:
    Secrets(secret="x", colour="red")  # type: ignore[call-arg]
    Secrets("x")  # type: ignore[call-arg]
    Secrets.get_secret_from_id(42)  # type: ignore[arg-type]
    Secrets.secret_composer("x", lambda secret_id: secret_id)  # type: ignore[arg-type,misc]
    Secrets.encrypt(b"x", "key")  # type: ignore[arg-type]
    record.is_file = "yes"  # type: ignore[assignment]
    length: int = Secrets.get_secret_from_id("id")  # type: ignore[assignment]
    del length
