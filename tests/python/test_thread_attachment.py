"""Native threads attached to the interpreter for their lifetime through the kit's ThreadAttachment."""

import collections
import logging
import os
import threading

import pytest
from conftest import run_python

native = pytest.importorskip("_tervalin_native", reason="native threads are started only by the embedding test program")

UNATTACHED, ATTACHED, NAMED = 0, 1, 2


class Collect(logging.Handler):
    def __init__(self):
        super().__init__(logging.NOTSET)
        self.records = []

    def emit(self, record):
        self.records.append(record)


@pytest.fixture
def collected():
    """A fresh target whose logger keeps every record for the test."""
    target = f"attach::{os.urandom(4).hex()}"
    logger = logging.getLogger(target.replace("::", "."))
    logger.setLevel(logging.DEBUG)
    logger.propagate = False
    handler = Collect()
    logger.addHandler(handler)
    yield target, handler.records
    logger.removeHandler(handler)


def by_thread(records):
    """The records of each native thread (the message's first field), in the order the handler got them."""
    threads = collections.defaultdict(list)
    for record in records:
        thread, index = record.getMessage().split(":")
        threads[int(thread)].append((int(index), record))
    return threads


@pytest.mark.parametrize(
    "mode, attached, names",
    [
        # Without an attachment every record gets a thread state, and a name, of its own.
        (UNATTACHED, False, lambda t, names: len(names) == 40 and all(n.startswith("Dummy-") for n in names)),
        # One thread state for the thread's life: one name, Python's own for a thread it did not start.
        (ATTACHED, True, lambda t, names: len(names) == 1 and names.pop().startswith("Dummy-")),
        (NAMED, True, lambda t, names: names == {f"kit-{t}"}),
    ],
)
def test_thread_name_and_order_per_thread(collected, mode, attached, names):
    target, records = collected
    states = native.thread_state_count()
    flags, _ = native.kit_attached_threads(3, 40, target, mode)
    assert flags == [attached] * 3
    threads = by_thread(records)
    assert sorted(threads) == [0, 1, 2]
    for t, mine in threads.items():
        assert [index for index, _ in mine] == list(range(40)), f"thread {t}: records out of order or lost"
        assert names(t, {record.threadName for _, record in mine}), (t, {r.threadName for _, r in mine})
        assert len({record.thread for _, record in mine}) == 1
    # Both printf-style (odd) and callable (even) records carry the right site.
    assert {(r.pathname or "").rsplit("/", 1)[-1] for r in records} == {"", "kit_hooks.cpp"}
    # Every thread state made for the threads is gone once they have ended.
    assert native.thread_state_count() == states


def test_rejected_records_from_attached_threads_take_no_lock(collected):
    """An attached thread whose records a filter rejects must never wait for the interpreter lock."""
    target, records = collected
    logging.getLogger(target.replace("::", ".")).setLevel(logging.CRITICAL)
    native.kit_attached_threads(1, 1, target, ATTACHED)  # caches the filter off
    assert native.kit_attached_rejects_while_locked(target, 1000)
    assert records == []


def test_attachment_on_a_python_thread_is_inert():
    """A thread that has a thread state already keeps it: an attachment there must not make a second one."""
    states = native.thread_state_count()
    found = []
    worker = threading.Thread(target=lambda: found.append(native.kit_attach_here()))
    worker.start()
    worker.join()
    assert [native.kit_attach_here(), *found] == [False, False]
    assert native.thread_state_count() == states


PARK = """
import logging, sys, _tervalin_native as native
logging.basicConfig(level=logging.INFO, format="%(message)s", stream=sys.stdout)
"""

STAGES = {
    # The thread ends while the interpreter runs: its thread state is deleted.
    # (Each stage runs with and without an attachment.)
    "before exit": (
        """
        native.kit_park("parked", ATTACH)
        states = native.thread_state_count()
        native.kit_release_parked(True)
        print("states", states - native.thread_state_count())
        """,
        ["before", "after", "states {states}"],
    ),
    # Released by an atexit function that runs after the kit's gate closed
    # (atexit runs the last registered first; parking registers the gate):
    # its record is dropped, while the main thread, which holds the lock,
    # still forwards its own.
    "after the gate closed": (
        """
        import atexit
        @atexit.register
        def release():
            print("gate closed", native.kit_gate_closed(), flush=True)
            native.kit_log("parked", "from the main thread")
            native.kit_release_parked(True)
        native.kit_park("parked", ATTACH)
        """,
        ["before", "gate closed True", "from the main thread"],
    ),
    # Released and joined at the very end of Py_FinalizeEx, with no interpreter left.
    "after finalizing": (
        """
        native.kit_park("parked", ATTACH)
        native.kit_join_parked_at_exit()
        """,
        ["before"],
    ),
    # The thread is inside a handler, with the lock given away, when the gate
    # closes: the closing waits for it to give the lock back, so the record
    # completes before finalisation begins. An atexit function waits until
    # the handler holds the record, and the handler holds it until the gate
    # has closed, so no timing decides the interleaving; the timeout only
    # bounds how long a closing that does not wait is given to show itself.
    "inside a handler while the gate closes": (
        """
        import atexit, threading, time
        entered, closer_returned = threading.Event(), threading.Event()
        atexit.register(closer_returned.set)  # runs once the gate's function has returned
        class Holding(logging.Handler):
            def emit(self, record):
                if record.getMessage() != "after":
                    return
                entered.set()
                while not native.kit_gate_closed():
                    time.sleep(0.001)
                print("closing returned first:", closer_returned.wait(0.5))
        logging.getLogger("parked").addHandler(Holding())
        native.kit_park("parked", ATTACH)
        native.kit_join_parked_at_exit()
        atexit.register(lambda: (native.kit_release_parked(False), entered.wait()))
        """,
        ["before", "closing returned first: False", "after"],
    ),
}


@pytest.mark.parametrize("attach", [True, False])
@pytest.mark.parametrize("stage", list(STAGES))
def test_native_thread_ending_at_any_stage_of_exit(stage, attach):
    """A native thread that asks for the lock once finalisation has begun is ended, or blocked for good."""
    code, expected = STAGES[stage]
    child = run_python(PARK, f"ATTACH = {attach}", code, timeout=60)
    assert child.returncode == 0, child.stderr
    # While parked, only an attached thread has a thread state.
    assert child.stdout.splitlines() == [line.format(states=int(attach)) for line in expected], (
        child.stdout + child.stderr
    )
    assert f"parked: attached {int(attach)}" in child.stderr and "parked: ended" in child.stderr, child.stderr
    assert ("joined after finalizing" in child.stderr) == ("kit_join_parked_at_exit" in code), child.stderr


@pytest.mark.parametrize("attach", [True, False])
def test_child_forked_while_a_native_thread_forwards_exits(attach):
    """The child of a fork has none of the parent's other threads: one counted inside the gate hung its exit."""
    child = run_python(
        PARK,
        f"ATTACH = {attach}",
        """
        import os, threading, warnings
        warnings.simplefilter("ignore", DeprecationWarning)  # fork() with native threads running
        inside, release = threading.Event(), threading.Event()
        class Blocking(logging.Handler):
            def emit(self, record):
                if record.getMessage() == "after":
                    inside.set()
                    release.wait()
        logging.getLogger("parked").addHandler(Blocking())
        native.kit_park("parked", ATTACH)
        native.kit_release_parked(False)
        inside.wait()  # the parked thread forwards its record, inside the gate
        sys.stdout.flush()  # or the child's exit writes the parent's buffered lines again
        pid = os.fork()
        if pid == 0:
            raise SystemExit(7)  # through the interpreter's exit, and the gate's atexit function
        release.set()
        native.kit_release_parked(True)
        print("child exit code", os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
    """,
        timeout=60,
    )
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines() == ["before", "after", "child exit code 7"], child.stdout + child.stderr
