"""pandas read_csv (engine "c" or "pyarrow"), every column as text, bad lines warned about and
skipped, then to_csv. The warnings are the lines pandas reports as bad."""

import re
import warnings

import pandas as pd
from _child import run


def work(src, out, engine):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        df = pd.read_csv(
            src,
            engine=engine,
            dtype=str,
            keep_default_na=False,
            on_bad_lines="warn",
            encoding_errors="replace",
        )
    df.to_csv(out, index=False)
    reported_lines = []
    reported = 0
    for w in caught:
        text = str(w.message)
        if engine == "c":
            found = [int(n) for n in re.findall(r"Skipping line (\d+)", text)]
            reported_lines += found
            reported += len(found)
        elif "columns" in text or "Expected" in text:
            reported += 1  # the pyarrow engine names the row's text, not its line
    if engine == "pyarrow":
        import pyarrow

        threads = f"{pyarrow.cpu_count()} (pyarrow.cpu_count)"
    else:
        threads = "1"
    return {
        "rows": len(df) + 1,
        "reported": reported,
        "reported_lines": reported_lines,
        "threads": threads,
    }


run(work)
