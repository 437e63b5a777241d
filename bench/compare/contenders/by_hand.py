"""The script a user writes by hand: csv.reader, pad or merge to the header's width, csv.writer."""

import csv

from _child import run

csv.field_size_limit(1 << 30)


def work(src, out):
    with open(src, newline="", encoding="utf-8-sig", errors="replace") as f, open(
        out, "w", newline="", encoding="utf-8"
    ) as o:
        reader = csv.reader(f)
        writer = csv.writer(o, lineterminator="\n")
        header = next(reader)
        width = len(header)
        writer.writerow(header)
        rows = 1
        for row in reader:
            if len(row) < width:
                row += [""] * (width - len(row))
            elif len(row) > width:
                row[width - 1 :] = [",".join(row[width - 1 :])]
            writer.writerow(row)
            rows += 1
    return {"rows": rows, "threads": "1"}


run(work)
