"""Damiao motors on a CAN bus through python-can.

:class:`MotorBus` wraps a :class:`can.BusABC` (SocketCAN, PCAN, slcan,
gs_usb, virtual, ...) and the :class:`~tervalin.Damiao` handles of the motors
on it. Every command is one frame to a motor, answered by one frame on the
handle's master id: a feedback frame for the system commands and the
setpoints, an echo of the request for the register requests. Each call sends,
waits for that answer at most the handle's ``timeout_ms`` and returns it.

Receiving
    The MotorBus is a :class:`can.Listener`. It receives through a
    :class:`can.Notifier`: the one passed as ``notifier``, else the one
    already running on the bus (python-can 4.6 and later can find it), else
    one it starts. Only the notifier's thread reads the python-can bus, and
    every listener on that notifier (a :class:`can.Logger`, a
    :class:`can.Printer`, a simulated motor) sees every frame.

Which frame answers which call
    A frame is an answer only if it is a classic standard data frame of 8
    bytes received from the bus (``is_rx``) on the motor's master id, whose
    first byte carries the motor id's low four bits, and only if a call for
    that motor is waiting for it: a feedback frame answers a system command
    or a setpoint; a register answer must repeat the request's motor id,
    command and register (bytes 0-3). The notifier hands frames to the bus in
    the order it received them and the bus numbers them; a call notes the
    count right before its frame is sent, and only a frame handed over after
    that can be its answer. So nothing the bus was handed before a frame went
    out ever answers it, whichever thread calls. A frame the interface had
    received but the notifier not yet handed over when the frame went out is
    told by its timestamp on the virtual bus and SocketCAN, which stamp
    frames with the host's ``time.time()`` as they arrive: one stamped
    before the send is no answer (an unstamped one, 0, is judged by the
    count alone). Other interfaces stamp with clocks of their own, so there
    such a frame can still pass for the answer; only traffic the bus did
    not ask for can be in that window, since a motor's own late replies are
    owed, below. Frames of the motors that come while no
    call waits for them are dropped, counted in
    :attr:`MotorBus.stray_frames` and logged at DEBUG.

Late replies
    The protocol has no sequence numbers: a reply that comes after its call
    timed out would pass for the answer to the next frame. So a motor whose
    reply is missing owes it for one more of its timeouts after the call
    gave up. While it owes a reply it is sent nothing: a call for it (a
    cycle of :meth:`MotorBus.command_all` too) reports it missing at once,
    in :class:`NoReply`, without waiting; the others of a cycle are commanded
    as usual. The owed reply, if it comes, is dropped and counted in
    :attr:`MotorBus.late_replies`; after that, or once the time has passed,
    the motor is commanded again. A cycle with silent motors therefore costs
    at most one timeout (the longest of the cycle's motors), and the healthy
    motors' frames go out first, on time. :meth:`MotorBus.disable` alone
    always goes out: a motor must stop when asked.

Threads and interrupts
    Every method may be called from any thread but the notifier's: a call
    from a listener's callback could never see its reply, and raises
    :class:`RuntimeError` at once. Calls for different motors run
    concurrently; calls that involve the same motor (:meth:`command_all`
    involves all) run one after the other, each waiting for its own reply,
    in the order they came: a thread calling in a loop does not keep a motor
    from another thread. Sends are not serialised, so a send that blocks holds up no other motor:
    calls from several threads send concurrently, which SocketCAN and the
    virtual bus allow; wrap other interfaces in :class:`can.ThreadSafeBus`.
    A send that fails or cannot complete within the motor's timeout raises
    :class:`SendFailed` for that motor alone; the sends of one call share its
    timeout, so a blocked transmit path costs a cycle one timeout. A :class:`KeyboardInterrupt`,
    or any exception raised by python-can, at any point of a call leaves the
    bus usable: the call's motors are released, and a motor whose frame may
    have gone out owes its reply as above.

A reply whose status is a fault is returned like any other (check
``state.error``, see :class:`tervalin_dm.Status`); the first reply of a
motor with a fault code, and the first after the code changed, is logged at
WARNING through the logger "tervalin_dm.bus". Timeouts, stray and late
frames, sends and register exchanges are logged at DEBUG.
"""

import importlib.util
import logging
import threading
import time
from collections.abc import Iterable, Sequence
from threading import get_ident
from typing import Any, cast

if importlib.util.find_spec("can") is None:
    raise ModuleNotFoundError(
        "tervalin_dm.bus needs python-can: install it with pip install 'tervalin[can]'", name="can"
    )

import can
from tervalin import ControlSetpoint, Damiao, MitLimits, MitSetpoint, MotorState

from tervalin_dm import _codec
from tervalin_dm._status import Status, describe, is_error
from tervalin_dm.registers import ControlMode, Register, RegisterReply, decode_register_reply
from tervalin_dm.registers import read_register as _read_frame
from tervalin_dm.registers import save_parameters as _save_frame
from tervalin_dm.registers import write_register as _write_frame

__all__ = ["MotorBus", "NoReply", "SendFailed", "StaleHandle", "WriteNotTaken"]

logger = logging.getLogger("tervalin_dm.bus")

# The ids a motor listens on, derived from the frames the codec builds: the
# setpoint of each control mode goes on motor_id plus an offset, the register
# requests on one id shared by every motor.
_PROBE = Damiao(0, 0)
_MODE_OFFSETS = tuple(
    _codec.encode(setpoint, _PROBE)[0]
    for setpoint in (
        ControlSetpoint.mit(MitSetpoint()),
        ControlSetpoint.pos_vel(0.0, 0.0),
        ControlSetpoint.vel(0.0),
        ControlSetpoint.force_pos(0.0, 0.0, 0.0),
    )
)
_REGISTER_ID = _codec.register_id
# A motor's command ids stay below the register id, the last 11-bit id; a
# master id is one of the ids below it too.
_LAST_MOTOR_ID = _REGISTER_ID - 1 - max(_MODE_OFFSETS)

_FEEDBACK = b""  # what a feedback answer starts with: anything; register answers start with the request's bytes 0-3
_MOTOR_ID_MASK = _codec.feedback_motor_id_mask  # the motor id bits a feedback frame carries
_NEVER = float("inf")  # the frame count of a frame that has not gone out
# Waits longer than the platform can wait are cut to its longest wait (about
# 292 years on 64-bit Linux): the virtual bus and the notifier wait on the same primitive.
_LONGEST_WAIT = threading.TIMEOUT_MAX
_NOTIFIER_POLL = 0.1  # s: how soon a notifier the MotorBus started notices stop()
# The buses that stamp each frame with the host's time.time() as it arrives: the
# virtual bus when the peer sends it, SocketCAN in the kernel. Other interfaces
# may stamp with a clock of their own, which cannot be compared with the host's.
_HOST_CLOCK_BUSES = frozenset({"can.interfaces.virtual.VirtualBus", "can.interfaces.socketcan.socketcan.SocketcanBus"})


def _stamps_on_host_clock(bus: can.BusABC) -> bool:
    # __class__, not type(): a can.ThreadSafeBus passes for the bus it wraps.
    return any(f"{kind.__module__}.{kind.__qualname__}" in _HOST_CLOCK_BUSES for kind in bus.__class__.__mro__)


class NoReply(can.CanTimeoutError):
    """No answer came from ``motors`` within ``timeout_ms``; ``replies`` holds what did come, in call order.

    ``owed`` are the motors of ``motors`` that were sent nothing, because they
    still owed the reply to an earlier frame (see the module's rules).
    """

    def __init__(
        self,
        motors: Sequence[Damiao],
        timeout_ms: float,
        replies: Sequence[object],
        *,
        owed: Sequence[Damiao] = (),
    ) -> None:
        self.motors = tuple(motors)
        self.timeout_ms = timeout_ms
        self.replies = tuple(replies)
        self.owed = tuple(owed)
        waited = [m for m in self.motors if m not in self.owed]
        parts: list[str] = []
        if waited:
            parts.append(f"no reply from {_names(waited)} within {timeout_ms:g} ms")
        if self.owed:
            parts.append(f"nothing sent to {_names(self.owed)}: a reply to an earlier frame is still owed")
        super().__init__("; ".join(parts) or "no reply")


class SendFailed(can.CanOperationError):
    """The frames to ``motors`` could not be sent; ``replies`` holds the answers of the others, in call order."""

    def __init__(self, motors: Sequence[Damiao], errors: Sequence[BaseException], replies: Sequence[object]) -> None:
        self.motors = tuple(motors)
        self.replies = tuple(replies)
        causes = "; ".join(f"{motor!r}: {error}" for motor, error in zip(motors, errors, strict=True))
        super().__init__(f"could not send to {causes}")


class WriteNotTaken(can.CanOperationError):
    """A register write that the motor answered with another value than the one written."""

    def __init__(self, motor: Damiao, register: object, written: object, answered: object) -> None:
        self.motor = motor
        self.register = register
        self.written = written
        self.answered = answered
        name = getattr(register, "name", register)
        super().__init__(f"{motor!r} did not take {name} = {written!r}: it answers {name} = {answered!r}")


class StaleHandle(can.CanError):
    """A handle whose motor id or master id was changed through this MotorBus; ``successor`` is the one to use."""

    def __init__(self, motor: Damiao, successor: Damiao) -> None:
        self.motor = motor
        self.successor = successor
        super().__init__(
            f"{motor!r} now answers as {successor!r}: use that handle (same limits and timeout) in a new MotorBus. "
            "The change lasts until the motor is powered off, unless save_parameters() on this MotorBus "
            "(which still reaches it) stores it"
        )


def _names(motors: Iterable[Damiao]) -> str:
    return ", ".join(repr(m) for m in motors)


class _Exchange:
    """The answers one call still waits for, and the gate its caller waits at.

    The gate is a lock held while the exchange is idle; whoever takes the
    last answer releases it, and the waiting caller's acquire takes it back.
    """

    __slots__ = ("gate", "missing")

    def __init__(self) -> None:
        self.missing = 0
        self.gate = threading.Lock()
        self.gate.acquire()


class _Slot:
    """What the bus keeps for one motor: its route, scaling and timeout, and the state of its exchange."""

    __slots__ = (
        "alone",
        "busy",
        "enabled",
        "exchange",
        "expect",
        "last_status",
        "limits",
        "limits_warned",
        "master_id",
        "motor",
        "motor_id",
        "owed",
        "owed_until",
        "queue",
        "reply",
        "sent_at",
        "sent_time",
        "single",
        "successor",
        "target",
        "timeout",
        "timeout_ms",
    )

    def __init__(self, motor: Damiao) -> None:
        self.motor = motor
        self.target = motor  # the handle frames are built for: the successor once the ids changed
        self.successor: Damiao | None = None
        self.motor_id = motor.motor_id
        self.master_id = motor.master_id
        self.limits: MitLimits = _codec.limits_of(motor)
        seconds = _codec.timeout_of(motor)
        self.timeout_ms = seconds * 1000
        self.timeout = min(seconds, _LONGEST_WAIT)
        self.alone = (self,)
        self.single = _Exchange()  # the exchange of calls for this motor alone
        self.last_status = -1  # the status of the last reply returned, for logging faults once
        self.enabled = False  # sent an enable and not since seen disabled
        self.limits_warned = False
        # Guarded by the bus's lock:
        self.busy: _Exchange | None = None  # the call that has this motor
        self.queue: list[object] = []  # the calls waiting for it, first come first
        self.exchange: _Exchange | None = None  # set while an answer is awaited
        self.expect: bytes | tuple[bytes, ...] | None = None  # what that answer starts with
        self.sent_at = _NEVER  # the frame count right before the frame went out
        self.sent_time = 0.0  # time.time() right before, on a bus that stamps frames with it; else 0
        self.reply: bytearray | None = None
        self.owed: bytes | tuple[bytes, ...] | None = None  # what an owed late answer starts with
        self.owed_until = 0.0  # time.monotonic() until which it may come


def _handles(motors: object) -> tuple[Damiao, ...]:
    """The handles of the argument `motors`, refusing anything else."""
    if not isinstance(motors, Iterable):
        raise TypeError(f"argument 'motors': an iterable of Damiao handles is required, not {type(motors).__name__!r}")
    handles: list[Damiao] = []
    for handle in cast(Iterable[object], motors):
        if not isinstance(handle, Damiao):
            raise TypeError(f"argument 'motors': Damiao handles are required, not {type(handle).__name__!r}")
        handles.append(handle)
    return tuple(handles)


def _route_key(master_id: int, motor_id: int) -> int:
    """The key of the frames a motor sends: its master id and the low four bits of its id."""
    return master_id << 4 | (motor_id & _MOTOR_ID_MASK)


def _check_ids(ids: Sequence[tuple[int, int]], names: Sequence[str]) -> None:
    """Refuses a set of (motor id, master id) pairs that cannot share a bus; `names` says whose they are."""
    seen_ids: dict[int, str] = {}
    seen_routes: dict[int, str] = {}
    masters: dict[int, list[str]] = {}
    for (motor_id, master_id), name in zip(ids, names, strict=True):
        if motor_id > _LAST_MOTOR_ID:
            raise ValueError(
                f"{name}: motor ids go up to 0x{_LAST_MOTOR_ID:x} (its commands go on motor_id + "
                f"0x{max(_MODE_OFFSETS):x}, below the register id 0x{_REGISTER_ID:x})"
            )
        if master_id >= _REGISTER_ID:
            raise ValueError(
                f"{name}: master ids go up to 0x{_REGISTER_ID - 1:x} (0x{_REGISTER_ID:x} is where every motor "
                "takes register requests; larger ones are not 11-bit ids)"
            )
        if motor_id in seen_ids:
            raise ValueError(f"{seen_ids[motor_id]} and {name} have the same motor id")
        seen_ids[motor_id] = name
        route = _route_key(master_id, motor_id)
        if route in seen_routes:
            raise ValueError(
                f"{seen_routes[route]} and {name} both answer on master id 0x{master_id:x} with motor id "
                f"0x{motor_id & _MOTOR_ID_MASK:x} in their feedback"
            )
        seen_routes[route] = name
        masters.setdefault(master_id, []).append(name)
    for (motor_id, _), name in zip(ids, names, strict=True):
        for offset in _MODE_OFFSETS:
            other = next((n for n in masters.get(motor_id + offset, ()) if n != name), None)
            if other is not None:
                raise ValueError(
                    f"{name} takes commands on 0x{motor_id + offset:x}, where {other} answers: "
                    "each motor would take the other's answers as commands"
                )


class MotorBus(can.Listener):
    """The motors of ``motors`` (:class:`~tervalin.Damiao` handles) on the python-can bus ``bus``.

    :param bus: the python-can bus; the MotorBus never closes it.
    :param motors: the handles; the sets whose frames could be mistaken for
        one another's are refused (the same motor id, the same master id and
        low four bits of the motor id, a command id equal to another's master
        id, ids beyond the protocol's 11-bit range).
    :param notifier: the :class:`can.Notifier` to receive through; by default
        the one running on ``bus``, else one the MotorBus starts and stops.

    In every method ``motor`` is one of the handles or its motor id. Used as
    a context manager (``with MotorBus(...) as motors:``), it disables on exit
    every motor it knows to be enabled, then closes (:meth:`close`).
    """

    def __init__(self, bus: can.BusABC, motors: Iterable[Damiao], *, notifier: can.Notifier | None = None) -> None:
        # Checked as what a caller may pass, not as what the annotations promise.
        if not isinstance(cast(object, bus), can.BusABC):
            raise TypeError(f"argument 'bus': a python-can bus (can.BusABC) is required, not {type(bus).__name__!r}")
        handles = _handles(motors)
        if not handles:
            raise ValueError("argument 'motors': a MotorBus needs at least one motor")
        if len({id(h) for h in handles}) != len(handles):
            twice = next(h for i, h in enumerate(handles) if h in handles[:i])
            raise ValueError(f"argument 'motors': {twice!r} is given twice")
        _check_ids([(h.motor_id, h.master_id) for h in handles], [repr(h) for h in handles])
        self._bus = bus
        self._stamped = _stamps_on_host_clock(bus)
        self._slots = tuple(_Slot(h) for h in handles)
        self._by_handle: dict[object, _Slot] = {slot.motor: slot for slot in self._slots}
        self._by_id = {slot.motor_id: slot for slot in self._slots}
        self._routes = {_route_key(slot.master_id, slot.motor_id): slot for slot in self._slots}
        self._cycle_timeout = max(slot.timeout for slot in self._slots)
        self._cycle = _Exchange()
        self._lock = threading.Lock()  # guards the slots' exchange state, the frame count and the counters
        self._freed = threading.Condition(self._lock)  # a call gave its motors back
        self._claim_waiters = 0
        self._count = 0  # frames of the motors handed over by the notifier
        self._receiver: int | None = None  # the thread that hands them over
        self._late = 0
        self._strays = 0
        self._closed: str | None = None  # why calls are refused, once closed or no longer fed
        self._notifier: can.Notifier | None
        self._notifier, self._own_notifier = self._attach(bus, notifier)

    def _attach(self, bus: can.BusABC, notifier: can.Notifier | None) -> tuple[can.Notifier, bool]:
        if notifier is not None:
            if not isinstance(cast(object, notifier), can.Notifier):
                raise TypeError(f"argument 'notifier': a can.Notifier is required, not {type(notifier).__name__!r}")
            buses = notifier.bus if isinstance(notifier.bus, tuple | list) else (notifier.bus,)
            if not any(b is bus for b in buses):
                raise ValueError("argument 'notifier': it does not read the bus given as 'bus'")
            if getattr(notifier, "stopped", False):  # python-can 4.6 and later tell
                raise ValueError("argument 'notifier': it has stopped")
            notifier.add_listener(self)
            return notifier, False
        find = getattr(can.Notifier, "find_instances", None)  # python-can 4.6 and later
        running = [n for n in find(bus) if not n.stopped] if find is not None else []
        if running:
            running[0].add_listener(self)
            return running[0], False
        return can.Notifier(bus, [self], timeout=_NOTIFIER_POLL), True

    # --- What the bus holds ---

    @property
    def motors(self) -> tuple[Damiao, ...]:
        """The handles, in the order :meth:`command_all` takes their setpoints."""
        return tuple(slot.motor for slot in self._slots)

    @property
    def notifier(self) -> can.Notifier | None:
        """The notifier the MotorBus receives through (None once closed): add a :class:`can.Logger` to it to record
        the traffic."""
        return self._notifier

    @property
    def late_replies(self) -> int:
        """How many owed replies came after their call had given up (and were dropped)."""
        return self._late

    @property
    def stray_frames(self) -> int:
        """How many frames of the motors came while no call waited for them (and were dropped)."""
        return self._strays

    def _slot(self, motor: Damiao | int, *, stale: bool = False) -> _Slot:
        """The slot of a handle of the bus or of a motor id; refuses stale handles and motors it does not hold."""
        slot = self._by_handle.get(motor) if isinstance(motor, Damiao) else None
        if slot is None:
            if isinstance(motor, int) and not isinstance(motor, bool):
                slot = self._by_id.get(motor)
                if slot is None:
                    raise ValueError(
                        f"no motor of this bus has motor id 0x{motor:x}; its motors: {_names(self.motors)}"
                    )
            elif isinstance(motor, Damiao):
                raise ValueError(
                    f"{motor!r} is not a handle of this bus (handles compare by identity): give one of "
                    f"{_names(self.motors)} or its motor id"
                )
            else:
                raise TypeError(
                    f"argument 'motor': a Damiao handle or a motor id is required, not {type(motor).__name__!r}"
                )
        if slot.successor is not None and not stale:
            raise StaleHandle(slot.motor, slot.successor)
        return slot

    # --- The system commands and the setpoints ---

    def enable(self, motor: Damiao | int, *, check_limits: bool = False) -> MotorState:
        """Enables ``motor``; its reply.

        :param check_limits: first read the motor's PMAX, VMAX and TMAX
            (:meth:`read_limits`) and warn, once per motor, through the logger
            "tervalin_dm.bus" when the handle's limits differ: every MIT
            setpoint and every feedback is then scaled wrongly.
        """
        slot = self._slot(motor)
        if check_limits:
            self._check_limits(slot)
        slot.enabled = True  # the motor may take the frame even if its reply is lost
        if slot.last_status == Status.DISABLED:
            # Statuses are noted when they change: without this, a motor that stays disabled
            # (it did not take the enable, or its reply was lost) would pass for enabled for good.
            slot.last_status = -1
        return self._feedback(slot, _codec.enable(slot.target))

    def disable(self, motor: Damiao | int) -> MotorState:
        """Disables ``motor``; its reply.

        The frame goes out even while the motor owes a reply to an earlier
        frame (a motor must stop when asked): the answer is then the first
        feedback after the send, which may be that owed reply.
        """
        slot = self._slot(motor)
        return self._feedback(slot, _codec.disable(slot.target), force=True)

    def set_zero(self, motor: Damiao | int) -> MotorState:
        """Makes ``motor``'s current position its zero; its reply."""
        slot = self._slot(motor)
        return self._feedback(slot, _codec.set_zero(slot.target))

    def clear_error(self, motor: Damiao | int) -> MotorState:
        """Clears ``motor``'s error status; its reply."""
        slot = self._slot(motor)
        return self._feedback(slot, _codec.clear_error(slot.target))

    def command(self, motor: Damiao | int, setpoint: ControlSetpoint) -> MotorState:
        """Sends ``setpoint`` to ``motor`` and returns its feedback; :class:`NoReply` after its ``timeout_ms``."""
        try:
            slot = self._by_handle.get(motor)
        except TypeError:  # unhashable: not a motor at all
            slot = None
        if slot is None or slot.successor is not None:
            slot = self._slot(motor)
        return self._feedback(slot, _codec.encode(setpoint, slot.motor))

    def command_all(self, setpoints: Sequence[ControlSetpoint]) -> list[MotorState]:
        """One control cycle: ``setpoints[i]`` to ``motors[i]``, all sent, then every reply collected.

        The replies are awaited together until the longest timeout of the
        motors has passed since the last frame was sent. :class:`NoReply`
        names every motor that did not answer, and those that owed an earlier
        reply and were sent nothing; its ``replies`` hold the others' states.
        """
        slots = self._slots
        try:
            count = len(setpoints)
        except TypeError:
            raise TypeError(
                f"argument 'setpoints': command_all takes a sequence of setpoints, one per motor, "
                f"not {type(setpoints).__name__!r}"
            ) from None
        if count != len(slots):
            raise ValueError(f"command_all takes one setpoint per motor: {len(slots)}, not {count}")
        encode = _codec.encode
        try:
            frames = [encode(setpoint, slot.motor) for setpoint, slot in zip(setpoints, slots, strict=True)]
        except TypeError as error:
            index = next(i for i, s in enumerate(setpoints) if type(s) is not ControlSetpoint)
            raise TypeError(
                f"argument 'setpoints': item {index} is not a ControlSetpoint but {type(setpoints[index]).__name__!r}"
            ) from error
        for slot in slots:
            if slot.successor is not None:
                raise StaleHandle(slot.motor, slot.successor)
        replies = self._run(slots, frames, _FEEDBACK, self._cycle, self._cycle_timeout)
        decode = _codec.decode_feedback
        states: list[MotorState] = []
        for slot, data in zip(slots, replies, strict=True):
            state = decode(data, slot.limits)
            if state.error != slot.last_status:
                self._note_status(slot, state)
            states.append(state)
        return states

    def _feedback(self, slot: _Slot, frame: tuple[int, bytes], *, force: bool = False) -> MotorState:
        data = self._run(slot.alone, (frame,), _FEEDBACK, slot.single, slot.timeout, force)[0]
        state = _codec.decode_feedback(data, slot.limits)
        if state.error != slot.last_status:
            self._note_status(slot, state)
        return state

    def _note_status(self, slot: _Slot, state: MotorState) -> None:
        status = slot.last_status = state.error
        if status == Status.ENABLED:
            slot.enabled = True
        elif status == Status.DISABLED:
            slot.enabled = False
        elif is_error(status):
            logger.warning("%r reports %s: %r", slot.motor, describe(status), state)

    # --- The registers ---

    def read_register(self, motor: Damiao | int, register: Register | int | str) -> int | float:
        """The value of ``register`` (a :class:`~tervalin_dm.Register`, its number or name) read from ``motor``.

        The motor answers with the register's value on its master id.
        """
        slot = self._slot(motor)
        return self._register(slot, _read_frame(slot.target, register)).value

    def write_register(self, motor: Damiao | int, register: Register | int | str, value: int | float) -> int | float:
        """Writes ``value`` to ``register`` of ``motor`` and returns the value the motor echoes.

        :raises WriteNotTaken: the motor answered with another value (it
            keeps its own), naming the register and both values.

        A write of ESC_ID or MST_ID moves the motor to other ids, which must
        not clash with the bus's other motors (checked before anything is
        sent). Once the motor confirmed it, the handle is retired: every
        later call with it raises :class:`StaleHandle` naming the handle to
        use instead, except :meth:`save_parameters`, which reaches the motor
        at its new ids and makes the change outlast a power cycle. The echo
        may come from the old or the new ids; both are taken. If no echo
        comes, the handle is retired all the same, since the motor may have
        moved.
        """
        slot = self._slot(motor)
        register = Register.parse(register)
        value = register.check(value)
        motor_id, master_id = slot.motor_id, slot.master_id
        if register is Register.ESC_ID:
            motor_id = int(value)
        elif register is Register.MST_ID:
            master_id = int(value)
        frame = _write_frame(slot.target, register, value)
        if (motor_id, master_id) == (slot.motor_id, slot.master_id):
            reply = self._register(slot, frame)
        else:
            reply = self._move(slot, frame, motor_id, master_id)
        if reply.value != value:
            raise WriteNotTaken(slot.motor, register, value, reply.value)
        return reply.value

    def save_parameters(self, motor: Damiao | int) -> bool:
        """Stores every register of ``motor`` in its flash, so that they outlast a power cycle.

        The motor saves only while disabled: refused with
        :class:`can.CanOperationError` while the bus knows it to be enabled
        (or may have enabled it). A handle retired by an id change is taken
        here, and the save goes to the motor's new ids.

        :returns: True when the motor confirmed the save with its echo; False
            when none came within the timeout (the motor may have saved all
            the same: not every firmware answers a save). The bus then lets
            one more timeout pass, so that a late echo is not taken for the
            answer to the next call.
        """
        slot = self._slot(motor, stale=True)
        if slot.enabled:
            raise can.CanOperationError(
                f"{slot.target!r} may be enabled (an enable was sent and no disabled status seen since): "
                "a motor saves its parameters only while disabled; disable it first"
            )
        try:
            self._register(slot, _save_frame(slot.target))
        except NoReply as error:
            if error.owed:
                raise
            with self._lock:
                wait = slot.owed_until - time.monotonic() if slot.owed is not None else 0.0
            if wait > 0.0:
                time.sleep(min(wait, _LONGEST_WAIT))
            return False
        return True

    def switch_mode(self, motor: Damiao | int, mode: ControlMode | int) -> ControlMode:
        """Writes control mode ``mode`` to ``motor``'s CTRL_MODE register; the mode the motor echoes.

        Only setpoints of the motor's current mode are answered.
        """
        return ControlMode(int(self.write_register(motor, Register.CTRL_MODE, mode)))

    def read_limits(self, motor: Damiao | int) -> MitLimits:
        """The limits ``motor`` scales MIT setpoints and feedback over: its PMAX, VMAX and TMAX.

        kp_max and kd_max are :class:`~tervalin.MitLimits`'s defaults: the
        motor has no register for them.
        """
        slot = self._slot(motor)
        p_max, v_max, t_max = (
            self._register(slot, _read_frame(slot.target, register)).value
            for register in (Register.PMAX, Register.VMAX, Register.TMAX)
        )
        return MitLimits(p_max=p_max, v_max=v_max, t_max=t_max)

    def _check_limits(self, slot: _Slot) -> None:
        """Warns, once per motor, when the handle's limits differ from the motor's."""
        motor = self.read_limits(slot.motor)
        handle = slot.limits
        fields = ("p_max", "v_max", "t_max")
        if slot.limits_warned or all(getattr(motor, f) == getattr(handle, f) for f in fields):
            return
        slot.limits_warned = True
        logger.warning(
            "%r has limits %s, but the motor scales over PMAX=%g, VMAX=%g, TMAX=%g: "
            "its MIT setpoints and feedback are scaled wrongly",
            slot.motor,
            handle,
            motor.p_max,
            motor.v_max,
            motor.t_max,
        )

    def _register(self, slot: _Slot, frame: tuple[int, bytes]) -> RegisterReply:
        """The answer to a register request: the frame that repeats its bytes 0-3."""
        data = self._run(slot.alone, (frame,), bytes(frame[1][:4]), slot.single, slot.timeout)[0]
        reply = decode_register_reply(data)
        assert reply is not None  # the answer repeats the request's command byte
        logger.debug("%r answers %s", slot.target, reply)
        return reply

    def _move(self, slot: _Slot, frame: tuple[int, bytes], motor_id: int, master_id: int) -> RegisterReply:
        """Writes new ids to a motor: takes the echo from its old or new ids, then retires its handle."""
        ids = [(s.motor_id, s.master_id) if s is not slot else (motor_id, master_id) for s in self._slots]
        _check_ids(ids, [repr(s.motor) if s is not slot else f"{slot.motor!r} at its new ids" for s in self._slots])
        request = frame[1]
        expect = (bytes(request[:4]), motor_id.to_bytes(2, "little") + bytes(request[2:4]))
        old_route = _route_key(slot.master_id, slot.motor_id)
        new_route = _route_key(master_id, motor_id)
        with self._lock:
            self._routes[new_route] = slot
        reply: RegisterReply | None = None
        try:
            reply = decode_register_reply(self._run(slot.alone, (frame,), expect, slot.single, slot.timeout)[0])
        finally:
            # Unless it answered that it kept its ids, the motor may be at the new ones.
            kept = reply is not None and reply.value != request[4] | request[5] << 8
            successor = None if kept else Damiao(motor_id, master_id, slot.limits, timeout_ms=round(slot.timeout_ms))
            with self._lock:
                if successor is None:
                    if new_route != old_route:
                        del self._routes[new_route]
                else:
                    if new_route != old_route:
                        del self._routes[old_route]
                    slot.motor_id, slot.master_id = motor_id, master_id
                    slot.target = slot.successor = successor
                    self._by_id[motor_id] = slot
            if successor is not None:
                logger.warning("%s", StaleHandle(slot.motor, successor))
        assert reply is not None  # the answer repeats the request's command byte
        return reply

    # --- The exchange ---

    def _run(
        self,
        slots: Sequence[_Slot],
        frames: Sequence[tuple[int, bytes]],
        expect: bytes | tuple[bytes, ...],
        exchange: _Exchange,
        timeout: float,
        force: bool = False,
    ) -> list[bytearray]:
        """Sends frames[i] to slots[i] and returns the answers, each starting with `expect`.

        A motor that owes a reply is sent nothing, unless `force`. Raises
        NoReply or SendFailed when any answer is missing, after the others
        have been collected.
        """
        if self._closed is not None:
            raise can.CanOperationError(self._closed)
        if get_ident() == self._receiver:
            raise RuntimeError(
                "a MotorBus call from the thread that hands it frames (a listener's callback) would wait for a "
                "reply only that thread can deliver: call from another thread"
            )
        lock = self._lock
        replies: list[bytearray | None] = [None] * len(slots)
        left_out: list[_Slot] | None = None
        failed: list[tuple[_Slot, BaseException]] | None = None
        claimed = False
        try:
            with lock:
                # Claiming all of a call's motors at once, or none, keeps two
                # calls from each holding a motor the other waits for.
                if not self._all_free(slots):
                    self._wait_turn(slots)
                if self._closed is not None:  # closed while the call waited for its turn
                    self._freed.notify_all()  # the calls queued behind it end too
                    raise can.CanOperationError(self._closed)
                claimed = True
                now = time.monotonic()
                waiting = 0
                for slot in slots:
                    slot.busy = exchange
                    if slot.owed is not None:
                        if now < slot.owed_until and not force:
                            left_out = [] if left_out is None else left_out
                            left_out.append(slot)
                            continue
                        slot.owed = None
                    slot.reply = None
                    slot.sent_at = _NEVER
                    slot.exchange = exchange
                    slot.expect = expect
                    waiting += 1
                exchange.missing = waiting
            send = self._bus.send
            stamped = self._stamped
            # The sends of one call share its timeout: a blocked transmit path
            # costs a cycle one timeout, not one for each of its motors.
            sending = 0.0  # s spent in the call's earlier sends
            for slot, (can_id, data) in zip(slots, frames, strict=True):
                if slot.expect is None:
                    continue
                message = can.Message(arbitration_id=can_id, data=data, is_extended_id=False)
                if stamped:
                    slot.sent_time = time.time()
                slot.sent_at = self._count
                started = time.monotonic()
                try:
                    send(message, slot.timeout if sending == 0.0 else min(slot.timeout, max(timeout - sending, 0.0)))
                except can.CanError as error:
                    failed = [] if failed is None else failed
                    failed.append((slot, error))
                    self._withdraw(slot, exchange)
                sending += time.monotonic() - started
            if logger.isEnabledFor(logging.DEBUG):
                sent = (
                    f"{slot.motor!r}: {can_id:03x}#{data.hex()}"
                    for slot, (can_id, data) in zip(slots, frames, strict=True)
                )
                logger.debug("sent %s", ", ".join(sent))
            if waiting:
                # The answers are awaited until `timeout` after the last send.
                exchange.gate.acquire(True, timeout)
        finally:
            if claimed:
                with lock:
                    now = time.monotonic()
                    for i, slot in enumerate(slots):
                        if slot.busy is not exchange:
                            continue
                        if slot.expect is not None:
                            replies[i] = slot.reply
                            if slot.reply is None and slot.sent_at != _NEVER:
                                slot.owed = slot.expect
                                slot.owed_until = now + slot.timeout
                        slot.expect = None
                        slot.exchange = None
                        slot.reply = None
                        slot.busy = None
                    if self._claim_waiters:
                        self._freed.notify_all()
                exchange.gate.acquire(False)  # takes the gate back if the last answer came after the wait ended
        if failed is not None or left_out is not None or None in replies:
            self._raise_missing(slots, replies, expect, left_out or (), failed or ())
        return cast(list[bytearray], replies)

    def _all_free(self, slots: Sequence[_Slot]) -> bool:
        """Whether no call has or waits for any of `slots` (called holding the lock)."""
        for slot in slots:
            if slot.busy is not None or slot.queue:
                return False
        return True

    def _wait_turn(self, slots: Sequence[_Slot]) -> None:
        """Waits, holding the lock, until the call is the first waiting for each of `slots` and they are free.

        First come, first served: a thread that gives a motor back and calls
        again at once would otherwise take it before a waiting thread wakes,
        and could keep it from that thread for good. The calls queued on the
        motors in the order they came, so the earliest call of all always has
        its turn once its motors are free, and none waits for a later one.
        """
        ticket = object()
        for slot in slots:
            slot.queue.append(ticket)
        self._claim_waiters += 1
        try:
            while not all(slot.busy is None and slot.queue[0] is ticket for slot in slots):
                self._freed.wait()
        except BaseException:
            self._freed.notify_all()  # the calls queued behind this one may have their turn now
            raise
        finally:
            self._claim_waiters -= 1
            for slot in slots:
                slot.queue.remove(ticket)

    def _withdraw(self, slot: _Slot, exchange: _Exchange) -> None:
        """Stops waiting for a motor whose frame did not go out."""
        with self._lock:
            slot.expect = None
            slot.sent_at = _NEVER
            if slot.reply is not None:
                # Answered before the send failed (a bus may deliver a frame and still report a
                # failure): that answer was counted already, and counting the motor again
                # would end the wait before the others' answers came.
                slot.reply = None
                return
            exchange.missing -= 1
            if exchange.missing == 0:
                exchange.gate.release()

    def _raise_missing(
        self,
        slots: Sequence[_Slot],
        replies: list[Any],
        expect: bytes | tuple[bytes, ...],
        left_out: Sequence[_Slot],
        failed: Sequence[tuple[_Slot, BaseException]],
    ) -> None:
        if expect is _FEEDBACK:
            for i, (slot, data) in enumerate(zip(slots, replies, strict=True)):
                if data is not None:
                    replies[i] = _codec.decode_feedback(data, slot.limits)
        if self._closed is not None:
            raise can.CanOperationError(self._closed)
        if failed:
            raise SendFailed([s.motor for s, _ in failed], [e for _, e in failed], replies) from failed[0][1]
        notifier_error = self._notifier_error()
        if notifier_error is not None:
            raise can.CanOperationError(f"the notifier stopped receiving: {notifier_error}") from notifier_error
        missing = [slot.motor for slot, reply in zip(slots, replies, strict=True) if reply is None]
        timeout_ms = max(slot.timeout_ms for slot in slots)
        error = NoReply(missing, timeout_ms, replies, owed=[s.motor for s in left_out])
        logger.debug("%s", error)
        raise error

    def _notifier_error(self) -> BaseException | None:
        """The error that stopped the notifier's thread, or None while it still receives.

        python-can keeps the last error of that thread in ``exception`` also when a
        listener handled it and the thread went on: then the answers are just missing.
        """
        notifier = self._notifier
        error = getattr(notifier, "exception", None)
        # The reader threads are python-can's own (no public way to ask): without them, the error is reported.
        readers = getattr(notifier, "_readers", None)
        if error is not None and readers and all(isinstance(r, threading.Thread) for r in readers):
            return None if any(r.is_alive() for r in readers) else error
        return error

    # --- Receiving: called by the notifier's thread ---

    def on_message_received(self, msg: can.Message) -> None:
        """Hands a frame of a motor to the call waiting for it (python-can's notifier calls this)."""
        data = msg.data
        if msg.is_extended_id or msg.is_remote_frame or msg.is_error_frame or msg.is_fd or len(data) != 8:
            return
        if not msg.is_rx:
            return  # a frame this host sent, seen with receive_own_messages
        slot = self._routes.get(_route_key(msg.arbitration_id, data[0]))
        if slot is None:
            return
        with self._lock:
            self._receiver = get_ident()
            self._count = count = self._count + 1
            expect = slot.expect
            if (
                expect is not None
                and slot.sent_at < count
                and slot.reply is None
                and data.startswith(expect)
                # The interface received it before the frame went out, though it was handed over after.
                and (msg.timestamp >= slot.sent_time or not msg.timestamp)
            ):
                slot.reply = data
                exchange = slot.exchange
                if exchange is not None:
                    exchange.missing -= 1
                    if exchange.missing == 0:
                        exchange.gate.release()
                return
            late = False
            if expect is None and slot.owed is not None and data.startswith(slot.owed):
                slot.owed = None
                late = time.monotonic() < slot.owed_until
            if late:
                self._late += 1
            else:
                self._strays += 1
        if logger.isEnabledFor(logging.DEBUG):
            logger.debug(
                "%s of %r dropped: %03x#%s",
                "late reply" if late else "stray frame",
                slot.motor,
                msg.arbitration_id,
                bytes(data).hex(),
            )

    def stop(self) -> None:
        """Called by the notifier when it stops: calls waiting for answers and later calls raise at once."""
        self._end("the MotorBus's notifier has stopped: no answer can reach it")

    def _end(self, why: str) -> None:
        """Refuses later calls with `why`, and ends the waits of the calls in flight: no answer can come now."""
        with self._lock:
            if self._closed is None:
                self._closed = why
            for slot in self._slots:
                exchange = slot.exchange
                if exchange is not None and exchange.missing > 0:
                    exchange.missing = 0
                    exchange.gate.release()

    # --- Closing ---

    def close(self) -> None:
        """Stops receiving: removes the MotorBus from its notifier, and stops the notifier if it started it.

        Motors are left as they are (the context manager disables them
        first); the python-can bus stays open.
        """
        if self._closed is not None and self._notifier is None:
            return
        notifier, self._notifier = self._notifier, None
        self._closed = "the MotorBus is closed"
        self._end(self._closed)
        if notifier is None:
            return
        if self._own_notifier:
            notifier.stop()
        elif self in notifier.listeners:
            notifier.remove_listener(self)

    def disable_all(self) -> None:
        """Disables every motor the bus knows to be enabled, or may have enabled, in one cycle.

        Every disable goes out before any answer is awaited, so a silent motor
        holds up no other motor's stop. Raises :class:`NoReply` or
        :class:`SendFailed` naming the motors that did not answer.
        """
        slots = [slot for slot in self._slots if slot.enabled]
        if not slots:
            return
        frames = [_codec.disable(slot.target) for slot in slots]
        timeout = max(slot.timeout for slot in slots)
        try:
            replies = self._run(slots, frames, _FEEDBACK, _Exchange(), timeout, force=True)
        except (NoReply, SendFailed) as error:
            logger.warning("could not disable every motor: %s", error)
            self._note_states(slots, error.replies)
            raise
        self._note_states(
            slots, [_codec.decode_feedback(data, s.limits) for s, data in zip(slots, replies, strict=True)]
        )

    def _note_states(self, slots: Sequence[_Slot], states: Sequence[object]) -> None:
        for slot, state in zip(slots, states, strict=True):
            if isinstance(state, MotorState) and state.error != slot.last_status:
                self._note_status(slot, state)

    def __enter__(self) -> "MotorBus":
        return self

    def __exit__(self, exc_type: object, exc: BaseException | None, traceback: object) -> None:
        """Disables every motor the bus knows to be enabled, then closes; the python-can bus stays open."""
        try:
            if self._closed is None:
                self.disable_all()
        except (can.CanError, TimeoutError):
            if exc is None:
                raise
        finally:
            self.close()
