"""The options that shape what `csv-quorle rescue` writes, each checked on the files it wrote:
Python's csv module reading the clean file with the delimiter asked for, the byte-order mark's
bytes, json.loads of each line of a JSON-lines repairs file."""

import codecs
import csv
import io
import json
import subprocess
import sys

import pytest

# Quoted delimiters of several kinds, so that a changed delimiter must be quoted where it occurs.
TABLE = b'id,name,note\n1,"Smith, J",a;b\n2,Lee,"tab\there"\n3,"Say ""hi""",x|y\n'
RAGGED = b"id,name,city\n1,Ann\n2,Bo,Lyon,extra\n3,Cy,Metz\n"
BLANKS = b"id,v\n1,a\n\n2,b\n"


def csv_rows(data: bytes, delimiter: str = ",") -> list[list[str]]:
    return list(csv.reader(io.StringIO(data.decode("utf-8"), newline=""), delimiter=delimiter))


def padded(rows: list[list[str]], width: int) -> list[list[str]]:
    return [r + [""] * (width - len(r)) for r in rows]


def repairs_of(report: dict) -> list[dict]:
    return [{"file": "in.csv", **r} for r in report["repairs"]]


def check_delimiter(delimiter):
    def check(files, report):
        assert csv_rows(files["out.csv"], delimiter) == csv_rows(TABLE)
    return check


def check_bom(files, report):
    for name in ("out.csv", "rejected.csv"):
        assert files[name].startswith(codecs.BOM_UTF8), name
    assert files["out.csv"][3:] == files["plain.csv"]
    assert csv_rows(files["rejected.csv"][3:])[0] == ["first_line", "last_line", "reason", "raw"]


def check_blank_lines(kept):
    def check(files, report):
        expected = [r or ["", ""] for r in csv_rows(BLANKS)] if kept else [r for r in csv_rows(BLANKS) if r]
        assert csv_rows(files["out.csv"]) == expected
    return check


def check_columns(files, report):
    assert report["columns"] == 5
    assert csv_rows(files["out.csv"]) == padded(csv_rows(TABLE), 5)


def check_repairs_jsonl(name):
    def check(files, report):
        lines = files[name].decode("utf-8").splitlines()
        assert [json.loads(line) for line in lines] == repairs_of(report) != []
    return check


def check_repairs_csv(files, report):
    got = list(csv.DictReader(io.StringIO(files["repairs.csv"].decode("utf-8"), newline="")))
    expected = [{k: str(v) for k, v in r.items()} for r in repairs_of(report)]
    assert got == expected != []


CASES = [
    ("output delimiter", TABLE, ("--output-delimiter", ";"), check_delimiter(";")),
    ("output delimiter by name", TABLE, ("--output-delimiter", "tab"), check_delimiter("\t")),
    ("output delimiter pipe", TABLE, ("--output-delimiter", "|"), check_delimiter("|")),
    ("bom", RAGGED, ("--bom", "--strict", "-q", "rejected.csv"), check_bom),
    ("keep blank lines", BLANKS, ("--keep-blank-lines",), check_blank_lines(True)),
    ("skip blank lines", BLANKS, ("--skip-blank-lines",), check_blank_lines(False)),
    ("expected columns", TABLE, ("--expected-columns", "5"), check_columns),
    ("repairs jsonl", RAGGED, ("--repairs", "repairs.jsonl"), check_repairs_jsonl("repairs.jsonl")),
    ("repairs ndjson", RAGGED, ("--repairs", "repairs.NDJSON"), check_repairs_jsonl("repairs.NDJSON")),
    ("repairs format", RAGGED, ("--repairs", "repairs.txt", "--repairs-format", "jsonl"),
     check_repairs_jsonl("repairs.txt")),
    ("repairs csv", RAGGED, ("--repairs", "repairs.csv"), check_repairs_csv),
]


def cli(*args, cwd):
    return subprocess.run([sys.executable, "-m", "csv_quorle", *args], capture_output=True, cwd=cwd,
                          timeout=300)


@pytest.mark.parametrize("name, data, args, check", CASES, ids=[c[0] for c in CASES])
def test_output_options(tmp_path, name, data, args, check):
    (tmp_path / "in.csv").write_bytes(data)
    plain_args = [a for a in args if a != "--bom"]
    if "--bom" in args:  # the same run without the mark, to compare the rest of the bytes with
        assert cli("rescue", "in.csv", "-o", "plain.csv", *plain_args, cwd=tmp_path).returncode == 0
    run = cli("rescue", "in.csv", "-o", "out.csv", "--json", *args, cwd=tmp_path)
    assert run.returncode == 0 and b"Traceback" not in run.stderr, run.stderr
    files = {p.name: p.read_bytes() for p in tmp_path.iterdir()}
    check(files, json.loads(run.stdout)["report"])


@pytest.mark.parametrize("args, message", [
    (("--output-delimiter", '"'), "double quote"),
    (("--output-delimiter", "ab"), "one character"),
    (("--expected-columns", "0"), "--expected-columns"),
    (("--repairs-format", "jsonl"), "needs --repairs"),
    (("--repairs", "r.txt", "--repairs-format", "xml"), "--repairs-format"),
])
def test_output_options_refused(tmp_path, args, message):
    (tmp_path / "in.csv").write_bytes(TABLE)
    run = cli("rescue", "in.csv", "-o", "out.csv", *args, cwd=tmp_path)
    assert run.returncode == 2 and message in run.stderr.decode(), run.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.csv"]
