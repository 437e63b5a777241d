"""rescue() and read_batches() on two threads give what they give on one: the clean file, the
quarantine, the report and the rows, for damaged random tables and the corpus files (found
through QUORLE_CORPUS; skipped when absent), with parts of a few bytes so that records of every
kind cross a part's start."""

from __future__ import annotations

import pathlib
import random
from typing import Any

import pytest

from csv_quorle._call.args import PART_BYTES_VARIABLE
from outcomes import Workspace, damaged_errors, run_property, unpack
from tables import BYTE_ENCODINGS, damage, random_options, random_written, reproducer

Outcome = tuple[Any, ...]


def outcomes(workspace: Workspace, source: pathlib.Path, threads: int,
             options: dict[str, Any]) -> tuple[Outcome, Outcome]:
    """(rescue()'s report, clean and quarantine bytes; read_batches()'s report, names, rows and
    quarantine), or the error each raised."""

    def run(call, *args: Any) -> Outcome:
        try:
            return call(*args, threads=threads, **options)
        except Exception as e:  # both thread counts must refuse a file alike
            return (type(e), str(e))

    return (run(workspace.rescue, source), run(workspace.batches, source, 7))


def check_threads_agree(workspace: Workspace, monkeypatch: pytest.MonkeyPatch,
                        source: pathlib.Path, options: dict[str, Any], part_bytes: int,
                        shown: str) -> None:
    monkeypatch.setenv(PART_BYTES_VARIABLE, str(part_bytes))
    one = outcomes(workspace, source, 1, options)
    two = outcomes(workspace, source, 2, options)
    for what, a, b in zip(("rescue()", "read_batches()"), one, two):
        assert a == b, f"{what} on two threads (parts of {part_bytes} bytes) differs: {shown}"


def test_damaged_tables(workspace: Workspace, monkeypatch: pytest.MonkeyPatch) -> None:
    def make(rng: random.Random) -> tuple[bytes, dict, int]:
        written = random_written(rng, encodings=BYTE_ENCODINGS)
        data = written.data if rng.random() < 0.2 else damage(rng, written)
        return data, random_options(rng, written), rng.choice((1, 2, 5, 16, 64))

    def check(case: tuple[bytes, dict, int]) -> None:
        data, options, part_bytes = case
        check_threads_agree(workspace, monkeypatch, workspace.write(data), options, part_bytes,
                            reproducer(data, **options))

    run_property("threads", 150, make, check, lambda case, fails: case)


def test_corpus_file(corpus_file: pathlib.Path, workspace: Workspace,
                     monkeypatch: pytest.MonkeyPatch) -> None:
    try:
        unpacked = unpack(corpus_file)
    except damaged_errors():
        pytest.skip("a damaged compressed file: refused before any pass")
    source = corpus_file if unpacked is None else workspace.write(unpacked, "unpacked.csv")
    size = source.stat().st_size
    # Some hundred parts a file: small parts for small files, and a bounded count for large ones.
    check_threads_agree(workspace, monkeypatch, source, {}, max(3, size // 200),
                        str(corpus_file))
