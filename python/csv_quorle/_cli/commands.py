"""The work of each command, once its arguments are checked: one library call over all the
inputs, then the error lines, the JSON lines or tables, and the exit status."""

from __future__ import annotations

import dataclasses
import os
import stat
import sys
from collections.abc import Sequence
from typing import Any

from . import show
from .exits import EXIT_FAILED, EXIT_OK, EXIT_QUARANTINE, PROG
from .run import (
    STDOUT_NAME,
    Workspace,
    copy_to_stdout,
    is_columnar,
    jobs_to_dir,
    refuse_repairs_over,
    run,
    run_columnar,
    stdout_guard,
    stem_name,
    write_repairs,
)
from .._many_files import FileResult, Job, describe_error, make_dirs, plan_outputs


def _error_lines(results: Sequence[FileResult]) -> None:
    for res in results:
        if not res.ok:
            print(f"{PROG}: {res.source}: {res.error}", file=sys.stderr)


def _status(results: Sequence[FileResult], fail_on_quarantine: bool) -> int:
    if not all(res.ok for res in results):
        return EXIT_FAILED
    if fail_on_quarantine and any(res.report.quarantined_rows for res in results):
        return EXIT_QUARANTINE
    return EXIT_OK


def _report_json(res: FileResult, with_paths: bool) -> dict[str, Any]:
    d = res.to_dict()
    if not with_paths:
        del d["output"], d["quarantine"]
    return d


def rescue(inputs: Sequence[str], output: str | None, out_dir: str | None, quarantine: str | None,
           quarantine_dir: str | None, options: dict[str, Any], *, as_json: bool,
           fail_on_quarantine: bool, repairs: str | None) -> int:
    to_stdout = out_dir is None and output in (None, "-")
    with Workspace() as ws, stdout_guard():
        pairs = ws.inputs(inputs)
        make_dirs(out_dir, quarantine_dir)
        if out_dir is not None:
            jobs = jobs_to_dir(pairs, out_dir, quarantine_dir, options)
        else:
            name, path = pairs[0]
            if quarantine_dir is not None:
                quarantine = plan_outputs([stem_name(name)], ".", quarantine_dir)[0][1]
            clean, target = None, str(output)
            if to_stdout:  # standard output gets the clean file only once it is complete
                clean, target = ws.unnamed()
            jobs = [Job(path, target, quarantine, options, name)]
        if repairs is not None:
            refuse_repairs_over(repairs, jobs)
        columnar = out_dir is None and is_columnar(output)
        results = [run_columnar(jobs[0])] if columnar else run(jobs)
        if to_stdout:
            if results[0].ok and clean is not None:
                copy_to_stdout(clean)
            results[0] = dataclasses.replace(results[0], output=STDOUT_NAME)
        _error_lines(results)
        if repairs is not None:
            write_repairs(repairs, results)
        out = sys.stderr if to_stdout else sys.stdout
        if as_json:
            for res in results:
                show.json_line(_report_json(res, with_paths=True), out)
        else:
            table, totals = show.summary(results).rsplit("\n", 1)
            notes = show.left_out(results)
            print(*([table, "", notes, "", totals] if notes else [table, totals]), sep="\n", file=out)
        out.flush()
    return _status(results, fail_on_quarantine)


def _dry_run(ws: Workspace, inputs: Sequence[str], options: dict[str, Any]) -> list[FileResult]:
    """A rescue of each input whose clean output goes straight into the null device (or, where
    that is not a device, into an unnamed file of its own, emptied as soon as it is done)."""
    pairs = ws.inputs(inputs)
    if stat.S_ISCHR(os.stat(os.devnull).st_mode):
        return run([Job(path, os.devnull, None, options, name) for name, path in pairs])
    sinks = [ws.unnamed() for _ in pairs]
    jobs = [Job(path, sink, None, options, name) for (name, path), (_, sink) in zip(pairs, sinks)]
    files = {job.name: f for job, (f, _) in zip(jobs, sinks)}

    def empty(res: FileResult) -> None:
        files[res.source].truncate(0)

    return run(jobs, after_each=empty)


def check(inputs: Sequence[str], options: dict[str, Any], *, as_json: bool, fail_on_quarantine: bool) -> int:
    with Workspace() as ws, stdout_guard():
        results = _dry_run(ws, inputs, options)
        _error_lines(results)
        for res in results:
            if as_json:
                show.json_line(_report_json(res, with_paths=False), sys.stdout)
            elif res.ok:
                print(show.report_block(res.source, res.report) + "\n")
        if not as_json and len(results) > 1:
            print(show.summary(results, with_output=False))
        sys.stdout.flush()
    return _status(results, fail_on_quarantine)


Failure = tuple[str, str]  # the exception's type name and message


def _detect_each(ws: Workspace, inputs: Sequence[str], detect: Any) -> list[tuple[str, Any, Failure | None]]:
    from .._files.inputs import plain_input

    found = []
    for name, path in ws.inputs(inputs):
        try:
            with plain_input(path) as plain:
                found.append((name, detect(plain), None))
        except Exception as exc:  # one file's failure is that file's line, as in a rescue
            found.append((name, None, (type(exc).__name__, describe_error(exc, path))))
    return found


def _dialect_json(name: str, d: Any) -> dict[str, Any]:
    obj = {"source": name, "delimiter": d.delimiter, "quote_char": d.quote_char, "encoding": d.encoding,
           "columns": d.columns, "header": None if d.header is None else list(d.header)}
    for key in ("escape_char", "skip_initial_space", "skip_rows", "header_lines", "table_end",
                "second_table_line"):
        if hasattr(d, key):
            obj[key] = getattr(d, key)
    if hasattr(d, "explain"):
        obj["explanation"] = str(d.explain())
    return obj


def sniff(inputs: Sequence[str], *, as_json: bool, explain: bool = False) -> int:
    import csv_quorle

    detect = getattr(csv_quorle, "detect", None)
    with Workspace() as ws, stdout_guard():
        if detect is not None:
            found = _detect_each(ws, inputs, detect)
        else:  # until detection stands on its own: the dialect a dry run settles on
            found = [(r.source, r.report, None if r.ok else (r.error_type, r.error))
                     for r in _dry_run(ws, inputs, {})]
        for name, _, error in found:
            if error is not None:
                print(f"{PROG}: {name}: {error[1]}", file=sys.stderr)
        if as_json:
            for name, d, error in found:
                if error is None:
                    show.json_line(_dialect_json(name, d), sys.stdout)
                else:
                    show.json_line({"source": name, "error": {"type": error[0], "message": error[1]}},
                                   sys.stdout)
        else:
            print(show.sniff_table([(name, d) for name, d, _ in found]))
            if explain:
                for name, d, error in found:
                    if error is None and hasattr(d, "explain"):
                        print(f"\n{name}:\n{d.explain()}")
        sys.stdout.flush()
    return EXIT_FAILED if any(error is not None for _, _, error in found) else EXIT_OK
