"""polars.read_csv into a DataFrame, every column as text, ragged lines truncated, errors ignored,
invalid UTF-8 replaced."""

import polars as pl
from _child import run


def work(src):
    df = pl.read_csv(src, truncate_ragged_lines=True, ignore_errors=True, infer_schema=False,
                     encoding="utf8-lossy")
    return {"rows": df.height + 1, "nbytes": df.estimated_size(),
            "threads": f"{pl.thread_pool_size()} (thread_pool_size)"}


run(work)
