"""The motor's registers: the map, the control modes, and the register frames.

A register request goes on CAN id 0x7FF: the motor id, a command
(`RegisterCommand`: read, write, save), the register number and a 32-bit
value, a single-precision float or an unsigned int by the register's type.
The motor answers a read or a write on its master id with the same layout and
the register's value after the operation, so a write is confirmed by its
echo; :func:`decode_register_reply` reads such an answer.

Where the vendor's documentation leaves a register's unit or meaning open,
`Register.unit` is empty and `Register.description` says so: nothing here is
guessed.
"""

import builtins
import enum
import math
import struct
from collections.abc import Buffer
from typing import NamedTuple

from tervalin import Damiao

from tervalin_dm import _codec

__all__ = [
    "ControlMode",
    "Register",
    "RegisterCommand",
    "RegisterReply",
    "decode_register_reply",
    "read_register",
    "save_parameters",
    "write_register",
]

_MODES = dict(_codec.control_modes)
_COMMANDS = dict(_codec.register_commands)


class ControlMode(enum.IntEnum):
    """A motor's control mode: the value of register CTRL_MODE and of `ControlSetpoint.mode`."""

    MIT = _MODES["MIT"]
    POS_VEL = _MODES["POS_VEL"]
    VEL = _MODES["VEL"]
    FORCE_POS = _MODES["FORCE_POS"]


class RegisterCommand(enum.IntEnum):
    """Byte 2 of a register frame: what the request asks, and what its answer answers."""

    READ = _COMMANDS["READ"]
    WRITE = _COMMANDS["WRITE"]
    SAVE = _COMMANDS["SAVE"]


class _Info(NamedTuple):
    vendor_name: str
    type: builtins.type[int] | builtins.type[float]
    writable: bool
    unit: str
    description: str


_UNKNOWN = "; its unit is not documented"
_CALIBRATION = "a factory calibration value; its meaning and unit are not documented"


class Register(enum.IntEnum):
    """A register of the motor, with what the library knows of it: `vendor_name` (the name in
    the vendor's documentation), `type` (``float``, an IEEE-754 single on the wire, or ``int``,
    an unsigned 32-bit integer), `writable` (read-only ones are refused), `unit` ("" when it
    has none or it is not documented) and `description` (one line of meaning).
    """

    UV_VALUE = 0
    KT_VALUE = 1
    OT_VALUE = 2
    OC_VALUE = 3
    ACC = 4
    DEC = 5
    MAX_SPD = 6
    MST_ID = 7
    ESC_ID = 8
    TIMEOUT = 9
    CTRL_MODE = _codec.control_mode_register
    DAMP = 11
    INERTIA = 12
    HW_VER = 13
    SW_VER = 14
    SN = 15
    NPP = 16
    RS = 17
    LS = 18
    FLUX = 19
    GR = 20
    PMAX = 21
    VMAX = 22
    TMAX = 23
    I_BW = 24
    KP_ASR = 25
    KI_ASR = 26
    KP_APR = 27
    KI_APR = 28
    OV_VALUE = 29
    GREF = 30
    DETA = 31
    V_BW = 32
    IQ_C1 = 33
    VL_C1 = 34
    CAN_BR = 35
    SUB_VER = 36
    U_OFF = 50
    V_OFF = 51
    K1 = 52
    K2 = 53
    M_OFF = 54
    DIR = 55
    P_M = 80
    XOUT = 81

    @property
    def vendor_name(self) -> str:
        """The register's name in the vendor's documentation ("UV_Value", "PMAX", ...)."""
        return _INFO[self].vendor_name

    @property
    def type(self) -> builtins.type[int] | builtins.type[float]:
        """``float`` (an IEEE-754 single on the wire) or ``int`` (an unsigned 32-bit integer)."""
        return _INFO[self].type

    @property
    def writable(self) -> bool:
        """Whether the library writes the register (it refuses to write read-only ones)."""
        return _INFO[self].writable

    @property
    def unit(self) -> str:
        """The unit of the register's value: "" when it has none or when it is not documented."""
        return _INFO[self].unit

    @property
    def description(self) -> str:
        """One line of meaning."""
        return _INFO[self].description

    def __repr__(self) -> str:
        return f"<Register.{self.name}: {self._value_}>"

    @property
    def label(self) -> str:
        """How messages name the register: ``"PMAX (register 21)"``."""
        return f"{self.name} (register {self._value_})"

    @classmethod
    def parse(cls, value: "Register | int | str") -> "Register":
        """The register `value` names: a `Register`, its number (``21``, ``"21"``, ``"0x15"``)
        or its name in any case (``"PMAX"``, ``"pmax"``, ``"UV_Value"``).

        :raises ValueError: naming `value`, when no register has that number or name
        """
        if isinstance(value, Register):
            return value
        number: int | None = None
        if isinstance(value, int) and not isinstance(value, bool):
            number = value
        elif isinstance(value, str):
            text = value.strip()
            named = _BY_NAME.get(text.lower())
            if named is not None:
                return named
            try:
                number = int(text, 0)
            except ValueError:
                number = None
        if number is not None and number in _BY_NUMBER:
            return _BY_NUMBER[number]
        raise ValueError(f"{value!r} is no register: give its name (PMAX, UV_Value, ...) or number (21, 0x15)")

    def check(self, value: object) -> int | float:
        """`value` as it is written to this register: a float narrowed to single precision,
        or an int.

        :raises ValueError: naming the register and `value`, when the register is read-only,
            a float is not finite in single precision, a range (PMAX, VMAX, TMAX) is not
            above 0, an id is beyond 0..0x7FF, a control mode is not one of `ControlMode`,
            or an int does not fit 32 bits
        :raises TypeError: naming the register, when `value` is not a number of its type
            (an int is taken for a float register; bool is taken for neither)
        """
        if not self.writable:
            raise ValueError(f"{self.label} is read-only: {value!r} is not written")
        accepted = (int, float) if self.type is float else (int,)
        if isinstance(value, bool) or not isinstance(value, accepted):
            wanted = "an int or a float" if self.type is float else "an int"
            raise TypeError(f"{self.label} takes {wanted}, not {type(value).__name__} {value!r}")
        if self.type is float:
            single = _single(value)
            if single is None:
                raise ValueError(f"{self.label} takes finite single-precision values, not {value!r}")
            if self in _RANGES and not single > 0:
                # A range of zero or less would scale every MIT command and feedback to nonsense.
                raise ValueError(f"{self.label} is a range: it takes values > 0, not {value!r}")
            return single
        low, high = _INT_RANGES.get(self, (0, _U32_MAX))
        if not low <= value <= high:
            raise ValueError(f"{self.label} takes {_range_text(self, low, high)}, not {value!r}")
        return int(value)


# The register map: each register's vendor name, type, writability, unit and meaning.
_INFO: dict[Register, _Info] = {
    Register.UV_VALUE: _Info("UV_Value", float, True, "V", "under-voltage threshold"),
    Register.KT_VALUE: _Info("KT_Value", float, True, "", "torque constant" + _UNKNOWN),
    Register.OT_VALUE: _Info("OT_Value", float, True, "°C", "over-temperature threshold"),
    Register.OC_VALUE: _Info("OC_Value", float, True, "A", "over-current threshold"),
    Register.ACC: _Info("ACC", float, True, "", "acceleration" + _UNKNOWN),
    Register.DEC: _Info("DEC", float, True, "", "deceleration" + _UNKNOWN),
    Register.MAX_SPD: _Info("MAX_SPD", float, True, "", "maximum speed" + _UNKNOWN),
    Register.MST_ID: _Info("MST_ID", int, True, "", "master id: the CAN id the motor answers on"),
    Register.ESC_ID: _Info("ESC_ID", int, True, "", "the motor's own id, which its commands address"),
    Register.TIMEOUT: _Info(
        "TIMEOUT", int, True, "", "communication timeout as a raw count (its time base is not documented)"
    ),
    Register.CTRL_MODE: _Info("CTRL_MODE", int, True, "", "control mode: 1 MIT, 2 POS_VEL, 3 VEL, 4 FORCE_POS"),
    Register.DAMP: _Info("Damp", float, False, "", "damping coefficient" + _UNKNOWN),
    Register.INERTIA: _Info("Inertia", float, False, "", "rotor inertia" + _UNKNOWN),
    Register.HW_VER: _Info("hw_ver", int, False, "", "hardware version"),
    Register.SW_VER: _Info("sw_ver", int, False, "", "firmware version"),
    Register.SN: _Info("SN", int, False, "", "serial number"),
    Register.NPP: _Info("NPP", int, False, "", "number of pole pairs"),
    Register.RS: _Info("Rs", float, False, "", "phase resistance" + _UNKNOWN),
    Register.LS: _Info("LS", float, False, "", "phase inductance" + _UNKNOWN),
    Register.FLUX: _Info("Flux", float, False, "", "flux linkage" + _UNKNOWN),
    Register.GR: _Info("Gr", float, False, "", "gear ratio"),
    Register.PMAX: _Info("PMAX", float, True, "rad", "position range of the MIT command and the feedback: ±PMAX"),
    Register.VMAX: _Info("VMAX", float, True, "rad/s", "velocity range of the MIT command and the feedback: ±VMAX"),
    Register.TMAX: _Info("TMAX", float, True, "N·m", "torque range of the MIT command and the feedback: ±TMAX"),
    Register.I_BW: _Info("I_BW", float, True, "", "current-loop bandwidth" + _UNKNOWN),
    Register.KP_ASR: _Info("KP_ASR", float, True, "", "speed-loop proportional gain"),
    Register.KI_ASR: _Info("KI_ASR", float, True, "", "speed-loop integral gain"),
    Register.KP_APR: _Info("KP_APR", float, True, "", "position-loop proportional gain"),
    Register.KI_APR: _Info("KI_APR", float, True, "", "position-loop integral gain"),
    Register.OV_VALUE: _Info("OV_Value", float, True, "V", "over-voltage threshold"),
    Register.GREF: _Info("GREF", float, True, "", "gear torque efficiency"),
    Register.DETA: _Info("Deta", float, True, "", "speed-loop damping"),
    Register.V_BW: _Info("V_BW", float, True, "", "speed-loop filter bandwidth" + _UNKNOWN),
    Register.IQ_C1: _Info("IQ_c1", float, True, "", "current-loop gain boost"),
    Register.VL_C1: _Info("VL_c1", float, True, "", "speed-loop gain boost"),
    Register.CAN_BR: _Info("can_br", int, True, "", "CAN bit rate code (the codes' rates are not documented here)"),
    Register.SUB_VER: _Info("sub_ver", int, False, "", "firmware sub-version"),
    Register.U_OFF: _Info("u_off", float, False, "", _CALIBRATION),
    Register.V_OFF: _Info("v_off", float, False, "", _CALIBRATION),
    Register.K1: _Info("k1", float, False, "", _CALIBRATION),
    Register.K2: _Info("k2", float, False, "", _CALIBRATION),
    Register.M_OFF: _Info("m_off", float, False, "", _CALIBRATION),
    Register.DIR: _Info("dir", float, False, "", _CALIBRATION),
    Register.P_M: _Info("p_m", float, False, "", "motor-side position" + _UNKNOWN),
    Register.XOUT: _Info("xout", float, False, "", "output-side position" + _UNKNOWN),
}
_U32_MAX = 0xFFFFFFFF
_INT_RANGES: dict[Register, tuple[int, int]] = {
    Register.MST_ID: (0, _codec.max_standard_id),
    Register.ESC_ID: (0, _codec.max_standard_id),
    Register.CTRL_MODE: (min(ControlMode), max(ControlMode)),
}
_RANGES = frozenset({Register.PMAX, Register.VMAX, Register.TMAX})
_BY_NUMBER = {int(member): member for member in Register}
_BY_NAME = {name.lower(): member for member in Register for name in (member.name, member.vendor_name)}


def _range_text(register: Register, low: int, high: int) -> str:
    if register is Register.CTRL_MODE:
        return ", ".join(f"{int(mode)} ({mode.name})" for mode in ControlMode)
    return f"{low}..{high:#x}"


def _single(value: int | float) -> float | None:
    """`value` narrowed to single precision, or None when it is not finite there."""
    try:
        single: float = struct.unpack("<f", struct.pack("<f", float(value)))[0]
    except OverflowError:
        return None
    return single if math.isfinite(single) else None


class RegisterReply(NamedTuple):
    """A motor's answer to a register request, as :func:`decode_register_reply` reads it."""

    motor_id: int
    """The id of the motor answering (bytes 0 and 1)."""
    command: RegisterCommand
    """The request answered."""
    register: Register | int
    """The register, or byte 3 as a number for a save or a register the map does not have."""
    value: int | float
    """The register's value after the request, by its type (the raw u32 for a save or an unknown register)."""


def decode_register_reply(data: Buffer) -> RegisterReply | None:
    """The register answer in the data bytes of a frame from a motor, or None when `data` is
    not 8 bytes or its byte 2 is no `RegisterCommand`.

    Only the layout is read: whether a frame is a register answer at all (and not feedback)
    is for the caller to tell from what it is waiting for and the motor id and register.
    """
    fields = _codec.decode_register(data)
    if fields is None:
        return None
    motor_id, number, register_number, raw, single = fields
    command = RegisterCommand(number)
    register = _BY_NUMBER.get(register_number)
    # A save names no register: its byte 3 is a fixed marker, its value raw.
    if register is None or command is RegisterCommand.SAVE:
        return RegisterReply(motor_id, command, register_number, raw)
    return RegisterReply(motor_id, command, register, single if register.type is float else raw)


#: The frame ``(can_id, data)`` that saves every register of a motor (a `Damiao` or a motor
#: id) to its flash. A motor saves only while disabled.
save_parameters = _codec.save_parameters


def read_register(motor: Damiao | int, register: Register | int | str) -> tuple[int, bytes]:
    """The frame ``(can_id, data)`` that asks `motor` (a `Damiao` or a motor id 0..0x7FF) for
    the value of `register` (see `Register.parse`)."""
    return _codec.read_register(motor, Register.parse(register))


def write_register(motor: Damiao | int, register: Register | int | str, value: int | float) -> tuple[int, bytes]:
    """The frame ``(can_id, data)`` that writes `value` to `register` of `motor`.

    :raises ValueError: for a read-only or unknown register or a value out of its range
        (see `Register.check`)
    :raises TypeError: for a value of the wrong type
    """
    checked = Register.parse(register)
    return _codec.write_register(motor, checked, checked.check(value))
