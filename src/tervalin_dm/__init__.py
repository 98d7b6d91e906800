"""From tervalin values to the CAN frames of Damiao DM-series motors, and back.

Frames are ``(can_id, data)`` pairs: an 11-bit standard identifier and 8 data
bytes. Positions are in rad, velocities in rad/s, torques in N·m,
temperatures in °C; MIT gains are those of the MIT law
``torque = kp * (q - position) + kd * (dq - velocity) + tau``.

- `encode(setpoint, motor)`: a `ControlSetpoint` of any of the four modes
  for a `Damiao` handle (MIT is scaled over the handle's limits);
- `enable`, `disable`, `set_zero`, `clear_error`: the system commands;
- `read_register`, `write_register`, `save_parameters`: the register requests
  (`Register` is the map, `decode_register_reply` reads the motor's answer);
- `write_control_mode(motor, mode)`: a write of register CTRL_MODE
  (`ControlMode`);
- `decode_feedback(data, limits)`: a feedback frame's `MotorState`;
- `encode_feedback(...)`: the data of a feedback frame, for whoever answers as a motor;
- `feedback_motor_id(data)`: which motor sent a feedback frame (they all
  arrive on the master id);
- `Status`: the status codes of `MotorState.error`.

`tervalin_dm.bus.MotorBus` talks to motors through python-can, and
`tervalin_dm.sim.SimulatedMotor` answers as one (both need the ``can`` extra,
``pip install tervalin[can]``).
"""

from tervalin_dm._codec import (
    clear_error,
    decode_feedback,
    disable,
    enable,
    encode,
    encode_feedback,
    feedback_motor_id,
    set_zero,
    write_control_mode,
)
from tervalin_dm._status import Status, is_error
from tervalin_dm.registers import (
    ControlMode,
    Register,
    RegisterCommand,
    RegisterReply,
    decode_register_reply,
    read_register,
    save_parameters,
    write_register,
)
from tervalin_dm.scan import FoundMotor, scan  # after the register map, which the scan uses

__all__ = [
    "ControlMode",
    "FoundMotor",
    "Register",
    "RegisterCommand",
    "RegisterReply",
    "Status",
    "clear_error",
    "decode_feedback",
    "decode_register_reply",
    "disable",
    "enable",
    "encode",
    "encode_feedback",
    "feedback_motor_id",
    "is_error",
    "read_register",
    "save_parameters",
    "scan",
    "set_zero",
    "write_control_mode",
    "write_register",
]
