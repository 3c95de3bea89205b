"""The realm key: the one place that says where it comes from, and how a key file is read.

The module finds the key the same way when it is imported (``get_top_secret``); the command line
reads it from its context's environment instead of the process's.
"""

from __future__ import annotations

import os
from collections.abc import Mapping

from kuv_secrets.cli.status import BAD_KEY, EXIT_KEY, CliError

TYPE_CHECKING = False
if TYPE_CHECKING:
    from kuv_secrets.cli.context import Context

NAME_VARIABLE = "KUV_SECRET_NAME"
DEFAULT_NAME = "kuv_top_secret"
SECRETS_DIR = "/run/secrets/"


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
    with open(path) as fp:
        return fp.read().strip()


def key_problem(ctx: Context) -> str:
    name = key_name(ctx.env)
    if name == "":
        # Taken as a name, not as unset: the key is looked for under an empty name.
        return f"{NAME_VARIABLE} is set but empty: unset it, or name the realm key there"
    if ctx.records.top_secret == "":
        return (
            f"no realm key: set {key_variable(name)}, provide {secret_file(name)} "
            "or use --key-file"
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
