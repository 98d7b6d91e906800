"""tervalin_dm's frames: tervalin values to CAN frames and back, against bytes computed by hand."""

import re
import struct
import subprocess
import sys

import pytest
from hypothesis import given
from hypothesis import strategies as st
from tervalin import ControlSetpoint, Damiao, MitLimits, MitSetpoint, MotorState, mit_setpoint

import tervalin_dm
from tervalin_dm import Status, _codec
from tervalin_dm._status import describe


def single(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


def decoded(code, bits, low, high):
    """The protocol's decoding, in double precision, narrowed once."""
    return single(code * (high - low) / (2**bits - 1) + low)


@pytest.mark.parametrize(
    "data, limits, fields, text",
    [
        # Codes 0x8000, 0x800, 0x800: half a step above the middle of each range.
        (
            bytes([0x11, 0x80, 0x00, 0x80, 0x08, 0x00, 35, 40]),
            MitLimits(),
            (1, 1, 35, 40),
            "MotorState(motor_id=1, error=1, position=0.0002, velocity=0.0073, torque=0.0024, t_mos=35, t_rotor=40)",
        ),
        # Status 0xE (overload), motor id 5, every code at an end of its range.
        (
            bytes([0xE5, 0xFF, 0xFF, 0x00, 0x0F, 0xFF, 0, 255]),
            MitLimits.dm4340(),
            (5, 14, 0, 255),
            "MotorState(motor_id=5, error=14, position=12.5000, velocity=-10.0000, torque=28.0000, t_mos=0, "
            "t_rotor=255)",
        ),
        # Velocity 0xABC and torque 0x123 share byte 4.
        (
            bytearray([0xDF, 0x00, 0x00, 0xAB, 0xC1, 0x23, 7, 8]),
            MitLimits(),
            (15, 13, 7, 8),
            "MotorState(motor_id=15, error=13, position=-12.5000, velocity=10.2637, torque=-8.5788, t_mos=7, "
            "t_rotor=8)",
        ),
        (
            memoryview(bytes([0x00, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE])),
            MitLimits(3.0, 7.0, 1, 1, 2.0),
            (0, 0, 0xBC, 0xDE),
            "MotorState(motor_id=0, error=0, position=-2.5734, velocity=-2.2718, torque=0.1509, t_mos=188, "
            "t_rotor=222)",
        ),
    ],
)
def test_decode_feedback(data, limits, fields, text):
    state = tervalin_dm.decode_feedback(data, limits)
    assert type(state) is MotorState
    assert repr(state) == text
    assert (state.motor_id, state.error, state.t_mos, state.t_rotor) == fields
    raw = bytes(data)
    q, dq, tau = (raw[1] << 8) | raw[2], (raw[3] << 4) | (raw[4] >> 4), ((raw[4] & 0xF) << 8) | raw[5]
    assert state.position == decoded(q, 16, -limits.p_max, limits.p_max)
    assert state.velocity == decoded(dq, 12, -limits.v_max, limits.v_max)
    assert state.torque == decoded(tau, 12, -limits.t_max, limits.t_max)


@given(
    st.binary(min_size=8, max_size=8),
    st.floats(2**-10, 1e6, width=32),
    st.floats(2**-10, 1e6, width=32),
    st.floats(2**-10, 1e6, width=32),
)
def test_decode_feedback_any_frame(data, p_max, v_max, t_max):
    state = tervalin_dm.decode_feedback(data, MitLimits(p_max, v_max, 500.0, 5.0, t_max))
    assert (state.motor_id, state.error, state.t_mos, state.t_rotor) == (data[0] & 0xF, data[0] >> 4, data[6], data[7])
    assert state.position == decoded(int.from_bytes(data[1:3], "big"), 16, -p_max, p_max)
    assert state.velocity == decoded(int.from_bytes(data[3:5], "big") >> 4, 12, -v_max, v_max)
    assert state.torque == decoded(int.from_bytes(data[4:6], "big") & 0xFFF, 12, -t_max, t_max)


motor = Damiao(1, 0x11)


def encode_feedback_with(**changes):
    fields = dict(motor_id=1, error=1, position=0.0, velocity=0.0, torque=0.0, t_mos=20, t_rotor=20, limits=MitLimits())
    return tervalin_dm.encode_feedback(**{**fields, **changes})


@pytest.mark.parametrize(
    "setpoint, handle, frame",
    [
        # q 0x8A3C, dq 0x821, kp 0x0A3, kd 0x333, tau 0x799 over the default limits.
        (ControlSetpoint.mit(MitSetpoint(1.0, 0.5, 20.0, 1.0, -0.5)), motor, (0x001, "8a3c8210a3333799")),
        # The handle's limits scale MIT: q at p_max is the top code 0xFFFF.
        (ControlSetpoint.mit(mit_setpoint(q=12.5)), Damiao(2, 0x12), (0x002, "ffff7ff0000007ff")),
        (
            ControlSetpoint.mit(mit_setpoint(q=6.25)),
            Damiao(2, 0x12, MitLimits(p_max=6.25)),
            (0x002, "ffff7ff0000007ff"),
        ),
        # Clamped to the ends.
        (ControlSetpoint.mit(MitSetpoint(-1e9, 3e38, -1.0, -3e38, 11.0)), motor, (0x001, "0000fff000000fff")),
        (ControlSetpoint.pos_vel(1.0, -2.0), Damiao(0x10, 0), (0x110, "0000803f000000c0")),
        (ControlSetpoint.vel(2.0), motor, (0x201, "0000004000000000")),
        (ControlSetpoint.force_pos(0.5, 10.0, 0.3), motor, (0x301, "0000003fe803b80b")),
        (ControlSetpoint.force_pos(0.0, 0.07, 0.29), motor, (0x301, "000000000700540b")),
        (ControlSetpoint.force_pos(-1.0, 200.0, -0.5), Damiao(0x4FF, 0), (0x7FF, "000080bf10270000")),
    ],
)
def test_encode(setpoint, handle, frame):
    can_id, data = tervalin_dm.encode(setpoint, handle)
    assert type(can_id) is int and type(data) is bytes
    assert (can_id, data.hex()) == frame


# The system commands and the register write, by hand: seven 0xFF bytes and
# the command byte on the motor id; motor id (LE), 0x55, register, value (LE)
# on 0x7FF.
@pytest.mark.parametrize(
    "make, frame",
    [
        (lambda: tervalin_dm.enable(motor), (0x001, "fffffffffffffffc")),
        (lambda: tervalin_dm.disable(Damiao(0x7F, 0)), (0x07F, "fffffffffffffffd")),
        (lambda: tervalin_dm.set_zero(Damiao(0x7FF, 0)), (0x7FF, "fffffffffffffffe")),
        (lambda: tervalin_dm.clear_error(Damiao(5, 0x15)), (0x005, "fffffffffffffffb")),
        (lambda: tervalin_dm.write_control_mode(motor, 1), (0x7FF, "0100550a01000000")),
        (lambda: tervalin_dm.write_control_mode(Damiao(0x123, 0), 4), (0x7FF, "2301550a04000000")),
        # The mode of a setpoint is the number to write.
        (lambda: tervalin_dm.write_control_mode(motor, ControlSetpoint.vel(1.0).mode), (0x7FF, "0100550a03000000")),
        # The register write goes to 0x7FF whatever the motor id: its id is in the data.
        (lambda: tervalin_dm.write_control_mode(Damiao(0xFFFF, 0), 2), (0x7FF, "ffff550a02000000")),
    ],
)
def test_system_frames(make, frame):
    can_id, data = make()
    assert type(can_id) is int and type(data) is bytes
    assert (can_id, data.hex()) == frame


# Feedback as a motor sends it, by hand over dm4310's limits (12.5, 30, 10):
# q = (1 + 12.5) * 65535 / 25 = 35388.9 -> 0x8A3C, dq = 30 * 4095 / 60 = 2047.5
# -> 0x7FF, tau = 10.05 * 4095 / 20 = 2057.7 -> 0x809.
@pytest.mark.parametrize(
    "fields, limits, data",
    [
        (
            dict(motor_id=1, error=1, position=1.0, velocity=0.0, torque=0.05, t_mos=42, t_rotor=45),
            MitLimits.dm4310(),
            "118a3c7ff8092a2d",
        ),
        # Clamped to the ends; NaN encodes as 0.0 would; status in the high nibble.
        (
            dict(
                motor_id=15,
                error=Status.OVERLOAD,
                position=float("inf"),
                velocity=-100,
                torque=float("nan"),
                t_mos=0,
                t_rotor=255,
            ),
            MitLimits(),
            "efffff0007ff00ff",
        ),
        (
            dict(motor_id=0, error=0, position=-12.5, velocity=30, torque=-10.0, t_mos=1, t_rotor=2),
            MitLimits(),
            "000000fff0000102",
        ),
        # The same values over other limits give other codes: -12.5 over p_max 25 is a quarter.
        (
            dict(motor_id=2, error=5, position=-12.5, velocity=0, torque=0, t_mos=3, t_rotor=4),
            MitLimits(25, 30),
            "523fff7ff7ff0304",
        ),
    ],
)
def test_encode_feedback(fields, limits, data):
    encoded = tervalin_dm.encode_feedback(**fields, limits=limits)
    assert type(encoded) is bytes and encoded.hex() == data
    assert tervalin_dm.feedback_motor_id(encoded) == fields["motor_id"]
    # What a motor sends decodes to the fields it was made of (floats within a step, below).
    state = tervalin_dm.decode_feedback(encoded, limits)
    assert (state.motor_id, state.error, state.t_mos, state.t_rotor) == (
        fields["motor_id"],
        fields["error"],
        fields["t_mos"],
        fields["t_rotor"],
    )


@given(
    st.integers(0, 15),
    st.integers(0, 15),
    st.floats(-12.5, 12.5, width=32),
    st.floats(-30, 30, width=32),
    st.floats(-10, 10, width=32),
    st.integers(0, 255),
    st.integers(0, 255),
)
def test_feedback_round_trip(motor_id, error, position, velocity, torque, t_mos, t_rotor):
    limits = MitLimits()
    data = tervalin_dm.encode_feedback(
        motor_id=motor_id,
        error=error,
        position=position,
        velocity=velocity,
        torque=torque,
        t_mos=t_mos,
        t_rotor=t_rotor,
        limits=limits,
    )
    state = tervalin_dm.decode_feedback(data, limits)
    assert (state.motor_id, state.error, state.t_mos, state.t_rotor) == (motor_id, error, t_mos, t_rotor)
    # Truncation to a code: never above the value, at most one step below.
    for value, back, span, bits in (
        (position, state.position, 25, 16),
        (velocity, state.velocity, 60, 12),
        (torque, state.torque, 20, 12),
    ):
        step = span / (2**bits - 1)
        assert value - step * (1 + 1e-6) <= back <= value + 1e-5, (value, back)


@pytest.mark.parametrize(
    "data, motor_id", [(bytes.fromhex("e5ffff000fff00ff"), 5), (bytearray(b"\x1f" * 8), 15), (memoryview(bytes(8)), 0)]
)
def test_feedback_motor_id(data, motor_id):
    assert tervalin_dm.feedback_motor_id(data) == motor_id
    assert tervalin_dm.decode_feedback(data, MitLimits()).motor_id == motor_id


def test_status_codes_are_the_codecs():
    assert [(s.name, s.value) for s in Status] == list(_codec.status_codes)
    assert [s for s in Status if not tervalin_dm.is_error(s)] == [Status.DISABLED, Status.ENABLED]


# Every code a motor can send is a Status; the protocol names 0, 1, 5, 6, 8 to 14.
@pytest.mark.parametrize(
    "code, name, error, text",
    [
        (0, "DISABLED", False, "DISABLED (0x0)"),
        (1, "ENABLED", False, "ENABLED (0x1)"),
        (2, "UNKNOWN_2", True, "unknown status 0x2"),
        (5, "SENSOR_ERROR", True, "SENSOR_ERROR (0x5)"),
        (7, "UNKNOWN_7", True, "unknown status 0x7"),
        (0xE, "OVERLOAD", True, "OVERLOAD (0xe)"),
        (0xF, "UNKNOWN_15", True, "unknown status 0xf"),
    ],
)
def test_every_status_code(code, name, error, text):
    status = Status(code)
    assert status.name == name and status == code and isinstance(status, Status)
    assert Status(code) is status
    assert tervalin_dm.is_error(code) is error and tervalin_dm.is_error(status) is error
    assert describe(code) == text and describe(status) == text
    state = tervalin_dm.decode_feedback(encode_feedback_with(error=code), MitLimits())
    assert Status(state.error) is status


@pytest.mark.parametrize(
    "code, error, message",
    [
        (None, TypeError, "a status code is an int, not NoneType"),
        ("1", TypeError, "a status code is an int, not str"),
        (1.0, TypeError, "a status code is an int, not float"),
        (True, TypeError, "a status code is an int, not bool"),
        (16, ValueError, "a status code is in 0..15, not 16"),
        (-1, ValueError, "a status code is in 0..15, not -1"),
    ],
)
def test_bad_status_codes(code, error, message):
    for check in (tervalin_dm.is_error, describe):
        with pytest.raises(error) as raised:
            check(code)
        assert str(raised.value) == message


@pytest.mark.parametrize("code", [None, "1", 16, -1, 2**64])
def test_no_status_of_other_values(code):
    with pytest.raises(ValueError):
        Status(code)


def test_mit_uses_the_handles_limits():
    setpoint = ControlSetpoint.mit(MitSetpoint(1.0, 0.5, 20.0, 1.0, -0.5))
    assert tervalin_dm.encode(setpoint, Damiao(1, 0)) != tervalin_dm.encode(setpoint, Damiao(1, 0, MitLimits.dm8009()))
    assert tervalin_dm.encode(setpoint, Damiao(1, 0)) == tervalin_dm.encode(setpoint, Damiao(1, 9, MitLimits()))


@pytest.mark.parametrize(
    "call, error, message",
    [
        (
            lambda: tervalin_dm.decode_feedback(bytes(7), MitLimits()),
            ValueError,
            "argument 'data': a frame has 8 data bytes, not 7",
        ),
        (
            lambda: tervalin_dm.decode_feedback(bytearray(9), MitLimits()),
            ValueError,
            "argument 'data': a frame has 8 data bytes, not 9",
        ),
        (
            lambda: tervalin_dm.decode_feedback(b"", MitLimits()),
            ValueError,
            "argument 'data': a frame has 8 data bytes, not 0",
        ),
        (
            lambda: tervalin_dm.decode_feedback(None, MitLimits()),
            TypeError,
            "argument 'data': a bytes-like object is required, not 'NoneType'",
        ),
        (
            lambda: tervalin_dm.decode_feedback("abcdefgh", MitLimits()),
            TypeError,
            "argument 'data': a bytes-like object is required, not 'str'",
        ),
        (
            lambda: tervalin_dm.decode_feedback(list(range(8)), MitLimits()),
            TypeError,
            "argument 'data': a bytes-like object is required, not 'list'",
        ),
        (
            lambda: tervalin_dm.decode_feedback(bytes(8), None),
            TypeError,
            "argument 'limits': 'NoneType' object cannot be converted to 'MitLimits'",
        ),
        (
            lambda: tervalin_dm.decode_feedback(bytes(8), MitSetpoint()),
            TypeError,
            "argument 'limits': 'MitSetpoint' object cannot be converted to 'MitLimits'",
        ),
        # Arguments are checked in order: the bad frame is reported, not the limits.
        (lambda: tervalin_dm.decode_feedback(bytes(3), None), ValueError, "argument 'data'"),
        (
            lambda: tervalin_dm.decode_feedback(bytes(8)),
            TypeError,
            "decode_feedback() takes exactly 2 arguments (1 given)",
        ),
        (
            lambda: tervalin_dm.encode(None, motor),
            TypeError,
            "argument 'setpoint': 'NoneType' object cannot be converted to 'ControlSetpoint'",
        ),
        (
            lambda: tervalin_dm.encode(MitSetpoint(), motor),
            TypeError,
            "argument 'setpoint': 'MitSetpoint' object cannot be converted to 'ControlSetpoint'",
        ),
        (
            lambda: tervalin_dm.encode(ControlSetpoint.vel(1.0), None),
            TypeError,
            "argument 'motor': 'NoneType' object cannot be converted to 'Damiao'",
        ),
        (
            lambda: tervalin_dm.encode(ControlSetpoint.vel(1.0), 1),
            TypeError,
            "argument 'motor': 'int' object cannot be converted to 'Damiao'",
        ),
        (
            lambda: tervalin_dm.encode(ControlSetpoint.vel(1.0), motor, 3),
            TypeError,
            "encode() takes exactly 2 arguments (3 given)",
        ),
        # A motor is never sent NaN or an infinity, in any field of any mode.
        (
            lambda: tervalin_dm.encode(ControlSetpoint.mit(MitSetpoint(float("nan"))), motor),
            ValueError,
            "argument 'setpoint': q is nan; a motor is never sent a value that is not finite",
        ),
        (
            lambda: tervalin_dm.encode(ControlSetpoint.mit(MitSetpoint(0, 0, 0, float("nan"), 0)), motor),
            ValueError,
            "argument 'setpoint': kd is nan;",
        ),
        (
            lambda: tervalin_dm.encode(ControlSetpoint.mit(mit_setpoint(dq=float("inf"))), motor),
            ValueError,
            "argument 'setpoint': dq is inf;",
        ),
        (
            lambda: tervalin_dm.encode(ControlSetpoint.mit(mit_setpoint(tau=-float("inf"))), motor),
            ValueError,
            "argument 'setpoint': tau is -inf;",
        ),
        (
            lambda: tervalin_dm.encode(ControlSetpoint.mit(mit_setpoint(kp=float("inf"))), motor),
            ValueError,
            "argument 'setpoint': kp is inf;",
        ),
        (
            lambda: tervalin_dm.encode(ControlSetpoint.vel(float("nan")), motor),
            ValueError,
            "argument 'setpoint': velocity is nan;",
        ),
        (
            lambda: tervalin_dm.encode(ControlSetpoint.pos_vel(float("inf"), 1.0), motor),
            ValueError,
            "argument 'setpoint': position is inf;",
        ),
        (
            lambda: tervalin_dm.encode(ControlSetpoint.pos_vel(1.0, float("-inf")), motor),
            ValueError,
            "argument 'setpoint': velocity is -inf;",
        ),
        (
            lambda: tervalin_dm.encode(ControlSetpoint.force_pos(float("nan"), 1.0, 0.5), motor),
            ValueError,
            "argument 'setpoint': position is nan;",
        ),
        (
            lambda: tervalin_dm.encode(ControlSetpoint.force_pos(0.0, float("inf"), 0.5), motor),
            ValueError,
            "argument 'setpoint': velocity_limit is inf;",
        ),
        (
            lambda: tervalin_dm.encode(ControlSetpoint.force_pos(0.0, 1.0, float("nan")), motor),
            ValueError,
            "argument 'setpoint': torque_ratio is nan;",
        ),
        # Values beyond the single range narrow to an infinity.
        (
            lambda: tervalin_dm.encode(ControlSetpoint.vel(1e39), motor),
            ValueError,
            "argument 'setpoint': velocity is inf;",
        ),
        # Standard CAN ids have 11 bits: 0x300 + 0x500 has 12.
        (
            lambda: tervalin_dm.encode(ControlSetpoint.force_pos(0, 0, 0), Damiao(0x500, 0)),
            ValueError,
            "motor_id 0x500 gives CAN id 0x800, beyond the 11-bit standard identifiers",
        ),
        (
            lambda: tervalin_dm.encode(ControlSetpoint.mit(MitSetpoint()), Damiao(0xFFFF, 0)),
            ValueError,
            "motor_id 0xffff gives CAN id 0xffff, beyond the 11-bit standard identifiers",
        ),
        (
            lambda: tervalin_dm.enable(Damiao(0x800, 0)),
            ValueError,
            "motor_id 0x800 gives CAN id 0x800, beyond the 11-bit standard identifiers",
        ),
        (
            lambda: tervalin_dm.disable(None),
            TypeError,
            "argument 'motor': 'NoneType' object cannot be converted to 'Damiao'",
        ),
        (
            lambda: tervalin_dm.set_zero(MitLimits()),
            TypeError,
            "argument 'motor': 'MitLimits' object cannot be converted to 'Damiao'",
        ),
        (
            lambda: tervalin_dm.write_control_mode(motor, 0),
            ValueError,
            "argument 'mode': control modes are 1 (MIT), 2 (POS_VEL), 3 (VEL) and 4 (FORCE_POS), not 0",
        ),
        (
            lambda: tervalin_dm.write_control_mode(motor, 2**70),
            ValueError,
            "argument 'mode': control modes are 1 (MIT), 2 (POS_VEL), 3 (VEL) and 4 (FORCE_POS), "
            "not 1180591620717411303424",
        ),
        (
            lambda: tervalin_dm.write_control_mode(motor, 2.0),
            TypeError,
            "argument 'mode': 'float' object cannot be interpreted as an integer",
        ),
        (
            lambda: tervalin_dm.write_control_mode(motor),
            TypeError,
            "write_control_mode() takes exactly 2 arguments (1 given)",
        ),
        (
            lambda: tervalin_dm.feedback_motor_id(bytes(9)),
            ValueError,
            "argument 'data': a frame has 8 data bytes, not 9",
        ),
        (lambda: encode_feedback_with(motor_id=16), ValueError, "argument 'motor_id': 16 is not in 0..15"),
        (lambda: encode_feedback_with(error=-1), ValueError, "argument 'error': -1 is not in 0..15"),
        (lambda: encode_feedback_with(t_mos=256), ValueError, "argument 't_mos': 256 is not in 0..255"),
        (
            lambda: encode_feedback_with(t_rotor=2**64),
            ValueError,
            "argument 't_rotor': 18446744073709551616 is not in 0..255",
        ),
        (
            lambda: encode_feedback_with(motor_id=1.0),
            TypeError,
            "argument 'motor_id': 'float' object cannot be interpreted as an integer",
        ),
        (lambda: encode_feedback_with(position="1"), TypeError, "argument 'position': must be real number, not str"),
        (lambda: encode_feedback_with(torque=None), TypeError, "argument 'torque': must be real number, not NoneType"),
        (
            lambda: encode_feedback_with(limits=Damiao(1, 2)),
            TypeError,
            "argument 'limits': 'Damiao' object cannot be converted to 'MitLimits'",
        ),
        # Arguments are converted in MotorState's field order, not in the order written.
        (lambda: encode_feedback_with(t_rotor=-1, motor_id=99), ValueError, "argument 'motor_id'"),
        (
            lambda: tervalin_dm.encode_feedback(1),
            TypeError,
            "encode_feedback() takes 0 positional arguments but 1 was given",
        ),
        (
            lambda: tervalin_dm.encode_feedback(motor_id=1),
            TypeError,
            "encode_feedback() missing required keyword-only argument: 'error'",
        ),
        (
            lambda: encode_feedback_with(speed=1),
            TypeError,
            "encode_feedback() got an unexpected keyword argument 'speed'",
        ),
    ],
)
def test_bad_input(call, error, message):
    with pytest.raises(error) as raised:
        call()
    assert str(raised.value).startswith(message)
    assert raised.type is error


def test_no_reference_is_kept():
    limits, setpoint, handle, data, position = MitLimits(), ControlSetpoint.vel(1.0), Damiao(1, 2), bytes(8), 0.25
    objects = (limits, setpoint, handle, data, position)
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(100):
        tervalin_dm.decode_feedback(data, limits)
        tervalin_dm.encode(setpoint, handle)
        tervalin_dm.enable(handle)
        tervalin_dm.write_control_mode(handle, 3)
        tervalin_dm.feedback_motor_id(data)
        tervalin_dm.encode_feedback(
            motor_id=1,
            error=1,
            position=position,
            velocity=position,
            torque=position,
            t_mos=1,
            t_rotor=1,
            limits=limits,
        )
        _codec.decode_command(0x201, data, handle)
        _codec.limits_of(handle)
        _codec.read_register(handle, 21)
        _codec.write_register(handle, 21, position)
        _codec.save_parameters(handle)
        _codec.decode_register(data)
        _codec.register_data(1, 0x55, 21, position)
        with pytest.raises(ValueError):
            _codec.write_register(handle, 21, float("nan"))
        with pytest.raises(TypeError):
            _codec.decode_command(0x201, setpoint, handle)
        with pytest.raises(ValueError):
            tervalin_dm.encode_feedback(
                motor_id=99,
                error=1,
                position=position,
                velocity=position,
                torque=position,
                t_mos=1,
                t_rotor=1,
                limits=limits,
            )
    assert [sys.getrefcount(o) for o in objects] == before
    # Frames on the same id share one int object: the result allocates at most its tuple and bytes.
    assert tervalin_dm.enable(Damiao(0x7F0, 0))[0] is tervalin_dm.set_zero(Damiao(0x7F0, 1))[0]


def test_kept_frames_stay_as_they_were():
    # The codec fills its last result anew once nothing else holds it. Catches a
    # frame or bytes object a caller still holds being overwritten, and a
    # refilled frame keeping the hash cached of its old contents (dict and set
    # lookups would miss it).
    def vel(v):
        return ControlSetpoint.vel(float(v))

    def data(v):
        return struct.pack("<f", v) + bytes(4)

    kept = tervalin_dm.encode(vel(1), motor)
    kept_data = tervalin_dm.encode(vel(2), motor)[1]
    hashed = tervalin_dm.encode(vel(3), motor)
    hash(hashed), hash(hashed[1])
    del hashed
    fresh = tervalin_dm.encode(vel(4), motor)
    assert kept == (0x201, data(1)) and kept_data == data(2) and fresh == (0x201, data(4))
    assert hash(fresh[1]) == hash(bytes.fromhex(fresh[1].hex())) and hash(fresh) == hash((0x201, data(4)))
    # Frames kept together are each their own.
    frames = [tervalin_dm.encode(vel(v), motor) for v in range(5)] + [tervalin_dm.enable(motor)]
    assert frames == [(0x201, data(v)) for v in range(5)] + [(0x001, bytes.fromhex("fffffffffffffffc"))]


def test_import_refuses_a_fake_tervalin():
    code = (
        "import sys, types; sys.modules['tervalin'] = types.ModuleType('tervalin')\n"
        "try:\n    import tervalin_dm\nexcept ImportError as e:\n    print(e)\n"
    )
    child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert child.returncode == 0, child.stderr
    assert re.fullmatch(
        r"the imported 'tervalin' is not the tervalin extension module \(it publishes no layout "
        r"version\); this extension was built for tervalin layout version \d+",
        child.stdout.rstrip(),
    )


@pytest.mark.parametrize("when", ["before import", "after import"])
def test_replaced_class_attributes_are_never_used(when):
    """Look-alike classes in the module's attributes got float bits written into their object references."""
    fakes = (
        "class Fake: __slots__ = ('a', 'b', 'c', 'd')\n"
        "for name in ('MitLimits', 'MitSetpoint', 'ControlSetpoint', 'MotorState', 'Damiao'):\n"
        "    setattr(tervalin, name, type(name, (Fake,), {'__slots__': ()}))\n"
    )
    use = (
        "state = tervalin_dm.decode_feedback(bytes(8), real_limits)\n"
        "assert type(state) is real_state, type(state)\n"
        "print(tervalin_dm.encode(real_setpoint, real_motor)[0])\n"
        "del state\n"
    )
    prelude = (
        "import tervalin\nreal_state = tervalin.MotorState\nreal_limits = tervalin.MitLimits()\n"
        "real_motor = tervalin.Damiao(3, 0x13)\nreal_setpoint = tervalin.ControlSetpoint.vel(1.0)\n"
    )
    body = fakes + "import tervalin_dm\n" if when == "before import" else "import tervalin_dm\n" + fakes
    child = subprocess.run([sys.executable, "-c", prelude + body + use], capture_output=True, text=True, timeout=60)
    assert child.returncode == 0, child.stderr
    assert child.stdout.split() == [str(0x203)]


def test_the_readme_frame():
    state = tervalin_dm.decode_feedback(bytes.fromhex("118a3d7ff80a2a2d"), MitLimits.dm4310())
    assert repr(state) == (
        "MotorState(motor_id=1, error=1, position=1.0000, velocity=-0.0073, torque=0.0513, t_mos=42, t_rotor=45)"
    )
