"""The record class a command works with, and the checks that keep writes openable."""

from __future__ import annotations

import os

from kuv_secrets.cli.status import EXIT_KEY, EXIT_REFERENCE, EXIT_USAGE, CliError

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from kuv_secrets.cli.context import Context
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


def require_key_for_new(records: type[Secrets]) -> list[Secrets]:
    """Refuse to add secrets under a realm key that opens none of those stored; the stored."""
    from kuv_meta import StoreNotFoundError

    try:
        stored = records.load_all()
    except StoreNotFoundError:
        return []  # the write then fails, naming init
    require_opening_key(
        records, stored, "the realm key opens none of the stored secrets (wrong key?)"
    )
    return stored


def same_name(stored: list[Secrets], owner: str, name: str) -> list[Secrets]:
    """The secrets that (owner, name) means; the command line keeps them to one."""
    return [r for r in stored if r.owner_name == owner and r.name == name]


def name_taken(record: Secrets) -> CliError:
    return CliError(
        f"owner {record.owner_name} already has a secret named {record.name}: {record.id}; "
        f"kuv-secrets update {record.id} changes its value"
    )


def named(records: type[Secrets], owner: str, name: str) -> str:
    """The id of the one secret of ``owner`` named ``name``."""
    found = same_name(records.load_all(), owner, name)
    if not found:
        raise CliError(f"secret not found: owner {owner} has none named {name}", EXIT_REFERENCE)
    if len(found) > 1:
        # Hosts store through the module, which does not keep names apart.
        ids = ", ".join(r.id for r in found)
        raise CliError(f"owner {owner} has several secrets named {name}: {ids}; give the id")
    return found[0].id


def chosen(
    ctx: Context, ids: list[str], name: str | None, owner: str, *, owner_limits: bool = False
) -> list[str]:
    """The ids a command works on: those given, or that of the secret of ``owner`` named
    ``name``; ``owner_limits`` lets --owner go with ids too (get's access limit)."""
    if bool(ids) == (name is not None):
        raise CliError("give either an ID or --name NAME --owner OWNER", EXIT_USAGE)
    if name is None:
        if owner and not owner_limits:
            raise CliError("--owner goes with --name", EXIT_USAGE)
        return ids
    if not owner:
        raise CliError("--name needs --owner", EXIT_USAGE)
    return [named(ctx.records, owner, name)]


def delivered_path(record: Secrets) -> str | None:
    """Where resolution puts a file secret's value, seen from here; None when it picks a new name."""
    if not record.is_file or not record.file_name:
        return None
    return os.path.join(record.file_path, record.file_name)
