"""Native faults, the panic barrier and the deferred release queue."""

import ctypes
import gc
import sys
import threading

import pytest

import tervalin

native = pytest.importorskip(
    "_tervalin_native", reason="native faults can be provoked only in the embedding test program"
)


def caught_fault(kind="text"):
    try:
        native.fault(kind)
    except BaseException as error:  # noqa: B036 - PanicException is not an Exception
        return error
    raise AssertionError("the hook did not fault")


@pytest.fixture(scope="module")
def panic_type():
    return type(caught_fault())


@pytest.mark.parametrize(
    "kind, message",
    [
        ("text", "deliberate fault from a test hook"),
        ("standard", "standard failure from a test hook"),
        ("foreign", "panic from C++ code"),
        ("unwrap", "called `Result::unwrap()` on an `Err` value: PyErr { type: <class 'TypeError'>, "
                   "value: TypeError('inner message'), traceback: None }"),
    ],
)
def test_fault_becomes_panic_exception(kind, message):
    error = caught_fault(kind)
    assert type(error).__name__ == "PanicException"
    assert error.args == (message,)
    assert str(error) == message
    assert not isinstance(error, Exception)


def test_panic_exception_type(panic_type):
    assert panic_type.__module__ == "pyo3_runtime"
    assert panic_type.__qualname__ == "PanicException"
    assert panic_type.__bases__ == (BaseException,)
    assert panic_type.__doc__ == (
        "\nThe exception raised when C++ code called from Python panics.\n\n"
        "Like SystemExit, this exception is derived from BaseException so that\n"
        "it will typically propagate all the way through the stack and cause the\n"
        "Python interpreter to exit.\n"
    )
    assert type(caught_fault("foreign")) is panic_type
    assert not hasattr(tervalin, "PanicException")
    assert "PanicException" not in tervalin.__all__


def fault_on_thread(native_name):
    """Faults on a new thread, which first names itself natively when native_name is given."""
    def body():
        if native_name is not None:
            ctypes.CDLL(None, use_errno=True).prctl(15, native_name.encode(), 0, 0, 0)  # PR_SET_NAME
        caught_fault("text")

    thread = threading.Thread(target=body)
    thread.start()
    thread.join()


@pytest.mark.parametrize(
    "run, shown",
    [
        (lambda: caught_fault("text"), "main"),
        # A thread nobody named carries the process's name.
        (lambda: fault_on_thread(None), "<unnamed>"),
        (lambda: fault_on_thread("feedback-rx"), "feedback-rx"),
    ],
    ids=["main", "unnamed", "named"],
)
def test_fault_report_names_thread_and_location(capfd, run, shown):
    run()
    err = capfd.readouterr().err
    assert f"thread '{shown}' panicked at tests/native/native_hooks.cpp:" in err
    assert "deliberate fault from a test hook" in err


def test_panic_from_python_code_is_resumed(panic_type, capfd):
    original = panic_type("raised in __float__")

    class Resuming:
        def __float__(self):
            raise original

    with pytest.raises(panic_type) as raised:
        tervalin.MitLimits(Resuming())
    assert raised.value is not original
    assert raised.value.args == ("raised in __float__",)
    err = capfd.readouterr().err
    banner = "--- tervalin's binding layer is resuming a panic after fetching a PanicException from Python. ---"
    assert banner + "\nPython stack trace below:\n" in err
    assert "in __float__" in err and "PanicException: raised in __float__" in err


def test_other_fetched_errors_pass_through(panic_type):
    def failing():
        raise LookupError("from Python")

    with pytest.raises(LookupError, match="from Python"):
        native.call_in_boundary(failing)

    def panicking():
        raise panic_type("again")

    with pytest.raises(panic_type, match="^again$"):
        native.call_in_boundary(panicking)


def test_lock_depth_restored_after_failures():
    depth = native.lock_depth()
    for call in (lambda: tervalin.MitLimits("x"), lambda: tervalin.Damiao(), lambda: native.fault("text"),
                 lambda: tervalin.MotorState()):
        with pytest.raises(BaseException):
            call()
        assert native.lock_depth() == depth


def test_references_released_without_the_lock_are_queued_then_released_in_order():
    released = []

    class Tracked:
        def __init__(self, name):
            self.name = name

        def __del__(self):
            released.append(self.name)

    gc.collect()
    first, second = Tracked("first"), Tracked("second")
    base = native.deferred_count()
    assert native.release_on_foreign_thread(first) == base + 1
    assert native.release_on_foreign_thread(second) == base + 2
    del first, second  # only the queued references keep them alive now
    assert released == []
    tervalin.MitLimits()  # any boundary entry drains the queue
    assert released == ["first", "second"]
    assert native.deferred_count() == 0


def test_queued_release_keeps_object_alive_until_drained():
    token = object()
    count = sys.getrefcount(token)
    native.release_on_foreign_thread(token)
    assert sys.getrefcount(token) == count + 1
    tervalin.MitSetpoint()
    assert sys.getrefcount(token) == count
