"""What the realm remembers: each secret's versions, the files that follow them, and the audit
trail of the command line (never a value, a token or a key)."""

from __future__ import annotations

import contextlib

from kuv_secrets.cli.status import (
    BAD_KEY,
    EXIT_KEY,
    EXIT_REFERENCE,
    NO_OVERWRITE,
    NOT_FOUND,
    OTHER_OWNER,
    OUTSIDE_PREFIX,
    CliError,
    describe,
)
from kuv_secrets.files.streams import note
from kuv_secrets.realm.records import delivered_path

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterator

    from kuv_journal import Version

    from kuv_secrets.cli.context import Context
    from kuv_secrets.secrets import Secrets

OK = "ok"


class TrailError(CliError):
    """The audit trail could not be written: the command fails."""


class Conflict(CliError):
    """The secret is not at the version the command was told it is at (check-and-set)."""


_OUTCOMES = {NOT_FOUND: "not found", OTHER_OWNER: "denied", OUTSIDE_PREFIX: "denied"}


def kind(records: type[Secrets]) -> str:
    return str(vars(records).get("__record_kind__", records.__name__))


def current_number(kept: list[Version], token: str | None) -> int:
    """The number the current value has, or gets when its change was not kept as a version (a
    secret stored before versions were kept, or changed by a host directly)."""
    if not kept:
        return 1
    return kept[-1].number if kept[-1].token == token else kept[-1].number + 1


def keep_change(records: type[Secrets], record: Secrets, before: str | None) -> int:
    """The record's new token kept as its next version; the number."""
    import kuv_journal

    return kuv_journal.record_change(
        kind(records), record.id, before, record.encrypted_secret or ""
    )


def resolve(ctx: Context, secret_id: str, owner: str = "", prefix: str = "") -> str:
    """The module's resolution of ``secret_id``; a file secret whose file here is out of date
    (it holds an earlier version) has the file brought up to date and resolves again."""
    records = ctx.records
    try:
        return records.get_secret_from_id(secret_id, owner, prefix)
    except ValueError as exc:
        if str(exc) != NO_OVERWRITE or not _follow(ctx, secret_id):
            raise
    return records.get_secret_from_id(secret_id, owner, prefix)


def _follow(ctx: Context, secret_id: str) -> bool:
    """Whether the trusted file at the secret's path held one of its earlier values and now
    holds the current one. Any other file is left for resolution to refuse, as ever."""
    import kuv_journal

    from kuv_secrets.files import trust

    records = ctx.records
    try:
        record = records.load(secret_id)
        path = delivered_path(record) if record is not None else None
        if record is None or path is None:
            return False
        current = records.decrypt(record.encrypted_secret or "", records.top_secret).encode()
        for version in reversed(kuv_journal.versions(kind(records), secret_id)):
            earlier = records.decrypt(version.token, records.top_secret).encode()
            if earlier != current and trust.holds(path, earlier):
                trust.replace_if_holding(path, earlier, current)
                note(
                    ctx,
                    f"{path} held version {version.number} of {secret_id}; replaced by the "
                    "current value",
                )
                return True
    except Exception:  # noqa: BLE001 - resolution reports what is wrong, in its own words
        return False
    return False


def outcome(exc: BaseException) -> str:
    """An audit outcome for a failure: not found, denied, key error, or failed."""
    from cryptography.fernet import InvalidToken

    if isinstance(exc, Conflict):
        return "conflict"
    if isinstance(exc, CliError):
        return {EXIT_REFERENCE: "not found", EXIT_KEY: "key error"}.get(exc.status, "failed")
    if type(exc) is ValueError:
        if str(exc) == BAD_KEY:
            return "key error"
        return _OUTCOMES.get(str(exc), "failed")
    if isinstance(exc, (InvalidToken, UnicodeEncodeError)):
        return "key error"
    return "failed"


class Trail:
    """The events of one command, one per secret, written with its change or before its output."""

    def __init__(self, command: str) -> None:
        self.command = command
        self.outcomes: dict[str, str] = {}

    def ok(self, secret_id: str) -> None:
        self.outcomes.setdefault(secret_id, OK)

    def failed(self, secret_id: str, exc: BaseException | str) -> None:
        self.outcomes[secret_id] = exc if isinstance(exc, str) else outcome(exc)

    @contextlib.contextmanager
    def noted(self, secret_id: str) -> Iterator[None]:
        """The block reads ``secret_id``: its outcome is what the block comes to."""
        try:
            yield
        except Exception as exc:
            self.failed(secret_id, exc)
            raise
        self.ok(secret_id)

    @contextlib.contextmanager
    def failing(self, ctx: Context, secret_id: str) -> Iterator[None]:
        """A failure in the block is written down as the secret's outcome, then goes on."""
        from kuv_meta import StoreNotFoundError, StoreUnavailableError

        try:
            yield
        except (StoreNotFoundError, StoreUnavailableError, TrailError):
            raise  # nowhere to write it either
        except Exception as exc:
            self.failed(secret_id, exc)
            self.write(ctx, f"the command failed as well: {describe(exc, ctx, secret_id)[1]}")
            raise

    def write(self, ctx: Context, consequence: str = "nothing was printed") -> None:
        """Append the events now: in the open transaction for a change, on their own for a
        read. A trail that cannot be written fails the command."""
        import kuv_journal

        # An id from undecodable bytes goes on record escaped: no store takes lone surrogates.
        outcomes = [
            (secret_id.encode("utf-8", "backslashreplace").decode("utf-8"), outcome)
            for secret_id, outcome in self.outcomes.items()
        ]
        self.outcomes = {}
        try:
            kuv_journal.append(self.command, outcomes)
        except Exception as exc:  # noqa: BLE001 - whatever kept it out, the command fails
            raise TrailError(
                f"the audit trail could not be written ({describe(exc, ctx)[1]}); {consequence}"
            ) from None
