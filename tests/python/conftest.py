"""Shared helpers: independent single-precision arithmetic and CPython oracles."""

import ctypes
import math
import os
import struct

import hypothesis  # must load before tervalin, see below
import pytest


def _panic_types():
    return {c for c in BaseException.__subclasses__()
            if c.__module__ == "pyo3_runtime" and c.__name__ == "PanicException"}


# Other native packages (hypothesis among them) bring a panic type of the same
# name, so the module's own type is told apart by when it appears: at the
# latest, the first time the module fetches a Python exception.
_foreign_panic_types = _panic_types()
import tervalin  # noqa: E402

try:
    tervalin.MitLimits("not a number")
except TypeError:
    pass
_module_panic_types = _panic_types() - _foreign_panic_types

# The quick suite (TERVALIN_QUICK=1: tools/test --quick, and the emulated
# cells of tools/matrix): the randomised tests draw a tenth of their examples,
# the allocation-failure sweep of the import a fifth of its cases.
QUICK = os.environ.get("TERVALIN_QUICK") == "1"


def examples(count):
    """How many examples a randomised test draws: `count`, or a tenth of it in the quick suite."""
    return max(4, count // 10) if QUICK else count


if QUICK:  # the tests that keep hypothesis's default of 100
    hypothesis.settings.register_profile("quick", max_examples=examples(100))
    hypothesis.settings.load_profile("quick")


FLT_MAX = struct.unpack("<f", b"\xff\xff\x7f\x7f")[0]  # 3.4028234663852886e38
FIELDS = ("p_max", "v_max", "kp_max", "kd_max", "t_max")


def f32(x):
    """Round a Python number to the nearest single and widen it back."""
    try:
        return struct.unpack("<f", struct.pack("<f", float(x)))[0]
    except OverflowError:  # a finite double that rounds beyond the single range
        return math.copysign(math.inf, x)


def single_bits(x):
    return struct.unpack("<I", struct.pack("<f", x))[0]


def from_single_bits(bits):
    return struct.unpack("<f", struct.pack("<I", bits))[0]


def same_float(a, b):
    """Equal as stored values: NaN matches NaN, and the sign of zero counts."""
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return struct.pack("<d", a) == struct.pack("<d", b)


def float_conversion_error(obj):
    """The exception that CPython's own PyFloat_AsDouble raises for obj."""
    fn = ctypes.pythonapi.PyFloat_AsDouble
    fn.restype, fn.argtypes = ctypes.c_double, [ctypes.py_object]
    try:
        fn(obj)
    except BaseException as exc:  # noqa: BLE001
        return exc
    raise AssertionError(f"PyFloat_AsDouble accepted {obj!r}")


def method_flags(func):
    """ml_flags of a built-in function's method definition (CPython 3.13, 64-bit layout)."""
    definition = ctypes.c_void_p.from_address(id(func) + 16).value
    return ctypes.c_int.from_address(definition + 16).value


class Probe:
    """Logs its name when converted, then returns or raises `result`."""

    def __init__(self, log, name, result=1.0):
        self.log, self.name, self.result = log, name, result

    def __float__(self):
        self.log.append(self.name)
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


def limits_fields(m):
    return tuple(getattr(m, name) for name in FIELDS)


@pytest.fixture(scope="session")
def panic_type():
    """The module's panic exception type (reachable only through its base class)."""
    assert len(_module_panic_types) == 1
    return next(iter(_module_panic_types))


def python_command(*pieces):
    """The command line and environment that run_python uses for the pieces."""
    import importlib.util
    import os
    import sys
    import textwrap

    embedded = importlib.util.find_spec("_tervalin_native") is not None
    executable = os.readlink("/proc/self/exe") if embedded else sys.executable
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    code = "\n".join(textwrap.dedent(piece) for piece in pieces)
    return [executable, "-c", code], env


def run_python(*pieces, timeout=120):
    """Runs the dedented pieces of code in a new interpreter with tervalin:
    this very program when it is the embedding test program, else the
    interpreter running the tests. Returns the completed process."""
    import subprocess

    command, env = python_command(*pieces)
    return subprocess.run(command, capture_output=True, text=True, env=env, timeout=timeout)


# Tests that run for minutes name themselves when they start (pytest prints a
# test's outcome only when it ends), so a long silence is not taken for a hang.
class LongTestNotice:
    def __init__(self, config):
        self.config, self.long = config, set()

    def pytest_collection_modifyitems(self, items):
        self.long = {item.nodeid for item in items if item.get_closest_marker("long")}

    def pytest_runtest_logstart(self, nodeid):
        reporter = self.config.pluginmanager.get_plugin("terminalreporter")
        if nodeid in self.long and reporter is not None:
            reporter.ensure_newline()
            reporter.write_line(f"running {nodeid} ...")


def pytest_configure(config):
    config.addinivalue_line("markers", "long: runs for half a minute or more; named when it starts")
    config.pluginmanager.register(LongTestNotice(config), "tervalin-long-test-notice")
