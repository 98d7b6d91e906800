"""The status codes a motor reports in the high four bits of its feedback."""

import enum

__all__ = ["Status", "is_error"]


class Status(enum.IntEnum):
    """A motor's status, `MotorState.error`: 0 and 1 are states, the others faults."""

    DISABLED = 0x0
    ENABLED = 0x1
    SENSOR_ERROR = 0x5
    PARAMETER_ERROR = 0x6
    OVER_VOLTAGE = 0x8
    UNDER_VOLTAGE = 0x9
    OVER_CURRENT = 0xA
    MOS_OVER_TEMPERATURE = 0xB
    ROTOR_OVER_TEMPERATURE = 0xC
    COMMUNICATION_LOST = 0xD
    OVERLOAD = 0xE


def is_error(code: int) -> bool:
    """Whether a status code reports a fault: every code but DISABLED and ENABLED, unknown ones too."""
    return code != Status.DISABLED and code != Status.ENABLED


def describe(code: int) -> str:
    """The status's name, or the code in hexadecimal when the protocol names none."""
    try:
        return Status(code).name
    except ValueError:
        return f"unknown status 0x{code:x}"
