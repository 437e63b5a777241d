"""rescue() on realistic damaged exports: what comes out, what the report says."""

from __future__ import annotations

import csv
import io

import pytest


def rows(text: str) -> list[list[str]]:
    return list(csv.reader(io.StringIO(text)))


class TestDamagedExports:
    def test_early_unterminated_quote_keeps_the_later_records(self, run):
        lines = ["id,name,note", '1,Ann,"never closed']
        lines += [f"{i},row{i},fine" for i in range(2, 10_001)]
        report, clean, _ = run("\n".join(lines) + "\n")
        assert report.total_rows == report.good_rows == 10_000
        assert rows(clean)[1] == ["1", "Ann", '"never closed']
        assert rows(clean)[-1] == ["10000", "row10000", "fine"]
        assert [(r.first_line, r.kind) for r in report.repairs] == [(2, "reread")]
        assert any("line 2" in w and "never closed" in w for w in report.warnings)

    def test_backslash_escaped_dump(self, run):
        report, clean, _ = run('id,text\n1,"say \\"hi\\""\n2,"a\\\\"\n', escape_char="\\")
        assert rows(clean) == [["id", "text"], ["1", 'say "hi"'], ["2", "a\\"]]
        assert report.repaired_rows == 0

    def test_trailing_delimiters_on_data_lines_only(self, run):
        report, clean, quarantine = run("a,b,c\n1,2,3,\n4,5,6,\n", merge_overflow=False)
        assert rows(clean) == [["a", "b", "c"], ["1", "2", "3"], ["4", "5", "6"]]
        # the same repair on adjacent lines is one entry over them
        assert list(report.repairs) == [(2, 3, "trimmed", "1 trailing empty field dropped")]
        assert rows(quarantine) == [["first_line", "last_line", "reason", "raw"]]

    def test_exporter_dropping_trailing_empty_fields(self, run):
        content = "a,b,c,d\n" + "1,2\n" * 150 + "1,2,3,4\n" * 10
        report, clean, _ = run(content)
        assert report.columns == 4 and report.header == ("a", "b", "c", "d")
        assert rows(clean)[1] == ["1", "2", "", ""]
        assert report.repaired_rows == 150
        assert list(report.repairs) == [(2, 151, "padded", "2 empty fields added")]

    def test_trailing_blank_lines(self, run):
        report, clean, _ = run("a,b\n1,2\n\n\n\r\n")
        assert clean == "a,b\n1,2\n"
        assert report.blank_lines == 3 and report.total_rows == 1

    def test_quarantine_holds_lines_and_exact_source(self, run):
        content = 'a,b,c\n"x\ny" , 2\n1,2,3\n'
        report, _, quarantine = run(content, fill_ragged_rows=False)
        assert report.quarantined_rows == 1
        entry = rows(quarantine)[1]
        assert entry == ["2", "3", "Row has too few columns (expected 3)", '"x\ny" , 2']

    def test_no_header(self, run):
        report, clean, _ = run("1,2\n3,4\n", header=False)
        assert report.header is None and report.total_rows == 2
        assert clean == "1,2\n3,4\n"

    def test_sniffed_semicolon_with_output_delimiter(self, run):
        report, clean, _ = run('a;b\n1;"x;y"\n', output_delimiter="\t")
        assert report.delimiter == ";"
        assert clean == "a\tb\n1\tx;y\n"

    def test_long_clean_runs_come_out_exactly(self, run):
        # Long runs of clean rows are copied from the file itself, behind its byte-order mark.
        body = "".join(f"{i},name {i},{i * 3}\n" for i in range(30_000))
        report, clean, _ = run("\ufeffid,name,n\n" + body + "x,y\n" + body)
        assert clean == "id,name,n\n" + body + "x,y,\n" + body
        assert report.repaired_rows == 1

    def test_empty_file(self, run):
        report, clean, quarantine = run(b"")
        assert (report.total_rows, report.header, clean) == (0, None, "")
        assert quarantine == "first_line,last_line,reason,raw\n"


def _wide_tsv() -> str:
    """105 columns, an unmatched quote opening the header's 41st name and a size in inches in the
    31st row: read as a quote, the header would run to that row."""
    lines = ["\t".join(f"c{i}" if i != 40 else '"c40' for i in range(105))]
    for r in range(50):
        lines.append("\t".join('12"' if (r, i) == (30, 9) else str(r * 105 + i)
                               for i in range(105)))
    return "\n".join(lines) + "\n"


class TestQuotesReadAsText:
    """Quotes the engine reads as text: the text kept, the repair listed, the warning given."""

    @pytest.mark.parametrize("content, row, repair, warned", [
        ('name,city\n"ANTON" GmbH,Berlin\n', ["\"ANTON\" GmbH", "Berlin"],
         (2, 2, "literal quotes", "quotes kept as text"), "line 2"),
        # the quoted section stays whole, its delimiter, doubled quotes and line break as written
        ('name,city\n"x,""y""\nz" GmbH,Berlin\n', ['"x,""y""\nz" GmbH', "Berlin"],
         (2, 3, "literal quotes", "quotes kept as text"), "line 2"),
        # blanks before the delimiter after a closing quote are padding: nothing to repair
        ('name,city\n"ANTON"  ,Berlin\n', ["ANTON", "Berlin"], None, None),
        ('name,size\n5" disk,3\n', ['5" disk', "3"], None, None),
        # one unmatched quote in a wide header would have taken the rows below into it
        (_wide_tsv(), ['"c40'], (1, 1, "stray quote",
                                 "opening quote read as text; read as a quote it merged 32 lines"),
         "line 1"),
    ])
    def test_table(self, run, content, row, repair, warned):
        report, clean, _ = run(content)
        got = rows(clean)
        assert (got[1] if len(row) > 1 else [got[0][40]]) == row
        assert list(report.repairs) == ([repair] if repair else [])
        assert bool(report.warnings) == bool(warned)
        assert all(warned in w for w in report.warnings)

    def test_lone_cr_inside_quotes_keeps_the_line_numbers(self, run):
        report, clean, _ = run(b'a,b\r1,"x\ry"\r4\r')
        assert rows(clean)[-1] == ["4", ""]
        assert list(report.repairs) == [(4, 4, "padded", "1 empty field added")]

    def test_read_batches_agrees(self, workspace):
        from outcomes import check_paths_agree

        done = check_paths_agree(workspace, b'id,firm\n1,"ANTON" GmbH\n2,"B"\n', {})
        assert done.report.repairs[0].kind == "literal quotes"


class TestEncodings:
    def test_windows_1252_export(self, run):
        content = "name;city;price\nJosé;Zürich;12 €\nRenée;Köln;3 €\n".encode("cp1252")
        report, clean, _ = run(content * 20)
        assert report.encoding == "cp1252" and report.delimiter == ";"
        assert rows(clean)[1] == ["José", "Zürich", "12 €"]
        assert report.replaced_bytes == 0

    def test_utf16_export_with_bom_and_tabs(self, run):
        report, clean, _ = run("a\tb\nÉté\t2\n".encode("utf-16"))
        assert report.encoding.startswith("utf-16") and report.delimiter == "\t"
        assert clean == "a,b\nÉté,2\n"

    def test_mostly_utf8_with_stray_legacy_bytes(self, run):
        content = "a,b\n" + "é,1\n" * 200
        report, clean, _ = run(content.encode() + b"caf\xe9,2\n")
        assert report.recoded_bytes == 1
        assert rows(clean)[-1] == ["café", "2"]
        assert any("line 202" in w for w in report.warnings)

    def test_utf8_given_keeps_replacement_and_counts_it(self, run):
        report, clean, _ = run(b"a,b\n1,x\xffy\n", encoding="utf-8")
        assert rows(clean)[1] == ["1", "x\ufffdy"]
        assert report.replaced_bytes == 1
        assert any("line 2" in w for w in report.warnings)


COMMENTED = "# export of the shop\nid,name\n1,a\n# a note, \"open\n2,b\n#\n# end\n"
CONCATENATED = "id,name\n1,a\n2,b\nid,name\n3,c\n\n\"id\",\"name\"\n4,d\n"
# Units under the names need rows enough below them to show the columns hold numbers.
UNITS = "item,unit price,qty\n,EUR,pcs\nbolt,0.10,5\nnut,0.05,7\nwasher,0.02,9\nscrew,0.01,12\n"


class TestLinesLeftOut:
    @pytest.mark.parametrize("content, options, clean, skipped, said", [
        (COMMENTED, {"comment": "#"}, "id,name\n1,a\n2,b\n",
         [(1, 1, "comment"), (4, 4, "comment"), (6, 7, "comment")],
         "4 lines starting with '#' were left out as comments: lines 1, 4, 6-7."),
        # Read with its quotes, the note's line opens a field over the row after it.
        (COMMENTED.replace("# end\n", "3,c\n"), {"comment": "#", "layout": False},
         "id,name\n1,a\n2,b\n3,c\n", [(1, 1, "comment"), (4, 4, "comment"), (6, 6, "comment")],
         "lines 1, 4, 6"),
        # The preamble skipped ends inside a run of comment lines: the run stays one.
        ("# a\n# b\nid,name\n1,a\n", {"comment": "#", "skip_rows": 1}, "id,name\n1,a\n",
         [(1, 2, "comment")], "lines 1-2."),
        (CONCATENATED, {}, "id,name\n1,a\n2,b\n3,c\n4,d\n", [(4, 4, "header"), (7, 7, "header")],
         "The header is repeated on lines 4, 7 (exports put one after the other); those 2 lines"),
        (CONCATENATED, {"layout": False}, "id,name\n1,a\n2,b\nid,name\n3,c\nid,name\n4,d\n", [],
         None),
        # A header of one name: a value may well read as it.
        ("name\nalpha\nname\n", {"header": True}, "name\nalpha\nname\n", [], None),
        (UNITS, {}, "item,unit price EUR,qty pcs\nbolt,0.10,5\nnut,0.05,7\nwasher,0.02,9\nscrew,0.01,12\n",
         [(2, 2, "header")], "the names joined with the first line's are the output's"),
        # A header given: the first line names the columns, the units are a row.
        (UNITS, {"header": True}, "item,unit price,qty\n,EUR,pcs\n" + UNITS.split("pcs\n")[1],
         [], None),
        # One column: a line of spaces is a value, a line of nothing is blank.
        ("name\nalpha\n  \n\nbeta\n", {"delimiter": ","}, 'name\nalpha\n"  "\nbeta\n', [], None),
    ], ids=["comments", "comments-no-layout", "comments-over-preamble", "repeated-header",
            "repeats-no-layout", "one-name-header", "joined-names", "header-given",
            "one-column-spaces"])
    def test_left_out_listed_and_said(self, run, content, options, clean, skipped, said):
        report, got, _ = run(content, **options)
        assert got == clean
        assert [tuple(s) for s in report.skipped_lines] == skipped
        assert said is None or any(said in w for w in report.warnings), report.warnings

    def test_arrow_columns_named_by_the_joined_names(self, write):
        pytest.importorskip("pyarrow")
        import csv_quorle

        stream = csv_quorle.read_batches(write(UNITS))
        assert stream.column_names == ["item", "unit price EUR", "qty pcs"]
