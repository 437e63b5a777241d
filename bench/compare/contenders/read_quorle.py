"""The reader: `for row in q.open(path)`, each row a list of str."""

import time

import _csv_quorle_backend as q
from _child import run


def count(reader):
    rows = fields = 0
    for row in reader:
        rows += 1
        fields += len(row)
    return rows, fields


def work(src):
    t = time.perf_counter()
    reader = q.open(src)
    made = time.perf_counter() - t
    t = time.perf_counter()
    rows, fields = count(reader)
    return {"rows": rows, "fields": fields, "create_s": made, "iterate_s": time.perf_counter() - t}


run(work)
