"""The realm key: the one place that says where it comes from, and how a key file is read.

The module finds the key the same way when it is imported (``get_top_secret``); the command line
reads it from its context's environment instead of the process's.
"""

from __future__ import annotations

import os
from collections.abc import Mapping

from kuv_secrets.cli.status import BAD_KEY, EXIT_KEY, EXIT_USAGE, CliError

TYPE_CHECKING = False
if TYPE_CHECKING:
    from kuv_secrets.cli.context import Context

NAME_VARIABLE = "KUV_SECRET_NAME"
DEFAULT_NAME = "kuv_top_secret"
SECRETS_DIR = "/run/secrets/"
_KEY_FILE_LIMIT = 64 * 1024


def key_name(env: Mapping[str, str]) -> str:
    return env.get(NAME_VARIABLE, DEFAULT_NAME)


def key_variable(name: str) -> str:
    return name.upper()


def secret_file(name: str) -> str:
    return SECRETS_DIR + name.lower()  # concatenated as given, never normalised


def realm_key(env: Mapping[str, str]) -> str:
    """The key as the module's import finds it: the variable when non-empty, else the stripped
    content of the secret file, else ""."""
    name = key_name(env)
    value = env.get(key_variable(name), "")
    if value:
        return value
    path = secret_file(name)
    if not os.path.exists(path):
        return ""
    return _container_key(path)


def _container_key(path: str) -> str:
    # Read as the module reads it, but a FIFO, a device or a huge file is no key: refused
    # instead of waited on or read without end. Its owner is the container's to choose.
    import stat

    try:
        fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC | os.O_NONBLOCK | os.O_NOCTTY)
        try:
            if not stat.S_ISREG(os.fstat(fd).st_mode):
                raise CliError(f"{path}: the realm key file is not a regular file", EXIT_KEY)
            data = b""
            while len(data) <= _KEY_FILE_LIMIT and (chunk := os.read(fd, 65536)):
                data += chunk
        finally:
            os.close(fd)
    except OSError as exc:
        raise CliError(f"{path}: cannot read the realm key: {exc.strerror}", EXIT_KEY) from None
    if len(data) > _KEY_FILE_LIMIT:
        raise CliError(f"{path}: too large to hold a realm key", EXIT_KEY)
    try:
        return data.decode("utf-8").strip()
    except UnicodeDecodeError:
        raise CliError(f"{path}: does not hold a realm key (not UTF-8 text)", EXIT_KEY) from None


def key_problem(ctx: Context) -> str:
    name = key_name(ctx.env)
    if name == "":
        # Taken as a name, not as unset: the key is looked for under an empty name.
        return f"{NAME_VARIABLE} is set but empty: unset it, or name the realm key there"
    if ctx.records.top_secret == "":
        return (
            f"no realm key: set {key_variable(name)}, provide {secret_file(name)} or use --key-file"
        )
    return f"the realm key is not valid: {BAD_KEY}"


def read_key(ctx: Context, path: str) -> str:
    """A realm key from a file only its owner may read (``-``: standard input), checked."""
    from kuv_secrets.files import trust

    if path == "-":
        if ctx.stdin is None:
            raise CliError("standard input is closed; it holds no key", EXIT_KEY)
        data = ctx.stdin.read()
    else:
        try:
            data = trust.read_private(ctx.path(path))
        except OSError as exc:
            raise CliError(f"{path}: cannot read the key: {exc.strerror}", EXIT_KEY) from None
    key = data.decode("utf-8", "replace").strip()
    return checked_key(key, "standard input" if path == "-" else path)


def require_file(option: str, path: str) -> None:
    """A new key lives in a file: on standard input or output it would be kept nowhere."""
    if path == "-":
        raise CliError(
            f"{option} -: a new key on standard input or output is saved nowhere, and once "
            "rotate committed it every secret would be lost with it; keep it in a file "
            "(kuv-secrets keygen -o FILE, then --new-key-file FILE) or use "
            "--generate-key-file FILE",
            EXIT_USAGE,
        )


def saved_key(ctx: Context, path: str) -> str:
    """A new realm key from a file only its owner may access, on disk before it is used: a
    rotation must never commit under a key that a crash could take away."""
    from kuv_secrets.files import trust

    require_file("--new-key-file", path)
    full = ctx.path(path)
    try:
        data = trust.read_private(full)
    except OSError as exc:
        raise CliError(f"{path}: cannot read the key: {exc.strerror}", EXIT_KEY) from None
    key = checked_key(data.decode("utf-8", "replace").strip(), path)
    try:
        _sync(full)
    except OSError as exc:
        raise CliError(f"{path}: cannot flush the key to disk: {exc.strerror}") from None
    return key


def _sync(path: str) -> None:
    # A key file that was just written may still live in the page cache alone.
    for target, flags in ((path, os.O_RDONLY), (os.path.dirname(path) or ".", os.O_DIRECTORY)):
        fd = os.open(target, flags | os.O_CLOEXEC | os.O_NONBLOCK | os.O_NOCTTY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)


def check_key_target(ctx: Context, path: str) -> None:
    """Refuse a path that a new key file cannot be made at: one that exists, above all."""
    from kuv_secrets.files.publish import check_output

    require_file("--generate-key-file", path)
    if os.path.lexists(ctx.path(path)):
        raise _taken(path)
    check_output(ctx.path(path), force=False)


def _taken(path: str) -> CliError:
    return CliError(f"{path}: file exists; a new key goes into a new file, never over one")


def generate_key_file(ctx: Context, path: str) -> str:
    """A new realm key in a new file (mode 0600, on disk with its folder entry), read back and
    checked before the caller uses it; an existing path is never replaced."""
    from cryptography.fernet import Fernet

    from kuv_secrets import _files

    check_key_target(ctx, path)
    key = Fernet.generate_key().decode("ascii")
    if not _files.publish(ctx.path(path), key.encode("ascii") + b"\n", replace=False):
        raise _taken(path)  # made since the check
    if not same_key(saved_key(ctx, path), key):
        raise CliError(f"{path}: reads back as another key than the one written; nothing changed")
    return key


def checked_key(key: str, source: str) -> str:
    from cryptography.fernet import Fernet

    try:
        Fernet(key.encode("ascii"))
    except (ValueError, UnicodeEncodeError):
        raise CliError(
            f"{source}: does not hold a realm key (44 characters of URL-safe Base64)", EXIT_KEY
        ) from None
    return key


def same_key(first: str, second: str) -> bool:
    # As Fernet reads them: other spellings of the same 32 bytes are the same key.
    import base64

    try:
        return base64.urlsafe_b64decode(first) == base64.urlsafe_b64decode(second)
    except ValueError:
        return first == second
