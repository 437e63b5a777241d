"""Memory of csv_quorle.read_batches on a large file: the batches are consumed and dropped, and a
thread inside the child samples the process's anonymous memory (RssAnon in /proc/self/status).

    python3 bench/arrow_bench.py --gen build/release/bench/gen_csv [--size 5G] [--preset clean]

The mapped input is page cache (RssFile), not counted against the stream; RssAnon is what the
pass, the queue of hand-overs and the batch being built hold. Target: under 300 MB.
"""

from __future__ import annotations

import argparse
import json
import pathlib
import subprocess
import sys
import tempfile

CHILD = r"""
import json, sys, threading, time
import pyarrow as pa
import csv_quorle

def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0

peak = [0]
done = threading.Event()
def sample():
    while not done.is_set():
        peak[0] = max(peak[0], status("RssAnon"))
        done.wait(0.02)
t = threading.Thread(target=sample, daemon=True)
t.start()
start = time.perf_counter()
batches = csv_quorle.read_batches(sys.argv[1])
reader = pa.RecordBatchReader.from_stream(batches)
rows = nbytes = 0
for batch in reader:
    rows += batch.num_rows
    nbytes += batch.nbytes
    del batch
wall = time.perf_counter() - start
done.set()
t.join()
peak[0] = max(peak[0], status("RssAnon"))
print(json.dumps({"rows": rows, "arrow_bytes": nbytes, "wall_s": wall,
                  "rss_anon_peak_kb": peak[0], "vm_hwm_kb": status("VmHWM"),
                  "good_rows": batches.report.good_rows}))
"""


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--gen", default="build/release/bench/gen_csv")
    ap.add_argument("--size", default="5G")
    ap.add_argument("--preset", default="clean", choices=["clean", "dirty"])
    ap.add_argument("--data", default=tempfile.gettempdir())
    ap.add_argument("--file", help="an existing file instead of a generated one")
    args = ap.parse_args()
    path = pathlib.Path(args.file) if args.file else (
        pathlib.Path(args.data) / f"{args.preset}-{args.size}.csv")
    if not path.exists():
        subprocess.run([args.gen, "--preset", args.preset, "--header", "--size", args.size,
                        str(path)], check=True)
    out = subprocess.run([sys.executable, "-c", CHILD, str(path)], check=True,
                         capture_output=True, text=True).stdout
    r = json.loads(out.strip().splitlines()[-1])
    mb = path.stat().st_size / 1e6
    print(f"{path.name}: {mb:.0f} MB, {r['rows']} rows, {r['arrow_bytes'] / 1e6:.0f} MB of batches"
          f" in {r['wall_s']:.1f} s ({mb / r['wall_s']:.0f} MB/s)")
    print(f"RssAnon peak {r['rss_anon_peak_kb'] / 1024:.0f} MB (target < 300 MB), "
          f"VmHWM {r['vm_hwm_kb'] / 1024:.0f} MB (includes the mapped input's page cache)")


if __name__ == "__main__":
    main()
