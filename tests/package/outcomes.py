"""One input through each way out of the package — rescue(), read_batches() and the command line —
and the properties of what comes out: a well-formed table comes back as it was, the ways agree,
a clean output is a fixpoint. Shared by the property tests and the corpus tests.

Each check raises AssertionError whose first line names what went wrong, without data, so that
shrinking keeps a case failing in the same way; the lines after it hold the details and a
reproducer.
"""

from __future__ import annotations

import bz2
import contextlib
import csv
import dataclasses
import faulthandler
import gzip
import io
import json
import lzma
import os
import pathlib
import random
import re
import sys
import threading
import time
import zlib
from collections.abc import Callable, Iterator
from typing import Any, TypeVar

import pytest

import csv_quorle
from csv_quorle import _cli

from tables import DELIMITERS, Written, reproducer, seeds

# What a clean file gives to a rescue: its own dialect (UTF-8 always), nothing to detect.
CLEAN = dict(quote_char='"', escape_char=None, skip_rows=0, encoding="utf-8")
# Bytes no text holds (C0 controls but tab, LF, VT, FF, CR and ESC; DEL): the command line may
# refuse a file that holds some as binary; rescue() reads it anyway.
BINARY_BYTES = frozenset((*range(0, 9), *range(14, 27), *range(28, 32), 127))


csv.field_size_limit(sys.maxsize)  # a real file may hold a field of megabytes


def read_csv(data: bytes, delimiter: str = ",") -> list[list[str]]:
    """The records of a clean output, as Python's csv module reads them."""
    return list(csv.reader(io.StringIO(data.decode("utf-8"), newline=""), delimiter=delimiter))


def changed(report: csv_quorle.Report) -> list[str]:
    """What a rescue did to its input beyond reading it: empty for a file that was clean. (A
    warning about a change comes with one of these; others, as of a long quoted field, do not
    say that anything changed.)"""
    found = [f"{name}={getattr(report, name)}"
             for name in ("repaired_rows", "quarantined_rows", "blank_lines", "replaced_bytes",
                          "recoded_bytes") if getattr(report, name)]
    if report.skipped_lines:
        found.append(f"skipped_lines={report.skipped_lines}")
    return found


def fail(what: str, *details: object) -> AssertionError:
    return AssertionError("\n".join([what, *map(str, details)]))


@dataclasses.dataclass
class Workspace:
    """A folder of fixed file names, reused by every case of a test."""

    folder: pathlib.Path

    def path(self, name: str) -> pathlib.Path:
        return self.folder / name

    def fresh(self, name: str) -> pathlib.Path:
        """The path, with no file there: an output renamed over an old file costs a flush of
        its data on ext4, many times the cost of a small rescue."""
        path = self.folder / name
        path.unlink(missing_ok=True)
        return path

    def write(self, data: bytes, name: str = "input.csv") -> pathlib.Path:
        path = self.fresh(name)
        path.write_bytes(data)
        return path

    def rescue(self, source: pathlib.Path, name: str = "clean.csv",
               **options: Any) -> tuple[csv_quorle.Report, bytes, bytes]:
        """rescue() of a file: the report, the clean bytes and the quarantine bytes."""
        out, rest = self.fresh(name), self.fresh(name + ".quarantine")
        report = csv_quorle.rescue(source, out, rest, **options)
        return report, out.read_bytes(), rest.read_bytes()

    def batches(self, source: pathlib.Path, batch_rows: int,
                **options: Any) -> tuple[csv_quorle.Report, list[str], list[list[str]], bytes]:
        """read_batches() of a file through pyarrow: report, column names, rows, quarantine."""
        pa = pytest.importorskip("pyarrow")

        rest = self.fresh("batches.quarantine")
        stream = csv_quorle.read_batches(source, quarantine=rest, batch_rows=batch_rows,
                                         **options)
        table = pa.table(stream)
        columns = [table.column(i).to_pylist() for i in range(table.num_columns)]
        assert all(None not in column for column in columns), "a null without null_padding"
        rows = [list(r) for r in zip(*columns)] if columns else []
        return stream.report, table.column_names, rows, rest.read_bytes()

    def command(self, source: pathlib.Path, *args: str) -> tuple[int, dict[str, Any],
                                                                 bytes | None, bytes | None, str]:
        """`csv-quorle rescue SOURCE -o OUT -q QUARANTINE --json ARGS` in this process: exit
        status, the JSON line, clean and quarantine bytes (None: no file), standard error."""
        out, rest = self.fresh("cli.csv"), self.fresh("cli.quarantine")
        stdout, stderr = io.StringIO(), io.StringIO()
        with contextlib.redirect_stdout(stdout), contextlib.redirect_stderr(stderr):
            status = _cli.main(["rescue", os.fspath(source), "-o", os.fspath(out), "-q",
                                os.fspath(rest), "--json", *args])
        lines = stdout.getvalue().splitlines()
        if len(lines) != 1:
            raise fail("command: not one JSON line", stdout.getvalue(), stderr.getvalue())
        return (status, json.loads(lines[0]), out.read_bytes() if out.exists() else None,
                rest.read_bytes() if rest.exists() else None, stderr.getvalue())


def cli_args(options: dict[str, Any]) -> list[str]:
    """The command line's options for rescue() options it has: delimiter, header, skip_rows,
    comment."""
    args = []
    for name, value in options.items():
        if name == "delimiter" and value is not None:
            args += ["--delimiter", value]
        elif name == "header" and value != "auto":
            args.append("--header" if value else "--no-header")
        elif name == "skip_rows" and value != "auto":
            args += ["--skip-rows", str(value)]
        elif name == "comment" and value is not None:
            args += ["--comment", value]
        elif name not in ("delimiter", "header", "skip_rows", "comment"):
            raise ValueError(f"the command line has no option for {name}")
    return args


def check_round_trip(ws: Workspace, written: Written, output_delimiter: str,
                     header_either: bool = False, readings: list[list[list[str]]] = [],
                     **options: Any) -> tuple[csv_quorle.Report, bytes]:
    """A well-formed table comes out as exactly the same records, with nothing repaired,
    quarantined or skipped; with `header_either`, its first record may come out as the header
    or as a row (the output's lines are the same). `readings`: other records the file reads
    as, as well (in another dialect), the header then either way. Returns the report and the
    clean bytes."""
    repro = reproducer(written.data, output_delimiter=output_delimiter, **options)
    report, clean, _ = ws.rescue(ws.write(written.data), output_delimiter=output_delimiter,
                                 **options)
    table = written.table
    records = read_csv(clean, output_delimiter)
    if records != table.records and records not in readings:
        raise fail("round trip: the records differ", f"got  {records}",
                   f"want {table.records}", repro)
    if changed(report):
        raise fail("round trip: the report shows changes", changed(report), repro)
    headers = [None if table.header is None else tuple(table.header)]
    if (header_either or records != table.records) and records:
        headers = [None, tuple(records[0])]
    if report.header not in headers:
        raise fail("round trip: another header", report.header, repro)
    if report.total_rows != len(records) - (report.header is not None):
        raise fail("round trip: another row count", report, repro)
    return report, clean


@dataclasses.dataclass(frozen=True)
class Rescued:
    """What rescue() made of an input."""

    report: csv_quorle.Report
    clean: bytes
    quarantined: bytes


def check_paths_agree(ws: Workspace, data: bytes, options: dict[str, Any],
                      source: pathlib.Path | None = None, batch_rows: int = 7,
                      command: bool = True) -> Rescued:
    """rescue(), read_batches() and (with `command`) the command line, with the same options on
    the same input, give the same rows, the same quarantine and the same report."""
    source = source or ws.write(data)
    repro = reproducer(data, **options)
    done = Rescued(*ws.rescue(source, **options))
    report = done.report
    records = read_csv(done.clean)

    b_report, names, rows, b_quarantined = ws.batches(source, batch_rows, **options)
    if b_report != report:
        raise fail("read_batches: another report", b_report, report, repro)
    if b_quarantined != done.quarantined:
        raise fail("read_batches: another quarantine", b_quarantined, done.quarantined, repro)
    body = records
    if report.header is not None:
        if not records or list(report.header) != records[0]:
            raise fail("rescue: the report's header is not the file's", report.header, repro)
        check_names(names, records[0], repro)
        body = records[1:]
    if rows != body:
        raise fail("read_batches: other rows than the clean file's", rows, body, repro)

    if command:
        status, c_json, c_clean, c_quarantined, stderr = ws.command(source, *cli_args(options))
        if status != (_cli.EXIT_FAILED if "error" in c_json else _cli.EXIT_OK):
            raise fail("command: an exit status against its report", status, stderr, repro)
        if "error" in c_json and len(stderr.splitlines()) != 1:
            raise fail("command: not one line for a failure", stderr, repro)
        check_command_agrees(c_json, c_clean, c_quarantined, data, done, repro)
    return done


def check_command_agrees(c_json: dict[str, Any], c_clean: bytes | None,
                         c_quarantined: bytes | None, data: bytes, done: Rescued,
                         repro: str) -> None:
    """The command line's JSON line and files for an input are rescue()'s, or it refused an
    input that holds bytes no text holds as binary, writing nothing."""
    error = c_json.get("error")
    if error is not None:
        if error["type"] == "BinaryInputError" and not BINARY_BYTES.isdisjoint(data):
            if c_clean is not None or c_quarantined is not None:
                raise fail("command: output left by a refusal", repro)
            return
        raise fail("command: failed", error, repro)
    if c_clean != done.clean:
        raise fail("command: another clean file", c_clean, done.clean, repro)
    if c_quarantined != done.quarantined:
        raise fail("command: another quarantine", c_quarantined, done.quarantined, repro)
    if c_json["report"] != done.report.to_dict():
        raise fail("command: another report", c_json["report"], done.report.to_dict(), repro)


def check_names(names: list[str], header: list[str], repro: str) -> None:
    """Column names are the header's, but unique, never empty and without NUL (which would end
    the C string a name travels as; it becomes U+FFFD): a name that is neither empty nor repeated
    stays as it is."""
    if len(names) != len(header) or len(set(names)) != len(names):
        raise fail("read_batches: column names not one per column, unique", names, header, repro)
    if not all(name and "\0" not in name for name in names):
        raise fail("read_batches: an empty column name or one with NUL", names, repro)
    carried = [field.replace("\0", "\ufffd") for field in header]
    for name, field in zip(names, carried):
        if field and carried.count(field) == 1 and name != field:
            raise fail("read_batches: a column name is not its header field", names, header,
                       repro)


def quote_other_delimiters(clean: bytes, delimiter: str) -> bytes:
    """The clean output with each unquoted field that holds another of the usual delimiters
    quoted, as the writer is to write it: unquoted, such an output reads as a table of that
    delimiter too (a column of `a;b`, or `a;b|c` in two columns), and nothing tells which.
    Once the writer quotes them, this changes nothing."""
    others = [d.encode() for d in DELIMITERS if d != delimiter]

    def quoted(m: re.Match[bytes]) -> bytes:
        field = m.group()
        return b'"' + field + b'"' if field[:1] != b'"' and any(d in field for d in others) \
            else field

    return re.sub(rb'"(?:[^"]|"")*"|[^"\n' + re.escape(delimiter.encode()) + rb']+', quoted,
                  clean)


def check_fixpoint(ws: Workspace, clean: bytes, report: csv_quorle.Report, output_delimiter: str,
                   repro: str, detected: bool = False) -> None:
    """A rescue's clean output, rescued again with its dialect given (or with everything
    detected, the output quoted as the writer is to quote it: quote_other_delimiters), comes
    out byte for byte the same with nothing changed."""
    how = "detected" if detected else "given"
    if detected:
        clean = quote_other_delimiters(clean, output_delimiter)
    source = ws.write(clean, "fixpoint.csv")
    options = {} if detected else dict(CLEAN, delimiter=output_delimiter,
                                       header=report.header is not None)
    again, out, _ = ws.rescue(source, "again.csv", output_delimiter=output_delimiter, **options)
    if detected:
        out = quote_other_delimiters(out, output_delimiter)
    where = f"fixpoint ({how}) of the output {clean!r}\nof {repro}"
    if out != clean:
        raise fail(f"fixpoint ({how}): other bytes", where, f"came out as {out!r}")
    if changed(again):
        raise fail(f"fixpoint ({how}): the report shows changes", where, changed(again))
    if not detected and again.total_rows != report.good_rows:
        raise fail(f"fixpoint ({how}): another row count", where, again)


Case = TypeVar("Case")


def run_property(name: str, default_cases: int, make: Callable[[random.Random], Case],
                 check: Callable[[Case], object],
                 shrink: Callable[[Case, Callable[[Case], bool]], Case]) -> None:
    """Runs `check` on the cases made from the seeds; the first failure is shrunk to a small
    case that fails in the same way, and raised with that case's details."""
    for seed in seeds(default_cases):
        case = make(random.Random(f"{name}:{seed}"))
        failure = _failure(check, case)
        if failure is None:
            continue
        kind = failure.split("\n", 1)[0]
        small = shrink(case, lambda c: (_failure(check, c) or "").split("\n", 1)[0] == kind)
        rerun = f"QUORLE_PROPERTY_SEED={seed} QUORLE_PROPERTY_CASES=1"
        raise AssertionError(f"{name}, seed {seed} ({rerun}), shrunk:\n{_failure(check, small)}")


def _failure(check: Callable[[Any], object], case: Any) -> str | None:
    """What is wrong with the case: the check's message, or the exception it raised."""
    try:
        check(case)
    except AssertionError as e:
        return str(e)
    except Exception as e:  # a crash is a failure too, shrunk like any other
        return f"raised {type(e).__name__}\n{e}\n{case!r}"
    return None


# --- real files ---


class Watchdog:
    """One thread that ends the process, with every thread's stack and the name of the work,
    when a piece of work outlives its deadline: a hang in native code holds no lock a timeout
    could wait on, and would otherwise stop CI without a word. `before_exit` may give the
    standard error back from the test runner's capture."""

    def __init__(self, before_exit: Callable[[], object] = lambda: None) -> None:
        self._before_exit = before_exit
        self._changed = threading.Condition()
        self._work: tuple[float, object] | None = None
        threading.Thread(target=self._watch, name="watchdog", daemon=True).start()

    @contextlib.contextmanager
    def deadline(self, seconds: float, what: object) -> Iterator[None]:
        with self._changed:
            self._work = (time.monotonic() + seconds, what)
            self._changed.notify()
        try:
            yield
        finally:
            with self._changed:
                self._work = None
                self._changed.notify()

    def _watch(self) -> None:
        with self._changed:
            while True:
                if self._work is None:
                    self._changed.wait()
                    continue
                due, what = self._work
                if time.monotonic() < due:
                    self._changed.wait(due - time.monotonic())
                    continue
                self._before_exit()
                os.write(2, f"\nhang: {what} outlived its deadline\n".encode())
                faulthandler.dump_traceback(all_threads=True)
                os._exit(70)


def unpack(path: pathlib.Path) -> bytes | None:
    """The content of a gzip, bzip2, xz or zstd file; None for any other file. Raises what the
    decompressor raises for cut or corrupt data."""
    with open(path, "rb") as f:
        head = f.read(10)
    if head.startswith(b"\x1f\x8b"):
        return gzip.decompress(path.read_bytes())
    # bzip2: "BZh", the block size, then the magic of a block (pi) or of the end (sqrt pi)
    if head[:3] == b"BZh" and head[3:4].isdigit() and head[4:10] in (b"1AY&SY", b"\x17rE8P\x90"):
        return bz2.decompress(path.read_bytes())
    if head.startswith(b"\xfd7zXZ\x00"):
        return lzma.decompress(path.read_bytes())
    if head.startswith(b"\x28\xb5\x2f\xfd"):
        zstandard = pytest.importorskip("zstandard")
        with zstandard.ZstdDecompressor().stream_reader(path.read_bytes(),
                                                        read_across_frames=True) as reader:
            return reader.read()
    return None


def damaged_errors() -> tuple[type[BaseException], ...]:
    errors: tuple[type[BaseException], ...] = (EOFError, OSError, lzma.LZMAError, zlib.error)
    with contextlib.suppress(ImportError):
        import zstandard

        errors += (zstandard.ZstdError,)
    return errors
