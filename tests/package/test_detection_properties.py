"""Properties that hold once detection is conservative: left to detection, a well-formed table
comes back as it was and a clean output is a fixpoint; a table that reads two ways (a line of
spaces in a one-column table, a last row of empty fields) comes back as written when its dialect
is given; a text file with a stray NUL is not refused as binary. Each failure here is a detection
decision: a data line taken for a preamble, header line, footer or padding, a line of spaces
taken for a blank line, a wrong delimiter, quote or escape, a header missed or invented, spaces
after the delimiter dropped, an encoding guessed. (bench/detection_failures.py counts the
failures of many cases by these classes.)"""

from __future__ import annotations

import pathlib
import random

from outcomes import (Workspace, check_fixpoint, check_paths_agree, check_round_trip,
                      damaged_errors, fail, run_property, unpack)
from tables import (BYTE_ENCODINGS, DELIMITERS, DamagedCase, Written, WrittenCase,
                    blank_values_unquoted, damage, header_reads_both_ways, nul_byte,
                    other_readings, random_options, random_output_delimiter, random_written,
                    reproducer, shrink_bytes, shrink_written, unambiguous, without_mark,
                    write_table)


def check_round_trip_detected(ws: Workspace, written: Written, out_delim: str) -> None:
    report, clean = check_round_trip(ws, written, out_delim,
                                     header_either=header_reads_both_ways(written.table),
                                     readings=other_readings(written))
    if out_delim in DELIMITERS:
        check_fixpoint(ws, clean, report, out_delim,
                       reproducer(written.data, output_delimiter=out_delim), detected=True)


def check_round_trip_given(ws: Workspace, written: Written, out_delim: str) -> None:
    if blank_values_unquoted(written):
        return  # the engine skips such a line as blank, whatever is given: see the test
    check_round_trip(ws, written, out_delim, **written.given(), layout=False)


def check_fixpoint_detected(ws: Workspace, data: bytes, options: dict, out_delim: str) -> None:
    report, clean, _ = ws.rescue(ws.write(data), output_delimiter=out_delim, **options)
    lines = clean.splitlines()
    if lines and lines[0] in lines[1:]:
        # A row equal to the first: a repeat of the header when the columns below show one
        # for sure, a row when damage hid them. The repaired output shows them better.
        return
    check_fixpoint(ws, clean, report, out_delim,
                   reproducer(data, output_delimiter=out_delim, **options), detected=True)


def check_stray_nul(ws: Workspace, data: bytes) -> None:
    done = check_paths_agree(ws, data, {}, command=False)
    _, c_json, c_clean, _, stderr = ws.command(ws.path("input.csv"))
    if "error" in c_json or c_clean != done.clean:
        raise fail("command: refused or another clean file", stderr, reproducer(data))


class TestRoundTrip:
    def test_everything_detected(self, workspace: Workspace) -> None:
        """Any delimiter, quoting, line end, encoding, header or none: nothing given, the same
        records, nothing changed, and the output rescued again is the same bytes."""

        def make(rng: random.Random) -> WrittenCase:
            return random_written(rng, ambiguous=False), random_output_delimiter(rng)

        run_property("round trip detected", 800, make,
                     lambda case: check_round_trip_detected(workspace, *case),
                     lambda case, fails: shrink_written(case, fails,
                                                        lambda t: t == unambiguous(t)))

    def test_dialect_given_on_tables_that_read_two_ways(self, workspace: Workspace) -> None:
        """A last row of blank fields, a first row of empty ones: with the dialect given (and
        layout=False: to a detector they are padding) they are the table's own. A U+FEFF
        opening the file is a byte-order mark to any reader: these tables open with none.
        A line of spaces in a one-column table is not asked for yet: the engine skips every
        line of blanks as a blank line, given dialect or not (tables.blank_values_unquoted),
        until it keeps one as a value where the table has one column and no blank lines."""

        def make(rng: random.Random) -> WrittenCase:
            written = random_written(rng)
            return write_table(without_mark(written.table), written.dialect), \
                random_output_delimiter(rng)

        run_property("round trip given, ambiguous", 800, make,
                     lambda case: check_round_trip_given(workspace, *case), shrink_written)


class TestFixpoint:
    def test_everything_detected(self, workspace: Workspace) -> None:
        """A clean output of any input, damaged or not, rescued again with nothing given, is
        the same bytes with nothing changed."""

        def make(rng: random.Random) -> DamagedCase:
            written = random_written(rng, encodings=BYTE_ENCODINGS)
            data = written.data if rng.random() < 0.2 else damage(rng, written)
            return data, random_options(rng, written), rng.choice(DELIMITERS)

        def shrink(case: DamagedCase, fails) -> DamagedCase:
            data, options, out_delim = case
            return shrink_bytes(data, lambda d: fails((d, options, out_delim))), options, out_delim

        run_property("fixpoint detected", 800, make,
                     lambda case: check_fixpoint_detected(workspace, *case), shrink)


def test_text_with_a_stray_nul_is_not_binary(workspace: Workspace) -> None:
    """A small export with one NUL byte is text to every way out, the command line included."""

    def make(rng: random.Random) -> tuple[bytes, dict]:
        written = random_written(rng, encodings=BYTE_ENCODINGS)
        return damage(rng, written, count=1, damages=[nul_byte]), {}

    run_property("stray NUL", 200, make, lambda case: check_stray_nul(workspace, case[0]),
                 lambda case, fails: (shrink_bytes(case[0], lambda d: fails((d, case[1]))),
                                      case[1]))


def test_corpus_file_is_a_fixpoint_detected(corpus_file: pathlib.Path,
                                            workspace: Workspace) -> None:
    """The clean output of a real file, rescued again with nothing given, is the same bytes."""
    try:
        unpacked = unpack(corpus_file)
    except damaged_errors():
        return  # refused by the command line, nothing to rescue
    source = corpus_file if unpacked is None else workspace.write(unpacked, "unpacked.csv")
    report, clean, _ = workspace.rescue(source)
    check_fixpoint(workspace, clean, report, ",", str(corpus_file), detected=True)
