"""polars read_csv, every column as text, ragged lines truncated, errors ignored, invalid UTF-8
replaced; then write_csv."""

import polars as pl
from _child import run


def work(src, out):
    df = pl.read_csv(
        src,
        truncate_ragged_lines=True,
        ignore_errors=True,
        infer_schema=False,
        encoding="utf8-lossy",
    )
    df.write_csv(out)
    return {"rows": df.height + 1, "threads": f"{pl.thread_pool_size()} (thread_pool_size)"}


run(work)
