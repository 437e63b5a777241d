"""Whole-process timings of the encoding step (csv_quorle's open_utf8) on generated exports.

    python3 bench/encoding_bench.py [--size 1G] [--runs 3]

Inputs (made once in bench/data/): a Windows-1252 export, the same text as UTF-8, and that UTF-8
with one stray Windows-1252 byte in every 2,000 records; with --gen, also gen_csv's clean (ASCII)
and dirty (UTF-8 with a few ill-formed sequences) presets; --only picks some of them. Each child
opens the file with ``encoding="auto"`` (with --engine-recodes, also ``engine_recodes=True``) and
closes it; it runs after one warm-up round, with its input in the page cache, beside `cp` of the
same file (with --rescue, also beside a whole csv_quorle.rescue). Figures are medians; peak
memory is the child's VmHWM. Run it with the interpreter that has csv_quorle installed.
"""

import argparse
import json
import pathlib
import random
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent

# The installed package's module: single-byte code pages go through its native part. Run the
# bench with the interpreter that has csv_quorle installed.
OPEN = f"""
import json, sys, time
from csv_quorle import _encoding as enc
t = time.perf_counter()
with enc.open_utf8(sys.argv[1], spill_dir=sys.argv[2], engine_recodes=sys.argv[3] == "1") as src:
    info = src.info
    size = len(src.buffer)
wall = time.perf_counter() - t
hwm = [l for l in open("/proc/self/status") if l.startswith("VmHWM")][0].split()[1]
print(json.dumps({{"hwm_kb": int(hwm), "open_s": wall, "out_bytes": size,
                  "encoding": info.encoding, "recoded": info.recoded_bytes}}))
"""

# The whole rescue of the same file, for --rescue.
RESCUE = """
import csv_quorle, json, sys
csv_quorle.rescue(sys.argv[1], sys.argv[2] + "/out.csv")
hwm = [l for l in open("/proc/self/status") if l.startswith("VmHWM")][0].split()[1]
print(json.dumps({"hwm_kb": int(hwm)}))
"""

WORDS = (
    "Müller Zoë Brontë Besançon Köln Renée Faßbender Straße café naïve déjà façade Ångström "
    "Jürgen Øresund Málaga Çelik Smith Jones London Paris Berlin order invoice paid open total "
    "shipped returned north south east west alpha beta gamma delta report value item stock"
).split()


def records(rng, n):
    """Exporter-like lines: id, name, city, date, amount with a euro sign, a short note."""
    out = []
    for i in range(n):
        note = " ".join(rng.choice(WORDS) for _ in range(rng.randint(3, 8)))
        out.append(
            f"{i},{rng.choice(WORDS)} {rng.choice(WORDS)},{rng.choice(WORDS)},"
            f"2024-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d},€{rng.randint(1, 99999) / 100:.2f},"
            f"“{note}”\r\n"
        )
    return "".join(out)


def generate(data, size):
    """The three inputs, each about `size` bytes: a block of records repeated."""
    paths = {k: data / f"enc_{k}_{size >> 20}M.csv" for k in ("cp1252", "utf8", "mostly")}
    if all(p.exists() for p in paths.values()):
        return paths
    rng = random.Random(7)
    text = records(rng, 40_000)
    blocks = {
        "cp1252": text.encode("cp1252"),
        "utf8": text.encode(),
        "mostly": "".join(
            line + ("\x00" if i % 2000 == 1999 else "")
            for i, line in enumerate(text.splitlines(keepends=True))
        ).encode().replace(b"\x00", b"\xe9"),
    }
    for key, block in blocks.items():
        with open(paths[key], "wb") as f:
            for _ in range(max(1, size // len(blocks["cp1252"]))):
                f.write(block)
    return paths


def run(cmd):
    """(wall s, CPU s (user + system), the child's JSON line)."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    t = time.perf_counter()
    out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
    wall = time.perf_counter() - t
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
    lines = out.strip().splitlines()
    return wall, cpu, (json.loads(lines[-1]) if lines and lines[-1].startswith("{") else {})


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--size", default="1G", help="bytes per input; K, M, G suffixes")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--data", default=str(HERE / "data"))
    ap.add_argument("--gen", help="path of the gen_csv binary: adds its clean and dirty presets")
    ap.add_argument("--engine-recodes", action="store_true", help="hand mostly-UTF-8 files over as they are")
    ap.add_argument("--only", nargs="*", help="inputs to time: cp1252, utf8, mostly, clean, dirty")
    ap.add_argument("--rescue", action="store_true", help="also time csv_quorle.rescue of each file")
    args = ap.parse_args()
    size = int(args.size[:-1]) << {"K": 10, "M": 20, "G": 30}[args.size[-1]] if args.size[-1] in "KMG" else int(args.size)
    data = pathlib.Path(args.data)
    data.mkdir(parents=True, exist_ok=True)
    paths = generate(data, size)
    for preset in ("clean", "dirty") if args.gen else ():
        path = paths[preset] = data / f"{preset}_{args.size}.csv"
        if not path.exists():
            subprocess.run([args.gen, "--preset", preset, "--size", args.size, str(path)], check=True)
    scratch = pathlib.Path(tempfile.mkdtemp(prefix="quorle-enc-bench-"))
    try:
        for key, path in paths.items():
            if args.only and key not in args.only:
                continue
            subprocess.run(["cat", str(path)], stdout=subprocess.DEVNULL, check=True)
            contenders = {
                "cp": ["cp", str(path), str(scratch / "cp.csv")],
                "open_utf8": [sys.executable, "-c", OPEN, str(path), str(scratch), str(int(args.engine_recodes))],
            }
            if args.rescue:
                contenders["rescue"] = [sys.executable, "-c", RESCUE, str(path), str(scratch)]
            walls = {k: [] for k in contenders}
            cpus = {k: [] for k in contenders}
            info = {}
            for round_ in range(args.runs + 1):
                for name, cmd in contenders.items():
                    wall, cpu, got = run(cmd)
                    if round_:
                        walls[name].append(wall)
                        cpus[name].append(cpu)
                    info[name] = got
            mb = path.stat().st_size / 1e6
            cp, ou = (statistics.median(walls[k]) for k in ("cp", "open_utf8"))
            cp_cpu, ou_cpu = (statistics.median(cpus[k]) for k in ("cp", "open_utf8"))
            got = info["open_utf8"]
            # CPU time is the steadier figure on a shared machine; wall time is what users see.
            print(
                f"{key:7} {mb:6.0f} MB  cp {cp:6.3f} s (cpu {cp_cpu:5.2f})  open_utf8 {ou:6.3f} s"
                f" (cpu {ou_cpu:5.2f}) = {mb / ou:5.0f} MB/s wall, {mb / ou_cpu:5.0f} MB/s cpu,"
                f" {ou / cp:5.2f} x cp; step alone {got['open_s']:.3f} s;"
                f" peak {got['hwm_kb'] / 1e3:5.0f} MB -> {got['encoding']}, recoded {got['recoded']}"
            )
            if args.rescue:
                rw, rc = statistics.median(walls["rescue"]), statistics.median(cpus["rescue"])
                print(
                    f"{'':7} {'':6}     rescue {rw:6.3f} s (cpu {rc:5.2f}) = {mb / rw:5.0f} MB/s wall,"
                    f" {mb / rc:5.0f} MB/s cpu, {rw / cp:5.2f} x cp;"
                    f" peak {info['rescue']['hwm_kb'] / 1e3:5.0f} MB = {info['rescue']['hwm_kb'] * 1e3 / path.stat().st_size:4.2f} x input"
                )
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
