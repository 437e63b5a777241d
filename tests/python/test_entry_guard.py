"""What a failure inside an entry point becomes, seen through a test-only extension that fails on
purpose inside the same guard. Skipped when that extension was not built (see .ci/py_tests.sh)."""

import os
import sys

import pytest

probe_dir = os.environ.get("QUORLE_GUARD_PROBE")
if not probe_dir:
    pytest.skip("the guard probe extension was not built", allow_module_level=True)
sys.path.insert(0, probe_dir)
import _quorle_guard_probe as probe  # noqa: E402


def test_internal_failure_is_a_base_exception_outside_the_module(q):
    cls = probe.internal_failure()
    assert cls.__module__ == "_csv_quorle_backend" and cls.__name__ == "InternalFailure"
    assert cls.__mro__[1:] == (BaseException, object)
    assert probe.internal_failure() is cls, "made once"
    assert not hasattr(q, "InternalFailure")


@pytest.mark.parametrize(
    "call, cls, text",
    [
        ("out_of_memory", MemoryError, None),
        ("too_many_columns", MemoryError, "cannot pad rows to 1099511627776 columns"),
        ("failure_without_exception", SystemError, "attempted to fetch exception but none was set"),
    ],
)
def test_failures_of_the_platform(call, cls, text):
    with pytest.raises(cls) as info:
        getattr(probe, call)()
    assert type(info.value) is cls
    if text:
        assert text in str(info.value)


@pytest.mark.parametrize(
    "call, text",
    [
        ("broken_invariant", "internal check failed: 1 + 1 == 3"),
        ("standard_exception", "no text here"),
        ("foreign_exception", "internal failure in _csv_quorle_backend"),
    ],
)
def test_broken_invariants_become_internal_failure(call, text):
    with pytest.raises(BaseException) as info:
        try:
            getattr(probe, call)()
        except Exception:  # noqa: BLE001 - must not catch it
            pytest.fail("InternalFailure was caught by `except Exception`")
    assert type(info.value) is probe.internal_failure()
    assert len(info.value.args) == 1 and text in info.value.args[0]
