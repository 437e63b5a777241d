"""Whole-process timings of the Python surface on generated files, compared within one run.

    python3 bench/rescue_bench.py --gen build/release/bench/gen_csv [--size 1G] [--runs 5]

Each contender runs as its own process, round-robin, after one warm-up round, with its input in
the page cache; the figures are medians. Wall times are only compared within this run (as ratios
to `cp` of the same file); peak memory is the child's VmHWM.
"""

import argparse
import json
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import textwrap

HERE = pathlib.Path(__file__).resolve().parent


def child(code, *args):
    """A Python child that runs `code`, then prints its peak memory (VmHWM, in kB) as JSON."""
    wrapped = code + textwrap.dedent(
        """
        import json as _j
        _hwm = [l for l in open('/proc/self/status') if l.startswith('VmHWM')][0].split()[1]
        print(_j.dumps({"hwm_kb": int(_hwm), **globals().get("RESULT", {})}))
        """
    )
    return [sys.executable, "-c", wrapped, *args]


QUORLE_FILE = """
import sys, _csv_quorle_backend as q
s = q.quorle_file(sys.argv[1], sys.argv[2], sys.argv[3])
RESULT = {"rows": s.quorled_rows, "quarantined": s.quarantined_rows}
"""

BY_HAND = """
import csv, sys
csv.field_size_limit(1 << 30)
with open(sys.argv[1], newline="", encoding="utf-8", errors="replace") as f, \\
     open(sys.argv[2], "w", newline="", encoding="utf-8") as out:
    reader = csv.reader(f)
    writer = csv.writer(out, lineterminator="\\n")
    header = next(reader)
    width = len(header)
    writer.writerow(header)
    rows = 1
    for row in reader:
        if len(row) < width:
            row += [""] * (width - len(row))
        elif len(row) > width:
            row[width - 1:] = [",".join(row[width - 1:])]
        writer.writerow(row)
        rows += 1
RESULT = {"rows": rows}
"""

READER = """
import sys, time, _csv_quorle_backend as q
def iterate(r):
    n = 0
    for row in r:
        n += 1
    return n
t = time.perf_counter()
r = q.open(sys.argv[1])
made = time.perf_counter() - t
t = time.perf_counter()
n = iterate(r)
RESULT = {"rows": n, "create_s": made, "iterate_s": time.perf_counter() - t}
"""

CSV_READER = """
import csv, sys, time
csv.field_size_limit(1 << 30)
def iterate(f):
    n = 0
    for row in csv.reader(f):
        n += 1
    return n
t = time.perf_counter()
with open(sys.argv[1], newline="", encoding="utf-8", errors="replace") as f:
    n = iterate(f)
RESULT = {"rows": n, "iterate_s": time.perf_counter() - t}
"""

SNIFF = """
import sys, time, _csv_quorle_backend as q
text = open(sys.argv[1], encoding="utf-8", errors="replace").read(int(sys.argv[2]))
t = time.perf_counter()
for _ in range(100):
    d = q.sniff(text)
RESULT = {"sniff_ms": (time.perf_counter() - t) * 10, "chars": len(text)}
"""


def run(cmd):
    import time

    t = time.perf_counter()
    out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
    wall = time.perf_counter() - t
    lines = out.strip().splitlines()
    info = json.loads(lines[-1]) if lines and lines[-1].startswith("{") else {}
    return wall, info


def median_runs(contenders, runs):
    """Runs every contender once as a warm-up, then `runs` rounds round-robin."""
    walls = {name: [] for name in contenders}
    infos = {}
    for round_ in range(runs + 1):
        for name, cmd in contenders.items():
            wall, info = run(cmd)
            if round_:
                walls[name].append(wall)
            infos[name] = info
    return {name: (statistics.median(w), infos[name]) for name, w in walls.items()}


def generate(gen, preset, size, path):
    if not path.exists():
        subprocess.run([gen, "--preset", preset, "--size", size, str(path)], check=True)
    return path


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--gen", required=True, help="path of the gen_csv binary")
    ap.add_argument("--size", default="1G")
    ap.add_argument("--small", default="200M", help="size for the slow contenders")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--data", default=str(HERE / "data"))
    args = ap.parse_args()
    data = pathlib.Path(args.data)
    data.mkdir(parents=True, exist_ok=True)
    scratch = pathlib.Path(tempfile.mkdtemp(prefix="quorle-bench-"))
    try:
        for preset in ("clean", "dirty"):
            big = generate(args.gen, preset, args.size, data / f"{preset}_{args.size}.csv")
            small = generate(args.gen, preset, args.small, data / f"{preset}_{args.small}.csv")
            for path in (big, small):
                subprocess.run(["cat", str(path)], stdout=subprocess.DEVNULL, check=True)
            size_mb = big.stat().st_size / 1e6
            res = median_runs(
                {
                    "cp": ["cp", str(big), str(scratch / "cp.csv")],
                    "quorle_file": child(
                        QUORLE_FILE, str(big), str(scratch / "out.csv"), str(scratch / "q.csv")
                    ),
                },
                args.runs,
            )
            cp = res["cp"][0]
            qf, qinfo = res["quorle_file"]
            print(f"\n{preset} {args.size} ({size_mb:.0f} MB)")
            print(f"  cp                {cp:7.3f} s  {size_mb / cp:7.0f} MB/s")
            print(
                f"  quorle_file       {qf:7.3f} s  {size_mb / qf:7.0f} MB/s  {qf / cp:5.2f} x cp"
                f"  peak {qinfo['hwm_kb'] / 1e3:.0f} MB = {qinfo['hwm_kb'] * 1e3 / big.stat().st_size:.2f} x input"
            )

            small_mb = small.stat().st_size / 1e6
            res = median_runs(
                {
                    "quorle_file": child(
                        QUORLE_FILE, str(small), str(scratch / "out.csv"), str(scratch / "q.csv")
                    ),
                    "by_hand": child(BY_HAND, str(small), str(scratch / "hand.csv")),
                    "reader": child(READER, str(small)),
                    "csv_reader": child(CSV_READER, str(small)),
                },
                max(1, args.runs // 2),
            )
            qf = res["quorle_file"][0]
            hand = res["by_hand"][0]
            rd = res["reader"][1]
            cr = res["csv_reader"][1]
            print(f"  {args.small} ({small_mb:.0f} MB):")
            print(
                f"    by-hand csv script {hand:7.3f} s  {small_mb / hand:5.0f} MB/s;"
                f" quorle_file {qf:.3f} s: {hand / qf:5.1f} x faster"
            )
            print(
                f"    reader: create {rd['create_s']:.3f} s, iterate {rd['iterate_s']:.3f} s"
                f" ({rd['rows'] / rd['iterate_s'] / 1e6:.2f} M rows/s);"
                f" csv.reader {cr['iterate_s']:.3f} s ({cr['rows'] / cr['iterate_s'] / 1e6:.2f} M rows/s):"
                f" {cr['iterate_s'] / rd['iterate_s']:.1f} x faster;"
                f" reader peak {rd['hwm_kb'] * 1e3 / small.stat().st_size:.2f} x input"
            )
            _, sn = run(child(SNIFF, str(big), str(100_000_000)))
            print(f"    sniff over {sn['chars'] / 1e6:.0f} M characters: {sn['sniff_ms']:.3f} ms")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
