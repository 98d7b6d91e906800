"""Reference counts and traced memory over many cycles; threads sharing the module."""

import importlib.util
import logging
import os
import re
import sys
import threading
import tracemalloc

import pytest

import tervalin as t
from conftest import run_python

EMBEDDED = importlib.util.find_spec("_tervalin_native") is not None
# A million cycles once, from the regular interpreter; fewer in the other runs
# (the sanitizer runs set TERVALIN_CYCLES, since every call is slower there).
CYCLES = int(os.environ.get("TERVALIN_CYCLES", 50_000 if EMBEDDED else 1_000_000))

if EMBEDDED:
    import _tervalin_native as native

    def make_state():
        return native.motor_state(1, 2, 0.5, -1.25, 0.1, 35, 40)
else:
    make_state = None

MAKERS = {
    "MitLimits": (lambda: t.MitLimits(1.0, kd_max=0.5), "kd_max"),
    "MitSetpoint": (lambda: t.mit_setpoint(q=0.1), "q"),
    "ControlSetpoint": (lambda: t.ControlSetpoint.force_pos(1, 2, 3), "mode"),
    "Damiao": (lambda: t.Damiao(1, 0x11, limits=t.MitLimits.dm4310(), timeout_ms=50), "master_id"),
    "MotorState": (make_state, "torque"),
}


def cycle(make, attribute, count):
    for _ in range(count):
        value = make()
        getattr(value, attribute)
        repr(value)


@pytest.mark.parametrize("name", list(MAKERS))
def test_cycles_leave_class_references_and_memory_where_they_were(name):
    make, attribute = MAKERS[name]
    if make is None:
        pytest.skip("MotorState values are made only in the embedding test program")
    classes = [getattr(t, n) for n in ("MitLimits", "MitSetpoint", "ControlSetpoint", "MotorState", "Damiao")]
    cycle(make, attribute, 1000)  # warm caches and free lists
    counts = [sys.getrefcount(c) for c in classes]
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    cycle(make, attribute, CYCLES)
    after = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    assert [sys.getrefcount(c) for c in classes] == counts
    assert after - before < 4096  # a leak of even one byte per cycle would show


def test_threads_share_values_while_native_threads_log():
    if not EMBEDDED:
        pytest.skip("native threads log only in the embedding test program")
    logging.getLogger("stress").setLevel(logging.CRITICAL)
    errors = []
    expected = "MitLimits(p_max=0.1, v_max=30, kp_max=500, kd_max=5, t_max=10)"

    def python_work():
        try:
            for i in range(5000):
                lim = t.MitLimits(p_max=0.1)
                assert repr(lim) == expected and lim.p_max == 0.10000000149011612
                d = t.Damiao(i % 65536, 7, limits=lim)
                assert d.motor_id == i % 65536 and repr(t.ControlSetpoint.vel(-1.5)) == "ControlSetpoint.vel(-1.5)"
        except BaseException as error:  # noqa: BLE001
            errors.append(error)

    workers = [threading.Thread(target=python_work) for _ in range(3)]
    for worker in workers:
        worker.start()
    native.log_from_threads(3, 3000, ["stress::a", "stress::b", "stress"], 3)
    for worker in workers:
        worker.join()
    assert errors == []
    t.MitLimits()
    assert native.deferred_count() == 0


# CPython 3.13 before 3.13.8 ends a daemon thread that asks for the lock back
# once finalisation has begun, with a forced unwind through every frame on its
# stack; later releases leave it waiting. A __float__ that sleeps gives the
# lock away inside the entry, so the unwind starts below it: it must pass the
# entry's boundary without a fault, an abort or a release without the lock.
ENDED_INSIDE = {
    "constructor": "t.MitLimits(Slow())",
    "static method": "t.ControlSetpoint.vel(Slow())",
    "module function": "t.mit_setpoint(Slow())",
    "keyword dict": "t.MitLimits.__new__(t.MitLimits, kd_max=Slow())",
}
ENDED_RUNS = 4


@pytest.mark.parametrize("call", list(ENDED_INSIDE.values()), ids=list(ENDED_INSIDE))
def test_daemon_thread_ended_inside_an_entry_ends_quietly(call):
    for _ in range(ENDED_RUNS):
        child = run_python(f"""
            import threading, time, tervalin as t
            class Slow:
                def __float__(self):
                    time.sleep(0.001)
                    return 1.0
            def spin():
                while True:
                    {call}
            for _ in range(4):
                threading.Thread(target=spin, daemon=True).start()
            time.sleep(0.2)
            """)
        # Nothing but the leak checker's summary of suppressed leaks, in a
        # sanitizer build, may reach standard error.
        report = re.sub(r"-+\nSuppressions used:.*?-+\n", "", child.stderr, flags=re.S)
        assert (child.returncode, report.strip()) == (0, "")


# Once Python code assigns __new__ or __init__, calls take CPython's generic
# path; the argument tuple and dict made for it are released at once, not
# queued as if released without the lock (a leak and a mutex per call).
def test_generic_path_releases_its_arguments_at_once():
    child = run_python("""
        import importlib.util, sys, tervalin
        embedded = importlib.util.find_spec("_tervalin_native") is not None
        x = object()
        tervalin.MitLimits.__new__ = staticmethod(lambda cls, *a, **k: None)
        before = sys.getrefcount(x)
        for _ in range(1000):
            tervalin.MitLimits(x, kd_max=x)
        print(sys.getrefcount(x) - before)
        if embedded:
            import _tervalin_native
            print(_tervalin_native.deferred_count())
            # The constructor still runs (and drains the queue) before __init__.
            tervalin.Damiao.__init__ = lambda self, *a, **k: None
            tervalin.Damiao(1, 2, limits=None)
            print(_tervalin_native.deferred_count())
        """)
    assert child.returncode == 0, child.stderr
    assert set(child.stdout.split()) == {"0"}
