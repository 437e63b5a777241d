"""duckdb: SELECT * FROM read_csv(..., all_varchar, ignore_errors, null_padding, strict_mode off)
fetched as a pyarrow Table. A second argument "serial" adds parallel = false."""

import duckdb
from _child import run


def work(src, mode="parallel"):
    con = duckdb.connect()
    threads = con.sql("SELECT current_setting('threads')").fetchall()[0][0]
    options = "ignore_errors = true, null_padding = true, strict_mode = false, all_varchar = true"
    if mode == "serial":
        options += ", parallel = false"
    literal = "'" + src.replace("'", "''") + "'"
    table = con.sql(f"SELECT * FROM read_csv({literal}, {options})").to_arrow_table()
    note = " (threads), parallel = false" if mode == "serial" else " (threads)"
    return {"rows": table.num_rows + 1, "nbytes": table.nbytes, "threads": f"{threads}{note}"}


run(work)
