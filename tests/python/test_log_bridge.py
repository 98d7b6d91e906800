"""Native log records reaching Python logging through the bridge."""

import logging
import os
import sys
import threading

import pytest

import tervalin
from conftest import run_python

native = pytest.importorskip(
    "_tervalin_native", reason="native log records can be emitted only in the embedding test program"
)

ERROR, WARN, INFO, DEBUG, TRACE = 1, 2, 3, 4, 5
OFF = 0


class Collect(logging.Handler):
    def __init__(self):
        super().__init__(logging.NOTSET)
        self.records = []

    def emit(self, record):
        self.records.append(record)


@pytest.fixture
def collect():
    handler = Collect()
    root = logging.getLogger()
    old_level = root.level
    root.addHandler(handler)
    root.setLevel(logging.DEBUG)
    yield handler
    root.removeHandler(handler)
    root.setLevel(old_level)


def fresh(name):
    """A target no other test logs to, so its cache node starts empty."""
    return f"{name}::{os.urandom(4).hex()}"


def test_target_maps_to_logger_name_and_record_fields(collect):
    target = fresh("bridge::name")
    native.log(INFO, target, "hello", "motor.c", 42)
    native.log(WARN, target, "no site")
    first, second = collect.records
    assert first.name == target.replace("::", ".")
    assert (first.levelno, first.pathname, first.lineno, first.getMessage()) == (20, "motor.c", 42, "hello")
    assert (second.levelno, second.pathname, second.lineno) == (30, None, 0)
    assert native.cache_entry(target) == DEBUG


def test_dotted_target_is_one_segment(collect):
    target = "dotted." + os.urandom(4).hex()
    native.log(ERROR, target, "x")
    assert collect.records[-1].name == target
    assert native.cache_entry(target) == DEBUG
    assert native.cache_entry("dotted") is False


def test_empty_target_reaches_root_logger(collect):
    native.log(INFO, "", "to the root")
    assert collect.records[-1].name == "" and collect.records[-1].getMessage() == "to the root"


def test_trace_is_never_forwarded_nor_formatted(collect):
    logging.getLogger("bridge.trace").setLevel(1)
    before = native.formatted_count()
    native.log(TRACE, "bridge::trace", "never")
    assert native.max_level() == DEBUG
    assert native.formatted_count() == before
    assert collect.records == []


@pytest.mark.parametrize(
    "python_level, cached, forwarded",
    [
        (logging.WARNING, WARN, {ERROR, WARN}),
        (25, WARN, {ERROR, WARN}),
        (logging.CRITICAL, OFF, set()),
        (logging.DEBUG, DEBUG, {ERROR, WARN, INFO, DEBUG}),
    ],
)
def test_cached_filter_decides_natively(collect, python_level, cached, forwarded):
    target = fresh("bridge::level")
    logger = logging.getLogger(target.replace("::", "."))
    logger.setLevel(python_level)
    native.log(INFO, target, "first")  # looks the logger up and caches it
    assert native.cache_entry(target) == cached
    logger.setLevel(logging.DEBUG)  # not seen by the cached filter
    collect.records.clear()
    before = native.formatted_count()
    for level in (ERROR, WARN, INFO, DEBUG):
        native.log(level, target, str(level))
    assert {int(r.getMessage()) for r in collect.records} == forwarded
    assert native.formatted_count() - before == len(forwarded)


def test_parent_after_child_gets_its_own_entry(collect):
    parent = fresh("bridge::tree")
    native.log(INFO, parent + "::child", "child first")
    assert native.cache_entry(parent) is None  # a node without entry
    native.log(INFO, parent, "parent")
    assert collect.records[-1].name == parent.replace("::", ".")
    assert native.cache_entry(parent) == DEBUG
    assert native.cache_entry(parent + "::child") == DEBUG


@pytest.mark.parametrize("method", ["makeRecord", "handle"])
def test_raising_logger_method_is_printed_and_stores_nothing(collect, capfd, monkeypatch, method):
    target = fresh("bridge::raise")
    logger = logging.getLogger(target.replace("::", "."))

    def broken(*args, **kwargs):
        raise ValueError(f"broken {method}")

    monkeypatch.setattr(logger, method, broken)
    native.log(INFO, target, "lost")
    assert f"ValueError: broken {method}" in capfd.readouterr().err
    assert native.cache_entry(target) is False
    monkeypatch.undo()
    native.log(INFO, target, "kept")
    assert collect.records[-1].getMessage() == "kept"
    assert native.cache_entry(target) == DEBUG


def test_panic_from_a_handler_leaves_the_log_call(collect, panic_type):
    target = fresh("bridge::panic")
    logger = logging.getLogger(target.replace("::", "."))
    logger.handle = lambda record: (_ for _ in ()).throw(panic_type("handler panicked"))
    with pytest.raises(RuntimeError, match="native fault left the log call: handler panicked"):
        native.log(INFO, target, "x")


def test_printf_style_record(collect):
    target = fresh("bridge::printf")
    native.logf(target, 42)
    record = collect.records[-1]
    assert record.getMessage() == "number 42"
    assert record.pathname.endswith("native_hooks.cpp") and record.lineno > 0


def test_second_installation_fails():
    with pytest.raises(BaseException, match=r"^called `Result::unwrap\(\)` on an `Err` value: SetLoggerError\(\(\)\)$"):
        native.install_again()


def test_rejected_records_need_no_interpreter_lock():
    target = fresh("bridge::off")
    logging.getLogger(target.replace("::", ".")).setLevel(logging.CRITICAL)
    native.log(ERROR, target, "caches the filter off")
    before = native.formatted_count()
    assert native.rejected_while_locked(target, ERROR, 100_000)
    assert native.rejected_while_locked("bridge::any", TRACE, 100_000)
    assert native.formatted_count() == before


def test_concurrent_native_threads_and_level_changes(collect):
    stable = [fresh("conc::stable") for _ in range(3)]
    toggled = [fresh("conc::toggled") for _ in range(2)]
    loggers = [logging.getLogger(t.replace("::", ".")) for t in stable + toggled]
    counts_before = [sys.getrefcount(logger) for logger in loggers]
    stop = threading.Event()

    def toggle():
        while not stop.is_set():
            for t in toggled:
                logger = logging.getLogger(t.replace("::", "."))
                logger.setLevel(logging.ERROR if logger.level != logging.ERROR else logging.DEBUG)

    togglers = [threading.Thread(target=toggle) for _ in range(2)]
    for thread in togglers:
        thread.start()
    try:
        native.log_from_threads(4, 2500, stable + toggled, INFO)
    finally:
        stop.set()
        for thread in togglers:
            thread.join()
    tervalin.MitLimits()  # drains references released by the native threads
    assert native.deferred_count() == 0
    per_target = {t: 0 for t in stable}
    for record in collect.records:
        if record.name.startswith("conc.stable"):
            per_target[record.name.replace(".", "::")] += 1
    # 10,000 records cycle over five targets: every stable target gets 2,000.
    assert per_target == {t: 2000 for t in stable}
    # The cache holds exactly one reference to each logger, however the stores raced.
    assert [sys.getrefcount(logger) for logger in loggers] == [c + 1 for c in counts_before]


def test_records_through_the_kit_header_from_native_threads(collect):
    """The kit's header, as separately built extensions use it: its table calls must reach the same bridge."""
    target = fresh("bridge::kit")
    native.kit_log_from_threads(3, 200, target, INFO)
    native.kit_log_from_threads(2, 50, target, TRACE)  # above the maximum level: refused before any call
    records = [r for r in collect.records if r.name == target.replace("::", ".")]
    assert sorted(r.getMessage() for r in records) == sorted(f"{t}:{i}" for t in range(3) for i in range(200))
    assert {r.levelno for r in records} == {20}
    # The printf-style thread passes its site; the others give none.
    assert {(r.pathname or "").rsplit("/", 1)[-1] for r in records} == {"", "kit_hooks.cpp"}
    assert native.cache_entry(target) == DEBUG


def test_records_before_installation_are_dropped():
    child = run_python(
        "import logging, _tervalin_native as n\n"
        "logging.basicConfig(level=logging.DEBUG)\n"
        "n.log(1, 'early', 'before import')\n"
        "assert n.formatted_count() == 0 and n.max_level() == 0\n"
        "import tervalin\n"
        "n.log(1, 'late', 'after import')\n"
        "print(n.formatted_count())\n"
    )
    assert child.returncode == 0, child.stderr
    assert child.stdout.strip() == "1"
    assert "before import" not in child.stderr and "after import" in child.stderr


def test_readers_complete_while_a_store_is_parked():
    completed, finished, seen_while_parked, cached_after = native.parked_store(4, 20_000, object())
    assert finished, "readers waited for a writer parked between building and publishing its tree"
    assert completed == 4 * 20_000
    assert not seen_while_parked  # the parked tree is not visible before it is published
    assert cached_after


# 70 readers outgrow the first block of 64 reader counters.
@pytest.mark.parametrize("threads", [1, 4, 70])
def test_trees_replaced_under_readers_are_freed(threads):
    logger = object()
    before = sys.getrefcount(logger)
    counters = native.owned_reader_counters()
    result = native.reject_under_stores(threads, 20_000, 16, logger)
    assert result["stores"] > 0
    # Every reader thread has ended and handed its counter back.
    assert native.owned_reader_counters() == counters
    # A replaced tree waits only for read sections that were open when it was
    # replaced: once the readers are gone, the next store frees all of them,
    assert result["retired_after"] == 0
    # and the cache going away releases every reference any tree held (queued,
    # as the hook runs outside any boundary, and drained by the next entry).
    tervalin.MitLimits()
    assert sys.getrefcount(logger) == before


def test_reader_without_a_counter_holds_off_writers():
    logger = object()
    before = sys.getrefcount(logger)
    result = native.read_without_counter(logger)
    assert result["exhausted"], result  # a thread was left without a counter
    assert result["counterless"] and result["found"], result
    # The store replacing the tree it read waited for its section to end.
    assert result["waited"], result
    assert result["owned_after"] == 0, result
    tervalin.MitLimits()  # drains the references the cache's trees released
    assert sys.getrefcount(logger) == before


FORK = r"""
import logging, os, sys, warnings
import tervalin, _tervalin_native as native
warnings.simplefilter("ignore", DeprecationWarning)   # fork() with native threads running
native.log(3, "fork", "caches the logger of 'fork'")
# The cache holds the name str that it gave getLogger, which the logger keeps
# as its name; Python's own child loggers of "fork" do not refer to it.
name = logging.getLogger("fork").name
native.hold_read_sections(4)
owned = native.owned_reader_counters()
pid = os.fork()
if pid == 0:
    before = sys.getrefcount(name)
    for i in range(200):
        native.log(3, f"fork::{i}", "stores a tree with a copy of the node of 'fork'")
    print("grown", sys.getrefcount(name) - before, "owned", owned - native.owned_reader_counters(), flush=True)
    os._exit(0)
native.release_read_sections()
_, status = os.waitpid(pid, 0)
print("status", status)
"""


def test_fork_while_native_threads_read():
    child = run_python(FORK)
    assert child.returncode == 0, child.stderr
    # In the child the four threads inside their sections do not exist: every
    # replaced tree is freed (releasing its copy of the entry of "fork"), and
    # their counters are free again.
    assert child.stdout.split() == ["grown", "0", "owned", "4", "status", "0"], (child.stdout, child.stderr)


def test_records_after_finalization_are_dropped():
    child = run_python(
        "import logging, tervalin, _tervalin_native as n\n"
        "logging.basicConfig(level=logging.DEBUG)\n"
        "n.log(3, 'after::exit', 'before finalizing')\n"
        "n.log_after_finalize('after::exit')\n"
    )
    assert child.returncode == 0, child.stderr
    assert "before finalizing" in child.stderr
    assert "logged after finalizing" not in child.stderr
    assert "after finalizing: main thread returned" in child.stderr
    assert "after finalizing: native thread returned" in child.stderr
    assert "after finalizing: acquire_lock faulted: The Python interpreter is" in child.stderr


# Native threads whose records go to a handler are ended by CPython 3.13
# before 3.13.8 once finalisation begins: in PyGILState_Ensure, or inside the
# handler when it gives the lock away to write. The unwind must neither give
# back a lock the thread no longer has nor stop at a noexcept frame.
def test_native_threads_ended_while_forwarding_end_quietly(monkeypatch):
    # The ended threads are never joined: under ThreadSanitizer that is the
    # scenario, not a leak to report.
    monkeypatch.setenv("TSAN_OPTIONS", os.environ.get("TSAN_OPTIONS", "") + ":report_thread_leaks=0")
    for _ in range(6):
        child = run_python("""
            import logging, threading, time
            import tervalin, _tervalin_native as native
            logging.basicConfig(level=logging.INFO, format="%(message)s")
            def spin():
                while True:
                    native.log_from_threads(2, 50, ["ended::a", "ended::b"], 3)
            for _ in range(2):
                threading.Thread(target=spin, daemon=True).start()
            time.sleep(0.2)
            """)
        assert child.returncode == 0, child.stderr[-2000:]
        assert "Fatal Python error" not in child.stderr and "terminate called" not in child.stderr
