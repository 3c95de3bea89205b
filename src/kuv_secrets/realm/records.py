"""The record class a command works with, and the checks that keep writes openable."""

from __future__ import annotations

import os

from kuv_secrets.cli.status import EXIT_KEY, CliError

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from kuv_secrets.secrets import Secrets


def record_class(key: str) -> type[Secrets]:
    """The module's ``Secrets`` under ``key``: a subclass, so the module's class keeps its own
    key and every other host of the process is untouched."""
    from kuv_secrets import secrets

    base = secrets.Secrets
    namespace: dict[str, Any] = {
        "__module__": base.__module__,
        "__qualname__": base.__qualname__,
        # The framework files records under the class's kind: the same records as the base's.
        "__record_kind__": vars(base).get("__record_kind__", base.__name__),
        "top_secret": key,
    }
    metaclass: Any = type(base)
    cls: type[Secrets] = metaclass(base.__name__, (base,), namespace)
    return cls


def require_opening_key(records: type[Secrets], stored: list[Secrets], refusal: str) -> None:
    """Refuse a realm key that opens none of ``stored``: what it wrote would open for nobody,
    and an update would bury the value it replaces. Damaged records are passed over."""
    from cryptography.fernet import InvalidToken

    tokens = [r.encrypted_secret for r in stored if r.encrypted_secret is not None]
    for token in tokens:
        try:
            records.decrypt(token, records.top_secret)
            return
        except (InvalidToken, TypeError, AttributeError):  # no token, or no str at all
            continue
    if tokens:
        raise CliError(f"{refusal}; nothing changed", EXIT_KEY)


def require_key_for_new(records: type[Secrets]) -> None:
    """Refuse to add secrets under a realm key that opens none of those stored."""
    from kuv_meta import StoreNotFoundError

    try:
        stored = records.load_all()
    except StoreNotFoundError:
        return  # the first write makes the store
    require_opening_key(
        records, stored, "the realm key opens none of the stored secrets (wrong key?)"
    )


def delivered_path(record: Secrets) -> str | None:
    """Where resolution puts a file secret's value, seen from here; None when it picks a new name."""
    if not record.is_file or not record.file_name:
        return None
    return os.path.join(record.file_path, record.file_name)
