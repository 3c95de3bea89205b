"""Configuration files: render puts the values in, check says what would resolve."""

from __future__ import annotations

import argparse

from kuv_secrets.cli.status import EXIT_FAILURE, EXIT_KEY, EXIT_OK, EXIT_REFERENCE, CliError
from kuv_secrets.files.streams import note, printable, read_input, write_stdout

TYPE_CHECKING = False
if TYPE_CHECKING:
    from kuv_secrets.cli.context import Context
    from kuv_secrets.realm.memory import Trail


def _problem(
    ctx: Context, ref: str, owner: str, prefix: str, trail: Trail
) -> tuple[int, str] | None:
    from kuv_secrets.cli.status import describe
    from kuv_secrets.realm.memory import resolve

    try:
        with trail.noted(ref):
            resolve(ctx, ref, owner, prefix)
    except Exception as exc:  # noqa: BLE001 - every failure is reported, none ends the check
        return describe(exc, ctx, ref)
    return None


def cmd_render(ctx: Context, args: argparse.Namespace) -> int:
    from kuv_secrets.files.publish import check_output, write_output
    from kuv_secrets.realm.memory import Trail
    from kuv_secrets.render.formats import format_of, render

    path = None if args.file in (None, "-") else args.file
    # Refused before anything resolves, so no file secret is written for nothing.
    if args.output not in (None, "-"):
        check_output(ctx.path(args.output), args.force)
    text = read_input(ctx, path)
    fmt = format_of(path, args.format)
    label = path or "standard input"
    trail = Trail("render")
    try:
        rendered = render(
            ctx.records,
            text,
            fmt,
            args.owner,
            args.prefix,
            label,
            ctx=ctx,
            leave=args.leave,
            trail=trail,
        )
    finally:
        trail.write(ctx, "nothing was written")
    write_output(ctx, args.output, rendered.encode("utf-8"), args.force)
    return EXIT_OK


def cmd_check(ctx: Context, args: argparse.Namespace) -> int:
    from kuv_secrets.realm.memory import Trail
    from kuv_secrets.render.formats import INCOMPLETE, chosen, find, leaving, platform

    path = None if args.file in (None, "-") else args.file
    label = path or "standard input"
    text = read_input(ctx, path)
    fmt, how = chosen(path, args.format)
    # On standard error: the listing stays one reference a line.
    note(ctx, f"format: {fmt} ({how})")
    found = find(text, fmt, label)
    left = leaving(args.leave)
    problems: dict[str, tuple[int, str] | None] = {}
    statuses: list[int] = []
    contexts: dict[str, None] = {}
    checked = 0
    trail = Trail("check")
    # Printed once the trail holds what was read: a check that can't go on record says nothing.
    lines: list[str] = []
    for ref in found:
        where = printable(f"{label}:{ref.line}: {ref.shown}")
        if ref.left:
            lines.append(f"warn  {where}: {ref.left}, left as is\n")
            continue
        if ref.secret_id is not None and left(ref.secret_id):
            lines.append(f"left  {where}\n")
            continue
        checked += 1
        if ref.secret_id is None:
            problem: tuple[int, str] | None = (EXIT_REFERENCE, INCOMPLETE)
        else:
            if ref.secret_id not in problems:
                problems[ref.secret_id] = _problem(
                    ctx, ref.secret_id, args.owner, args.prefix, trail
                )
            problem = problems[ref.secret_id]
        if problem is not None:
            statuses.append(problem[0])
            context = platform(ref.secret_id or "")
            if context and problem[0] == EXIT_REFERENCE:
                contexts[context] = None
        shown = f"ok    {where}" if problem is None else f"FAIL  {where}: {problem[1]}"
        lines.append(printable(shown) + "\n")
    trail.write(ctx)
    write_stdout(ctx, "".join(lines))
    if statuses:
        # A key that opens nothing is the cause to fix first.
        status = next((s for s in (EXIT_KEY, EXIT_REFERENCE) if s in statuses), EXIT_FAILURE)
        hint = ""
        if contexts:
            options = " ".join(f"--leave '{context}.*'" for context in contexts)
            hint = f"; the CI platform's own expressions stay as they are with {options}"
        raise CliError(f"{len(statuses)} of {checked} references do not resolve{hint}", status)
    return EXIT_OK
