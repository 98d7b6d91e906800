"""A simulated Damiao motor on a python-can bus, for tests without hardware.

    import can
    from tervalin import Damiao
    from tervalin_dm.sim import SimulatedMotor

    motor = Damiao(1, 0x11)
    with can.Bus(interface="virtual", channel="test") as wire, SimulatedMotor(wire, motor) as sim:
        ...  # talk to motor 1 on another can.Bus(interface="virtual", channel="test")

It models the protocol's framing, not a real motor's physics (see
`SimulatedMotor`).
"""

import threading

import can

from tervalin import ControlSetpoint, Damiao, MitSetpoint
from tervalin_dm import _codec
from tervalin_dm._codec import encode_feedback
from tervalin_dm._status import Status
from tervalin_dm.registers import Register, RegisterCommand

__all__ = ["SimulatedMotor"]

_MODES = {"mit": 1, "pos_vel": 2, "vel": 3, "force_pos": 4}

# The python-can notifiers that simulated motors started, each stopped with
# the last motor it serves.
_notifiers_lock = threading.Lock()
_started_notifiers: set[can.Notifier] = set()


class SimulatedMotor(can.Listener):
    """One motor with the `Damiao` handle `motor`, answering on the python-can bus `bus`.

    It models the protocol's framing, not a real motor's physics: every frame
    addressed to the handle's motor id (a system command, a register write,
    or a command of the current control mode) is answered with one feedback
    frame on the handle's master id, made by `encode_feedback` over the
    handle's limits. Commands of a mode other than the current one are
    ignored, with no answer, as are frames for other motors.

    State: `enabled` (enable/disable commands), `mode` (register 10, written
    through the register write; 1 MIT at the start), `setpoint` (the last
    command of the current mode, as a `ControlSetpoint`, or None), `position`,
    `velocity`, `torque`, `t_mos` and `t_rotor`.

    Dynamics, advanced by `step` seconds at each command before the answer
    (one control period per command, so a run is the same every time):
    one inertia `inertia` (kg·m²) with viscous friction `friction`
    (N·m·s/rad), accelerated by the torque, which is held within ±t_max of
    the handle's limits.

    - MIT: torque = kp·(q − position) + kd·(dq − velocity) + tau.
    - VEL: the velocity becomes the target; POS_VEL and FORCE_POS: the
      position moves towards the target at no more than the velocity
      (limit) given. The torque reported is the one that motion takes.
    - Disabled: no torque; the rotor coasts against the friction.

    `set_zero` makes the current position 0. For tests of faults and
    timeouts: `silent = True` stops every answer (the frames are still
    taken in), and `fault = Status.OVERLOAD` (any code 0 to 15) reports that
    status in place of ENABLED/DISABLED until a clear_error command or
    `fault = None`.

    Use it as a context manager (or `start()`/`stop()`): it joins the
    `can.Notifier` of `bus`, starting one if the bus has none, so several
    simulated motors can share one bus object. `answer(message)` gives the
    reply to one frame without any bus (`bus` may then be None).
    """

    def __init__(self, bus: can.BusABC | None, motor: Damiao, *, inertia: float = 0.002, friction: float = 0.01,
                 step: float = 0.001, t_mos: int = 30, t_rotor: int = 32) -> None:
        self.bus = bus
        self.motor = motor
        self.inertia = inertia
        self.friction = friction
        self.step = step
        self.t_mos = t_mos
        self.t_rotor = t_rotor
        self.enabled = False
        self.mode = 1
        self.setpoint: ControlSetpoint | None = None
        self.position = 0.0
        self.velocity = 0.0
        self.torque = 0.0
        self.silent = False
        self.fault: int | None = None
        self.received = 0  # commands taken in (frames of another mode are not)
        self._limits = _codec.limits_of(motor)
        self._t_max = self._limits.t_max
        self._target: tuple[float, ...] = ()
        self._lock = threading.Lock()
        self._notifier: can.Notifier | None = None

    # --- On the bus ---

    def start(self) -> None:
        """Starts answering frames on the bus."""
        if self.bus is None:
            raise ValueError("a SimulatedMotor made without a bus only answers through answer()")
        with _notifiers_lock:
            if self._notifier is not None:
                return
            running = [n for n in can.Notifier.find_instances(self.bus) if not n.stopped]
            if running:
                notifier = running[0]
                notifier.add_listener(self)
            else:
                notifier = can.Notifier(self.bus, [self], timeout=0.05)
                _started_notifiers.add(notifier)
            self._notifier = notifier

    def stop(self) -> None:
        """Stops answering; the notifier it started stops with the last motor it serves."""
        with _notifiers_lock:
            notifier, self._notifier = self._notifier, None
            if notifier is None:
                return
            if self in notifier.listeners:
                notifier.remove_listener(self)
            if notifier in _started_notifiers and not notifier.listeners:
                _started_notifiers.discard(notifier)
                notifier.stop()

    def __enter__(self) -> "SimulatedMotor":
        self.start()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    def on_message_received(self, msg: can.Message) -> None:
        reply = self.answer(msg)
        if reply is not None and self.bus is not None:
            self.bus.send(reply)

    # --- The protocol ---

    def answer(self, msg: can.Message) -> can.Message | None:
        """The feedback frame answering `msg`, or None when the motor takes no notice of it or is silent."""
        if msg.is_extended_id or msg.is_remote_frame or msg.is_error_frame:
            return None
        command = _codec.decode_command(msg.arbitration_id, msg.data, self.motor)
        if command is None:
            return None
        with self._lock:
            kind, values = command[0], command[1:]
            if kind in _MODES:
                if _MODES[kind] != self.mode:
                    return None
                self.setpoint = _setpoint(kind, values)
                self._target = values
            elif kind == "enable":
                self.enabled = True
            elif kind == "disable":
                self.enabled = False
            elif kind == "set_zero":
                self.position = 0.0
            elif kind == "clear_error":
                self.fault = None
            elif (kind == "register" and values[0] == RegisterCommand.WRITE and values[1] == Register.CTRL_MODE
                  and int(values[2]) in _MODES.values()):
                self.mode = int(values[2])
                self.setpoint = None
                self._target = ()
            self.received += 1
            self._advance()
            if self.silent:
                return None
            return can.Message(arbitration_id=self.motor.master_id, is_extended_id=False,
                               data=self._feedback())

    def _feedback(self) -> bytes:
        status = self.fault if self.fault is not None else (Status.ENABLED if self.enabled else Status.DISABLED)
        return encode_feedback(motor_id=self.motor.motor_id & 0xF, error=status, position=self.position,
                               velocity=self.velocity, torque=self.torque, t_mos=self.t_mos, t_rotor=self.t_rotor,
                               limits=self._limits)

    def _advance(self) -> None:
        """One step of the model under the current setpoint."""
        dt, inertia, friction = self.step, self.inertia, self.friction
        position, velocity = self.position, self.velocity
        target = self._target if self.enabled else ()
        if not target:
            velocity -= friction * velocity / inertia * dt
            position += velocity * dt
            torque = 0.0
        elif self.mode == 1:
            q, dq, kp, kd, tau = target
            torque = self._clamp(kp * (q - position) + kd * (dq - velocity) + tau)
            velocity += (torque - friction * velocity) / inertia * dt
            position += velocity * dt
        else:
            if self.mode == 3:
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
        return max(-self._t_max, min(self._t_max, torque))


def _setpoint(kind: str, values: tuple[float, ...]) -> ControlSetpoint:
    if kind == "mit":
        return ControlSetpoint.mit(MitSetpoint(*values))
    if kind == "pos_vel":
        return ControlSetpoint.pos_vel(*values)
    if kind == "vel":
        return ControlSetpoint.vel(*values)
    return ControlSetpoint.force_pos(*values)
