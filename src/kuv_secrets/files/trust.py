"""Which files the command line may read, replace or remove: the module's rule for a secret file.

A file is trusted when it is a regular file, owned by the user running the command and writable
by nobody else. Everything else is left alone and named in an ``OSError``, as resolution does.
"""

from __future__ import annotations

import contextlib
import errno
import os
import stat

from kuv_secrets.files.publish import open_directory

# Enough for any key file; a larger one is no key.
_KEY_LIMIT = 64 * 1024


def _refuse(err: int, text: str, path: str) -> OSError:
    return OSError(err, text, path)


def check(info: os.stat_result, path: str, *, private: bool = False) -> None:
    """Raise the ``OSError`` that resolution raises for a file it would not accept."""
    if stat.S_ISDIR(info.st_mode):
        raise _refuse(errno.EISDIR, os.strerror(errno.EISDIR), path)
    if not stat.S_ISREG(info.st_mode):
        raise _refuse(errno.EINVAL, "Not a regular file", path)
    if info.st_uid != os.geteuid():
        raise _refuse(errno.EACCES, "Refusing a file that another user owns", path)
    mode = stat.S_IMODE(info.st_mode)
    if private and mode & 0o077:
        raise _refuse(
            errno.EACCES,
            f"group or others may access it (mode {mode:04o}); chmod 600 {path}",
            path,
        )
    if mode & (stat.S_IWGRP | stat.S_IWOTH):
        raise _refuse(errno.EACCES, "Refusing a file that its group or others may write", path)


def _open(path: str, dir_fd: int | None = None) -> int:
    # Non-blocking: a FIFO without a writer is refused by the check instead of waited on.
    flags = os.O_RDONLY | os.O_CLOEXEC | os.O_NONBLOCK | os.O_NOCTTY | os.O_NOFOLLOW
    return os.open(path, flags, dir_fd=dir_fd)


def _read(fd: int, limit: int) -> bytes:
    chunks, size = [], 0
    while size <= limit and (chunk := os.read(fd, 65536)):
        chunks.append(chunk)
        size += len(chunk)
    return b"".join(chunks)


def read_private(path: str) -> bytes:
    """The content of a trusted file that only its owner may access (a key file)."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC | os.O_NONBLOCK | os.O_NOCTTY)
    except OSError as exc:
        raise OSError(exc.errno, exc.strerror, path) from None
    try:
        # Checked on the open file, so a swap after the check can't slip another file in.
        check(os.fstat(fd), path, private=True)
        return _read(fd, _KEY_LIMIT)
    finally:
        os.close(fd)


def holds(path: str, expected: bytes) -> bool:
    """Whether the trusted file at ``path`` holds exactly ``expected``; False when there is none.

    Raises ``OSError`` naming the path for a file that is not trusted, so it is left alone."""
    directory, name = os.path.split(path)
    try:
        dir_fd = open_directory(directory)
    except FileNotFoundError:
        return False
    try:
        try:
            # Looked at before it is opened: opening a device can act on it.
            info = os.stat(name, dir_fd=dir_fd, follow_symlinks=False)
            if stat.S_ISLNK(info.st_mode):
                raise _refuse(errno.ELOOP, "A symbolic link, not a file", path)
            check(info, path)
            fd = _open(name, dir_fd)
        except FileNotFoundError:
            return False
        except OSError as exc:
            raise OSError(exc.errno, exc.strerror, path) from None
        try:
            info = os.fstat(fd)
            check(info, path)
            return info.st_size == len(expected) and _read(fd, len(expected)) == expected
        finally:
            os.close(fd)
    finally:
        os.close(dir_fd)


def remove_if_holding(path: str, expected: bytes) -> bool:
    """Remove the trusted file at ``path`` when it holds ``expected``; False when there was none.

    Raises ``OSError`` naming the path when a file stands there that is not trusted or holds
    anything else: it is left in place."""
    if not holds(path, expected):
        if not os.path.lexists(path):
            return False
        raise _refuse(errno.EEXIST, "It holds another value, left in place", path)
    with contextlib.suppress(FileNotFoundError):
        os.unlink(path)
    return True
