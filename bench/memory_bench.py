"""Working memory of csv_quorle.rescue and csv_quorle.read_batches on the shapes that strain it.

    python3 bench/memory_bench.py [--dir /dev/shm] [--fields 40M] [--field-size 1G] [--rest 200M]
                                  [--cases wide,wide_quoted,field,field_doubled,reread]
                                  [--modes rescue,batches] [--package-dir DIR]

Inputs (generated into a temporary directory under --dir, removed at the end):
  wide           a header of three columns, then a row of N one-byte fields (2 N bytes, merged
                 into the last column), between two ordinary rows
  wide_quoted    the same row with every field quoted ("7"), so each goes through the
                 field-by-field path
  field          one quoted field of S bytes of text: a single run of input
  field_doubled  the same field with a doubled quote every 64 bytes: its text is not a run
  reread         a quote opened on line 2 and never closed, then R bytes of rows holding doubled
                 quotes, which the unterminated field swallows before it is read again as text;
                 its figure is the memory beyond that of the same rows with the quote closed

Each case runs in a process of its own (the rescue to files beside the input; the batches read
by pyarrow and dropped as they come). Measured: RssAnon sampled every 2 ms beyond its level
before the call, and the peak resident set (VmHWM) beyond that level and the input's size (the
input is mapped and read whole, so its pages count in the peak). --package-dir puts another
build of csv_quorle first on the path, to compare with it.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

TARGET_BYTES_PER_FIELD = 16
TARGET_FIELD_MULTIPLE = 1.5

CHILD = r"""
import json, os, sys, threading, time
sys.path[:0] = [p for p in sys.argv[4:] if p]
import csv_quorle, pyarrow as pa

def status():
    out = {}
    with open("/proc/self/status") as f:
        for line in f:
            key, value = line.split(":", 1)
            if value.strip().endswith("kB"):
                out[key] = int(value.split()[0]) * 1024
    return out

mode, path, out_dir = sys.argv[1], sys.argv[2], sys.argv[3]
before = status()
peak = [before["RssAnon"]]
done = threading.Event()

def sample():
    while not done.wait(0.002):
        peak[0] = max(peak[0], status()["RssAnon"])

watcher = threading.Thread(target=sample, daemon=True)
watcher.start()
start = time.perf_counter()
if mode == "rescue":
    report = csv_quorle.rescue(path, os.path.join(out_dir, "out.csv"),
                               os.path.join(out_dir, "quarantine.csv"))
else:
    batches = csv_quorle.read_batches(path)
    for batch in pa.RecordBatchReader.from_stream(batches):
        del batch
    report = batches.report
seconds = time.perf_counter() - start
done.set()
watcher.join()
after = status()
peak[0] = max(peak[0], after["RssAnon"])
print(json.dumps({
    "seconds": seconds,
    "anon": peak[0] - before["RssAnon"],
    "anon_peak": peak[0],
    "hwm": after["VmHWM"] - before["VmRSS"],
    "rows": report.good_rows,
    "repairs": [r.kind for r in report.repairs],
}))
"""


def size_arg(text: str) -> int:
    units = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
    if text[-1].upper() in units:
        return int(float(text[:-1]) * units[text[-1].upper()])
    return int(text)


def count_arg(text: str) -> int:
    units = {"K": 10**3, "M": 10**6, "G": 10**9}
    if text[-1].upper() in units:
        return int(float(text[:-1]) * units[text[-1].upper()])
    return int(text)


def write_repeated(out, unit: bytes, total: int) -> None:
    """`total` bytes of `unit` repeated, cut at the end."""
    block = unit * max(1, (1 << 20) // len(unit))
    while total >= len(block):
        out.write(block)
        total -= len(block)
    out.write((unit * (total // len(unit) + 1))[:total])


def make_wide(path: pathlib.Path, fields: int, quoted: bool) -> None:
    one = b'"7"' if quoted else b"7"
    with open(path, "wb") as out:
        out.write(b"a,b,c\n1,2,3\n")
        write_repeated(out, one + b",", (len(one) + 1) * (fields - 1))
        out.write(one + b"\n4,5,6\n")


def make_field(path: pathlib.Path, size: int, doubled: bool) -> None:
    unit = b"lorem ipsum dolor sit amet consectetur adipiscing elit sed do eiusmod"[:62]
    unit += b'""' if doubled else b"  "
    with open(path, "wb") as out:
        out.write(b'a,b\n1,"')
        write_repeated(out, unit, size)
        out.write(b'"\n2,x\n')


def make_reread(path: pathlib.Path, rest: int, closed: bool = False) -> None:
    with open(path, "wb") as out:
        out.write(b"id,note,more\n")
        out.write(b'1,"closed",x\n' if closed else b'1,"never closed,x\n')
        write_repeated(out, b'2,a ""quoted"" word,c\n', rest)


def run_case(mode: str, path: pathlib.Path, out_dir: pathlib.Path, package_dir: str) -> dict:
    done = subprocess.run(
        [sys.executable, "-c", CHILD, mode, str(path), str(out_dir), package_dir],
        check=True, capture_output=True, text=True,
    )
    return json.loads(done.stdout.strip().splitlines()[-1])


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--dir", default="/dev/shm" if os.path.isdir("/dev/shm") else None)
    ap.add_argument("--fields", type=count_arg, default=count_arg("40M"))
    ap.add_argument("--field-size", type=size_arg, default=size_arg("1G"))
    ap.add_argument("--rest", type=size_arg, default=size_arg("200M"))
    ap.add_argument("--cases", default="wide,wide_quoted,field,field_doubled,reread")
    ap.add_argument("--modes", default="rescue,batches")
    ap.add_argument("--package-dir", default="", help="a csv_quorle build to put first on the path")
    args = ap.parse_args()
    package_dir = os.path.abspath(args.package_dir) if args.package_dir else ""

    work = pathlib.Path(tempfile.mkdtemp(prefix="quorle-memory-", dir=args.dir))
    try:
        print(f"targets: at most {TARGET_BYTES_PER_FIELD} bytes a field of a wide row; "
              f"a field at most {TARGET_FIELD_MULTIPLE} x its size; no copy of the rest "
              "of the file on a re-read")
        print(f"{'case':14} {'mode':8} {'input MB':>9} {'anon MB':>8} {'peak-in MB':>10}"
              f" {'s':>6}  figure")
        for case in args.cases.split(","):
            path = work / f"{case}.csv"
            if case in ("wide", "wide_quoted"):
                make_wide(path, args.fields, case == "wide_quoted")
                unit, per = args.fields, "bytes a field"
            elif case in ("field", "field_doubled"):
                make_field(path, args.field_size, case == "field_doubled")
                unit, per = args.field_size, "x the field"
            elif case == "reread":
                make_reread(path, args.rest)
                unit, per = args.rest, "x the rest"
            else:
                raise SystemExit(f"unknown case {case}")
            size = path.stat().st_size
            control = None
            if case == "reread":
                control = work / "closed.csv"
                make_reread(control, args.rest, closed=True)
            for mode in args.modes.split(","):
                r = run_case(mode, path, work, package_dir)
                beyond = max(r["anon"], r["hwm"] - size)
                if control is not None:  # what the re-read adds to the same rows
                    c = run_case(mode, control, work, package_dir)
                    beyond -= max(c["anon"], c["hwm"] - control.stat().st_size)
                figure = beyond / unit
                print(f"{case:14} {mode:8} {size / 1e6:9.0f} {r['anon'] / 1e6:8.0f}"
                      f" {(r['hwm'] - size) / 1e6:10.0f} {r['seconds']:6.2f}"
                      f"  {figure:.2f} {per}", flush=True)
                for name in ("out.csv", "quarantine.csv"):
                    (work / name).unlink(missing_ok=True)
            path.unlink()
            if control is not None:
                control.unlink()
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
