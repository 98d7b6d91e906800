"""MitLimits values: constructor, presets and representation text."""

import decimal
import math
import re

import pytest
from hypothesis import given, settings, strategies as st

from conftest import FLT_MAX, examples, f32, from_single_bits, limits_fields, single_bits
from tervalin import MitLimits

PRESETS = [
    ("dm3507", (12.566, 50, 500, 5, 5)),
    ("dm4310", (12.5, 30, 500, 5, 10)),
    ("dm4310p", (12.5, 50, 500, 5, 10)),
    ("dm4340", (12.5, 10, 500, 5, 28)),
    ("dm4340p", (12.5, 10, 500, 5, 28)),
    ("dm6006", (12.5, 45, 500, 5, 20)),
    ("dm6248p", (12.566, 20, 500, 5, 120)),
    ("dm8006", (12.5, 45, 500, 5, 40)),
    ("dm8009", (12.5, 45, 500, 5, 54)),
    ("dm10010", (12.5, 20, 500, 5, 200)),
    ("dm10010l", (12.5, 25, 500, 5, 200)),
    ("dmg6215", (12.5, 45, 500, 5, 10)),
    ("dmh3510", (12.5, 280, 500, 5, 1)),
    ("dmh6220", (12.5, 45, 500, 5, 10)),
    ("dmjh11", (12.5, 10, 500, 5, 12)),
]
PRESET_NAMES = [row[0] for row in PRESETS]


def test_constructor_defaults_positional_and_keyword():
    assert limits_fields(MitLimits()) == (12.5, 30.0, 500.0, 5.0, 10.0)
    assert limits_fields(MitLimits(1, 2, 3, 4, 5)) == (1.0, 2.0, 3.0, 4.0, 5.0)
    assert limits_fields(MitLimits(kd_max=0.5)) == (12.5, 30.0, 500.0, 0.5, 10.0)
    assert limits_fields(MitLimits(6, t_max=7, kp_max=8)) == (6.0, 30.0, 8.0, 5.0, 7.0)
    assert limits_fields(MitLimits(v_max=-3)) == (12.5, -3.0, 500.0, 5.0, 10.0)


def test_presets_are_registered_in_table_order():
    assert [name for name in vars(MitLimits) if name.startswith("dm")] == PRESET_NAMES


@pytest.mark.parametrize("name, values", PRESETS, ids=PRESET_NAMES)
def test_preset_values(name, values):
    preset = getattr(MitLimits, name)
    assert limits_fields(preset()) == tuple(f32(v) for v in values)
    assert preset.__text_signature__ == "()"
    assert preset.__doc__ is None
    with pytest.raises(TypeError, match=rf"{name}\(\) takes no arguments \(1 given\)"):
        preset(1)


def test_preset_details():
    assert MitLimits.dm3507().p_max == 12.565999984741211
    assert MitLimits.dm6248p().t_max == 120.0
    defaults = limits_fields(MitLimits())
    assert [n for n in PRESET_NAMES if limits_fields(getattr(MitLimits, n)()) == defaults] == ["dm4310"]
    a, b = MitLimits.dm4340(), MitLimits.dm4340p()
    assert limits_fields(a) == limits_fields(b) and a != b
    assert MitLimits.dm4310() is not MitLimits.dm4310()


def limits_text(p="12.5", v="30", kp="500", kd="5", t="10"):
    return f"MitLimits(p_max={p}, v_max={v}, kp_max={kp}, kd_max={kd}, t_max={t})"


@pytest.mark.parametrize("value, text", [
    (MitLimits(), limits_text()),
    (MitLimits.dm3507(), limits_text("12.566", "50", t="5")),
    (MitLimits.dmh3510(), limits_text(v="280", t="1")),
    (MitLimits(0.1, -2.5, 1e39, float("nan"), -0.0), limits_text("0.1", "-2.5", "inf", "NaN", "-0")),
    (MitLimits(kd_max=0.5), limits_text(kd="0.5")),
    (MitLimits(v_max=-3), limits_text(v="-3")),
    (MitLimits(-math.inf, -math.nan, 0, 1, 2), limits_text("-inf", "NaN", "0", "1", "2")),
])
def test_repr_examples(value, text):
    assert repr(value) == text
    assert str(value) == text


@pytest.mark.parametrize("stored_from, text", [
    (30.0, "30"), (12.5, "12.5"), (12.566, "12.566"), (0.1, "0.1"), (0.3, "0.3"),
    (1 / 3, "0.33333334"), (3.14159265, "3.1415927"), (123456.789, "123456.79"),
    (16777217, "16777216"), (1e10, "10000000000"), (1e20, "100000000000000000000"),
    (3.4028234663852886e38, "340282350000000000000000000000000000000"),
    (1e-7, "0.0000001"), (1e-45, "0." + "0" * 44 + "1"), (0.00015, "0.00015"),
    (0.03125, "0.03125"), (0.09375, "0.09375"), (1.99999, "1.99999"), (-2.5, "-2.5"),
    (-0.00001, "-0.00001"), (0.0, "0"), (-0.0, "-0"), (math.nan, "NaN"),
    (math.inf, "inf"), (-math.inf, "-inf"), (4 * math.atan(1), "3.1415927"),
])
def test_shortest_form_examples(stored_from, text):
    assert repr(MitLimits(p_max=stored_from)) == limits_text(p=text)
    assert repr(MitLimits(t_max=stored_from)) == limits_text(t=text)


# --- shortest form against an exact oracle -----------------------------------

EXACT = decimal.Context(prec=400)
TEXT_SHAPE = re.compile(r"-?(0|[1-9][0-9]*)(\.[0-9]*[1-9])?")


def reads_back(candidate, x):
    """Whether the decimal `candidate` rounds (to nearest, ties to even) to the positive single x."""
    bits = single_bits(x)
    below = from_single_bits(bits - 1)
    above = from_single_bits(bits + 1) if x != FLT_MAX else 2.0**128
    lo = EXACT.divide(EXACT.add(decimal.Decimal(below), decimal.Decimal(x)), 2)
    hi = EXACT.divide(EXACT.add(decimal.Decimal(above), decimal.Decimal(x)), 2)
    if lo < candidate < hi:
        return True
    return candidate in (lo, hi) and bits % 2 == 0


def neighbours(v, digits):
    """The nearest decimals of `digits` significant digits below and above v."""
    step = decimal.Decimal(1).scaleb(v.adjusted() - digits + 1)
    return [v.quantize(step, decimal.ROUND_FLOOR, EXACT), v.quantize(step, decimal.ROUND_CEILING, EXACT)]


def significant_digits(text):
    return len(text.lstrip("-").replace(".", "").strip("0"))


def field_text(m):
    return re.fullmatch(r"MitLimits\(p_max=(.*), v_max=30, kp_max=500, kd_max=5, t_max=10\)", repr(m)).group(1)


SINGLE_EXAMPLES = [0x00000001, 0x007FFFFF, 0x00800000, 0x3F800000, 0x4B800001, 0x7F7FFFFF, 0x7FC00000,
                   0xFF800001, 0x80000000, 0x7F800000, 0xFF800000,
                   0x0F800000, 0x6B000000, 0x6C800000]  # powers of two whose shortest digits lie above


@given(st.integers(0, 2**32 - 1))
@settings(max_examples=examples(300))
def test_shortest_form_of_any_single(bits):
    check_shortest_form(bits)


@pytest.mark.parametrize("bits", SINGLE_EXAMPLES, ids=hex)
def test_shortest_form_of_chosen_singles(bits):
    check_shortest_form(bits)


def check_shortest_form(bits):
    x = from_single_bits(bits)
    text = field_text(MitLimits(p_max=x))
    if math.isnan(x):
        assert text == "NaN"
        return
    if math.isinf(x) or x == 0:
        assert text == ("-" if bits >> 31 else "") + ("inf" if math.isinf(x) else "0")
        return
    assert TEXT_SHAPE.fullmatch(text), text
    assert text.startswith("-") == (x < 0)
    assert f32(float(text)) == x
    magnitude = abs(x)
    exact = decimal.Decimal(magnitude)
    value = decimal.Decimal(text.lstrip("-"))
    assert reads_back(value, magnitude)
    n = significant_digits(text)
    # Independent upper bound: the first '%.Ng' rendering that reads back.
    oracle = next(k for k in range(1, 10) if f32(float("%.*g" % (k, magnitude))) == magnitude)
    assert n <= oracle
    # Nothing shorter reads back, and the digits are the nearest that do.
    if n > 1:
        assert not any(reads_back(c, magnitude) for c in neighbours(exact, n - 1))
    fitting = [c for c in neighbours(exact, n) if reads_back(c, magnitude)]
    best = min(abs(c - exact) for c in fitting)
    assert abs(value - exact) == best
