"""duckdb: COPY (SELECT * FROM read_csv(..., ignore_errors, null_padding, strict_mode off)) TO a
CSV file, every column as text. A third argument "serial" adds parallel = false, which duckdb asks
for when null_padding meets line breaks inside quoted fields."""

import duckdb
from _child import run


def literal(path):
    return "'" + path.replace("'", "''") + "'"


def work(src, out, mode="parallel"):
    con = duckdb.connect()
    threads = con.execute("SELECT current_setting('threads')").fetchone()[0]
    options = "ignore_errors = true, null_padding = true, strict_mode = false, all_varchar = true"
    if mode == "serial":
        options += ", parallel = false"
    written = con.execute(
        f"COPY (SELECT * FROM read_csv({literal(src)}, {options})) TO {literal(out)} (HEADER true)"
    ).fetchone()[0]
    note = " (threads), parallel = false" if mode == "serial" else " (threads)"
    return {"rows": written + 1, "threads": f"{threads}{note}"}


run(work)
