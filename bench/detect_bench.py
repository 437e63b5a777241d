"""Detection and the fixed cost of a rescue, on files of 1 MB.

    python3 bench/detect_bench.py [--size 1M] [--runs 15] [--files 8]

- `detect` on four kinds of export (clean, dirty, semicolon, a legacy code page with a
  preamble): ms a file, the fastest of `--runs`, in thread time (the machine is shared: CPU time
  of this thread, not wall time);
- `rescue` of the clean and dirty file: ms a file and MB/s, fastest of `--runs`;
- `rescue_many` with one worker over `--files` copies of the dirty file: MB/s, fastest of three.

Targets: detect within 2 ms a file; rescue's cost over the pass itself in the low milliseconds;
rescue_many at 300 MB/s or more a worker. The inputs are written to a temporary folder.
"""

import argparse
import pathlib
import random
import shutil
import tempfile
import time

import csv_quorle


def _size(text: str) -> int:
    units = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
    return int(text[:-1]) * units[text[-1]] if text[-1] in units else int(text)


def export(kind: str, size: int, seed: int = 1) -> bytes:
    """About `size` bytes of an export: `clean`, `dirty` (ragged rows, stray quotes, a BOM and
    CR LF), `semicolon` (decimal commas, quoted text) or `legacy` (cp1252 under a preamble)."""
    rnd = random.Random(seed)
    words = ["café", "Müller", "naïve", "Zürich", "señor", "façade", "crème", "river", "stone"]
    d = ";" if kind in ("semicolon", "legacy") else ","
    lines = ["Report generated 2026-01-01", ""] if kind == "legacy" else []
    lines.append(d.join(["id", "name", "city", "amount", "date", "note"]))
    n, i = 0, 0
    while n < size:
        i += 1
        amount = f"{rnd.randint(0, 99999)}{',' if d == ';' else '.'}{rnd.randint(0, 99):02d}"
        note = " ".join(rnd.choice(words) for _ in range(rnd.randint(2, 8)))
        cells = [str(i), rnd.choice(words), rnd.choice(words), amount,
                 f"2024-{rnd.randint(1, 12):02d}-{rnd.randint(1, 28):02d}", note]
        if kind == "semicolon" and rnd.random() < 0.2:
            cells[5] = f'"{note}; more"'
        if kind == "dirty":
            roll = rnd.random()
            if roll < 0.03:
                cells = cells[:3]
            elif roll < 0.05:
                cells[5] = f'"{note} "quoted" again"'
            elif roll < 0.1:
                cells[5] = f'"{note}, with a comma"'
        line = d.join(cells)
        lines.append(line)
        n += len(line) + 1
    end = "\r\n" if kind == "dirty" else "\n"
    data = (end.join(lines) + end).encode("cp1252" if kind == "legacy" else "utf-8")
    return b"\xef\xbb\xbf" + data if kind == "dirty" else data


def fastest(fn, runs: int) -> float:
    best = float("inf")
    for _ in range(runs):
        start = time.thread_time()
        fn()
        best = min(best, time.thread_time() - start)
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--size", default="1M")
    parser.add_argument("--runs", type=int, default=15)
    parser.add_argument("--files", type=int, default=8)
    args = parser.parse_args()
    size = _size(args.size)
    with tempfile.TemporaryDirectory(prefix="detect_bench.") as tmp:
        folder = pathlib.Path(tmp)
        paths = {}
        for kind in ("clean", "dirty", "semicolon", "legacy"):
            paths[kind] = folder / f"{kind}.csv"
            paths[kind].write_bytes(export(kind, size))
        print(f"files of {size / 1e6:.2f} MB; thread time, fastest of {args.runs}")
        for kind, path in paths.items():
            ms = fastest(lambda: csv_quorle.detect(path), args.runs) * 1e3
            print(f"detect   {kind:10} {ms:7.2f} ms")
        for kind in ("clean", "dirty"):
            path = paths[kind]
            out = folder / "out.csv"
            secs = fastest(lambda: csv_quorle.rescue(path, out), args.runs)
            mb = path.stat().st_size / 1e6
            print(f"rescue   {kind:10} {secs * 1e3:7.2f} ms  {mb / secs:7.1f} MB/s")
        many = folder / "many"
        many.mkdir()
        sources = []
        for k in range(args.files):
            sources.append(many / f"export_{k:03}.csv")
            shutil.copyfile(paths["dirty"], sources[-1])
        total = sum(p.stat().st_size for p in sources) / 1e6
        secs = fastest(lambda: csv_quorle.rescue_many(sources, folder / "many_out", workers=1), 3)
        print(f"rescue_many, 1 worker, {args.files} files: {secs * 1e3 / args.files:7.2f} ms a "
              f"file  {total / secs:7.1f} MB/s")


if __name__ == "__main__":
    main()
