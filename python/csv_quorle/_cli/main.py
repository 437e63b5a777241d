"""The `csv-quorle` command: rescue, check and sniff CSV files from a shell or a pipeline.

Only click is imported up front; everything else waits for the command that needs it, so that
`csv-quorle --help` starts at once."""

from __future__ import annotations

import contextlib
import signal
import sys
from collections.abc import Iterator
from typing import Any

import click

from .exits import EXIT_FAILED, EXIT_INTERRUPTED, EXIT_OK, EXIT_TERMINATED, PROG

DELIMITER_NAMES = {"tab": "\t", "\\t": "\t", "comma": ",", "semicolon": ";", "pipe": "|", "space": " "}

MAIN_HELP = """Rescue damaged CSV files: a clean RFC-4180 file, a quarantine file of the records
that could not be saved, and a report of every repair.

\b
Examples:
  csv-quorle rescue export.csv -o clean.csv -q rejected.csv
  zcat export.csv.gz | csv-quorle rescue - > clean.csv
  csv-quorle rescue exports/*.csv.gz --out-dir clean/ --quarantine-dir rejected/
  csv-quorle check export.csv
  csv-quorle sniff exports/* --json

\b
Exit status: 0 done, 1 a file failed, 2 usage error,
3 rows were quarantined (with --fail-on-quarantine), 130 Ctrl-C, 143 SIGTERM."""


def _delimiter(ctx: click.Context, param: click.Parameter, value: str | None) -> str | None:
    if value is None:
        return None
    value = DELIMITER_NAMES.get(value.lower(), value)
    if len(value) != 1:
        raise click.BadParameter("one character, or one of tab, comma, semicolon, pipe, space")
    return value


def _output_delimiter(ctx: click.Context, param: click.Parameter, value: str | None) -> str | None:
    value = _delimiter(ctx, param, value)
    if value is not None and value in '"\r\n':
        raise click.BadParameter("not the double quote, which the output quotes with, nor a line break")
    return value


def _character(ctx: click.Context, param: click.Parameter, value: str | None) -> str | None:
    """One ASCII character, by the library's own rules."""
    if value is None:
        return None
    from .._call.args import char

    try:
        return char(value, "it")
    except ValueError as e:  # "it must be exactly one character, got 'ab'"
        raise click.BadParameter(str(e)) from None


def _encoding(ctx: click.Context, param: click.Parameter, value: str) -> str:
    if value != "auto":
        import codecs

        try:
            codecs.lookup(value)
        except LookupError:
            raise click.BadParameter(f"unknown encoding {value!r}") from None
    return value


def _reading_options(f):
    """The options that decide how the inputs are read, shared by `rescue` and `check`."""
    decorators = [
        click.option("--delimiter", callback=_delimiter, metavar="CHAR",
                     help="Field delimiter (also tab, comma, semicolon, pipe, space); detected if not given."),
        click.option("--encoding", default="auto", show_default=True, callback=_encoding,
                     help="Input encoding: any Python codec name, or auto (byte-order mark, UTF-8, detection)."),
        click.option("--header/--no-header", default=None,
                     help="Whether the table's first record is a header; detected if not given."),
        click.option("--skip-rows", type=click.IntRange(min=0), metavar="N",
                     help="Lines before the table (titles, export dates); detected if not given."),
        click.option("--quote", callback=_character, metavar="CHAR",
                     help="Quote character; detected if not given (the double quote unless the file shows another)."),
        click.option("--no-quote", is_flag=True, help="No quoting: quote characters are text."),
        click.option("--escape", callback=_character, metavar="CHAR",
                     help="Escape character inside quoted fields, such as \\; detected if not given."),
        click.option("--no-escape", is_flag=True, help="No escape character, whatever the file shows."),
        click.option("--no-layout", is_flag=True,
                     help="Look for no preamble, footer, end of table, padding or second table: "
                          "every line is a row, or the header."),
        click.option("--comment", callback=_character, metavar="CHAR",
                     help="Skip the lines starting with CHAR, listed as skipped lines of kind comment."),
        click.option("--strict", is_flag=True,
                     help="Change no row: rows without the column count are quarantined, not padded or merged."),
        click.option("--expected-columns", type=click.IntRange(min=1), metavar="N",
                     help="The table's column count; else the header's, or the most common among the first rows."),
        click.option("--skip-blank-lines/--keep-blank-lines", default=None,
                     help="Leave blank lines out (the default), or keep each as a row of empty fields."),
        click.option("--json", "as_json", is_flag=True, help="Print one JSON object per file instead of tables."),
        click.option("--fail-on-quarantine", is_flag=True, help="Exit with status 3 when any row was quarantined."),
    ]
    for decorate in reversed(decorators):
        f = decorate(f)
    return f


def _rescue_options(delimiter: str | None, encoding: str, header: bool | None, skip_rows: int | None,
                    quote: str | None, no_quote: bool, escape: str | None, no_escape: bool,
                    no_layout: bool, comment: str | None, strict: bool, expected_columns: int | None,
                    skip_blank_lines: bool | None) -> dict[str, Any]:
    """The keyword arguments of `rescue` the options stand for: only those given, so that the
    package's own defaults (detection) decide the rest."""
    for name, value, off in (("quote", quote, no_quote), ("escape", escape, no_escape)):
        if value is not None and off:
            raise click.UsageError(f"give --{name} or --no-{name}, not both")
    options: dict[str, Any] = {"delimiter": delimiter, "encoding": encoding}
    if header is not None:
        options["header"] = header
    if skip_rows is not None:
        options["skip_rows"] = skip_rows
    if quote is not None or no_quote:
        options["quote_char"] = quote
    if escape is not None or no_escape:
        options["escape_char"] = escape
    if no_layout:
        options["layout"] = False
    if comment is not None:
        options["comment"] = comment
    if strict:
        options.update(fill_ragged_rows=False, merge_overflow=False)
    if expected_columns is not None:
        options["expected_columns"] = expected_columns
    if skip_blank_lines is not None:
        options["skip_blank_lines"] = skip_blank_lines
    _check_together(options)
    return options


def _check_together(options: dict[str, Any]) -> None:
    """The options checked against each other as the library checks them (a quote that is the
    delimiter), once, before any file is read."""
    from .._call.table import choices

    try:
        choices(options["delimiter"], options.get("quote_char", "auto"),
                options.get("escape_char", "auto"), options["encoding"], options.get("header", "auto"),
                options.get("skip_rows", "auto"), options.get("expected_columns"),
                layout=options.get("layout", True), comment=options.get("comment"))
    except ValueError as e:
        raise click.UsageError(str(e)) from None


class _Group(click.Group):
    def list_commands(self, ctx: click.Context) -> list[str]:
        return list(self.commands)  # in the order of a user's first steps, not alphabetical


@click.group(cls=_Group, help=MAIN_HELP,
             context_settings={"help_option_names": ["-h", "--help"], "max_content_width": 100})
@click.version_option(package_name="csv-quorle", prog_name=PROG)
def cli() -> None:
    pass


@cli.command(short_help="Rescue files into clean CSV and quarantine files.", epilog="""\b
Examples:
  csv-quorle rescue export.csv -o clean.csv -q rejected.csv --repairs repairs.csv
  zcat export.csv.gz | csv-quorle rescue - -o clean.csv
  csv-quorle rescue exports/* --out-dir clean/ --quarantine-dir rejected/ --json""")
@click.argument("inputs", nargs=-1, required=True, metavar="INPUT...")
@click.option("-o", "--output", metavar="OUTPUT", help="The clean file (one input only); - or none: standard output.")
@click.option("--out-dir", metavar="DIR", help="Write each input's clean file as DIR/<name>.csv.")
@click.option("-q", "--quarantine", metavar="QUARANTINE", help="The quarantine file (one input only).")
@click.option("--quarantine-dir", metavar="DIR", help="Write each input's quarantine file as DIR/<name>.quarantine.csv.")
@_reading_options
@click.option("--output-delimiter", callback=_output_delimiter, metavar="CHAR",
              help="The clean file's delimiter (also tab, semicolon, pipe, ...); a comma if not given.")
@click.option("--bom", is_flag=True,
              help="Start the clean and quarantine files with a UTF-8 byte-order mark (for spreadsheets).")
@click.option("--repairs", metavar="FILE",
              help="Write every repair (file, lines, kind, detail) to FILE: CSV, or JSON lines for .jsonl or .ndjson.")
@click.option("--repairs-format", type=click.Choice(["csv", "jsonl"]),
              help="The repairs file's format, whatever its name.")
def rescue(inputs, output, out_dir, quarantine, quarantine_dir, as_json, fail_on_quarantine, output_delimiter,
           bom, repairs, repairs_format, **reading) -> int:
    """Rescue each INPUT (a file, or - for standard input; gzip, bzip2, xz and zstd are unpacked).

    The summary goes to standard output, or to standard error when the clean data does: a line
    per file, then the lines each file left out (preamble, footer, ...) and what was guessed
    (encoding, escape, one column, a repeated header), then the totals."""
    from . import commands

    _check_stdin_once(inputs)
    if output is not None and out_dir is not None:
        raise click.UsageError("give -o/--output or --out-dir, not both")
    if quarantine is not None and quarantine_dir is not None:
        raise click.UsageError("give -q/--quarantine or --quarantine-dir, not both")
    if len(inputs) > 1 and out_dir is None:
        raise click.UsageError("more than one input needs --out-dir (-o names one file)")
    if len(inputs) > 1 and quarantine is not None:
        raise click.UsageError("more than one input needs --quarantine-dir (-q names one file)")
    if quarantine == "-":
        raise click.UsageError("the quarantine file cannot be standard output")
    if repairs_format is not None and repairs is None:
        raise click.UsageError("--repairs-format needs --repairs FILE")
    options = _rescue_options(**reading)
    if output_delimiter is not None:
        options["output_delimiter"] = output_delimiter
    if bom:
        options["bom"] = True
    return commands.rescue(inputs, output, out_dir, quarantine, quarantine_dir, options,
                           as_json=as_json, fail_on_quarantine=fail_on_quarantine, repairs=repairs,
                           repairs_format=repairs_format or repairs_format_of(repairs))


@cli.command(short_help="Report what a rescue would do; write nothing.", epilog="""\b
Examples:
  csv-quorle check export.csv
  csv-quorle check export.csv --no-layout --quote "'" --no-escape
  csv-quorle check exports/* --json --fail-on-quarantine
  csv-quorle check export.csv --max-shown 20 --html export-check.html""")
@click.argument("inputs", nargs=-1, required=True, metavar="INPUT...")
@_reading_options
@click.option("--max-shown", type=click.IntRange(min=0), default=10, show_default=True, metavar="N",
              help="Repairs, skipped lines and quarantined records listed per file.")
@click.option("--html", metavar="FILE", help="Also write the reports as a standalone HTML page.")
def check(inputs, as_json, fail_on_quarantine, max_shown, html, **reading) -> int:
    """Report what a rescue of each INPUT would do (dialect, encoding, counts, lines left out,
    guesses, warnings, first repairs and quarantined records, detection's decisions); nothing
    is written but the --html page."""
    from . import commands

    _check_stdin_once(inputs)
    options = _rescue_options(**reading)
    return commands.check(inputs, options, as_json=as_json, fail_on_quarantine=fail_on_quarantine,
                          max_shown=max_shown, html=html)


@cli.command(short_help="Show each file's dialect, encoding, columns and header.", epilog="""\b
Examples:
  csv-quorle sniff export.csv
  csv-quorle sniff exports/* --json""")
@click.argument("inputs", nargs=-1, required=True, metavar="INPUT...")
@click.option("--json", "as_json", is_flag=True, help="Print one JSON object per file instead of a table.")
@click.option("--explain", is_flag=True, help="After the table, each decision with its confidence and evidence.")
def sniff(inputs, as_json, explain) -> int:
    """Show the delimiter, quote, encoding, column count, header and the table's lines of each INPUT."""
    from . import commands

    _check_stdin_once(inputs)
    return commands.sniff(inputs, as_json=as_json, explain=explain)


def repairs_format_of(path: str | None) -> str:
    """JSON lines for a name ending .jsonl or .ndjson, else CSV."""
    return "jsonl" if path is not None and path.lower().endswith((".jsonl", ".ndjson")) else "csv"


def _check_stdin_once(inputs: tuple[str, ...]) -> None:
    if inputs.count("-") > 1:
        raise click.UsageError("standard input (-) can be read only once")


class Terminated(KeyboardInterrupt):
    """SIGTERM, raised where Ctrl-C would be, so the run stops and cleans up the same way."""


def _terminate(signum: int, frame: Any) -> None:
    raise Terminated


@contextlib.contextmanager
def _sigterm_as_interrupt() -> Iterator[None]:
    """SIGTERM handled like Ctrl-C for the length of the run (unless the caller ignores it)."""
    previous = signal.getsignal(signal.SIGTERM)
    try:
        if previous != signal.SIG_IGN:
            signal.signal(signal.SIGTERM, _terminate)
    except ValueError:  # not the main thread: signals are not ours to handle
        yield
        return
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, signal.SIG_DFL if previous is None else previous)


def main(argv: list[str] | None = None) -> int:
    """The console script: returns the exit status. Usage errors print click's usage lines; any
    other failure prints one plain line, never a traceback."""
    try:
        with _sigterm_as_interrupt():
            status = cli.main(args=argv, prog_name=PROG, standalone_mode=False)
    except click.ClickException as exc:
        exc.show()
        return exc.exit_code
    except (KeyboardInterrupt, click.exceptions.Abort) as exc:
        # click turns an interrupt into Abort, keeping it as the cause.
        if isinstance(exc, Terminated) or isinstance(exc.__cause__, Terminated):
            click.echo(f"{PROG}: terminated", err=True)
            return EXIT_TERMINATED
        click.echo(f"{PROG}: interrupted", err=True)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        return EXIT_FAILED
    except Exception as exc:  # the last resort: one line, as for any other failure
        from .._many_files import describe_error

        click.echo(f"{PROG}: {describe_error(exc)}", err=True)
        return EXIT_FAILED
    return status if isinstance(status, int) else EXIT_OK


if __name__ == "__main__":
    sys.exit(main())
