"""csv-quorle against its peers, on generated clean and dirty files, in one command.

    python -m venv /tmp/venv-bench
    /tmp/venv-bench/bin/pip install -r bench/requirements.txt .
    /tmp/venv-bench/bin/python -m bench.compare --sizes 100M,1G      # from the top of the checkout
    /tmp/venv-bench/bin/python bench/compare --sizes 20M --runs 2    # the same, a quick look

For every size it writes a clean and a dirty file with gen_csv (both with a header; the dirty one
with its truth file), then runs three groups of contenders, each as its own process, round-robin,
after one warm-up round, with the input in the page cache:

- rescue, file to file: cp, quorle_file (as it comes, and with padding and merging off), the
  by-hand csv script, pandas read_csv (C and pyarrow engines) + to_csv, polars read_csv +
  write_csv, duckdb COPY (SELECT * FROM read_csv(...)) TO;
- readers: `for row in q.open(path)` against `for row in csv.reader(f)`;
- sniffers: q.sniff, csv.Sniffer and clevercsv's Sniffer, on the first 64 KiB and on the whole
  file (with a time limit and a memory cap).

Then it checks every rescue output of the dirty file against the truth file (quality.py), and writes
bench/results/results.md, results.png and results.json. Only wall times within one run are
compared; the machine, its load and the versions are written beside them.
"""

import argparse
import json
import os
import pathlib
import platform
import resource
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import quality  # noqa: E402
import report  # noqa: E402

REPO = HERE.parent.parent
CHILDREN = HERE / "contenders"
GEN_FLAGS = {"clean": ["--preset", "clean", "--header"], "dirty": ["--preset", "dirty", "--header"]}
SAMPLE = 64 * 1024


# ---------------------------------------------------------------------------------------------
# Running one child


class Outcome:
    def __init__(self, wall, rss_kb, status, info, error=""):
        self.wall, self.rss_kb, self.status, self.info, self.error = wall, rss_kb, status, info, error


TIME = "/usr/bin/time"


def run_child(cmd, timeout, memory_cap=None, reports=True):
    """Runs `cmd`; returns its wall time, peak RSS, status (ok, aborted, crashed, timed out,
    failed) and the JSON line it printed (`reports`: one is expected).

    The peak RSS is what /usr/bin/time reports (%M, the child's ru_maxrss). It is not taken from
    this process's own wait4: a child forked from here starts out with this process's resident
    pages, and the kernel carries their high-water mark across exec. Without /usr/bin/time it is
    the VmHWM that a contender script reads at exit (none for cp).
    """

    def limit():
        if memory_cap:
            resource.setrlimit(resource.RLIMIT_AS, (memory_cap, memory_cap))

    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err, \
            tempfile.NamedTemporaryFile(mode="r") as usage:
        timed = [TIME, "-f", "%M", "-o", usage.name, *cmd] if os.access(TIME, os.X_OK) else cmd
        start = time.perf_counter()
        proc = subprocess.Popen(
            timed, stdout=out, stderr=err, stdin=subprocess.DEVNULL, start_new_session=True,
            preexec_fn=limit if memory_cap else None,
        )
        expired = threading.Event()

        def kill():
            expired.set()
            try:
                os.killpg(proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass

        timer = threading.Timer(timeout, kill)
        timer.start()
        try:
            proc.wait()
        finally:
            timer.cancel()
        wall = time.perf_counter() - start
        out.seek(0)
        err.seek(0)
        lines = out.read().decode(errors="replace").strip().splitlines()
        stderr = err.read().decode(errors="replace").strip().splitlines()
        measured = usage.read().strip().splitlines()
    info = {}
    if lines and lines[-1].startswith("{"):
        info = json.loads(lines[-1])
    rss = int(measured[-1]) if measured and measured[-1].isdigit() else info.get("hwm_kb", 0)
    code = proc.returncode
    killed = next((l for l in measured if "terminated by signal" in l), None)
    if expired.is_set():
        return Outcome(wall, rss, "timed out", info, f"killed after {timeout:.0f} s")
    if "error" in info:
        return Outcome(wall, rss, "aborted", info, info["error"])
    if code < 0 or killed:
        sig = -code if code < 0 else int(killed.split()[-1])
        return Outcome(wall, rss, "crashed", info, f"signal {signal.Signals(sig).name}")
    if code != 0 or (reports and not info):
        tail = " / ".join(stderr[-2:])[-300:]
        return Outcome(wall, rss, "failed", info, f"exit {code}: {tail}")
    return Outcome(wall, rss, "ok", info)


class Contender:
    def __init__(self, name, cmd, timeout, memory_cap=None, outputs=(), retry=None):
        self.name, self.cmd, self.timeout, self.memory_cap = name, cmd, timeout, memory_cap
        self.reports = cmd[0] == sys.executable  # a contender script prints its JSON line
        self.outputs = outputs  # files it writes, removed after the group
        self.retry = retry  # (error text, new command, note): run again that way on that error
        self.note = ""
        self.walls, self.rss, self.infos, self.last = [], [], [], None

    def summary(self):
        last = self.last
        ok = self.walls
        return {
            "name": self.name,
            "status": last.status,
            "error": last.error,
            "note": self.note,
            "walls": ok,
            "wall": statistics.median(ok) if ok else last.wall,
            "rss_kb": max(self.rss) if self.rss else last.rss_kb,
            "info": {**last.info, **medians(self.infos)},
        }


def medians(infos):
    """The median over the timed runs of every time a child reports."""
    keys = {k for info in infos for k, v in info.items() if k.endswith("_s") and v is not None}
    return {k: statistics.median(i[k] for i in infos if i.get(k) is not None) for k in keys}


def rounds(contenders, runs, label):
    """One warm-up round, then `runs` rounds, round-robin. A contender that timed out is not run
    again; one that aborts is, so its time to give up is measured like any other."""
    for round_ in range(runs + 1):
        for c in contenders:
            if c.last is not None and c.last.status == "timed out":
                continue
            o = run_child(c.cmd, c.timeout, c.memory_cap, c.reports)
            if c.retry and round_ == 0 and o.status == "aborted" and c.retry[0] in o.error:
                _, c.cmd, c.note = c.retry
                c.retry = None
                o = run_child(c.cmd, c.timeout, c.memory_cap, c.reports)
            c.last = o
            if round_:
                c.walls.append(o.wall)
                c.rss.append(o.rss_kb)
                if o.status == "ok":
                    c.infos.append(o.info)
            tag = "warm-up" if round_ == 0 else f"run {round_}/{runs}"
            extra = "" if o.status == "ok" else f"  {o.status}: {o.error[:100]}"
            print(f"  {label} {tag:9} {c.name:28} {o.wall:8.3f} s{extra}", flush=True)
    return [c.summary() for c in contenders]


# ---------------------------------------------------------------------------------------------
# Files


def find_gen(path):
    gen = pathlib.Path(path)
    if gen.exists():
        return gen
    build = REPO / "build" / "release"
    print(f"building gen_csv in {build}", flush=True)
    subprocess.run(
        ["cmake", "-S", str(REPO), "-B", str(build), "-G", "Ninja", "-DQUORLE_BUILD_BENCH=ON",
         "-DQUORLE_BUILD_MODULE=OFF"],
        check=True, stdout=subprocess.DEVNULL,
    )
    subprocess.run(["ninja", "-C", str(build), "gen_csv"], check=True, stdout=subprocess.DEVNULL)
    return build / "bench" / "gen_csv"


def generate(gen, kind, size, data):
    """The file (and truth file) for `kind` and `size`, made again only when its flags changed."""
    path = data / f"{kind}-{size}.csv"
    truth = data / f"{kind}-{size}.truth.csv" if kind == "dirty" else None
    cmd = [str(gen), *GEN_FLAGS[kind], "--size", size]
    if truth:
        cmd += ["--truth", str(truth)]
    cmd.append(str(path))
    stamp = data / f"{kind}-{size}.flags"
    wanted = " ".join(cmd[1:])
    if not (path.exists() and stamp.exists() and stamp.read_text() == wanted):
        print(f"generating {path.name}", flush=True)
        subprocess.run(cmd, check=True)
        stamp.write_text(wanted)
    return path, truth, " ".join(cmd[1:-1]).replace(str(data) + "/", "")


def warm(path):
    """Reads the file once so that it sits in the page cache."""
    with open(path, "rb") as f:
        while f.read(1 << 24):
            pass


def count_lines(path):
    n = 0
    with open(path, "rb") as f:
        while chunk := f.read(1 << 24):
            n += chunk.count(b"\n")
    return n


# ---------------------------------------------------------------------------------------------
# The groups


def py(script, *args):
    return [sys.executable, str(CHILDREN / script), *map(str, args)]


def rescue_contenders(src, out, timeout):
    o = {k: out / f"{k}.csv" for k in ("cp", "q", "qs", "hand", "pdc", "pda", "pl", "duck")}
    qq, qsq = out / "q.quarantine.csv", out / "qs.quarantine.csv"
    serial = py("duckdb_copy.py", src, o["duck"], "serial")
    return [
        Contender("cp", ["cp", str(src), str(o["cp"])], timeout, outputs=(o["cp"],)),
        Contender("quorle_file", py("quorle_file.py", src, o["q"], qq), timeout,
                  outputs=(o["q"], qq)),
        Contender("quorle_file, no pad/merge", py("quorle_file.py", src, o["qs"], qsq, "strict"),
                  timeout, outputs=(o["qs"], qsq)),
        Contender("by-hand csv script", py("by_hand.py", src, o["hand"]), timeout,
                  outputs=(o["hand"],)),
        Contender("pandas (c)", py("pandas_read_csv.py", src, o["pdc"], "c"), timeout,
                  outputs=(o["pdc"],)),
        Contender("pandas (pyarrow)", py("pandas_read_csv.py", src, o["pda"], "pyarrow"), timeout,
                  outputs=(o["pda"],)),
        Contender("polars", py("polars_read_csv.py", src, o["pl"]), timeout, outputs=(o["pl"],)),
        Contender("duckdb", py("duckdb_copy.py", src, o["duck"]), timeout, outputs=(o["duck"],),
                  retry=("parallel=false", serial,
                         "parallel = false: duckdb refuses null_padding with line breaks inside "
                         "quoted fields in its parallel reader")),
    ]


def arrow_contenders(src, timeout):
    """Into an Arrow table (or a polars DataFrame), every column as text."""
    serial = py("duckdb_arrow.py", src, "serial")
    return [
        Contender("csv_quorle.read_arrow", py("quorle_arrow.py", src), timeout),
        Contender("pyarrow.csv.read_csv", py("pyarrow_read_csv.py", src), timeout),
        Contender("polars.read_csv", py("polars_arrow.py", src), timeout),
        Contender("duckdb to arrow", py("duckdb_arrow.py", src), timeout,
                  retry=("parallel=false", serial, "parallel = false, as duckdb asks")),
    ]


def assess_all(results, contenders, truth_index):
    """Quality of every rescue output of the dirty file; quorle_file's quarantine file counts as
    its report, pandas' bad-line warnings as pandas'."""
    by_name = {c.name: c for c in contenders}
    table = {}
    for r in results:
        name = r["name"]
        if name == "cp":
            continue
        if r["status"] != "ok":
            table[name] = {"status": r["status"], "error": r["error"]}
            continue
        c = by_name[name]
        quarantine = next((p for p in c.outputs if p.name.endswith("quarantine.csv")), None)
        start = time.perf_counter()
        q = quality.assess(
            truth_index, c.outputs[0], r["info"].get("reported_lines", ()), quarantine
        )
        q["status"] = "ok"
        table[name] = q
        print(f"  quality {name:28} {time.perf_counter() - start:6.1f} s  {q['counts']}", flush=True)
    return table


def one_file(kind, size, path, truth, args, out):
    mb = path.stat().st_size / 1e6
    label = f"{kind}-{size}"
    print(f"\n{label} ({mb:.0f} MB)", flush=True)
    entry = {"kind": kind, "size": size, "file": path.name, "bytes": path.stat().st_size}

    if "arrow" in args.groups:
        warm(path)
        entry["arrow"] = rounds(arrow_contenders(path, args.timeout), args.runs, label)
    if "rescue" not in args.groups:
        entry["records"] = count_lines(path) if not truth else None
        return entry

    warm(path)
    contenders = rescue_contenders(path, out, args.timeout)
    entry["rescue"] = rounds(contenders, args.runs, label)
    if truth:
        print(f"  reading {truth.name}", flush=True)
        index = quality.TruthIndex(truth)
        entry["records"] = index.count
        entry["quality"] = assess_all(entry["rescue"], contenders, index)
        del index
    else:
        entry["records"] = count_lines(path)  # no quoted fields: one record a line
    for r in entry["rescue"]:
        r["info"].pop("reported_lines", None)
    for c in contenders:
        for p in c.outputs:
            p.unlink(missing_ok=True)

    warm(path)
    readers = [
        Contender("q.open", py("read_quorle.py", path), args.timeout),
        Contender("csv.reader", py("read_csv_module.py", path), args.timeout),
    ]
    entry["readers"] = rounds(readers, args.runs, label)

    warm(path)
    sniffers = []
    for sample, tag in ((SAMPLE, "64 KiB"), (0, "whole file")):
        for tool, name in (("quorle", "q.sniff"), ("csv", "csv.Sniffer"), ("clevercsv", "clevercsv")):
            c = Contender(f"{name}, {tag}", py("sniff.py", tool, path, sample), args.sniff_timeout,
                          memory_cap=args.sniff_memory)
            sniffers.append(c)
    entry["sniffers"] = rounds(sniffers, args.sniff_runs, label)
    return entry


# ---------------------------------------------------------------------------------------------


def parse_bytes(text):
    units = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
    text = text.strip().upper()
    return int(float(text[:-1]) * units[text[-1]]) if text[-1] in units else int(text)


def main():
    ap = argparse.ArgumentParser(prog="python -m bench.compare", description=__doc__.split("\n")[0])
    ap.add_argument("--sizes", default="100M,1G", help="file sizes, comma-separated (K, M, G)")
    ap.add_argument("--runs", type=int, default=5, help="timed rounds after the warm-up")
    ap.add_argument("--sniff-runs", type=int, default=3, help="timed rounds of the sniffers")
    ap.add_argument("--timeout", type=float, default=1800, help="seconds a rescue or reader run may take")
    ap.add_argument("--sniff-timeout", type=float, default=60, help="seconds a sniffer run may take")
    ap.add_argument("--sniff-memory", type=parse_bytes, default="12G",
                    help="address-space cap of a sniffer process")
    ap.add_argument("--groups", default="rescue,arrow",
                    help="rescue (with readers and sniffers) and/or arrow, comma-separated")
    ap.add_argument("--gen", default=str(REPO / "build" / "release" / "bench" / "gen_csv"))
    ap.add_argument("--data", default="/tmp/bench-data", help="generated files and scratch outputs")
    ap.add_argument("--results", default=str(REPO / "bench" / "results"))
    args = ap.parse_args()

    args.groups = {g.strip() for g in args.groups.split(",")}
    sizes = [s.strip().upper() for s in args.sizes.split(",") if s.strip()]
    data = pathlib.Path(args.data)
    data.mkdir(parents=True, exist_ok=True)
    results_dir = pathlib.Path(args.results)
    results_dir.mkdir(parents=True, exist_ok=True)
    gen = find_gen(args.gen)
    out = pathlib.Path(tempfile.mkdtemp(prefix="compare-out-", dir=data))

    started = time.time()
    run = {
        "command": " ".join(["python -m bench.compare", *sys.argv[1:]]),
        "started": time.strftime("%Y-%m-%d %H:%M:%S %Z", time.localtime(started)),
        "machine": report.machine(),
        "versions": report.versions(),
        "load_before": os.getloadavg(),
        "runs": args.runs,
        "sniff_runs": args.sniff_runs,
        "files": [],
        "generator": {},
    }
    try:
        for size in sizes:
            for kind in ("clean", "dirty"):
                path, truth, flags = generate(gen, kind, size, data)
                run["generator"][kind] = flags.replace(f" --truth {kind}-{size}.truth.csv", " --truth ...")
                run["files"].append(one_file(kind, size, path, truth, args, out))
                run["load_after"] = os.getloadavg()
                run["minutes"] = (time.time() - started) / 60
                (results_dir / "results.json").write_text(json.dumps(run, indent=1))
                report.write(run, results_dir)  # what is done so far, in case a later file fails
    finally:
        shutil.rmtree(out, ignore_errors=True)
    print(f"\nwrote {results_dir / 'results.md'} and {results_dir / 'results.png'}")


if __name__ == "__main__":
    main()
