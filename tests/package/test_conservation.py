"""No line goes missing: every line of a rescued file is exactly one of the header, a line of a
written row, of a quarantined record or of a group of skipped lines the report lists, or a blank
line the report counts. The rows' lines come from a trace the native pass keeps for tests; the
file's lines are counted here, from its bytes.

On thousands of random damaged files and on every file of the corpus (QUORLE_CORPUS or
../shared/corpus/duckdb-csv)."""

from __future__ import annotations

import codecs
import collections
import contextlib
import csv
import io
import pathlib
import random
import re
import struct
from collections.abc import Iterator
from typing import Any

import csv_quorle
from csv_quorle import _native

from outcomes import Workspace, fail, run_property
from tables import damage, random_options, random_written, reproducer, shrink_bytes

KINDS = {"preamble", "header", "footer", "second table", "padding", "comment"}
_LINE = re.compile(r"[^\r\n]*(?:\r\n|\r|\n)|[^\r\n]+\Z")


@contextlib.contextmanager
def traced(into: dict[str, Any]) -> Iterator[None]:
    """rescue() with the native pass tracing its rows: its result lands in `into`."""
    original = _native.rescue

    def tracing(*args: Any, **options: Any) -> dict[str, Any]:
        into.update(original(*args, **options, trace_rows=True))
        return into

    _native.rescue = tracing  # type: ignore[assignment]
    try:
        yield
    finally:
        _native.rescue = original  # type: ignore[assignment]


def file_lines(data: bytes, encoding: str) -> list[str]:
    """The file's physical lines (CR LF, LF or a lone CR ends one), byte-order mark apart."""
    text = codecs.decode(data, encoding, "replace").removeprefix("\ufeff")
    return _LINE.findall(text)


def check_conserved(ws: Workspace, data: bytes, options: dict[str, Any],
                    source: pathlib.Path | None = None, what: str = "") -> None:
    source = source or ws.write(data)
    repro = what or reproducer(data, **options)
    result: dict[str, Any] = {}
    quarantine = ws.fresh("conserved.quarantine")
    with traced(result):
        report = csv_quorle.rescue(source, ws.fresh("conserved.csv"), quarantine, **options)
    lines = file_lines(data, report.encoding)
    owners: dict[int, list[str]] = collections.defaultdict(list)

    def own(first: int, last: int, what: str) -> None:
        for n in range(first, last + 1):
            owners[n].append(what)

    if result["header"] is not None:
        own(result["header_first_line"], result["names_last_line"], "header")
    rows = list(struct.iter_unpack("=QQ", result["row_lines"]))
    for first, last in rows:
        own(first, last, "row")
    entries = list(csv.reader(io.StringIO(quarantine.read_text(encoding="utf-8"), newline="")))
    for first, last, *_ in entries[1:]:
        own(int(first), int(last), "quarantine")
    for s in report.skipped_lines:
        if s.kind not in KINDS:
            raise fail("conservation: a kind of skipped lines not known", s, repro)
        own(s.first_line, s.last_line, s.kind)

    if len(rows) != report.good_rows or len(entries) - 1 != report.quarantined_rows:
        raise fail("conservation: rows or quarantine not as counted", report, repro)
    beyond = sorted(n for n in owners if not 1 <= n <= len(lines))
    if beyond:
        raise fail("conservation: lines the file does not have", beyond[:10], owners[beyond[0]],
                   len(lines), report, repro)
    twice = [(n, owners[n]) for n in sorted(owners) if len(owners[n]) > 1]
    if twice:
        raise fail("conservation: lines taken twice", twice[:10], report, repro)
    rest = [n for n in range(1, len(lines) + 1) if n not in owners]
    filled = [(n, lines[n - 1]) for n in rest if lines[n - 1].strip(" \t\r\n")]
    if filled:
        raise fail("conservation: lines not accounted for", filled[:10], report, repro)
    if len(rest) != report.blank_lines:
        raise fail("conservation: blank lines not as counted", rest[:20], report, repro)


def test_every_line_of_damaged_files_is_accounted_for(workspace: Workspace) -> None:
    """Random tables, well-formed or damaged (quotes, ragged rows, blank and comment lines, a
    repeated first line, preambles, footers...), with options left to detection or given."""

    def make(rng: random.Random) -> tuple[bytes, dict[str, Any]]:
        written = random_written(rng, encodings=("utf-8-sig", "cp1252"))
        data = written.data if rng.random() < 0.1 else damage(rng, written)
        options = random_options(rng, written)
        if rng.random() < 0.2:
            options["comment"] = "#"
        if rng.random() < 0.1:
            options["layout"] = False
        if rng.random() < 0.1:
            options["skip_rows"] = rng.randint(0, 4)
        if rng.random() < 0.1:
            options["expected_columns"] = rng.randint(1, 4)
        if rng.random() < 0.1:
            options["skip_blank_lines"] = False
        return data, options

    def shrink(case: tuple[bytes, dict[str, Any]], fails) -> tuple[bytes, dict[str, Any]]:
        data, options = case
        return shrink_bytes(data, lambda d: fails((d, options))), options

    run_property("conservation", 3000, make, lambda c: check_conserved(workspace, *c), shrink)


def test_every_line_of_a_corpus_file_is_accounted_for(corpus_file: pathlib.Path,
                                                       workspace: Workspace) -> None:
    check_conserved(workspace, corpus_file.read_bytes(), {}, corpus_file, str(corpus_file))
