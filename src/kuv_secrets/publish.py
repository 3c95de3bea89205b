"""Publishing a file in one step: readers see all of it or nothing, and only its owner may read it."""

from __future__ import annotations

import contextlib
import errno
import os
import tempfile

from kuv_secrets.errors import CliError


def write_private(path: str, data: bytes, force: bool) -> None:
    """Put ``data`` at ``path`` with mode 0600 in one step: readers see all of it or nothing."""
    target = os.path.abspath(path)
    directory = os.path.dirname(target)
    fd, temp = tempfile.mkstemp(prefix=".kuv-secrets-", suffix=".tmp", dir=directory)
    try:
        with os.fdopen(fd, "wb") as fp:
            os.fchmod(fp.fileno(), 0o600)
            fp.write(data)
            fp.flush()
            os.fsync(fp.fileno())
        if force:
            os.replace(temp, target)
        else:
            _link_new(temp, target, path)
        dir_fd = os.open(directory, os.O_RDONLY)
        try:
            os.fsync(dir_fd)
        finally:
            os.close(dir_fd)
    finally:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temp)


def _link_new(temp: str, target: str, shown: str) -> None:
    # A hard link fails if the name was taken meanwhile, where a rename would replace it.
    try:
        os.link(temp, target)
    except FileExistsError:
        raise CliError(f"{shown}: file exists; use --force to replace it") from None
    except OSError as exc:
        if exc.errno not in (errno.EPERM, errno.EOPNOTSUPP):
            raise
        # No hard links on this file system: claim the name, then move the file over it.
        try:
            os.close(os.open(target, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600))
        except FileExistsError:
            raise CliError(f"{shown}: file exists; use --force to replace it") from None
        os.replace(temp, target)
