"""The loaders under test, each as a worker process: `python loaders.py LOADER WORKDIR`.

The worker imports its library, prints `{"ready": true}`, then reads one JSON request a line
({"path", "truth", "has_header"}) and answers each with one JSON line: {"header", "records",
"seconds"} or {"error"}. Whatever the libraries print goes to standard error, never into the
answers. score.py gives every request a time limit and starts a new worker after a crash or a
timeout, so one file cannot take the others down with it.

Every loader reads what it can as text (dtype=str, all_varchar, infer_schema=False) so that a typed
loader's number formatting does not count against it; a null is the empty string. `header` is
None when the loader itself decided that the file has no header row.
"""

import csv
import json
import os
import sys
import time

csv.field_size_limit(1 << 30)  # for reading our own outputs and truths; the `csv` loader keeps its default
SAMPLE = 64 * 1024
DEFAULT_FIELD_LIMIT = 131072


def text(value):
    if value is None or (isinstance(value, float) and value != value):
        return ""
    if type(value).__name__ == "NAType":
        return ""
    return str(value)


def table_of(names, rows, has_header=True):
    header = [text(n) for n in names] if has_header else None
    return header, [[text(v) for v in row] for row in rows]


def read_csv_file(path, has_header):
    with open(path, newline="", encoding="utf-8") as f:
        rows = list(csv.reader(f))
    if has_header and rows:
        return rows[0], rows[1:]
    return None, rows


# ---------------------------------------------------------------------------------------------
# Loaders: setup() imports and returns load(request, workdir) -> (header, records)


def truth():
    """The truth itself, read back: a check that the harness scores a perfect load 10."""
    return lambda req, workdir: read_csv_file(req["truth"], req["has_header"])


def quorle_rescue():
    import csv_quorle

    def load(req, workdir):
        out = os.path.join(workdir, "clean.csv")
        try:
            report = csv_quorle.rescue(req["path"], out)
            header, records = read_csv_file(out, report.header is not None)
        finally:
            if os.path.exists(out):
                os.unlink(out)
        return header, records

    return load


def quorle_batches():
    import pyarrow as pa

    import csv_quorle

    def load(req, workdir):
        batches = csv_quorle.read_batches(req["path"])
        table = pa.RecordBatchReader.from_stream(batches).read_all()
        rows = zip(*(table.column(i).to_pylist() for i in range(table.num_columns)), strict=True)
        return table_of(table.column_names, rows, batches.report.header is not None)

    return load


def _pandas_frame(df):
    return table_of(list(df.columns), df.itertuples(index=False, name=None))


def pandas_default():
    import pandas as pd

    return lambda req, workdir: _pandas_frame(pd.read_csv(req["path"], dtype=str))


def pandas_sniff():
    import pandas as pd

    return lambda req, workdir: _pandas_frame(pd.read_csv(req["path"], sep=None, engine="python", dtype=str))


def polars_default():
    import polars as pl

    def load(req, workdir):
        df = pl.read_csv(req["path"], infer_schema=False)
        return table_of(df.columns, df.rows())

    return load


def duckdb_auto():
    import duckdb

    def load(req, workdir):
        con = duckdb.connect()
        try:
            literal = "'" + req["path"].replace("'", "''") + "'"
            result = con.sql(f"SELECT * FROM read_csv({literal}, all_varchar = true)")
            names, rows = result.columns, result.fetchall()
            has_header = con.sql(
                f"SELECT HasHeader FROM sniff_csv({literal}, all_varchar = true)"
            ).fetchall()[0][0]
        finally:
            con.close()
        return table_of(names, rows, has_header)

    return load


def _clever_text(path):
    import clevercsv.encoding

    encoding = clevercsv.encoding.get_encoding(path)
    with open(path, newline="", encoding=encoding) as f:
        return f.read(SAMPLE)


def clevercsv_table():
    import clevercsv

    def load(req, workdir):
        rows = clevercsv.read_table(req["path"])
        if rows and clevercsv.Detector().has_header(_clever_text(req["path"])):
            return rows[0], rows[1:]
        return None, rows

    return load


def clevercsv_frame():
    import clevercsv

    return lambda req, workdir: _pandas_frame(clevercsv.read_dataframe(req["path"], dtype=str))


def python_csv():
    def load(req, workdir):
        csv.field_size_limit(DEFAULT_FIELD_LIMIT)
        with open(req["path"], newline="", encoding="utf-8") as f:
            sample = f.read(SAMPLE)
            sniffer = csv.Sniffer()
            dialect = sniffer.sniff(sample)
            has_header = sniffer.has_header(sample)
            f.seek(0)
            rows = list(csv.reader(f, dialect))
        if has_header and rows:
            return rows[0], rows[1:]
        return None, rows

    return load


LOADERS = {
    "csv_quorle.rescue": quorle_rescue,
    "csv_quorle.read_batches": quorle_batches,
    "pandas": pandas_default,
    "pandas sep=None": pandas_sniff,
    "polars": polars_default,
    "duckdb": duckdb_auto,
    "clevercsv.read_table": clevercsv_table,
    "clevercsv.read_dataframe": clevercsv_frame,
    "csv.Sniffer": python_csv,
    "truth": truth,
}


def serve(name, workdir):
    answers = os.fdopen(os.dup(1), "w", encoding="utf-8")
    os.dup2(2, 1)  # a library's prints must not land among the answers
    sys.stdout = sys.stderr
    load = LOADERS[name]()
    answers.write('{"ready": true}\n')
    answers.flush()
    for line in sys.stdin:
        req = json.loads(line)
        start = time.perf_counter()
        try:
            header, records = load(req, workdir)
            answer = {"header": header, "records": records}
        except Exception as e:  # the loader refused the file: that is its result, not ours
            first = " ".join(str(e).split())[:200]
            answer = {"error": f"{type(e).__name__}: {first}"}
        answer["seconds"] = time.perf_counter() - start
        answers.write(json.dumps(answer) + "\n")
        answers.flush()


if __name__ == "__main__":
    serve(sys.argv[1], sys.argv[2])
