"""Typed columns: tables written by Python's csv come back typed with the values they were
written from, and cells that do not fit are null and listed with their lines."""

from __future__ import annotations

import csv
import datetime as dt
import decimal
import random

import pytest

import csv_quorle
from csv_quorle import CellError

pa = pytest.importorskip("pyarrow")

UTC = dt.timezone.utc


def european(value: decimal.Decimal) -> str:
    """1234.5 written as 1.234,50."""
    return f"{value:,.2f}".replace(",", " ").replace(".", ",").replace(" ", ".")


def typed_table(rng: random.Random, rows: int, delimiter: str) -> tuple[list[list[str]], dict]:
    """Rows of text and, by column, the values they were written from (None: an empty cell)."""
    values: dict[str, list] = {name: [] for name in ("n", "x", "ok", "day", "at", "money")}
    text = []
    for i in range(rows):
        n = rng.randint(-2**62, 2**62)
        x = 3.0 if i == 0 else rng.uniform(-1e6, 1e6)  # 3.0 keeps the decimals uneven: float64
        ok = rng.random() < 0.5
        day = dt.date(1970, 1, 1) + dt.timedelta(days=rng.randint(-20000, 40000))
        offset = dt.timezone(dt.timedelta(minutes=rng.choice([-300, 0, 60, 330])))
        at = dt.datetime(2020, 1, 1, tzinfo=offset) + dt.timedelta(seconds=rng.randint(0, 10**8))
        money = decimal.Decimal(rng.randint(-10**9, 10**9)).scaleb(-2)
        row = [str(n), repr(x), "true" if ok else "FALSE", day.isoformat(), at.isoformat(),
               european(money) if delimiter == ";" else str(money)]
        if i > 0 and rng.random() < 0.2:  # an empty cell reads as null, never as an error
            k = rng.randrange(len(row))
            row[k] = ""
        for k, (name, value) in enumerate(zip(values, (n, x, ok, day, at.astimezone(UTC), money))):
            values[name].append(None if row[k] == "" else value)
        text.append(row)
    return text, values


@pytest.mark.parametrize("seed", range(12))
def test_written_by_python_read_back_typed(tmp_path, seed):
    rng = random.Random(seed)
    delimiter = ";" if seed % 2 else ","
    rows, values = typed_table(rng, rng.randint(3, 60), delimiter)
    source = tmp_path / "typed.csv"
    with open(source, "w", newline="", encoding="utf-8") as f:
        writer = csv.writer(f, delimiter=delimiter)
        writer.writerow(list(values))
        writer.writerows(rows)
    batches = csv_quorle.read_batches(source, types="infer", delimiter=delimiter,
                                      batch_rows=rng.choice([len(rows), 1000]))
    table = pa.table(batches)
    assert [str(t) for t in table.schema.types] == [
        "int64", "double", "bool", "date32[day]", "timestamp[us, tz=UTC]", "decimal128(38, 2)"]
    for name, expected in values.items():
        assert table.column(name).to_pylist() == expected, name
    assert batches.report.cell_errors == ()


DATA = "id,day,flag\n1,2021-01-02,true\n2,2021-02-03,false\n"
CASES = [
    # (what, text, options, rows of the typed table, cell errors)
    ("a word in an integer column, after a record of two lines",
     'id,note\n1,"two\nlines"\nx,c\n', {"types": {"id": "int64"}},
     [(1, "two\nlines"), (None, "c")], [(4, "id", "x", "int64")]),
    ("a 30th of February and a bool that is neither",
     DATA + "3,2021-02-30,maybe\n", {"types": "infer", "batch_rows": 2},
     [(1, dt.date(2021, 1, 2), True), (2, dt.date(2021, 2, 3), False), (3, None, None)],
     [(4, "day", "2021-02-30", "date32"), (4, "flag", "maybe", "bool")]),
    ("an integer too large for int64, behind a preamble and a blank line",
     "Export of 2021-01-01\n\nn\n5\n99999999999999999999\n", {"types": {"n": pa.int64()}, "skip_rows": 2},
     [(5,), (None,)], [(5, "n", "99999999999999999999", "int64")]),
    ("the schema is settled by the first batch: a later cell that does not fit is an error",
     "a,b\n1,2.5\n2,3.5\n3.5,x\n", {"types": "infer", "batch_rows": 2},
     [(1, 2.5), (2, 3.5), (None, None)], [(4, "a", "3.5", "int64"), (4, "b", "x", "decimal128(38,1)")]),
    ("thousands commas in a comma file are read when quoted; blanks around a number are not text",
     'n,w\n"1,234", 7 \n"12,000,000",\n', {"types": "infer"},
     [(1234, 7), (12000000, None)], []),
    ("codes with a leading zero and what does not cast in the sample stay text",
     "zip,big,day\n01234,99999999999999999999,2021-02-30\n2,1,2021-01-01\n", {"types": "infer"},
     [("01234", "99999999999999999999", "2021-02-30"), ("2", "1", "2021-01-01")], []),
    ("a number type given takes the decimal comma of the sample",
     "a;b\n1.234,56;2\n-7,5;x\n", {"types": {"a": "decimal128(12,2)", "b": "float64"}},
     [(decimal.Decimal("1234.56"), 2.0), (decimal.Decimal("-7.50"), None)], [(3, "b", "x", "float64")]),
    ("offsets only in a timestamp column: UTC; a time without one is an error",
     "at\n2021-01-02T03:04:05+0100\n2021-01-02 03:04\n", {"types": {"at": "timestamp[UTC]"}},
     [(dt.datetime(2021, 1, 2, 2, 4, 5, tzinfo=UTC),), (None,)],
     [(3, "at", "2021-01-02 03:04", "timestamp[UTC]")]),
]


@pytest.mark.parametrize("what, text, options, rows, errors", CASES, ids=[c[0] for c in CASES])
def test_cells_that_do_not_fit(tmp_path, what, text, options, rows, errors):
    source = tmp_path / "cells.csv"
    source.write_text(text, encoding="utf-8")
    batches = csv_quorle.read_batches(source, **options)
    table = pa.table(batches)
    got = [tuple(r.values()) for r in table.to_pylist()]
    assert [tuple(v.replace(tzinfo=UTC) if isinstance(v, dt.datetime) else v for v in r)
            for r in got] == rows
    assert batches.report.cell_errors == tuple(CellError(*e) for e in errors)
    assert batches.report.to_dict()["cell_errors"] == [CellError(*e)._asdict() for e in errors]


@pytest.mark.parametrize("types, error", [
    ({"nope": "int64"}, ValueError), ({"id": "integer"}, ValueError), ({"id": 3}, TypeError),
    ("guess", TypeError),
])
def test_types_refused(tmp_path, types, error):
    source = tmp_path / "t.csv"
    source.write_text(DATA, encoding="utf-8")
    with pytest.raises(error):
        csv_quorle.read_arrow(source, types=types)


def test_read_arrow_and_pandas_take_types(tmp_path):
    source = tmp_path / "t.csv"
    source.write_text(DATA, encoding="utf-8")
    table = csv_quorle.read_arrow(source, types={"id": "int64", "day": "date32"})
    assert [str(t) for t in table.schema.types] == ["int64", "date32[day]", "string"]
    pytest.importorskip("pandas")
    frame = csv_quorle.read_pandas(source, types="infer")
    assert frame["flag"].tolist() == [True, False]
