"""quorle_file: the clean file and the quarantine file. A fourth argument "strict" turns padding
and merging off, so that every ragged record goes to the quarantine file."""

import _csv_quorle_backend as q
from _child import run


def work(src, out, quarantine, mode="default"):
    kwargs = {"fill_ragged_rows": False, "merge_overflow": False} if mode == "strict" else {}
    s = q.quorle_file(src, out, quarantine, **kwargs)
    return {
        "rows": s.quorled_rows,
        "reported": s.quarantined_rows,
        "repaired": s.repaired_rows,
        "threads": "1",
    }


run(work)
