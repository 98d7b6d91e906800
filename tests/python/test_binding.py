"""Argument binding and strict float conversion, exercised through MitLimits."""

import math
import re
import sys

import pytest
from hypothesis import example, given, strategies as st

from conftest import FLT_MAX, f32, float_conversion_error, from_single_bits, same_float
from tervalin import MitLimits

NEW = "MitLimits.__new__()"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1, 2, 3, 4, 5, 6), {}, f"{NEW} takes from 0 to 5 positional arguments but 6 were given"),
        ((0,) * 9, {}, f"{NEW} takes from 0 to 5 positional arguments but 9 were given"),
        # Too many positionals is reported before any keyword is looked at.
        ((1, 2, 3, 4, 5, 6), {"bogus": 1, "p_max": 1},
         f"{NEW} takes from 0 to 5 positional arguments but 6 were given"),
        ((), {"bogus": 1}, f"{NEW} got an unexpected keyword argument 'bogus'"),
        ((), {"P_MAX": 1}, f"{NEW} got an unexpected keyword argument 'P_MAX'"),
        ((), {"p_max\x00": 1}, f"{NEW} got an unexpected keyword argument 'p_max\x00'"),
        ((), {"\uff50_max": 1}, f"{NEW} got an unexpected keyword argument '\uff50_max'"),
        ((1,), {"p_max": 2}, f"{NEW} got multiple values for argument 'p_max'"),
        ((1, 2, 3, 4, 5), {"t_max": 2}, f"{NEW} got multiple values for argument 't_max'"),
        # The first failing keyword in dict order decides; binding precedes conversion.
        ((), {"bogus": 1, "p_max": "x"}, f"{NEW} got an unexpected keyword argument 'bogus'"),
        ((), {"p_max": "x", "bogus": 1}, f"{NEW} got an unexpected keyword argument 'bogus'"),
        ((1,), {"bogus": 1, "p_max": 2}, f"{NEW} got an unexpected keyword argument 'bogus'"),
        ((1,), {"p_max": 2, "bogus": 1}, f"{NEW} got multiple values for argument 'p_max'"),
        ((1,), {"other": None, "p_max": "x"}, f"{NEW} got an unexpected keyword argument 'other'"),
        # A key that has no UTF-8 form matches nothing but is still shown.
        ((), {"\udc80": 1}, f"{NEW} got an unexpected keyword argument '\udc80'"),
    ],
)
def test_binding_messages(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        MitLimits(*args, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == (message,)
    assert info.value.__cause__ is None


class Weird(str):
    def __str__(self):
        raise ValueError("no text")


def test_unprintable_key_is_reported_as_unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    key = Weird("p_max2")
    kwargs = {key: 1}
    assert type(next(iter(kwargs))) is Weird
    with pytest.raises(TypeError) as info:
        MitLimits(**kwargs)
    assert info.value.args == (f"{NEW} got an unexpected keyword argument '<unprintable Weird object>'",)
    assert len(seen) == 1
    assert type(seen[0].exc_value) is ValueError
    assert seen[0].object is key


def test_keys_are_matched_by_their_text_not_their_str():
    assert MitLimits(**{Weird("kd_max"): 2}).kd_max == 2.0


class Recorder:
    def __init__(self, log, name, value):
        self.log, self.name, self.value = log, name, value

    def __float__(self):
        self.log.append(self.name)
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


def test_conversion_follows_parameter_order_and_stops_at_first_failure():
    log = []
    with pytest.raises(TypeError) as info:
        MitLimits(
            t_max=Recorder(log, "t_max", 1.0),
            kp_max=Recorder(log, "kp_max", TypeError("bad kp")),
            p_max=Recorder(log, "p_max", 1.0),
            v_max=Recorder(log, "v_max", 2.0),
        )
    assert log == ["p_max", "v_max", "kp_max"]
    assert info.value.args == ("argument 'kp_max': bad kp",)


@pytest.mark.parametrize(
    "kwargs, name, bad",
    [
        ({"p_max": None}, "p_max", None),
        ({"v_max": "1"}, "v_max", "1"),
        ({"v_max": "x", "p_max": "y"}, "p_max", "y"),
        ({"t_max": b"1"}, "t_max", b"1"),
        ({"kd_max": 1j}, "kd_max", 1j),
        ({"kp_max": MitLimits()}, "kp_max", MitLimits()),
    ],
)
def test_non_numbers_fail_under_the_parameter_name(kwargs, name, bad):
    expected = float_conversion_error(bad)
    assert type(expected) is TypeError
    with pytest.raises(TypeError) as info:
        MitLimits(**kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == (f"argument '{name}': {expected}",)


def test_positional_string_is_not_parsed():
    with pytest.raises(TypeError, match=r"^argument 'p_max': "):
        MitLimits("1")


class Indexable:
    def __index__(self):
        return 2**30


class OddFloat(float):
    def __float__(self):
        return 99.0


@pytest.mark.parametrize(
    "value, expected",
    [(-1.0, -1.0), (-1, -1.0), (True, 1.0), (False, 0.0), (7, 7.0),
     (2**24 + 1, 16777216.0), (2**100, 2.0**100), (2**128, math.inf),
     (Indexable(), 1073741824.0), (OddFloat(2.5), 2.5)],
)
def test_accepted_numbers(value, expected):
    assert same_float(MitLimits(p_max=value).p_max, expected)


def test_float_hook_returning_minus_one_is_a_value():
    assert MitLimits(kd_max=Recorder([], "kd_max", -1.0)).kd_max == -1.0


def test_int_too_large_for_a_double_is_cpythons_overflow_error():
    expected = float_conversion_error(10**400)
    with pytest.raises(OverflowError) as info:
        MitLimits(v_max=10**400)
    assert type(info.value) is OverflowError
    assert info.value.args == expected.args
    assert not str(info.value).startswith("argument")


class MyTypeError(TypeError):
    pass


@pytest.mark.parametrize(
    "exc",
    [MyTypeError("sub"), ValueError("v"), OverflowError("o"), KeyboardInterrupt(), ZeroDivisionError()],
    ids=lambda e: type(e).__name__,
)
def test_other_errors_from_float_hooks_pass_through_unchanged(exc):
    with pytest.raises(BaseException) as info:
        MitLimits(1.0, Recorder([], "v_max", exc))
    assert info.value is exc
    assert info.value.args == exc.args


def test_exact_type_error_is_prefixed_and_keeps_its_cause():
    cause = KeyError("root")

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


def test_exact_type_error_without_cause():
    with pytest.raises(TypeError) as info:
        MitLimits(p_max=Recorder([], "p_max", TypeError("plain")))
    assert info.value.args == ("argument 'p_max': plain",)
    assert info.value.__cause__ is None
    assert info.value.__suppress_context__ is True


def test_panic_exception_type(panic_type):
    assert panic_type.__module__ == "pyo3_runtime"
    assert panic_type.__name__ == panic_type.__qualname__ == "PanicException"
    assert panic_type.__bases__ == (BaseException,)
    assert not issubclass(panic_type, Exception)
    assert re.fullmatch(
        r"\nThe exception raised when .+ code called from Python panics\.\n\n"
        r"Like SystemExit, this exception is derived from BaseException so that\n"
        r"it will typically propagate all the way through the stack and cause the\n"
        r"Python interpreter to exit\.\n",
        panic_type.__doc__,
    )


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")


@pytest.mark.parametrize(
    "payload, message",
    [("boom", "boom"), (Unprintable(), "Unwrapped panic from Python code")],
)
def test_panic_raised_by_a_float_hook_is_resumed(panic_type, capfd, payload, message):
    raised = panic_type(payload)
    with pytest.raises(BaseException) as info:
        MitLimits(p_max=Recorder([], "p_max", raised))
    err = info.value
    assert type(err) is panic_type
    assert err is not raised
    assert err.args == (message,)
    assert not isinstance(err, Exception)
    stderr = capfd.readouterr().err
    assert re.search(
        r"^--- .+ is resuming a panic after fetching a PanicException from Python\. ---\n"
        r"Python stack trace below:$",
        stderr,
        re.MULTILINE,
    )
    assert "PanicException" in stderr
    assert MitLimits().p_max == 12.5  # the module stays usable


def test_panic_subclass_is_not_resumed(panic_type):
    sub = type("PanicSub", (panic_type,), {})("quiet")
    with pytest.raises(BaseException) as info:
        MitLimits(p_max=Recorder([], "p_max", sub))
    assert info.value is sub


# --- narrowing to single precision ------------------------------------------

ROUND_UP_TO_INF = float.fromhex("0x1.ffffffp+127")  # halfway above FLT_MAX
SPECIAL = [
    0.0, -0.0, math.nan, -math.nan, math.inf, -math.inf, 0.1, 1e39, -1e39,
    FLT_MAX, -FLT_MAX, ROUND_UP_TO_INF, -ROUND_UP_TO_INF,
    math.nextafter(ROUND_UP_TO_INF, 0), 2.0**-149, 2.0**-150,
    math.nextafter(2.0**-150, 1), 2.0**-126, math.nextafter(2.0**-126, 0),
    1.0 + 2.0**-24, 1.0 + 3 * 2.0**-24, 5e-324,
]


def test_rounding_at_the_top_of_the_range():
    assert MitLimits(p_max=ROUND_UP_TO_INF).p_max == math.inf
    assert MitLimits(p_max=-ROUND_UP_TO_INF).p_max == -math.inf
    assert MitLimits(p_max=math.nextafter(ROUND_UP_TO_INF, 0)).p_max == FLT_MAX
    assert MitLimits(p_max=1e39).p_max == math.inf
    assert MitLimits(0.1).p_max == 0.10000000149011612


near_singles = st.tuples(st.integers(0, 2**32 - 1), st.integers(-3, 3)).map(
    lambda t: from_single_bits(t[0]) if t[1] == 0 or not math.isfinite(from_single_bits(t[0]))
    else from_single_bits(t[0]) + t[1] * math.ulp(from_single_bits(t[0])) * 2**28
)


@given(st.one_of(st.floats(), st.sampled_from(SPECIAL), near_singles,
                 st.floats(min_value=-(2.0**-125), max_value=2.0**-125)))
@example(ROUND_UP_TO_INF)
def test_values_are_narrowed_to_single_precision(x):
    m = MitLimits(p_max=x, t_max=x)
    assert same_float(m.p_max, f32(x))
    assert same_float(m.t_max, f32(x))
    assert type(m.p_max) is float
