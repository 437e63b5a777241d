"""How often the detection properties fail, and why: each failing case put in one class.

    python bench/detection_failures.py [--cases 4000] [--first 0] [--show 3] [PROPERTY ...]

Runs the cases of the properties in tests/package/test_detection_properties.py (the same
seeds: QUORLE_PROPERTY_SEED=k reruns one), without shrinking, and names for each failure the
first detection decision that departs from the truth: the table as written (round trip), or
the clean output and the dialect it was written in (fixpoint). The classes:

- encoding guessed: the text detection decodes is not the text written;
- wrong delimiter / wrong quote or escape / spaces after the delimiter dropped: the detected
  dialect reads other records than the written ones;
- data line taken for a preamble / header line / footer or second table / padding;
- header missed / header invented;
- line of spaces taken for a blank line: a one-column table whose value of blanks the engine
  skips as a blank line, detection aside;
- NUL refused as binary (the command line), other (the check's first line).
"""

from __future__ import annotations

import argparse
import collections
import csv
import io
import os
import pathlib
import random
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "package"))

import csv_quorle  # noqa: E402
from outcomes import (Workspace, check_round_trip, quote_other_delimiters,  # noqa: E402
                      read_csv)
from tables import (BYTE_ENCODINGS, DELIMITERS, blank_values_unquoted,  # noqa: E402
                    damage, header_reads_both_ways, nul_byte, random_options,
                    random_output_delimiter, random_written, without_mark, write_table)

import test_detection_properties as props  # noqa: E402


class Truth:
    """What a reader of the file should find; `header_either`: the first record reads both
    ways (tables.header_reads_both_ways)."""

    def __init__(self, data: bytes, delimiter: str, header: bool, encoding: str,
                 records: list[list[str]], header_either: bool = False) -> None:
        self.data, self.delimiter, self.header = data, delimiter, header
        self.encoding, self.records, self.header_either = encoding, records, header_either


def _records(text: str, found: csv_quorle.Dialect) -> list[list[str]] | None:
    options: dict = dict(delimiter=found.delimiter, skipinitialspace=found.skip_initial_space,
                         escapechar=found.escape_char, strict=False)
    if found.quote_char is None:
        options["quoting"] = csv.QUOTE_NONE
    else:
        options["quotechar"] = found.quote_char
    try:
        return list(csv.reader(io.StringIO(text, newline=""), **options))
    except csv.Error:
        return None


def _decoded(data: bytes, encoding: str) -> str | None:
    try:
        return data.decode(encoding)
    except (UnicodeError, LookupError):
        return None


def classify(ws: Workspace, truth: Truth) -> str:
    """The first decision of detection's that departs from the truth."""
    path = ws.write(truth.data, "classified.csv")
    found = csv_quorle.detect(path)
    text = _decoded(truth.data, truth.encoding)
    if _decoded(truth.data, found.encoding) != text:
        return "encoding guessed"
    written = [r for r in truth.records]
    read = _records(text or "", found)
    plain = [r for r in read or [] if r]
    wanted = [r for r in written if r]
    if plain != wanted and len(written[0] if written else ()) != 1 or (
            plain != wanted and found.delimiter != truth.delimiter
            and any(len(r) > 1 for r in plain)):
        if found.delimiter != truth.delimiter:
            return "wrong delimiter"
        if found.skip_initial_space:
            return "spaces after the delimiter dropped"
        if (found.quote_char, found.escape_char) != ('"', None):
            return "wrong quote or escape"
    if found.skip_rows:
        return "data line taken for a preamble"
    if found.header_lines > 1:
        return "data line taken for a header line"
    if found.table_end is not None or found.second_table_line is not None:
        return "data line taken for a footer or second table"
    if bool(found.header_lines) != truth.header:
        kind = "header invented" if found.header_lines else "header missed"
        return kind + (" (reads both ways)" if truth.header_either else "")
    report = csv_quorle.rescue(path, ws.fresh("classified.out"))
    if any(s.kind == "padding" for s in report.skipped_lines):
        return "data line taken for padding"
    if report.blank_lines and found.columns <= 1:
        return "line of spaces taken for a blank line"
    return "other"


def _first_line(e: BaseException) -> str:
    return str(e).split("\n", 1)[0]


def round_trip_detected(ws: Workspace, rng: random.Random) -> tuple[str, str] | None:
    written = random_written(rng, ambiguous=False)
    out_delim = random_output_delimiter(rng)
    try:
        props.check_round_trip_detected(ws, written, out_delim)
    except AssertionError as e:
        first = _first_line(e)
        if first.startswith("fixpoint"):
            report, clean, _ = ws.rescue(ws.write(written.data), output_delimiter=out_delim)
            clean = quote_other_delimiters(clean, out_delim)
            kind = "fixpoint: " + classify(ws, Truth(clean, out_delim, report.header is not None,
                                                     "utf-8", read_csv(clean, out_delim)))
            if out_delim not in DELIMITERS:
                kind += " (odd output delimiter)"
            return kind, f"{first}: {clean[:160]!r} -> {out_delim!r}"
        d = written.dialect
        truth = Truth(written.data, d.delimiter, written.table.header is not None, d.encoding,
                      written.table.records, header_reads_both_ways(written.table))
        return classify(ws, truth), f"{first}: {written.data[:160]!r} -> {out_delim!r}"
    return None


def round_trip_given(ws: Workspace, rng: random.Random) -> tuple[str, str] | None:
    written = random_written(rng)
    written = write_table(without_mark(written.table), written.dialect)
    out_delim = random_output_delimiter(rng)
    shown = f"{written.data[:160]!r} {written.given()} -> {out_delim!r}"
    if blank_values_unquoted(written):
        # skipped by the test until the engine keeps such a line: counted as what it is
        try:
            check_round_trip(ws, written, out_delim, **written.given(), layout=False)
        except AssertionError as e:
            return "line of spaces taken for a blank line (engine)", f"{_first_line(e)}: {shown}"
        return None
    try:
        props.check_round_trip_given(ws, written, out_delim)
    except AssertionError as e:
        return "other", f"{_first_line(e)}: {shown}"
    return None


def fixpoint_detected(ws: Workspace, rng: random.Random) -> tuple[str, str] | None:
    written = random_written(rng, encodings=BYTE_ENCODINGS)
    data = written.data if rng.random() < 0.2 else damage(rng, written)
    options, out_delim = random_options(rng, written), rng.choice(DELIMITERS)
    try:
        props.check_fixpoint_detected(ws, data, options, out_delim)
    except AssertionError as e:
        report, clean, _ = ws.rescue(ws.write(data), output_delimiter=out_delim, **options)
        clean = quote_other_delimiters(clean, out_delim)
        truth = Truth(clean, out_delim, report.header is not None, "utf-8",
                      read_csv(clean, out_delim))
        return classify(ws, truth), f"{_first_line(e)}: {clean[:160]!r} -> {out_delim!r}"
    return None


def stray_nul(ws: Workspace, rng: random.Random) -> tuple[str, str] | None:
    written = random_written(rng, encodings=BYTE_ENCODINGS)
    data = damage(rng, written, count=1, damages=[nul_byte])
    try:
        props.check_stray_nul(ws, data)
    except AssertionError as e:
        first = _first_line(e)
        kind = "NUL refused as binary" if "refused" in first else "other"
        return kind, f"{first}: {data[:160]!r}"
    return None


PROPERTIES = {
    "round trip detected": round_trip_detected,
    "round trip given, ambiguous": round_trip_given,
    "fixpoint detected": fixpoint_detected,
    "stray NUL": stray_nul,
}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n", 1)[0])
    parser.add_argument("--cases", type=int, default=4000)
    parser.add_argument("--first", type=int, default=0)
    parser.add_argument("--show", type=int, default=3, help="examples shown per class")
    parser.add_argument("properties", nargs="*", default=list(PROPERTIES))
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        ws = Workspace(pathlib.Path(folder))
        for name in args.properties:
            classes: collections.Counter[str] = collections.Counter()
            examples: dict[str, list[str]] = collections.defaultdict(list)
            for seed in range(args.first, args.first + args.cases):
                found = PROPERTIES[name](ws, random.Random(f"{name}:{seed}"))
                if found is not None:
                    kind, shown = found
                    classes[kind] += 1
                    if len(examples[kind]) < args.show:
                        examples[kind].append(f"seed {seed}: {shown}")
            failed = sum(classes.values())
            print(f"## {name}: {failed} of {args.cases} fail ({100 * failed / args.cases:.2f}%)")
            for kind, n in classes.most_common():
                print(f"- {kind}: {n} ({100 * n / args.cases:.2f}%)")
                for shown in examples[kind]:
                    print(f"    {shown}")
            sys.stdout.flush()
    os.environ.pop("QUORLE_PROPERTY_SEED", None)


if __name__ == "__main__":
    main()
