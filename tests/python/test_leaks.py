"""Every entry point, run many times on its success path and on each of its error paths, leaves
nothing behind: no references (on a debug interpreter), no descriptors, no stray files, and no
growth of the resident memory."""

import gc
import os
import pathlib
import sys
import types

import pytest

import _csv_quorle_backend as quorle

WARMUP = 20
ITERATIONS = 200
# Total reference counts drift by up to a few dozen for reasons that have nothing to do with the
# module (caches of the interpreter filling up: 20000 calls drift no more than 200 do); a leak of
# one reference per call shows up as 200.
REFCOUNT_TOLERANCE = 50
ROUNDS = 3

needs_refcounts = pytest.mark.skipif(
    not hasattr(sys, "gettotalrefcount"), reason="needs a debug interpreter (sys.gettotalrefcount)"
)

# Every kind of row the reader hands out: quote-free, quoted, non-ASCII, padded, merged, repaired,
# with an ill-formed byte, and blank.
MIXED = (
    b"id,name,note\n"
    b'1,"Smith, J","said ""hi"""\n'
    b"2,Zo\xc3\xab,caf\xc3\xa9\n"
    b"3,short\n"
    b"4,a,b,c,d\n"
    b'5,"stray "q" inside",x\n'
    b"6,bad\xff,byte\n"
    b"\n"
    b"7,\xe2\x82\xac,\"\xe2\x82\xac,\"\n"
)


class Count:
    """An integer-like object: expected_columns goes through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class BrokenCount:
    def __index__(self):
        raise ArithmeticError("no count here")


class TextPath(str):
    pass


def _raise_on_truth(self):
    raise ZeroDivisionError("no truth value")


# Taken for NumPy booleans by their type's module and name, without NumPy being imported.
FakeNumpyBool = type("bool_", (), {"__module__": "numpy", "__bool__": lambda self: False})
RaisingNumpyBool = type("bool_", (), {"__module__": "numpy", "__bool__": _raise_on_truth})


@pytest.fixture(scope="module")
def f(tmp_path_factory):
    """The paths and objects the cases work on, made once for the module."""
    tmp = tmp_path_factory.mktemp("leaks")
    (tmp / "directory").mkdir()
    src = tmp / "mixed.csv"
    src.write_bytes(MIXED)
    exhausted = quorle.open(str(src))
    for _ in exhausted:
        pass
    return types.SimpleNamespace(
        tmp=tmp,
        src=str(src),
        out=str(tmp / "out.csv"),
        quar=str(tmp / "quarantine.csv"),
        inplace=str(tmp / "inplace.csv"),
        missing=str(tmp / "missing.csv"),
        directory=str(tmp / "directory"),
        not_a_directory=str(src / "inside.csv"),
        nowhere=str(tmp / "nowhere" / "out.csv"),
        reader=quorle.open(str(src)),
        exhausted=exhausted,
        summary=quorle.quorle_file(str(src), str(tmp / "summary.csv")),
    )


def rescue_in_place(f, quarantine):
    path = pathlib.Path(f.inplace)
    path.unlink(missing_ok=True)  # creating a file costs less than truncating one
    path.write_bytes(MIXED)
    quorle.quorle_file(f.inplace, f.inplace, quarantine, fill_ragged_rows=False)


def iterate(reader):
    for _ in reader:
        pass


def exhaust_then_next(reader):
    iterate(reader)
    next(reader)


def with_block(reader, error=None):
    with reader as r:
        next(r)
        if error:
            raise error


def set_attribute(obj, name, value):
    setattr(obj, name, value)


q = quorle
NINE = (None, None, '"', True, True, None, True, True)  # after input_path, output_path: one too many
SEVEN = (None, '"', True, True, None, True, True)  # after file_path: one too many

# id, exception expected (None: the call succeeds), the call
CASES = [
    # quorle_file, success
    ("quorle_file", None, lambda f: q.quorle_file(f.src, f.out)),
    ("quorle_file-quarantine", None,
     lambda f: q.quorle_file(f.src, f.out, f.quar, fill_ragged_rows=False, merge_overflow=False)),
    ("quorle_file-every-option", None,
     lambda f: q.quorle_file(input_path=f.src, output_path=f.out, quarantine_path=f.quar, delimiter=",",
                             quote_char="'", fill_ragged_rows=False, merge_overflow=False,
                             expected_columns=Count(3), repair_quotes=False)),
    ("quorle_file-str-subclass-paths", None, lambda f: q.quorle_file(TextPath(f.src), TextPath(f.out))),
    ("quorle_file-numpy-like-flag", None, lambda f: q.quorle_file(f.src, f.out, fill_ragged_rows=FakeNumpyBool())),
    ("quorle_file-in-place", None, lambda f: rescue_in_place(f, f.quar)),
    # quorle_file, binding
    ("quorle_file-no-args", TypeError, lambda f: q.quorle_file()),
    ("quorle_file-one-arg", TypeError, lambda f: q.quorle_file(f.src)),
    ("quorle_file-too-many", TypeError, lambda f: q.quorle_file(f.src, f.out, *NINE)),
    ("quorle_file-unknown-keyword", TypeError, lambda f: q.quorle_file(f.src, f.out, bogus=1)),
    ("quorle_file-multiple-values", TypeError, lambda f: q.quorle_file(f.src, f.out, input_path=f.src)),
    # quorle_file, conversion
    ("quorle_file-path-object", TypeError, lambda f: q.quorle_file(pathlib.Path(f.src), f.out)),
    ("quorle_file-lone-surrogate-input", UnicodeEncodeError, lambda f: q.quorle_file("\ud800", f.out)),
    ("quorle_file-lone-surrogate-quarantine", UnicodeEncodeError, lambda f: q.quorle_file(f.src, f.out, "\udfff")),
    ("quorle_file-lone-surrogate-quote", UnicodeEncodeError, lambda f: q.quorle_file(f.src, f.out, quote_char="\ud800")),
    ("quorle_file-quote-none", TypeError, lambda f: q.quorle_file(f.src, f.out, quote_char=None)),
    ("quorle_file-flag-int", TypeError, lambda f: q.quorle_file(f.src, f.out, merge_overflow=1)),
    ("quorle_file-flag-truth-fails", ZeroDivisionError,
     lambda f: q.quorle_file(f.src, f.out, repair_quotes=RaisingNumpyBool())),
    ("quorle_file-count-negative", OverflowError, lambda f: q.quorle_file(f.src, f.out, expected_columns=-1)),
    ("quorle_file-count-too-large", OverflowError, lambda f: q.quorle_file(f.src, f.out, expected_columns=2**64)),
    ("quorle_file-count-index-negative", OverflowError,
     lambda f: q.quorle_file(f.src, f.out, expected_columns=Count(-1))),
    ("quorle_file-count-float", TypeError, lambda f: q.quorle_file(f.src, f.out, expected_columns=2.0)),
    ("quorle_file-count-index-fails", ArithmeticError,
     lambda f: q.quorle_file(f.src, f.out, expected_columns=BrokenCount())),
    ("quorle_file-delimiter-not-ascii", ValueError, lambda f: q.quorle_file(f.src, f.out, delimiter="é")),
    ("quorle_file-quote-line-feed", ValueError, lambda f: q.quorle_file(f.src, f.out, quote_char="\n")),
    ("quorle_file-delimiter-is-quote", ValueError, lambda f: q.quorle_file(f.src, f.out, delimiter='"')),
    # quorle_file, files
    ("quorle_file-missing-input", OSError, lambda f: q.quorle_file(f.missing, f.out, f.quar)),
    ("quorle_file-input-is-directory", OSError, lambda f: q.quorle_file(f.directory, f.out)),
    ("quorle_file-input-under-a-file", OSError, lambda f: q.quorle_file(f.not_a_directory, f.out)),
    ("quorle_file-nul-in-input", OSError, lambda f: q.quorle_file(f.src + "\0", f.out)),
    ("quorle_file-output-is-directory", OSError, lambda f: q.quorle_file(f.src, f.directory, f.quar)),
    ("quorle_file-output-in-missing-directory", OSError, lambda f: q.quorle_file(f.src, f.nowhere, f.quar)),
    ("quorle_file-output-device-full", OSError, lambda f: q.quorle_file(f.src, "/dev/full", f.quar)),
    ("quorle_file-quarantine-device-full", OSError, lambda f: q.quorle_file(f.src, f.out, "/dev/full")),
    ("quorle_file-quarantine-in-missing-directory", OSError, lambda f: q.quorle_file(f.src, f.out, f.nowhere)),
    ("quorle_file-quarantine-empty-path", OSError, lambda f: q.quorle_file(f.src, f.out, "")),
    ("quorle_file-quarantine-is-output", OSError, lambda f: q.quorle_file(f.src, f.out, f.out)),
    ("quorle_file-in-place-quarantine-fails", OSError, lambda f: rescue_in_place(f, f.nowhere)),
    ("quorle_file-count-too-large-to-pad", MemoryError,
     lambda f: q.quorle_file(f.src, f.out, expected_columns=2**40)),
    # sniff
    ("sniff", None, lambda f: q.sniff("a;b;c\n1;2;3\n")),
    ("sniff-empty", None, lambda f: q.sniff("")),
    ("sniff-keyword", None, lambda f: q.sniff(sample="a|b\nc|d\n")),
    ("sniff-bytes", TypeError, lambda f: q.sniff(b"a,b")),
    ("sniff-lone-surrogate", UnicodeEncodeError, lambda f: q.sniff("a,b\ud800")),
    ("sniff-no-args", TypeError, lambda f: q.sniff()),
    ("sniff-too-many", TypeError, lambda f: q.sniff("a", "b")),
    ("sniff-unknown-keyword", TypeError, lambda f: q.sniff(sample="a", x=1)),
    # reader creation
    ("open-iterate", None, lambda f: iterate(q.open(f.src))),
    ("QuorleReader-iterate", None, lambda f: iterate(q.QuorleReader(f.src))),
    ("open-every-option", None,
     lambda f: iterate(q.open(file_path=f.src, delimiter=",", quote_char='"', fill_ragged_rows=False,
                              merge_overflow=False, expected_columns=Count(3), repair_quotes=False))),
    ("QuorleReader-every-option", None,
     lambda f: iterate(q.QuorleReader(f.src, ";", "'", True, False, 2, False))),
    ("open-created-only", None, lambda f: q.open(f.src)),
    ("open-padded-wide", None, lambda f: iterate(q.open(f.src, expected_columns=50))),
    ("open-next-when-exhausted", StopIteration, lambda f: exhaust_then_next(q.open(f.src))),
    ("open-missing", FileNotFoundError, lambda f: q.open(f.missing)),
    ("QuorleReader-missing", FileNotFoundError, lambda f: q.QuorleReader(f.missing)),
    ("open-directory", IsADirectoryError, lambda f: q.open(f.directory)),
    ("open-under-a-file", NotADirectoryError, lambda f: q.open(f.not_a_directory)),
    ("open-nul", OSError, lambda f: q.open("a\0b")),
    ("open-count-too-large-to-pad", MemoryError, lambda f: q.open(f.src, expected_columns=2**40)),
    ("open-no-args", TypeError, lambda f: q.open()),
    ("open-too-many", TypeError, lambda f: q.open(f.src, *SEVEN)),
    ("open-unknown-keyword", TypeError, lambda f: q.open(f.src, bogus=1)),
    ("open-multiple-values", TypeError, lambda f: q.open(f.src, file_path=f.src)),
    ("QuorleReader-no-args", TypeError, lambda f: q.QuorleReader()),
    ("QuorleReader-too-many", TypeError, lambda f: q.QuorleReader(f.src, *SEVEN)),
    ("QuorleReader-unknown-keyword", TypeError, lambda f: q.QuorleReader(f.src, bogus=1)),
    ("QuorleReader-multiple-values", TypeError, lambda f: q.QuorleReader(f.src, file_path=f.src)),
    ("open-path-object", TypeError, lambda f: q.open(pathlib.Path(f.src))),
    ("open-lone-surrogate-path", UnicodeEncodeError, lambda f: q.open("\udc80.csv")),
    ("QuorleReader-lone-surrogate-delimiter", UnicodeEncodeError, lambda f: q.QuorleReader(f.src, "\ud800")),
    ("open-count-negative", OverflowError, lambda f: q.open(f.src, expected_columns=-1)),
    ("QuorleReader-count-string", TypeError, lambda f: q.QuorleReader(f.src, expected_columns="3")),
    ("open-flag-none", TypeError, lambda f: q.open(f.src, fill_ragged_rows=None)),
    ("open-delimiter-carriage-return", ValueError, lambda f: q.open(f.src, delimiter="\r")),
    ("QuorleReader-quote-not-ascii", ValueError, lambda f: q.QuorleReader(f.src, quote_char="ü")),
    ("open-delimiter-is-quote", ValueError, lambda f: q.open(f.src, delimiter="'", quote_char="'")),
    # a reader in use
    ("reader-next-when-exhausted", StopIteration, lambda f: next(f.exhausted)),
    ("reader-iter", None, lambda f: iter(f.reader)),
    ("reader-len", None, lambda f: len(f.reader)),
    ("reader-summary", None, lambda f: f.reader.summary),
    ("reader-with-block", None, lambda f: with_block(q.open(f.src))),
    ("reader-with-block-raising", KeyError, lambda f: with_block(q.open(f.src), KeyError("inside"))),
    ("reader-exit-with-arguments", None, lambda f: f.reader.__exit__(ValueError, ValueError("x"), None)),
    ("reader-exit-keywords", None, lambda f: f.reader.__exit__(_exc_tb=None, _exc_type=None)),
    ("reader-exit-too-many", TypeError, lambda f: f.reader.__exit__(1, 2, 3, 4)),
    ("reader-exit-unknown-keyword", TypeError, lambda f: f.reader.__exit__(tb=None)),
    ("reader-exit-multiple-values", TypeError, lambda f: f.reader.__exit__(None, _exc_type=None)),
    ("reader-set-attribute", AttributeError, lambda f: set_attribute(f.reader, "summary", None)),
    # summaries
    ("summary-to-dict", None, lambda f: f.summary.to_dict()),
    ("summary-repr", None, lambda f: repr(f.summary)),
    ("summary-str", None, lambda f: str(f.summary)),
    ("summary-properties", None,
     lambda f: (f.summary.total_rows, f.summary.quorled_rows, f.summary.repaired_rows,
                f.summary.quarantined_rows, f.summary.detected_delimiter, f.summary.inferred_columns)),
    ("summary-of-reader-to-dict", None, lambda f: f.reader.summary.to_dict()),
    ("summary-to-dict-argument", TypeError, lambda f: f.summary.to_dict(1)),
    ("summary-set-attribute", AttributeError, lambda f: set_attribute(f.summary, "total_rows", 0)),
    ("summary-constructor", TypeError, lambda f: q.QuorleSummary()),
]


def outcome(call, f):
    """The class of the exception the call raised, or None."""
    try:
        call(f)
    except Exception as error:  # noqa: BLE001 - every case names the class it expects
        return type(error)
    return None


def run(call, f, expected, times):
    for _ in range(times):
        got = outcome(call, f)
        if got is not expected:
            raise AssertionError(f"expected {expected}, the call gave {got}")


def refcount_growth(call, f, expected):
    """Growth of the interpreter's total reference count over ITERATIONS calls after a warm-up."""
    run(call, f, expected, WARMUP)
    gc.collect()
    before = sys.gettotalrefcount()
    run(call, f, expected, ITERATIONS)
    gc.collect()
    return sys.gettotalrefcount() - before


def steady_refcount_growth(call, f, expected):
    """The smallest growth over a few rounds. A leak grows the count in every round; the
    interpreter's own caches (specialised code, type caches) only now and then, by a few."""
    growths = []
    for _ in range(ROUNDS):
        growths.append(refcount_growth(call, f, expected))
        if abs(growths[-1]) <= REFCOUNT_TOLERANCE:
            break
    return min(growths, key=abs), growths


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


@needs_refcounts
@pytest.mark.parametrize("expected, call", [pytest.param(*c[1:], id=c[0]) for c in CASES])
def test_references_do_not_grow(f, expected, call):
    growth, rounds = steady_refcount_growth(call, f, expected)
    assert abs(growth) <= REFCOUNT_TOLERANCE, f"total reference count changed by {rounds} over {ITERATIONS} calls"


@pytest.mark.parametrize("expected, call", [pytest.param(*c[1:], id=c[0]) for c in CASES])
def test_no_descriptor_or_file_left_behind(f, expected, call):
    run(call, f, expected, 3)
    names = sorted(p.name for p in f.tmp.rglob("*"))
    descriptors = open_descriptors()
    run(call, f, expected, 50)
    gc.collect()
    assert open_descriptors() == descriptors
    assert sorted(p.name for p in f.tmp.rglob("*")) == names


# Resident memory over many runs of the heavy paths on a small file of long fields. Each run brings
# the 28 kB file into memory twice and builds rows from it, so anything kept per run (a buffer, a
# mapping, the rows) would add up to tens of megabytes.
RSS_WARMUP = 200
RSS_RUNS = 2000
RSS_SAMPLES = 8
RSS_LIMIT_KB = 2048


def resident_kb():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS in /proc/self/status")


def under_address_sanitizer():
    with open("/proc/self/maps") as maps:
        return any("libasan" in line for line in maps)


def test_resident_memory_stays_flat(tmp_path):
    if under_address_sanitizer():
        pytest.skip("the address sanitizer holds freed memory in quarantine")
    src = tmp_path / "small.csv"
    long_rows = b"".join(b"%d,%s,\"%s\"\n" % (i, b"x" * 1000, b"y\"\"" * 250) for i in range(16))
    src.write_bytes(MIXED + long_rows)
    src, out, quar = str(src), str(tmp_path / "out.csv"), str(tmp_path / "q.csv")

    def once():
        for path in (out, quar):  # creating a file costs less than truncating one
            if os.path.exists(path):
                os.unlink(path)
        quorle.quorle_file(src, out, quar, fill_ragged_rows=False)
        with quorle.open(src) as reader:
            for _ in reader:
                pass
        assert len(reader) == 25

    for _ in range(RSS_WARMUP):
        once()
    gc.collect()
    start = resident_kb()
    samples = []
    for i in range(RSS_RUNS):
        once()
        if (i + 1) % (RSS_RUNS // RSS_SAMPLES) == 0:
            gc.collect()
            samples.append(resident_kb() - start)
    assert max(samples) < RSS_LIMIT_KB, f"resident memory grew by {samples} kB"
