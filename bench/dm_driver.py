"""The contender of bench/frames.py: a DM motor driver written the way pure-Python drivers write it.

Frames are packed with `struct` and bit shifts, values scaled with float
arithmetic, feedback decoded into an instance of a `__slots__` class; the
bus is python-can, as for tervalin_dm. Only what the benchmark runs.
"""

import struct
import time

import can


def uint_to_float(x_int, x_min, x_max, bits):
    span = x_max - x_min
    return float(x_int) * span / ((1 << bits) - 1) + x_min


def float_to_uint(x, x_min, x_max, bits):
    span = x_max - x_min
    x = min(max(x, x_min), x_max)
    return int((x - x_min) * ((1 << bits) - 1) / span)


class Feedback:
    __slots__ = ("error", "motor_id", "position", "t_mos", "t_rotor", "torque", "velocity")

    def __init__(self, motor_id, error, position, velocity, torque, t_mos, t_rotor):
        self.motor_id = motor_id
        self.error = error
        self.position = position
        self.velocity = velocity
        self.torque = torque
        self.t_mos = t_mos
        self.t_rotor = t_rotor


def py_decode_feedback(data, limits):
    p_max, v_max, t_max = limits
    q_uint = (data[1] << 8) | data[2]
    dq_uint = (data[3] << 4) | (data[4] >> 4)
    tau_uint = ((data[4] & 0xF) << 8) | data[5]
    return Feedback(
        data[0] & 0x0F,
        data[0] >> 4,
        uint_to_float(q_uint, -p_max, p_max, 16),
        uint_to_float(dq_uint, -v_max, v_max, 12),
        uint_to_float(tau_uint, -t_max, t_max, 12),
        data[6],
        data[7],
    )


def py_encode_mit(motor_id, q, dq, kp, kd, tau, limits):
    p_max, v_max, kp_max, kd_max, t_max = limits
    q_uint = float_to_uint(q, -p_max, p_max, 16)
    dq_uint = float_to_uint(dq, -v_max, v_max, 12)
    kp_uint = float_to_uint(kp, 0, kp_max, 12)
    kd_uint = float_to_uint(kd, 0, kd_max, 12)
    tau_uint = float_to_uint(tau, -t_max, t_max, 12)
    data = bytearray(8)
    data[0] = (q_uint >> 8) & 0xFF
    data[1] = q_uint & 0xFF
    data[2] = dq_uint >> 4
    data[3] = ((dq_uint & 0xF) << 4) | ((kp_uint >> 8) & 0xF)
    data[4] = kp_uint & 0xFF
    data[5] = kd_uint >> 4
    data[6] = ((kd_uint & 0xF) << 4) | ((tau_uint >> 8) & 0xF)
    data[7] = tau_uint & 0xFF
    return motor_id, bytes(data)


def py_encode_pos_vel(motor_id, position, velocity):
    return 0x100 + motor_id, struct.pack("<ff", position, velocity)


def py_encode_force_pos(motor_id, position, velocity_limit, torque_ratio):
    vel = min(max(int(velocity_limit * 100), 0), 10000)
    ratio = min(max(int(torque_ratio * 10000), 0), 10000)
    return 0x300 + motor_id, struct.pack("<fHH", position, vel, ratio)


class PyMotorBus:
    """Sends one MIT command per motor, then routes the replies by (master id, motor id nibble)."""

    def __init__(self, bus, motors, limits, timeout):
        self.bus = bus
        self.motors = motors  # (motor_id, master_id) pairs
        self.limits = limits  # p_max, v_max, kp_max, kd_max, t_max
        self.feedback_limits = (limits[0], limits[1], limits[4])
        self.timeout = timeout
        self.index = {(master, motor & 0xF): i for i, (motor, master) in enumerate(motors)}

    def command_all(self, setpoints):
        for (motor_id, _), (q, dq, kp, kd, tau) in zip(self.motors, setpoints, strict=True):
            can_id, data = py_encode_mit(motor_id, q, dq, kp, kd, tau, self.limits)
            self.bus.send(can.Message(arbitration_id=can_id, data=data, is_extended_id=False))
        states = [None] * len(self.motors)
        missing = len(self.motors)
        deadline = time.monotonic() + self.timeout
        while missing:
            msg = self.bus.recv(deadline - time.monotonic())
            if msg is None:
                raise TimeoutError("no reply")
            if msg.is_extended_id or len(msg.data) != 8:
                continue
            i = self.index.get((msg.arbitration_id, msg.data[0] & 0xF))
            if i is not None and states[i] is None:
                states[i] = py_decode_feedback(msg.data, self.feedback_limits)
                missing -= 1
        return states
