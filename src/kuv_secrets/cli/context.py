"""What a command works on: its streams, environment, folder, realm key and store.

``main`` makes one from the process (or takes one from a caller, such as a test) and hands it to
the command, which touches nothing of the process beyond it.
"""

from __future__ import annotations

import functools  # already imported by re, which the console script imports
import os
import sys

# Not typing.TYPE_CHECKING: every command starts here, and importing typing would cost most of
# what --version takes.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Mapping
    from typing import IO

    from kuv_secrets.secrets import Secrets

DATABASE_VARIABLE = "KUV_DATABASE"
DEFAULT_DATABASE = "kuv.sqlite3"


class Context:
    # A plain class: a dataclass would import dataclasses (and inspect) at every start, and its
    # repr would show the environment, realm key included.
    def __init__(
        self,
        stdin: IO[bytes] | None,
        stdout: IO[bytes] | None,
        stderr: IO[str] | None,
        env: Mapping[str, str],
        cwd: str,
        key_file: str | None = None,
    ) -> None:
        self.stdin = stdin
        self.stdout = stdout
        self.stderr = stderr
        self.env = env
        self.cwd = cwd
        self.key_file = key_file  # --key-file: the realm key comes from there, not from env

    @classmethod
    def from_process(cls) -> Context:
        def binary(stream: IO[str] | None) -> IO[bytes] | None:
            return None if stream is None else stream.buffer  # type: ignore[attr-defined]

        # A closed stream (>&-) is None; an open one is used through its bytes.
        return cls(binary(sys.stdin), binary(sys.stdout), sys.stderr, dict(os.environ), os.getcwd())

    def path(self, path: str) -> str:
        """A path the user gave, as seen from the context's folder; as given while that is the
        process's own, so that messages name it as the user wrote it."""
        if os.path.isabs(path) or self.cwd == os.getcwd():
            return path
        return os.path.join(self.cwd, path)

    @property
    def database(self) -> str:
        """The store: a SQLite file (relative to the context's folder) or a URL."""
        target = self.env.get(DATABASE_VARIABLE, DEFAULT_DATABASE)
        # URLs and the empty name are the store's own to judge, as given.
        return target if not target or "://" in target else self.path(target)

    @functools.cached_property
    def realm_key(self) -> str:
        from kuv_secrets.realm import keys

        if self.key_file is not None:
            return keys.read_key(self, self.key_file)
        return keys.realm_key(self.env)

    @functools.cached_property
    def records(self) -> type[Secrets]:
        from kuv_secrets.realm.records import record_class

        return record_class(self.realm_key)

    def interactive(self) -> bool:
        try:
            return self.stdin is not None and self.stdin.isatty()
        except ValueError:  # closed
            return False

    def within(self, **env: str) -> Context:
        """Another realm in the same streams and folder: ``env`` replaces those variables."""
        return Context(self.stdin, self.stdout, self.stderr, {**self.env, **env}, self.cwd)
