"""Finding the motors on a bus: `scan` asks every id for its master id through register reads."""

import logging
import math
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from typing import TYPE_CHECKING, cast

from tervalin_dm import ControlMode, Register, _codec

if TYPE_CHECKING:
    import can

    from tervalin_dm._exchange import RegisterReader

__all__ = ["FoundMotor", "scan"]

logger = logging.getLogger("tervalin_dm.scan")

DEFAULT_IDS = range(1, 0x80)
DEFAULT_TIMEOUT_MS = 20
MAX_ID = _codec.max_standard_id  # an 11-bit standard id


@dataclass(frozen=True, slots=True)
class FoundMotor:
    """A motor that answered a scan.

    :param motor_id: the id it listens on (its ESC_ID).
    :param master_id: the id it answers on (its MST_ID).
    :param control_mode: its CTRL_MODE as a `ControlMode`, the raw number for a code outside the four modes,
        None when it did not answer that read.
    :param sw_ver: its firmware version (sw_ver), None when it did not answer that read; likewise `sub_ver`
        and `hw_ver`, the raw numbers of the registers of those names.
    """

    motor_id: int
    master_id: int
    control_mode: ControlMode | int | None = None
    sw_ver: int | None = None
    sub_ver: int | None = None
    hw_ver: int | None = None


def scan(
    can_bus: "can.BusABC",
    ids: Iterable[int] = DEFAULT_IDS,
    timeout_ms: float = DEFAULT_TIMEOUT_MS,
    *,
    notifier: "can.Notifier | None" = None,
    progress: Callable[[int, int, FoundMotor | None], object] | None = None,
) -> list[FoundMotor]:
    """The motors on `can_bus` among `ids`, in the order of `ids`.

    Each id is asked for its master id (register MST_ID) through a register
    read; the answer comes on that master id, which the scanner does not know
    yet, so it listens on every standard id and takes the frame whose bytes
    0-3 are the id, the read command and the register. A motor that answered
    is then asked for ESC_ID, CTRL_MODE, sw_ver, sub_ver and hw_ver, each of
    which answers within a round trip.

    Cost: the ids are asked one after the other, so every id where no motor
    answers costs one `timeout_ms` (the default range, 127 ids at 20 ms, takes
    about 2.5 s on a bus with no motor). Sending every request at once and
    waiting once would be faster, but would put 127 frames on the bus in a
    burst that a small adapter's transmit queue may drop, and would take the
    motors' answers all at the same moment.

    :param can_bus: the python-can bus.
    :param ids: the motor ids to ask, each 0 to 0x7FF.
    :param timeout_ms: how long to wait for each answer, in ms (more than 0).
    :param notifier: a `can.Notifier` of `can_bus` to listen through (the scanner joins it as a listener and
        leaves it at the end); by default a notifier of its own, stopped before `scan` returns.
    :param progress: called after each id with (ids asked so far, how many ids, the motor found at that id or None).
    :raises KeyboardInterrupt: as raised (Ctrl-C): the scan stops at once, leaving no thread behind and the bus and
        `notifier` usable; `progress` has seen every motor found until then.
    """
    import can  # the package imports without python-can; a scan needs it

    from tervalin_dm._exchange import listening

    if not isinstance(cast(object, can_bus), can.BusABC):
        raise TypeError(f"can_bus must be a can.BusABC, not {type(can_bus).__name__}")
    id_list = list(ids)
    for motor_id in id_list:
        if isinstance(motor_id, bool) or not isinstance(cast(object, motor_id), int):
            raise TypeError(f"ids must be ints, not {type(motor_id).__name__}: {motor_id!r}")
        if not 0 <= motor_id <= MAX_ID:
            raise ValueError(f"ids must lie in 0 to 0x{MAX_ID:X}: {motor_id:#x}")
    if isinstance(timeout_ms, bool) or not isinstance(cast(object, timeout_ms), int | float):
        raise TypeError(f"timeout_ms must be a number, not {type(timeout_ms).__name__}")
    if not (timeout_ms > 0 and math.isfinite(timeout_ms)):
        raise ValueError(f"timeout_ms must be a finite number of ms above 0: {timeout_ms!r}")
    if notifier is not None and not isinstance(cast(object, notifier), can.Notifier):
        raise TypeError(f"notifier must be a can.Notifier or None, not {type(notifier).__name__}")
    if progress is not None and not callable(cast(object, progress)):
        raise TypeError(f"progress must be callable or None, not {type(progress).__name__}")

    timeout = timeout_ms / 1000.0
    found: list[FoundMotor] = []
    with listening(can_bus, notifier) as reader:
        for done, motor_id in enumerate(id_list, 1):
            motor = None
            answer = reader.read(motor_id, Register.MST_ID, timeout)
            if answer is not None:
                motor = _found(reader, motor_id, answer[0], timeout)
                found.append(motor)
            if progress is not None:
                progress(done, len(id_list), motor)
    return found


def _found(reader: "RegisterReader", motor_id: int, master_id: int, timeout: float) -> FoundMotor:
    """What a motor that answered tells of itself: each register it leaves unanswered is None."""

    def read(register: Register) -> int | None:
        answer = reader.read(motor_id, register, timeout)
        return None if answer is None else int(answer[1])  # integer registers, all of them

    esc_id = read(Register.ESC_ID)
    if esc_id is not None and esc_id != motor_id:
        # Reads are matched on the id in bytes 0-1, so this is a motor that answers for an id it is not given.
        logger.warning("motor 0x%x answers register reads but reports ESC_ID 0x%x", motor_id, esc_id)
    mode = read(Register.CTRL_MODE)
    return FoundMotor(
        motor_id,
        master_id,
        control_mode=ControlMode(mode) if mode is not None and mode in ControlMode._value2member_map_ else mode,
        sw_ver=read(Register.SW_VER),
        sub_ver=read(Register.SUB_VER),
        hw_ver=read(Register.HW_VER),
    )
