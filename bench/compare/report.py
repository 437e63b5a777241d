"""results.md and results.png from one run of the comparison, with the machine and versions."""

import importlib.metadata
import os
import pathlib
import platform
import subprocess

import quality

REPO = pathlib.Path(__file__).resolve().parent.parent.parent
PACKAGES = ("csv-quorle", "pandas", "pyarrow", "polars", "polars-runtime-32", "duckdb",
            "clevercsv", "numpy", "matplotlib")
STATES = ("intact", "changed", "dropped", "reported")


def machine():
    info = {"cpu": "?", "flags": ""}
    with open("/proc/cpuinfo") as f:
        for line in f:
            key, _, value = line.partition(":")
            key = key.strip()
            if key == "model name" and info["cpu"] == "?":
                info["cpu"] = value.strip()
            elif key == "flags" and not info["flags"]:
                flags = value.split()
                info["flags"] = ", ".join(
                    name for name, flag in (("AVX2", "avx2"), ("AVX-512", "avx512bw")) if flag in flags
                )
    with open("/proc/meminfo") as f:
        total = next(int(l.split()[1]) for l in f if l.startswith("MemTotal"))
    info["memory_gib"] = round(total / (1 << 20), 1)
    info["cores"] = os.cpu_count()
    info["usable_cores"] = len(os.sched_getaffinity(0))
    info["kernel"] = platform.release()
    try:
        with open("/etc/os-release") as f:
            info["os"] = next(l.split("=", 1)[1].strip().strip('"') for l in f if l.startswith("PRETTY_NAME"))
    except (OSError, StopIteration):
        info["os"] = platform.system()
    info["python"] = f"{platform.python_implementation()} {platform.python_version()}"
    return info


def versions():
    found = {}
    for name in PACKAGES:
        try:
            found[name] = importlib.metadata.version(name)
        except importlib.metadata.PackageNotFoundError:
            pass
    try:
        head = subprocess.run(["git", "-C", str(REPO), "rev-parse", "--short", "HEAD"],
                              capture_output=True, text=True, check=True).stdout.strip()
        changed = subprocess.run(["git", "-C", str(REPO), "status", "--porcelain",
                                  "--untracked-files=no"], capture_output=True, text=True).stdout
        found["checkout"] = head + (" with local changes" if changed.strip() else "") + " (csv-quorle as last installed into this venv)"
    except (OSError, subprocess.CalledProcessError):
        pass
    return found


# ---------------------------------------------------------------------------------------------


def fmt_s(x):
    return f"{x:.3g}" if x < 100 else f"{x:.0f}"


def fmt_call(t):
    if t >= 1:
        return f"{t:.3g} s"
    return f"{t * 1e3:.3g} ms" if t >= 1e-3 else f"{t * 1e6:.3g} µs"


def fmt_n(n):
    return f"{n:,}".replace(",", " ")


def fmt_mb(kb):
    return f"{kb / 1000:.0f}"


def spread(walls):
    if len(walls) < 2:
        return ""
    mid = sorted(walls)[len(walls) // 2]
    return f"{(max(walls) - min(walls)) / mid * 100:.0f}%"


def lost(entry, r):
    """Records not written as rows: exact for the dirty file (from the quality check), the
    difference from the file's record count for the clean one."""
    if r["status"] != "ok" or r["name"] == "cp":
        return ""
    q = entry.get("quality", {}).get(r["name"])
    if q and "counts" in q:
        return fmt_n(q["counts"]["dropped"] + q["counts"]["reported"])
    rows = r["info"].get("rows")
    return fmt_n(entry["records"] - rows) if rows is not None else ""


def rescue_table(entry):
    mb = entry["bytes"] / 1e6
    by = {r["name"]: r for r in entry["rescue"]}
    cp = by["cp"]["wall"]
    qf = by["quorle_file"]["wall"] if by["quorle_file"]["status"] == "ok" else None
    lines = [
        "| contender | threads | status | wall s | spread | MB/s | × cp | × quorle_file | work s "
        "| peak RSS MB | rows written | records not written |",
        "|---|---|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|",
    ]
    errors = []
    for r in entry["rescue"]:
        ok = r["status"] == "ok"
        info = r["info"]
        status = "ok" if ok else f"**{r['status']}**"
        if not ok:
            errors.append(f"- {r['name']}: {r['status']} after {fmt_s(r['wall'])} s: `{r['error']}`")
        if r["note"]:
            errors.append(f"- {r['name']}: {r['note']}")
        threads = "1" if r["name"] == "cp" else info.get("threads", "")
        lines.append(
            "| " + " | ".join([
                r["name"], threads, status, fmt_s(r["wall"]), spread(r["walls"]),
                f"{mb / r['wall']:.0f}" if ok else "—",
                f"{r['wall'] / cp:.2f}" if ok else "—",
                f"{r['wall'] / qf:.2f}" if ok and qf else "—",
                fmt_s(info["work_s"]) if "work_s" in info else "",
                fmt_mb(r["rss_kb"]),
                fmt_n(info["rows"]) if ok and "rows" in info else "",
                lost(entry, r),
            ]) + " |"
        )
    return lines + ([""] + errors if errors else [])


def reader_table(entry):
    mb = entry["bytes"] / 1e6
    by = {r["name"]: r for r in entry["readers"]}
    base = by.get("csv.reader")
    lines = [
        "| reader | status | wall s | MB/s | create s | iterate s | M rows/s iterating "
        "| iteration × csv.reader | peak RSS MB | rows |",
        "|---|---|--:|--:|--:|--:|--:|--:|--:|--:|",
    ]
    errors = []
    for r in entry["readers"]:
        ok = r["status"] == "ok"
        info = r["info"]
        if not ok:
            errors.append(f"- {r['name']}: {r['status']}: `{r['error']}`")
        faster = ""
        if ok and r is not base and base and base["status"] == "ok":
            faster = f"{base['info']['iterate_s'] / info['iterate_s']:.1f}× faster"
        lines.append(
            "| " + " | ".join([
                r["name"], "ok" if ok else f"**{r['status']}**", fmt_s(r["wall"]),
                f"{mb / r['wall']:.0f}" if ok else "—",
                fmt_s(info["create_s"]) if ok else "", fmt_s(info["iterate_s"]) if ok else "",
                f"{info['rows'] / info['iterate_s'] / 1e6:.2f}" if ok else "",
                faster, fmt_mb(r["rss_kb"]), fmt_n(info["rows"]) if ok else "",
            ]) + " |"
        )
    return lines + ([""] + errors if errors else [])


def arrow_table(entry):
    """Into Arrow: wall ratios to csv_quorle.read_arrow, peak memory against the table's size."""
    mb = entry["bytes"] / 1e6
    by = {r["name"]: r for r in entry["arrow"]}
    q = by.get("csv_quorle.read_arrow")
    lines = [
        "| contender | threads | status | wall s | spread | MB/s | × csv_quorle | peak RSS MB "
        "| table MB | peak ÷ (table + 64 MB) | rows (with header) |",
        "|---|---|---|--:|--:|--:|--:|--:|--:|--:|--:|",
    ]
    errors = []
    for r in entry["arrow"]:
        ok = r["status"] == "ok"
        info = r["info"]
        if not ok:
            errors.append(f"- {r['name']}: {r['status']} after {fmt_s(r['wall'])} s: `{r['error']}`")
        if r["note"]:
            errors.append(f"- {r['name']}: {r['note']}")
        table_mb = info.get("nbytes", 0) / 1e6
        ratio = ""
        if ok and q and q["status"] == "ok":
            ratio = f"{r['wall'] / q['wall']:.2f}"
        lines.append(
            "| " + " | ".join([
                r["name"], info.get("threads", ""), "ok" if ok else f"**{r['status']}**",
                fmt_s(r["wall"]), spread(r["walls"]), f"{mb / r['wall']:.0f}" if ok else "—",
                ratio, fmt_mb(r["rss_kb"]), f"{table_mb:.0f}" if ok else "",
                f"{r['rss_kb'] / 1000 / (table_mb + 64):.2f}" if ok else "",
                fmt_n(info["rows"]) if ok and "rows" in info else "",
            ]) + " |"
        )
    if q and q["status"] == "ok":
        i = q["info"]
        errors.append(f"- csv_quorle: {fmt_n(i.get('quarantined', 0))} records quarantined, "
                      f"{fmt_n(i.get('repaired', 0))} repaired; every record is a row or in "
                      "the quarantine.")
    return lines + ([""] + errors if errors else [])


def sniffer_table(entry):
    lines = [
        "| sniffer, sample | status | first call | × q.sniff's | calls after it (mean) "
        "| delimiter | characters | peak RSS MB |",
        "|---|---|--:|--:|--:|:-:|--:|--:|",
    ]
    quick = {}
    for r in entry["sniffers"]:
        if r["name"].startswith("q.sniff") and r["status"] == "ok":
            quick[r["name"].split(", ")[1]] = r["info"]["first_s"]
    errors = []
    for r in entry["sniffers"]:
        ok = r["status"] == "ok"
        info = r["info"]
        sample = r["name"].split(", ")[1]
        if not ok:
            errors.append(f"- {r['name']}: {r['status']}: `{r['error']}`")
        t = info.get("first_s")
        again = info.get("again_s")
        lines.append(
            "| " + " | ".join([
                r["name"], "ok" if ok else f"**{r['status']}**",
                fmt_call(t) if ok else "—",
                f"{t / quick[sample]:.0f}" if ok and sample in quick else "—",
                fmt_call(again) if ok and again else "",
                f"`{info['delimiter']}`" if ok else "",
                fmt_n(info["chars"]) if ok else "", fmt_mb(r["rss_kb"]),
            ]) + " |"
        )
    return lines + ([""] + errors if errors else [])


def quality_tables(entry):
    table = entry["quality"]
    total = entry["records"]
    lines = [
        f"{fmt_n(total)} records in the truth file (the header is record 0).",
        "",
        "| tool | intact | changed (padded / merged / other) | dropped | reported | extra rows "
        "(empty / other) | output is UTF-8 | every record written or reported |",
        "|---|--:|--:|--:|--:|--:|:-:|:-:|",
    ]
    for name, q in table.items():
        if q["status"] != "ok":
            lines.append(f"| {name} | **{q['status']}**: no output | | | | | | no |")
            continue
        c, how = q["counts"], q["changed_how"]
        lines.append(
            "| " + " | ".join([
                name, fmt_n(c["intact"]),
                f"{fmt_n(c['changed'])} ({fmt_n(how['padded'])} / {fmt_n(how['merged'])} / "
                f"{fmt_n(how['other'])})",
                fmt_n(c["dropped"]), fmt_n(c["reported"]),
                f"{fmt_n(q['extra_rows'])} ({fmt_n(q['extra_empty_rows'])} / "
                f"{fmt_n(q['extra_rows'] - q['extra_empty_rows'])})",
                "yes" if q["valid_utf8"] else "**no**",
                "yes" if c["dropped"] == 0 else f"**no: {fmt_n(c['dropped'])} dropped**",
            ]) + " |"
        )
    # By kind of damage: intact / changed / dropped / reported.
    ok = [(n, q) for n, q in table.items() if q["status"] == "ok"]
    if ok:
        damages = sorted({d for _, q in ok for d in q["by_damage"]}, key=lambda d: (d != "none", d))
        lines += [
            "",
            "By kind of damage, as intact / changed / dropped / reported:",
            "",
            "| damage | records | " + " | ".join(n for n, _ in ok) + " |",
            "|---|--:|" + "--:|" * len(ok),
        ]
        for d in damages:
            counts = [q["by_damage"].get(d, {}) for _, q in ok]
            n = sum(counts[0].values())
            cells = [" / ".join(fmt_n(c.get(s, 0)) for s in STATES) for c in counts]
            lines.append(f"| {d} | {fmt_n(n)} | " + " | ".join(cells) + " |")
    return lines


def findings(entry):
    """Examples behind the quality table: every drop, every change beyond padding and merging."""
    out = []
    for name, q in entry["quality"].items():
        if q["status"] != "ok":
            continue
        notes = []
        if q["blank_lines_quarantined"]:
            notes.append(f"{fmt_n(q['blank_lines_quarantined'])} blank lines quarantined as "
                         "records with too few columns")
        if q["extra_empty_rows"]:
            notes.append(f"{fmt_n(q['extra_empty_rows'])} blank lines written as rows of empty fields")
        if q["swallowed_into_quarantine"]:
            notes.append(f"{fmt_n(q['swallowed_into_quarantine'])} records found only inside another "
                         "quarantined record")
        if q["reported_but_written"]:
            notes.append(f"{fmt_n(q['reported_but_written'])} reported lines belong to records "
                         "that are in the output too")
        for key, examples in q["examples"].items():
            state, damage = key.split("|")
            shown = []
            for ex in examples:
                if state == "changed" and ex["output"] is not None:
                    if quality.how_changed(ex["output"], ex["truth"]) != "other":
                        continue
                if state == "reported":
                    continue
                shown.append(ex)
            for ex in shown[:1]:
                truth = "|".join(ex["truth"])
                got = "|".join(ex["output"]) if ex["output"] is not None else "(absent)"
                notes.append(f"{state} ({damage}), record {ex['record']}: `{clip(truth)}` → "
                             f"`{clip(got)}`")
        for row in q["extra_examples"][:1]:
            notes.append(f"extra row: `{clip('|'.join(row))}`")
        if notes:
            out.append(f"- **{name}**:")
            out += [f"  - {n}" for n in notes]
    return out


def clip(text, n=160):
    text = text.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
    text = text.replace("\r", "\\r").replace("\n", "\\n").replace("`", "'")
    return text if len(text) <= n else text[: n - 1] + "…"


# ---------------------------------------------------------------------------------------------


def write(run, results_dir):
    m, v = run["machine"], run["versions"]
    md = [
        "# csv-quorle against its peers",
        "",
        f"`{run['command']}`, started {run['started']}, took {run['minutes']:.0f} min.",
        "",
        f"- Machine: {m['cpu']} ({m['flags'] or 'no AVX2'}), {m['cores']} cores "
        f"({m['usable_cores']} usable), {m['memory_gib']} GiB memory, {m['os']}, kernel {m['kernel']}.",
        f"- Load average (1, 5, 15 min) before: {', '.join(f'{x:.2f}' for x in run['load_before'])}; "
        f"after: {', '.join(f'{x:.2f}' for x in run['load_after'])}. The machine may be shared: "
        "compare figures within this run only.",
        f"- {m['python']}; " + ", ".join(f"{k} {val}" for k, val in v.items()) + ".",
        f"- Files from `gen_csv`: clean `{run['generator'].get('clean', '')}`, dirty "
        f"`{run['generator'].get('dirty', '')}`. MB is 10^6 bytes.",
        "",
        "## How it is measured",
        "",
        f"Every contender runs as its own process (a small Python script in "
        f"`bench/compare/contenders/`, or `cp`), one warm-up round and then {run['runs']} rounds "
        f"round-robin ({run['sniff_runs']} for the sniffers), with the input read into the page "
        "cache first. *wall s* is the median wall time of the whole process (interpreter start and "
        "imports included), *spread* is (max − min) / median, *work s* the child's own time for "
        "the work alone (after its imports; median), *peak RSS* the child's peak resident memory "
        "as `/usr/bin/time` reports it (its ru_maxrss; highest over the rounds). A contender that raises is reported with its error; "
        "one that runs past its time limit is killed and reported as timed out.",
        "",
        "The peers read every column as text (pandas `dtype=str, keep_default_na=False`, polars "
        "`infer_schema=False`, duckdb `all_varchar = true`) so that values pass through unchanged "
        "and the quality check compares text with text; with the file's header, as the header "
        "(quorle_file has no notion of a header: it is a row like any other). The calls:",
        "",
        "- quorle_file: `quorle_file(src, out, quarantine)`; *no pad/merge*: with "
        "`fill_ragged_rows=False, merge_overflow=False`, so every ragged record is quarantined.",
        "- by-hand csv script: `csv.reader` (`utf-8-sig`, `errors=\"replace\"`), short rows padded, "
        "surplus fields joined with commas into the last column, `csv.writer`.",
        "- pandas: `read_csv(src, engine=..., dtype=str, keep_default_na=False, on_bad_lines=\"warn\", "
        "encoding_errors=\"replace\")` then `to_csv(out, index=False)`; the warnings are its report.",
        "- polars: `read_csv(src, truncate_ragged_lines=True, ignore_errors=True, infer_schema=False, "
        "encoding=\"utf8-lossy\")` then `write_csv(out)`.",
        "- duckdb: `COPY (SELECT * FROM read_csv(src, ignore_errors = true, null_padding = true, "
        "strict_mode = false, all_varchar = true)) TO out (HEADER true)`, with `parallel = false` "
        "added when duckdb asks for it.",
        "- readers: `for row in q.open(path)` and `for row in csv.reader(f)` (`utf-8-sig`, "
        "`errors=\"replace\"`), each loop inside a function, counting rows and fields.",
        "- sniffers: `q.sniff(text)`, `csv.Sniffer().sniff(text)`, `clevercsv.Sniffer().sniff(text)` "
        "on the first 64 KiB and on the whole file, decoded to one str (only the calls are timed: "
        "the first, and when it takes under 50 ms, the mean of further calls on the same str, "
        "which may be cheaper since a str keeps its UTF-8 form once asked for it). Sniffer "
        "processes have a time limit and an address-space cap. Times in the reader and sniffer "
        "tables are medians over the rounds, like the wall times.",
        "",
        "Threads as each process reports them (polars `thread_pool_size()`, duckdb "
        "`current_setting('threads')`, pyarrow `cpu_count()`; the others are single-threaded):",
        "",
    ]
    threads = {}
    for entry in run["files"]:
        for r in entry.get("rescue", []) + entry.get("arrow", []):
            if r["info"].get("threads"):
                threads.setdefault(r["name"], set()).add(r["info"]["threads"])
    md += [f"- {name}: {'; '.join(sorted(t))}" for name, t in threads.items()]

    if any("arrow" in e for e in run["files"]):
        md += ["", "## Into Arrow", "",
               "Each contender reads the file into an Arrow table (polars: a DataFrame), every "
               "column as text: csv_quorle `read_batches` + `RecordBatchReader.read_all`; "
               "`pyarrow.csv.read_csv` with `column_types` all `string`, "
               "`invalid_row_handler` skipping; `polars.read_csv(infer_schema=False, "
               "truncate_ragged_lines=True, ignore_errors=True, encoding=\"utf8-lossy\")`; duckdb "
               "`read_csv(all_varchar = true, ignore_errors = true, null_padding = true, "
               "strict_mode = false)` then `to_arrow_table()`.", ""]
        for entry in run["files"]:
            if "arrow" in entry:
                md += [f"### {entry['file']} ({entry['bytes'] / 1e6:.0f} MB)", ""]
                md += arrow_table(entry) + [""]
    if not all("rescue" in e for e in run["files"]):
        (results_dir / "results.md").write_text("\n".join(md) + "\n")
        return

    md += ["", "## Rescue, file to file", ""]
    for entry in run["files"]:
        md += [f"### {entry['file']} ({entry['bytes'] / 1e6:.0f} MB, {fmt_n(entry['records'])} records)",
               ""]
        md += rescue_table(entry) + [""]
    md += ["*records not written*: for a dirty file, the dropped and reported records of the "
           "quality check below; for a clean file, the file's records less the rows written "
           "(header included).", ""]
    md += ["## Readers", ""]
    for entry in run["files"]:
        md += [f"### {entry['file']}", ""] + reader_table(entry) + [""]
    md += ["## Sniffers", ""]
    for entry in run["files"]:
        md += [f"### {entry['file']}", ""] + sniffer_table(entry) + [""]

    md += ["## Rescue quality on the dirty file", "", QUALITY_METHOD, ""]
    for entry in run["files"]:
        if "quality" not in entry:
            continue
        md += [f"### {entry['file']}", ""] + quality_tables(entry) + [""]
        f = findings(entry)
        if f:
            md += ["Details and one example of each kind of change beyond padding and merging, "
                   "and of each drop (values joined with `|`; truth → output):", ""] + f + [""]
        md += quorle_verdict(entry) + [""]
    md.append("![MB/s per contender and file](results.png)")
    (results_dir / "results.md").write_text("\n".join(md) + "\n")
    chart(run, results_dir / "results.png")


QUALITY_METHOD = (
    "Each rescue output of the dirty file is checked against the generator's truth file, which "
    "gives every record's first line, its damage and the values a perfect reader returns. Every "
    "record ends up *intact* (a row with exactly its values), *changed* (a row that is that record "
    "with other values: *padded* with empty fields, *merged* surplus fields into the last column, "
    "or *other*: quotes read another way, line breaks or bytes rewritten, records swallowed into "
    "a field), *reported* (absent, but the tool reported it: quorle_file's quarantine file, "
    "pandas' bad-line warnings) or *dropped* (absent and not reported). Rows that are no record "
    "are *extra rows*. Matching keeps to the output's order: each output row is matched to the "
    "first unmatched record, or one a little further on, that it equals, or else that it "
    "resembles (at least half of the record's non-empty values, and at least two, among the row's "
    "values, as a multiset, so padded, merged and shifted rows still match). Candidates are the "
    "next three records and every record ahead with the same first value (the running id of "
    "column 1, for all records whose first field was not decorated), then the next 64 records. "
    "Records passed over are missing: *reported* if a reported line falls within them (a "
    "quarantined record's `line` is the line on which it ends; a record holds the lines from its "
    "first line up to the next record's), or if all their non-empty values appear in order in "
    "the raw content of the next quarantined record; otherwise *dropped*. Outputs are read as "
    "UTF-8 with bad bytes kept, so bad bytes written through count as a change."
)


def quorle_verdict(entry):
    q = entry["quality"].get("quorle_file")
    s = entry["quality"].get("quorle_file, no pad/merge")
    lines = []
    for name, r in (("quorle_file", q), ("quorle_file, no pad/merge", s)):
        if not r:
            continue
        if r["status"] != "ok":
            lines.append(f"**{name} {r['status']}: {r.get('error', '')}**")
            continue
        c = r["counts"]
        if c["dropped"] == 0:
            lines.append(f"{name}: every one of the {fmt_n(r['records'])} records is in the clean "
                         f"output ({fmt_n(c['intact'] + c['changed'])}) or in the quarantine file "
                         f"({fmt_n(c['reported'])}); none is lost without a trace.")
        else:
            lines.append(f"**{name} loses {fmt_n(c['dropped'])} records without a trace** "
                         "(examples above).")
    return lines


def chart(run, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    files = run["files"]
    names = [r["name"] for r in files[0]["rescue"]]
    readers = [r["name"] for r in files[0]["readers"]]
    fig, (top, bottom) = plt.subplots(
        2, 1, figsize=(10, 0.5 * (len(names) + len(readers)) * len(files) / 2 + 4),
        gridspec_kw={"height_ratios": [len(names), len(readers)]},
    )
    height = 0.8 / len(files)
    for ax, group, labels in ((top, "rescue", names), (bottom, "readers", readers)):
        for k, entry in enumerate(files):
            mb = entry["bytes"] / 1e6
            by = {r["name"]: r for r in entry[group]}
            ys = [i + k * height for i in range(len(labels))]
            speeds = [mb / by[n]["wall"] if by[n]["status"] == "ok" else 0 for n in labels]
            bars = ax.barh(ys, speeds, height, label=entry["file"].removesuffix(".csv"))
            for bar, n, speed in zip(bars, labels, speeds):
                if speed:
                    ax.text(speed * 1.03, bar.get_y() + height / 2, f"{speed:.0f}", va="center",
                            fontsize=7)
                if by[n]["status"] != "ok":
                    ax.text(1.05, bar.get_y() + height / 2, by[n]["status"], va="center",
                            fontsize=7, color=bar.get_facecolor())
        ax.set_yticks([i + height * (len(files) - 1) / 2 for i in range(len(labels))], labels)
        ax.invert_yaxis()
        ax.set_xscale("log")
        ax.set_xlim(left=1, right=ax.get_xlim()[1] * 1.6)
        ax.grid(axis="x", which="both", alpha=0.3)
        ax.set_xlabel("MB/s, whole process (median wall time; log scale)")
    top.set_title("Rescue, file to file")
    bottom.set_title("Readers: every row as a list of str")
    top.legend(fontsize=8, loc="lower right")
    fig.suptitle(f"csv-quorle against its peers — {run['machine']['cpu']}, "
                 f"{run['machine']['cores']} cores", fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
