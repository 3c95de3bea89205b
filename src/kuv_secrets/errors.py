"""Exit statuses and the messages of failures, fit for standard error (never a secret value)."""

from __future__ import annotations

import errno
import os
from typing import TYPE_CHECKING

from kuv_meta import StoreNotFoundError

if TYPE_CHECKING:
    from kuv_secrets.secrets import Secrets

PROG = "kuv-secrets"
EXIT_OK = 0
EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_KEY = 3
EXIT_REFERENCE = 4
_DENIED = frozenset(
    {
        "secret id not found",
        "Owner name of secret doesn't match",
        "Name prefix of secret doesn't match",
    }
)
_BAD_KEY = "Fernet key must be 32 url-safe base64-encoded bytes."
_NO_OVERWRITE = "Impossible to overwrite an existed file"


class CliError(Exception):
    """A failure whose message is fit for standard error, with its exit status."""

    def __init__(self, message: str, status: int = EXIT_FAILURE) -> None:
        super().__init__(message)
        self.status = status


def output_problem(exc: OSError) -> str:
    reason = "the reader closed it" if exc.errno == errno.EPIPE else exc.strerror or str(exc)
    return f"could not write all of the output to standard output: {reason}"


def record_class() -> type[Secrets]:
    # Imported on first use: the import fixes the realm key, which demo sets up first.
    from kuv_secrets.secrets import Secrets

    return Secrets


def _key_problem() -> str:
    key_name = os.environ.get("KUV_SECRET_NAME", "kuv_top_secret")
    if key_name == "":
        # Taken as a name, not as unset: the key is looked for under an empty name.
        return "KUV_SECRET_NAME is set but empty: unset it, or name the realm key there"
    if record_class().top_secret == "":
        return (
            f"no realm key: set {key_name.upper()}, provide /run/secrets/{key_name.lower()} "
            "or use --key-file"
        )
    return f"the realm key is not valid: {_BAD_KEY}"


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


def _other_content(message: str, secret_id: str | None) -> str:
    # The operator has to find the file to settle it: name it.
    try:
        record = record_class().load(secret_id) if secret_id is not None else None
    except Exception:  # noqa: BLE001 - the failure at hand is the one to report
        record = None
    path = delivered_path(record) if record is not None else None
    if path is None:
        return message
    return f"{path}: {message} (it holds another value; update replaces it)"


def describe(exc: BaseException, secret_id: str | None = None) -> tuple[int, str]:
    """Exit status and message for a failure, never quoting a value or the key; with the id
    being resolved, a file in the way is named."""
    from cryptography.fernet import InvalidToken

    if isinstance(exc, CliError):
        return exc.status, str(exc)
    if isinstance(exc, StoreNotFoundError):
        return EXIT_FAILURE, str(exc)
    if isinstance(exc, InvalidToken):
        return EXIT_KEY, "the realm key does not open this secret (wrong key or damaged token)"
    if isinstance(exc, UnicodeEncodeError) and exc.encoding == "ascii":
        # Only the key is encoded as ASCII; the default message would quote one of its characters.
        return EXIT_KEY, "the realm key is not valid: it holds a non-ASCII character"
    if isinstance(exc, ValueError):
        message = str(exc)
        if message == _BAD_KEY:
            return EXIT_KEY, _key_problem()
        if message in _DENIED:
            return EXIT_REFERENCE, message
        if message == _NO_OVERWRITE:
            return EXIT_FAILURE, _other_content(message, secret_id)
    if isinstance(exc, BrokenPipeError):
        return EXIT_FAILURE, output_problem(exc)
    if isinstance(exc, OSError) and exc.strerror:
        # In words with the path, not "[Errno N] ...".
        where = os.fsdecode(exc.filename) if isinstance(exc.filename, (str, bytes)) else None
        return EXIT_FAILURE, f"{where}: {exc.strerror}" if where else exc.strerror
    return EXIT_FAILURE, str(exc) or type(exc).__name__
