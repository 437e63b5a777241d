"""Every file of a corpus of real third-party test files (found through QUORLE_CORPUS or at
../shared/corpus/duckdb-csv; skipped when absent): no crash and no hang; rescue(), read_batches()
and the command line agree; the clean output is a fixpoint.

The command line rescues the whole corpus in one run, on its pool of processes, as a user would a
folder of exports. A compressed file is unpacked by Python's own modules for rescue() and
read_batches(), and by the command line itself; the command line refuses a file whose compressed
data is cut or corrupt, and may refuse a binary one, each in its documented way."""

from __future__ import annotations

import contextlib
import io
import json
import os
import pathlib
from typing import Any

import pytest

from csv_quorle import _cli
from outcomes import (Watchdog, Workspace, check_command_agrees, check_fixpoint, check_paths_agree,
                      damaged_errors, fail, unpack)

HANG_SECONDS = 120  # for one file (the largest takes a second), or for the command's run


@pytest.fixture(scope="module")
def watchdog(request: pytest.FixtureRequest) -> Watchdog:
    capture = request.config.pluginmanager.getplugin("capturemanager")
    return Watchdog(lambda: capture and capture.suspend_global_capture(in_=False))


@pytest.fixture(scope="module")
def command_run(corpus_files: list[pathlib.Path], tmp_path_factory: pytest.TempPathFactory,
                watchdog: Watchdog) -> dict[str, dict[str, Any]]:
    """`csv-quorle rescue <every file> --out-dir ... --quarantine-dir ... --json`: each file's
    JSON line, by the name given."""
    folder = tmp_path_factory.mktemp("command")
    stdout, stderr = io.StringIO(), io.StringIO()
    with watchdog.deadline(HANG_SECONDS * 4, "the command's run"):
        with contextlib.redirect_stdout(stdout), contextlib.redirect_stderr(stderr):
            status = _cli.main(["rescue", *map(str, corpus_files), "--out-dir",
                                str(folder / "clean"), "--quarantine-dir",
                                str(folder / "quarantine"), "--json"])
    lines = [json.loads(line) for line in stdout.getvalue().splitlines()]
    failed = sum("error" in line for line in lines)
    assert len(lines) == len(corpus_files), stderr.getvalue()
    assert status == (_cli.EXIT_FAILED if failed else _cli.EXIT_OK)
    assert len(stderr.getvalue().splitlines()) == failed, "one line per failed file"
    return {line["source"]: line for line in lines}


def read(path: str | None) -> bytes | None:
    return None if path is None or not os.path.exists(path) else pathlib.Path(path).read_bytes()


def test_corpus_file(corpus_source: pathlib.Path, workspace: Workspace,
                     command_run: dict[str, dict[str, Any]], watchdog: Watchdog) -> None:
    corpus_file = corpus_source  # as it is: this test unpacks a compressed one itself
    c_json = command_run[str(corpus_file)]
    c_clean, c_quarantined = read(c_json["output"]), read(c_json["quarantine"])
    with watchdog.deadline(HANG_SECONDS, corpus_file):
        try:
            unpacked = unpack(corpus_file)
        except damaged_errors() as e:
            if c_json.get("error", {}).get("type") != "DamagedCompressedInputError" or c_clean:
                raise fail("command: a damaged compressed file not refused", e, c_json)
            return
        data, source = corpus_file.read_bytes(), corpus_file
        if unpacked is not None:
            # rescue() refuses compressed bytes rather than reading them as damaged text
            with pytest.raises(ValueError, match="compressed data: unpack it first"):
                workspace.rescue(corpus_file, "packed.csv")
            data, source = unpacked, workspace.write(unpacked, "unpacked.csv")
        done = check_paths_agree(workspace, data, {}, source=source, batch_rows=1000,
                                 command=False)
        check_command_agrees(c_json, c_clean, c_quarantined, data, done, str(corpus_file))
        check_fixpoint(workspace, done.clean, done.report, ",", str(corpus_file))
