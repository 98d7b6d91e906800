"""The contender of bench/frames.py, and the motor bus's control cycle against python-can alone.

The contender: a DM motor driver written the way pure-Python drivers write
it. Frames are packed with `struct` and bit shifts, values scaled with float
arithmetic, feedback decoded into an instance of a `__slots__` class; the
bus is python-can, as for tervalin_dm. Only what the benchmark runs.

Run as a program, it measures MotorBus's 12-motor cycle (see the end of the file).
"""

import argparse
import importlib.util
import pathlib
import re
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time
import uuid

import can
from tervalin import ControlSetpoint, Damiao, MitLimits, MitSetpoint

from tervalin_dm import encode
from tervalin_dm.bus import MotorBus
from tervalin_dm.sim import SimulatedMotor


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
        for (motor_id, _), (q, dq, kp, kd, tau) in zip(self.motors, setpoints):  # noqa: B905 - as drivers write it
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


# --- The MotorBus's control cycle against python-can alone: run this file ---
#
#     .venv/bin/python bench/dm_driver.py                    # timings
#     .venv/bin/python bench/dm_driver.py --instructions     # instructions per cycle, under callgrind
#     .venv/bin/python bench/dm_driver.py --bus old/bus.py   # another MotorBus (an earlier bus.py) in its place
#
# Twelve simulated motors answer on python-can's virtual bus. The rows:
# - "python-can alone": the 12 MIT frames (encoded once) sent, the 12 replies
#   received by the same thread, no codec: what python-can itself costs;
# - "python-can with a notifier": the same, the replies received by a
#   can.Notifier and counted by a minimal listener that wakes the sender;
# - "MotorBus": MotorBus.command_all, setpoints encoded, replies routed and decoded;
# - "MotorBus, 1 of 12 silent": the same with one motor that never answers
#   (timings only): no cycle should take more than one timeout.

MOTOR_COUNT = 12
TIMEOUT_MS = 20  # the handles' timeout in the silent row
COUNTED_TIMEOUT_MS = 5000  # elsewhere: under callgrind everything runs tens of times slower; no reply may time out
SILENT = 5  # the motor that never answers, in the silent row


def _handles(timeout_ms):

    return [Damiao(i, 0x80 + i, MitLimits.dm4310(), timeout_ms=timeout_ms) for i in range(1, MOTOR_COUNT + 1)]


class _Rig:
    """A virtual channel with twelve simulated motors, and a host end running one row's cycle."""

    def __init__(self, row, bus_class, timeout_ms):
        channel = f"bench-{uuid.uuid4()}"
        self.motor_side = can.Bus(interface="virtual", channel=channel)
        self.host = can.Bus(interface="virtual", channel=channel)
        self.handles = _handles(timeout_ms)
        self.sims = [SimulatedMotor(self.motor_side, m) for m in self.handles]
        for sim in self.sims:
            sim.start()
        self.setpoints = [ControlSetpoint.mit(MitSetpoint(0.1 * i, 0.0, 20.0, 1.0, 0.0)) for i in range(MOTOR_COUNT)]
        self.frames = [encode(s, m) for s, m in zip(self.setpoints, self.handles, strict=True)]
        self.timeout = timeout_ms / 1000
        self.closers = []
        if row == "python-can alone":
            self.cycle = self._python_can
        elif row == "python-can with a notifier":
            self.counter = _Counter(MOTOR_COUNT)
            notifier = can.Notifier(self.host, [self.counter], timeout=0.1)
            self.closers.append(notifier.stop)
            self.cycle = self._notified
        else:
            self.bus = bus_class(self.host, self.handles)
            self.closers.append(getattr(self.bus, "close", lambda: None))
            if row == "MotorBus, 1 of 12 silent":
                self.sims[SILENT].silent = True
                self.cycle = self._tolerant
            else:
                self.cycle = self._motor_bus

    def _python_can(self):
        host = self.host
        for can_id, data in self.frames:
            host.send(can.Message(arbitration_id=can_id, data=data, is_extended_id=False))
        for _ in self.frames:
            if host.recv(self.timeout) is None:
                raise TimeoutError("no reply")

    def _notified(self):
        host = self.host
        for can_id, data in self.frames:
            host.send(can.Message(arbitration_id=can_id, data=data, is_extended_id=False))
        if not self.counter.gate.acquire(True, self.timeout):
            raise TimeoutError("no reply")

    def _motor_bus(self):
        self.bus.command_all(self.setpoints)

    def _tolerant(self):
        try:
            self.bus.command_all(self.setpoints)
        except TimeoutError:
            pass

    def close(self):
        for close in self.closers:
            close()
        for sim in self.sims:
            sim.stop()
        self.host.shutdown()
        self.motor_side.shutdown()


class _Counter(can.Listener):
    """Releases `gate` once `count` frames came: the least a listener that waits for replies does."""

    def __init__(self, count):

        self.count, self.left = count, count
        self.gate = threading.Lock()
        self.gate.acquire()

    def on_message_received(self, msg):
        self.left -= 1
        if self.left == 0:
            self.left = self.count
            self.gate.release()

    def stop(self):
        pass


ROWS = ("python-can alone", "python-can with a notifier", "MotorBus", "MotorBus, 1 of 12 silent")


def _bus_class(path):
    if path is None:
        return MotorBus

    spec = importlib.util.spec_from_file_location("measured_bus", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module.MotorBus


def timings(bus_class, batches=20, cycles=100):
    """ms per cycle of each row: median and maximum over every cycle, the rows' batches interleaved."""

    # Only the silent row waits for a timeout; the others get a long one, which a loaded machine never meets.
    rigs = {row: _Rig(row, bus_class, TIMEOUT_MS if row == ROWS[-1] else COUNTED_TIMEOUT_MS) for row in ROWS}
    try:
        samples = {row: [] for row in ROWS}
        for rig in rigs.values():
            for _ in range(20):
                rig.cycle()
        for _ in range(batches):
            for row, rig in rigs.items():
                cycle, kept = rig.cycle, samples[row]
                for _ in range(cycles):
                    start = time.perf_counter()
                    cycle()
                    kept.append(time.perf_counter() - start)
        return {row: (statistics.median(v) * 1e3, max(v) * 1e3) for row, v in samples.items()}
    finally:
        for rig in rigs.values():
            rig.close()


def _counted_run(row, cycles, bus_path):
    """The child under callgrind: `cycles` cycles of `row` after a warm-up."""
    rig = _Rig(row, _bus_class(bus_path), COUNTED_TIMEOUT_MS)
    try:
        for _ in range(cycles):
            rig.cycle()
    finally:
        rig.close()


def instructions(bus_path, short=30, long=130):
    """Instructions per cycle of each counted row, by thread: {row: {"host": n, "motors": n}}.

    Each row runs twice under callgrind, `short` and `long` cycles; the
    difference divided by the extra cycles leaves start-up and shutdown out.
    Thread 1 is the host's own, thread 2 the simulated motors' notifier
    (started first), any later one the host's notifier.
    """

    counts = {}
    for row in ROWS[:3]:
        totals = []
        for cycles in (short, long):
            with tempfile.TemporaryDirectory() as directory:
                command = [
                    "valgrind",
                    "--tool=callgrind",
                    "--separate-threads=yes",
                    "--dump-instr=no",
                    f"--callgrind-out-file={directory}/out",
                    sys.executable,
                    __file__,
                    "--counted",
                    row,
                    str(cycles),
                ]
                if bus_path is not None:
                    command += ["--bus", bus_path]
                subprocess.run(command, check=True, capture_output=True)
                threads = {}
                for path in pathlib.Path(directory).glob("out-*"):
                    text = path.read_text()
                    threads[int(path.name.split("-")[1])] = int(re.search(r"^totals: (\d+)", text, re.M).group(1))
                totals.append(threads)
        per_cycle = {t: (totals[1][t] - totals[0].get(t, 0)) / (long - short) for t in totals[1]}
        counts[row] = {"motors": per_cycle.get(2, 0.0), "host": sum(n for t, n in per_cycle.items() if t != 2)}
    return counts


def main():

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--instructions", action="store_true", help="count instructions under callgrind")
    parser.add_argument("--bus", help="the path of a bus.py whose MotorBus is measured in place of the installed one")
    parser.add_argument("--counted", nargs=2, metavar=("ROW", "CYCLES"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.counted:
        _counted_run(args.counted[0], int(args.counted[1]), args.bus)
        return
    if args.instructions:
        counts = instructions(args.bus)
        alone = counts["python-can alone"]["host"]
        notified = counts["python-can with a notifier"]["host"]
        print("| 12-motor cycle | host instr. per cycle | simulated motors' | host beyond python-can alone |")
        print("|---|--:|--:|--:|")
        for row, c in counts.items():
            print(f"| {row} | {c['host']:.0f} | {c['motors']:.0f} | {(c['host'] - alone) / alone:.0%} |")
        own = counts["MotorBus"]["host"] - notified
        print(
            f"\nMotorBus's own share (host, beyond python-can with a notifier): {own:.0f} instructions, "
            f"{own / notified:.0%} of python-can's"
        )
        return
    results = timings(_bus_class(args.bus))
    alone = results["python-can alone"][0]
    print(f"| 12-motor cycle, timeout {TIMEOUT_MS} ms | median ms | maximum ms | median / python-can alone |")
    print("|---|--:|--:|--:|")
    for row, (median, most) in results.items():
        print(f"| {row} | {median:.3f} | {most:.3f} | {median / alone:.2f} |")


if __name__ == "__main__":
    main()
