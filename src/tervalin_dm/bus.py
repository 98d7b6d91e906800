"""Damiao motors on a CAN bus through python-can.

`MotorBus` wraps a `can.BusABC` (SocketCAN, PCAN, slcan, gs_usb, virtual, ...)
and the `Damiao` handles of the motors on it. Every command is one frame to
the motor, answered by one feedback frame on the handle's master id; each
call sends, waits for that answer at most the handle's `timeout_ms` and
returns it as a `MotorState`.

Replies are told apart by what the protocol gives: a reply is a classic
standard frame of 8 data bytes on the motor's master id whose first byte
carries the motor id's low four bits. Frames of other motors, on other ids,
extended, remote, error frames and frames of another length are never taken
as a reply. The protocol has no sequence numbers, so a reply that comes after
its command timed out could pass for the answer to the next command; the bus
prevents that: a motor whose reply is missing owes it for one more of its
timeouts, and the next command to that motor is sent only once the owed reply
has come (it is then discarded and counted in `late_replies`) or that time
has passed. Frames that wait in the receive queue before a command is sent
are read and dropped first, so nothing received earlier answers it.

A reply whose status is a fault is returned like any other (check
`state.error`, see `tervalin_dm.Status`); the first reply of a motor with a
fault code, and the first after the code changed, is logged at WARNING
through the logger "tervalin_dm.bus".

Threads: every method may be called from any thread. Calls for different
motors run concurrently and do not delay each other; calls that involve the
same motor (`command_all` involves all of them) run one after the other, the
later one's timeout starting when its frame is sent. One thread at a time
receives from the python-can bus and hands each reply to the thread that
waits for it, so nothing is lost to another thread or taken twice. Sends are
serialised by the MotorBus. Nothing else may receive from the python-can bus
while a MotorBus uses it (no `can.Notifier` on it): the MotorBus reads and
consumes every frame.
"""

import logging
import threading
import time
from collections.abc import Callable, Iterable, Sequence

import can

from tervalin import ControlSetpoint, Damiao, MitLimits, MotorState
from tervalin_dm import _codec
from tervalin_dm._status import describe, is_error

__all__ = ["MotorBus", "NoReply"]

logger = logging.getLogger("tervalin_dm.bus")


class NoReply(TimeoutError):
    """No feedback came from `motors` within `timeout_ms`; `replies` holds what did come, in call order."""

    def __init__(self, motors: Sequence[Damiao], timeout_ms: float, replies: Sequence[MotorState | None]) -> None:
        names = ", ".join(repr(m) for m in motors)
        super().__init__(f"no reply from {names} within {timeout_ms:g} ms")
        self.motors = tuple(motors)
        self.timeout_ms = timeout_ms
        self.replies = tuple(replies)


class _Exchange:
    """The replies one call still waits for."""

    __slots__ = ("missing",)

    def __init__(self, missing: int) -> None:
        self.missing = missing


class _Slot:
    """What the bus keeps for one motor: its scaling, its timeout and the state of its exchange."""

    __slots__ = ("motor", "limits", "timeout", "lock", "waiting", "reply", "owed_until", "last_status")

    def __init__(self, motor: Damiao) -> None:
        self.motor = motor
        self.limits: MitLimits = _codec.limits_of(motor)
        self.timeout = _codec.timeout_of(motor)
        self.lock = threading.Lock()  # held for the whole of an exchange with the motor
        # Guarded by the bus's condition:
        self.waiting: _Exchange | None = None
        self.reply: MotorState | None = None
        self.owed_until = 0.0  # time.monotonic() until which a missing reply may still come
        self.last_status = -1  # the status of the last reply returned, for logging faults once


class MotorBus:
    """The motors of `motors` (Damiao handles) on the python-can bus `bus`, which the MotorBus does not close."""

    def __init__(self, bus: can.BusABC, motors: Iterable[Damiao]) -> None:
        self._bus = bus
        self._slots = tuple(_Slot(m) for m in motors)
        if not self._slots:
            raise ValueError("a MotorBus needs at least one motor")
        self._slot_of: dict[Damiao, _Slot] = {}
        self._routes: dict[tuple[int, int], _Slot] = {}
        for slot in self._slots:
            motor = slot.motor
            if motor in self._slot_of:
                raise ValueError(f"{motor!r} is given twice")
            for other in self._slots:
                if other.motor is not motor and other.motor.motor_id == motor.motor_id:
                    raise ValueError(f"{other.motor!r} and {motor!r} have the same motor id")
            route = (motor.master_id, motor.motor_id & 0xF)
            if route in self._routes:
                raise ValueError(f"{self._routes[route].motor!r} and {motor!r} both answer on master id "
                                 f"0x{route[0]:x} with motor id 0x{route[1]:x} in their feedback")
            self._slot_of[motor] = slot
            self._routes[route] = slot
        self._condition = threading.Condition()
        self._reading = False  # one thread at a time receives, guarded by the condition
        self._send_lock = threading.Lock()
        self._late = 0

    @property
    def motors(self) -> tuple[Damiao, ...]:
        """The handles, in the order `command_all` takes their setpoints."""
        return tuple(slot.motor for slot in self._slots)

    @property
    def late_replies(self) -> int:
        """How many replies came after their command had timed out (and were discarded)."""
        return self._late

    def enable(self, motor: Damiao) -> MotorState:
        """Enables `motor`; its reply."""
        return self._exchange_one(motor, _codec.enable(motor))

    def disable(self, motor: Damiao) -> MotorState:
        """Disables `motor`; its reply."""
        return self._exchange_one(motor, _codec.disable(motor))

    def set_zero(self, motor: Damiao) -> MotorState:
        """Makes `motor`'s current position its zero; its reply."""
        return self._exchange_one(motor, _codec.set_zero(motor))

    def clear_error(self, motor: Damiao) -> MotorState:
        """Clears `motor`'s error status; its reply."""
        return self._exchange_one(motor, _codec.clear_error(motor))

    def switch_mode(self, motor: Damiao, mode: int) -> MotorState:
        """Writes control mode `mode` (1 MIT, 2 POS_VEL, 3 VEL, 4 FORCE_POS) to `motor`'s register 10; its reply."""
        return self._exchange_one(motor, _codec.write_control_mode(motor, mode))

    def command(self, motor: Damiao, setpoint: ControlSetpoint) -> MotorState:
        """Sends `setpoint` to `motor` and returns its feedback; `NoReply` (a TimeoutError) after its timeout_ms."""
        return self._exchange_one(motor, _codec.encode(setpoint, motor))

    def command_all(self, setpoints: Sequence[ControlSetpoint]) -> list[MotorState]:
        """One control cycle: setpoints[i] to motors[i], all sent, then every reply collected.

        The replies are awaited together until the longest timeout of the
        motors has passed since the last frame was sent. `NoReply` (a
        TimeoutError) names every motor that did not answer in that time.
        """
        slots = self._slots
        if len(setpoints) != len(slots):
            raise ValueError(f"command_all takes one setpoint per motor: {len(slots)}, not {len(setpoints)}")
        frames = [_codec.encode(setpoint, slot.motor) for setpoint, slot in zip(setpoints, slots)]
        return self._exchange(slots, frames)

    # --- The exchange ---

    def _exchange_one(self, motor: Damiao, frame: tuple[int, bytes]) -> MotorState:
        slot = self._slot_of.get(motor)
        if slot is None:
            raise ValueError(f"{motor!r} is not a motor of this bus")
        return self._exchange((slot,), (frame,))[0]

    def _exchange(self, slots: Sequence[_Slot], frames: Sequence[tuple[int, bytes]]) -> list[MotorState]:
        for slot in slots:  # always in the bus's order, so two exchanges never wait for each other's lock
            slot.lock.acquire()
        try:
            self._settle(slots)
            self._drain()
            condition = self._condition
            exchange = _Exchange(len(slots))
            with condition:
                for slot in slots:
                    slot.reply = None
                    slot.waiting = exchange
            sent = 0
            try:
                messages = [can.Message(arbitration_id=can_id, data=data, is_extended_id=False)
                            for can_id, data in frames]
                with self._send_lock:
                    for message in messages:
                        self._bus.send(message)
                        sent += 1
                deadline = time.monotonic() + max(slot.timeout for slot in slots)
                with condition:
                    self._receive_until(lambda: exchange.missing == 0, deadline)
                    replies = [slot.reply for slot in slots]
            finally:
                with condition:
                    for slot in slots[:sent]:
                        if slot.reply is None:
                            slot.owed_until = time.monotonic() + slot.timeout
                    for slot in slots:
                        slot.waiting = None
        finally:
            for slot in slots:
                slot.lock.release()
        states: list[MotorState] = []
        for slot, reply in zip(slots, replies):
            if reply is None:
                timeout_ms = max(s.timeout for s in slots) * 1000
                raise NoReply([s.motor for s, r in zip(slots, replies) if r is None], timeout_ms, replies)
            self._note_status(slot, reply)
            states.append(reply)
        return states

    def _note_status(self, slot: _Slot, state: MotorState) -> None:
        status = state.error
        if status != slot.last_status:
            slot.last_status = status
            if is_error(status):
                logger.warning("%r reports %s (0x%x): %r", slot.motor, describe(status), status, state)

    def _settle(self, slots: Sequence[_Slot]) -> None:
        """Waits until every owed reply of `slots` has come or may no longer come."""
        with self._condition:
            owed = [slot for slot in slots if slot.owed_until > 0.0]
            if not owed:
                return
            deadline = max(slot.owed_until for slot in owed)
            self._receive_until(lambda: all(slot.owed_until <= time.monotonic() for slot in owed), deadline)
            for slot in owed:
                slot.owed_until = 0.0

    def _drain(self) -> None:
        """Reads and routes what waits in the receive queue, unless another thread is receiving anyway."""
        with self._condition:
            if self._reading:
                return
            self._reading = True
        try:
            while (message := self._bus.recv(0.0)) is not None:
                with self._condition:
                    self._route(message)
        finally:
            with self._condition:
                self._reading = False
                self._condition.notify_all()

    def _receive_until(self, done: Callable[[], bool], deadline: float) -> None:
        """Receives and routes frames until done() or the deadline; called with the condition held."""
        condition = self._condition
        reader = False
        try:
            while not done():
                remaining = deadline - time.monotonic()
                if remaining <= 0.0:
                    return
                if reader or not self._reading:
                    reader = self._reading = True
                    condition.release()
                    try:
                        message = self._bus.recv(remaining)
                    finally:
                        condition.acquire()
                    if message is not None:
                        self._route(message)
                else:
                    condition.wait(remaining)
        finally:
            if reader:
                self._reading = False
                condition.notify_all()

    def _route(self, message: can.Message) -> None:
        """Hands a received frame to the motor that sent it, if it is a reply; called with the condition held."""
        data = message.data
        if (message.is_extended_id or message.is_remote_frame or message.is_error_frame or message.is_fd
                or len(data) != 8):
            return
        slot = self._routes.get((message.arbitration_id, _codec.feedback_motor_id(data)))
        if slot is None:
            return
        exchange = slot.waiting
        if exchange is not None:
            if slot.reply is None:
                slot.reply = _codec.decode_feedback(data, slot.limits)
                exchange.missing -= 1
                if exchange.missing == 0:
                    self._condition.notify_all()
        elif slot.owed_until > 0.0:
            slot.owed_until = -1.0  # paid: the settle wait ends
            self._late += 1
            self._condition.notify_all()
            logger.debug("late reply from %r discarded: %s", slot.motor, bytes(data).hex())


