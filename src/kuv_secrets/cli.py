"""The ``kuv-secrets`` command: realm keys, secret records, rendering and checking configuration."""

from __future__ import annotations

import argparse
import contextlib
import errno
import getpass
import json
import os
import signal
import subprocess
import sys
import tempfile
import threading
from collections.abc import Callable, Iterator
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from types import FrameType

    from kuv_secrets.secrets import Secrets

PROG = "kuv-secrets"

EXIT_OK = 0
EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_KEY = 3
EXIT_REFERENCE = 4

_DENIED = frozenset(
    {
        "secret id not found",
        "Owner name of secret doesn't match",
        "Name prefix of secret doesn't match",
    }
)
_BAD_KEY = "Fernet key must be 32 url-safe base64-encoded bytes."
_FORMATS = {".json": "json", ".yaml": "yaml", ".yml": "yaml"}
_OPEN, _CLOSE = "${{", "}}"
_NEWLINE = "\n"

_EXIT_STATUS = """\
exit status:
  0  success
  1  failure; the message is on standard error (secret values never are)
  2  usage error
  3  no realm key, or the wrong one
  4  reference not found or denied (unknown id, another owner, name outside the prefix)
"""

_ENVIRONMENT = """\
environment:
  KUV_SECRET_NAME  name of the realm key (default: kuv_top_secret)
  KUV_TOP_SECRET   the realm key, in the variable named by the upper-cased key name;
                   else read from the file /run/secrets/<lower-cased key name>
  KUV_DATABASE     the SQLite file holding the records (default: ./kuv.sqlite3)
"""

_RUN_STATUS = """\
exit status:
  the command's own status (128+N when signal N ended it); 126 when it cannot be
  started, 127 when it is not found; 1 to 4 as for the other commands when a
  reference in the environment fails
"""


class CliError(Exception):
    """A failure whose message is fit for standard error, with its exit status."""

    def __init__(self, message: str, status: int = EXIT_FAILURE) -> None:
        super().__init__(message)
        self.status = status


def _records() -> type[Secrets]:
    # Imported on first use: the import fixes the realm key, which demo sets up first.
    from kuv_secrets.secrets import Secrets

    return Secrets


def _key_problem() -> str:
    key_name = os.environ.get("KUV_SECRET_NAME", "kuv_top_secret")
    if _records().top_secret == "":
        return f"no realm key: set {key_name.upper()} or provide /run/secrets/{key_name.lower()}"
    return f"the realm key is not valid: {_BAD_KEY}"


def _describe(exc: BaseException) -> tuple[int, str]:
    """Exit status and message for a failure, never quoting a value or the key."""
    from cryptography.fernet import InvalidToken

    if isinstance(exc, CliError):
        return exc.status, str(exc)
    if isinstance(exc, InvalidToken):
        return EXIT_KEY, "the realm key does not open this secret (wrong key or damaged token)"
    if isinstance(exc, UnicodeEncodeError) and exc.encoding == "ascii":
        # Only the key is encoded as ASCII; the default message would quote one of its characters.
        return EXIT_KEY, "the realm key is not valid: it holds a non-ASCII character"
    if isinstance(exc, ValueError):
        message = str(exc)
        if message == _BAD_KEY:
            return EXIT_KEY, _key_problem()
        if message in _DENIED:
            return EXIT_REFERENCE, message
    return EXIT_FAILURE, str(exc) or type(exc).__name__


def _read_value(prompt: str) -> str:
    """The secret value: all of standard input, or typed without echo on a terminal."""
    stdin = sys.stdin
    if stdin is None:
        raise CliError("standard input is closed; pipe the value in")
    if stdin.isatty():
        try:
            return getpass.getpass(prompt)
        except EOFError:
            raise CliError("no value given") from None
    try:
        return stdin.buffer.read().decode("utf-8")
    except UnicodeDecodeError:
        raise CliError("the value on standard input is not UTF-8 text") from None


def _read_input(path: str | None) -> str:
    if path is None:
        data, label = sys.stdin.buffer.read(), "standard input"
    else:
        with open(path, "rb") as fp:
            data, label = fp.read(), path
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        raise CliError(f"{label}: not UTF-8 text") from None


def _write_stdout(text: str) -> None:
    sys.stdout.flush()
    sys.stdout.buffer.write(text.encode("utf-8"))
    sys.stdout.flush()


def _write_private(path: str, data: bytes, force: bool) -> None:
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


def _format_of(path: str | None, forced: str | None) -> str:
    if forced:
        return forced
    if path is None:
        return "text"
    return _FORMATS.get(os.path.splitext(path)[1].lower(), "text")


def _parse(text: str, fmt: str, label: str) -> Any:
    if fmt == "json":
        try:
            return json.loads(text)
        except json.JSONDecodeError as exc:
            raise CliError(f"{label}: not valid JSON: {exc}") from None
    import yaml

    try:
        return yaml.safe_load(text)
    except yaml.YAMLError as exc:
        raise CliError(f"{label}: not valid YAML: {exc}") from None


def _render(
    records: type[Secrets], text: str, fmt: str, owner: str, prefix: str, label: str
) -> str:
    if fmt == "text":
        return records.secret_composer(text, records.get_secret_from_id, owner, prefix)
    rendered = records.secret_parser(_parse(text, fmt, label), owner, prefix)
    if fmt == "json":
        return json.dumps(rendered, indent=2, ensure_ascii=False) + "\n"
    import yaml

    return yaml.safe_dump(rendered, sort_keys=False, allow_unicode=True)


def _references(text: str) -> Iterator[tuple[int, str]]:
    """Offset and stripped id of each reference, paired the way substitution pairs them."""
    start = text.find(_OPEN)
    while start != -1:
        body = start + len(_OPEN)
        following = text.find(_OPEN, body)
        close = text.find(_CLOSE, body)
        if close != -1 and (following == -1 or close < following):
            yield start, text[body:close].strip()
        start = following


def _located(source: Any, where: str) -> Iterator[tuple[str, str]]:
    # Visits exactly what the structure walk substitutes: dict values, list items, strings.
    if isinstance(source, dict):
        for key, value in source.items():
            yield from _located(value, f"{where}.{key}" if where else str(key))
    elif isinstance(source, list):
        for index, item in enumerate(source):
            yield from _located(item, f"{where}[{index}]")
    elif isinstance(source, str):
        for _, ref in _references(source):
            yield where or "(document)", ref


def _problem(records: type[Secrets], ref: str, owner: str, prefix: str) -> str | None:
    try:
        records.get_secret_from_id(ref, owner, prefix)
    except Exception as exc:  # noqa: BLE001 - every failure is reported, none ends the check
        return _describe(exc)[1]
    return None


def cmd_keygen(args: argparse.Namespace) -> int:
    from cryptography.fernet import Fernet

    key = Fernet.generate_key().decode()
    if args.output is None:
        print(key)
        return EXIT_OK
    fd = os.open(args.output, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    with os.fdopen(fd, "w", encoding="ascii") as fp:
        os.fchmod(fd, 0o600)
        fp.write(key + "\n")
    return EXIT_OK


def cmd_put(args: argparse.Namespace) -> int:
    if not args.file and (args.file_path is not None or args.file_name is not None):
        raise CliError("--file-path and --file-name need --file", EXIT_USAGE)
    records = _records()
    if args.id is not None and records.load(args.id):
        raise CliError(f"secret id already exists: {args.id}")
    options = {
        "id": args.id,
        "owner_name": args.owner,
        "name": args.name,
        "file_path": args.file_path,
        "file_name": args.file_name,
    }
    fields: dict[str, Any] = {key: value for key, value in options.items() if value is not None}
    if args.file:
        fields["is_file"] = True
    record = records(secret=_read_value("Secret value: "), **fields)
    record.save()
    print(record.id)
    return EXIT_OK


def cmd_update(args: argparse.Namespace) -> int:
    record = _records().load(args.id)
    if not record:
        raise CliError("secret id not found", EXIT_REFERENCE)
    record.update_secret(_read_value("New secret value: "))
    return EXIT_OK


def cmd_get(args: argparse.Namespace) -> int:
    _write_stdout(_records().get_secret_from_id(args.id, args.owner, args.prefix))
    return EXIT_OK


def cmd_render(args: argparse.Namespace) -> int:
    path = None if args.file in (None, "-") else args.file
    # Refused before anything resolves, so no file secret is written for nothing.
    if args.output is not None and not args.force and os.path.lexists(args.output):
        raise CliError(f"{args.output}: file exists; use --force to replace it")
    text = _read_input(path)
    fmt = _format_of(path, args.format)
    label = path or "standard input"
    rendered = _render(_records(), text, fmt, args.owner, args.prefix, label)
    if args.output is None:
        _write_stdout(rendered)
    else:
        _write_private(args.output, rendered.encode("utf-8"), args.force)
    return EXIT_OK


def cmd_check(args: argparse.Namespace) -> int:
    path = None if args.file in (None, "-") else args.file
    text = _read_input(path)
    fmt = _format_of(path, args.format)
    if fmt == "text":
        found = [(f"line {text.count(_NEWLINE, 0, at) + 1}", ref) for at, ref in _references(text)]
    else:
        found = list(_located(_parse(text, fmt, path or "standard input"), ""))
    records = _records()
    problems: dict[str, str | None] = {}
    for where, ref in found:
        if ref not in problems:
            problems[ref] = _problem(records, ref, args.owner, args.prefix)
        problem = problems[ref]
        print(f"ok    {where}: {ref}" if problem is None else f"FAIL  {where}: {ref} ({problem})")
    failed = sum(problems[ref] is not None for _, ref in found)
    if failed:
        raise CliError(f"{failed} of {len(found)} references do not resolve")
    return EXIT_OK


@contextlib.contextmanager
def _signals_to(proc: subprocess.Popen[bytes]) -> Iterator[None]:
    """While the command runs, let it decide about Ctrl-C and pass termination on to it."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return

    def forward(signum: int, frame: FrameType | None) -> None:
        proc.send_signal(signum)

    def ignore(signum: int, frame: FrameType | None) -> None:
        # The terminal sent Ctrl-C to the command as well.
        pass

    handlers: list[tuple[signal.Signals, Callable[[int, FrameType | None], None]]] = [
        (signal.SIGINT, ignore),
        (signal.SIGTERM, forward),
        (signal.SIGHUP, forward),
    ]
    previous = [(signum, signal.signal(signum, handler)) for signum, handler in handlers]
    try:
        yield
    finally:
        for signum, old in previous:
            signal.signal(signum, old if old is not None else signal.SIG_DFL)


def cmd_run(args: argparse.Namespace) -> int:
    command = list(args.command)
    if command[:1] == ["--"]:
        command = command[1:]
    if not command:
        raise CliError("no command given: kuv-secrets run -- COMMAND [ARG...]", EXIT_USAGE)
    records = _records()
    environment = {
        name: records.secret_composer(value, records.get_secret_from_id, args.owner, args.prefix)
        for name, value in os.environ.items()
    }
    try:
        proc = subprocess.Popen(command, env=environment)
    except FileNotFoundError:
        raise CliError(f"{command[0]}: command not found", 127) from None
    except OSError as exc:
        raise CliError(f"{command[0]}: cannot run: {exc.strerror}", 126) from None
    with _signals_to(proc):
        status = proc.wait()
    return 128 - status if status < 0 else status


_DEMO_KEY_NAME = "kuv_secrets_demo_key"
_DEMO_OWNER = "billing"
_DEMO_PREFIX = "prod.billing."


def _demo_template(password_id: str, key_id: str) -> str:
    return (
        "service: billing\n"
        "database:\n"
        "  host: db.internal\n"
        "  user: billing\n"
        f"  password: {_OPEN} {password_id} {_CLOSE}\n"
        "tls:\n"
        "  certificate: /etc/billing/tls.crt\n"
        f"  key_file: {_OPEN} {key_id} {_CLOSE}\n"
        "greeting: Grüße aus der Buchhaltung\n"
    )


def _indent(text: str) -> str:
    return "".join(f"  {line}" for line in text.splitlines(keepends=True))


def _demo(records: type[Secrets], workdir: str) -> None:
    password = records(
        secret="correct horse battery staple",
        owner_name=_DEMO_OWNER,
        name="prod.billing.db.password",
    )
    password.save()
    key_file = records(
        secret="-----BEGIN DEMO KEY-----\nnot a real key\n-----END DEMO KEY-----\n",
        owner_name=_DEMO_OWNER,
        name="prod.billing.tls.key",
        is_file=True,
        file_path=os.path.join(workdir, "run", "billing"),
        file_name="tls.key",
    )
    key_file.save()
    template = _demo_template(password.id, key_file.id)
    rendered = _render(records, template, "yaml", _DEMO_OWNER, _DEMO_PREFIX, "demo.yaml")
    delivered = records.get_secret_from_id(key_file.id, _DEMO_OWNER, _DEMO_PREFIX)
    with open(delivered, encoding="utf-8") as fp:
        size = len(fp.read())
    mode = os.stat(delivered).st_mode & 0o777
    try:
        _render(records, template, "yaml", _DEMO_OWNER, "prod.shop.", "demo.yaml")
        refusal = "was not refused (unexpected)"
    except ValueError as exc:
        refusal = f"is refused: {exc}"
    print(f"{PROG} demo: a throwaway realm with its own key and database in {workdir}")
    print()
    print(f"Stored a plain secret as {password.id}")
    print(f"   and a file secret as {key_file.id}")
    print(f"(owner {_DEMO_OWNER}; names prod.billing.db.password and prod.billing.tls.key)")
    print()
    print("Configuration demo.yaml:")
    print(_indent(template))
    print(f"Rendered with --owner {_DEMO_OWNER} --prefix {_DEMO_PREFIX}:")
    print(_indent(rendered))
    print(
        f"The file secret's value went into {delivered} ({size} characters, "
        f"mode {mode:04o}), not into the configuration."
    )
    print(f"Rendered with --prefix prod.shop. instead, the configuration {refusal}")
    print("The throwaway realm is deleted now.")


def cmd_demo(args: argparse.Namespace) -> int:
    from cryptography.fernet import Fernet

    key = Fernet.generate_key().decode()
    names = ("KUV_DATABASE", "KUV_SECRET_NAME", _DEMO_KEY_NAME.upper())
    saved = {name: os.environ.get(name) for name in names}
    previous_key = _records().top_secret if "kuv_secrets.secrets" in sys.modules else None
    try:
        with tempfile.TemporaryDirectory(prefix="kuv-secrets-demo-") as workdir:
            # Set before the import, which reads the key once; a module already loaded gets it below.
            os.environ["KUV_DATABASE"] = os.path.join(workdir, "demo.sqlite3")
            os.environ["KUV_SECRET_NAME"] = _DEMO_KEY_NAME
            os.environ[_DEMO_KEY_NAME.upper()] = key
            records = _records()
            records.top_secret = key
            _demo(records, workdir)
    finally:
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value
        if "kuv_secrets.secrets" in sys.modules:
            from kuv_secrets import secrets

            # A module first loaded for the demo gets the key its import would have found.
            secrets.Secrets.top_secret = (
                previous_key
                if previous_key is not None
                else secrets.get_top_secret(os.environ.get("KUV_SECRET_NAME", "kuv_top_secret"))
            )
    return EXIT_OK


def _subcommand(
    commands: Any,
    name: str,
    handler: Callable[[argparse.Namespace], int],
    summary: str,
    description: str,
    epilog: str = _EXIT_STATUS,
) -> argparse.ArgumentParser:
    parser: argparse.ArgumentParser = commands.add_parser(
        name,
        help=summary,
        description=description,
        epilog=epilog,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.set_defaults(handler=handler)
    return parser


def _add_limits(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--owner", default="", help="accept only secrets of this owner")
    parser.add_argument(
        "--prefix", default="", help="accept only secrets whose dotted name starts with this"
    )


def _add_source(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "file", nargs="?", metavar="FILE", help="the configuration file; none or - reads stdin"
    )
    parser.add_argument(
        "--format",
        choices=("json", "yaml", "text"),
        help="how to read FILE (default: from its extension .json, .yaml or .yml, else text)",
    )


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Store the realm's secrets encrypted and put them into configuration "
        "where it says ${{ <secret id> }}.",
        epilog=_EXIT_STATUS + "\n" + _ENVIRONMENT,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.set_defaults(handler=None)
    commands = parser.add_subparsers(title="commands", metavar="COMMAND")

    keygen = _subcommand(
        commands,
        "keygen",
        cmd_keygen,
        "print a new realm key",
        "Print a new realm key, or write it into a new file readable by its owner only.",
    )
    keygen.add_argument(
        "-o", "--output", metavar="FILE", help="create FILE (mode 0600) and print nothing"
    )

    put = _subcommand(
        commands,
        "put",
        cmd_put,
        "store a new secret",
        "Store a new secret and print its id. The value is all of standard input, exactly "
        "as given (a final newline included), or typed at a prompt on a terminal.",
    )
    put.add_argument("--owner", help="the secret's owner")
    put.add_argument("--name", help="the secret's dotted name, such as prod.billing.db.password")
    put.add_argument("--id", help="the id to store it under (default: a new random one)")
    put.add_argument(
        "--file", action="store_true", help="deliver the value as a file: resolving gives its path"
    )
    put.add_argument("--file-path", metavar="DIR", help="directory of that file (default: .)")
    put.add_argument(
        "--file-name", metavar="NAME", help="name of that file (default: a new one per use)"
    )

    update = _subcommand(
        commands,
        "update",
        cmd_update,
        "replace the value of a stored secret",
        "Replace the value of a stored secret with all of standard input, or with the value "
        "typed at a prompt on a terminal.",
    )
    update.add_argument("id", metavar="ID")

    get = _subcommand(
        commands,
        "get",
        cmd_get,
        "print the value of one secret",
        "Print the value of one secret, with no newline added; for a file secret, write the "
        "file and print its path.",
    )
    get.add_argument("id", metavar="ID")
    _add_limits(get)

    render = _subcommand(
        commands,
        "render",
        cmd_render,
        "put the secrets into a configuration file",
        "Replace every ${{ <secret id> }} in a configuration file by the secret's value. JSON "
        "and YAML are read as data, substituted in every string value at any depth, and "
        "written back in the same format; other files are substituted as text. Nothing is "
        "written when any reference fails.",
    )
    _add_source(render)
    _add_limits(render)
    render.add_argument(
        "-o", "--output", metavar="FILE", help="write FILE (mode 0600) instead of stdout"
    )
    render.add_argument("--force", action="store_true", help="replace an existing output FILE")

    check = _subcommand(
        commands,
        "check",
        cmd_check,
        "list the references of a configuration file",
        "List every ${{ <secret id> }} in a configuration file and whether it resolves, "
        "without printing any value. Resolving a file secret writes its file, as render does.",
    )
    _add_source(check)
    _add_limits(check)

    run = _subcommand(
        commands,
        "run",
        cmd_run,
        "run a command with the secrets in its environment",
        "Substitute the references in the values of the environment variables and run "
        "COMMAND with that environment.",
        _RUN_STATUS,
    )
    _add_limits(run)
    run.add_argument("command", nargs=argparse.REMAINDER, metavar="-- COMMAND [ARG...]")

    _subcommand(
        commands,
        "demo",
        cmd_demo,
        "show the whole cycle in a throwaway realm",
        "Store a plain and a file secret in a temporary database under a new key, render a "
        "sample YAML configuration that refers to both, and print it.",
    )
    return parser


def _exit_code(code: object) -> int:
    if code is None:
        return EXIT_OK
    return code if isinstance(code, int) else EXIT_FAILURE


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:
        return _exit_code(exc.code)
    if args.handler is None:
        parser.print_help(sys.stderr)
        return EXIT_USAGE
    try:
        status: int = args.handler(args)
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader went away; keep the interpreter from complaining at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_FAILURE
    except Exception as exc:  # noqa: BLE001 - the command's boundary: a message, not a traceback
        status, message = _describe(exc)
        print(f"{PROG}: error: {message}", file=sys.stderr)
    return status
