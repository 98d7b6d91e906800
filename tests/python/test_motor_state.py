"""MotorState values made by a native producer and read back from Python."""

import math
import struct
import types

import pytest
from hypothesis import given, strategies as st

import tervalin
from tervalin import MotorState

native = pytest.importorskip(
    "_tervalin_native", reason="native producers exist only in the embedding test program"
)


def single(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


def single_bits(x):
    return struct.unpack("<I", struct.pack("<f", x))[0]


def four_decimals(value):
    """Independent oracle: Python's exact, ties-to-even fixed formatting of the
    widened single, with the sign kept for negatives that round to zero."""
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    text = "%.4f" % abs(value)
    return ("-" if math.copysign(1.0, value) < 0 else "") + text


@pytest.mark.parametrize(
    "fields, text",
    [
        ((1, 0, 0.5, -1.25, 0.1, 35, 40),
         "MotorState(motor_id=1, error=0, position=0.5000, velocity=-1.2500, torque=0.1000, t_mos=35, t_rotor=40)"),
        ((255, 14, 3.14159274, 0.0, 12.34567, 0, 255),
         "MotorState(motor_id=255, error=14, position=3.1416, velocity=0.0000, torque=12.3457, t_mos=0, t_rotor=255)"),
        ((0, 0, -0.00004, 12.34565, -0.0, 0, 0),
         "MotorState(motor_id=0, error=0, position=-0.0000, velocity=12.3456, torque=-0.0000, t_mos=0, t_rotor=0)"),
        ((7, 1, 0.03125, 0.09375, 1.99999, 1, 2),
         "MotorState(motor_id=7, error=1, position=0.0312, velocity=0.0938, torque=2.0000, t_mos=1, t_rotor=2)"),
        ((9, 9, float("nan"), float("inf"), float("-inf"), 9, 9),
         "MotorState(motor_id=9, error=9, position=NaN, velocity=inf, torque=-inf, t_mos=9, t_rotor=9)"),
        ((1, 2, 1e20, 123456.789, -2.5, 3, 4),
         "MotorState(motor_id=1, error=2, position=100000002004087734272.0000, velocity=123456.7891, "
         "torque=-2.5000, t_mos=3, t_rotor=4)"),
    ],
)
def test_repr_table(fields, text):
    state = native.motor_state(*fields)
    assert repr(state) == text
    assert str(state) == text


def test_getters_widen_exactly_and_integers_stay_unsigned():
    state = native.motor_state(255, 255, 0.1, -1.25, 3.14159274, 255, 255)
    assert type(state) is tervalin.MotorState
    assert state.position == 0.10000000149011612
    assert state.velocity == -1.25
    assert state.torque == single(3.14159274)
    assert (state.motor_id, state.error, state.t_mos, state.t_rotor) == (255, 255, 255, 255)
    assert all(type(getattr(state, name)) is int for name in ("motor_id", "error", "t_mos", "t_rotor"))


float_bits = st.one_of(
    st.integers(0, 2**32 - 1),
    st.sampled_from([0x00000001, 0x80000001, 0x7F7FFFFF, 0xFF7FFFFF, 0x00800000, 0x7FC00001,
                     0xFFC12345, 0x7F800001, 0x38D1B717, 0xB8D1B717, 0x3D000000, 0x3DC00000]),
)


@given(float_bits, float_bits, float_bits, st.integers(0, 255), st.integers(0, 255))
def test_any_record_reads_back_and_prints_four_decimals(p, v, t, a, b):
    state = native.motor_state_bits(a, b, p, v, t, b, a)
    for name, bits in (("position", p), ("velocity", v), ("torque", t)):
        value = getattr(state, name)
        expected = struct.unpack("<f", struct.pack("<I", bits))[0]
        if math.isnan(expected):
            assert math.isnan(value)
        else:
            assert single_bits(value) == bits
            assert value == expected
    assert repr(state) == (
        f"MotorState(motor_id={a}, error={b}, position={four_decimals(state.position)}, "
        f"velocity={four_decimals(state.velocity)}, torque={four_decimals(state.torque)}, "
        f"t_mos={b}, t_rotor={a})"
    )


@pytest.mark.parametrize(
    "call",
    [lambda: MotorState(), lambda: MotorState(1, 2, 3), lambda: MotorState(motor_id=1),
     lambda: MotorState.__new__(MotorState)],
)
def test_no_constructor(call):
    with pytest.raises(TypeError, match=r"^No constructor defined for MotorState$"):
        call()


@pytest.mark.parametrize("name", ["motor_id", "error", "position", "velocity", "torque", "t_mos", "t_rotor"])
def test_fields_are_read_only(name):
    state = native.motor_state(1, 2, 3.0, 4.0, 5.0, 6, 7)
    before = getattr(state, name)
    with pytest.raises(AttributeError):
        setattr(state, name, 0)
    with pytest.raises(AttributeError):
        delattr(state, name)
    assert getattr(state, name) == before


def test_records_are_independent_objects():
    first = native.motor_state(1, 2, 3.0, 4.0, 5.0, 6, 7)
    second = native.motor_state(1, 2, 3.0, 4.0, 5.0, 6, 7)
    assert first is not second
    assert first != second
    assert MotorState.__doc__ is None
    assert MotorState.__text_signature__ is None


def test_layout_check_accepts_the_loaded_module():
    assert native.check_layout(tervalin) is True


@pytest.mark.parametrize(
    "change, message",
    [
        ((2**31,), r"^tervalin has layout version \d+, this extension was built for layout version 2147483648: "
                   r"rebuild it against the installed tervalin$"),
        ((0, 3, None, 8), r"^tervalin\.MotorState is type 'tervalin\.MotorState' of \d+ bytes, this extension was "
                          r"built for type 'tervalin\.MotorState' of 8 bytes: rebuild it against the installed "
                          r"tervalin$"),
        ((0, 4, "tervalin.Motor"), r"^tervalin\.Damiao is type 'tervalin\.Damiao' of (\d+) bytes, this extension "
                                   r"was built for type 'tervalin\.Motor' of \1 bytes: rebuild it"),
    ],
)
def test_layout_check_refuses_another_layout(change, message):
    with pytest.raises(ImportError, match=message):
        native.check_layout(tervalin, *change)


@pytest.mark.parametrize("module", [types.ModuleType("tervalin"), struct, 5])
def test_layout_check_refuses_other_modules(module):
    with pytest.raises(ImportError, match=r"^the imported 'tervalin' is not the tervalin extension module \(it "
                                          r"publishes no layout version\); this extension was built for tervalin "
                                          r"layout version \d+$"):
        native.check_layout(module)


def test_layout_check_ignores_replaced_class_attributes(monkeypatch):
    """The check took the classes from the module's attributes, which Python code can replace."""
    for name in ("MitLimits", "MitSetpoint", "ControlSetpoint", "MotorState", "Damiao"):
        monkeypatch.setattr(tervalin, name, 5)
    monkeypatch.delattr(tervalin, "MitSetpoint")
    assert native.check_layout(tervalin) is True
    assert type(native.motor_state(1, 2, 3.0, 4.0, 5.0, 6, 7)) is MotorState
