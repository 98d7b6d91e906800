"""Times the example decoder dm_frames against a pure-Python DM frame driver.

The native side is the separately built example extension (tervalin's
producer kit and frame codec); the Python side decodes and encodes the way
pure-Python motor drivers do it, with `struct` and bit shifts. Run with the
installed wheel and the example installed into .venv:

    .venv/bin/pip install --no-build-isolation ./examples/feedback_decoder
    .venv/bin/python bench/frames.py                  # timings, minimum of interleaved runs
    .venv/bin/python bench/frames.py --instructions   # instructions per operation, under callgrind

Both modes print a markdown table and write it into bench/RESULTS.md between
the frames marks (below the hand-written analysis, which bench.py keeps).
"""
import os
import pathlib
import re
import struct
import sys
import tempfile
import timeit

import dm_frames
import tervalin
from tervalin import ControlSetpoint, Damiao, MitLimits, MitSetpoint

from instructions import callgrind_loops, loop_runner

TARGET = 10.0  # the native path is at least this many times faster
REPEATS = 200
RUN_SECONDS = 0.002
LOOPS = 2000  # operations counted per row under callgrind, after a warm-up


# --- The pure-Python driver, written the way the field's drivers write it ---

def uint_to_float(x_int, x_min, x_max, bits):
    span = x_max - x_min
    return float(x_int) * span / ((1 << bits) - 1) + x_min


def float_to_uint(x, x_min, x_max, bits):
    span = x_max - x_min
    x = min(max(x, x_min), x_max)
    return int((x - x_min) * ((1 << bits) - 1) / span)


class Feedback:
    __slots__ = ("motor_id", "error", "position", "velocity", "torque", "t_mos", "t_rotor")

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
    return Feedback(data[0] & 0x0F, data[0] >> 4,
                    uint_to_float(q_uint, -p_max, p_max, 16),
                    uint_to_float(dq_uint, -v_max, v_max, 12),
                    uint_to_float(tau_uint, -t_max, t_max, 12),
                    data[6], data[7])


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


# --- Rows: label, native statement, pure-Python statement, whether the target applies ---

FRAME = bytes.fromhex("118a3d7ff80a2a2d")
NS = {
    "dm_frames": dm_frames, "frame": FRAME, "lim": MitLimits.dm4310(), "py_lim": (12.5, 30.0, 10.0),
    "py_mit_lim": (12.5, 30.0, 500.0, 5.0, 10.0), "motor": Damiao(1, 0x11, MitLimits.dm4310()),
    "mit": ControlSetpoint.mit(MitSetpoint(1.0, 0.5, 20.0, 1.0, -0.5)),
    "pos_vel": ControlSetpoint.pos_vel(1.0, -2.0), "force_pos": ControlSetpoint.force_pos(0.5, 10.0, 0.3),
    "py_decode_feedback": py_decode_feedback, "py_encode_mit": py_encode_mit,
    "py_encode_pos_vel": py_encode_pos_vel, "py_encode_force_pos": py_encode_force_pos,
}
ROWS = [
    ("decode feedback frame → `MotorState`", "dm_frames.decode_feedback(frame, lim)",
     "py_decode_feedback(frame, py_lim)", True),
    ("encode MIT command", "dm_frames.encode(mit, motor)", "py_encode_mit(1, 1.0, 0.5, 20.0, 1.0, -0.5, py_mit_lim)",
     True),
    ("encode POS_VEL (`struct.pack` in Python)", "dm_frames.encode(pos_vel, motor)",
     "py_encode_pos_vel(1, 1.0, -2.0)", False),
    ("encode FORCE_POS (`struct.pack` in Python)", "dm_frames.encode(force_pos, motor)",
     "py_encode_force_pos(1, 0.5, 10.0, 0.3)", False),
]


def check_agreement():
    """Both sides produce the same frames and values for the benchmarked inputs."""
    state, fb = dm_frames.decode_feedback(FRAME, NS["lim"]), py_decode_feedback(FRAME, NS["py_lim"])
    for name in Feedback.__slots__:
        a, b = getattr(state, name), getattr(fb, name)
        assert a == b if isinstance(a, int) else a == struct.unpack("<f", struct.pack("<f", b))[0], name
    assert dm_frames.encode(NS["mit"], NS["motor"]) == py_encode_mit(1, 1.0, 0.5, 20.0, 1.0, -0.5, NS["py_mit_lim"])
    assert dm_frames.encode(NS["pos_vel"], NS["motor"]) == py_encode_pos_vel(1, 1.0, -2.0)
    assert dm_frames.encode(NS["force_pos"], NS["motor"]) == py_encode_force_pos(1, 0.5, 10.0, 0.3)


def calibrate(timer):
    number = 1
    while True:
        elapsed = timer.timeit(number)
        if elapsed >= RUN_SECONDS / 10:
            return max(1, int(number * RUN_SECONDS / elapsed))
        number *= 10


def timings():
    """Minimum ns per operation for each statement, runs interleaved round-robin."""
    timers = [timeit.Timer(stmt, globals=NS) for row in ROWS for stmt in row[1:3]]
    numbers = [calibrate(t) for t in timers]
    best = [float("inf")] * len(timers)
    for _ in range(REPEATS):
        for i, (timer, number) in enumerate(zip(timers, numbers)):
            best[i] = min(best[i], timer.timeit(number) / number * 1e9)
    return best


def counted_child():
    for stmt in ["pass"] + [stmt for row in ROWS for stmt in row[1:3]]:
        loop = loop_runner(stmt, NS)
        loop(50)
        os.getppid()  # callgrind dumps before each call: set-up and warm-up end here,
        loop(LOOPS)
        os.getppid()  # and the counted loop here


def instructions():
    with tempfile.TemporaryDirectory() as workdir:
        loops = callgrind_loops([sys.executable, __file__, "--child"], pathlib.Path(workdir) / "frames.out")
    return [(total - loops[0]) / LOOPS for total in loops[1:]]


def table(values, unit):
    lines = [f"| operation | dm_frames {unit} | pure Python {unit} | speed-up | target |", "|---|--:|--:|--:|---|"]
    for i, (label, _, _, targeted) in enumerate(ROWS):
        native, python = values[2 * i], values[2 * i + 1]
        speedup = python / native
        target = (f"≥ {TARGET:.0f}× ({'met' if speedup >= TARGET else '**not met**'})" if targeted
                  else "— (Python packs the bytes with one `struct.pack` call)")
        lines.append(f"| {label} | {native:.{1 if unit == 'ns' else 0}f} | {python:.{1 if unit == 'ns' else 0}f} "
                     f"| {speedup:.1f}× | {target} |")
    return "\n".join(lines)


BEGIN = "<!-- frames: written by bench/frames.py -->"
END = "<!-- end of frames -->"


def write_results(kind, text):
    path = pathlib.Path(__file__).with_name("RESULTS.md")
    old = path.read_text() if path.exists() else ""
    if BEGIN in old:
        head, rest = old.split(BEGIN, 1)
        section = rest.split(END, 1)[0]
        tail = rest.split(END, 1)[1] if END in rest else ""
    else:
        head, section, tail = old.rstrip("\n") + "\n\n", "", "\n"
    parts = dict(re.findall(r"(?ms)^<!-- (time|instructions) -->\n(.*?)(?=^<!-- |\Z)", section))
    parts[kind] = text.rstrip("\n") + "\n\n"
    body = "".join(f"<!-- {k} -->\n{parts[k]}" for k in ("time", "instructions") if k in parts)
    intro = ("## DM frames: the example decoder against a pure-Python driver\n\n"
             "`bench/frames.py`: `examples/feedback_decoder` (module `dm_frames`, built separately on the "
             "producer kit) against the pure-Python `struct`/bit-shift driver in that script. The native "
             "decoder returns a `tervalin.MotorState`, the Python one an instance of a `__slots__` class; "
             "the encoders return `(can_id, bytes)`.\n\n")
    path.write_text(head + BEGIN + "\n" + intro + body + END + tail)


def main():
    check_agreement()
    if sys.argv[1:] == ["--instructions"]:
        text = (f"Instructions per operation (callgrind, loop of {LOOPS} minus an empty loop):\n\n"
                + table(instructions(), "instr."))
        kind = "instructions"
    else:
        text = (f"Time per operation (CPython {sys.version.split()[0]}, tervalin {tervalin.__version__}; minimum "
                f"of {REPEATS} interleaved runs of ~{RUN_SECONDS * 1000:.0f} ms, timeit loop overhead "
                f"included):\n\n" + table(timings(), "ns"))
        kind = "time"
    print(text)
    write_results(kind, text)


if __name__ == "__main__":
    if sys.argv[1:] == ["--child"]:
        counted_child()
    else:
        main()
