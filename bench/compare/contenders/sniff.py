"""One sniffer on the start of a file or the whole of it: `sniff.py TOOL PATH BYTES` with TOOL one
of quorle, csv, clevercsv and BYTES 0 for the whole file. Only the sniffing is timed; a call that
takes under 50 ms is repeated for a steadier mean."""

import sys
import time

from _child import run


def sniffer(tool):
    if tool == "quorle":
        import _csv_quorle_backend as q

        return q.sniff
    if tool == "csv":
        import csv

        return lambda text: csv.Sniffer().sniff(text).delimiter
    if tool == "clevercsv":
        import clevercsv

        def clever(text):
            dialect = clevercsv.Sniffer().sniff(text)
            if dialect is None:
                raise ValueError("no dialect found")
            return dialect.delimiter

        return clever
    sys.exit(f"unknown sniffer {tool}")


def work(tool, src, size):
    sniff = sniffer(tool)
    with open(src, "rb") as f:
        data = f.read(int(size)) if int(size) else f.read()
    text = data.decode("utf-8", errors="replace")
    del data
    t = time.perf_counter()
    delimiter = sniff(text)
    first = time.perf_counter() - t
    calls, total = 0, 0.0
    if first < 0.05:  # later calls on the same str, for a steadier figure
        t = time.perf_counter()
        while total < 0.2 and calls < 10000:
            sniff(text)
            calls += 1
            total = time.perf_counter() - t
    return {
        "delimiter": delimiter,
        "first_s": first,
        "again_s": total / calls if calls else None,
        "chars": len(text),
        "threads": "1",
    }


run(work)
