"""Runs every loader on every polluted file made by make.py and scores it against the truth.

    python bench/polluted/make.py
    python bench/polluted/score.py [--dir build/polluted] [--loaders a,b] [--timeout 30] [--jobs 2]
                                   [--markdown bench/polluted/results.md] [--check]

Each loader runs in worker processes of its own (loaders.py): a load that raises, crashes the
worker or runs past the time limit is a failure (score 0) and the next file gets a fresh worker.
The score of a file is the sum of success and header, record and cell precision, recall and F1
(metrics.py, max 10); a loader's "simple" score is the mean over the files, its "weighted" score
the mean with each file weighted by how often its pollution occurs (variants.FREQUENCY).
--check also runs the truth itself as a loader, which must score 10 on every file.
Writes DIR/results.json (every file's figures and differences) and the markdown report.
"""

import argparse
import concurrent.futures
import csv
import importlib.metadata
import json
import pathlib
import platform
import queue
import shutil
import subprocess
import sys
import threading
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import metrics  # noqa: E402
from loaders import LOADERS, read_csv_file  # noqa: E402

DEFAULT_DIR = HERE.parent.parent / "build" / "polluted"
READY_TIMEOUT = 120.0
QUORLE = ("csv_quorle.rescue", "csv_quorle.read_batches")
PACKAGES = ("csv-quorle", "pandas", "polars", "duckdb", "clevercsv", "pyarrow")


class Worker:
    """One loader's worker process, replaced after a crash or a timeout."""

    def __init__(self, loader, workdir, log):
        self.loader, self.workdir, self.log = loader, workdir, log
        self.proc = None
        self.started = 0

    def _start(self):
        self.proc = subprocess.Popen(
            [sys.executable, str(HERE / "loaders.py"), self.loader, str(self.workdir)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=self.log,
            text=True,
            encoding="utf-8",
        )
        self.started += 1
        self.lines = queue.Queue()
        threading.Thread(target=self._read, args=(self.proc, self.lines), daemon=True).start()
        ready = self._next(READY_TIMEOUT)
        if ready is None or "ready" not in ready:
            raise RuntimeError(f"worker for {self.loader} did not start: {ready}")

    @staticmethod
    def _read(proc, lines):
        for line in proc.stdout:
            lines.put(line)
        lines.put(None)

    def _next(self, timeout):
        try:
            line = self.lines.get(timeout=timeout)
        except queue.Empty:
            return {"error": f"timed out after {timeout:g} s", "timeout": True}
        return None if line is None else json.loads(line)

    def ask(self, request, timeout):
        if self.proc is None:
            self._start()
        try:
            self.proc.stdin.write(json.dumps(request) + "\n")
            self.proc.stdin.flush()
            answer = self._next(timeout)
        except BrokenPipeError:
            answer = None
        if answer is None or answer.get("timeout"):
            self.stop()
            if answer is None:
                answer = {"error": f"worker crashed (exit status {self.proc.returncode})"}
            self.proc = None
        return answer

    def stop(self):
        if self.proc is None:
            return
        if self.proc.poll() is None:
            self.proc.kill()  # our own child, by its handle
        self.proc.wait()

    def close(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.stdin.close()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.stop()


def run_loader(loader, entries, truths, root, timeout):
    workdir = root / "work" / loader.replace(" ", "_")
    workdir.mkdir(parents=True, exist_ok=True)
    results = []
    with open(root / "logs" / f"{loader.replace(' ', '_')}.log", "w") as log:
        worker = Worker(loader, workdir, log)
        try:
            for entry in entries:
                request = {
                    "path": str(root / "files" / f"{entry['name']}.csv"),
                    "truth": str(root / "truth" / f"{entry['name']}.csv"),
                    "has_header": entry["has_header"],
                }
                start = time.perf_counter()
                answer = worker.ask(request, timeout)
                wall = time.perf_counter() - start
                want = truths[entry["name"]]
                got = None if "error" in answer else (answer["header"], answer["records"])
                figures = metrics.score(got, want)
                results.append(
                    {
                        "file": entry["name"],
                        "figures": figures,
                        "score": metrics.total(figures),
                        "seconds": answer.get("seconds", wall),
                        "error": answer.get("error"),
                        "differences": [] if got is None else metrics.differences(got, want),
                    }
                )
        finally:
            worker.close()
    shutil.rmtree(workdir, ignore_errors=True)
    return loader, results, worker.started


# ---------------------------------------------------------------------------------------------
# Summaries


def weighted_mean(values, weights):
    return sum(v * w for v, w in zip(values, weights, strict=True)) / sum(weights)


def summarize(loader, results, entries):
    weights = [e["weight"] for e in entries]
    scores = [r["score"] for r in results]

    def mean(key):
        return sum(r["figures"][key] for r in results) / len(results)

    by_class = {}
    for e, r in zip(entries, results, strict=True):
        by_class.setdefault(e["pollution"], []).append(r["score"])
    return {
        "loader": loader,
        "simple": sum(scores) / len(scores),
        "weighted": weighted_mean(scores, weights),
        "success": mean("success"),
        "header_f1": mean("header_f1"),
        "records_f1": mean("records_f1"),
        "cells_f1": mean("cells_f1"),
        "failures": sum(1 for r in results if r["error"]),
        "perfect": sum(1 for s in scores if s > 10 - 1e-9),
        "seconds": sum(r["seconds"] for r in results),
        "classes": {c: sum(v) / len(v) for c, v in by_class.items()},
    }


def versions():
    found = {}
    for name in PACKAGES:
        try:
            found[name] = importlib.metadata.version(name)
        except importlib.metadata.PackageNotFoundError:
            found[name] = "missing"
    return found


def markdown(summaries, all_results, entries, meta):
    classes = []
    for e in entries:
        if e["pollution"] not in classes:
            classes.append(e["pollution"])
    count = {c: sum(1 for e in entries if e["pollution"] == c) for c in classes}
    out = [
        "# Polluted files: results",
        "",
        f"{len(entries)} files, {meta['timeout']:g} s per load, Python {meta['python']}; "
        + ", ".join(f"{k} {v}" for k, v in meta["versions"].items())
        + f". Run {meta['date']}.",
        "",
        "| loader | simple | weighted | success | header F1 | record F1 | cell F1 | failed | perfect "
        "| seconds |",
        "|---|---|---|---|---|---|---|---|---|---|",
    ]
    for s in sorted(summaries, key=lambda s: -s["weighted"]):
        out.append(
            f"| {s['loader']} | {s['simple']:.2f} | {s['weighted']:.2f} | {s['success']:.3f} | "
            f"{s['header_f1']:.3f} | {s['records_f1']:.3f} | {s['cells_f1']:.3f} | {s['failures']} | "
            f"{s['perfect']} | {s['seconds']:.1f} |"
        )
    out += ["", "Mean score (of 10) by pollution class:", ""]
    out.append("| class (files) | " + " | ".join(s["loader"] for s in summaries) + " |")
    out.append("|---|" + "---|" * len(summaries))
    for c in classes:
        out.append(f"| {c} ({count[c]}) | " + " | ".join(f"{s['classes'][c]:.2f}" for s in summaries) + " |")
    for loader in QUORLE:
        if loader not in all_results:
            continue
        out += ["", f"## Where {loader} loses points", ""]
        lost = {}
        for e, r in zip(entries, all_results[loader], strict=True):
            lost.setdefault(e["pollution"], []).append((r["score"], e, r))
        order = sorted(lost.items(), key=lambda kv: -sum(10 - s for s, _, _ in kv[1]))
        for c, items in order:
            bad = sorted((it for it in items if it[0] < 10 - 1e-9), key=lambda it: it[0])
            if not bad:
                continue
            loss = sum(10 - s for s, _, _ in items)
            out.append(
                f"- **{c}**: {len(bad)} of {len(items)} files below 10, {loss:.2f} points lost "
                f"(mean {sum(s for s, _, _ in items) / len(items):.2f})"
            )
            for s, e, r in bad[:3]:
                out.append(f"  - `{e['name']}.csv` {s:.2f}" + (f": {r['error']}" if r["error"] else ""))
                out += [f"    - {line}" for line in r["differences"]]
    return "\n".join(out) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dir", type=pathlib.Path, default=DEFAULT_DIR)
    parser.add_argument("--loaders", default=",".join(k for k in LOADERS if k != "truth"))
    parser.add_argument("--timeout", type=float, default=30.0)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--markdown", type=pathlib.Path, default=HERE / "results.md")
    parser.add_argument("--check", action="store_true", help="also score the truth as a loader")
    args = parser.parse_args()

    root = args.dir.resolve()
    entries = json.loads((root / "manifest.json").read_text())["variants"]
    loaders = [name for name in args.loaders.split(",") if name]
    if args.check and "truth" not in loaders:
        loaders.append("truth")
    unknown = [name for name in loaders if name not in LOADERS]
    if unknown:
        sys.exit(f"unknown loaders {unknown}; known: {', '.join(LOADERS)}")
    csv.field_size_limit(1 << 30)
    truths = {e["name"]: read_csv_file(root / "truth" / f"{e['name']}.csv", e["has_header"]) for e in entries}
    (root / "logs").mkdir(exist_ok=True)

    start = time.perf_counter()
    all_results, restarts = {}, {}
    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        jobs = [pool.submit(run_loader, name, entries, truths, root, args.timeout) for name in loaders]
        for job in concurrent.futures.as_completed(jobs):
            name, results, started = job.result()
            all_results[name], restarts[name] = results, started
            print(f"{name}: done ({started} worker start{'s' if started != 1 else ''})", file=sys.stderr)
    try:
        (root / "work").rmdir()  # each loader's folder went with it
    except OSError:
        pass
    summaries = [summarize(name, all_results[name], entries) for name in loaders]

    if "truth" in all_results:
        imperfect = [r["file"] for r in all_results["truth"] if r["score"] < 10 - 1e-9]
        print("check: the truth scores 10 on every file" if not imperfect else f"check FAILED on {imperfect}")
    meta = {
        "timeout": args.timeout,
        "python": platform.python_version(),
        "versions": versions(),
        "date": time.strftime("%Y-%m-%d"),
        "wall_s": time.perf_counter() - start,
    }
    (root / "results.json").write_text(
        json.dumps({"meta": meta, "summaries": summaries, "results": all_results})
    )
    shown = [s for s in summaries if s["loader"] != "truth"]
    report = markdown(shown, all_results, entries, meta)
    args.markdown.write_text(report)
    for s in sorted(shown, key=lambda s: -s["weighted"]):
        print(
            f"{s['loader']:26} simple {s['simple']:5.2f}  weighted {s['weighted']:5.2f}  "
            f"failed {s['failures']:3}  {s['seconds']:6.1f} s"
        )
    print(f"{meta['wall_s']:.0f} s; report in {args.markdown}, every file in {root / 'results.json'}")


if __name__ == "__main__":
    main()
