"""ControlSetpoint: static constructors, mode numbers, text and argument errors."""

import functools
import math
import operator
import re
import sys

import pytest
from hypothesis import given, strategies as st

from conftest import Probe, method_flags, float_conversion_error
from tervalin import ControlSetpoint as CS, MitLimits, MitSetpoint, mit_setpoint

METHODS = [
    ("mit", "(setpoint)", "MIT impedance setpoint (control mode 1)."),
    ("pos_vel", "(position, velocity)", "POS_VEL setpoint (control mode 2)."),
    ("vel", "(velocity)", "VEL setpoint (control mode 3)."),
    ("force_pos", "(position, velocity_limit, torque_ratio)", "FORCE_POS setpoint (control mode 4)."),
]
METH_FASTCALL, METH_KEYWORDS, METH_STATIC = 0x80, 0x02, 0x20
MODE_DOC = "Numeric control mode (matches the value written to register 10)."


class Outer:
    class Inner:
        pass


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1,), {}), ((), {"mode": 1}), ((1, 2), {"x": 3})])
def test_no_constructor(args, kwargs):
    with pytest.raises(TypeError) as info:
        CS(*args, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == ("No constructor defined for ControlSetpoint",)


def test_class_facts():
    assert repr(CS) == "<class 'tervalin.ControlSetpoint'>"
    assert (CS.__module__, CS.__qualname__) == ("tervalin", "ControlSetpoint")
    assert CS.__doc__ is None and CS.__text_signature__ is None
    assert [n for n, v in vars(CS).items() if isinstance(v, staticmethod)] == [m[0] for m in METHODS]
    assert {n for n in vars(CS) if not n.startswith("_")} == {m[0] for m in METHODS} | {"mode"}
    assert CS.mode.__doc__ == MODE_DOC


@pytest.mark.parametrize("name, signature, doc", METHODS, ids=[m[0] for m in METHODS])
def test_static_constructor_facts(name, signature, doc):
    func = getattr(CS, name)
    assert isinstance(vars(CS)[name], staticmethod)
    assert getattr(CS.vel(0.0), name) is func  # reachable through an instance, unbound
    assert func.__name__ == name
    assert func.__text_signature__ == signature
    assert func.__doc__ == doc
    assert method_flags(func) == METH_FASTCALL | METH_KEYWORDS | METH_STATIC


SP = MitSetpoint(1.0, 0.5, 20.0, 1.0, 0.25)


@pytest.mark.parametrize("make, mode, text", [
    (lambda: CS.mit(SP), 1, "ControlSetpoint.mit(q=1, dq=0.5, kp=20, kd=1, tau=0.25)"),
    (lambda: CS.mit(mit_setpoint()), 1, "ControlSetpoint.mit(q=0, dq=0, kp=0, kd=0, tau=0)"),
    (lambda: CS.mit(setpoint=mit_setpoint(-0.0, math.nan, math.inf, -math.inf, 0.1)), 1,
     "ControlSetpoint.mit(q=-0, dq=NaN, kp=inf, kd=-inf, tau=0.1)"),
    (lambda: CS.pos_vel(3.14159, 2.0), 2, "ControlSetpoint.pos_vel(position=3.14159, velocity=2)"),
    (lambda: CS.pos_vel(velocity=-0.0, position=1e39), 2, "ControlSetpoint.pos_vel(position=inf, velocity=-0)"),
    (lambda: CS.vel(-1.5), 3, "ControlSetpoint.vel(-1.5)"),
    (lambda: CS.vel(velocity=float("inf")), 3, "ControlSetpoint.vel(inf)"),
    (lambda: CS.vel(-math.nan), 3, "ControlSetpoint.vel(NaN)"),
    (lambda: CS.vel(16777217), 3, "ControlSetpoint.vel(16777216)"),
    (lambda: CS.force_pos(0.5, 10.0, 0.3), 4,
     "ControlSetpoint.force_pos(position=0.5, velocity_limit=10, torque_ratio=0.3)"),
    (lambda: CS.force_pos(torque_ratio=0.2, position=1, velocity_limit=5), 4,
     "ControlSetpoint.force_pos(position=1, velocity_limit=5, torque_ratio=0.2)"),
    (lambda: CS.force_pos(0, -1, 5.0), 4, "ControlSetpoint.force_pos(position=0, velocity_limit=-1, torque_ratio=5)"),
    (lambda: CS.force_pos(-math.inf, True, -2.5e-5), 4,
     "ControlSetpoint.force_pos(position=-inf, velocity_limit=1, torque_ratio=-0.000025)"),
    (lambda: CS.vel(1.0).pos_vel(1, 2), 2, "ControlSetpoint.pos_vel(position=1, velocity=2)"),
])
def test_values_modes_and_text(make, mode, text):
    c = make()
    assert type(c) is CS
    assert type(c.mode) is int and c.mode == mode
    assert repr(c) == str(c) == text
    other = make()
    assert other is not c and c == c and not (c == other) and c != other
    assert hash(c) == object.__hash__(c)


@given(st.floats())
def test_payload_printed_like_other_singles(x):
    expected = re.match(r"MitLimits\(p_max=([^,]+),", repr(MitLimits(p_max=x))).group(1)
    assert repr(CS.vel(x)) == f"ControlSetpoint.vel({expected})"


@pytest.mark.parametrize("c, names", [
    (CS.mit(SP), ["setpoint", "q", "dq", "kp", "kd", "tau"]),
    (CS.pos_vel(1, 2), ["position", "velocity"]),
    (CS.vel(2.0), ["velocity"]),
    (CS.force_pos(1, 2, 3), ["position", "velocity_limit", "torque_ratio"]),
], ids=["mit", "pos_vel", "vel", "force_pos"])
def test_only_mode_is_an_attribute(c, names):
    for name in names:
        with pytest.raises(AttributeError):
            getattr(c, name)
    for change in (lambda: setattr(c, "mode", 9), lambda: delattr(c, "mode"), lambda: setattr(c, "x", 1)):
        with pytest.raises(AttributeError):
            change()


def test_mit_copies_its_setpoint():
    sp = MitSetpoint(q=0.1, dq=-2, kp=30, kd=0.5, tau=1e39)
    before = sys.getrefcount(sp)
    c = CS.mit(sp)
    assert sys.getrefcount(sp) == before  # not retained
    del sp
    assert repr(c) == "ControlSetpoint.mit(q=0.1, dq=-2, kp=30, kd=0.5, tau=inf)"


def cannot_convert(type_name):
    return f"argument 'setpoint': '{type_name}' object cannot be converted to 'MitSetpoint'"


MISSING = "missing {} required positional {}: "


@pytest.mark.parametrize("method, args, kwargs, message", [
    ("force_pos", (), {}, MISSING.format(3, "arguments") + "'position', 'velocity_limit', and 'torque_ratio'"),
    ("force_pos", (1.0,), {}, MISSING.format(2, "arguments") + "'velocity_limit' and 'torque_ratio'"),
    ("force_pos", (), {"velocity_limit": 1}, MISSING.format(2, "arguments") + "'position' and 'torque_ratio'"),
    ("force_pos", (1,), {"torque_ratio": "x"}, MISSING.format(1, "argument") + "'velocity_limit'"),
    ("force_pos", (1, 2, 3, 4), {}, "takes 3 positional arguments but 4 were given"),
    ("pos_vel", (), {}, MISSING.format(2, "arguments") + "'position' and 'velocity'"),
    ("pos_vel", (1.0,), {}, MISSING.format(1, "argument") + "'velocity'"),
    ("pos_vel", (1, 2, 3), {"bogus": 1}, "takes 2 positional arguments but 3 were given"),
    ("pos_vel", (1,), {"position": 2}, "got multiple values for argument 'position'"),
    ("vel", (), {}, MISSING.format(1, "argument") + "'velocity'"),
    ("vel", (1.0, 2.0), {}, "takes 1 positional arguments but 2 were given"),
    ("vel", (1.0,), {"velocity": 2.0}, "got multiple values for argument 'velocity'"),
    ("vel", (), {"Velocity": 1.0}, "got an unexpected keyword argument 'Velocity'"),
    ("vel", (), {"velocity": "x", "speed": 1}, "got an unexpected keyword argument 'speed'"),
    ("mit", (), {}, MISSING.format(1, "argument") + "'setpoint'"),
    ("mit", (SP, SP), {}, "takes 1 positional arguments but 2 were given"),
    ("mit", (SP,), {"setpoint": SP}, "got multiple values for argument 'setpoint'"),
    ("mit", (), {"q": 1}, "got an unexpected keyword argument 'q'"),
    ("mit", (None,), {}, cannot_convert("NoneType")),
    ("mit", (MitLimits(),), {}, cannot_convert("MitLimits")),
    ("mit", ((0, 0, 0, 0, 0),), {}, cannot_convert("tuple")),
    ("mit", (), {"setpoint": 1.0}, cannot_convert("float")),
    ("mit", (CS.vel(1),), {}, cannot_convert("ControlSetpoint")),
    ("mit", (MitSetpoint,), {}, cannot_convert("type")),
    ("mit", (Outer.Inner(),), {}, cannot_convert("Outer.Inner")),
])
def test_argument_errors(method, args, kwargs, message):
    if not message.startswith("argument"):
        message = f"ControlSetpoint.{method}() {message}"
    with pytest.raises(TypeError) as info:
        getattr(CS, method)(*args, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == (message,)


@pytest.mark.parametrize("method, args, kwargs, param, bad", [
    ("force_pos", (1, 2, "x"), {}, "torque_ratio", "x"),
    ("force_pos", (), {"torque_ratio": "a", "velocity_limit": None, "position": 0}, "velocity_limit", None),
    ("pos_vel", ("1", 2), {}, "position", "1"),
    ("pos_vel", (1,), {"velocity": b"2"}, "velocity", b"2"),
    ("vel", (None,), {}, "velocity", None),
    ("vel", (), {"velocity": SP}, "velocity", SP),
])
def test_float_conversion_errors(method, args, kwargs, param, bad):
    with pytest.raises(TypeError) as info:
        getattr(CS, method)(*args, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == (f"argument '{param}': {float_conversion_error(bad)}",)


def specialised(f, *args, **kwargs):
    """The call written out, run often enough for the interpreter to specialise it."""
    for _ in range(100):
        try:
            made = f(*args, **kwargs) if kwargs else f(*args)
        except TypeError as error:
            made = error
    return made


# A static method's function object has a vector call of its own; every way of
# calling it reaches the same binding, with the same results and messages.
@pytest.mark.parametrize("route", [
    lambda f, *a, **k: f(*a, **k),
    specialised,
    lambda f, *a, **k: f.__call__(*a, **k),
    lambda f, *a, **k: functools.partial(f, *a)(**k),
    lambda f, *a, **k: operator.call(f, *a, **k),
    lambda f, *a, **k: getattr(vars(CS)[f.__name__], "__func__")(*a, **k),
    lambda f, *a, **k: getattr(CS.vel(0.0), f.__name__)(*a, **k),
], ids=["direct", "specialised", "__call__", "partial", "operator.call", "__func__", "instance"])
@pytest.mark.parametrize("name, args, kwargs, outcome", [
    ("vel", (1.5,), {}, "ControlSetpoint.vel(1.5)"),
    ("vel", (), {"velocity": 2}, "ControlSetpoint.vel(2)"),
    ("vel", (1.0, 2.0), {}, "ControlSetpoint.vel() takes 1 positional arguments but 2 were given"),
    ("pos_vel", (1.0,), {"velocity": 2.0}, "ControlSetpoint.pos_vel(position=1, velocity=2)"),
    ("force_pos", (1.0, 2.0, 0.5), {}, "ControlSetpoint.force_pos(position=1, velocity_limit=2, torque_ratio=0.5)"),
    ("mit", (SP,), {}, "ControlSetpoint.mit(q=1, dq=0.5, kp=20, kd=1, tau=0.25)"),
    ("mit", (), {"setpoint": None}, "argument 'setpoint': 'NoneType' object cannot be converted to 'MitSetpoint'"),
])
def test_every_call_route_binds_alike(route, name, args, kwargs, outcome):
    try:
        made = route(getattr(CS, name), *args, **kwargs)
    except TypeError as error:
        made = error
    assert (made.args[0] if isinstance(made, TypeError) else repr(made)) == outcome


def test_conversion_runs_in_parameter_order_and_stops_at_the_first_failure():
    log = []
    with pytest.raises(TypeError, match=r"^argument 'torque_ratio': "):
        CS.force_pos(Probe(log, "position"), Probe(log, "velocity_limit"), "x")
    assert log == ["position", "velocity_limit"]
    log.clear()
    with pytest.raises(TypeError, match=r"^argument 'velocity_limit': bad$"):
        CS.force_pos(torque_ratio=Probe(log, "torque_ratio"), velocity_limit=Probe(log, "velocity_limit", TypeError("bad")),
                     position=Probe(log, "position"))
    assert log == ["position", "velocity_limit"]
    error = OverflowError("mine")
    with pytest.raises(OverflowError) as info:
        CS.pos_vel(0, Probe([], "velocity", error))
    assert info.value is error
    # Exact floats before the first argument that needs a conversion, and after it.
    log.clear()
    made = CS.force_pos(1.5, Probe(log, "velocity_limit", 2.5), 0.25)
    assert log == ["velocity_limit"]
    assert repr(made) == "ControlSetpoint.force_pos(position=1.5, velocity_limit=2.5, torque_ratio=0.25)"
