"""Damiao motor handles: binding, integer conversion, limits and text."""

import ctypes
import sys

import pytest

from tervalin import Damiao, MitLimits, MitSetpoint

NEW = "Damiao.__new__()"
OUT_OF_RANGE = "out of range integral type conversion attempted"


def cpython_error(function, restype):
    """The exception that one of CPython's own integer conversions raises for an object."""
    fn = getattr(ctypes.pythonapi, function)
    fn.restype, fn.argtypes = restype, [ctypes.py_object]

    def error(obj):
        try:
            fn(obj)
        except BaseException as exc:  # noqa: BLE001
            return exc
        raise AssertionError(f"{function} accepted {obj!r}")
    return error


long_error = cpython_error("PyLong_AsLong", ctypes.c_long)
index_error = cpython_error("PyNumber_Index", ctypes.py_object)
unsigned_error = cpython_error("PyLong_AsUnsignedLongLong", ctypes.c_ulonglong)


class Index:
    """Not an int, but convertible through __index__ (which may raise instead)."""

    def __init__(self, result, log=None):
        self.result, self.log = result, log

    def __index__(self):
        if self.log is not None:
            self.log.append(self.result)
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


class IntWithBrokenIndex(int):
    def __index__(self):
        raise ValueError("an int is used as it is")


def ids(d):
    return d.motor_id, d.master_id


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, NEW + " missing 2 required positional arguments: 'motor_id' and 'master_id'"),
    ((), {"limits": None, "timeout_ms": 5}, NEW + " missing 2 required positional arguments: 'motor_id' and 'master_id'"),
    ((1,), {}, NEW + " missing 1 required positional argument: 'master_id'"),
    ((1.5,), {}, NEW + " missing 1 required positional argument: 'master_id'"),
    (("x",), {"timeout_ms": None}, NEW + " missing 1 required positional argument: 'master_id'"),
    ((), {"master_id": 2}, NEW + " missing 1 required positional argument: 'motor_id'"),
    ((), {"bogus": 1}, NEW + " got an unexpected keyword argument 'bogus'"),
    ((1,), {"Master_id": 2}, NEW + " got an unexpected keyword argument 'Master_id'"),
    ((1, 2), {"limits": 5, "timeout": 1}, NEW + " got an unexpected keyword argument 'timeout'"),
    ((1, 2, None, 20, 5), {}, NEW + " takes from 2 to 4 positional arguments but 5 were given"),
    ((1, 2, None, 20, 5), {"bogus": 1}, NEW + " takes from 2 to 4 positional arguments but 5 were given"),
    ((1, 2), {"motor_id": 3}, NEW + " got multiple values for argument 'motor_id'"),
    ((1,), {"master_id": 2, "motor_id": 3}, NEW + " got multiple values for argument 'motor_id'"),
    ((1, 2, None, 20), {"timeout_ms": 1}, NEW + " got multiple values for argument 'timeout_ms'"),
    # Binding fails before the bad limits object is converted.
    ((1, 2), {"limits": (0,) * 5, "limits\x00": 1}, NEW + " got an unexpected keyword argument 'limits\x00'"),
])
def test_binding_messages(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        Damiao(*args, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == (message,)


@pytest.mark.parametrize("args, kwargs, error, message", [
    ((1.0, 2), {}, TypeError, f"argument 'motor_id': {long_error(1.0)}"),
    ((1, 2.0), {}, TypeError, f"argument 'master_id': {long_error(2.0)}"),
    ((None, 2), {}, TypeError, f"argument 'motor_id': {long_error(None)}"),
    (("a", 2**70), {}, TypeError, f"argument 'motor_id': {long_error('a')}"),
    ((70000, "x"), {"limits": 5}, OverflowError, OUT_OF_RANGE),
    ((65536, 1), {}, OverflowError, OUT_OF_RANGE),
    ((-1, 1), {}, OverflowError, OUT_OF_RANGE),
    ((1, 65536), {}, OverflowError, OUT_OF_RANGE),
    ((Index(65536), 0), {}, OverflowError, OUT_OF_RANGE),
    ((0, Index(-1)), {}, OverflowError, OUT_OF_RANGE),
    ((1, 2), {"limits": 5}, TypeError, "argument 'limits': 'int' object cannot be converted to 'MitLimits'"),
    ((1, 2, (12.5, 30.0, 500.0, 5.0, 10.0)), {}, TypeError,
     "argument 'limits': 'tuple' object cannot be converted to 'MitLimits'"),
    ((1, 2, MitSetpoint()), {}, TypeError, "argument 'limits': 'MitSetpoint' object cannot be converted to 'MitLimits'"),
    ((1, 2, MitLimits), {}, TypeError, "argument 'limits': 'type' object cannot be converted to 'MitLimits'"),
    # The qualified name is taken whole, a NUL inside it included.
    ((1, 2, type("A", (), {"__qualname__": "a\x00b"})()), {}, TypeError,
     "argument 'limits': 'a\x00b' object cannot be converted to 'MitLimits'"),
    ((1, 2), {"limits": "x", "timeout_ms": None}, TypeError,
     "argument 'limits': 'str' object cannot be converted to 'MitLimits'"),
    ((1, 2), {"timeout_ms": None}, TypeError, f"argument 'timeout_ms': {index_error(None)}"),
    ((1, 2), {"timeout_ms": 20.0}, TypeError, f"argument 'timeout_ms': {index_error(20.0)}"),
    ((1, 2, None, "20"), {}, TypeError, f"argument 'timeout_ms': {index_error('20')}"),
    ((1, 2), {"timeout_ms": -1}, OverflowError, str(unsigned_error(-1))),
    ((1, 2), {"timeout_ms": 2**64}, OverflowError, str(unsigned_error(2**64))),
    ((1, 2), {"timeout_ms": Index(-5)}, OverflowError, str(unsigned_error(-5))),
])
def test_conversion_errors(args, kwargs, error, message):
    with pytest.raises(error) as info:
        Damiao(*args, **kwargs)
    assert type(info.value) is error
    assert info.value.args == (message,)


@pytest.mark.parametrize("value", [2**31 - 1, 2**31, 2**32 + 1, 2**63 - 1, -2**31 - 1, -2**63,
                                   2**63, 2**64, 2**70, -2**63 - 1])
def test_ids_beyond_16_bits(value):
    half = 2 ** (8 * ctypes.sizeof(ctypes.c_long) - 1)
    # Ints that fit a C long get the module's own message, wider ones CPython's; neither is prefixed.
    expected = (OUT_OF_RANGE,) if -half <= value < half else long_error(value).args
    for args in ((value, 0), (0, value)):
        with pytest.raises(OverflowError) as info:
            Damiao(*args)
        assert type(info.value) is OverflowError
        assert info.value.args == expected


def test_motor_id_fails_before_master_id_is_looked_at():
    log = []
    with pytest.raises(TypeError, match=r"^argument 'motor_id': "):
        Damiao("a", Index(2, log))
    with pytest.raises(OverflowError):
        Damiao(Index(70000, log), Index(3, log))
    assert log == [70000]


@pytest.mark.parametrize("param", ["motor_id", "master_id", "timeout_ms"])
def test_errors_raised_by_index_hooks(param):
    kwargs = {"motor_id": 1, "master_id": 2}
    error = ValueError("own")
    with pytest.raises(ValueError) as info:
        Damiao(**{**kwargs, param: Index(error)})
    assert info.value is error
    with pytest.raises(TypeError) as info:
        Damiao(**{**kwargs, param: Index(TypeError("wrong kind"))})
    assert type(info.value) is TypeError
    assert info.value.args == (f"argument '{param}': wrong kind",)


@pytest.mark.parametrize("args, kwargs, expected", [
    ((65535, 0), {}, (65535, 0)),
    ((0, 65535), {}, (0, 65535)),
    ((True, False), {}, (1, 0)),
    ((Index(7), Index(65535)), {"timeout_ms": Index(1500)}, (7, 65535)),
    ((IntWithBrokenIndex(5), IntWithBrokenIndex(6)), {"timeout_ms": IntWithBrokenIndex(7)}, (5, 6)),
    ((), {"master_id": 3, "motor_id": 4}, (4, 3)),
    ((1, 2, None), {}, (1, 2)),
    ((1, 2), {"limits": MitLimits(-1, 0, 0, 0, 0)}, (1, 2)),
    ((1, 2), {"timeout_ms": 0}, (1, 2)),
    ((1, 2), {"timeout_ms": 2**64 - 1}, (1, 2)),
    ((1, 2), {"timeout_ms": Index(2**64 - 1)}, (1, 2)),
    ((1, 2, None, True), {}, (1, 2)),
    ((), {"timeout_ms": 999, "limits": None, "master_id": 0x11, "motor_id": 1}, (1, 0x11)),
])
def test_accepted_arguments(args, kwargs, expected):
    d = Damiao(*args, **kwargs)
    assert type(d) is Damiao
    assert ids(d) == expected
    assert type(d.motor_id) is int and type(d.master_id) is int


def test_limits_are_copied_not_kept():
    limits = MitLimits.dm4310()
    before = sys.getrefcount(limits)
    d = Damiao(1, 2, limits=limits, timeout_ms=50)
    assert sys.getrefcount(limits) == before
    del limits
    assert repr(d) == "Damiao(motor_id=0x1, master_id=0x2)"


@pytest.mark.parametrize("d, text", [
    (Damiao(1, 17), "Damiao(motor_id=0x1, master_id=0x11)"),
    (Damiao(0, 65535), "Damiao(motor_id=0x0, master_id=0xffff)"),
    (Damiao(motor_id=2047, master_id=2046, timeout_ms=5), "Damiao(motor_id=0x7ff, master_id=0x7fe)"),
    (Damiao(True, False), "Damiao(motor_id=0x1, master_id=0x0)"),
    (Damiao(31, 4096, MitLimits.dm8009(), 2**64 - 1), "Damiao(motor_id=0x1f, master_id=0x1000)"),
    (Damiao(0xABCD, 0x00F0), "Damiao(motor_id=0xabcd, master_id=0xf0)"),
])
def test_repr(d, text):
    assert repr(d) == str(d) == text


def test_attributes_class_facts_and_identity():
    d = Damiao(1, 2, MitLimits(), 30)
    for name in ("motor_id", "master_id"):
        assert vars(Damiao)[name].__doc__ == ""
        for change in (lambda: setattr(d, name, 3), lambda: delattr(d, name)):
            with pytest.raises(AttributeError):
                change()
    for name in ("limits", "timeout_ms", "timeout"):
        with pytest.raises(AttributeError):
            getattr(d, name)
    with pytest.raises(AttributeError):
        d.extra = 1
    assert ids(d) == (1, 2)
    assert {n for n in vars(Damiao) if not n.startswith("_")} == {"motor_id", "master_id"}
    assert repr(Damiao) == "<class 'tervalin.Damiao'>"
    assert (Damiao.__module__, Damiao.__qualname__) == ("tervalin", "Damiao")
    assert Damiao.__doc__ == ""
    assert Damiao.__text_signature__ == "(motor_id, master_id, limits=None, timeout_ms=20)"
    a, b = Damiao(1, 2), Damiao(1, 2)
    assert a == a and not (a == b) and a != b
    assert hash(a) == object.__hash__(a)
    with pytest.raises(TypeError):
        type("Sub", (Damiao,), {})
