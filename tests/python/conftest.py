"""Shared helpers: independent single-precision arithmetic and CPython oracles."""

import ctypes
import math
import struct

import hypothesis  # noqa: F401  (loaded before the module, see _module_panic_types)
import pytest


def _panic_types():
    return {
        cls
        for cls in BaseException.__subclasses__()
        if cls.__module__ == "pyo3_runtime" and cls.__name__ == "PanicException"
    }


# Other native packages (hypothesis among them) may bring a panic type of the
# same name, so the module's own type is told apart by when it appears: on the
# module's import or, at the latest, the first time it fetches an exception.
_foreign_panic_types = _panic_types()
import tervalin  # noqa: E402

try:
    tervalin.MitLimits("not a number")
except TypeError:
    pass
_module_panic_types = _panic_types() - _foreign_panic_types

FLT_MAX = struct.unpack("<f", b"\xff\xff\x7f\x7f")[0]  # 3.4028234663852886e38


def f32(x):
    """Round a Python number to the nearest single and widen it back."""
    try:
        return struct.unpack("<f", struct.pack("<f", float(x)))[0]
    except OverflowError:  # finite double that rounds beyond the single range
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
    """The exception CPython's own PyFloat_AsDouble raises for obj."""
    fn = ctypes.pythonapi.PyFloat_AsDouble
    fn.restype = ctypes.c_double
    fn.argtypes = [ctypes.py_object]
    try:
        fn(obj)
    except BaseException as exc:  # noqa: BLE001 - whatever CPython raises
        return exc
    raise AssertionError(f"PyFloat_AsDouble accepted {obj!r}")


FIELDS = ("p_max", "v_max", "kp_max", "kd_max", "t_max")


def limits_fields(m):
    return tuple(getattr(m, name) for name in FIELDS)


@pytest.fixture(scope="session")
def panic_type():
    """The module's panic exception type (reachable only through its base class)."""
    assert len(_module_panic_types) == 1
    return next(iter(_module_panic_types))
