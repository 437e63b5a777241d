"""Calls from many Python threads at once give the same results as the same calls made one by one."""

import random
import sys
import threading
import time

import pytest

pytestmark = pytest.mark.threads

THREADS = 12


@pytest.fixture(autouse=True)
def frequent_switches():
    """Makes the interpreter hand the lock between threads as often as it can."""
    before = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(before)


def run_together(work, count=THREADS):
    """Runs work(i) on `count` threads released together by a barrier; returns results in order."""
    barrier = threading.Barrier(count)
    results, errors = [None] * count, []

    def body(i):
        try:
            barrier.wait()
            results[i] = work(i)
        except BaseException as error:  # noqa: BLE001 - reported to the main thread below
            errors.append(error)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=30)
    assert not any(t.is_alive() for t in threads)
    assert errors == []
    return results


def damaged_input(seed):
    """A few hundred records with ragged rows, stray quotes and a delimiter that varies by seed."""
    rng = random.Random(seed)
    d = ",;\t|"[seed % 4]
    lines = []
    for i in range(300):
        width = rng.choice([3, 3, 3, 2, 5])
        fields = [f"r{i}c{k}" for k in range(width)]
        if rng.random() < 0.1:
            fields[0] = f'"say "x{i}" now"'
        lines.append(d.join(fields))
    return ("\r\n" if seed % 2 else "\n").join(lines) + "\n"


@pytest.fixture
def inputs(write):
    return [write(damaged_input(i)) for i in range(THREADS)]


def test_quorle_file_in_parallel(q, inputs, tmp_path, read):
    def rescue(i, tag):
        out, quarantine = str(tmp_path / f"{tag}{i}.csv"), str(tmp_path / f"{tag}{i}.q.csv")
        options = {"merge_overflow": i % 2 == 0}
        summary = q.quorle_file(inputs[i], out, quarantine, **options)
        return summary.to_dict(), read(out), read(quarantine)

    assert run_together(lambda i: rescue(i, "parallel")) == [rescue(i, "serial") for i in range(THREADS)]


def test_sniff_in_parallel(q):
    samples = [damaged_input(i) for i in range(THREADS)]
    serial = [q.sniff(s) for s in samples]
    assert serial == [",;\t|"[i % 4] for i in range(THREADS)]
    assert run_together(lambda i: [q.sniff(samples[i]) for _ in range(20)]) == [[s] * 20 for s in serial]


def test_separate_readers_in_parallel(q, inputs):
    def read_all(i):
        reader = q.open(inputs[i], fill_ragged_rows=i % 3 != 0)
        rows = []
        for row in reader:
            rows.append(row)
            assert len(reader) >= len(rows)
        return rows, reader.summary.to_dict()

    assert run_together(read_all) == [read_all(i) for i in range(THREADS)]


def retrying(call):
    """Calls until the reader is free. Without an interpreter lock, threads sharing a reader meet
    each other's borrows and are refused instead of waiting."""
    while True:
        try:
            return call()
        except RuntimeError as error:
            if str(error) not in ("Already borrowed", "Already mutably borrowed"):
                raise
            time.sleep(0)


def test_shared_reader_hands_out_each_row_once(q, write):
    count = 20_000
    reader = q.open(write("".join(f"{i},{i * 7}\n" for i in range(count))))

    def drain(i):
        taken = []
        while True:
            if i % 4 == 0:  # readers of the length and the summary mix with next()
                assert retrying(lambda: len(reader)) == count
                assert retrying(lambda: reader.summary).quorled_rows == count
            try:
                taken.append(retrying(lambda: next(reader)))
            except StopIteration:
                return taken
            if len(taken) % 16 == 0:
                time.sleep(0)  # give the other threads a turn in the middle of the rows

    results = run_together(drain)
    rows = [row for taken in results for row in taken]
    assert len(rows) == count
    assert sorted(int(a) for a, _ in rows) == list(range(count))
    assert all(int(b) == int(a) * 7 for a, b in rows)
    # Each thread sees its own rows in file order.
    for taken in results:
        numbers = [int(a) for a, _ in taken]
        assert numbers == sorted(numbers)
    with pytest.raises(StopIteration):
        next(reader)
