"""Secrets records kept in a dict, for tests whose loops should measure the module, not SQLite."""

from __future__ import annotations

from typing import Any, ClassVar

from kuv_secrets import secrets


class InMemory(secrets.Secrets):
    """Subclasses set `top_secret` and a `store` of their own; a dict get and set are atomic, so
    threads may share one."""

    store: ClassVar[dict[str, Any]] = {}

    @classmethod
    def load(cls, secret_id: str) -> Any:
        return cls.store.get(secret_id)

    def save(self) -> None:
        type(self).store[self.id] = self
