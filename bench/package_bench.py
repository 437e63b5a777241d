"""Whole-process figures of csv_quorle.rescue against cp and the backend's quorle_file.

    python3 bench/package_bench.py --gen build/release/bench/gen_csv [--size 1G] [--runs 5]
                                   [--batches] [--baseline DIR]

Each contender is its own process under /usr/bin/time -v, round-robin after one warm-up round,
with its input in the page cache; wall times are medians and are compared only within this run
(as ratios to `cp` of the same file). Peak memory is the child's maximum resident set.
Files: the generator's clean and dirty presets, a Windows-1252 file made from the clean one
(accented letters in place of some ASCII ones), and a file with 30,000 short rows against the
same file without them, for the cost of the repair list. --batches adds read_batches read by
pyarrow; --baseline DIR adds the same calls with another build of csv_quorle (a directory holding
the package) first on the path, in the same rounds, to compare two versions.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent

RESCUE = "import sys, csv_quorle; csv_quorle.rescue(sys.argv[1], sys.argv[2], sys.argv[3])"
BATCHES = (
    "import sys, csv_quorle, pyarrow as pa\n"
    "for b in pa.RecordBatchReader.from_stream(csv_quorle.read_batches(sys.argv[1])): pass"
)
BACKEND = (
    "import sys, _csv_quorle_backend as q; q.quorle_file(sys.argv[1], sys.argv[2], sys.argv[3])"
)


def timed(cmd: list[str]) -> tuple[float, float, float]:
    """Wall seconds, CPU seconds (user and system) and peak resident megabytes of one process. A
    command may start with PYTHONPATH=DIR, which goes to its environment."""
    env = None
    if cmd[0].startswith("PYTHONPATH="):
        env = dict(os.environ, PYTHONPATH=cmd[0].split("=", 1)[1])
        cmd = cmd[1:]
    t = time.perf_counter()
    done = subprocess.run(
        ["/usr/bin/time", "-v", *cmd], check=True, capture_output=True, text=True, env=env
    )
    wall = time.perf_counter() - t
    peak_kb = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", done.stderr)[1])
    cpu = sum(float(re.search(rf"{kind} time \(seconds\): ([\d.]+)", done.stderr)[1])
              for kind in ("User", "System"))
    return wall, cpu, peak_kb / 1e3


def rounds(contenders: dict[str, list[str]],
           runs: int) -> dict[str, tuple[float, float, float, float]]:
    """Median wall seconds, fastest wall seconds, least CPU seconds and peak megabytes of each
    contender. On a loaded machine the CPU seconds move least."""
    walls: dict[str, list[float]] = {name: [] for name in contenders}
    cpus: dict[str, list[float]] = {name: [] for name in contenders}
    peaks: dict[str, float] = {}
    for round_ in range(runs + 1):
        for name, cmd in contenders.items():
            wall, cpu, peak = timed(cmd)
            if round_:
                walls[name].append(wall)
                cpus[name].append(cpu)
            peaks[name] = max(peak, peaks.get(name, 0.0))
    return {name: (statistics.median(w), min(w), min(cpus[name]), peaks[name])
            for name, w in walls.items()}


def generate(gen: str, preset: str, size: str, path: pathlib.Path) -> pathlib.Path:
    if not path.exists():
        subprocess.run([gen, "--preset", preset, "--size", size, str(path)], check=True)
    return path


def windows_1252(clean: pathlib.Path, path: pathlib.Path) -> pathlib.Path:
    """The clean file with every 'e' after a 'd' as é (E9), every 'u' after a 'd' as ü (FC)."""
    if not path.exists():
        with open(clean, "rb") as src, open(path, "wb") as out:
            while chunk := src.read(64 << 20):
                out.write(chunk.replace(b"de", b"d\xe9").replace(b"du", b"d\xfc"))
    return path


def with_short_rows(clean: pathlib.Path, path: pathlib.Path, count: int) -> pathlib.Path:
    """The clean file with `count` rows, spread out, cut after their first field."""
    if not path.exists():
        with open(clean, "rb") as src:
            step = sum(1 for _ in src) // (count + 1)
        cut = 0
        with open(clean, "rb") as src, open(path, "wb") as out:
            for i, line in enumerate(src):
                if i and i % step == 0 and cut < count:
                    line = line.split(b",", 1)[0] + b"\n"
                    cut += 1
                out.write(line)
    return path


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--gen", required=True, help="path of the gen_csv binary")
    ap.add_argument("--size", default="1G")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--data", default=str(HERE / "data"))
    ap.add_argument("--files", default="clean,dirty,cp1252,repairs", help="which figures")
    ap.add_argument("--batches", action="store_true", help="also read_batches into pyarrow")
    ap.add_argument("--baseline", help="a directory holding another build of csv_quorle")
    args = ap.parse_args()
    data = pathlib.Path(args.data)
    data.mkdir(parents=True, exist_ok=True)
    scratch = pathlib.Path(tempfile.mkdtemp(prefix="quorle-bench-", dir=data))
    py = sys.executable
    try:
        clean = generate(args.gen, "clean", args.size, data / f"clean_{args.size}.csv")
        files = {
            "clean": clean,
            "dirty": generate(args.gen, "dirty", args.size, data / f"dirty_{args.size}.csv"),
        }
        if "cp1252" in args.files:
            files["cp1252"] = windows_1252(clean, data / f"cp1252_{args.size}.csv")
        wanted = args.files.split(",")
        for name, path in files.items():
            if name not in wanted:
                continue
            subprocess.run(["cat", str(path)], stdout=subprocess.DEVNULL, check=True)
            out, q = str(scratch / "out.csv"), str(scratch / "q.csv")
            contenders = {
                "cp": ["cp", str(path), str(scratch / "cp.csv")],
                "rescue": [py, "-c", RESCUE, str(path), out, q],
            }
            if name != "cp1252":
                contenders["quorle_file"] = [py, "-c", BACKEND, str(path), out, q]
            if args.batches:
                contenders["batches"] = [py, "-c", BATCHES, str(path)]
            if args.baseline:
                base = f"PYTHONPATH={os.path.abspath(args.baseline)}"
                for contender in [c for c in contenders if c != "cp"]:
                    contenders[contender + "@base"] = [base, *contenders[contender]]
            res = rounds(contenders, args.runs)
            size = path.stat().st_size
            cp = res["cp"][0]
            print(f"\n{name} {args.size} ({size / 1e6:.0f} MB)")
            for contender, (wall, best, cpu, peak) in res.items():
                print(
                    f"  {contender:16} {wall:7.3f} s (best {best:6.3f} s, cpu {cpu:6.2f} s)"
                    f"  {size / 1e6 / wall:6.0f} MB/s  {wall / cp:5.2f} x cp"
                    f"  peak {peak:6.0f} MB = {peak * 1e6 / size:.2f} x input"
                )

        if "repairs" not in wanted:
            return
        short = with_short_rows(clean, data / f"short_{args.size}.csv", 30_000)
        subprocess.run(["cat", str(clean), str(short)], stdout=subprocess.DEVNULL, check=True)
        out, q = str(scratch / "out.csv"), str(scratch / "q.csv")
        res = rounds(
            {
                "no repairs": [py, "-c", RESCUE, str(clean), out, q],
                "30,000 repairs": [py, "-c", RESCUE, str(short), out, q],
            },
            max(1, args.runs // 2),
        )
        base, more = res["no repairs"][3], res["30,000 repairs"][3]
        print(f"\nrepair list: peak {base:.0f} MB without, {more:.0f} MB with 30,000 repairs"
              f" ({(more / base - 1) * 100:+.1f} %)")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
