"""What every contender's child process shares.

A contender is a small script run as its own process: `python NAME.py ARGS...`. It imports what it
needs, then hands its work to `run`, which times the work alone (imports excluded), catches an
exception as the contender's own failure, and prints one JSON line: the work's result, its time,
the process's peak memory (VmHWM) and, for a failure, the error. The parent times the whole process.
"""

import json
import sys
import time


def peak_kb():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM"):
                return int(line.split()[1])
    return 0


def run(work):
    start = time.perf_counter()
    try:
        result = work(*sys.argv[1:]) or {}
    except Exception as e:  # the contender gave up on the file; report it, don't crash the bench
        message = [" ".join(line.split()) for line in str(e).splitlines() if line.strip()]
        print(
            json.dumps(
                {
                    "error": f"{type(e).__name__}: {' / '.join(message[:2])}"[:300],
                    "work_s": time.perf_counter() - start,
                    "hwm_kb": peak_kb(),
                }
            )
        )
        sys.stdout.flush()
        sys.exit(3)
    result.setdefault("work_s", time.perf_counter() - start)
    result["hwm_kb"] = peak_kb()
    print(json.dumps(result))
