"""MitSetpoint and the module function mit_setpoint."""

import math
import re
import types

import pytest
from hypothesis import given, strategies as st

import tervalin
from conftest import Probe, method_flags, f32, float_conversion_error, same_float
from tervalin import MitLimits, MitSetpoint, mit_setpoint

FIELDS = ("q", "dq", "kp", "kd", "tau")
SIGNATURE = "(q=0.0, dq=0.0, kp=0.0, kd=0.0, tau=0.0)"
BUILDERS = pytest.mark.parametrize(
    "build, name", [(MitSetpoint, "MitSetpoint.__new__()"), (mit_setpoint, "mit_setpoint()")],
    ids=["constructor", "function"])
METH_FASTCALL, METH_KEYWORDS = 0x80, 0x02


def fields(s):
    return tuple(getattr(s, name) for name in FIELDS)


@BUILDERS
@pytest.mark.parametrize("args, kwargs, expected", [
    ((), {}, (0.0,) * 5),
    ((1, 2, 3, 4, 5), {}, (1.0, 2.0, 3.0, 4.0, 5.0)),
    ((), {"tau": 5, "kd": 4, "q": 1, "kp": 3, "dq": 2}, (1.0, 2.0, 3.0, 4.0, 5.0)),
    ((1.5,), {"kd": 0.25}, (1.5, 0.0, 0.0, 0.25, 0.0)),
    ((0.1,), {}, (0.10000000149011612, 0.0, 0.0, 0.0, 0.0)),
    ((), {"kp": -5, "q": 1e6}, (1e6, 0.0, -5.0, 0.0, 0.0)),
    ((), {"tau": 1e39, "kd": -1e39, "kp": -0.0, "dq": math.nan}, (0.0, math.nan, -0.0, -math.inf, math.inf)),
    ((True, False, 2**24 + 1), {}, (1.0, 0.0, 16777216.0, 0.0, 0.0)),
])
def test_values(build, name, args, kwargs, expected):
    s = build(*args, **kwargs)
    assert type(s) is MitSetpoint
    got = fields(s)
    assert all(type(v) is float for v in got)
    assert all(same_float(a, b) for a, b in zip(got, expected)), got


@given(st.lists(st.floats(), min_size=5, max_size=5))
def test_every_field_is_narrowed_and_printed_like_the_limits(xs):
    for s in (MitSetpoint(*xs), mit_setpoint(*xs)):
        assert all(same_float(got, f32(x)) for got, x in zip(fields(s), xs))
        # MitLimits prints its fields by the same shortest-form rule.
        texts = re.findall(r"=([^,)]+)", repr(MitLimits(*xs)))
        assert repr(s) == "MitSetpoint({})".format(", ".join(map("=".join, zip(FIELDS, texts))))


@pytest.mark.parametrize("value, text", [
    (MitSetpoint(), "MitSetpoint(q=0, dq=0, kp=0, kd=0, tau=0)"),
    (MitSetpoint(1.0, 0.5, 20.0, 1.0, 0.25), "MitSetpoint(q=1, dq=0.5, kp=20, kd=1, tau=0.25)"),
    (mit_setpoint(kd=0.3, tau=-0.5), "MitSetpoint(q=0, dq=0, kp=0, kd=0.3, tau=-0.5)"),
    (MitSetpoint(q=3.14159265, kp=1e6), "MitSetpoint(q=3.1415927, dq=0, kp=1000000, kd=0, tau=0)"),
    (MitSetpoint(q=0.1, kp=-5), "MitSetpoint(q=0.1, dq=0, kp=-5, kd=0, tau=0)"),
    (mit_setpoint(-0.0, math.nan, math.inf, -math.inf, 1e39),
     "MitSetpoint(q=-0, dq=NaN, kp=inf, kd=-inf, tau=inf)"),
    (mit_setpoint(1 / 3, 16777217, 1e-45, 1e20, -0.00001),
     "MitSetpoint(q=0.33333334, dq=16777216, kp=0." + "0" * 44 + "1, kd=100000000000000000000, tau=-0.00001)"),
])
def test_repr_examples(value, text):
    assert repr(value) == text
    assert str(value) == text


NUMBERS = "{} takes from 0 to 5 positional arguments but {} were given"


@BUILDERS
@pytest.mark.parametrize("args, kwargs, template", [
    ((1, 2, 3, 4, 5, 6), {}, NUMBERS.format("{}", 6)),
    (("x",) * 6, {"x": 1, "q": 2}, NUMBERS.format("{}", 6)),
    ((), {"x": 1}, "{} got an unexpected keyword argument 'x'"),
    ((), {"Q": 1}, "{} got an unexpected keyword argument 'Q'"),
    ((), {"q": "not converted", "torque": 1}, "{} got an unexpected keyword argument 'torque'"),
    ((1,), {"q": 2}, "{} got multiple values for argument 'q'"),
    ((1, 2, 3, 4, 5), {"tau": 0}, "{} got multiple values for argument 'tau'"),
    # The first failing keyword in call order decides.
    ((1,), {"bogus": 1, "q": 2}, "{} got an unexpected keyword argument 'bogus'"),
    ((1,), {"q": 2, "bogus": 1}, "{} got multiple values for argument 'q'"),
])
def test_binding_messages(build, name, args, kwargs, template):
    with pytest.raises(TypeError) as info:
        build(*args, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == (template.format(name),)


@BUILDERS
@pytest.mark.parametrize("args, kwargs, param, bad", [
    ((None,), {}, "q", None),
    ((), {"dq": "1"}, "dq", "1"),
    ((0, 0, 0), {"kd": b"x"}, "kd", b"x"),
    ((), {"tau": "a", "kp": "b"}, "kp", "b"),
    ((), {"tau": MitSetpoint()}, "tau", MitSetpoint()),
])
def test_conversion_errors_name_the_parameter(build, name, args, kwargs, param, bad):
    with pytest.raises(TypeError) as info:
        build(*args, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == (f"argument '{param}': {float_conversion_error(bad)}",)


@BUILDERS
def test_conversion_runs_in_parameter_order_and_stops_at_the_first_failure(build, name):
    log = []
    with pytest.raises(TypeError, match=r"^argument 'kd': nope$"):
        build(tau=Probe(log, "tau"), kd=Probe(log, "kd", TypeError("nope")), q=Probe(log, "q"),
              dq=Probe(log, "dq"))
    assert log == ["q", "dq", "kd"]


@BUILDERS
def test_other_errors_are_not_prefixed(build, name):
    with pytest.raises(OverflowError) as info:
        build(q=10**400)
    assert type(info.value) is OverflowError
    assert info.value.args == float_conversion_error(10**400).args
    error = ValueError("own")
    with pytest.raises(ValueError) as info:
        build(1, kp=Probe([], "kp", error))
    assert info.value is error


def test_class_facts():
    assert repr(MitSetpoint) == "<class 'tervalin.MitSetpoint'>"
    assert (MitSetpoint.__module__, MitSetpoint.__qualname__) == ("tervalin", "MitSetpoint")
    assert MitSetpoint.__doc__ == ""
    assert MitSetpoint.__text_signature__ == SIGNATURE
    assert {n for n in vars(MitSetpoint) if not n.startswith("_")} == set(FIELDS)
    with pytest.raises(TypeError):
        type("Sub", (MitSetpoint,), {})


def test_attributes_are_read_only_and_equality_is_identity():
    s = MitSetpoint(1, 2, 3, 4, 5)
    for field in FIELDS:
        assert vars(MitSetpoint)[field].__doc__ == ""
        with pytest.raises(AttributeError):
            setattr(s, field, 9.0)
        with pytest.raises(AttributeError):
            delattr(s, field)
    with pytest.raises(AttributeError):
        s.extra = 1
    assert fields(s) == (1.0, 2.0, 3.0, 4.0, 5.0)
    a, b = mit_setpoint(), MitSetpoint()
    assert fields(a) == fields(b)
    assert a == a and not (a == b) and a != b
    assert hash(a) == object.__hash__(a)
    assert mit_setpoint(1) is not mit_setpoint(1)


def test_function_facts():
    assert type(mit_setpoint) is types.BuiltinFunctionType
    assert mit_setpoint.__name__ == mit_setpoint.__qualname__ == "mit_setpoint"
    assert mit_setpoint.__module__ == "tervalin"
    assert mit_setpoint.__self__ is tervalin
    assert mit_setpoint.__doc__ == "Build a `MitSetpoint` (handy when keyword args are awkward)."
    assert mit_setpoint.__text_signature__ == SIGNATURE
    assert method_flags(mit_setpoint) == METH_FASTCALL | METH_KEYWORDS
