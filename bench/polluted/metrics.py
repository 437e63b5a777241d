"""Scores of one loaded table against its truth, and what differs between them.

A table is (header, records): header a list of str or None (the loader read no header), records
lists of str. Three levels, each with precision, recall and F1 over multisets:

- header: the column names (order aside: all and only the truth's names);
- records: whole records, a record equal when all its values are, in order;
- cells: every value, the header's names included, wherever it sits.

An empty side counts as fully precise (or fully recalled) only when the other side is empty too.
With success (the loader returned a table at all), the ten figures sum to the score (max 10); a
failed load scores 0 everywhere.
"""

from collections import Counter

LEVELS = ("header", "records", "cells")
FIGURES = ("success",) + tuple(f"{level}_{m}" for level in LEVELS for m in ("p", "r", "f1"))


def prf(got, want):
    """Precision, recall and F1 of the multiset `got` against `want` (both Counters)."""
    common = sum((got & want).values())
    n_got, n_want = sum(got.values()), sum(want.values())
    p = common / n_got if n_got else float(n_want == 0)
    r = common / n_want if n_want else float(n_got == 0)
    f1 = 2 * p * r / (p + r) if p + r else 0.0
    return p, r, f1


def multisets(header, records):
    names = Counter(header or ())
    rows = Counter(tuple(r) for r in records)
    cells = Counter(names)
    for r in records:
        cells.update(r)
    return {"header": names, "records": rows, "cells": cells}


def score(got, want):
    """The figures of FIGURES for a loaded table `got` (None: the load failed) against `want`."""
    if got is None:
        return dict.fromkeys(FIGURES, 0.0)
    g, w = multisets(*got), multisets(*want)
    figures = {"success": 1.0}
    for level in LEVELS:
        p, r, f1 = prf(g[level], w[level])
        figures.update({f"{level}_p": p, f"{level}_r": r, f"{level}_f1": f1})
    return figures


def total(figures):
    return sum(figures[f] for f in FIGURES)


def _short(value, limit=60):
    return value if len(value) <= limit else f"{value[:limit]}…({len(value)} chars)"


def _row(record):
    return "[" + ", ".join(repr(_short(v, 40)) for v in record) + "]"


def differences(got, want, examples=2):
    """A few lines saying how the loaded table differs from the truth."""
    header, records = got
    true_header, true_records = want
    lines = []
    if Counter(header or ()) != Counter(true_header or ()):
        if header is None:
            lines.append("no header read (truth has one)")
        elif true_header is None:
            lines.append(f"header read where there is none: {_row(header[:4])}…")
        else:
            missing = list((Counter(true_header) - Counter(header)).elements())
            extra = list((Counter(header) - Counter(true_header)).elements())
            lines.append(
                f"header: {len(header)} names, {len(true_header)} wanted; "
                f"missing {_row(missing[:4])}, extra {_row(extra[:4])}"
            )
    g, w = Counter(tuple(r) for r in records), Counter(tuple(r) for r in true_records)
    missing, extra = w - g, g - w
    if missing or extra:
        index = {}
        for i, r in enumerate(true_records, 1):
            index.setdefault(tuple(r), i)
        lines.append(
            f"records: {len(records)} read, {len(true_records)} wanted; "
            f"{sum(missing.values())} missing, {sum(extra.values())} extra"
        )
        for r in list(missing)[:examples]:
            lines.append(f"  missing record {index[r]}: {_row(r)}")
        for r in list(extra)[:examples]:
            lines.append(f"  extra: {_row(r)}")
    return lines
