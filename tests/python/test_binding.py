"""Argument binding and strict float conversion, exercised through MitLimits."""

import ast
import math
import os
import re
import subprocess
import sys

import pytest
from hypothesis import example, given, strategies as st

from conftest import run_python, FLT_MAX, f32, float_conversion_error, from_single_bits, same_float
from tervalin import MitLimits

NEW = "MitLimits.__new__()"
TOO_MANY = NEW + " takes from 0 to 5 positional arguments but {} were given"
UNEXPECTED = NEW + " got an unexpected keyword argument '{}'"
MULTIPLE = NEW + " got multiple values for argument '{}'"


@pytest.mark.parametrize("args, kwargs, message", [
    ((1, 2, 3, 4, 5, 6), {}, TOO_MANY.format(6)),
    ((0,) * 9, {}, TOO_MANY.format(9)),
    # Too many positionals is reported before any keyword is looked at.
    ((1, 2, 3, 4, 5, 6), {"bogus": 1, "p_max": 1}, TOO_MANY.format(6)),
    ((), {"bogus": 1}, UNEXPECTED.format("bogus")),
    ((), {"P_MAX": 1}, UNEXPECTED.format("P_MAX")),
    ((), {"p_max\x00": 1}, UNEXPECTED.format("p_max\x00")),
    ((), {"\uff50_max": 1}, UNEXPECTED.format("\uff50_max")),  # no normalisation
    ((1,), {"p_max": 2}, MULTIPLE.format("p_max")),
    ((1, 2, 3, 4, 5), {"t_max": 2}, MULTIPLE.format("t_max")),
    # The first failing keyword in dict order decides; binding precedes conversion.
    ((), {"bogus": 1, "p_max": "x"}, UNEXPECTED.format("bogus")),
    ((), {"p_max": "x", "bogus": 1}, UNEXPECTED.format("bogus")),
    ((1,), {"bogus": 1, "p_max": 2}, UNEXPECTED.format("bogus")),
    ((1,), {"p_max": 2, "bogus": 1}, MULTIPLE.format("p_max")),
    # A key without a UTF-8 form matches nothing but is still shown.
    ((), {"\udc80": 1}, UNEXPECTED.format("\udc80")),
    # A key that is not a str matches nothing and is shown by its str().
    ((), {1: 2}, UNEXPECTED.format(1)),
    ((), {"p_max": 1, (1, 2): 2}, UNEXPECTED.format((1, 2))),
    ((), {"bogus": 1, 1: 2}, UNEXPECTED.format("bogus")),
    ((1, 2, 3, 4, 5, 6), {1: 2}, TOO_MANY.format(6)),
])
@pytest.mark.parametrize("route", ["class", "__new__"])
def test_binding_messages(route, args, kwargs, message):
    if not all(isinstance(key, str) for key in kwargs):
        # Calling the class is a vector call: CPython unpacks ** into it and
        # rejects a key that is not a str with its own message, before the
        # module sees the call. __new__ gets the dict as it is on CPython 3.13
        # and 3.14; 3.15 checks the keys of every ** it unpacks. dict.__new__,
        # a wrapper of the same kind that takes any keyword, shows which.
        if route == "class":
            message = cpython_error(lambda **kw: None, kwargs).args[0]
        elif (unpacking := unpacking_error(kwargs)) is not None:
            message = unpacking.args[0]
    with pytest.raises(TypeError) as info:
        if route == "class":
            MitLimits(*args, **kwargs)
        else:
            MitLimits.__new__(MitLimits, *args, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == (message,)
    assert info.value.__cause__ is None


def cpython_error(function, kwargs):
    try:
        function(**kwargs)
    except TypeError as exc:
        return exc
    raise AssertionError(f"{kwargs!r} accepted")


def unpacking_error(kwargs):
    """CPython's own error for unpacking kwargs into a wrapper of tp_new, or None where it passes them on."""
    try:
        dict.__new__(dict, **kwargs)
    except TypeError as exc:
        return exc
    return None


class Weird(str):
    def __str__(self):
        raise ValueError("no text")


def test_unprintable_key_is_reported_as_unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    key = Weird("p_max2")
    with pytest.raises(TypeError) as info:
        MitLimits(**{key: 1})
    assert info.value.args == (UNEXPECTED.format("<unprintable Weird object>"),)
    assert [(type(u.exc_value), u.object) for u in seen] == [(ValueError, key)]


def test_keys_are_matched_by_their_text_not_their_str():
    assert MitLimits(**{Weird("kd_max"): 2}).kd_max == 2.0


# Keyword names are first compared by identity with the interned parameter
# names; a name that is a fresh string, or a str subclass, still matches by text.
@pytest.mark.parametrize("key", [
    "kd_max", "".join(["kd", "_max"]), Weird("kd_max"), Weird("".join(["kd", "_ma", "x"]))])
@pytest.mark.parametrize("call", [
    lambda *a, **kw: MitLimits(*a, **kw), lambda *a, **kw: MitLimits.__new__(MitLimits, *a, **kw)])
def test_keyword_names_interned_or_not(call, key):
    assert call(**{key: 2}).kd_max == 2.0
    with pytest.raises(TypeError, match="got multiple values for argument 'kd_max'"):
        call(1, 2, 3, 4, **{key: 2})


ASSIGNED = """
import tervalin
cls = getattr(tervalin, {name!r}); args = {args!r}; calls = []
cls.__init__ = lambda self, *a, **k: calls.append((a, k))
made = cls(*args)
assert type(made) is cls and calls == [(args, {{}})], calls
del cls.__init__
assert type(cls(*args)) is cls
cls.__new__ = staticmethod(lambda c, *a, **k: (c, a, k))
assert cls(*args, x=1) == (cls, args, {{"x": 1}})
del cls.__new__  # object's own __new__ is left, as for any class
try:
    cls(*args)
except TypeError as exc:
    print(exc)
"""


# Assigning __new__ or __init__ on a class (a mutable type) sends its calls
# through the generic path again. In a child process: the classes stay changed.
@pytest.mark.parametrize("name, args", [("MitLimits", (1.0,)), ("MitSetpoint", (1.0,)), ("Damiao", (1, 2))])
def test_assigned_new_or_init_is_called(name, args):
    child = subprocess.run([sys.executable, "-c", ASSIGNED.format(name=name, args=args)],
                           capture_output=True, text=True, timeout=60)
    assert child.returncode == 0, child.stderr
    assert child.stdout.startswith("object.__new__() takes exactly one argument"), child.stdout


class Hook:
    """An argument whose __float__ logs its name, then returns or raises."""

    def __init__(self, result, log=None, name=None):
        self.result, self.log, self.name = result, log, name

    def __float__(self):
        if self.log is not None:
            self.log.append(self.name)
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


def test_conversion_follows_parameter_order_and_stops_at_first_failure():
    log = []
    with pytest.raises(TypeError) as info:
        MitLimits(t_max=Hook(1.0, log, "t_max"), kp_max=Hook(TypeError("bad kp"), log, "kp_max"),
                  p_max=Hook(1.0, log, "p_max"), v_max=Hook(2.0, log, "v_max"))
    assert log == ["p_max", "v_max", "kp_max"]
    assert info.value.args == ("argument 'kp_max': bad kp",)


@pytest.mark.parametrize("args, kwargs, name, bad", [
    ((), {"p_max": None}, "p_max", None),
    (("1",), {}, "p_max", "1"),
    ((), {"v_max": "x", "p_max": "y"}, "p_max", "y"),
    ((0, 0, 0, 0), {"t_max": b"1"}, "t_max", b"1"),
    ((), {"kd_max": 1j}, "kd_max", 1j),
    ((), {"kp_max": MitLimits()}, "kp_max", MitLimits()),
])
def test_non_numbers_fail_under_the_parameter_name(args, kwargs, name, bad):
    expected = float_conversion_error(bad)
    assert type(expected) is TypeError
    with pytest.raises(TypeError) as info:
        MitLimits(*args, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == (f"argument '{name}': {expected}",)


class Indexable:
    def __index__(self):
        return 2**30


class OddFloat(float):
    def __float__(self):
        return 99.0


@pytest.mark.parametrize("value, expected", [
    (-1.0, -1.0), (-1, -1.0), (Hook(-1.0), -1.0), (True, 1.0), (False, 0.0), (7, 7.0),
    (2**24 + 1, 16777216.0), (2**100, 2.0**100), (2**128, math.inf),
    (Indexable(), 1073741824.0), (OddFloat(2.5), 2.5),
])
def test_accepted_numbers(value, expected):
    assert same_float(MitLimits(p_max=value).p_max, expected)


def test_int_too_large_for_a_double_is_cpythons_overflow_error():
    with pytest.raises(OverflowError) as info:
        MitLimits(v_max=10**400)
    assert type(info.value) is OverflowError
    assert info.value.args == float_conversion_error(10**400).args
    assert not str(info.value).startswith("argument")


@pytest.mark.parametrize("make", [
    lambda panic: type("MyTypeError", (TypeError,), {})("sub"),
    lambda panic: ValueError("v"), lambda panic: OverflowError("o"),
    lambda panic: KeyboardInterrupt(),
    lambda panic: type("PanicSub", (panic,), {})("not resumed"),
], ids=["TypeError-subclass", "ValueError", "OverflowError", "KeyboardInterrupt", "panic-subclass"])
def test_other_errors_from_float_hooks_pass_through_unchanged(make, panic_type):
    exc = make(panic_type)
    with pytest.raises(BaseException) as info:
        MitLimits(1.0, Hook(exc))
    assert info.value is exc
    assert info.value.args == exc.args


@pytest.mark.parametrize("cause", [KeyError("root"), None])
def test_exact_type_error_is_prefixed_and_keeps_its_cause(cause):
    class Raises:
        def __float__(self):
            raise TypeError("inner") from cause

    with pytest.raises(TypeError) as info:
        MitLimits(t_max=Raises())
    err = info.value
    assert type(err) is TypeError
    assert err.args == ("argument 't_max': inner",)
    assert err.__cause__ is cause
    assert err.__suppress_context__ is True
    assert err.__context__ is None


def test_panic_exception_type(panic_type):
    assert (panic_type.__module__, panic_type.__qualname__) == ("pyo3_runtime", "PanicException")
    assert panic_type.__bases__ == (BaseException,)
    assert re.fullmatch(
        r"\nThe exception raised when .+ code called from Python panics\.\n\n"
        r"Like SystemExit, this exception is derived from BaseException so that\n"
        r"it will typically propagate all the way through the stack and cause the\n"
        r"Python interpreter to exit\.\n", panic_type.__doc__)


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")


@pytest.mark.parametrize("payload, message", [
    ("boom", "boom"), (Unprintable(), "Unwrapped panic from Python code"),
])
def test_panic_raised_by_a_float_hook_is_resumed(panic_type, capfd, payload, message):
    raised = panic_type(payload)
    with pytest.raises(BaseException) as info:
        MitLimits(p_max=Hook(raised))
    err = info.value
    assert type(err) is panic_type and err is not raised
    assert err.args == (message,)
    assert not isinstance(err, Exception)
    stderr = capfd.readouterr().err
    assert re.search(r"^--- .+ is resuming a panic after fetching a PanicException from Python\. ---\n"
                     r"Python stack trace below:$", stderr, re.MULTILINE)
    assert "PanicException" in stderr
    assert MitLimits().p_max == 12.5  # the module stays usable


# Narrowing to single precision.
ROUND_UP_TO_INF = float.fromhex("0x1.ffffffp+127")  # halfway between FLT_MAX and 2**128
SPECIAL = [0.0, -0.0, math.nan, -math.nan, math.inf, -math.inf, 0.1, 1e39, FLT_MAX,
           ROUND_UP_TO_INF, math.nextafter(ROUND_UP_TO_INF, 0), 2.0**-149, 2.0**-150,
           math.nextafter(2.0**-150, 1), math.nextafter(2.0**-126, 0), 1 + 2.0**-24,
           1 + 3 * 2.0**-24, 5e-324]


def test_rounding_at_the_top_of_the_range():
    assert MitLimits(p_max=ROUND_UP_TO_INF).p_max == math.inf
    assert MitLimits(p_max=-ROUND_UP_TO_INF).p_max == -math.inf
    assert MitLimits(p_max=math.nextafter(ROUND_UP_TO_INF, 0)).p_max == FLT_MAX
    assert MitLimits(p_max=1e39).p_max == math.inf
    assert MitLimits(0.1).p_max == 0.10000000149011612


def _near_single(bits, halves):
    """A single, moved by a multiple of half its spacing (2**28 double ulps)."""
    x = from_single_bits(bits)
    return x + halves * math.ulp(x) * 2**28 if math.isfinite(x) else x


@given(st.one_of(st.floats(), st.sampled_from(SPECIAL), st.floats(-2.0**-125, 2.0**-125),
                 st.builds(_near_single, st.integers(0, 2**32 - 1), st.integers(-3, 3)))
       .flatmap(lambda x: st.sampled_from([x, -x])))
@example(ROUND_UP_TO_INF)
def test_values_are_narrowed_to_single_precision(x):
    m = MitLimits(p_max=x, t_max=x)
    assert type(m.p_max) is float
    assert same_float(m.p_max, f32(x))
    assert same_float(m.t_max, f32(x))


# A conversion that calls the entry again, through a C callable only (no
# Python frame counts the levels): every entry that can run Python code counts
# one level of C recursion, so the cycle ends in RecursionError rather than
# overflowing the stack, in the main thread and on an 8 MiB thread stack.
CYCLES_THROUGH_ENTRIES = {
    "class vector call": ("__float__", "t.MitLimits", ""),
    "tp_new": ("__float__", "functools.partial(t.MitLimits.__new__, t.MitLimits)", ""),
    "tp_new, keyword dict": ("__float__", "functools.partial(t.MitLimits.__new__, t.MitLimits, 1.0, kd_max=2.0)", ""),
    "second class": ("__float__", "t.MitSetpoint", ""),
    "module function": ("__float__", "t.mit_setpoint", ""),
    "static method": ("__float__", "t.ControlSetpoint.vel", ""),
    "static method, last argument": ("__float__", "functools.partial(t.ControlSetpoint.force_pos, 1.0, 2.0)", ""),
    "static method, keywords": ("__float__", "functools.partial(t.ControlSetpoint.pos_vel, velocity=1.0)", ""),
    "index": ("__index__", "functools.partial(t.Damiao, master_id=2)", ""),
    "index, 64-bit": ("__index__", "functools.partial(t.Damiao, 1, 2, None)", ""),
    "generic path": ("__float__", "t.MitLimits",
                     "t.MitLimits.__init__ = lambda self, *a, **k: None"),
}


@pytest.mark.parametrize("slot, entry, setup", list(CYCLES_THROUGH_ENTRIES.values()),
                         ids=list(CYCLES_THROUGH_ENTRIES))
def test_cycle_through_an_entry_ends_in_recursion_error(slot, entry, setup):
    child = run_python(f"""
        import functools, threading, tervalin as t
        {setup}
        class F:
            pass
        f = F()
        entry = {entry}
        F.{slot} = staticmethod(functools.partial(entry, f))
        def cycle(outcome):
            try:
                entry(f)
            except RecursionError as error:
                outcome.append(str(error))
        outcome = []
        cycle(outcome)
        threading.stack_size(8 << 20)
        worker = threading.Thread(target=cycle, args=(outcome,))
        worker.start()
        worker.join()
        print(outcome)
        """)
    assert child.returncode == 0, child.stderr[-2000:]
    outcome = ast.literal_eval(child.stdout)
    assert len(outcome) == 2 and all(text.endswith(" while calling a Python object") for text in outcome), outcome
    if sys.version_info < (3, 14) and not os.environ.get("TERVALIN_SANITIZED"):
        # The level counter's limit comes before the stack's end, in the main
        # thread and on the 8 MiB thread: the module's frames of one level
        # are small enough. (CPython 3.14 watches the stack instead.)
        assert outcome == ["maximum recursion depth exceeded while calling a Python object"] * 2, outcome
