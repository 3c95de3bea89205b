"""Plain Python rendering of reference substitution: the oracle for tests and benchmarks.

Written step for step as the behaviour is defined, with no shortcuts, so that the compiled
module can be compared with it call for call.
"""

from __future__ import annotations

from typing import Any

from cryptography.fernet import Fernet


def compose(raw_string: Any, secret_manager: Any, owner_name: Any = "", prefix: Any = "") -> Any:
    """Replace every complete ${{ id }} in raw_string by secret_manager(id, owner_name, prefix)."""
    if not callable(secret_manager):
        return raw_string
    segments = [segment.split("}}") for segment in raw_string.split("${{")]
    pieces = []
    for parts in segments[1:]:
        if len(parts) > 1:
            value = secret_manager(parts[0].strip(), owner_name, prefix)
            pieces.append(value + "}}".join(parts[1:]))
        else:
            pieces.append("${{" + parts[0])
    return "".join(["}}".join(segments[0])] + pieces)


class Reference:
    """The two class methods, reaching each other through cls as the compiled ones do."""

    @classmethod
    def secret_parser(cls, source: Any, owner_name: str = "", prefix: str = "") -> Any:
        if isinstance(source, dict):
            result = {}
            for key, value in source.items():
                result[key] = cls.secret_parser(value, owner_name, prefix)
            return result
        if isinstance(source, list):
            return [cls.secret_parser(item, owner_name, prefix) for item in source]
        if isinstance(source, str):
            return cls.secret_composer(source, cls.get_secret_from_id, owner_name, prefix)
        return source

    @classmethod
    def secret_composer(
        cls, raw_string: str, secret_manager: Any = None, owner_name: str = "", prefix: str = ""
    ) -> str:
        return compose(raw_string, secret_manager, owner_name, prefix)  # type: ignore[no-any-return]

    @classmethod
    def get_secret_from_id(cls, secret_id: str, owner_name: str = "", prefix: str = "") -> str:
        raise NotImplementedError("a subclass resolves ids")


class Secrets:
    """The cipher's steps as a Python class method would write them (named as the compiled
    class, so that argument errors read alike)."""

    @classmethod
    def encrypt(cls, data: str, key: str) -> str:
        return Fernet(key.encode("ascii")).encrypt(data.encode()).decode()

    @classmethod
    def decrypt(cls, data: str, key: str) -> str:
        return Fernet(key.encode("ascii")).decrypt(data.encode()).decode()
