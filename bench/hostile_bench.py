"""Growth of the cost of hostile inputs: how time and memory scale when the input doubles.

    python3 bench/hostile_bench.py [--runs 3] [--via quorle_file|reader] [--only SHAPE ...]
                                   [--scale 1.0] [--dir DIR]

For every shape, inputs of size S and 2S are written to a scratch directory, and each is rescued
in a child process of its own (with the module the running interpreter imports), so that the
child's peak memory (VmHWM, reset before each run) is the cost of that one input. The child times the call alone
(interpreter start-up and import excluded), at least three times and for at least half a second,
and keeps the fastest; the figure per size is the median over --runs children, which alternate
between the two sizes so that both meet the same load of the machine. Times are the CPU time of
the child (user and system) during the call, which other work on a shared machine disturbs far
less than wall time; the ratio of wall times is shown beside. The verdict is on growth only:
time(2S) / time(S) must stay at or below 2.2, whatever the absolute times are on this machine. The
exit status is 1 when a shape grows faster.

The clean output goes to /dev/null, so that the write-back of the file system does not blur the
figures (the module still formats and writes every line); --to-disk writes it to a new file each
time. Inputs are synced to disk before they are timed. --scale multiplies every size (0.1 for a
quick look); --via reader creates a QuorleReader and iterates it to the end instead of calling
quorle_file.
"""

import argparse
import json
import math
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile

MB = 1 << 20
LIMIT = 2.2


def single_line(n):
    return b"x" * n


def wide_row(fields):
    return b"f," * (fields - 1) + b"f\n"


def blank_lines(lines):
    return b"\n" * lines


def quotes_only(n):
    return b'"' * n


def closing_quotes(n):
    # "x"x"x..."x", on one line: every quote could be the one that closes the field.
    return b'"' + b'x"' * ((n - 2) // 2) + b","


def cr_lf_alternations(n):
    return b"\r\n\n\r" * (n // 4)


def lone_quotes_in_field(n):
    # One quoted field, with a lone quote every eight bytes.
    return b'"' + b'abc"def ' * ((n - 3) // 8) + b'"\n'


# name, unit of S, S, builder of an input of a given size (in that unit)
SHAPES = [
    # Sniffing and counting columns read a single line five times more; up to about the size of
    # the last-level cache those passes find it there, so 50 -> 100 MB also crosses that border.
    ("single line", "MB", 50, lambda s: single_line(s * MB)),
    ("single line", "MB", 100, lambda s: single_line(s * MB)),
    ("one row of fields", "fields", 1_000_000, wide_row),
    ("blank lines", "lines", 5_000_000, blank_lines),
    ("quote bytes only", "MB", 50, lambda s: quotes_only(s * MB)),
    ('"x"x"x..."x", on one line', "MB", 25, lambda s: closing_quotes(s * MB)),
    ("CR/LF alternations", "MB", 25, lambda s: cr_lf_alternations(s * MB)),
    ("quoted field of lone quotes", "MB", 50, lambda s: lone_quotes_in_field(s * MB)),
]

CHILD = r"""
import json, os, sys, time
import _csv_quorle_backend as q
src, out, via = sys.argv[1:4]


def peak_kb():
    with open("/proc/self/status") as status:
        return next(int(l.split()[1]) for l in status if l.startswith("VmHWM:"))


best, best_wall, spent, runs, peak = float("inf"), float("inf"), 0.0, 0, 0
while runs < 3 or (spent < 0.5 and runs < 50):
    if out != os.devnull and os.path.exists(out):
        os.unlink(out)  # a new file, not the truncation of the last one
    # Written through and let go before every run, so that no run finds the input still in the
    # processor's caches from the run before (an input smaller than the last-level cache would
    # look faster than a larger one); then the peak is reset, to hold the run's own.
    scrub = bytearray(b"\1") * (256 << 20)
    del scrub
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")
    t, c = time.perf_counter(), time.process_time()
    if via == "quorle_file":
        q.quorle_file(src, out)
    else:
        for row in q.open(src):
            pass
    wall, cpu = time.perf_counter() - t, time.process_time() - c
    best, best_wall, spent, runs = min(best, cpu), min(best_wall, wall), spent + wall, runs + 1
    peak = max(peak, peak_kb())
if out != os.devnull and os.path.exists(out):
    os.unlink(out)
print(json.dumps({"seconds": best, "wall": best_wall, "hwm_kb": peak, "runs": runs}))
"""


def child(path, out, via):
    done = subprocess.run([sys.executable, "-c", CHILD, str(path), str(out), via],
                          capture_output=True, text=True)
    if done.returncode != 0:
        raise SystemExit(f"{path.name}: the child failed\n{done.stderr}")
    return json.loads(done.stdout)


def measure(paths, out, via, runs):
    """Children for every path in turn, round after round, so that both sizes meet the same load."""
    results = {path: [] for path in paths}
    for _ in range(runs):
        for path in paths:
            results[path].append(child(path, out, via))
    return [{
        "seconds": statistics.median(r["seconds"] for r in rs),
        "wall": statistics.median(r["wall"] for r in rs),
        "hwm_mb": max(r["hwm_kb"] for r in rs) / 1024,
        "bytes": path.stat().st_size,
    } for path, rs in results.items()]


def amount(unit, value):
    return f"{value:g} {unit}" if unit == "MB" else f"{value:,} {unit}"


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--runs", type=int, default=3, help="children per size (median)")
    ap.add_argument("--via", choices=["quorle_file", "reader"], default="quorle_file")
    ap.add_argument("--scale", type=float, default=1.0, help="multiplies every size")
    ap.add_argument("--only", nargs="*", help="shapes whose name contains one of these words")
    ap.add_argument("--dir", help="scratch directory (default: a new one under $TMPDIR)")
    ap.add_argument("--to-disk", action="store_true",
                    help="write the clean output to a file in the scratch directory, not to /dev/null")
    args = ap.parse_args()

    scratch = pathlib.Path(tempfile.mkdtemp(prefix="quorle-hostile-", dir=args.dir))
    out = scratch / "out.csv" if args.to_disk else pathlib.Path(os.devnull)
    header = (f"{'shape':30s} {'S':>18s} {'t(S) s':>9s} {'t(2S) s':>9s} {'ratio':>6s} {'wall':>6s} "
              f"{'peak(S) MB':>11s} {'peak(2S) MB':>12s} {'MB/s(2S)':>9s}  verdict")
    target = f", output to {out}" if args.via == "quorle_file" else ""
    print(f"{sys.version.split()[0]}, via {args.via}{target}, median of {args.runs} children per size\n")
    print(header)
    print("-" * len(header))
    failed = []
    try:
        for name, unit, base, build in SHAPES:
            if args.only and not any(word in name for word in args.only):
                continue
            size = max(1, math.ceil(base * args.scale)) if unit == "MB" else max(1, int(base * args.scale))
            paths = []
            for factor in (1, 2):
                path = scratch / f"in-{factor}.csv"
                data = build(size * factor)
                with open(path, "wb") as f:
                    f.write(data)
                    os.fsync(f.fileno())  # written back before any timing, not during it
                del data
                paths.append(path)
            small, big = measure(paths, out, args.via, args.runs)
            for path in paths:
                path.unlink()
            ratio = big["seconds"] / small["seconds"]
            verdict = "ok" if ratio <= LIMIT else f"GROWS (> {LIMIT})"
            if ratio > LIMIT:
                failed.append(name)
            print(f"{name:30s} {amount(unit, size):>18s} {small['seconds']:9.3f} {big['seconds']:9.3f} "
                  f"{ratio:6.2f} {big['wall'] / small['wall']:6.2f} {small['hwm_mb']:11.0f} "
                  f"{big['hwm_mb']:12.0f} {big['bytes'] / MB / big['seconds']:9.0f}  {verdict}", flush=True)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    if failed:
        print(f"\ngrowing faster than {LIMIT} x per doubling: {', '.join(failed)}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
