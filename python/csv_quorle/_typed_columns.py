"""Typed columns: the text columns of a rescue cast to int64, float64, bool, date32, timestamp or
decimal128, by types given or inferred once from a sample batch. A cell that does not fit its
column's type becomes null and is kept as a CellFailure, so no value is lost."""

from __future__ import annotations

import re
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, NamedTuple

from ._record_batches import import_extra

# How a column's numbers are written: (decimal mark, thousands separator or "").
_PLAIN = (".", "")
_NUMBER_FORMATS = {
    _PLAIN: r"[+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?",
    (".", ","): r"[+-]?(?:\d{1,3}(?:,\d{3})+|\d+)(?:\.\d+)?",
    (",", ""): r"[+-]?\d+(?:,\d+)?",
    (",", "."): r"[+-]?(?:\d{1,3}(?:\.\d{3})+|\d+)(?:,\d+)?",
    (",", " "): r"[+-]?(?:\d{1,3}(?: \d{3})+|\d+)(?:,\d+)?",
}
_INTEGER = r"[+-]?\d+"
_FIXED = r"[+-]?\d*\.(?P<fraction>\d+)"  # after normalising: a number with a fraction and no exponent
_DATE = r"\d{4}-\d{2}-\d{2}"
_TIME = r"\d{4}-\d{2}-\d{2}[T ]\d{2}:\d{2}(?::\d{2}(?:\.\d{1,6})?)?"  # microseconds at most
_OFFSET = r"(?:Z|[+-]\d{2}:?\d{2})"
_TRUE = ("true", "yes", "t", "y")
_FALSE = ("false", "no", "f", "n")
_MAX_SCALE = 18
_NAMES = {"int64", "float64", "bool", "date32", "timestamp", "timestamp[UTC]", "string"}
_DECIMAL_NAME = re.compile(r"decimal128\((\d+),\s*(\d+)\)")


class CellFailure(NamedTuple):
    """A cell that did not fit its column's type: the row's index among the rescued rows, the
    column, the text and the type it should have had."""

    row: int
    column: str
    value: str
    expected: str


@dataclass(frozen=True)
class ColumnType:
    """What one column becomes: `name` ('string', 'int64', 'float64', 'bool', 'date32',
    'timestamp', 'timestamp[UTC]' or 'decimal128(p,s)'), and how its numbers are written."""

    name: str
    decimal_mark: str = "."
    thousands: str = ""

    def arrow_type(self, pa: Any) -> Any:
        simple = {"string": pa.string(), "int64": pa.int64(), "float64": pa.float64(),
                  "bool": pa.bool_(), "date32": pa.date32(), "timestamp": pa.timestamp("us"),
                  "timestamp[UTC]": pa.timestamp("us", tz="UTC")}
        if self.name in simple:
            return simple[self.name]
        match = _DECIMAL_NAME.fullmatch(self.name)
        assert match is not None
        return pa.decimal128(int(match[1]), int(match[2]))


def given_type(name: str, value: Any) -> ColumnType:
    """A type given for column `name`: one of the names ColumnType lists, or a pyarrow type of
    those kinds."""
    if not isinstance(value, str):
        pa = import_extra("pyarrow", "arrow")
        if isinstance(value, pa.DataType):
            if pa.types.is_decimal128(value):
                value = f"decimal128({value.precision},{value.scale})"
            elif pa.types.is_timestamp(value):
                value = "timestamp" if value.tz is None else "timestamp[UTC]"
            else:
                value = {pa.int64(): "int64", pa.float64(): "float64", pa.bool_(): "bool",
                         pa.date32(): "date32", pa.string(): "string"}.get(value, str(value))
    if not isinstance(value, str):
        raise TypeError(f"the type of column {name!r} must be a str or a pyarrow type")
    match = _DECIMAL_NAME.fullmatch(value)
    if value not in _NAMES and not (match and 1 <= int(match[1]) <= 38 and int(match[2]) <= int(match[1])):
        raise ValueError(f"column {name!r}: unknown type {value!r} (int64, float64, bool, date32, "
                         "timestamp, timestamp[UTC], decimal128(p,s) or string)")
    return ColumnType(value)


def check_types(types: Any) -> Mapping[str, ColumnType] | str | None:
    """read_batches()'s `types` checked: None, "infer", or a mapping of column names to types."""
    if types is None:
        return None
    import_extra("pyarrow", "arrow")  # at once, not when a consumer takes the stream
    if types == "infer":
        return "infer"
    if not isinstance(types, Mapping):
        raise TypeError('types must be None, "infer" or a dict of column names to types')
    return {str(k): given_type(str(k), v) for k, v in types.items()}


def _trimmed(pc: Any, column: Any) -> Any:
    return pc.utf8_trim_whitespace(column)


def _filled(pc: Any, cells: Any) -> Any:
    """Which cells hold text: by their lengths, many times faster than comparing with ''."""
    return pc.greater(pc.binary_length(cells), 0)


def _all_match(pc: Any, cells: Any, pattern: str) -> bool:
    return bool(pc.all(pc.match_substring_regex(cells, f"^(?:{pattern})$")).as_py())


def _number_format(pc: Any, cells: Any, delimiter: str) -> tuple[str, str] | None:
    """The first way of writing numbers every cell fits; a decimal comma before a thousands
    comma unless the file's delimiter is the comma itself."""
    order = [_PLAIN, (".", ","), (",", ""), (",", "."), (",", " ")]
    if delimiter != ",":
        order = [_PLAIN, (",", ""), (",", "."), (",", " "), (".", ",")]
    for fmt in order:
        if _all_match(pc, cells, _NUMBER_FORMATS[fmt]):
            return fmt
    return None


def _normalised(pc: Any, cells: Any, mark: str, thousands: str) -> Any:
    if thousands:
        cells = pc.replace_substring(cells, thousands, "")
    if mark != ".":
        cells = pc.replace_substring(cells, mark, ".")
    return cells


def infer_type(pa: Any, pc: Any, column: Any, delimiter: str) -> ColumnType:
    """The narrowest type every non-empty cell of `column` (text) fits; 'string' when none.
    Numbers written with a leading zero (codes, ZIP codes) stay text: as numbers they would
    lose it."""
    cells = _trimmed(pc, column).drop_null()
    cells = cells.filter(_filled(pc, cells))
    if len(cells) == 0:
        return ColumnType("string")
    kind = _looks_like(pa, pc, cells, delimiter)
    numeric = kind.name in ("int64", "float64") or kind.name.startswith("decimal128")
    if numeric and pc.any(pc.match_substring_regex(cells, r"^[+-]?0\d")).as_py():
        return ColumnType("string")
    # What looks right but does not cast (an integer past int64, a 30th of February) is text.
    if kind.name != "string" and pc.any(pc.is_null(cast_column(pa, pc, cells, kind))).as_py():
        return ColumnType("string")
    return kind


def _looks_like(pa: Any, pc: Any, cells: Any, delimiter: str) -> ColumnType:
    lower = pc.utf8_lower(cells)
    if bool(pc.all(pc.is_in(lower, pa.array(_TRUE + _FALSE))).as_py()):
        return ColumnType("bool")
    fmt = _number_format(pc, cells, delimiter)
    if fmt is not None:
        plain = _normalised(pc, cells, *fmt)
        if _all_match(pc, plain, _INTEGER):
            return ColumnType("int64", *fmt)
        scales = pc.utf8_length(pc.extract_regex(plain, f"^{_FIXED}$").field(0)) if (
            _all_match(pc, plain, _FIXED)) else None
        if scales is not None:
            bounds = pc.min_max(scales)
            low, high = bounds["min"].as_py(), bounds["max"].as_py()
            if low == high and low <= _MAX_SCALE:  # money: a fixed count of decimals
                return ColumnType(f"decimal128(38,{low})", *fmt)
        return ColumnType("float64", *fmt)
    if _all_match(pc, cells, _DATE):
        return ColumnType("date32")
    if _all_match(pc, cells, _TIME):
        return ColumnType("timestamp")
    if _all_match(pc, cells, _TIME + _OFFSET):
        return ColumnType("timestamp[UTC]")
    return ColumnType("string")


def infer_types(batch: Any, delimiter: str) -> dict[str, ColumnType]:
    pa = import_extra("pyarrow", "arrow")
    import pyarrow.compute as pc

    return {name: infer_type(pa, pc, batch.column(i), delimiter)
            for i, name in enumerate(batch.schema.names)}


def _pattern(kind: ColumnType) -> str | None:
    """What a cell must look like (after normalising its number) before it is cast."""
    if kind.name == "int64":
        return _INTEGER
    if kind.name == "float64" or kind.name.startswith("decimal128"):
        return _NUMBER_FORMATS[_PLAIN]
    if kind.name == "date32":
        return _DATE
    if kind.name == "timestamp":
        return _TIME
    if kind.name == "timestamp[UTC]":
        return _TIME + _OFFSET
    return None


def _cast_each(pa: Any, cells: Any, target: Any) -> Any:
    """Cell by cell, each one that fails becoming null: only for a batch the vectorised cast
    refused as a whole (an integer too large, a 30th of February)."""
    out = []
    for cell in cells:
        try:
            out.append(cell.cast(target) if cell.is_valid else None)
        except (pa.ArrowInvalid, pa.ArrowNotImplementedError, OverflowError):
            out.append(None)
    return pa.array(out, type=target)


def cast_column(pa: Any, pc: Any, column: Any, kind: ColumnType) -> Any:
    """`column` (text) as `kind`: empty cells and cells that do not fit are null."""
    target = kind.arrow_type(pa)
    if kind.name == "string":
        return column
    cells = _trimmed(pc, column)
    cells = pc.if_else(_filled(pc, cells), cells, pa.scalar(None, pa.string()))
    if kind.name == "bool":
        lower = pc.utf8_lower(cells)
        truth = pc.is_in(lower, pa.array(_TRUE))
        falsity = pc.is_in(lower, pa.array(_FALSE))
        return pc.if_else(truth, True, pc.if_else(falsity, False, pa.scalar(None, pa.bool_())))
    if kind.thousands or kind.decimal_mark != ".":
        fits = pc.match_substring_regex(
            cells, f"^(?:{_NUMBER_FORMATS[(kind.decimal_mark, kind.thousands)]})$")
        cells = _normalised(pc, pc.if_else(fits, cells, pa.scalar(None, pa.string())),
                            kind.decimal_mark, kind.thousands)
    pattern = _pattern(kind)
    assert pattern is not None
    fits = pc.match_substring_regex(cells, f"^(?:{pattern})$")
    cells = pc.if_else(fits, cells, pa.scalar(None, pa.string()))
    if kind.name == "timestamp[UTC]":
        cells = pc.replace_substring_regex(cells, r"([+-]\d{2})(\d{2})$", r"\1:\2")
    try:
        return pc.cast(cells, target)
    except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
        return _cast_each(pa, cells, target)


class TypedBatches:
    """Casts each text batch to the types given, inferred from the first batch for the columns
    not given when `infer`; keeps every cell that did not fit, by its row among all rows."""

    def __init__(self, given: Mapping[str, ColumnType] | None, infer: bool, delimiter: str) -> None:
        self.pa = import_extra("pyarrow", "arrow")
        import pyarrow.compute as pc

        self.pc = pc
        self.given = dict(given or {})
        self.infer = infer
        self.delimiter = delimiter
        self.types: dict[str, ColumnType] | None = None
        self.schema: Any = None
        self.failures: list[CellFailure] = []
        self.errors: tuple[Any, ...] | None = None  # the failures by line, once found
        self.rows = 0

    def settle(self, text_schema: Any, sample: Any | None) -> Any:
        """The typed schema, decided once: from `sample` (the first batch) when inferring."""
        names = text_schema.names
        unknown = sorted(set(self.given) - set(names))
        if unknown:
            raise ValueError(f"types names columns the table does not have: {', '.join(unknown)}")
        inferred = infer_types(sample, self.delimiter) if self.infer and sample is not None else {}
        given = {n: self._written_as_in(sample, n, kind) for n, kind in self.given.items()}
        self.types = {n: given.get(n) or inferred.get(n) or ColumnType("string") for n in names}
        pa = self.pa
        self.schema = pa.schema([pa.field(n, self.types[n].arrow_type(pa)) for n in names])
        return self.schema

    def _written_as_in(self, sample: Any | None, name: str, kind: ColumnType) -> ColumnType:
        """A number type given: with the decimal mark and thousands separator of the sample."""
        if sample is None or kind.name not in ("int64", "float64") and not kind.name.startswith("decimal"):
            return kind
        pc = self.pc
        cells = _trimmed(pc, sample.column(sample.schema.get_field_index(name))).drop_null()
        cells = cells.filter(_filled(pc, cells))
        fmt = _number_format(pc, cells, self.delimiter) if len(cells) else None
        return kind if fmt is None else ColumnType(kind.name, *fmt)

    def convert(self, batch: Any) -> Any:
        assert self.types is not None
        pa, pc = self.pa, self.pc
        columns = []
        failures: list[CellFailure] = []
        for i, name in enumerate(batch.schema.names):
            text = batch.column(i)
            kind = self.types[name]
            typed = cast_column(pa, pc, text, kind)
            if kind.name != "string":
                failures += self._failures(text, typed, name, kind)
            columns.append(typed)
        self.failures += sorted(failures, key=lambda f: f.row)  # by row, then column
        self.rows += batch.num_rows
        return pa.record_batch(columns, schema=self.schema)

    def _failures(self, text: Any, typed: Any, name: str, kind: ColumnType) -> list[CellFailure]:
        pc = self.pc
        filled = _filled(pc, pc.utf8_trim_whitespace(text))
        failed = pc.and_kleene(pc.is_null(typed), pc.fill_null(filled, False))
        if not pc.any(failed).as_py():
            return []
        where = pc.indices_nonzero(failed)
        return [CellFailure(self.rows + i, name, value, kind.name)
                for i, value in zip(where.to_pylist(), text.take(where).to_pylist())]
