"""Fixtures for the tests of the csv_quorle package."""

from __future__ import annotations

import os
import pathlib
import signal

import pytest


@pytest.fixture
def sigint_raises():
    """SIGINT raising KeyboardInterrupt, as in an interactive run: a shell starts background
    jobs with it ignored, and Python then leaves it so."""
    old = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, old)


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


@pytest.fixture
def workspace(tmp_path: pathlib.Path):
    """A folder for the cases of a property test (see outcomes.Workspace)."""
    from outcomes import Workspace

    return Workspace(tmp_path)


def corpus_root() -> pathlib.Path | None:
    """The folder of real third-party files: $QUORLE_CORPUS, else ../shared/corpus/duckdb-csv
    beside the checkout; None when neither is there."""
    checkout = pathlib.Path(__file__).resolve().parents[2]
    for candidate in (os.environ.get("QUORLE_CORPUS"),
                      checkout.parent / "shared" / "corpus" / "duckdb-csv"):
        if candidate and pathlib.Path(candidate).is_dir():
            return pathlib.Path(candidate)
    return None


def _corpus_files(root: pathlib.Path) -> list[pathlib.Path]:
    """Every file under the root; symbolic links to files included, to folders not followed."""
    return sorted(pathlib.Path(folder, name) for folder, _, names in os.walk(root)
                  for name in names)


def pytest_generate_tests(metafunc: pytest.Metafunc) -> None:
    """A test taking `corpus_file` runs once per file of the corpus, or is skipped when there
    is no corpus."""
    if "corpus_source" not in metafunc.fixturenames:
        return
    root = corpus_root()
    if root is None:
        reason = "no corpus: set QUORLE_CORPUS or put it at ../shared/corpus/duckdb-csv"
        skipped = pytest.param(None, marks=pytest.mark.skip(reason=reason))
        metafunc.parametrize("corpus_source", [skipped])
        return
    files = _corpus_files(root)
    metafunc.parametrize("corpus_source", files, ids=[str(f.relative_to(root)) for f in files])


@pytest.fixture
def corpus_file(corpus_source: pathlib.Path, tmp_path_factory: pytest.TempPathFactory) -> pathlib.Path:
    """The corpus file as text: a compressed one unpacked once a session, as the command line
    unpacks it (rescue() refuses compressed data); one that does not unpack is skipped."""
    from csv_quorle._files.inputs import compression_of, plain_input

    with open(corpus_source, "rb") as f:
        if compression_of(f.read(16)) is None:
            return corpus_source
    unpacked = tmp_path_factory.getbasetemp() / "corpus-unpacked" / corpus_source.name
    if not unpacked.exists():
        unpacked.parent.mkdir(exist_ok=True)
        try:
            with plain_input(str(corpus_source)) as plain, open(plain, "rb") as f:
                data = f.read()
        except (ValueError, ImportError) as e:  # damaged or binary inside; zstandard absent
            pytest.skip(f"does not unpack here: {e}")
        unpacked.write_bytes(data)
    return unpacked


@pytest.fixture(scope="session")
def corpus_files() -> list[pathlib.Path]:
    """The files of the corpus, in the order `corpus_file` takes them."""
    root = corpus_root()
    if root is None:
        pytest.skip("no corpus")
    return _corpus_files(root)
