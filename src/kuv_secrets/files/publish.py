"""Publishing a file in one step: readers see all of it or nothing, and only its owner may read it.

The secrets module publishes file secrets the same way and through the same code
(``kuv_secrets._files``); this adds what only the command line has: standard output as a target,
``--force``, and the refusal of targets that a rename would replace rather than write into.
"""

from __future__ import annotations

import os
import stat

from kuv_secrets.cli.status import CliError

TYPE_CHECKING = False
if TYPE_CHECKING:
    from kuv_secrets.cli.context import Context


def _is_stdout(path: str | None) -> bool:
    return path is None or path == "-"


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
        raise CliError(f"{path}: file exists; use --force to replace it")


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
    replaced only with ``force``. A signal's exception (Ctrl-C, or the command's SIGTERM and
    SIGHUP) leaves the old file, or none, and no temporary file."""
    check_output(path, force=True)
    from kuv_secrets import _files  # only for a file target

    if not _files.publish(path, data, replace=force):
        # Made since check_output looked: still never replaced without --force.
        raise CliError(f"{path}: file exists; use --force to replace it")
