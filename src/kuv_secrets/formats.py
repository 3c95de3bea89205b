"""Configuration formats: reading, substituting and writing JSON, YAML and text, and finding references."""

from __future__ import annotations

import json
import os
from collections.abc import Iterator
from typing import TYPE_CHECKING, Any

from kuv_secrets.errors import CliError

if TYPE_CHECKING:
    from kuv_secrets.secrets import Secrets

_FORMATS = {".json": "json", ".yaml": "yaml", ".yml": "yaml"}
OPEN, CLOSE = "${{", "}}"


def format_of(path: str | None, forced: str | None) -> str:
    if forced:
        return forced
    if path is None:
        return "text"
    return _FORMATS.get(os.path.splitext(path)[1].lower(), "text")


def parse(text: str, fmt: str, label: str) -> Any:
    if fmt == "json":
        try:
            return json.loads(text)
        except json.JSONDecodeError as exc:
            raise CliError(f"{label}: not valid JSON: {exc}") from None
    import yaml

    try:
        return yaml.safe_load(text)
    except yaml.YAMLError as exc:
        raise CliError(f"{label}: not valid YAML: {exc}") from None


def render(records: type[Secrets], text: str, fmt: str, owner: str, prefix: str, label: str) -> str:
    if fmt == "text":
        return records.secret_composer(text, records.get_secret_from_id, owner, prefix)
    rendered = records.secret_parser(parse(text, fmt, label), owner, prefix)
    if fmt == "json":
        return json.dumps(rendered, indent=2, ensure_ascii=False) + "\n"
    import yaml

    return yaml.safe_dump(rendered, sort_keys=False, allow_unicode=True)


def references(text: str) -> Iterator[tuple[int, str]]:
    """Offset and stripped id of each reference, paired the way substitution pairs them."""
    start = text.find(OPEN)
    while start != -1:
        body = start + len(OPEN)
        following = text.find(OPEN, body)
        close = text.find(CLOSE, body)
        if close != -1 and (following == -1 or close < following):
            yield start, text[body:close].strip()
        start = following


def located(source: Any, where: str) -> Iterator[tuple[str, str]]:
    # Visits exactly what the structure walk substitutes: dict values, list items, strings.
    if isinstance(source, dict):
        for key, value in source.items():
            yield from located(value, f"{where}.{key}" if where else str(key))
    elif isinstance(source, list):
        for index, item in enumerate(source):
            yield from located(item, f"{where}[{index}]")
    elif isinstance(source, str):
        for _, ref in references(source):
            yield where or "(document)", ref
