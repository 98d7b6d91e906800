"""The status codes a motor reports in the high four bits of its feedback."""

import enum

from tervalin_dm import _codec

__all__ = ["Status", "describe", "is_error"]

_CODES = dict(_codec.status_codes)
_STATUS_BITS = range(_codec.feedback_motor_id_mask + 1)  # a status has the four bits the motor id leaves


class Status(enum.IntEnum):
    """A motor's status, `MotorState.error`: 0 and 1 are states, the others faults.

    Every code 0 to 15 is a `Status`: those the protocol does not name are
    pseudo-members named after their number (``Status(2)`` is ``Status.UNKNOWN_2``).
    """

    DISABLED = _CODES["DISABLED"]
    ENABLED = _CODES["ENABLED"]
    SENSOR_ERROR = _CODES["SENSOR_ERROR"]
    PARAMETER_ERROR = _CODES["PARAMETER_ERROR"]
    OVER_VOLTAGE = _CODES["OVER_VOLTAGE"]
    UNDER_VOLTAGE = _CODES["UNDER_VOLTAGE"]
    OVER_CURRENT = _CODES["OVER_CURRENT"]
    MOS_OVER_TEMPERATURE = _CODES["MOS_OVER_TEMPERATURE"]
    ROTOR_OVER_TEMPERATURE = _CODES["ROTOR_OVER_TEMPERATURE"]
    COMMUNICATION_LOST = _CODES["COMMUNICATION_LOST"]
    OVERLOAD = _CODES["OVERLOAD"]

    @classmethod
    def _missing_(cls, value: object) -> "Status | None":
        if isinstance(value, bool) or not isinstance(value, int) or value not in _STATUS_BITS:
            return None
        member = int.__new__(cls, value)
        member._name_ = f"UNKNOWN_{value}"
        member._value_ = value
        # One pseudo-member per code, whichever thread makes it first.
        return cls._value2member_map_.setdefault(value, member)  # type: ignore[return-value]

    @property
    def known(self) -> bool:
        """Whether the protocol names this status."""
        return self._name_ in _CODES


def _status(code: object) -> Status:
    if isinstance(code, bool) or not isinstance(code, int):
        raise TypeError(f"a status code is an int, not {type(code).__name__}")
    if code not in _STATUS_BITS:
        raise ValueError(f"a status code is in 0..{_STATUS_BITS.stop - 1}, not {code!r}")
    return Status(code)


def is_error(code: int) -> bool:
    """Whether status `code` (0 to 15) reports a fault: every code but DISABLED and ENABLED, unknown ones too.

    :raises TypeError: when `code` is not an int
    :raises ValueError: when `code` is not a status code (0 to 15)
    """
    return _status(code) not in (Status.DISABLED, Status.ENABLED)


def describe(code: int) -> str:
    """Status `code` for a log line: ``"OVERLOAD (0xe)"``, or ``"unknown status 0x2"`` when the protocol names none.

    :raises TypeError: when `code` is not an int
    :raises ValueError: when `code` is not a status code (0 to 15)
    """
    status = _status(code)
    if status.known:
        return f"{status.name} (0x{code:x})"
    return f"unknown status 0x{code:x}"
