"""csv_quorle.dask on a real two-process LocalCluster (loopback only): the same bytes as the local
pool, and the rescued rows as a frame with a partition per file, with the report of each."""

import collections
import gzip
import os
import random

import pytest

dask = pytest.importorskip("dask")
pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")
pd = pytest.importorskip("pandas")

import csv_quorle  # noqa: E402
import csv_quorle.dask as cq_dask  # noqa: E402


def damaged_csv(seed, rows=60):
    rnd = random.Random(seed)
    lines = ["id,name,note"]
    for i in range(rows):
        kind = rnd.random()
        if kind < 0.15:
            lines.append(f"{i},short")
        elif kind < 0.3:
            lines.append(f"{i},long,a,b,c")
        elif kind < 0.4:
            lines.append(f'{i},"Bob "the" Zoë","multi\nline"')
        else:
            lines.append(f'{i},"Ann, Jr.",{rnd.randint(0, 99)}')
    return ("\n".join(lines) + "\n").encode()


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, host="127.0.0.1",
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as c:
        yield c


@pytest.fixture(scope="module")
def exports(tmp_path_factory):
    folder = tmp_path_factory.mktemp("exports")
    for i in range(16):
        data = damaged_csv(i)
        name = f"part_{i:02}.csv"
        if i % 5 == 0:
            data, name = gzip.compress(data), name + ".gz"
        (folder / name).write_bytes(data)
    return folder


def test_cluster_and_local_pool_write_the_same_bytes(client, exports, tmp_path):
    sources = sorted(str(p) for p in exports.iterdir()) + [str(exports / "missing.csv")]
    remote = cq_dask.rescue_many(sources, tmp_path / "remote", quarantine_dir=tmp_path / "remote", client=client)
    local = csv_quorle.rescue_many(sources, tmp_path / "local", quarantine_dir=tmp_path / "local", workers=2)
    assert [(r.source, r.report, r.error_type) for r in remote] == [(r.source, r.report, r.error_type) for r in local]
    assert remote[-1].error_type == "FileNotFoundError"
    names = sorted(os.listdir(tmp_path / "local"))
    assert names == sorted(os.listdir(tmp_path / "remote")) and len(names) == 2 * 16
    for name in names:
        assert (tmp_path / "remote" / name).read_bytes() == (tmp_path / "local" / name).read_bytes(), name


def test_read_csv_a_partition_per_file(client, exports, tmp_path):
    frame = cq_dask.read_csv(str(exports / "part_*.csv*"))
    assert frame.npartitions == 16
    assert list(frame.columns) == ["id", "name", "note"]
    remote = frame.compute().reset_index(drop=True)
    results = csv_quorle.rescue_many(sorted(exports.iterdir()), tmp_path / "local")
    local = pd.concat([pd.read_csv(r.output, dtype=str, keep_default_na=False) for r in results],
                      ignore_index=True)
    pd.testing.assert_frame_equal(remote, local, check_dtype=False)


def test_read_csv_of_nothing_is_an_error():
    with pytest.raises(FileNotFoundError):
        cq_dask.read_csv("/nonexistent/*.csv")


def test_read_csv_reports_are_the_local_rescues_in_path_order(client, exports, tmp_path):
    pattern = str(exports / "part_*.csv*")
    frame, reports = cq_dask.read_csv(pattern, reports=True)
    remote_frame, remote_reports = dask.compute(frame, reports)
    paths = sorted(str(p) for p in exports.iterdir())
    local = []
    for i, path in enumerate(paths):
        if path.endswith(".gz"):  # rescue() reads a file as it is: give it the text gzip holds
            (tmp_path / f"{i}.in").write_bytes(gzip.decompress(open(path, "rb").read()))
            path = tmp_path / f"{i}.in"
        local.append(csv_quorle.rescue(path, tmp_path / f"{i}.csv"))
    assert remote_reports == local
    assert all(r.repaired_rows for r in local)  # the files are damaged
    plain = cq_dask.read_csv(pattern).compute()
    pd.testing.assert_frame_equal(remote_frame.reset_index(drop=True), plain.reset_index(drop=True))
    table = cq_dask.reports_frame(remote_reports, pattern)
    assert list(table.path) == paths
    assert table.good.sum() == len(remote_frame)  # the frame itself counts the rows kept


def test_frame_and_reports_computed_together_read_each_file_once(exports, monkeypatch):
    reads = collections.Counter()
    own = cq_dask.rescued_frame_and_report

    def counted(path, options):
        reads[path] += 1
        return own(path, options)

    monkeypatch.setattr(cq_dask, "rescued_frame_and_report", counted)
    with dask.config.set(scheduler="synchronous"):
        frame, reports = cq_dask.read_csv(str(exports / "part_0*.csv*"), reports=True)
        reads.clear()  # building the frame reads its first file for the column names, as without reports
        dask.compute(frame, reports)
    assert sorted(reads) == sorted(str(p) for p in exports.glob("part_0*.csv*")) and set(reads.values()) == {1}
