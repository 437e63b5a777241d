"""detect() on the third-party corpus: every decision that leaves lines out, or that makes a
column count other than a plain reading's, is one reviewed by eye and recorded in
corpus_decisions.json. A changed decision fails here, so that it is reviewed again.

The corpus is found through QUORLE_CORPUS, else ../shared/corpus/duckdb-csv beside the
checkout. QUORLE_UPDATE_DECISIONS=1 writes the file anew from what detect decides now.
"""

from __future__ import annotations

import csv
import json
import os
from collections import Counter
from pathlib import Path

import pytest
from conftest_detect import load

det = load("_detect")
split = load("_detection.split")
text = load("_detection.text")

ROOT = Path(__file__).resolve().parents[2]
DECISIONS = Path(__file__).parent / "corpus_decisions.json"


def corpus() -> Path:
    where = Path(os.environ.get("QUORLE_CORPUS") or ROOT.parent / "shared" / "corpus" / "duckdb-csv")
    if not where.is_dir():
        pytest.skip(f"no corpus at {where} (set QUORLE_CORPUS)")
    return where


def plain_columns(head: bytes, tail: bytes | None, found) -> int:
    """The most common width of the sample's records read with the detected dialect and
    nothing else: no preamble, header lines or footer."""
    lines = text.head_lines(head, found.encoding, tail is None)
    cand = split.Candidate(found.delimiter, found.quote_char, found.skip_initial_space,
                           found.escape_char)
    widths = Counter(r.width for r in split.parse(lines, cand) if not r.blank)
    return widths.most_common(1)[0][0] if widths else 0


def decision(path: Path) -> dict | None:
    """What detect leaves out of the file and its column count against a plain reading; None
    when it leaves nothing out and counts as the plain reading does."""
    with open(path, "rb") as f:
        head, tail = det.read_samples(f)
    found = det.detect_sample(head, tail)
    plain = plain_columns(head, tail, found)
    entry = {}
    if found.skip_rows:
        entry["preamble"] = [1, found.skip_rows]
    if found.header_lines > 1:
        first = found.skip_rows + 1
        entry["header_lines"] = [first, first + found.header_lines - 1]
    if found.table_end is not None:
        entry["table_end"] = found.table_end
    if found.second_table_line is not None:
        entry["second_table"] = found.second_table_line
    if found.columns != plain:
        entry["columns"] = [found.columns, plain]
    if not entry:
        return None
    return {"delimiter": found.delimiter, **entry}


def test_decisions_are_the_reviewed_ones() -> None:
    root = corpus()
    found = {}
    for path in sorted(p for p in root.rglob("*") if p.is_file() and p.name != "LICENSE"):
        entry = decision(path)
        if entry is not None:
            found[path.relative_to(root).as_posix()] = entry
    if os.environ.get("QUORLE_UPDATE_DECISIONS"):
        DECISIONS.write_text(json.dumps(found, indent=1, sort_keys=True) + "\n")
    reviewed = json.loads(DECISIONS.read_text())
    changed = {k: (reviewed.get(k), found.get(k)) for k in reviewed.keys() | found.keys()
               if reviewed.get(k) != found.get(k)}
    assert not changed, f"{len(changed)} decision(s) changed (reviewed, now): {changed}"
