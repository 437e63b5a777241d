"""Fixtures for the tests of the csv_quorle package."""

from __future__ import annotations

import pathlib

import pytest


@pytest.fixture
def write(tmp_path: pathlib.Path):
    """Writes bytes (or str, as UTF-8) to a new file under tmp_path; returns its Path."""
    counter = iter(range(1_000_000))

    def _write(content: bytes | str, name: str | None = None) -> pathlib.Path:
        path = tmp_path / (name or f"input_{next(counter)}.csv")
        path.write_bytes(content.encode() if isinstance(content, str) else content)
        return path

    return _write


@pytest.fixture
def run(tmp_path: pathlib.Path, write):
    """Rescues content; returns the report, the clean text and the quarantine text."""
    import csv_quorle

    def _run(content: bytes | str, **options):
        source = write(content)
        out, quarantine = tmp_path / "clean.csv", tmp_path / "quarantine.csv"
        report = csv_quorle.rescue(source, out, quarantine, **options)
        return report, out.read_text(encoding="utf-8"), quarantine.read_text(encoding="utf-8")

    return _run
