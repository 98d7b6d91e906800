"""A simulated Damiao motor on a python-can bus, for tests without hardware.

.. code-block:: python

    import can
    from tervalin import Damiao
    from tervalin_dm.sim import SimulatedMotor

    motor = Damiao(1, 0x11)
    with can.Bus(interface="virtual", channel="test") as wire, SimulatedMotor(wire, motor):
        ...  # talk to motor 1 on another can.Bus(interface="virtual", channel="test")

It models the protocol (feedback, the register file and its exchanges), not a
real motor's physics (see `SimulatedMotor`).
"""

import logging
import math
import threading
from typing import Final

try:
    import can
except ImportError as _missing:
    raise ImportError(
        "tervalin_dm.sim needs python-can: install tervalin with the can extra (pip install 'tervalin[can]')",
        name=_missing.name,
    ) from _missing

from tervalin import ControlSetpoint, Damiao, MitLimits, MitSetpoint

from tervalin_dm import _codec
from tervalin_dm._status import Status
from tervalin_dm.registers import ControlMode, Register, RegisterCommand

__all__ = ["SimulatedMotor"]

logger = logging.getLogger(__name__)

# The kinds of command the codec reads, by the control mode they belong to.
_MODE_OF_COMMAND: Final = {mode.name.lower(): mode for mode in ControlMode}
_MOTOR_ID_MASK: Final = _codec.feedback_motor_id_mask
_MAX_ID: Final = _codec.max_standard_id
_STATUS_CODES: Final = range(_MOTOR_ID_MASK + 1)  # the four bits of byte 0 a status takes
# The registers the handle is made of: ids and the ranges of the MIT command and the feedback.
_HANDLE_REGISTERS: Final = (Register.ESC_ID, Register.MST_ID, Register.PMAX, Register.VMAX, Register.TMAX)

# The notifiers that simulated motors started, by the bus they read, and the
# motors each serves: a bus object has one notifier, shared by every
# simulated motor on it, and stopped with the last one.
_notifiers_lock = threading.Lock()
_started: dict[int, tuple[can.Notifier, list["SimulatedMotor"]]] = {}


def _expect(name: str, value: object, kind: type, wanted: str, *, none: bool = False) -> None:
    if not isinstance(value, kind) and not (none and value is None):
        raise TypeError(f"{name} must be {wanted}, not {type(value).__name__}")


def _real(name: str, value: object, *, positive: bool) -> float:
    if isinstance(value, bool) or not isinstance(value, int | float):
        raise TypeError(f"{name} must be a real number, not {type(value).__name__}")
    number = float(value)
    if not math.isfinite(number) or number < 0 or (positive and number == 0):
        wanted = "finite and > 0" if positive else "finite and >= 0"
        raise ValueError(f"{name} must be {wanted}, not {value!r}")
    return number


def _code(name: str, value: object, codes: range) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value not in codes:
        raise ValueError(f"{name} must be in {codes.start}..{codes.stop - 1}, not {value!r}")
    return int(value)


class SimulatedMotor(can.Listener):
    """One motor with the `Damiao` handle `motor`, answering on the python-can bus `bus`.

    It answers as a motor does, with frames made by the codec:

    - a system command or a command of the current control mode, addressed to
      its motor id: one feedback frame on its master id (over the limits
      PMAX/VMAX/TMAX of its registers); commands of another mode are ignored
      with no answer;
    - a register read or write of its motor id (on 0x7FF): the echo on its
      master id, with the register's value after the operation. A write of a
      read-only register, of a value out of the register's range, or of
      limits ``MitLimits`` refuses leaves the register as it was (the echo
      shows the old value); a register the map does not have gets no answer;
    - a save: the echo (byte 2 0xAA) while disabled; ignored while enabled.

    A written CTRL_MODE, MST_ID or ESC_ID takes effect after its echo: the
    motor then takes commands of the new mode, answers on the new master id,
    or listens on the new motor id. Frames for other motors are ignored.

    The register file `registers` (a dict by `Register`, values by the
    register's type) starts with MST_ID, ESC_ID and PMAX/VMAX/TMAX from the
    handle, CTRL_MODE 1 (MIT), GR 1.0, and 0 in every other register. `saved`
    holds the registers as last saved (None before any save).

    State: `enabled`, `mode` (a `ControlMode`), `setpoint` (the last command of
    the current mode as a `ControlSetpoint`, or None), `position`,
    `velocity`, `torque`, `t_mos` and `t_rotor`.

    Dynamics, advanced by `step` seconds at each command before the answer
    (one control period per command, so a run is the same every time):
    one inertia `inertia` (kg·m²) with viscous friction `friction`
    (N·m·s/rad), accelerated by the torque, which is held within ±TMAX.

    - MIT: torque = kp·(q - position) + kd·(dq - velocity) + tau.
    - VEL: the velocity becomes the target; POS_VEL and FORCE_POS: the
      position moves towards the target at no more than the velocity
      (limit) given. The torque reported is the one that motion takes.
    - Disabled: no torque; the rotor coasts against the friction.

    `set_zero` makes the current position 0. For tests of faults and
    timeouts: `silent = True` stops every answer (the frames are still
    taken in), and `fault = Status.OVERLOAD` (any code 0 to 15) reports that
    status in place of ENABLED/DISABLED until a clear_error command or
    `fault = None`.

    Use it as a context manager (or `start()`/`stop()`). It listens through
    `notifier` when one is given (python-can's idiom: one notifier reads a
    bus for every listener, a `can.Logger` beside the motors, say); otherwise
    it starts one on `bus`, shared by every simulated motor started on that
    bus object. `answer(message)` gives the reply to one frame without any
    bus (`bus` may then be None). At DEBUG, the logger ``tervalin_dm.sim``
    tells what the motor ignored or refused and what changed.

    :raises TypeError: for arguments of the wrong type (naming them)
    :raises ValueError: for ``inertia`` or ``step`` not finite and > 0, ``friction``
        not finite and >= 0, temperatures not in 0..255
    """

    def __init__(
        self,
        bus: can.BusABC | None,
        motor: Damiao,
        *,
        notifier: can.Notifier | None = None,
        inertia: float = 0.002,
        friction: float = 0.01,
        step: float = 0.001,
        t_mos: int = 30,
        t_rotor: int = 32,
    ) -> None:
        _expect("bus", bus, can.BusABC, "a can.BusABC or None", none=True)
        _expect("motor", motor, Damiao, "a tervalin.Damiao")
        _expect("notifier", notifier, can.Notifier, "a can.Notifier or None", none=True)
        if notifier is not None and bus is None:
            raise ValueError("notifier needs the bus it reads, to answer on")
        self.bus = bus
        self.motor = motor
        self.inertia = _real("inertia", inertia, positive=True)
        self.friction = _real("friction", friction, positive=False)
        self.step = _real("step", step, positive=True)
        self.t_mos = _code("t_mos", t_mos, range(256))
        self.t_rotor = _code("t_rotor", t_rotor, range(256))
        self.enabled = False
        self.mode = ControlMode.MIT
        self.setpoint: ControlSetpoint | None = None
        self.position = 0.0
        self.velocity = 0.0
        self.torque = 0.0
        self.silent = False
        self._fault: int | None = None
        self.received = 0  # commands taken in (frames of another mode are not)
        self._limits: MitLimits = _codec.limits_of(motor)
        self.registers: dict[Register, int | float] = {register: register.type(0) for register in Register}
        self.registers.update(
            {
                Register.MST_ID: motor.master_id,
                Register.ESC_ID: motor.motor_id,
                Register.CTRL_MODE: int(self.mode),
                Register.GR: 1.0,
                Register.PMAX: self._limits.p_max,
                Register.VMAX: self._limits.v_max,
                Register.TMAX: self._limits.t_max,
            }
        )
        self.saved: dict[Register, int | float] | None = None
        self._target: tuple[float, ...] = ()
        self._lock = threading.Lock()
        self._user_notifier = notifier
        self._notifier: can.Notifier | None = None

    @property
    def fault(self) -> int | None:
        """The status reported in place of ENABLED/DISABLED, or None."""
        return self._fault

    @fault.setter
    def fault(self, code: int | None) -> None:
        self._fault = None if code is None else _code("fault", code, _STATUS_CODES)

    # --- On the bus ---

    def start(self) -> None:
        """Starts answering frames on the bus.

        :raises ValueError: when made without a bus, or when `bus` is read by a
            notifier it was not given (python-can allows one per bus)
        """
        if self.bus is None:
            raise ValueError("a SimulatedMotor made without a bus only answers through answer()")
        with _notifiers_lock:
            if self._notifier is not None:
                return
            if self._user_notifier is not None:
                self._user_notifier.add_listener(self)
                self._notifier = self._user_notifier
                return
            shared = _started.get(id(self.bus))
            if shared is not None:
                shared[0].add_listener(self)
                shared[1].append(self)
                self._notifier = shared[0]
                return
            try:
                notifier = can.Notifier(self.bus, [self], timeout=0.05)
            except ValueError as error:
                raise ValueError(
                    f"{self.bus!r} is read by a can.Notifier already: pass it as SimulatedMotor(..., notifier=)"
                ) from error
            _started[id(self.bus)] = (notifier, [self])
            self._notifier = notifier

    def stop(self) -> None:
        """Stops answering; a notifier it started stops with the last motor it serves.

        A `can.Notifier` calls this on each of its listeners when it stops.
        """
        with _notifiers_lock:
            notifier, self._notifier = self._notifier, None
            if notifier is None:
                return
            # A new list, not a removal: the notifier may be iterating the old
            # one (its own stop() calls this), and a removal would make it skip
            # the next listener.
            notifier.listeners = [listener for listener in notifier.listeners if listener is not self]
            shared = _started.get(id(self.bus))
            last = shared is not None and shared[0] is notifier and shared[1] == [self]
            if shared is not None and shared[0] is notifier:
                shared[1].remove(self)
                if last:
                    del _started[id(self.bus)]
        if last:
            notifier.stop()

    def __enter__(self) -> "SimulatedMotor":
        self.start()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    def on_message_received(self, msg: can.Message) -> None:
        # An exception here would end the notifier's thread, and with it
        # every listener on the bus: it is logged instead.
        try:
            reply = self.answer(msg)
            if reply is not None and self.bus is not None:
                self.bus.send(reply)
        except Exception:
            logger.exception("%r failed to answer %s", self, msg)

    def on_error(self, exc: Exception) -> None:
        """Logs an error of the notifier's thread (another listener's or the bus's), which then
        goes on serving every listener; unless the bus was shut down, when it ends as python-can ends it."""
        # A shut-down bus fails every receive at once: going on would spin the
        # notifier's thread and log for good. NotImplementedError tells python-can
        # that this listener does not handle the error.
        if getattr(self.bus, "_is_shutdown", False):
            raise NotImplementedError
        logger.error("error on the bus of %r, the simulated motor goes on: %r", self, exc)

    def __repr__(self) -> str:
        return f"SimulatedMotor(motor_id={self.motor.motor_id:#x}, master_id={self.motor.master_id:#x})"

    # --- The protocol ---

    def answer(self, msg: can.Message) -> can.Message | None:
        """The frame answering `msg`, or None when the motor takes no notice of it or is silent."""
        if msg.is_extended_id or msg.is_remote_frame or msg.is_error_frame or msg.arbitration_id > _MAX_ID:
            return None
        command = _codec.decode_command(msg.arbitration_id, msg.data, self.motor)
        if command is None:
            return None
        with self._lock:
            kind, values = command[0], command[1:]
            master_id = self.motor.master_id
            if kind == "register":
                data = self._register(values)
                if data is None or self.silent:
                    return None
                return can.Message(arbitration_id=master_id, is_extended_id=False, data=data)
            mode = _MODE_OF_COMMAND.get(kind)
            if mode is not None:
                if mode != self.mode:
                    logger.debug("%r ignores a %s command: its control mode is %s", self, mode.name, self.mode.name)
                    return None
                self.setpoint = _setpoint(mode, values)
                self._target = values
            elif kind == "enable":
                self.enabled = True
            elif kind == "disable":
                self.enabled = False
            elif kind == "set_zero":
                self.position = 0.0
            elif kind == "clear_error":
                self._fault = None
            self.received += 1
            self._advance()
            if self.silent:
                return None
            return can.Message(arbitration_id=master_id, is_extended_id=False, data=self._feedback())

    def _register(self, fields: tuple[float, ...]) -> bytes | None:
        """The answer to a register request (None for none), after carrying it out."""
        command, number, raw, single = fields
        motor_id = self.motor.motor_id
        request = RegisterCommand(int(command))
        if request is RegisterCommand.SAVE:
            self.received += 1
            if self.enabled:
                logger.debug("%r ignores a save: a motor saves only while disabled", self)
                return None
            self.saved = dict(self.registers)
            return _codec.register_data(motor_id, request, int(number), 0)
        try:
            register = Register(int(number))
        except ValueError:
            logger.debug("%r does not answer a %s of register %d, which it does not have", self, request.name, number)
            return None
        self.received += 1
        if request is RegisterCommand.WRITE:
            self._write(register, single if register.type is float else int(raw))
        return _codec.register_data(motor_id, request, register, self.registers[register])

    def _write(self, register: Register, value: int | float) -> None:
        """Writes a register as a motor does: a value the register cannot take leaves it as it was."""
        try:
            value = register.check(value)
        except (TypeError, ValueError) as error:
            logger.debug("%r keeps %s: %s", self, register.name, error)
            return
        old = self.registers[register]
        self.registers[register] = value
        try:
            self._take_effect(register)
        except ValueError as error:
            self.registers[register] = old
            logger.debug("%r keeps %s: %s", self, register.name, error)

    def _take_effect(self, register: Register) -> None:
        """Makes a written register change how the motor talks, from the next frame on.

        :raises ValueError: when the register file does not make a handle (then nothing changed)
        """
        if register is Register.CTRL_MODE:
            mode = ControlMode(int(self.registers[register]))
            if mode != self.mode:
                self.mode, self.setpoint, self._target = mode, None, ()
                logger.debug("%r switches to control mode %s", self, mode.name)
        elif register in _HANDLE_REGISTERS:
            old, registers = self.motor, self.registers
            limits = self._limits
            limits = MitLimits(
                registers[Register.PMAX],
                registers[Register.VMAX],
                limits.kp_max,
                limits.kd_max,
                registers[Register.TMAX],
            )
            self.motor = Damiao(int(registers[Register.ESC_ID]), int(registers[Register.MST_ID]), limits)
            self._limits = limits
            if register.type is int:
                logger.debug("%r takes its new ids (was %r)", self, old)

    def _feedback(self) -> bytes:
        status = self._fault if self._fault is not None else (Status.ENABLED if self.enabled else Status.DISABLED)
        return _codec.encode_feedback(
            motor_id=self.motor.motor_id & _MOTOR_ID_MASK,
            error=status,
            position=self.position,
            velocity=self.velocity,
            torque=self.torque,
            t_mos=self.t_mos,
            t_rotor=self.t_rotor,
            limits=self._limits,
        )

    def _advance(self) -> None:
        """One step of the model under the current setpoint."""
        dt, inertia, friction = self.step, self.inertia, self.friction
        position, velocity = self.position, self.velocity
        target = self._target if self.enabled else ()
        if not target:
            velocity -= friction * velocity / inertia * dt
            position += velocity * dt
            torque = 0.0
        elif self.mode is ControlMode.MIT:
            q, dq, kp, kd, tau = target
            torque = self._clamp(kp * (q - position) + kd * (dq - velocity) + tau)
            velocity += (torque - friction * velocity) / inertia * dt
            position += velocity * dt
        else:
            if self.mode is ControlMode.VEL:
                velocity = target[0]
                position += velocity * dt
            else:
                goal, speed = target[0], abs(target[1])
                move = max(-speed * dt, min(speed * dt, goal - position))
                position += move
                velocity = move / dt
            torque = self._clamp(inertia * (velocity - self.velocity) / dt + friction * velocity)
        self.position, self.velocity, self.torque = position, velocity, torque

    def _clamp(self, torque: float) -> float:
        t_max = self._limits.t_max
        return max(-t_max, min(t_max, torque))


def _setpoint(mode: ControlMode, values: tuple[float, ...]) -> ControlSetpoint:
    if mode is ControlMode.MIT:
        return ControlSetpoint.mit(MitSetpoint(*values))
    if mode is ControlMode.POS_VEL:
        return ControlSetpoint.pos_vel(*values)
    if mode is ControlMode.VEL:
        return ControlSetpoint.vel(*values)
    return ControlSetpoint.force_pos(*values)
