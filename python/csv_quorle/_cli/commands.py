"""The work of each command, once its arguments are checked: one library call over all the
inputs, then the error lines, the JSON lines or tables, and the exit status."""

from __future__ import annotations

import dataclasses
import errno
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
from .._files.outputs import OutputFile, commit, naming, same_file
from .._html import SHOWN, Quarantined
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
           fail_on_quarantine: bool, repairs: str | None, repairs_format: str = "csv") -> int:
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
            write_repairs(repairs, results, repairs_format)
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


def _dry_run(pairs: Sequence[tuple[str, str]], ws: Workspace, options: dict[str, Any],
             keep: int = 0) -> tuple[list[FileResult], dict[str, list[Quarantined]]]:
    """A rescue of each input whose clean output goes straight into the null device (or, where
    that is not a device, into an unnamed file of its own, emptied as soon as it is done). With
    `keep`, the quarantine goes to an unnamed file too, and the first `keep` records of each
    are read back (by source name) before it is emptied. `pairs` are ws.inputs()'s."""
    to_null = stat.S_ISCHR(os.stat(os.devnull).st_mode)
    sinks = [None if to_null else ws.unnamed() for _ in pairs]
    spills = [ws.unnamed() if keep else None for _ in pairs]
    jobs = [Job(path, os.devnull if sink is None else sink[1], None if spill is None else spill[1],
                options, name) for (name, path), sink, spill in zip(pairs, sinks, spills)]
    files = {job.name: (sink, spill) for job, sink, spill in zip(jobs, sinks, spills)}
    kept: dict[str, list[Quarantined]] = {}

    def empty(res: FileResult) -> None:
        sink, spill = files[res.source]
        if spill is not None:
            kept[res.source] = first_quarantined(spill[1], keep) if res.ok else []
            spill[0].truncate(0)
        if sink is not None:
            sink[0].truncate(0)

    return run(jobs, after_each=empty), kept


def first_quarantined(path: str, n: int) -> list[Quarantined]:
    """The first `n` records of a quarantine file (first_line,last_line,reason,raw)."""
    import csv
    import itertools

    limit = csv.field_size_limit(sys.maxsize)  # a record may be longer than csv's 128 KiB
    try:
        with open(path, encoding="utf-8", errors="replace", newline="") as f:
            rows = itertools.islice(csv.reader(f), 1, n + 1)  # past the header
            return [Quarantined(int(a), int(b), reason, raw) for a, b, reason, raw in rows]
    finally:
        csv.field_size_limit(limit)


def _decisions(name: str, path: str, options: dict[str, Any]) -> list[Any]:
    """The decisions detection takes for a file, asked as a rescue asks it (with the delimiter
    and comment given); none when it cannot read the sample."""
    from .._detect import detect_rows
    from .._files.inputs import plain_input

    encoding = options.get("encoding", "auto")
    try:
        with plain_input(path) as plain:
            found = detect_rows(plain, None if encoding == "auto" else encoding,
                                delimiter=options.get("delimiter"), comment=options.get("comment"))
    except Exception:  # the rescue's own result already says what went wrong with the file
        return []
    return list(found.decisions)


def _check_json(res: FileResult, quarantined: list[Quarantined], decisions: list[Any]) -> dict[str, Any]:
    d = _report_json(res, with_paths=False)
    if res.ok:
        d["first_quarantined"] = [q._asdict() for q in quarantined]
        d["decisions"] = [{**x.to_dict(), "value": list(x.value) if isinstance(x.value, tuple) else x.value}
                          for x in decisions]
    return d


def refuse_page_over_inputs(page: str, inputs: Sequence[str]) -> None:
    for name in inputs:
        if name != "-" and same_file(page, name):
            raise OSError(errno.EINVAL, f"--html names the input {name}", page)


def write_page(path: str, blocks: Sequence[str]) -> None:
    """The page put in place once complete."""
    from .._html import page

    text = page(f"{PROG} check", blocks).encode("utf-8")
    with OutputFile(path) as out:
        try:
            view = memoryview(text)
            while view:
                view = view[os.write(out.fd, view):]
        except OSError as e:
            raise naming(e, path) from None
        commit(out)


def check(inputs: Sequence[str], options: dict[str, Any], *, as_json: bool, fail_on_quarantine: bool,
          max_shown: int = SHOWN, html: str | None = None) -> int:
    import shutil

    from .._html import failure_html, report_html

    if html is not None:
        refuse_page_over_inputs(html, inputs)
    with Workspace() as ws, stdout_guard():
        pairs = ws.inputs(inputs)
        results, kept = _dry_run(pairs, ws, options, keep=max_shown)
        _error_lines(results)
        width = shutil.get_terminal_size().columns
        blocks = []
        for res, (_, path) in zip(results, pairs):
            quarantined = kept.get(res.source, [])[:max_shown]
            decisions = _decisions(res.source, path, options) if res.ok else []
            if as_json:
                show.json_line(_check_json(res, quarantined, decisions), sys.stdout)
            elif res.ok:
                print(show.report_block(res.source, res.report, shown=max_shown, quarantined=quarantined,
                                        decisions=decisions, width=width) + "\n")
            if html is not None:
                blocks.append(report_html(res.report, name=res.source, quarantined=quarantined,
                                          decisions=decisions, shown=max_shown) if res.ok
                              else failure_html(res.source, str(res.error)))
        if not as_json and len(results) > 1:
            print(show.summary(results, with_output=False))
        sys.stdout.flush()
        if html is not None:
            write_page(html, blocks)
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
                     for r in _dry_run(ws.inputs(inputs), ws, {})[0]]
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
