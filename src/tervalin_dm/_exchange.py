"""Register reads of motors whose master id is not known yet.

A motor answers a register read on its master id, which is what a scan is
looking for, so the answer is taken on whatever standard id it comes: a frame
is the answer when its bytes 0-3 are the motor id, the read command and the
register of the one read pending. Only one read is pending at a time, so an
answer that comes after its read gave up is never taken for another one (a
later read of the same motor and register could still take it; a scan reads
each pair once).
"""

import threading
from collections.abc import Generator
from contextlib import contextmanager

import can

from tervalin_dm import Register, RegisterCommand, decode_register_reply, read_register

__all__ = ["RegisterReader", "listening"]


class RegisterReader(can.Listener):
    """A `can.Listener` that takes the answer to the register read it sent last, on any standard id."""

    def __init__(self, bus: can.BusABC) -> None:
        self.bus = bus
        self._lock = threading.Lock()
        self._answered = threading.Event()
        self._pending: tuple[int, int] | None = None  # (motor id, register) of the read in flight
        self._answer: tuple[int, int | float] | None = None  # (the id it came on, the value)
        self._request_id = -1  # where reads go: their echo there (own frames, another host's read) is no answer

    def on_message_received(self, msg: can.Message) -> None:
        if (
            msg.is_extended_id
            or msg.is_remote_frame
            or msg.is_error_frame
            or msg.is_fd
            or not msg.is_rx
            or msg.arbitration_id == self._request_id
        ):
            return
        reply = decode_register_reply(msg.data)
        if reply is None or reply.command != RegisterCommand.READ:
            return
        with self._lock:
            if self._answer is None and self._pending == (reply.motor_id, int(reply.register)):
                self._answer = (msg.arbitration_id, reply.value)
                self._answered.set()

    def read(self, motor_id: int, register: Register, timeout: float) -> tuple[int, int | float] | None:
        """Reads `register` of motor `motor_id`: (the id the answer came on, the value), None after `timeout` s."""
        can_id, data = read_register(motor_id, register)
        with self._lock:
            self._request_id = can_id
            self._pending = (motor_id, int(register))
            self._answer = None
            self._answered.clear()
        try:
            self.bus.send(can.Message(arbitration_id=can_id, data=data, is_extended_id=False), timeout=timeout)
            self._answered.wait(timeout)
            with self._lock:
                return self._answer
        finally:
            with self._lock:
                self._pending = None


@contextmanager
def listening(bus: can.BusABC, notifier: can.Notifier | None) -> Generator[RegisterReader]:
    """A `RegisterReader` on `notifier`, or on a notifier of its own that is stopped (its thread joined) at exit."""
    reader = RegisterReader(bus)
    if notifier is None:
        own = can.Notifier(bus, [reader], timeout=0.05)
        try:
            yield reader
        finally:
            own.stop()
    else:
        notifier.add_listener(reader)
        try:
            yield reader
        finally:
            notifier.remove_listener(reader)
