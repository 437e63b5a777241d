"""The Arrow layer seen by a real consumer: streams built by the C++ builder, schema and stream
adapter (through a test-only extension, see .ci/py_tests.sh) imported by pyarrow, by address and
through the PyCapsule interface. Skipped without pyarrow or the probe."""

import ctypes
import gc
import os
import sys

import pytest

pa = pytest.importorskip("pyarrow")
probe_dir = os.environ.get("QUORLE_ARROW_PROBE")
if not probe_dir:
    pytest.skip("the Arrow probe extension was not built", allow_module_level=True)
sys.path.insert(0, probe_dir)
import _quorle_arrow_probe as probe  # noqa: E402

lib = ctypes.CDLL(probe.__file__)
lib.quorle_probe_fill_stream.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p,
                                         ctypes.c_long, ctypes.c_int, ctypes.c_long]
lib.quorle_probe_live.restype = ctypes.c_long

HEADER = "id\tname\t\tname"
ROWS = ["1\tnaïve\tx\ty", "2", "\t\t\t", "4\t名前 😀\t\"q\",\tz"]
NAMES = ["id", "name", "column_3", "name_2"]
COLUMNS = [["1", "2", "", "4"], ["naïve", "", "", "名前 😀"], ["x", "", "", '"q",'],
           ["y", "", "", "z"]]


def import_stream(text="\n".join(ROWS), batch_rows=2, large=False, fail_after=-1):
    stream = (ctypes.c_byte * 40)()  # struct ArrowArrayStream
    assert lib.quorle_probe_fill_stream(stream, HEADER.encode(), text.encode(), batch_rows,
                                        large, fail_after) == 0
    return pa.RecordBatchReader._import_from_c(ctypes.addressof(stream))


class Rows:
    """A producer of the PyCapsule interface, as the package's objects will be."""

    def __init__(self, fail_after=-1):
        self.fail_after = fail_after

    def __arrow_c_schema__(self):
        return probe.schema_capsule(HEADER)

    def __arrow_c_stream__(self, requested_schema=None):
        return probe.stream_capsule(HEADER, "\n".join(ROWS), 3, False, self.fail_after,
                                    requested_schema)


@pytest.fixture(autouse=True)
def nothing_left():
    yield
    gc.collect()
    assert lib.quorle_probe_live() == 0, "a schema, batch or stream was never released"


@pytest.mark.parametrize("large, kind", [(False, pa.string()), (True, pa.large_string())])
def test_table_by_address(large, kind):
    reader = import_stream(large=large)
    assert reader.schema == pa.schema([pa.field(n, kind) for n in NAMES])
    batches = list(reader)
    assert [b.num_rows for b in batches] == [2, 2]
    table = pa.Table.from_batches(batches)
    assert table.column_names == NAMES
    assert [table.column(i).to_pylist() for i in range(4)] == COLUMNS
    table.validate(full=True)


def test_no_rows_is_an_empty_table():
    table = import_stream(text="").read_all()
    assert table.num_rows == 0 and table.column_names == NAMES


def test_capsules():
    assert pa.schema(Rows()).names == NAMES
    table = pa.table(Rows())
    assert [c.to_pylist() for c in table.columns] == COLUMNS
    assert table.schema.field(0).type == pa.string()
    wide = pa.schema([pa.field(n, pa.large_string()) for n in NAMES])
    reader = pa.RecordBatchReader.from_stream(Rows(), schema=wide)
    assert reader.read_all().schema == wide
    with pytest.raises(TypeError, match="requested_schema"):
        Rows().__arrow_c_stream__(requested_schema=42)


@pytest.mark.parametrize("make", [Rows.__arrow_c_stream__, Rows.__arrow_c_schema__])
def test_unconsumed_capsule_releases_what_it_holds(make):
    capsule = make(Rows())
    assert lib.quorle_probe_live() == 1  # the stream's source or the schema, held by the capsule
    del capsule
    assert lib.quorle_probe_live() == 0


def test_stream_dropped_half_way():
    reader = import_stream(batch_rows=1)
    first = reader.read_next_batch()
    assert lib.quorle_probe_live() == 2  # the source and this batch; the schema was imported
    del reader
    assert lib.quorle_probe_live() == 1, "the stream outlived its reader"
    assert first.column(1).to_pylist() == ["naïve"]
    del first


def test_failing_source_raises_after_its_batches():
    reader = import_stream(batch_rows=1, fail_after=2)
    assert reader.read_next_batch().num_rows == 1
    assert reader.read_next_batch().num_rows == 1
    with pytest.raises(OSError, match="disk gone after 2 batches"):
        reader.read_next_batch()
    with pytest.raises(OSError, match="disk gone"):
        pa.table(Rows(fail_after=1))
