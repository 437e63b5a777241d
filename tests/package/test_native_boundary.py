"""The package's native module at its boundary: options cross by name only, a call that does not
fit raises TypeError naming the parameter, and a stream left running when the interpreter exits
ends the process cleanly."""
from __future__ import annotations

import subprocess
import sys
import textwrap
from pathlib import Path
from typing import Any

import pytest

from csv_quorle import _native

_PASS = dict(delimiter=ord(","), quote=ord('"'), escape=-1, header=True, expected_columns=-1,
             skip_blank_lines=True, fill_ragged_rows=True, merge_overflow=True,
             repair_quotes=True, long_quoted_lines=0, recode_cp1252=False, first_line=1,
             header_rows=1, skip_initial_space=False, comment=-1, skip_repeated_header=False,
             header_names=None, width_hint=0)
_OPEN = dict(_PASS, batch_rows=10, null_padding=False, mapped=False, quarantine_fd=-1,
             quarantine_temporary=b"", quarantine_target=b"", quarantine_name=b"")


def _without(options: dict[str, Any], name: str) -> dict[str, Any]:
    return {k: v for k, v in options.items() if k != name}


# (arguments after the buffer, keywords, what the message must say)
_MISFITS = [
    ((1,), _OPEN, "positional"),
    ((), dict(_OPEN, colour=1), "unexpected keyword argument 'colour'"),
    ((), _without(_OPEN, "width_hint"), "'width_hint'"),
    ((), _without(_OPEN, "quarantine_name"), "'quarantine_name'"),
]


@pytest.mark.parametrize(("args", "options", "says"), _MISFITS)
def test_a_call_that_does_not_fit_is_a_type_error(args: tuple[Any, ...],
                                                  options: dict[str, Any], says: str) -> None:
    with pytest.raises(TypeError, match=says):
        _native.open_batches(b"a,b\n1,2\n", *args, **options)


@pytest.mark.parametrize(("name", "value", "error"), [
    ("batch_rows", "10", TypeError),
    ("quarantine_fd", 1 << 40, OverflowError),
    ("quarantine_name", "q.csv", TypeError),
    ("quarantine_target", b"a\0b", ValueError),
    ("width_hint", -1, OverflowError),
])
def test_a_bad_value_names_its_parameter(name: str, value: Any, error: type) -> None:
    with pytest.raises(error) as caught:
        _native.open_batches(b"a,b\n1,2\n", **dict(_OPEN, **{name: value}))
    assert f"while processing '{name}'" in getattr(caught.value, "__notes__", [])


def test_rescue_takes_only_the_buffer_by_position() -> None:
    with pytest.raises(TypeError, match="positional"):
        _native.rescue(b"a\n", 1, 2)


# The binder the backend shares words its messages by the kind of parameter: the buffer may come
# by position only, the options by name only, and each missing one is named on its own.
@pytest.mark.parametrize(("args", "options", "message"), [
    ((b"a", 1), _OPEN, "open_batches() takes 1 positional arguments but 2 were given"),
    ((), dict(_OPEN, buffer=b"a"), "open_batches() got an unexpected keyword argument 'buffer'"),
    ((), _OPEN, "open_batches() missing required argument 'buffer'"),
    ((b"a",), _without(_without(_OPEN, "mapped"), "width_hint"),
     "open_batches() missing required argument 'mapped'"),
])
def test_the_words_of_a_call_that_does_not_fit(args: tuple[Any, ...], options: dict[str, Any],
                                              message: str) -> None:
    with pytest.raises(TypeError) as caught:
        _native.open_batches(*args, **options)
    assert str(caught.value) == message


def test_a_stream_left_running_at_exit_ends_the_process_cleanly(tmp_path: Path) -> None:
    pytest.importorskip("pyarrow")
    # Far more rows than the queue holds: the pass thread is still waiting to hand over when
    # the interpreter shuts down, with the buffer of the source still exported to it.
    source = tmp_path / "big.csv"
    source.write_bytes(b"a,b\n" + b"1,2\n" * 200_000)
    code = textwrap.dedent(f"""
        import csv_quorle, pyarrow as pa
        batches = csv_quorle.read_batches({str(source)!r}, batch_rows=100)
        reader = pa.RecordBatchReader.from_stream(batches)
        assert reader.read_next_batch().num_rows == 100
        kept = (batches, reader)
    """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, timeout=120)
    assert (done.returncode, done.stderr) == (0, b"")
