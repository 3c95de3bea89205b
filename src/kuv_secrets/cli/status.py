"""Exit statuses, and the one table from a failure to its status and message (never a value)."""

from __future__ import annotations

import errno
import os

from kuv_secrets import __version__

TYPE_CHECKING = False  # importing typing costs more than the rest of --version
if TYPE_CHECKING:
    from kuv_secrets.cli.context import Context

PROG = "kuv-secrets"
VERSION = f"{PROG} {__version__}"
EXIT_OK = 0
EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_KEY = 3
EXIT_REFERENCE = 4

# The module says these only in words, as ValueError; each word is its own status here.
NOT_FOUND = "secret id not found"
OTHER_OWNER = "Owner name of secret doesn't match"
OUTSIDE_PREFIX = "Name prefix of secret doesn't match"
BAD_KEY = "Fernet key must be 32 url-safe base64-encoded bytes."
NO_OVERWRITE = "Impossible to overwrite an existed file"
VALUE_ERRORS = {
    NOT_FOUND: EXIT_REFERENCE,
    OTHER_OWNER: EXIT_REFERENCE,
    OUTSIDE_PREFIX: EXIT_REFERENCE,
    BAD_KEY: EXIT_KEY,
    NO_OVERWRITE: EXIT_FAILURE,
}
WRONG_KEY = "the realm key does not open this secret (wrong key or damaged token)"


class CliError(Exception):
    """A failure whose message is fit for standard error, with its exit status."""

    def __init__(self, message: str, status: int = EXIT_FAILURE) -> None:
        super().__init__(message)
        self.status = status


class OutputError(CliError):
    """Standard output took less than all of what was written (a closed pipe, a full disk)."""


def output_problem(exc: OSError) -> str:
    reason = "the reader closed it" if exc.errno == errno.EPIPE else exc.strerror or str(exc)
    return f"could not write all of the output to standard output: {reason}"


def describe(
    exc: BaseException, ctx: Context | None = None, secret_id: str | None = None
) -> tuple[int, str]:
    """Exit status and message for a failure, never quoting a value or the key; with the id
    being resolved, a file in the way is named."""
    from cryptography.fernet import InvalidToken
    from kuv_meta import StoreNotFoundError

    if isinstance(exc, CliError):
        return exc.status, str(exc)
    if isinstance(exc, StoreNotFoundError):
        # No command makes a store on the side; the message says which one does.
        hint = f"; create it with `{PROG} init`" if exc.creatable else ""
        return EXIT_FAILURE, f"{exc}{hint}"
    if isinstance(exc, InvalidToken):
        return EXIT_KEY, WRONG_KEY
    if isinstance(exc, UnicodeEncodeError) and exc.encoding == "ascii":
        # Only the key is encoded as ASCII; the default message would quote one of its characters.
        return EXIT_KEY, "the realm key is not valid: it holds a non-ASCII character"
    if type(exc) is ValueError and str(exc) in VALUE_ERRORS:
        message = str(exc)
        if message == BAD_KEY and ctx is not None:
            from kuv_secrets.realm.keys import key_problem

            message = key_problem(ctx)
        elif message == NO_OVERWRITE and ctx is not None and secret_id is not None:
            message = _in_the_way(ctx, message, secret_id)
        return VALUE_ERRORS[str(exc)], message
    if isinstance(exc, BrokenPipeError):
        return EXIT_FAILURE, output_problem(exc)
    if isinstance(exc, OSError) and exc.strerror:
        # In words with the path, not "[Errno N] ...".
        where = os.fsdecode(exc.filename) if isinstance(exc.filename, (str, bytes)) else None
        return EXIT_FAILURE, f"{where}: {exc.strerror}" if where else exc.strerror
    return EXIT_FAILURE, str(exc) or type(exc).__name__


def _in_the_way(ctx: Context, message: str, secret_id: str) -> str:
    # The operator has to find the file to settle it: name it.
    from kuv_secrets.realm.records import delivered_path

    try:
        record = ctx.records.load(secret_id)
    except Exception:  # noqa: BLE001 - the failure at hand is the one to report
        record = None
    path = delivered_path(record) if record is not None else None
    if path is None:
        return message
    return f"{path}: {message} (it holds another value; update replaces it)"
