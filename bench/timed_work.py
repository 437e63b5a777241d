"""One contender of bench/targets.py, in a process of its own, timed without its imports.

    python3 bench/timed_work.py NAME THREADS ARGS...

Prints one JSON line: {"work_s": seconds of the work alone, ...what the work returned}. The
peers get THREADS threads each (the thread-count settings are made before their imports).
"""

from __future__ import annotations

import json
import os
import statistics
import sys
import time
from collections.abc import Callable
from typing import Any

Work = Callable[[], dict[str, Any]]


def read_arrow(threads: int, path: str) -> Work:
    import pyarrow  # noqa: F401  (read_arrow imports it on its first call)

    import csv_quorle

    return lambda: {"rows": csv_quorle.read_arrow(path).num_rows}


def pyarrow_csv(threads: int, path: str) -> Work:
    import pyarrow as pa
    import pyarrow.csv as pacsv

    pa.set_cpu_count(threads)
    pa.set_io_thread_count(threads)
    with open(path, "rb") as f:  # every column as text, as the others read it
        names = f.readline().decode().rstrip("\r\n").split(",")
    convert = pacsv.ConvertOptions(column_types={n: pa.string() for n in names})
    return lambda: {"rows": pacsv.read_csv(path, convert_options=convert).num_rows}


def polars_csv(threads: int, path: str) -> Work:
    os.environ["POLARS_MAX_THREADS"] = str(threads)
    import polars as pl

    return lambda: {"rows": pl.read_csv(path, infer_schema=False).height}


def duckdb_csv(threads: int, path: str) -> Work:
    import duckdb

    con = duckdb.connect()
    con.execute(f"SET threads = {threads}")
    literal = "'" + path.replace("'", "''") + "'"
    query = f"SELECT * FROM read_csv({literal}, all_varchar = true)"
    return lambda: {"rows": con.sql(query).to_arrow_table().num_rows}


def rescue_each(threads: int, out_dir: str, *paths: str) -> Work:
    """The files rescued one after another, the way a loop over a folder of exports runs."""
    import csv_quorle

    def work() -> dict[str, Any]:
        for i, path in enumerate(paths):
            csv_quorle.rescue(path, os.path.join(out_dir, f"{i}.csv"),
                              os.path.join(out_dir, f"{i}.quarantine.csv"))
        return {"files": len(paths)}

    # The imports behind a first call are no part of the figure.
    csv_quorle.rescue(paths[0], os.path.join(out_dir, "warm.csv"))
    return work


def detect_each(threads: int, *paths: str) -> Work:
    """detect() of each file; the figure is the median call."""
    import csv_quorle

    def work() -> dict[str, Any]:
        calls = []
        for path in paths:
            start = time.perf_counter()
            csv_quorle.detect(path)
            calls.append(time.perf_counter() - start)
        return {"median_s": statistics.median(calls)}

    csv_quorle.detect(paths[0])
    return work


CONTENDERS: dict[str, Callable[..., Work]] = {
    "read_arrow": read_arrow, "pyarrow": pyarrow_csv, "polars": polars_csv, "duckdb": duckdb_csv,
    "rescue_each": rescue_each, "detect_each": detect_each,
}

if __name__ == "__main__":
    name, threads, *args = sys.argv[1:]
    work = CONTENDERS[name](int(threads), *args)
    start = time.perf_counter()
    result = work()
    print(json.dumps({"work_s": time.perf_counter() - start, **result}))
