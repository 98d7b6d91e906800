"""The register map and the register frames, against bytes computed by hand."""

import doctest
import math
import pathlib
import struct

import pytest
from tervalin import ControlSetpoint, Damiao, MitSetpoint

import tervalin_dm
from tervalin_dm import ControlMode, Register, RegisterCommand, RegisterReply, decode_register_reply


def single(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


# Requests on 0x7FF: motor id (LE), command, register, value (LE): a float
# register's value as single bits, an int register's as u32.
# 12.5 = 0x41480000, 30.0 = 0x41F00000, 10.0 = 0x41200000, -1.5 = 0xBFC00000,
# 0.1 narrows to 0x3DCCCCCD.
@pytest.mark.parametrize(
    "make, data",
    [
        (lambda: tervalin_dm.read_register(1, Register.PMAX), "0100331500000000"),
        (lambda: tervalin_dm.read_register(0x123, 7), "2301330700000000"),
        (lambda: tervalin_dm.read_register(Damiao(5, 0x15), "esc_id"), "0500330800000000"),
        (lambda: tervalin_dm.read_register(0x7FF, "0x51"), "ff07335100000000"),
        (lambda: tervalin_dm.write_register(1, Register.PMAX, 12.5), "0100551500004841"),
        (lambda: tervalin_dm.write_register(2, "VMAX", 30.0), "020055160000f041"),
        # An int written to a float register goes as the float.
        (lambda: tervalin_dm.write_register(3, 23, 10), "0300551700002041"),
        (lambda: tervalin_dm.write_register(1, "UV_Value", -1.5), "010055000000c0bf"),
        (lambda: tervalin_dm.write_register(1, Register.KP_ASR, 0.1), "01005519cdcccc3d"),
        (lambda: tervalin_dm.write_register(1, Register.MST_ID, 0x11), "0100550711000000"),
        (lambda: tervalin_dm.write_register(0x7FF, "esc_id", 0x7FF), "ff075508ff070000"),
        (lambda: tervalin_dm.write_register(Damiao(1, 0x11), Register.TIMEOUT, 0xDEADBEEF), "01005509efbeadde"),
        (lambda: tervalin_dm.write_register(1, "ctrl_mode", ControlMode.POS_VEL), "0100550a02000000"),
        (lambda: tervalin_dm.write_control_mode(0x21, ControlMode.FORCE_POS), "2100550a04000000"),
        (lambda: tervalin_dm.save_parameters(1), "0100aa0100000000"),
        (lambda: tervalin_dm.save_parameters(Damiao(0x7FF, 0x10)), "ff07aa0100000000"),
    ],
)
def test_register_requests(make, data):
    can_id, frame = make()
    assert type(can_id) is int and type(frame) is bytes
    assert (can_id, frame.hex()) == (0x7FF, data)


@pytest.mark.parametrize(
    "data, reply",
    [
        (bytes.fromhex("0100551500004841"), (1, RegisterCommand.WRITE, Register.PMAX, 12.5)),
        (bytearray.fromhex("0100330711000000"), (1, RegisterCommand.READ, Register.MST_ID, 0x11)),
        (memoryview(bytes.fromhex("ff07330fffffffff")), (0x7FF, RegisterCommand.READ, Register.SN, 0xFFFFFFFF)),
        (bytes.fromhex("02003317000080ff"), (2, RegisterCommand.READ, Register.TMAX, -math.inf)),
        (bytes.fromhex("0100551900000000"), (1, RegisterCommand.WRITE, Register.KP_ASR, 0.0)),
        # The map has no register 0x40: its number and the raw value.
        (bytes.fromhex("0100334078563412"), (1, RegisterCommand.READ, 0x40, 0x12345678)),
        # A save's byte 3 is a marker, not register 1 (KT_Value).
        (bytes.fromhex("0300aa0100000000"), (3, RegisterCommand.SAVE, 1, 0)),
    ],
)
def test_decode_register_reply(data, reply):
    decoded = decode_register_reply(data)
    assert type(decoded) is RegisterReply
    assert tuple(decoded) == reply
    assert type(decoded.register) is type(reply[2]) and type(decoded.value) is type(reply[3])
    assert type(decoded.command) is RegisterCommand


@pytest.mark.parametrize(
    "data",
    [
        bytes.fromhex("01001115000048"),  # 7 bytes
        bytes.fromhex("010055150000484100"),  # 9 bytes
        b"",
        bytes.fromhex("0100cc1500004841"),  # byte 2 is no register command
        bytes.fromhex("118a3c7ff8092a2d"),  # a feedback frame
    ],
)
def test_decode_register_reply_refuses_other_frames(data):
    assert decode_register_reply(data) is None


# --- The map ---

# The vendor's map: float and writable 0-6, 21-34; int and writable 7-10, 35;
# read-only floats 11, 12, 17-20, 50-55, 80, 81; read-only ints 13-16, 36.
MAP = {
    **{n: (float, True) for n in [*range(0, 7), *range(21, 35)]},
    **{n: (int, True) for n in [7, 8, 9, 10, 35]},
    **{n: (float, False) for n in [11, 12, *range(17, 21), *range(50, 56), 80, 81]},
    **{n: (int, False) for n in [13, 14, 15, 16, 36]},
}
VENDOR_NAMES = (
    "UV_Value KT_Value OT_Value OC_Value ACC DEC MAX_SPD MST_ID ESC_ID TIMEOUT CTRL_MODE Damp Inertia hw_ver "
    "sw_ver SN NPP Rs LS Flux Gr PMAX VMAX TMAX I_BW KP_ASR KI_ASR KP_APR KI_APR OV_Value GREF Deta V_BW IQ_c1 "
    "VL_c1 can_br sub_ver u_off v_off k1 k2 m_off dir p_m xout"
).split()


def test_the_map():
    assert {int(r): (r.type, r.writable) for r in Register} == MAP
    assert [r.vendor_name for r in Register] == VENDOR_NAMES
    assert [r.name for r in Register] == [name.upper() for name in VENDOR_NAMES]
    assert all(r.description and "\n" not in r.description for r in Register)


def test_control_modes_are_the_setpoints_modes():
    setpoints = {
        ControlMode.MIT: ControlSetpoint.mit(MitSetpoint()),
        ControlMode.POS_VEL: ControlSetpoint.pos_vel(0.0, 0.0),
        ControlMode.VEL: ControlSetpoint.vel(0.0),
        ControlMode.FORCE_POS: ControlSetpoint.force_pos(0.0, 0.0, 0.0),
    }
    assert {mode: setpoint.mode for mode, setpoint in setpoints.items()} == {m: int(m) for m in ControlMode}
    assert [(m.name, m.value) for m in ControlMode] == [("MIT", 1), ("POS_VEL", 2), ("VEL", 3), ("FORCE_POS", 4)]
    assert [(c.name, c.value) for c in RegisterCommand] == [("READ", 0x33), ("WRITE", 0x55), ("SAVE", 0xAA)]


@pytest.mark.parametrize(
    "given, register",
    [
        (Register.PMAX, Register.PMAX),
        (21, Register.PMAX),
        ("21", Register.PMAX),
        ("0x15", Register.PMAX),
        (" PMAX ", Register.PMAX),
        ("pmax", Register.PMAX),
        ("UV_Value", Register.UV_VALUE),
        ("uv_value", Register.UV_VALUE),
        ("IQ_c1", Register.IQ_C1),
        ("0", Register.UV_VALUE),
        (81, Register.XOUT),
    ],
)
def test_parse(given, register):
    assert Register.parse(given) is register


@pytest.mark.parametrize("given", [37, 49, 56, 82, -1, 2**40, "37", "0x100", "PMAX2", "", "1.5", None, True, 21.0])
def test_parse_refuses(given):
    with pytest.raises(ValueError) as raised:
        Register.parse(given)
    assert repr(given) in str(raised.value)


@pytest.mark.parametrize(
    "register, value, written",
    [
        (Register.PMAX, 12.5, 12.5),
        (Register.PMAX, 3, 3.0),
        (Register.KP_ASR, 0.1, single(0.1)),
        (Register.UV_VALUE, -3.4e38, single(-3.4e38)),
        (Register.MST_ID, 0, 0),
        (Register.ESC_ID, 0x7FF, 0x7FF),
        (Register.CTRL_MODE, 1, 1),
        (Register.CTRL_MODE, ControlMode.FORCE_POS, 4),
        (Register.TIMEOUT, 0xFFFFFFFF, 0xFFFFFFFF),
        (Register.CAN_BR, 0, 0),
    ],
)
def test_check_accepts(register, value, written):
    checked = register.check(value)
    assert checked == written and type(checked) is register.type


@pytest.mark.parametrize(
    "register, value, error, message",
    [
        (Register.DAMP, 1.0, ValueError, "DAMP (register 11) is read-only: 1.0"),
        (Register.SN, 5, ValueError, "SN (register 15) is read-only: 5"),
        (Register.PMAX, math.nan, ValueError, "PMAX (register 21) takes finite single-precision values, not nan"),
        (Register.VMAX, -math.inf, ValueError, "VMAX (register 22) takes finite single-precision values, not -inf"),
        # Finite as a double, infinite as the single a motor gets.
        (Register.TMAX, 3.5e38, ValueError, "TMAX (register 23) takes finite single-precision values, not 3.5e+38"),
        (Register.TMAX, 10**40, ValueError, "TMAX (register 23) takes finite single-precision values"),
        (Register.PMAX, 0, ValueError, "PMAX (register 21) is a range: it takes values > 0, not 0"),
        (Register.VMAX, -30.0, ValueError, "VMAX (register 22) is a range: it takes values > 0, not -30.0"),
        (Register.TMAX, 1e-46, ValueError, "TMAX (register 23) is a range: it takes values > 0, not 1e-46"),
        (Register.MST_ID, 0x800, ValueError, "MST_ID (register 7) takes 0..0x7ff, not 2048"),
        (Register.ESC_ID, -1, ValueError, "ESC_ID (register 8) takes 0..0x7ff, not -1"),
        (
            Register.CTRL_MODE,
            0,
            ValueError,
            "CTRL_MODE (register 10) takes 1 (MIT), 2 (POS_VEL), 3 (VEL), 4 (FORCE_POS)",
        ),
        (Register.CTRL_MODE, 5, ValueError, "CTRL_MODE (register 10) takes 1 (MIT),"),
        (Register.TIMEOUT, 2**32, ValueError, "TIMEOUT (register 9) takes 0..0xffffffff, not 4294967296"),
        (Register.CAN_BR, -1, ValueError, "CAN_BR (register 35) takes 0..0xffffffff, not -1"),
        (Register.PMAX, True, TypeError, "PMAX (register 21) takes an int or a float, not bool True"),
        (Register.PMAX, "1.0", TypeError, "PMAX (register 21) takes an int or a float, not str '1.0'"),
        (Register.MST_ID, 2.0, TypeError, "MST_ID (register 7) takes an int, not float 2.0"),
        (Register.CTRL_MODE, False, TypeError, "CTRL_MODE (register 10) takes an int, not bool False"),
        (Register.TIMEOUT, None, TypeError, "TIMEOUT (register 9) takes an int, not NoneType None"),
    ],
)
def test_check_refuses(register, value, error, message):
    with pytest.raises(error) as raised:
        register.check(value)
    assert raised.type is error and str(raised.value).startswith(message)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: tervalin_dm.write_register(1, Register.DAMP, 1.0), ValueError, "DAMP (register 11) is read-only"),
        (lambda: tervalin_dm.write_register(1, 99, 1.0), ValueError, "99 is no register"),
        (lambda: tervalin_dm.read_register(1, "speed"), ValueError, "'speed' is no register"),
        (lambda: tervalin_dm.write_register(1, Register.MST_ID, 1.5), TypeError, "MST_ID (register 7) takes an int"),
        (
            lambda: tervalin_dm.read_register(0x800, Register.PMAX),
            ValueError,
            "argument 'motor': 2048 is not a motor id (0..2047)",
        ),
        (lambda: tervalin_dm.save_parameters(-1), ValueError, "argument 'motor': -1 is not a motor id (0..2047)"),
        (
            lambda: tervalin_dm.write_control_mode(2**64, 1),
            ValueError,
            "argument 'motor': 18446744073709551616 is not a motor id (0..2047)",
        ),
        (
            lambda: tervalin_dm.read_register(None, Register.PMAX),
            TypeError,
            "argument 'motor': 'NoneType' object cannot be converted to 'Damiao'",
        ),
        (
            lambda: tervalin_dm.save_parameters(True),
            TypeError,
            "argument 'motor': 'bool' object cannot be converted to 'Damiao'",
        ),
        (
            lambda: tervalin_dm.save_parameters("1"),
            TypeError,
            "argument 'motor': 'str' object cannot be converted to 'Damiao'",
        ),
        (
            lambda: decode_register_reply("01005515"),
            TypeError,
            "argument 'data': a bytes-like object is required, not 'str'",
        ),
        # The package's name, not its private extension's.
        (lambda: tervalin_dm.save_parameters(), TypeError, "tervalin_dm.save_parameters() takes exactly one argument"),
        (lambda: tervalin_dm.enable(), TypeError, "tervalin_dm.enable() takes exactly one argument"),
    ],
)
def test_bad_register_input(call, error, message):
    with pytest.raises(error) as raised:
        call()
    assert raised.type is error and str(raised.value).startswith(message)


# --- The user's table ---

DOC = pathlib.Path(__file__).resolve().parents[2] / "docs" / "registers.md"


def register_rows():
    rows = ["| Register | Number | Vendor name | Type | Writable | Unit | Meaning |", "|---|---:|---|---|---|---|---|"]
    for r in Register:
        writable = "yes" if r.writable else "no"
        rows.append(
            f"| `{r.name}` | {int(r)} | {r.vendor_name} | {r.type.__name__} | {writable} | {r.unit} | {r.description} |"
        )
    return rows


def test_the_documented_map_is_the_map():
    text = DOC.read_text()
    table = text.split("<!-- registers: checked by tests/dm/test_registers.py -->\n", 1)[1]
    rows = table.split("<!-- end of registers -->")[0].splitlines()
    assert rows == register_rows(), "docs/registers.md's table should read:\n" + "\n".join(register_rows())


def test_the_documented_examples_run():
    failed, tried = doctest.testfile(str(DOC), module_relative=False, optionflags=doctest.ELLIPSIS)
    assert tried > 10 and failed == 0
