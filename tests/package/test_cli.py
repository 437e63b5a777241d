"""The csv-quorle command as a user runs it: a child process, pipes, a terminal, every exit status,
and a folder of a few hundred exports with some damaged, some unreadable and one binary."""

import bz2
import contextlib
import csv
import fcntl
import gzip
import json
import os
import pty
import random
import re
import signal
import struct
import subprocess
import sys
import termios
import time

import pytest

import csv_quorle


def damaged_csv(seed, rows=30, d=","):
    """A small export: short and long rows, stray quotes, quoted delimiters."""
    rnd = random.Random(seed)
    lines = [d.join(["id", "name", "city", "amount"])]
    for i in range(rows):
        kind = rnd.random()
        if kind < 0.1:
            fields = [str(i), "Ann"]
        elif kind < 0.2:
            fields = [str(i), "Bo", "Lyon", "1.5", "extra"]
        elif kind < 0.3:
            fields = [str(i), '"Bob "the" builder"', "Köln", "2"]
        else:
            fields = [str(i), f'"Zoë{d} Jr."', "Nice", f"{i}.25"]
        lines.append(d.join(fields))
    return ("\n".join(lines) + "\n").encode()


def cli(*args, stdin=b"", cwd=None):
    run = subprocess.run([sys.executable, "-m", "csv_quorle", *map(str, args)], input=stdin,
                         capture_output=True, cwd=cwd, timeout=300)
    assert b"Traceback" not in run.stderr, run.stderr.decode()
    return run


def library(source, tmp_path, **options):
    """What the library itself makes of `source`: clean bytes and report."""
    out = tmp_path / "by-library.csv"
    report = csv_quorle.rescue(source, out, **options)
    return out.read_bytes(), report


@pytest.fixture
def export(tmp_path):
    path = tmp_path / "export.csv"
    path.write_bytes(damaged_csv(7))
    return path


def test_help_shows_commands_and_examples():
    run = cli("--help")
    assert run.returncode == 0
    text = run.stdout.decode()
    assert all(word in text for word in ("rescue", "check", "sniff", "Examples", "Exit status"))
    switches = ("--fail-on-quarantine", "--quote", "--no-quote", "--escape", "--no-escape", "--no-layout",
                "--comment")
    for command in ("rescue", "check"):
        text = cli(command, "--help").stdout.decode()
        assert all(switch in text for switch in switches), command


@pytest.mark.parametrize(
    "args, message",
    [
        ((), "Usage: csv-quorle"),
        (("rescue",), "Missing argument"),
        (("rescue", "a.csv", "b.csv"), "--out-dir"),
        (("rescue", "a.csv", "-o", "x.csv", "--out-dir", "d"), "not both"),
        (("rescue", "a.csv", "b.csv", "--out-dir", "d", "-q", "q.csv"), "--quarantine-dir"),
        (("rescue", "a.csv", "-q", "-"), "standard output"),
        (("rescue", "-", "-"), "only once"),
        (("rescue", "a.csv", "--delimiter", "||"), "--delimiter"),
        (("check", "a.csv", "--encoding", "no-such-codec"), "no-such-codec"),
        (("sniff", "a.csv", "--strict"), "No such option"),
        (("rescue", "a.csv", "--quote", "'", "--no-quote"), "not both"),
        (("check", "a.csv", "--escape", "\\", "--no-escape"), "not both"),
        (("check", "a.csv", "--quote", "ab"), "exactly one character"),
        (("check", "a.csv", "--escape", "é"), "ASCII"),
        (("check", "a.csv", "--delimiter", ";", "--comment", ";"), "comment must differ from delimiter"),
        (("rescue", "a.csv", "--delimiter", "|", "--quote", "|"), "must differ"),
        (("frobnicate",), "No such command"),
    ],
)
def test_usage_errors_exit_2_and_touch_nothing(args, message, tmp_path):
    (tmp_path / "a.csv").write_bytes(damaged_csv(1))
    run = cli(*args, cwd=tmp_path)
    assert run.returncode == 2
    assert message in run.stderr.decode()
    assert sorted(os.listdir(tmp_path)) == ["a.csv"]


def test_rescue_one_file_as_the_library_does(export, tmp_path):
    run = cli("rescue", export, "-o", tmp_path / "clean.csv", "-q", tmp_path / "q.csv",
              "--json", "--repairs", tmp_path / "repairs.csv")
    assert run.returncode == 0, run.stderr
    clean, report = library(export, tmp_path)
    assert (tmp_path / "clean.csv").read_bytes() == clean
    [line] = run.stdout.decode().splitlines()
    assert json.loads(line) == {"source": str(export), "output": str(tmp_path / "clean.csv"),
                                "quarantine": str(tmp_path / "q.csv"), "report": report.to_dict()}
    repairs = (tmp_path / "repairs.csv").read_text().splitlines()
    assert repairs[0] == "file,first_line,last_line,kind,detail"
    assert len(repairs) == 1 + len(report.repairs)


@pytest.mark.parametrize("pack", [bytes, gzip.compress, bz2.compress], ids=["plain", "gzip", "bz2"])
@pytest.mark.parametrize("output", [(), ("-o", "-")], ids=["default", "dash"])
def test_standard_input_to_standard_output(pack, output, export, tmp_path):
    run = cli("rescue", "-", *output, "--delimiter", "comma", stdin=pack(export.read_bytes()))
    assert run.returncode == 0, run.stderr
    assert run.stdout == library(export, tmp_path, delimiter=",")[0]
    assert "<stdin>" in run.stderr.decode() and "1 file: 1 ok" in run.stderr.decode()


def test_reader_that_goes_away_ends_quietly(tmp_path):
    big = tmp_path / "big.csv"
    big.write_bytes(damaged_csv(2, rows=200_000))
    child = subprocess.Popen([sys.executable, "-m", "csv_quorle", "rescue", big],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    child.stdout.read(100)
    child.stdout.close()
    assert child.wait(timeout=120) == 1
    assert b"Traceback" not in child.stderr.read()


def spooled(pid, folder):
    """Whether the process has a file of `folder` open that has no name."""
    for fd in os.listdir(f"/proc/{pid}/fd"):
        with contextlib.suppress(OSError):
            link = os.readlink(f"/proc/{pid}/fd/{fd}")
            if link.startswith(f"{folder}/") and link.endswith(" (deleted)"):
                return True
    return False


def default_sigint() -> None:
    """For a child process (preexec_fn): SIGINT at its default, as in an interactive shell,
    whatever the parent had (a background job starts with it ignored)."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)


@pytest.mark.parametrize("sig, status, message", [(signal.SIGINT, 130, b"csv-quorle: interrupted"),
                                                  (signal.SIGTERM, 143, b"csv-quorle: terminated"),
                                                  (signal.SIGKILL, -9, b"")])
def test_a_signal_is_one_line_and_leaves_no_spooled_input(tmp_path, sig, status, message):
    spool = tmp_path / "tmp"
    spool.mkdir()
    child = subprocess.Popen([sys.executable, "-m", "csv_quorle", "rescue", "-"], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, env={**os.environ, "TMPDIR": str(spool)},
                             preexec_fn=default_sigint)
    child.stdin.write(damaged_csv(1) * 100)
    child.stdin.flush()
    while not spooled(child.pid, spool):  # standard input is being copied: signal it there
        assert child.poll() is None
        time.sleep(0.01)
    assert list(spool.iterdir()) == []  # the copy never had a name
    child.send_signal(sig)
    _, err = child.communicate(timeout=60)
    assert child.returncode == status
    assert err.strip() == message  # after the line break that ends a ^C
    assert list(spool.iterdir()) == []


def test_exit_statuses(export, tmp_path):
    strict = {"fill_ragged_rows": False, "merge_overflow": False}
    assert library(export, tmp_path, **strict)[1].quarantined_rows > 0
    missing = tmp_path / "missing.csv"
    out = ("--out-dir", tmp_path / "out")
    assert cli("rescue", export, *out).returncode == 0
    assert cli("rescue", export, *out, "--strict").returncode == 0
    assert cli("rescue", export, *out, "--strict", "--fail-on-quarantine").returncode == 3
    assert cli("check", export, "--strict", "--fail-on-quarantine").returncode == 3
    failed = cli("rescue", export, missing, *out, "--strict", "--fail-on-quarantine")
    assert failed.returncode == 1  # a failure outranks quarantined rows
    assert failed.stderr.decode().splitlines()[0] == f"csv-quorle: {missing}: No such file or directory"


def test_a_folder_of_exports(tmp_path):
    folder = tmp_path / "exports"
    folder.mkdir()
    for i in range(300):
        data = damaged_csv(i, rows=i % 40, d=";" if i % 3 else ",")
        name = f"e{i:03}.csv"
        if i % 50 == 0:
            data, name = gzip.compress(data), name + ".gz"
        (folder / name).write_bytes(data)
    (folder / "e999.xlsx").write_bytes(b"PK\x03\x04" + os.urandom(3000))
    # Running as root reads any file, so unreadable means not a file or not there.
    (folder / "e500.csv").mkdir()
    (folder / "e501.csv").symlink_to(tmp_path / "gone.csv")
    inputs = sorted(str(p) for p in folder.iterdir())

    run = cli("rescue", *inputs, "--out-dir", tmp_path / "out", "--quarantine-dir", tmp_path / "q", "--json")
    assert run.returncode == 1
    lines = [json.loads(line) for line in run.stdout.decode().splitlines()]
    assert [obj["source"] for obj in lines] == inputs
    failed = {os.path.basename(obj["source"]): obj["error"]["type"] for obj in lines if "error" in obj}
    assert failed == {"e500.csv": "IsADirectoryError", "e501.csv": "FileNotFoundError",
                      "e999.xlsx": "BinaryInputError"}
    errors = run.stderr.decode().splitlines()
    assert len(errors) == 3 and all(line.startswith(f"csv-quorle: {folder}/e") for line in errors)
    assert any(".xlsx workbook" in line for line in errors)
    for obj in lines:
        if "report" in obj and obj["source"].endswith(".csv"):
            clean, report = library(obj["source"], tmp_path)
            assert open(obj["output"], "rb").read() == clean, obj["source"]
            assert obj["report"] == report.to_dict()
    assert len(os.listdir(tmp_path / "out")) == 300


def test_progress_bar_only_on_a_terminal(tmp_path):
    big = tmp_path / "big.csv"
    big.write_bytes(damaged_csv(3, rows=50_000))
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))  # a terminal has a size
    child = subprocess.Popen([sys.executable, "-m", "csv_quorle", "rescue", big, "-o", tmp_path / "c.csv"],
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=slave)
    os.close(slave)
    seen = b""
    while True:
        try:
            chunk = os.read(master, 4096)
        except OSError:  # the terminal closes with the child
            break
        if not chunk:
            break
        seen += chunk
    os.close(master)
    assert child.wait(timeout=120) == 0
    assert b"big.csv:" in seen and b"B/s]" in seen and b"\r" in seen  # bytes, rate, redrawn in place
    piped = cli("rescue", big, "-o", tmp_path / "d.csv")
    assert b"B/s" not in piped.stderr and b"\r" not in piped.stderr


def test_check_reports_and_writes_nothing(export, tmp_path):
    before = sorted(os.listdir(tmp_path))
    text = cli("check", export, "--no-header")
    assert text.returncode == 0
    as_json = cli("check", export, "--no-header", "--json")
    assert sorted(os.listdir(tmp_path)) == before
    report = library(export, tmp_path, header=False)[1]
    found = json.loads(as_json.stdout)
    assert {k: found[k] for k in ("source", "report")} == {"source": str(export), "report": report.to_dict()}
    lines = text.stdout.decode().splitlines()
    assert lines[0] == str(export)
    assert f"{report.total_rows:,} total, {report.good_rows:,} good" in text.stdout.decode()


def test_sniff_table_and_json(tmp_path):
    for name, d in (("semi.csv", ";"), ("tabs.tsv", "\t")):
        (tmp_path / name).write_bytes(damaged_csv(4, d=d))
    run = cli("sniff", "semi.csv", "tabs.tsv", cwd=tmp_path)
    head, semi, tabs = run.stdout.decode().splitlines()
    assert head.split()[:5] == ["file", "delimiter", "quote", "encoding", "columns"]
    assert semi.split()[:2] == ["semi.csv", ";"] and tabs.split()[:2] == ["tabs.tsv", "tab"]
    found = [json.loads(line) for line in cli("sniff", "semi.csv", "tabs.tsv", "--json", cwd=tmp_path).stdout.splitlines()]
    assert [(f["source"], f["delimiter"], f["columns"]) for f in found] == [("semi.csv", ";", 4), ("tabs.tsv", "\t", 4)]
    assert found[0]["header"] == ["id", "name", "city", "amount"]


def test_sniff_explains_and_layout_options_reach_the_rescue(tmp_path):
    (tmp_path / "report.csv").write_text("Sales report\n\nid;item\n1;Bolt\n2;Nut\n")
    run = cli("sniff", "report.csv", "--explain", cwd=tmp_path)
    text = run.stdout.decode()
    assert "lines 3-end" in text and "skip_rows: 2" in text and "  - " in text
    assert json.loads(cli("sniff", "report.csv", "--json", cwd=tmp_path).stdout)["skip_rows"] == 2
    found = json.loads(cli("check", "report.csv", "--json", cwd=tmp_path).stdout)["report"]
    assert found["header"] == ["id", "item"] and found["skipped_lines"][0]["kind"] == "preamble"
    given = cli("check", "report.csv", "--skip-rows", "3", "--no-header", "--json", cwd=tmp_path)
    found = json.loads(given.stdout)["report"]
    assert found["header"] is None and found["total_rows"] == 2


REPORT = (b"Quarterly sales report for the northern region, all stores\nExported 2024-10-01\n\n"
          b"id,item,price\n1,Bolt,0.10\n2,Nut,0.05\n3,Washer,0.02\n\nTotal,,0.17\n")
ESCAPED = b'id,text\n1,"say \\"hi\\" now"\n2,"plain"\n3,"a \\"b\\""\n'
COMMENTED = b"# generated by the shop\nid,v\n# a note\n1,a\n2,b\n"


def rows_of(data, comment=None, **dialect):
    """What Python's csv module reads, blank lines (and comment lines) left out."""
    lines = [line for line in data.decode().splitlines(keepends=True)
             if comment is None or not line.startswith(comment)]
    return [r for r in csv.reader(lines, **dialect) if r]


# Each switch is one keyword of rescue(): the same report, and rows as the csv module reads them.
SWITCHES = [
    ("quote", b"id,name\n1,'Smith, J'\n2,'Lee'\n", ("--quote", "'"), {"quote_char": "'"},
     {"quotechar": "'"}, {"quote_char": "'"}),
    ("no quote", b'id,size\n1,12" pipe\n2,"3" bolt\n', ("--no-quote",), {"quote_char": None},
     {"quoting": csv.QUOTE_NONE}, {"quote_char": None}),
    ("escape given", ESCAPED, ("--escape", "\\"), {"escape_char": "\\"},
     {"escapechar": "\\"}, {"escape_char": "\\", "guesses": []}),
    ("escape detected", ESCAPED, (), {}, {"escapechar": "\\"},
     {"escape_char": "\\", "guesses": ["escape_char"]}),
    ("no escape", ESCAPED, ("--no-escape",), {"escape_char": None}, None,
     {"escape_char": None, "guesses": []}),
    ("layout", REPORT, (), {}, None,
     {"skipped_lines": [(1, 3, "preamble"), (8, 9, "footer")], "total_rows": 3}),
    ("no layout", REPORT, ("--no-layout", "--no-header"), {"layout": False, "header": False}, {},
     {"skipped_lines": [], "total_rows": 7}),
    ("comment", COMMENTED, ("--comment", "#"), {"comment": "#"},
     {}, {"skipped_lines": [(1, 1, "comment"), (3, 3, "comment")]}),
]


@pytest.mark.parametrize("name, data, args, kwargs, dialect, fields", SWITCHES,
                         ids=[getattr(s, "id", None) or s[0] for s in SWITCHES])
def test_switches_are_keywords_of_the_rescue(tmp_path, name, data, args, kwargs, dialect, fields):
    source = tmp_path / "in.csv"
    source.write_bytes(data)
    run = cli("rescue", source, "-o", tmp_path / "out.csv", "--json", *args)
    assert run.returncode == 0, run.stderr
    got = json.loads(run.stdout)["report"]
    clean, report = library(source, tmp_path, **kwargs)
    assert got == report.to_dict() and (tmp_path / "out.csv").read_bytes() == clean
    for key, value in fields.items():
        if key == "skipped_lines":
            assert [tuple(s) for s in report.skipped_lines] == value
        elif key == "guesses":
            assert [g.name for g in report.guesses] == value
        else:
            assert got[key] == value, key
    if dialect is not None:
        expected = rows_of(data, kwargs.get("comment"), **dialect)
        width = max(map(len, expected))  # short rows padded: with --no-layout, the preamble's
        assert rows_of(clean) == [r + [""] * (width - len(r)) for r in expected]



def test_comment_lines_are_printed_as_skipped(tmp_path):
    (tmp_path / "in.csv").write_bytes(COMMENTED)
    shown = cli("check", "in.csv", "--comment", "#", cwd=tmp_path).stdout.decode().splitlines()
    assert "  skipped   line 1: comment, '# generated by the shop'" in shown
    assert "            line 3: comment, '# a note'" in shown

def legacy_file(path):
    path.write_bytes("id;name;city\n1;Zoë;Köln\n2;André;Zürich\n3;François;Besançon\n".encode("cp1252"))
    return path


def test_what_was_left_out_or_guessed_is_printed(tmp_path):
    (tmp_path / "report.csv").write_bytes(REPORT)
    legacy_file(tmp_path / "legacy.csv")
    (tmp_path / "escaped.csv").write_bytes(ESCAPED)
    (tmp_path / "names.csv").write_bytes(b"name\nalpha\nbeta\ngamma\n")
    block = [b"id,name,amount"] + [b"%d,n%d,%d.5" % (i, i, i) for i in range(7)]
    (tmp_path / "repeated.csv").write_bytes(b"\n".join(block + block) + b"\n")
    (tmp_path / "plain.csv").write_bytes(b"a,b\n1,2\n")
    names = ["report.csv", "legacy.csv", "escaped.csv", "names.csv", "repeated.csv", "plain.csv"]
    guess = r"  guessed   {} \(confidence 0\.\d\d\)"
    expected = {  # the lines under each file's name, as patterns
        "report.csv": [re.escape("  skipped   lines 1-3: preamble, 'Quarterly sales report for the northern…'"),
                       re.escape("            lines 8-9: footer, 'Total,,0.17'")],
        "legacy.csv": [guess.format("encoding cp1252")],
        "escaped.csv": [guess.format(re.escape("escape '\\' inside quoted fields"))],
        "names.csv": [guess.format("one column: no delimiter splits the lines")],
        "repeated.csv": [re.escape("  skipped   line 9: header, 'id,name,amount'")],
    }
    rescued = cli("rescue", *names, "--out-dir", "out", cwd=tmp_path).stdout.decode().splitlines()
    assert rescued[len(names) + 1] == "" and rescued[-2] == ""  # between the table and the totals
    assert rescued[-1].startswith("6 files: 6 ok")
    notes = rescued[len(names) + 2 : -2]
    heads = [i for i, line in enumerate(notes) if not line.startswith(" ")]
    assert [notes[i] for i in heads] == list(expected)  # a file with nothing to say is not there
    for i, (name, patterns) in zip(heads, expected.items()):
        shown = notes[i + 1 : i + 1 + len(patterns)]
        assert all(map(re.fullmatch, patterns, shown)), (name, shown)
    checked = cli("check", *names, cwd=tmp_path).stdout.decode()
    for name, patterns in expected.items():
        block = checked.split(name + "\n", 1)[1].split("\n\n", 1)[0].splitlines()
        assert all(any(re.fullmatch(p, line) for line in block) for p in patterns), (name, block)
    found = json.loads(cli("check", "legacy.csv", "--json", cwd=tmp_path).stdout)["report"]
    [guess] = found["guesses"]
    assert guess["name"] == "encoding" and guess["confidence"] == found["encoding_confidence"] < 1
    assert found["warnings"][0].startswith("The file is not UTF-8")
