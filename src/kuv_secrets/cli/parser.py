"""The command line's grammar: options, commands and their help.

A command is named here by where it lives; it is imported only when it runs.
"""

from __future__ import annotations

import argparse
import functools
import os
import sys

from kuv_secrets.cli.status import PROG, VERSION

TYPE_CHECKING = False  # argparse doesn't import typing, so neither does the grammar
if TYPE_CHECKING:
    from collections.abc import Callable, Sequence
    from typing import Any, NoReturn

    from kuv_secrets.cli.context import Context

_EXIT_STATUS = """\
exit status:
  0  success
  1  failure; the message is on standard error (secret values never are)
  2  usage error
  3  no realm key, or the wrong one
  4  reference not found or denied (unknown id or name, another owner, name
     outside the prefix), or incomplete (a ${{ that no }} closes)
"""
_ENVIRONMENT = """\
environment:
  KUV_SECRET_NAME  name of the realm key (default: kuv_top_secret)
  KUV_TOP_SECRET   the realm key, in the variable named by the upper-cased key name;
                   else read from the file /run/secrets/<lower-cased key name>
  KUV_DATABASE     the SQLite file holding the records (default: ./kuv.sqlite3), or a
                   postgresql://user@host:port/db URL for a store shared by many hosts
                   (its waits, in seconds: connect_timeout=10, lock_timeout=30); init
                   makes the store, no other command does
"""
_INIT_STATUS = """\
exit status:
  0  the store is made, or was there already (then nothing changes)
  1  failure; the message is on standard error
"""
_RUN_STATUS = """\
exit status:
  the command's own status (128+N when signal N ended it); 126 when it cannot be
  started, 127 when it is not found; 1 to 4 as for the other commands when a
  reference in the environment fails
"""


class _NonEmpty(argparse.Action):
    """An option given as "" is a mistake, such as an unset shell variable, never "no limit"."""

    def __call__(
        self,
        parser: argparse.ArgumentParser,
        namespace: argparse.Namespace,
        values: Any,
        option_string: str | None = None,
    ) -> None:
        if values == "":
            raise argparse.ArgumentError(self, "must not be empty")
        setattr(namespace, self.dest, values)


def _file_name(value: str) -> str:
    if value in ("", ".", "..") or "/" in value:
        raise argparse.ArgumentTypeError(f"{value!r} is not a plain file name")
    return value


def referable(value: str) -> bool:
    # A reference's id is the text between its markers stripped of blanks: any other id could
    # be stored but never referenced.
    return bool(value) and value == value.strip() and "}}" not in value and "${{" not in value


def _secret_id(value: str) -> str:
    if not referable(value):
        raise argparse.ArgumentTypeError(f"{value!r} cannot stand in a reference ${{{{ ID }}}}")
    return value


def _name_prefix(value: str) -> str:
    # Import's ids are the prefix and a variable name, which starts with a letter or "_" and
    # holds no blank or brace: "_" stands for any.
    if not referable(value + "_"):
        raise argparse.ArgumentTypeError(
            f"{value!r} makes ids that cannot stand in a reference ${{{{ ID }}}}"
        )
    return value


def _add_selection(parser: argparse.ArgumentParser, ids: str = "?") -> None:
    parser.add_argument("id" if ids == "?" else "ids", nargs=ids, metavar="ID")
    parser.add_argument(
        "--name", action=_NonEmpty, help="the secret of OWNER with this name, instead of an ID"
    )


def _add_limits(
    parser: argparse.ArgumentParser, owner: str = "accept only secrets of this owner"
) -> None:
    parser.add_argument("--owner", default="", action=_NonEmpty, help=owner)
    parser.add_argument(
        "--prefix",
        default="",
        action=_NonEmpty,
        help="accept only secrets whose dotted name starts with this",
    )


def _add_source(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "file", nargs="?", metavar="FILE", help="the configuration file; none or - reads stdin"
    )
    parser.add_argument(
        "--format",
        choices=("json", "yaml", "compose", "dotenv", "text"),
        help="how to read FILE (default: .json, .yaml or .yml by extension, compose.yaml and "
        "docker-compose*.yaml as compose; .env, .env.* and *.env as dotenv; a template suffix "
        "such as .tmpl or .example is looked through; anything else, and standard input, as text)",
    )
    parser.add_argument(
        "--leave",
        action="append",
        default=[],
        metavar="PATTERN",
        help="leave references whose id matches this glob as they are, such as the CI "
        "platform's own 'github.*' (repeatable)",
    )


def _keygen(keygen: argparse.ArgumentParser) -> None:
    keygen.add_argument(
        "-o", "--output", metavar="FILE", help="create FILE (mode 0600) and print nothing"
    )


def _put(put: argparse.ArgumentParser) -> None:
    put.add_argument("--owner", required=True, action=_NonEmpty, help="the secret's owner")
    put.add_argument(
        "--name",
        required=True,
        action=_NonEmpty,
        help="the secret's dotted name, such as prod.billing.db.password",
    )
    put.add_argument(
        "--id", type=_secret_id, help="the id to store it under (default: a new random one)"
    )
    put.add_argument(
        "--file", action="store_true", help="deliver the value as a file: resolving gives its path"
    )
    put.add_argument("--file-path", metavar="DIR", help="directory of that file (default: .)")
    put.add_argument(
        "--file-name", metavar="NAME", type=_file_name, help="name of that file (with --file)"
    )
    put.add_argument("--allow-empty", action="store_true", help="accept an empty value")


def _version(value: str) -> int:
    number = int(value) if value.isascii() and value.isdigit() else 0
    if number < 1:
        raise argparse.ArgumentTypeError(f"{value!r} is not a version number (1, 2, ...)")
    return number


def _update(update: argparse.ArgumentParser) -> None:
    _add_selection(update)
    update.add_argument("--owner", action=_NonEmpty, help="with --name: the secret's owner")
    update.add_argument("--allow-empty", action="store_true", help="accept an empty value")
    update.add_argument(
        "--if-version",
        type=_version,
        metavar="N",
        help="change it only if it is still at version N (see history); else fail, status 1",
    )


def _history(history: argparse.ArgumentParser) -> None:
    history.add_argument("id", metavar="ID")
    history.add_argument("--format", choices=("table", "json"), default="table")


def _rollback(rollback: argparse.ArgumentParser) -> None:
    rollback.add_argument("id", metavar="ID")
    rollback.add_argument(
        "--to", required=True, type=_version, metavar="N", help="the version whose value returns"
    )


def _log(log: argparse.ArgumentParser) -> None:
    log.add_argument("--id", metavar="ID", help="only the events of this secret")
    log.add_argument(
        "--since",
        metavar="TIME",
        help="only events from TIME on: 2026-12-09, 2026-12-09T14:30[:00][Z|+01:00] (UTC "
        "unless an offset is given), or an age such as 90m, 12h, 7d",
    )
    log.add_argument("--format", choices=("table", "json"), default="table")


def _retention(retention: argparse.ArgumentParser) -> None:
    retention.add_argument(
        "versions",
        nargs="?",
        type=_version,
        metavar="N",
        help="keep the newest N versions of each secret from now on (older ones go at once)",
    )


def _get(get: argparse.ArgumentParser) -> None:
    _add_selection(get)
    _add_limits(get, owner="with ID, accept only a secret of this owner; with --name, the owner")


def _render(render: argparse.ArgumentParser) -> None:
    _add_source(render)
    _add_limits(render)
    render.add_argument(
        "-o", "--output", metavar="FILE", help="write FILE (mode 0600) instead of stdout"
    )
    render.add_argument("--force", action="store_true", help="replace an existing output FILE")


def _check(check: argparse.ArgumentParser) -> None:
    _add_source(check)
    _add_limits(check)


def _run(run: argparse.ArgumentParser) -> None:
    _add_limits(run)
    run.add_argument(
        "--pass-key",
        action="store_true",
        help="leave the realm key in COMMAND's environment (by default it is removed, "
        "since it opens every secret)",
    )
    run.add_argument("command", nargs=argparse.REMAINDER, metavar="-- COMMAND [ARG...]")


def _list(listing: argparse.ArgumentParser) -> None:
    listing.add_argument("--owner", action=_NonEmpty, help="only the secrets of this owner")
    listing.add_argument("--prefix", action=_NonEmpty, help="only names that start with this")
    listing.add_argument("--format", choices=("table", "json"), default="table")


def _delete(delete: argparse.ArgumentParser) -> None:
    _add_selection(delete, "*")
    delete.add_argument("--owner", action=_NonEmpty, help="with --name: the secret's owner")
    delete.add_argument(
        "--remove-file",
        action="store_true",
        help="also remove a file secret's file (its path as seen from here), if a regular file",
    )


def _rotate(rotate: argparse.ArgumentParser) -> None:
    key = rotate.add_mutually_exclusive_group(required=True)
    key.add_argument(
        "--new-key-file",
        metavar="FILE",
        help="the new key, in a file of the user's that only its owner may access (mode 0600)",
    )
    key.add_argument(
        "--generate-key-file",
        metavar="FILE",
        help="make a new key and save it in FILE (mode 0600), which must not exist",
    )
    rotate.add_argument(
        "--backup",
        metavar="FILE",
        help="first export every secret as it is into FILE (mode 0600), which must not exist",
    )
    rotate.add_argument("--dry-run", action="store_true", help="check every secret, change none")


def _export(export: argparse.ArgumentParser) -> None:
    export.add_argument(
        "-o", "--output", required=True, metavar="FILE", help="write FILE (mode 0600); - is stdout"
    )
    export.add_argument("--force", action="store_true", help="replace an existing FILE")


def _restore(restore: argparse.ArgumentParser) -> None:
    restore.add_argument("file", metavar="FILE", help="a file made by export; - reads stdin")


def _import(importing: argparse.ArgumentParser) -> None:
    importing.add_argument("file", metavar="FILE", help="the environment file; - reads stdin")
    importing.add_argument("--owner", required=True, action=_NonEmpty, help="owner of the secrets")
    importing.add_argument(
        "--name-prefix",
        required=True,
        metavar="PREFIX",
        type=_name_prefix,
        help="put before each variable name; the result is the secret's name and id",
    )
    importing.add_argument(
        "--update-existing",
        action="store_true",
        help="give the secrets of OWNER that a name or id already means the new value "
        "(by default any such secret stops the import)",
    )
    importing.add_argument(
        "-o", "--output", metavar="FILE", help="write FILE (mode 0600) instead of stdout"
    )
    importing.add_argument("--force", action="store_true", help="replace an existing output FILE")


class _Parser(argparse.ArgumentParser):
    """Help, usage and errors go to the context's streams, not the process's."""

    def __init__(self, *, ctx: Context, **kwargs: Any) -> None:
        super().__init__(**kwargs)
        self.ctx = ctx

    def _print_message(self, message: str, file: Any = None) -> None:
        if not message:
            return
        from kuv_secrets.files import streams

        # argparse names sys.stdout for help and version, sys.stderr (or None) for the rest.
        if file is sys.stdout:
            streams.write_stdout(self.ctx, message)
        elif self.ctx.stderr is not None:
            self.ctx.stderr.write(message)

    def exit(self, status: int = 0, message: str | None = None) -> NoReturn:
        if message:
            self._print_message(message, sys.stderr)
        raise SystemExit(status)


class _Command(_Parser):
    """A command's parser, made when the command parses: argparse only keeps the others, and
    making a parser costs it several searches for translations."""

    def __init__(
        self,
        *,
        ctx: Context,
        handler: str,
        arguments: Callable[[argparse.ArgumentParser], None] | None,
        **kwargs: Any,
    ) -> None:
        self.ctx = ctx
        self._pending: tuple[str, Any, dict[str, Any]] | None = (handler, arguments, kwargs)

    def parse_known_args(  # type: ignore[override]
        self, args: Sequence[str] | None = None, namespace: argparse.Namespace | None = None
    ) -> tuple[argparse.Namespace, list[str]]:
        if self._pending is not None:
            handler, arguments, kwargs = self._pending
            self._pending = None
            super().__init__(ctx=self.ctx, **kwargs)
            self.set_defaults(handler=handler)
            if arguments is not None:
                arguments(self)
        return super().parse_known_args(args, namespace)


def _help_width(ctx: Context) -> int:
    """The width argparse lays text out in, found as shutil.get_terminal_size finds it but from
    the context's environment and output, and without importing shutil (and its compressors)."""
    try:
        columns = int(ctx.env.get("COLUMNS", ""))
    except ValueError:
        columns = 0
    if columns <= 0 and ctx.stdout is not None:
        try:
            columns = os.get_terminal_size(ctx.stdout.fileno()).columns
        except (AttributeError, ValueError, OSError):
            columns = 0
    return (columns if columns > 0 else 80) - 2


def build_parser(ctx: Context) -> argparse.ArgumentParser:
    formatter = functools.partial(argparse.RawDescriptionHelpFormatter, width=_help_width(ctx))
    parser = _Parser(
        ctx=ctx,
        prog=PROG,
        description="Store the realm's secrets encrypted and put them into configuration "
        "where it says ${{ <secret id> }}.",
        epilog=_EXIT_STATUS + "\n" + _ENVIRONMENT,
        formatter_class=formatter,
    )
    parser.set_defaults(handler=None)
    parser.add_argument("--version", action="version", version=VERSION)
    parser.add_argument(
        "--key-file",
        metavar="FILE",
        help="read the realm key from FILE (mode 0600) instead of the environment",
    )
    commands = parser.add_subparsers(title="commands", metavar="COMMAND", parser_class=_Command)

    def command(
        name: str,
        handler: str,
        summary: str,
        description: str,
        arguments: Callable[[argparse.ArgumentParser], None] | None = None,
        epilog: str = _EXIT_STATUS,
    ) -> None:
        commands.add_parser(
            name,
            help=summary,
            description=description,
            epilog=epilog,
            formatter_class=formatter,
            ctx=ctx,
            handler=handler,
            arguments=arguments,
        )

    command(
        "init",
        "store:init",
        "create the store that KUV_DATABASE names",
        "Create the store that KUV_DATABASE names and say where: a SQLite file (mode 0600) or "
        "the table in an existing PostgreSQL database. No other command creates one. A store "
        "that is there already is left as it is.",
        epilog=_INIT_STATUS + "\n" + _ENVIRONMENT,
    )
    command(
        "keygen",
        "values:keygen",
        "print a new realm key",
        "Print a new realm key, or write it into a new file readable by its owner only.",
        _keygen,
    )
    command(
        "put",
        "values:put",
        "store a new secret",
        "Store a new secret and print its id. The value is all of standard input, exactly "
        "as given (a final newline included, with a note), or typed at a prompt on a terminal.",
        _put,
    )
    command(
        "update",
        "values:update",
        "replace the value of a stored secret",
        "Replace the value of a stored secret (ID, or --name NAME --owner OWNER) with all of "
        "standard input, or with the value typed at a prompt on a terminal. A file secret's "
        "file, where resolution from here finds one, is replaced as well.",
        _update,
    )
    command(
        "get",
        "values:get",
        "print the value of one secret",
        "Print the value of one secret (ID, or --name NAME --owner OWNER), with no newline "
        "added; for a file secret, write the file and print its path.",
        _get,
    )
    command(
        "render",
        "config:render",
        "put the secrets into a configuration file",
        "Replace every ${{ <secret id> }} in a configuration file by the secret's value. In "
        "JSON, YAML and dotenv files only the string values that hold references change, each "
        "re-quoted so that it reads back as exactly the substituted value; every other byte "
        "(comments, layout, keys, numbers) stays as it was. References in keys are left as "
        "they are. Text is substituted as it stands, with no quoting. Nothing is written when "
        "any reference fails or is incomplete (a ${{ that no }} closes).",
        _render,
    )
    command(
        "check",
        "config:check",
        "list the references of a configuration file",
        "List every ${{ <secret id> }} in the string values of a configuration file and "
        "whether it resolves, without printing any value; incomplete ones fail, references in "
        "keys are listed as warnings. Resolving a file secret writes its file, as render does.",
        _check,
    )
    command(
        "run",
        "run:run",
        "run a command with the secrets in its environment",
        "Substitute the references in the values of the environment variables and run "
        "COMMAND with that environment, less the realm key. Nothing runs when any reference "
        "fails; every failing variable is reported.",
        _run,
        _RUN_STATUS,
    )
    command(
        "history",
        "memory:history",
        "list the versions of a secret, never their values",
        "List the kept versions of a secret: number, when (UTC), the host and OS user that "
        "made it, and which one is current. Every change of a value through the command line "
        "(put, update, rollback, import) makes a version; the store keeps the newest 10 of "
        "each secret unless retention says otherwise.",
        _history,
    )
    command(
        "rollback",
        "memory:rollback",
        "make an earlier version's value current again",
        "Make the value of version N of a secret current, as a new version; its file, where "
        "resolution from here finds one, is replaced as well.",
        _rollback,
    )
    command(
        "log",
        "memory:log",
        "show the audit trail, never a value",
        "Show the audit trail: one event per secret that a command read or changed (time in "
        "UTC, host, OS user, command, secret id, outcome), oldest first. Hosts that resolve "
        "through the module directly leave no events.",
        _log,
    )
    command(
        "retention",
        "memory:retention",
        "show or set how many versions of each secret the store keeps",
        "Show how many versions of each secret the store keeps (10 unless set), or set it: "
        "versions beyond the newest N are removed at once, for good.",
        _retention,
    )
    command(
        "list",
        "realm:list",
        "list the stored secrets, never their values",
        "List id, owner, name, kind (value or file) and file target of the stored secrets. "
        "Values and tokens are never shown.",
        _list,
    )
    command(
        "delete",
        "realm:delete",
        "delete secrets",
        "Delete the given secrets (IDs, or --name NAME --owner OWNER), all or none: when one "
        "is unknown, nothing is deleted. Each deleted id is reported on standard error.",
        _delete,
    )
    command(
        "rotate",
        "rotate:rotate",
        "re-encrypt every secret under a new realm key",
        "Re-encrypt every stored secret under a new realm key, all or none: when any secret "
        "does not open with the current key, nothing changes. The new key comes from a file, "
        "or is made into a new one, and is on disk before anything changes. Take a backup "
        "first (--backup FILE, or export). Every host then needs the new key.",
        _rotate,
    )
    command(
        "export",
        "backup:export",
        "write every secret, still encrypted, into a backup file",
        "Write every stored secret as one JSON object a line: id, owner_name, name, is_file, "
        "file_path, file_name and encrypted_secret. Tokens are copied as they are, never "
        "opened: the file needs no realm key, and its secrets open with the key they were made "
        "under. An existing FILE is replaced only with --force.",
        _export,
    )
    command(
        "restore",
        "backup:restore",
        "load a backup file into an empty store",
        "Store every secret of a file made by export, all or none, into a store that holds "
        "none; tokens are copied as they are. A line that is no such secret stops it, named.",
        _restore,
    )
    command(
        "import",
        "importing:import",
        "store the values of an environment file as secrets",
        "Store each NAME=value of an environment file as a secret named PREFIX + NAME, which is "
        "also its id, and print the file with each value replaced by its reference, ready for "
        "render. Comments, blank lines, empty values and values holding a reference stay as "
        "they are. All or nothing: a stored secret with one of the ids or names stops it "
        "unless --update-existing, and so does input with nothing to import.",
        _import,
    )
    command(
        "demo",
        "demo:demo",
        "show the whole cycle in a throwaway realm",
        "Store a plain and a file secret in a temporary database under a new key, render a "
        "sample YAML configuration that refers to both, and print it.",
    )
    return parser
