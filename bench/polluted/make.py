"""Writes the polluted-file benchmark: the clean export, its polluted variants and their truths.

    python bench/polluted/make.py [--out build/polluted] [--rows 100] [--seed 2018]

Into OUT: files/NAME.csv (the bytes a loader gets), truth/NAME.csv (the table a careful person
would load, UTF-8, every field quoted, the header first when the file has one) and manifest.json
(for every variant: name, pollution class, frequency group, parameters, weight, has_header).
The same arguments give the same bytes.
"""

import argparse
import csv
import json
import pathlib
import shutil
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from variants import variants  # noqa: E402

DEFAULT_OUT = HERE.parent.parent / "build" / "polluted"


def write_truth(path, header, records):
    with open(path, "w", newline="", encoding="utf-8") as f:
        writer = csv.writer(f, quoting=csv.QUOTE_ALL, lineterminator="\n")
        if header is not None:
            writer.writerow(header)
        writer.writerows(records)


def make(out, rows, seed):
    for sub in ("files", "truth"):
        shutil.rmtree(out / sub, ignore_errors=True)
        (out / sub).mkdir(parents=True)
    manifest = []
    for v in variants(rows, seed):
        (out / "files" / f"{v.name}.csv").write_bytes(v.data)
        write_truth(out / "truth" / f"{v.name}.csv", v.header, v.records)
        manifest.append(
            {
                "name": v.name,
                "pollution": v.pollution,
                "group": v.group,
                "params": v.params,
                "weight": v.weight,
                "has_header": v.header is not None,
                "bytes": len(v.data),
            }
        )
    names = [m["name"] for m in manifest]
    assert len(names) == len(set(names)), "two variants share a name"
    tmp = out / "manifest.json.tmp"
    tmp.write_text(json.dumps({"rows": rows, "seed": seed, "variants": manifest}, indent=1))
    tmp.replace(out / "manifest.json")
    return manifest


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=pathlib.Path, default=DEFAULT_OUT)
    parser.add_argument("--rows", type=int, default=100)
    parser.add_argument("--seed", type=int, default=2018)
    args = parser.parse_args()
    manifest = make(args.out, args.rows, args.seed)
    classes = sorted({m["pollution"] for m in manifest})
    print(f"{len(manifest)} files in {len(classes)} classes written to {args.out}")


if __name__ == "__main__":
    main()
