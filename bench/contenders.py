"""The pure-Python contender: frozen, slotted dataclasses with the same fields."""

from dataclasses import dataclass


@dataclass(frozen=True, slots=True)
class MitLimits:
    p_max: float = 12.5
    v_max: float = 30.0
    kp_max: float = 500.0
    kd_max: float = 5.0
    t_max: float = 10.0

    @staticmethod
    def dm4310():
        return MitLimits(12.5, 30.0, 500.0, 5.0, 10.0)

    def __repr__(self):
        return (
            f"MitLimits(p_max={self.p_max:g}, v_max={self.v_max:g}, kp_max={self.kp_max:g}, "
            f"kd_max={self.kd_max:g}, t_max={self.t_max:g})"
        )


@dataclass(frozen=True, slots=True)
class MitSetpoint:
    q: float = 0.0
    dq: float = 0.0
    kp: float = 0.0
    kd: float = 0.0
    tau: float = 0.0


def mit_setpoint(q=0.0, dq=0.0, kp=0.0, kd=0.0, tau=0.0):
    return MitSetpoint(q, dq, kp, kd, tau)


@dataclass(frozen=True, slots=True)
class ControlSetpoint:
    mode: int
    values: tuple

    @staticmethod
    def mit(setpoint):
        if not isinstance(setpoint, MitSetpoint):
            raise TypeError("setpoint must be MitSetpoint")
        return ControlSetpoint(1, (setpoint.q, setpoint.dq, setpoint.kp, setpoint.kd, setpoint.tau))

    @staticmethod
    def pos_vel(position, velocity):
        return ControlSetpoint(2, (position, velocity))

    @staticmethod
    def vel(velocity):
        return ControlSetpoint(3, (velocity,))

    @staticmethod
    def force_pos(position, velocity_limit, torque_ratio):
        return ControlSetpoint(4, (position, velocity_limit, torque_ratio))


@dataclass(frozen=True, slots=True)
class MotorState:
    motor_id: int
    error: int
    position: float
    velocity: float
    torque: float
    t_mos: int
    t_rotor: int

    def __repr__(self):
        return (
            f"MotorState(motor_id={self.motor_id}, error={self.error}, position={self.position:.4f}, "
            f"velocity={self.velocity:.4f}, torque={self.torque:.4f}, t_mos={self.t_mos}, "
            f"t_rotor={self.t_rotor})"
        )


motor_state = MotorState


@dataclass(frozen=True, slots=True)
class Damiao:
    motor_id: int
    master_id: int
    limits: MitLimits | None = None
    timeout_ms: int = 20

    def __repr__(self):
        return f"Damiao(motor_id={self.motor_id:#x}, master_id={self.master_id:#x})"
