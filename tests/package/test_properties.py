"""Properties on random tables, with Python's csv module as the oracle that writes the inputs and
reads the outputs: a well-formed table comes back as it was, a clean output is a fixpoint, and
rescue(), read_batches() and the command line agree, on well-formed and damaged files alike.

QUORLE_PROPERTY_CASES=50000 runs more cases per test; a failure prints its seed and a shrunk
reproducer.
"""

from __future__ import annotations

import random

import pytest

from outcomes import (Workspace, check_fixpoint, check_paths_agree, check_round_trip, fail,
                      read_csv, run_property)
from tables import (BYTE_ENCODINGS, DamagedCase, WrittenCase, damage, random_options,
                    random_output_delimiter, random_written, reproducer, shrink_bytes,
                    shrink_written, unambiguous)


class TestRoundTrip:
    def test_dialect_given(self, workspace: Workspace) -> None:
        """Any delimiter, quoting, line end, encoding, header or none, into any output
        delimiter: the same records, nothing changed, and the output rescued again is the same
        bytes."""

        def make(rng: random.Random) -> WrittenCase:
            return random_written(rng, ambiguous=False), random_output_delimiter(rng)

        def check(case: WrittenCase) -> None:
            written, out_delim = case
            report, clean = check_round_trip(workspace, written, out_delim, **written.given())
            check_fixpoint(workspace, clean, report, out_delim,
                           reproducer(written.data, output_delimiter=out_delim, **written.given()))

        run_property("round trip given", 1200, make, check,
                     lambda case, fails: shrink_written(case, fails,
                                                        lambda t: t == unambiguous(t)))


class TestDamaged:
    def test_paths_agree_and_output_is_a_fixpoint(self, workspace: Workspace) -> None:
        """Stray and unterminated quotes, ragged rows, trailing delimiters, blank lines, invalid
        UTF-8, mixed line breaks, preambles, footers, NUL bytes (and one file in five left
        well-formed): rescue(), read_batches() and the command line give the same rows,
        quarantine and report; any output delimiter gives the same records; the clean output,
        rescued again with its dialect given, is the same bytes."""

        def make(rng: random.Random) -> DamagedCase:
            written = random_written(rng, encodings=BYTE_ENCODINGS)
            data = written.data if rng.random() < 0.2 else damage(rng, written)
            return data, random_options(rng, written), random_output_delimiter(rng)

        def check(case: DamagedCase) -> None:
            data, options, out_delim = case
            done = check_paths_agree(workspace, data, options)
            report, clean = done.report, done.clean
            repro = reproducer(data, output_delimiter=out_delim, **options)
            if out_delim != ",":
                records = read_csv(clean)
                _, clean, _ = workspace.rescue(workspace.path("input.csv"),
                                               output_delimiter=out_delim, **options)
                if read_csv(clean, out_delim) != records:
                    raise fail("output delimiter: other records", repro)
            check_fixpoint(workspace, clean, report, out_delim, repro)

        def shrink(case: DamagedCase, fails) -> DamagedCase:
            data, options, out_delim = case
            return shrink_bytes(data, lambda d: fails((d, options, out_delim))), options, out_delim

        run_property("damaged", 400, make, check, shrink)


@pytest.mark.parametrize("data, options", [
    # The header comes after the first rows handed over to the stream (4 MB of blank lines).
    (b"\n" * (5 << 20) + b"a,b\n1,2\n", {"header": True}),
    # Nothing the column count is sampled from (an unterminated quote over tabs; `""`): the
    # first row's width.
    (b'"\t\t\n', {"delimiter": "\t", "header": False}),
    (b'""\n""\n', {"header": False}),
    # Names holding NUL, which ends the C string a name travels as.
    (b"TR\x00UE,TR\x00X,\x00\n1,2,3\n", {"header": True}),
    # A header record over two lines: nothing skipped.
    (b'"a\nb",c\n1,2\n', {"header": True}),
], ids=["header-after-4MB", "unterminated-over-tabs", "empty-fields", "nul-names",
        "header-over-two-lines"])
def test_paths_agree_on_edge_files(workspace: Workspace, data: bytes, options: dict) -> None:
    done = check_paths_agree(workspace, data, options)
    assert not done.report.skipped_lines
