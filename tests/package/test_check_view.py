"""What `check` shows of a file's damage, in text, JSON and HTML, and the HTML page as Chromium
draws it."""

import contextlib
import html
import json
import os
import random
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import zlib

import pytest

import csv_quorle
from csv_quorle import _html


def check(*args, cwd):
    run = subprocess.run([sys.executable, "-m", "csv_quorle", "check", *map(str, args)],
                         capture_output=True, cwd=cwd, timeout=300, env={**os.environ, "COLUMNS": "100"})
    assert b"Traceback" not in run.stderr, run.stderr.decode()
    return run


def rows(n, start=0):
    return [f"{i},name {i},{i}.5" for i in range(start, start + n)]


LONG = ["id,name,amount", *rows(99_999)]
LONG[90_000] = "90000,short"  # line 90,001: padded, or quarantined with --strict
WIDE = ["a,b,c", "1,2,3", "4," + "x" * 300_000]  # past the csv module's default field limit

SHAPES = {  # name: (lines of the file, options, quarantined [(line, reason)], skipped [(lines, kind)], repaired lines)
    "clean": (["id,name,amount", *rows(20)], [], [], [], []),
    "quarantines": (["id,name,amount", *rows(5), "5,x,1,2", "6,y", *rows(3, 7)], ["--strict"],
                    [(7, "extra"), (8, "too few")], [], []),
    "skipped": (["Sales export", "", "id,name,amount", *rows(12), "", "Total,,99"], [],
                [], [((1, 2), "preamble"), ((16, 17), "footer")], []),
    "repair at the end of a long file": (LONG, [], [], [], [90_001]),
    "record of 300,000 characters": (WIDE, ["--strict"], [(3, "too few")], [], []),
    "more quarantined than shown": (["a,b,c", *rows(30), *(f"{i},2,3,4" for i in range(25))],
                                    ["--strict", "--max-shown", "3"], [(32, "extra"), (33, "extra"), (34, "extra")], [], []),
}


def strip_spans(page, colour):
    """(start, end) in strip units of each run of marks of `colour` in the HTML."""
    return [(float(x), float(x) + float(w)) for x, w in
            re.findall(rf'<rect x="([\d.]+)" y="0" width="([\d.]+)" height="24" fill="{colour}"/>', page)]


def drawn_at(page, colour, lines, total):
    """Whether the marks of `colour` cover each of `lines` where it falls over `total`, and each
    run of them starts at one."""
    spans, xs = strip_spans(page, colour), [(n - 1) * 1000 / total for n in lines]
    return (all(any(a - 0.01 <= x < b for a, b in spans) for x in xs)
            and all(any(abs(a - x) < 0.01 for x in xs) for a, _ in spans))


@pytest.mark.parametrize("shape", SHAPES)
def test_check_shows_each_shape(shape, tmp_path):
    lines, options, quarantined, skipped, repaired = SHAPES[shape]
    (tmp_path / "in.csv").write_text("\n".join(lines) + "\n")
    text = check("in.csv", *options, "--html", "view.html", cwd=tmp_path).stdout.decode().splitlines()
    [found] = map(json.loads, check("in.csv", *options, "--json", cwd=tmp_path).stdout.splitlines())
    page, report = (tmp_path / "view.html").read_text(), found["report"]
    # Quarantined records: lines, reason and the exact source line, as the file holds them; in
    # the text quoted and cut to the terminal's 100 columns.
    assert [(q["first_line"], q["last_line"]) for q in found["first_quarantined"]] == [(n, n) for n, _ in quarantined]
    for q, (line, reason) in zip(found["first_quarantined"], quarantined):
        assert reason in q["reason"] and q["raw"] == lines[line - 1] and html.escape(q["raw"]) in page
        start = f"            line {line}: {q['reason']}, {repr(q['raw'])[:20]}"
        assert any(t.startswith(start) and len(t) <= 100 for t in text), text
    assert ("  quarantined" in text) == bool(quarantined)
    more = report["quarantined_rows"] - len(quarantined)
    assert (f"            … and {more:,} more" in text) == (more > 0)
    assert [((s["first_line"], s["last_line"]), s["kind"]) for s in report["skipped_lines"]] == skipped
    assert [r["first_line"] for r in report["repairs"]] == repaired
    assert "  detection" in text and {d["name"] for d in found["decisions"]} >= {"delimiter", "encoding"}
    assert f"  encoding  utf-8 (confidence {report['encoding_confidence']:.2f})" in text
    # The strip: each mark where its line falls among the file's lines.
    assert f"Where along the file ({len(lines):,} lines)" in page
    assert drawn_at(page, _html.QUARANTINED, [n for n, _ in quarantined], len(lines))
    assert drawn_at(page, _html.SKIPPED, [first for (first, _), _ in skipped], len(lines))
    assert drawn_at(page, _html.REPAIRED, repaired, len(lines))


HOSTILE = "<script>alert(1)</script><img src=x onerror=alert(2)>&amp;"
TAGS = {"html", "head", "meta", "title", "body", "div", "h3", "h4", "span", "svg", "rect", "table", "tr",
        "th", "td", "ul", "li", "p", "pre", "hr"}


def test_hostile_text_is_escaped_everywhere(tmp_path):
    (tmp_path / "in.csv").write_text(f"{HOSTILE}\nid,{HOSTILE},c\n1,2,3\n1,{HOSTILE}\n")
    assert check("in.csv", "--strict", "--html", "v.html", cwd=tmp_path).returncode == 0
    report = csv_quorle.rescue(tmp_path / "in.csv", tmp_path / "out.csv", fill_ragged_rows=False)
    for page in ((tmp_path / "v.html").read_text(), report._repr_html_(),
                 csv_quorle.detect(tmp_path / "in.csv")._repr_html_()):
        assert set(re.findall(r"<([a-z0-9]+)", page)) <= TAGS
        assert html.escape(HOSTILE) in page and "http" not in page  # shown as text; nothing fetched


def test_the_page_never_replaces_an_input(tmp_path):
    (tmp_path / "in.csv").write_bytes(b"a,b\n1,2\n")
    run = check("in.csv", "--html", "in.csv", cwd=tmp_path)
    assert run.returncode == 1 and b"--html names the input in.csv" in run.stderr
    assert (tmp_path / "in.csv").read_bytes() == b"a,b\n1,2\n" and os.listdir(tmp_path) == ["in.csv"]


def png_pixels(data):
    """(width, height, rows of RGB tuples) of an 8-bit RGB or RGBA PNG, as Chromium writes it."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    pos, idat = 8, b""
    while pos < len(data):
        size, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + size]
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
            assert depth == 8 and colour in (2, 6) and not interlace
        elif kind == b"IDAT":
            idat += body
        pos += 12 + size
    step = 4 if colour == 6 else 3
    raw, stride, out, prev = zlib.decompress(idat), width * step, [], bytearray(width * step)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - step] if i >= step else 0
            b, c = prev[i], prev[i - step] if i >= step else 0
            p = a + b - c
            near = a if abs(p - a) <= abs(p - b) and abs(p - a) <= abs(p - c) else b if abs(p - b) <= abs(p - c) else c
            line[i] = (line[i] + (0, a, b, (a + b) // 2, near)[kind]) & 0xFF
        out.append([tuple(line[i:i + 3]) for i in range(0, stride, step)])
        prev = line
    return width, height, out


def rgb(colour):
    return tuple(bytes.fromhex(colour[1:]))


def screenshot(page, png):
    """Chromium draws the page into `png`, with its profile, home and temporary files in a
    scratch folder of a short path (its socket's must be short), removed after; none of its
    processes outlives the call."""
    chromium = shutil.which("chromium")
    if chromium is None:
        pytest.skip("chromium is not installed (.ci/deps.sh installs Debian's)")
    with tempfile.TemporaryDirectory(prefix="quorle-chromium-") as scratch:
        env = {**os.environ, "HOME": scratch, "TMPDIR": scratch}
        proc = subprocess.Popen([chromium, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                                 f"--user-data-dir={scratch}/profile", f"--screenshot={png}",
                                 "--window-size=1200,900", page.as_uri()], env=env, start_new_session=True,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            proc.wait(timeout=120)
        finally:
            proc.kill()
            proc.wait()
            for _ in range(100):  # its helpers: killed, then gone within a moment
                left = pids_naming(scratch)
                for pid in left:
                    with contextlib.suppress(ProcessLookupError):
                        os.kill(pid, signal.SIGKILL)
                if not left:
                    break
                time.sleep(0.1)
        assert not pids_naming(scratch)


def pids_naming(folder):
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        with contextlib.suppress(OSError), open(f"/proc/{pid}/cmdline", "rb") as f:
            if folder.encode() in f.read():
                found.append(int(pid))
    return found


def test_chromium_draws_the_strip_and_the_counters(tmp_path):
    lines = ["Sales export", "", *LONG]  # a preamble at the start, a quarantine at 90% of the file
    (tmp_path / "in.csv").write_text("\n".join(lines) + "\n")
    assert check("in.csv", "--strict", "--html", "view.html", cwd=tmp_path).returncode == 0
    screenshot(tmp_path / "view.html", tmp_path / "shot.png")
    width, _, pixels = png_pixels((tmp_path / "shot.png").read_bytes())
    ground = rgb(_html.STRIP_GROUND)
    strip = [row for row in pixels if row.count(ground) > width // 2]
    assert strip, "no strip drawn"
    where = {colour: [x for row in strip for x, p in enumerate(row) if p == rgb(colour)]
             for colour in (_html.QUARANTINED, _html.SKIPPED)}
    ends = [x for row in strip for x, p in enumerate(row) if p == ground]
    left, right = min(ends), max(ends)
    assert where[_html.QUARANTINED] and where[_html.SKIPPED]
    # 90% of the way along for the quarantine, the first few pixels for the preamble
    assert all(abs((x - left) / (right - left) - 0.9) < 0.02 for x in where[_html.QUARANTINED])
    assert all(x - left < 10 for x in where[_html.SKIPPED])
    assert any(rgb(_html.QUARANTINE_GROUND) in row for row in pixels)  # the quarantined counter's box


@pytest.mark.parametrize("count", [50, 30_000])  # drawn one by one; by column of the strip
def test_the_strip_marks_every_column_holding_a_repair_and_no_other(count):
    from csv_quorle._report import _RECORD, RepairList

    rnd = random.Random(count)
    total = 3_000_000
    lines = sorted(rnd.sample(range(1, total // 3), count // 2) + rnd.sample(range(total // 2, total), count // 2))
    repairs = RepairList(b"".join(_RECORD.pack(n, n, 1, 0) for n in lines))
    report = csv_quorle.Report(total, total, count, 0, 0, ",", '"', "utf-8", 3, ("a", "b", "c"), repairs)
    spans = strip_spans(report._repr_html_(), _html.REPAIRED)
    held = {(n - 1) * 1000 // (total + 1) for n in lines}  # the strip's columns, from the plain list
    assert all(any(a < c + 1 and b > c for a, b in spans) for c in held)
    assert all(int(a) in held for a, _ in spans)  # each run starts on a repair

