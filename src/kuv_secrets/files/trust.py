"""Which files the command line may read, replace or remove: the module's rule for a secret file.

A file is trusted when it is a regular file, owned by the user running the command and writable
by nobody else. Everything else is left alone and named in an ``OSError``, as resolution does;
the rule and its words are the module's own (``kuv_secrets._files``).
"""

from __future__ import annotations

import contextlib
import errno
import os
import stat

from kuv_secrets import _files

# Enough for any key file; a larger one is no key.
_KEY_LIMIT = 64 * 1024


def check(info: os.stat_result, path: str, *, private: bool = False) -> None:
    """Raise the ``OSError`` that resolution raises for a file it would not accept; ``private``
    refuses a file that its group or others may read, too."""
    _files.check(info, path)
    mode = stat.S_IMODE(info.st_mode)
    if private and mode & 0o077:
        raise OSError(
            errno.EACCES,
            f"group or others may access it (mode {mode:04o}); chmod 600 {path}",
            path,
        )


def _read(fd: int, limit: int, path: str) -> bytes:
    chunks, size = [], 0
    while size <= limit and (chunk := os.read(fd, 65536)):
        chunks.append(chunk)
        size += len(chunk)
    if size > limit:  # what follows the part read could change what the file means
        raise OSError(errno.EFBIG, "Too large to be a key file", path)
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
        return _read(fd, _KEY_LIMIT, path)
    finally:
        os.close(fd)


def holds(path: str, expected: bytes) -> bool:
    """Whether the trusted file at ``path`` holds exactly ``expected``; False when there is none.

    Raises ``OSError`` naming the path for a file that is not trusted, so it is left alone; a
    symbolic link is not followed but refused, since what is replaced or removed is the link."""
    return _files.holds(path, expected, follow_symlinks=False)


def _identity(path: str) -> tuple[int, int] | None:
    try:
        info = os.lstat(path)
    except FileNotFoundError:
        return None
    return info.st_dev, info.st_ino


def _still(path: str, expected: bytes) -> bool:
    """``holds``, and the name still the file that was checked: a file swapped in meanwhile (a
    folder others may write) is not ours to act on."""
    before = _identity(path)
    if not holds(path, expected):
        if before is None and _identity(path) is None:
            return False
        raise OSError(errno.EEXIST, "It holds another value", path)
    if _identity(path) != before:
        raise OSError(errno.EAGAIN, "It was replaced while it was checked", path)
    return True


def remove_if_holding(path: str, expected: bytes) -> bool:
    """Remove the trusted file at ``path`` when it holds ``expected``; False when there was none.

    Raises ``OSError`` naming the path when a file stands there that is not trusted or holds
    anything else: it is left in place."""
    if not _still(path, expected):
        return False
    with contextlib.suppress(FileNotFoundError):
        os.unlink(path)
    return True


def replace_if_holding(path: str, expected: bytes, data: bytes) -> bool:
    """Replace the trusted file at ``path`` by one holding ``data`` (mode 0600, in one step) when
    it holds ``expected``; False when there is none. Raises as ``remove_if_holding`` does."""
    if not _still(path, expected):
        return False
    _files.publish(path, data, replace=True)
    return True
