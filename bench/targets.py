"""The package's speed and memory targets, measured side by side in one run, as one table.

    python3 bench/targets.py [--scale 1] [--rounds 5] [--only ROW[,ROW...]] [--markdown FILE]
                             [--gen PATH] [--threads 2]

Rows (--only takes these names):
  clean   rescue of a 1 GB clean file, a whole process, against `cp` of the same file
  dirty   the same on the generator's dirty preset
  arrow   read_arrow of a 500 MB clean file against pyarrow.csv, polars (infer_schema=False)
          and DuckDB (all_varchar), each peer with --threads threads, every column as text
  small   1 MB files in one process, one after another: rescue's MB/s, and detect's time a file
  memory  rescue of a 5 GB file: its peak RssAnon, beside read_batches' on the same file
  dask    csv_quorle.dask.read_csv of one 8 GB file on a LocalCluster of 2 worker processes
          against 1, with the same output (a digest of every partition)

Inputs come from gen_csv (deterministic: fixed presets and seeds), built from bench/gen_csv.cpp
unless --gen names a binary; the timed rows' inputs and outputs go to /dev/shm, so that the
disk's write-back does not set the pace, the memory and Dask rows' to $TMPDIR; all are removed
at the end. --scale multiplies every size (0.01 runs every row in about a minute). Each
contender runs in a process of its own, round-robin with the others of its row, --rounds times;
the figure is its fastest run. Peers that are not installed show as missing.
"""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import importlib.util
import json
import logging
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable, Iterator

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import memory_bench  # noqa: E402
import package_bench  # noqa: E402

MB = 1e6
PEERS = ("pyarrow", "polars", "duckdb")  # the names of timed_work.py and of their modules


@dataclasses.dataclass
class Row:
    name: str
    label: str
    measured: str = ""
    ratio: str = ""
    target: str = ""
    met: bool | None = None  # None: not measured
    note: str = ""

    @property
    def verdict(self) -> str:
        return {True: "met", False: "not met", None: "not measured"}[self.met]


class Inputs:
    """Generated files, made once each and removed with their folders."""

    def __init__(self, gen: str | None, scale: float) -> None:
        self.scale = scale
        self.fast = pathlib.Path(tempfile.mkdtemp(
            prefix="quorle-targets-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None))
        self.slow = pathlib.Path(tempfile.mkdtemp(prefix="quorle-targets-"))
        self.gen = gen or self._build_gen()

    def _build_gen(self) -> str:
        exe = self.slow / "gen_csv"
        subprocess.run(["g++", "-std=c++20", "-O2", "-pthread", str(HERE / "gen_csv.cpp"),
                        "-o", str(exe)], check=True)
        return str(exe)

    def scaled(self, nbytes: float) -> int:
        return max(64 << 10, int(nbytes * self.scale))

    def file(self, preset: str, nbytes: int, *, seed: int = 1, fast: bool = True) -> pathlib.Path:
        path = (self.fast if fast else self.slow) / f"{preset}-{nbytes}-{seed}.csv"
        if not path.exists():
            subprocess.run([self.gen, "--preset", preset, "--header", "--seed", str(seed),
                            "--size", str(nbytes), str(path)], check=True)
        return path

    def scratch(self, fast: bool = True) -> pathlib.Path:
        return pathlib.Path(tempfile.mkdtemp(dir=self.fast if fast else self.slow))

    def remove(self) -> None:
        shutil.rmtree(self.fast, ignore_errors=True)
        shutil.rmtree(self.slow, ignore_errors=True)


def fastest(contenders: dict[str, Callable[[], float]], rounds: int) -> dict[str, float]:
    """The fastest of `rounds` runs of each contender, taking turns so that a change in the
    machine's load falls on every contender alike."""
    best = {name: float("inf") for name in contenders}
    for _ in range(rounds):
        for name, run in contenders.items():
            best[name] = min(best[name], run())
    return best


def whole_process(cmd: list[str]) -> Callable[[], float]:
    return lambda: package_bench.timed(cmd)[0]


def work(name: str, threads: int, *args: object) -> dict:
    """What bench/timed_work.py reports of one run of `name`."""
    done = subprocess.run([sys.executable, str(HERE / "timed_work.py"), name, str(threads),
                           *map(str, args)], check=True, capture_output=True, text=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def missing(*modules: str) -> list[str]:
    return [m for m in modules if importlib.util.find_spec(m) is None]


def against_cp(preset: str, target: float, inputs: Inputs, args: argparse.Namespace) -> Row:
    path = inputs.file(preset, inputs.scaled(1 << 30))
    out = inputs.scratch()
    best = fastest({
        "cp": whole_process(["cp", str(path), str(out / "cp.csv")]),
        "rescue": whole_process([sys.executable, "-c", package_bench.RESCUE, str(path),
                                 str(out / "out.csv"), str(out / "quarantine.csv")]),
    }, args.rounds)
    shutil.rmtree(out)
    ratio = best["rescue"] / best["cp"]
    size = path.stat().st_size / MB
    return Row(preset, f"`rescue`, {size:.0f} MB {preset}, vs `cp`",
               f"{best['rescue']:.2f} s ({size / best['rescue']:.0f} MB/s); cp {best['cp']:.2f} s",
               f"{ratio:.2f} x cp", f"<= {target} x", ratio <= target)


def row_clean(inputs: Inputs, args: argparse.Namespace) -> Iterator[Row]:
    yield against_cp("clean", 1.3, inputs, args)


def row_dirty(inputs: Inputs, args: argparse.Namespace) -> Iterator[Row]:
    yield against_cp("dirty", 2.0, inputs, args)


def row_arrow(inputs: Inputs, args: argparse.Namespace) -> Iterator[Row]:
    path = inputs.file("clean", inputs.scaled(500e6))
    size = path.stat().st_size / MB
    label = f"`read_arrow`, {size:.0f} MB clean, vs the fastest peer ({args.threads} threads)"
    absent = missing(*PEERS)
    names = ["read_arrow"] + [p for p in PEERS if p not in absent]
    if "pyarrow" in absent or len(names) == 1:  # read_arrow needs pyarrow
        yield Row("arrow", label, note="missing: " + ", ".join(absent))
        return
    best = fastest({n: lambda n=n: work(n, args.threads, path)["work_s"] for n in names},
                   args.rounds)
    ours = best.pop("read_arrow")
    peer = min(best, key=best.__getitem__)
    speedup = best[peer] / ours
    note = "; ".join(f"{n} {s:.2f} s ({s / ours:.2f} x)" for n, s in best.items())
    if absent:
        note += "; missing: " + ", ".join(absent)
    yield Row("arrow", label, f"{ours:.2f} s ({size / ours:.0f} MB/s); {peer} {best[peer]:.2f} s",
              f"{speedup:.2f} x the speed of {peer}", ">= 2 x", speedup >= 2, note)


def row_small(inputs: Inputs, args: argparse.Namespace) -> Iterator[Row]:
    count = max(2, round(100 * inputs.scale))
    paths = [inputs.file("clean", 1 << 20, seed=seed) for seed in range(1, count + 1)]
    total = sum(p.stat().st_size for p in paths) / MB
    out = inputs.scratch()
    best = fastest({
        "rescue": lambda: work("rescue_each", 1, out, *paths)["work_s"],
        "detect": lambda: work("detect_each", 1, *paths)["median_s"],
    }, args.rounds)
    shutil.rmtree(out)
    speed = total / best["rescue"]
    yield Row("small", f"`rescue` of {count} 1 MB files, one process, one after another",
              f"{speed:.0f} MB/s ({best['rescue'] / count * 1e3:.1f} ms a file)", "",
              ">= 300 MB/s", speed >= 300)
    ms = best["detect"] * 1e3
    yield Row("detect", "`detect` of a 1 MB file (median over the files)", f"{ms:.2f} ms", "",
              "<= 2 ms", ms <= 2)


def row_memory(inputs: Inputs, args: argparse.Namespace) -> Iterator[Row]:
    path = inputs.file("clean", inputs.scaled(5 << 30), fast=False)
    size = path.stat().st_size / MB
    label = f"`rescue()` of a {size:.0f} MB file: peak RssAnon"
    if missing("pyarrow"):
        yield Row("memory", label, note="pyarrow missing: read_batches not measured")
        return
    out = inputs.scratch(fast=False)
    peak = {mode: memory_bench.run_case(mode, path, out, "")["anon_peak"] / MB
            for mode in ("rescue", "batches")}
    shutil.rmtree(out)
    yield Row("memory", label, f"{peak['rescue']:.0f} MB; read_batches {peak['batches']:.0f} MB",
              f"{peak['rescue'] / peak['batches']:.2f} x read_batches", "< 300 MB",
              peak["rescue"] < 300)


def digest(frame):  # runs on the workers: one row per partition
    """The partition's column names, row count and text, hashed through Arrow (a tenth of the
    cost of pandas' own row hashing, which would otherwise outweigh the read)."""
    import hashlib

    import numpy as np
    import pandas as pd
    import pyarrow as pa

    sha = hashlib.sha256()
    for name in frame.columns:
        column = pa.array(frame[name])
        if isinstance(column, pa.ChunkedArray):
            column = column.combine_chunks()
        column = column.cast(pa.large_string())
        _, offsets, data = column.buffers()
        ends = np.frombuffer(offsets, dtype=np.int64)[column.offset:column.offset + len(column) + 1]
        sha.update(f"{name}\x1f{column.null_count}\x1f".encode())
        sha.update((ends - ends[0]).tobytes())
        if data is not None:
            sha.update(memoryview(data)[ends[0]:ends[-1]])
    return pd.DataFrame({"rows": [len(frame)], "sha256": [sha.hexdigest()]})


def row_dask(inputs: Inputs, args: argparse.Namespace) -> Iterator[Row]:
    path = inputs.file("clean", inputs.scaled(8 << 30), fast=False)
    size = path.stat().st_size / MB
    label = f"one {size:.0f} MB file on Dask, 2 workers vs 1"
    absent = missing("dask", "distributed", "pandas", "pyarrow")
    if absent:
        yield Row("dask", label, note="missing: " + ", ".join(absent))
        return
    import dask
    import distributed
    import pandas as pd

    import csv_quorle.dask as cq_dask

    logging.getLogger("distributed").setLevel(logging.CRITICAL)  # the cluster's chatter
    meta = pd.DataFrame({"rows": pd.Series(dtype="int64"), "sha256": pd.Series(dtype="object")})
    frame = cq_dask.read_csv(str(path))
    outputs: dict[int, object] = {}
    clients = {}
    with contextlib.ExitStack() as stack:
        # The cluster's own folders (locks, spill) go with the inputs, not to $TMPDIR.
        stack.enter_context(dask.config.set(
            {"temporary-directory": str(inputs.scratch(fast=False))}))
        for workers in (1, 2):
            cluster = stack.enter_context(distributed.LocalCluster(
                n_workers=workers, processes=True, threads_per_worker=1, host="127.0.0.1",
                dashboard_address=":0", silence_logs=logging.ERROR))
            clients[workers] = stack.enter_context(distributed.Client(cluster))
            clients[workers].run(lambda: __import__("csv_quorle.dask") and None)  # warm imports

        def run(workers: int) -> float:
            start = time.perf_counter()
            result = clients[workers].compute(frame.map_partitions(digest, meta=meta)).result()
            outputs[workers] = result.to_dict("list")
            return time.perf_counter() - start

        best = fastest({f"{w} workers": lambda w=w: run(w) for w in (1, 2)}, args.rounds)
    one, two = best["1 workers"], best["2 workers"]
    same = outputs[1] == outputs[2]
    yield Row("dask", label,
              f"{two:.2f} s with 2, {one:.2f} s with 1; {frame.npartitions} partition(s);"
              f" output {'identical' if same else 'DIFFERS'}",
              f"{one / two:.2f} x", ">= 1.7 x, identical output", one / two >= 1.7 and same)


ROWS: dict[str, Callable[[Inputs, argparse.Namespace], Iterator[Row]]] = {
    "clean": row_clean, "dirty": row_dirty, "arrow": row_arrow, "small": row_small,
    "memory": row_memory, "dask": row_dask,
}


def markdown(rows: list[Row], header: str) -> str:
    lines = [header, "", "| | measured | ratio | target | |", "|---|---|---|---|---|"]
    lines += [f"| {r.label} | {r.measured} | {r.ratio} | {r.target} | {r.verdict} |"
              for r in rows]
    notes = [f"- {r.name}: {r.note}" for r in rows if r.note]
    return "\n".join(lines + ([""] + notes if notes else [])) + "\n"


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--scale", type=float, default=1.0, help="multiplies every input size")
    ap.add_argument("--rounds", type=int, default=5, help="runs of each contender (fastest wins)")
    ap.add_argument("--only", help="rows, comma-separated: " + ",".join(ROWS))
    ap.add_argument("--markdown", help="also write the table to this file")
    ap.add_argument("--gen", help="a gen_csv binary (default: built from bench/gen_csv.cpp)")
    ap.add_argument("--threads", type=int, default=2, help="threads for every peer")
    args = ap.parse_args()
    wanted = args.only.split(",") if args.only else list(ROWS)
    unknown = sorted(set(wanted) - set(ROWS))
    if unknown:
        ap.error(f"unknown rows {unknown}; choose from {','.join(ROWS)}")

    load = os.getloadavg()
    inputs = Inputs(args.gen, args.scale)
    rows: list[Row] = []
    try:
        for name in wanted:
            for row in ROWS[name](inputs, args):
                rows.append(row)
                print(f"{row.label}: {row.measured or '-'}  [{row.ratio or '-'}]"
                      f"  target {row.target or '-'}: {row.verdict}"
                      + (f"  ({row.note})" if row.note else ""), flush=True)
    finally:
        inputs.remove()
    header = (f"scale {args.scale}, fastest of {args.rounds}, peers on {args.threads} threads;"
              f" load average {load[0]:.1f} before, {os.getloadavg()[0]:.1f} after,"
              f" on {os.cpu_count()} processors")
    table = markdown(rows, header)
    print("\n" + table, end="")
    if args.markdown:
        pathlib.Path(args.markdown).write_text(table)


if __name__ == "__main__":
    main()
