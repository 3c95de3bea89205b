"""Publishing a file in one step: readers see all of it or nothing, and only its owner may read it.

The content goes into a temporary file in the target's directory first: an unnamed one
(O_TMPFILE) where the file system has them, else a hidden named one. It gets the target's name by
a hard link, which never replaces anything; where hard links are refused, by an exclusive rename
(renameat2 with RENAME_NOREPLACE). With ``force`` it is renamed over the target instead.
"""

from __future__ import annotations

import contextlib
import ctypes
import errno
import os
import signal
import stat
import uuid
from collections.abc import Iterator

from typing import TYPE_CHECKING

from kuv_secrets.cli.status import CliError

if TYPE_CHECKING:
    from kuv_secrets.cli.context import Context

PROC_FD = "/proc/self/fd"
_RENAME_NOREPLACE = 1
_NO_TMPFILE = frozenset({errno.EOPNOTSUPP, errno.EISDIR, errno.EINVAL})
_NO_LINKS = frozenset({errno.EPERM, errno.EOPNOTSUPP, errno.EXDEV})
_NO_RENAMEAT2 = frozenset({errno.ENOSYS, errno.EINVAL})
_UNPUBLISHABLE = (
    "the file system can publish the file neither by a hard link nor by an exclusive rename"
)
# A signal during publication waits for its end, so it never leaves a temporary file behind.
_HELD = frozenset({signal.SIGINT, signal.SIGTERM, signal.SIGHUP})


def _is_stdout(path: str | None) -> bool:
    return path is None or path == "-"


def _exists(path: str) -> CliError:
    return CliError(f"{path}: file exists; use --force to replace it")


def _kind(mode: int) -> str:
    if stat.S_ISDIR(mode):
        return "a directory"
    if stat.S_ISFIFO(mode):
        return "a FIFO"
    if stat.S_ISCHR(mode) or stat.S_ISBLK(mode):
        return "a device"
    return "not a regular file"


def check_output(path: str | None, force: bool) -> None:
    """Refuse an unfit target before any work: one that exists (unless ``force``), and always
    a directory, FIFO or device, which a rename would replace rather than write into."""
    if _is_stdout(path):
        return
    assert path is not None
    if not os.path.basename(path):
        raise CliError(f"{path}: names a directory; the output must be a regular file")
    try:
        mode: int | None = os.stat(path).st_mode
    except FileNotFoundError:
        mode = None  # nothing there, or a dangling symbolic link
    except OSError as exc:
        raise OSError(exc.errno, exc.strerror, path) from None
    if mode is not None and not stat.S_ISREG(mode):
        raise CliError(f"{path}: is {_kind(mode)}; the output must be a regular file")
    if not force and os.path.lexists(path):
        raise _exists(path)


def write_output(ctx: Context, path: str | None, data: bytes, force: bool) -> None:
    """Write ``data`` to standard output (``None`` or ``-``), or publish it at ``path`` with
    mode 0600 in one step; an existing file is replaced only with ``force``."""
    if _is_stdout(path):
        from kuv_secrets.files.streams import write_stdout

        write_stdout(ctx, data)
        return
    assert path is not None
    publish_file(ctx.path(path), data, force)


def publish_file(path: str, data: bytes, force: bool) -> None:
    """Publish ``data`` at ``path`` with mode 0600 in one step; an existing regular file is
    replaced only with ``force``."""
    check_output(path, force=True)
    directory, name = os.path.split(path)
    try:
        dir_fd = open_directory(directory)
    except OSError as exc:
        raise OSError(exc.errno, f"cannot open its directory: {exc.strerror}", path) from None
    try:
        with _signals_held():
            _publish(dir_fd, name, data, force, path)
        with contextlib.suppress(OSError):
            # The file is in place; only its survival of a power cut is left to chance.
            os.fsync(dir_fd)
    except OSError as exc:
        # Named after the user's path, never after a temporary file.
        raise OSError(exc.errno, exc.strerror, path) from None
    finally:
        os.close(dir_fd)


def open_directory(directory: str) -> int:
    """A handle on ``directory`` for the *at calls; write and search rights are enough."""
    try:
        return os.open(directory or ".", os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    except PermissionError:
        # A drop box (mode 0300, 1733) cannot be listed, but a path handle still names it;
        # only the directory's fsync is lost, which is not a failure.
        return os.open(directory or ".", os.O_PATH | os.O_DIRECTORY | os.O_CLOEXEC)


@contextlib.contextmanager
def _signals_held() -> Iterator[None]:
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, _HELD)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


def _publish(dir_fd: int, name: str, data: bytes, force: bool, shown: str) -> None:
    temp: str | None = None
    fd = _open_unnamed(dir_fd)
    if fd is not None:
        try:
            _fill(fd, data)
            if os.path.isdir(PROC_FD):
                source = f"{PROC_FD}/{fd}"
                if force:
                    temp = _link_temp(source, dir_fd)
                elif _link(source, None, name, dir_fd, shown):
                    return
        finally:
            os.close(fd)
    try:
        if temp is None:
            temp = _named_temp(dir_fd, data)
        if force:
            os.replace(temp, name, src_dir_fd=dir_fd, dst_dir_fd=dir_fd)
            temp = None
        elif not _link(temp, dir_fd, name, dir_fd, shown):
            _rename_new(dir_fd, temp, name, shown)
            temp = None
    finally:
        if temp is not None:
            with contextlib.suppress(OSError):
                os.unlink(temp, dir_fd=dir_fd)


def _open_unnamed(dir_fd: int) -> int | None:
    try:
        return os.open(".", os.O_TMPFILE | os.O_WRONLY | os.O_CLOEXEC, 0o600, dir_fd=dir_fd)
    except OSError as exc:
        if exc.errno in _NO_TMPFILE:
            return None
        raise


def _temp_name() -> str:
    return f".kuv-secrets-{uuid.uuid4().hex}.tmp"


def _fill(fd: int, data: bytes) -> None:
    os.fchmod(fd, 0o600)  # exactly, whatever the umask
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view) :]
    os.fsync(fd)


def _named_temp(dir_fd: int, data: bytes) -> str:
    temp = _temp_name()
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC
    fd = os.open(temp, flags, 0o600, dir_fd=dir_fd)
    try:
        _fill(fd, data)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temp, dir_fd=dir_fd)
        raise
    finally:
        os.close(fd)
    return temp


def _link(source: str, src_dir_fd: int | None, name: str, dir_fd: int, shown: str) -> bool:
    """Give ``source`` the name; False where the file system refuses hard links."""
    try:
        # linkat with AT_SYMLINK_FOLLOW, which /proc/self/fd/N needs.
        os.link(source, name, src_dir_fd=src_dir_fd, dst_dir_fd=dir_fd, follow_symlinks=True)
    except FileExistsError:
        raise _exists(shown) from None
    except OSError as exc:
        if exc.errno in _NO_LINKS:
            return False
        raise
    return True


def _link_temp(source: str, dir_fd: int) -> str | None:
    temp = _temp_name()
    return temp if _link(source, None, temp, dir_fd, temp) else None


def _rename_new(dir_fd: int, temp: str, name: str, shown: str) -> None:
    try:
        renameat2(dir_fd, temp, dir_fd, name, _RENAME_NOREPLACE)
    except FileExistsError:
        raise _exists(shown) from None
    except OSError as exc:
        if exc.errno in _NO_RENAMEAT2:
            raise OSError(exc.errno, _UNPUBLISHABLE, shown) from None
        raise


def renameat2(src_dir_fd: int, src: str, dst_dir_fd: int, dst: str, flags: int) -> None:
    """renameat2(2), which the os module lacks; ENOSYS where the C library lacks it too."""
    try:
        function = ctypes.CDLL(None, use_errno=True).renameat2
    except AttributeError:
        raise OSError(errno.ENOSYS, os.strerror(errno.ENOSYS), src) from None
    function.argtypes = (
        ctypes.c_int,
        ctypes.c_char_p,
        ctypes.c_int,
        ctypes.c_char_p,
        ctypes.c_uint,
    )
    function.restype = ctypes.c_int
    if function(src_dir_fd, os.fsencode(src), dst_dir_fd, os.fsencode(dst), flags) != 0:
        code = ctypes.get_errno()
        raise OSError(code, os.strerror(code), src, None, dst)
