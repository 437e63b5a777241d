"""bench/targets.py, the table of speed and memory targets, run on tiny inputs: every row comes
out with a verdict, and its generated files are gone afterwards."""

import os
import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
TARGETS = ROOT / "bench" / "targets.py"
ROWS = 7  # clean, dirty, arrow, small, detect, memory, dask
VERDICTS = ("| met |", "| not met |", "| not measured |")


def leftovers() -> set[str]:
    shm = pathlib.Path("/dev/shm")
    return {p.name for p in shm.glob("quorle-targets-*")} if shm.is_dir() else set()


@pytest.mark.skipif(not TARGETS.exists() or shutil.which("g++") is None,
                    reason="needs the checkout's bench/ and g++ for gen_csv")
def test_every_row_is_printed_and_the_inputs_are_removed(tmp_path):
    tmp = tmp_path / "tmp"
    tmp.mkdir()
    table = tmp_path / "targets.md"
    shm_before = leftovers()
    subprocess.run([sys.executable, str(TARGETS), "--scale", "0.001", "--rounds", "1",
                    "--markdown", str(table)],
                   check=True, capture_output=True, text=True, timeout=300,
                   env=dict(os.environ, TMPDIR=str(tmp)))
    rows = [line for line in table.read_text().splitlines()
            if line.startswith("| ") and line.endswith(VERDICTS)]
    assert len(rows) == ROWS, table.read_text()
    assert list(tmp.iterdir()) == []
    assert leftovers() <= shm_before
