"""The polluted variants of the source table, each with the table a careful person would load.

Every pollution class is a generator of `Variant`s, one per parameter set. A variant's bytes are
the clean export (every field quoted, `,`, CR LF) with one thing changed; its truth is the header
(None when the file has none) and the records. What the truth is where it is not obvious:

- preamble, footnotes, a second table: not part of the table;
- a header over 2 or 3 lines: one name a column, its parts joined by a space (empty parts left out);
- a row with a stray quote, an extra or a missing delimiter, another delimiter, quote, escape or
  line break: the row's original values;
- a row cut to 5 of 8 fields: its 5 values, then empty cells; a row of 0 fields (a blank line):
  no record; a row of 15 fields (7 empty ones after a trailing run of delimiters): its 8 values.

`weight` is how often the pollution shows in real exports, as a share of files (made up, from
experience with open-data portals and business exports; see FREQUENCY). A group's share is split
evenly over its variants, so the weighted score is the frequency-weighted mean of group means.
"""

import dataclasses

from table import UNITS, quote_field, render_lines, render_row, source_table

CRLF = "\r\n"

# Share of real files showing each pollution (groups of variants); the clean file's share too.
FREQUENCY = {
    "clean": 0.40,
    "delimiter ;": 0.08,
    "delimiter tab": 0.03,
    "delimiter |": 0.01,
    "delimiter space": 0.003,
    "delimiter :": 0.001,
    "delimiter comma space": 0.005,
    "delimiter two tabs": 0.0005,
    "delimiter backslash t": 0.0005,
    "line break LF": 0.25,
    "line break CR": 0.002,
    "one row's line break": 0.004,
    "quote '": 0.003,
    "quote then space": 0.002,
    "escape backslash": 0.01,
    "one row escaped": 0.003,
    "preamble": 0.06,
    "footnotes": 0.04,
    "header over lines": 0.03,
    "header cell empty": 0.04,
    "header cell symbols": 0.02,
    "header cell long": 0.0002,
    "header cells equal": 0.01,
    "no header": 0.08,
    "row blank": 0.03,
    "row short": 0.02,
    "row long": 0.03,
    "extra delimiter": 0.01,
    "missing delimiter": 0.005,
    "stray quote": 0.005,
    "one row ;": 0.001,
    "one row '": 0.001,
    "second table": 0.02,
    "one column": 0.02,
    "1024 columns": 0.001,
    "one row only": 0.01,
    "many rows": 0.05,
    "latin-1": 0.03,
    "utf-8 BOM": 0.03,
    "utf-16": 0.005,
    "empty file": 0.005,
}


@dataclasses.dataclass
class Variant:
    name: str  # file name without .csv
    pollution: str  # the class, as reported
    group: str  # key of FREQUENCY
    params: dict
    data: bytes
    header: list | None
    records: list
    weight: float = 0.0


def text_file(lines, eol=CRLF, encoding="utf-8"):
    return "".join(line + eol for line in lines).encode(encoding)


def clean_lines(header, records):
    return render_lines(header, records)


def variants(rows=100, seed=2018):
    header, records = source_table(rows, seed)
    makers = [
        clean,
        field_delimiter,
        line_break,
        quote_char,
        escape_char,
        preamble,
        footnotes,
        header_over_lines,
        header_cell,
        no_header,
        row_width,
        delimiter_count,
        stray_quote,
        one_row_dialect,
        second_table,
        shape,
        encodings,
        empty_file,
    ]
    out = [v for make in makers for v in make(header, records, seed)]
    counts = {}
    for v in out:
        counts[v.group] = counts.get(v.group, 0) + 1
    for v in out:
        v.weight = FREQUENCY[v.group] / counts[v.group]
    return out


def clean(header, records, seed):
    yield Variant("clean", "clean", "clean", {}, text_file(clean_lines(header, records)), header, records)


DELIMITERS = {
    "semicolon": (";", "delimiter ;"),
    "tab": ("\t", "delimiter tab"),
    "pipe": ("|", "delimiter |"),
    "space": (" ", "delimiter space"),
    "colon": (":", "delimiter :"),
    "comma_space": (", ", "delimiter comma space"),
    "two_tabs": ("\t\t", "delimiter two tabs"),
    "backslash_t": ("\\t", "delimiter backslash t"),
}


def field_delimiter(header, records, seed):
    for label, (delimiter, group) in DELIMITERS.items():
        lines = render_lines(header, records, delimiter=delimiter)
        yield Variant(
            f"delimiter-{label}",
            "field delimiter",
            group,
            {"delimiter": delimiter},
            text_file(lines),
            header,
            records,
        )


def line_break(header, records, seed):
    lines = clean_lines(header, records)
    for label, eol, group in (("lf", "\n", "line break LF"), ("cr", "\r", "line break CR")):
        yield Variant(
            f"linebreak-{label}",
            "record delimiter",
            group,
            {"eol": eol},
            text_file(lines, eol),
            header,
            records,
        )
    # one record ends with another line break than the rest (k counts records from 1)
    for base, odd in (("\r\n", "\n"), ("\r\n", "\r"), ("\n", "\r\n")):
        for k in (1, len(records) // 2):
            text = "".join(line + (odd if i == k else base) for i, line in enumerate(lines))
            name = f"linebreak-row{k}-{_eol_name(odd)}-in-{_eol_name(base)}"
            yield Variant(
                name,
                "record delimiter",
                "one row's line break",
                {"row": k, "eol": odd, "rest": base},
                text.encode(),
                header,
                records,
            )


def _eol_name(eol):
    return {"\r\n": "crlf", "\n": "lf", "\r": "cr"}[eol]


def quote_char(header, records, seed):
    lines = render_lines(header, records, quote="'")
    yield Variant(
        "quote-apostrophe", "quote char", "quote '", {"quote": "'"}, text_file(lines), header, records
    )
    # a space after every closing quote, before the delimiter: "a" ,"b" ,"c"
    lines = [" ,".join(quote_field(v) for v in row) for row in [header] + records]
    yield Variant(
        "quote-then-space",
        "quote char",
        "quote then space",
        {"after_quote": " "},
        text_file(lines),
        header,
        records,
    )


def escape_char(header, records, seed):
    lines = render_lines(header, records, escape="\\")
    yield Variant(
        "escape-backslash",
        "escape char",
        "escape backslash",
        {"escape": "\\"},
        text_file(lines),
        header,
        records,
    )
    quoted = [k for k, r in enumerate(records, 1) if any('"' in v for v in r)]
    for k in (quoted[0], quoted[len(quoted) // 2], quoted[-1]):
        lines = clean_lines(header, records)
        lines[k] = render_row(records[k - 1], escape="\\")
        yield Variant(
            f"escape-row{k}",
            "escape char",
            "one row escaped",
            {"row": k, "escape": "\\"},
            text_file(lines),
            header,
            records,
        )


PREAMBLE = ["Sales export", "Generated on 01/02/2018, 09:00 by ShopSys 4.2", "Store: Berlin Mitte"]
FOOTNOTES = ["Total rows: 100", "Prices in EUR, VAT included", "Source: ShopSys 4.2"]


def _padded(line, width):
    return line + "," * (width - 1)


def preamble(header, records, seed):
    for n in (1, 2, 3):
        for padded in (False, True):
            for blank in (False, True):
                extra = [_padded(t, len(header)) if padded else t for t in PREAMBLE[:n]]
                if blank:
                    extra.append("")
                name = f"preamble-{n}{'-padded' if padded else ''}{'-blank' if blank else ''}"
                yield Variant(
                    name,
                    "preamble",
                    "preamble",
                    {"lines": n, "padded": padded, "blank_after": blank},
                    text_file(extra + clean_lines(header, records)),
                    header,
                    records,
                )


def footnotes(header, records, seed):
    for n in (1, 2, 3):
        for padded in (False, True):
            for blank in (False, True):
                extra = [_padded(t, len(header)) if padded else t for t in FOOTNOTES[:n]]
                if blank:
                    extra.insert(0, "")
                name = f"footnotes-{n}{'-padded' if padded else ''}{'-blank' if blank else ''}"
                yield Variant(
                    name,
                    "footnotes",
                    "footnotes",
                    {"lines": n, "padded": padded, "blank_before": blank},
                    text_file(clean_lines(header, records) + extra),
                    header,
                    records,
                )


def header_over_lines(header, records, seed):
    words = [name.split(" ", 1) + [""] for name in header]
    top, bottom = [w[0] for w in words], [w[1] for w in words]
    forms = {
        "words": [top, bottom],
        "units": [header, UNITS],
        "words-units": [top, bottom, UNITS],
    }
    for label, parts in forms.items():
        merged = [" ".join(p for p in column if p) for column in zip(*parts, strict=True)]
        lines = [render_row(p) for p in parts] + render_lines(None, records)
        yield Variant(
            f"header-lines-{label}",
            "header over lines",
            "header over lines",
            {"lines": len(parts)},
            text_file(lines),
            merged,
            records,
        )


def header_cell(header, records, seed):
    def changed(column, name, group, label):
        new = list(header)
        new[column] = name
        return Variant(
            f"header-{label}-col{column}",
            "header cell",
            group,
            {"column": column},
            text_file(clean_lines(new, records)),
            new,
            records,
        )

    for j in (0, 4, 7):
        yield changed(j, "", "header cell empty", "empty")
    for j in (0, 4, 7):
        yield changed(j, "HEAD/%R", "header cell symbols", "symbols")
    long_name = ("quantity sold per store and day " * 20000)[: 600 * 1024]
    for j in (0, 7):
        yield changed(j, long_name, "header cell long", "long")
    for j in (1, 7):
        yield changed(j, header[j - 1], "header cells equal", "equal")


def no_header(header, records, seed):
    yield Variant(
        "no-header", "no header", "no header", {}, text_file(render_lines(None, records)), None, records
    )


def _rows(records):
    n = len(records)
    return (1, n // 2, n)


def row_width(header, records, seed):
    for k in _rows(records):
        lines = clean_lines(header, records)
        lines[k] = ""
        truth = records[: k - 1] + records[k:]
        yield Variant(
            f"row{k}-0-fields",
            "row field count",
            "row blank",
            {"row": k, "fields": 0},
            text_file(lines),
            header,
            truth,
        )
    for k in _rows(records):
        lines = clean_lines(header, records)
        lines[k] = render_row(records[k - 1][:5])
        truth = [list(r) for r in records]
        truth[k - 1] = records[k - 1][:5] + [""] * 3
        yield Variant(
            f"row{k}-5-fields",
            "row field count",
            "row short",
            {"row": k, "fields": 5},
            text_file(lines),
            header,
            truth,
        )
    for k in _rows(records):
        lines = clean_lines(header, records)
        lines[k] += "," * 7
        yield Variant(
            f"row{k}-15-fields",
            "row field count",
            "row long",
            {"row": k, "fields": 15},
            text_file(lines),
            header,
            records,
        )


def delimiter_count(header, records, seed):
    for k in (1, len(records) // 2):
        for j in (1, 4, 7):
            cells = [quote_field(v) for v in records[k - 1]]
            lines = clean_lines(header, records)
            lines[k] = ",".join(cells[:j]) + ",," + ",".join(cells[j:])
            yield Variant(
                f"extra-delimiter-row{k}-col{j}",
                "extra delimiter",
                "extra delimiter",
                {"row": k, "column": j},
                text_file(lines),
                header,
                records,
            )
            lines = clean_lines(header, records)
            lines[k] = ",".join(cells[: j - 1] + [cells[j - 1] + cells[j]] + cells[j + 1 :])
            yield Variant(
                f"missing-delimiter-row{k}-col{j}",
                "missing delimiter",
                "missing delimiter",
                {"row": k, "column": j},
                text_file(lines),
                header,
                records,
            )


def stray_quote(header, records, seed):
    n = len(records)
    for k in (1, 2, n // 4, n // 2, n - 1, n):
        for j in range(len(header)):
            cells = [quote_field(v) for v in records[k - 1]]
            cells[j] = '"' + cells[j]
            lines = clean_lines(header, records)
            lines[k] = ",".join(cells)
            yield Variant(
                f"stray-quote-row{k}-col{j}",
                "stray quote",
                "stray quote",
                {"row": k, "column": j},
                text_file(lines),
                header,
                records,
            )


def one_row_dialect(header, records, seed):
    for k in _rows(records):
        lines = clean_lines(header, records)
        lines[k] = render_row(records[k - 1], delimiter=";")
        yield Variant(
            f"row{k}-semicolon",
            "one row other delimiter",
            "one row ;",
            {"row": k},
            text_file(lines),
            header,
            records,
        )
    for k in _rows(records):
        lines = clean_lines(header, records)
        lines[k] = render_row(records[k - 1], quote="'")
        yield Variant(
            f"row{k}-apostrophe-quoted",
            "one row other quote",
            "one row '",
            {"row": k},
            text_file(lines),
            header,
            records,
        )


def second_table(header, records, seed):
    totals = {}
    for r in records:
        totals[r[2]] = totals.get(r[2], 0) + int(r[4])
    summary = [["product id", "units sold"]] + [[pid, str(n)] for pid, n in sorted(totals.items())[:6]]
    wide = [list(header)] + [list(r) for r in records[:5]]
    for label, table in (("summary", summary), ("same-width", wide)):
        for blank in (False, True):
            extra = ([""] if blank else []) + [render_row(r) for r in table]
            name = f"second-table-{label}{'-blank' if blank else ''}"
            yield Variant(
                name,
                "second table",
                "second table",
                {"columns": len(table[0]), "blank_before": blank},
                text_file(clean_lines(header, records) + extra),
                header,
                records,
            )


def shape(header, records, seed):
    for j in (0, 5, 6):
        h, rs = [header[j]], [[r[j]] for r in records]
        yield Variant(
            f"one-column-{j}", "one column", "one column", {"column": j}, text_file(clean_lines(h, rs)), h, rs
        )
    blocks = 1024 // len(header)
    h = [f"{name} {b}" for b in range(1, blocks + 1) for name in header]
    rs = [r * blocks for r in records]
    yield Variant(
        "columns-1024",
        "1024 columns",
        "1024 columns",
        {"columns": len(h)},
        text_file(clean_lines(h, rs)),
        h,
        rs,
    )
    yield Variant(
        "one-row-header-only",
        "one row",
        "one row only",
        {"records": 0},
        text_file(clean_lines(header, [])),
        header,
        [],
    )
    yield Variant(
        "one-row-record",
        "one row",
        "one row only",
        {"records": 1},
        text_file(clean_lines(header, records[:1])),
        header,
        records[:1],
    )
    big_header, big = source_table(10000, seed)
    yield Variant(
        "many-rows-10000",
        "many rows",
        "many rows",
        {"records": len(big)},
        text_file(clean_lines(big_header, big)),
        big_header,
        big,
    )


def encodings(header, records, seed):
    lines = clean_lines(header, records)
    yield Variant(
        "encoding-latin-1",
        "encoding",
        "latin-1",
        {"encoding": "latin-1"},
        text_file(lines, encoding="latin-1"),
        header,
        records,
    )
    yield Variant(
        "encoding-utf-8-bom",
        "encoding",
        "utf-8 BOM",
        {"encoding": "utf-8-sig"},
        text_file(lines, encoding="utf-8-sig"),
        header,
        records,
    )
    yield Variant(
        "encoding-utf-16-le-bom",
        "encoding",
        "utf-16",
        {"encoding": "utf-16-le", "bom": True},
        b"\xff\xfe" + text_file(lines, encoding="utf-16-le"),
        header,
        records,
    )
    yield Variant(
        "encoding-utf-16-be-bom",
        "encoding",
        "utf-16",
        {"encoding": "utf-16-be", "bom": True},
        b"\xfe\xff" + text_file(lines, encoding="utf-16-be"),
        header,
        records,
    )


def empty_file(header, records, seed):
    yield Variant("empty", "empty file", "empty file", {}, b"", None, [])
