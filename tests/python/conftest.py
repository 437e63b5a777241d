"""Shared fixtures for the tests of the Python surface."""

import pathlib

import pytest

import _csv_quorle_backend as quorle


@pytest.fixture
def q():
    """The module under test."""
    return quorle


@pytest.fixture
def write(tmp_path):
    """Writes bytes (or str, as UTF-8) to a new file under tmp_path and returns its path as str."""
    counter = iter(range(1_000_000))

    def _write(content, name=None):
        path = tmp_path / (name or f"input_{next(counter)}.csv")
        data = content.encode() if isinstance(content, str) else content
        path.write_bytes(data)
        return str(path)

    return _write


@pytest.fixture
def read():
    """Reads a file's bytes."""
    return lambda path: pathlib.Path(path).read_bytes()
