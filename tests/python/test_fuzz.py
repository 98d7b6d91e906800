"""Random calls of every callable, checked against the model in binder_model."""

import gc
import math
import struct
import sys
import warnings
from functools import partial

import pytest
from hypothesis import HealthCheck, event, given, settings, strategies as st

import conftest
from binder_model import SIGNATURES, Ok, predict
from conftest import FLT_MAX, same_float
from tervalin import ControlSetpoint, Damiao, MitLimits, MitSetpoint, MotorState

# Every test here draws hundreds of calls: each is named when it starts.
pytestmark = pytest.mark.long
PANIC = next(iter(conftest._module_panic_types))
SETTINGS = dict(deadline=None, suppress_health_check=list(HealthCheck))


class Weird(str):
    def __str__(self):
        raise ValueError("no text")


class Renamed(str):
    def __str__(self):
        return "shown-as-renamed"


class Fresh:
    """A hook result that raises a new exception on every call."""

    def __init__(self, make):
        self.make = make

    def __repr__(self):
        return f"Fresh({self.make()!r})"


def act(result):
    if isinstance(result, Fresh):
        raise result.make()
    if isinstance(result, BaseException):
        raise result
    return result


class Hook:
    def __init__(self, result):
        self.result = result

    def __repr__(self):
        return f"{type(self).__name__}({self.result!r})"


class AsFloat(Hook):
    def __float__(self):
        return act(self.result)


class AsIndex(Hook):
    def __index__(self):
        return act(self.result)


class AsBoth(AsFloat):
    def __index__(self):
        return 7


class FloatSub(float):
    pass


class IntSub(int):
    def __index__(self):
        raise ValueError("an int is used as it is")


class MyTypeError(TypeError):
    pass


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")


def type_error_with_cause():
    exc = TypeError("inner")
    exc.__cause__ = CAUSE
    return exc


CAUSE = KeyError("root")
STORED = [ValueError("bad value"), MyTypeError("sub"), OverflowError("own"), KeyboardInterrupt("kbi"),
          SystemExit(3), ArithmeticError("arith")]
FRESH = [Fresh(lambda: TypeError("plain")), Fresh(type_error_with_cause),
         Fresh(lambda: TypeError(Unprintable())), Fresh(lambda: PANIC("boom from hook"))]

ROUND_UP_TO_INF = float.fromhex("0x1.ffffffp+127")
ODD_FLOATS = [0.0, -0.0, -1.0, 5e-324, -5e-324, 2.0**-149, 2.0**-150, 1e-40, FLT_MAX, ROUND_UP_TO_INF,
                  math.nextafter(ROUND_UP_TO_INF, 0), 1e39, -1e39, 1.7976931348623157e308, math.inf, -math.inf]
INTS = [0, 1, -1, 7, 65535, 65536, -65536, 2**31 - 1, 2**31, -2**31, -2**31 - 1, 2**63 - 1, 2**63, -2**63,
        -2**63 - 1, 2**64 - 1, 2**64, 2**1024, 10**400, -10**400, IntSub(5), IntSub(-1)]
# Long-lived arguments: their reference counts are checked around every call.
LONG_LIVED = [12345.678, 2**64 + 5, "p_max", MitLimits(1, 2, 3, 4, 5), MitSetpoint(1, 2, 3, 4, 5),
              ControlSetpoint.vel(1.0), Damiao(1, 2), AsFloat(0.25), AsIndex(300), FloatSub(-2.5)]

nan_payloads = st.builds(lambda sign, m: struct.unpack("<d", struct.pack("<Q", sign << 63 | 0x7FF << 52 | m))[0],
                         st.integers(0, 1), st.integers(1, 2**52 - 1))
floats = st.one_of(st.floats(), st.sampled_from(ODD_FLOATS), nan_payloads, st.builds(FloatSub, st.floats()))
ints = st.one_of(st.sampled_from(INTS), st.integers(), st.integers(-3, 70000), st.booleans())
raising = st.sampled_from(STORED + FRESH)
odd_results = st.sampled_from([FloatSub(2.5), IntSub(7), True, 7, 2.5, "str", None])
hooks = st.one_of(st.builds(AsFloat, st.one_of(floats, odd_results, raising)),
                  st.builds(AsIndex, st.one_of(ints, odd_results, raising)), st.builds(AsBoth, floats))
limits = st.builds(MitLimits, floats, floats, floats, floats, floats)
setpoints = st.builds(MitSetpoint, floats, floats, floats, floats, floats)
misc = st.sampled_from([None, "1", "x", b"1", 1j, object(), MotorState, PANIC("as a value")])
anything = st.one_of(misc, st.builds(AsFloat, raising), st.builds(AsIndex, raising), hooks, floats, ints,
                     limits, setpoints, st.sampled_from(LONG_LIVED))
GOOD = {"f32": st.one_of(floats, ints, st.builds(AsFloat, floats), st.builds(AsIndex, st.integers())),
        "u16": st.one_of(st.integers(0, 65535), ints, st.builds(AsIndex, st.integers(-2, 70000))),
        "limits": st.one_of(st.none(), limits)}
GOOD["u64"] = st.one_of(st.integers(0, 2**64 - 1), ints, st.builds(AsIndex, ints))
GOOD["setpoint"] = setpoints


@st.composite
def calls(draw, sig):
    """A clean call, one with a single odd value, or a messy one (also for binding errors)."""
    mode = draw(st.sampled_from(["clean", "one_odd", "messy"]))
    count, messy = len(sig.params), mode == "messy"
    n = draw(st.integers(0, count + 3) if messy else st.integers(sig.required, count))
    rest = draw(st.permutations(sig.params[n:]))
    names = list(rest if n < sig.required and not messy else rest[:draw(st.integers(0, len(rest)))])
    names = [draw(st.sampled_from([str, str, str, Weird, Renamed]))(x) for x in names]
    bogus = [sig.params[0].upper(), sig.params[-1] + "\x00", "\udc80", "", "bogus",
             Weird("bogus"), Renamed("bogus")]
    for _ in range(draw(st.sampled_from([0, 1, 2])) if messy else 0):
        names.insert(draw(st.integers(0, len(names))), draw(st.sampled_from(bogus + list(sig.params))))
    supplied = n + len(names)
    odd = draw(st.integers(0, supplied - 1)) if mode == "one_odd" and supplied else -1

    def value(i, name):
        kind = sig.kinds[sig.params.index(name)] if name in sig.params else "f32"
        return draw(anything if i == odd or (messy and draw(st.booleans())) else GOOD[kind])

    args = tuple(value(i, sig.params[i] if i < count else "") for i in range(n))
    kwargs = {}
    for i, key in enumerate(names):
        kwargs[key] = value(n + i, str.__str__(key))
    return args, kwargs


def number_text(x):
    """How the module's text shows a single, taken from MitSetpoint's text."""
    return repr(MitSetpoint(q=x))[len("MitSetpoint(q="):].split(",")[0]


def check_success(sig, result, values):
    if sig.target is MitLimits or sig.target is MitSetpoint or sig.owner is None:
        cls = MitLimits if sig.target is MitLimits else MitSetpoint
        assert type(result) is cls
        for name, value in zip(sig.params, values):
            assert same_float(getattr(result, name), value), (name, value)
    elif sig.target is Damiao:
        assert type(result) is Damiao
        assert (result.motor_id, result.master_id) == tuple(values[:2])
        assert repr(result) == f"Damiao(motor_id={values[0]:#x}, master_id={values[1]:#x})"
    else:
        assert type(result) is ControlSetpoint
        assert result.mode == ("mit", "pos_vel", "vel", "force_pos").index(sig.name) + 1
        if sig.name == "mit":
            body = repr(MitSetpoint(*values[0]))[len("MitSetpoint("):]
        elif sig.name == "vel":
            body = number_text(values[0]) + ")"
        else:
            body = ", ".join(f"{n}={number_text(v)}" for n, v in zip(sig.params, values)) + ")"
        assert repr(result) == f"ControlSetpoint.{sig.name}({body}"


def tracked(args, kwargs):
    return [o for o in (*args, *kwargs, *kwargs.values()) if any(o is x for x in LONG_LIVED)]


def forget_tracebacks(*extra):
    """Tracebacks keep the frames (and so the arguments) of earlier calls alive."""
    for exc in (*STORED, *extra):
        if isinstance(exc, BaseException):
            exc.__traceback__ = exc.__context__ = None


def invoke(func, args, kwargs):
    """Runs the call; returns (result, exception, unraisable reports)."""
    seen, hook = [], sys.unraisablehook
    sys.unraisablehook = seen.append
    try:
        return func(*args, **kwargs), None, seen
    except BaseException as exc:  # noqa: BLE001
        return None, exc, seen
    finally:
        sys.unraisablehook = hook


@settings(max_examples=conftest.examples(2000), **SETTINGS)
@given(st.data())
def test_every_callable_matches_the_model(capfd, data):
    try:
        check_one_call(capfd, data)
    finally:
        gc.enable()


def check_one_call(capfd, data):
    sig = data.draw(st.sampled_from(SIGNATURES), label="callable")
    args, kwargs = data.draw(calls(sig), label="call")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        expected = predict(sig, args, kwargs, PANIC)
        event(f"{sig.display}: " + ("ok" if isinstance(expected, Ok) else expected.type.__name__))
        capfd.readouterr()
        forget_tracebacks(getattr(expected, "source", None), *getattr(expected, "unraisable", ()))
        watched = tracked(args, kwargs)
        gc.disable()  # no collection may change the counts
        before = [sys.getrefcount(o) for o in watched]
        result, err, seen = invoke(sig.func, args, kwargs)
    assert sys.exc_info() == (None, None, None)
    if isinstance(expected, Ok):
        assert err is None, f"expected success, got {err!r}"
        check_success(sig, result, expected.values)
        assert seen == []
    else:
        assert err is not None, f"expected {expected.type.__name__}{expected.args}, got {result!r}"
        assert type(err) is expected.type, (err, expected)
        assert err.args == expected.args
        if any(expected.source is s for s in STORED):
            assert err is expected.source
        if expected.wrapped:
            assert err.__cause__ is expected.cause
            assert err.__suppress_context__ is True and err.__context__ is None
        elif expected.source is None:  # the module's own messages
            assert err.__cause__ is None
        if expected.panic:
            assert err is not expected.source
            assert "is resuming a panic after fetching a PanicException from Python" in capfd.readouterr().err
        assert [type(u.object) for u in seen] == [type(o) for o in expected.unraisable]
    del result, err, seen, expected
    forget_tracebacks()
    assert [sys.getrefcount(o) for o in watched] == before


PRESETS = ["dm3507", "dm4310", "dm4310p", "dm4340", "dm4340p", "dm6006", "dm6248p", "dm8006", "dm8009",
           "dm10010", "dm10010l", "dmg6215", "dmh3510", "dmh6220", "dmjh11"]


@settings(max_examples=conftest.examples(300), **SETTINGS)
@given(st.sampled_from([MotorState, ControlSetpoint] + PRESETS), st.lists(anything, max_size=3),
       st.dictionaries(st.sampled_from(["p_max", "x", Weird("y"), "motor_id"]), anything, max_size=2),
       st.booleans())
def test_argument_free_callables(target, args, kwargs, on_instance):
    if isinstance(target, str):
        owner = MitLimits() if on_instance else MitLimits
        result, err, seen = invoke(getattr(owner, target), args, kwargs)
        if not args and not kwargs:
            assert err is None and type(result) is MitLimits
            return
        try:  # CPython's reply for any no-argument method, with the preset's name
            sys.getrecursionlimit(*args, **kwargs)
        except TypeError as exc:
            message = str(exc).replace("sys.getrecursionlimit()", f"MitLimits.{target}()")
    else:
        result, err, seen = invoke(target, args, kwargs)
        message = f"No constructor defined for {target.__name__}"
    assert sys.exc_info() == (None, None, None)
    assert type(err) is TypeError and err.args == (message,)
    assert seen == []


# Arguments whose own code attacks the call's keyword dict while the call
# converts them (or when the call lets them go): the module must go on
# converting the objects it was given, whatever happens to the dict.

def dicts_holding(obj):
    return [r for r in gc.get_referrers(obj) if type(r) is dict and any(v is obj for v in r.values())]


def attack(obj, action):
    for d in dicts_holding(obj):
        if action in ("clear", "refill"):
            d.clear()
        if action == "refill":
            d.update({"p_max": AsFloat(ValueError("a value put in after binding")), "extra": [0] * 10})
    if action == "reenter":
        assert repr(MitLimits(**{"kd_max": 0.5})) == "MitLimits(p_max=12.5, v_max=30, kp_max=500, kd_max=0.5, t_max=10)"
        Damiao.__new__(Damiao, **{"motor_id": 1, "master_id": 2})
        ControlSetpoint.vel(velocity=1.0)
    if action == "raise":
        raise ValueError("hostile argument")
    [[object()] for _ in range(50)]  # reuses whatever memory was freed


class Hostile:
    def __init__(self, value, action):
        self.value, self.action = value, action

    def __float__(self):
        attack(self, self.action)
        return float(self.value)

    def __index__(self):
        attack(self, self.action)
        return int(self.value)


class DyingFloat(float):
    def __del__(self):
        attack(self, self.action)


class DyingInt(int):
    def __del__(self):
        attack(self, self.action)


class ShownKey(str):
    def __str__(self):
        for d in dicts_holding(self):
            d.clear()
        MitLimits(**{"p_max": 2.0})
        return "shown"


ACTIONS = ["clear", "refill", "reenter", "raise", "none"]


@st.composite
def hostile_calls(draw, sig):
    """Every argument by keyword: plain values, or hostile ones with the plain value they stand for."""
    hostile, plain = {}, {}
    rest = sig.params[sig.required:]
    names = [*sig.params[:sig.required], *draw(st.permutations(rest))[:draw(st.integers(0, len(rest)))]]
    for name in draw(st.permutations(names)):
        kind = sig.kinds[sig.params.index(name)]
        if kind in ("limits", "setpoint"):
            value = MitLimits(1, 2) if kind == "limits" else MitSetpoint(1, 2)
            hostile[name] = plain[name] = value
            continue
        number = draw(st.integers(0, 1000))
        value = float(number) if kind == "f32" else number
        how, action = draw(st.sampled_from(["plain", "hook", "dying"])), draw(st.sampled_from(ACTIONS))
        if how == "hook":
            hostile[name] = Hostile(value, action)
        elif how == "dying":
            hostile[name] = (DyingFloat if kind == "f32" else DyingInt)(value)
            hostile[name].action = action
        else:
            hostile[name] = value
        plain[name] = value
    key = draw(st.sampled_from([None, ShownKey("bogus")]))
    if key is not None:
        hostile[key] = plain["shown"] = 1.0
    return hostile, plain


def outcome(func, kwargs):
    try:
        return repr(func(**kwargs))
    except Exception as exc:  # noqa: BLE001
        return type(exc), exc.args


# Values that raise from __del__ and outlive the call (hypothesis keeps what it drew) are reported late.
@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
@pytest.mark.parametrize("sig", SIGNATURES,
                         ids=lambda sig: sig.display + (" via __new__" if isinstance(sig.func, partial) else ""))
@settings(max_examples=conftest.examples(40), **SETTINGS)
@given(data=st.data())
def test_arguments_attacking_the_keyword_dict(sig, data):
    hostile, plain = data.draw(hostile_calls(sig))
    raising = [n for n in sig.params if n in hostile and isinstance(hostile[n], Hostile)
               and hostile[n].action == "raise"]
    seen, hook = [], sys.unraisablehook
    sys.unraisablehook = seen.append
    try:
        got = outcome(sig.func, hostile)
        del hostile
        gc.collect()
    finally:
        sys.unraisablehook = hook
    expected = outcome(sig.func, plain)
    if raising and isinstance(expected, str):
        expected = (ValueError, ("hostile argument",))
    assert got == expected
    # A value released at the end of the call may raise from __del__: reported, never lost.
    assert all(type(u.exc_value) is ValueError for u in seen)
