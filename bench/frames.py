"""Benchmarks tervalin_dm's frames and a 12-motor control cycle against a pure-Python DM driver.

The native side is tervalin_dm (its extension is built on tervalin's producer
kit and frame codec); the contender is bench/dm_driver.py, which packs and
scales the way pure-Python motor drivers do, with `struct`, bit shifts and
float arithmetic. Both send on python-can's virtual bus. Run with the wheel
and python-can installed into .venv (`bash tools/test` does both):

    .venv/bin/python bench/frames.py                  # timings, minimum of interleaved runs
    .venv/bin/python bench/frames.py --instructions   # instructions per operation, under callgrind

Both modes print markdown tables and write them into bench/RESULTS.md between
the frames marks (below the hand-written analysis, which bench.py keeps).

Rows:
- single frames, each against the pure-Python driver and against
  constructing a `MitLimits` from five floats (decode and encode should stay
  within 1.2 times that);
- the codec's share of a 12-motor control cycle: 12 MIT setpoints built and
  encoded, 12 feedback frames decoded to `MotorState` (at least 10 times
  fewer instructions than the driver's);
- timings only: the whole cycle on the virtual bus (`MotorBus.command_all`
  against the driver's loop), answered by a responder thread that sends a
  prepared feedback frame for each command, and the same cycle with the
  codec left out (prepared frames, no decoding): python-can's share.
"""

import contextlib
import os
import pathlib
import re
import statistics
import sys
import tempfile
import time
import timeit
import uuid

import can
import tervalin
from tervalin import ControlSetpoint, Damiao, MitLimits, MitSetpoint

import tervalin_dm
from tervalin_dm.bus import MotorBus

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from dm_driver import (
    Feedback,
    PyMotorBus,
    py_decode_feedback,
    py_encode_force_pos,
    py_encode_mit,
    py_encode_pos_vel,
)
from instructions import ballast, callgrind_loops, loop_runner

TARGET = 10.0  # the codec's share of a cycle takes at least this many times fewer instructions
NEAR_LIMITS = 1.2  # decode and encode within this many times MitLimits(five floats)
REPEATS = 200
RUN_SECONDS = 0.002
LOOPS = 2000  # operations counted per row under callgrind, after a warm-up
CYCLE_LOOPS = 200
WHOLE_CYCLE_LOOPS = 100  # whole cycles counted, both threads
MOTORS = 12

# --- The single frames ---

FRAME = bytes.fromhex("118a3d7ff80a2a2d")
LIMITS = MitLimits.dm4310()
PY_LIMITS = (12.5, 30.0, 500.0, 5.0, 10.0)
# Timeouts long enough for a run under callgrind; the happy path never waits them out.
motors = [Damiao(i, 0x10 + i, LIMITS, timeout_ms=2000) for i in range(1, MOTORS + 1)]
targets = [0.1 * i for i in range(MOTORS)]
replies = [
    tervalin_dm.encode_feedback(
        motor_id=m.motor_id & 0xF, error=1, position=q, velocity=0.5, torque=0.25, t_mos=40, t_rotor=41, limits=LIMITS
    )
    for m, q in zip(motors, targets, strict=True)
]


def codec_cycle():
    """The codec's share of a cycle with tervalin_dm: setpoints built and encoded, replies decoded."""
    frames = [
        tervalin_dm.encode(ControlSetpoint.mit(MitSetpoint(q, 0.0, 20.0, 1.0, 0.0)), m)
        for q, m in zip(targets, motors, strict=True)
    ]
    states = [tervalin_dm.decode_feedback(data, LIMITS) for data in replies]
    return frames, states


def py_codec_cycle():
    """The same with the pure-Python driver."""
    frames = [
        py_encode_mit(m.motor_id, q, 0.0, 20.0, 1.0, 0.0, PY_LIMITS) for q, m in zip(targets, motors, strict=True)
    ]
    states = [py_decode_feedback(data, (12.5, 30.0, 10.0)) for data in replies]
    return frames, states


NS = {
    "tervalin_dm": tervalin_dm,
    "MitLimits": MitLimits,
    "frame": FRAME,
    "lim": LIMITS,
    "py_lim": (12.5, 30.0, 10.0),
    "py_mit_lim": PY_LIMITS,
    "motor": Damiao(1, 0x11, LIMITS),
    "mit": ControlSetpoint.mit(MitSetpoint(1.0, 0.5, 20.0, 1.0, -0.5)),
    "pos_vel": ControlSetpoint.pos_vel(1.0, -2.0),
    "force_pos": ControlSetpoint.force_pos(0.5, 10.0, 0.3),
    "py_decode_feedback": py_decode_feedback,
    "py_encode_mit": py_encode_mit,
    "py_encode_pos_vel": py_encode_pos_vel,
    "py_encode_force_pos": py_encode_force_pos,
    "codec_cycle": codec_cycle,
    "py_codec_cycle": py_codec_cycle,
}
REFERENCE = "MitLimits(1.0, 2.0, 3.0, 4.0, 5.0)"
# label, native statement, pure-Python statement, targets: "near" (1.2x the reference), "fold" (10x Python)
ROWS = [
    (
        "decode feedback frame → `MotorState`",
        "tervalin_dm.decode_feedback(frame, lim)",
        "py_decode_feedback(frame, py_lim)",
        "near",
    ),
    (
        "encode MIT command",
        "tervalin_dm.encode(mit, motor)",
        "py_encode_mit(1, 1.0, 0.5, 20.0, 1.0, -0.5, py_mit_lim)",
        "near",
    ),
    (
        "encode POS_VEL (`struct.pack` in Python)",
        "tervalin_dm.encode(pos_vel, motor)",
        "py_encode_pos_vel(1, 1.0, -2.0)",
        "near",
    ),
    (
        "encode FORCE_POS (`struct.pack` in Python)",
        "tervalin_dm.encode(force_pos, motor)",
        "py_encode_force_pos(1, 0.5, 10.0, 0.3)",
        "near",
    ),
    (
        f"codec's share of a {MOTORS}-motor cycle: {MOTORS} MIT setpoints built and encoded, {MOTORS} replies decoded",
        "codec_cycle()",
        "py_codec_cycle()",
        "fold",
    ),
]


def check_agreement():
    """Both sides produce the same frames and values for the benchmarked inputs."""
    state, fb = tervalin_dm.decode_feedback(FRAME, LIMITS), py_decode_feedback(FRAME, NS["py_lim"])
    for name in Feedback.__slots__:
        a, b = getattr(state, name), getattr(fb, name)
        assert a == b if isinstance(a, int) else a == MitLimits(b).p_max, name
    assert tervalin_dm.encode(NS["mit"], NS["motor"]) == py_encode_mit(1, 1.0, 0.5, 20.0, 1.0, -0.5, PY_LIMITS)
    assert tervalin_dm.encode(NS["pos_vel"], NS["motor"]) == py_encode_pos_vel(1, 1.0, -2.0)
    assert tervalin_dm.encode(NS["force_pos"], NS["motor"]) == py_encode_force_pos(1, 0.5, 10.0, 0.3)
    (frames, states), (py_frames, py_states) = codec_cycle(), py_codec_cycle()
    assert frames == py_frames
    assert [(s.motor_id, s.t_mos) for s in states] == [(s.motor_id, s.t_mos) for s in py_states]


def calibrate(timer):
    number = 1
    while True:
        elapsed = timer.timeit(number)
        if elapsed >= RUN_SECONDS / 10:
            return max(1, int(number * RUN_SECONDS / elapsed))
        number *= 10


def statements():
    return [REFERENCE] + [stmt for row in ROWS for stmt in row[1:3]]


def timings():
    """Minimum ns per operation for each statement, runs interleaved round-robin."""
    timers = [timeit.Timer(stmt, globals=NS) for stmt in statements()]
    numbers = [calibrate(t) for t in timers]
    best = [float("inf")] * len(timers)
    for _ in range(REPEATS):
        for i, (timer, number) in enumerate(zip(timers, numbers, strict=True)):
            best[i] = min(best[i], timer.timeit(number) / number * 1e9)
    return best


def counted_child():
    import gc

    for stmt in ["pass", *statements()]:
        loop = loop_runner(stmt, NS)
        loops = CYCLE_LOOPS if "cycle" in stmt else LOOPS
        loop(50)
        kept = ballast()
        gc.collect()
        os.getppid()  # callgrind dumps before each call: set-up and warm-up end here,
        loop(loops)
        os.getppid()  # and the counted loop here
        del kept


def whole_cycle_instructions():
    """Instructions per whole cycle (the host's and the responder's thread) for each of the cycle_runs()."""
    with tempfile.TemporaryDirectory() as workdir:
        loops = callgrind_loops([sys.executable, __file__, "--cycles"], pathlib.Path(workdir) / "cycles.out")
    return dict(
        zip(("tervalin_dm", "pure Python", "python-can alone"), (t / WHOLE_CYCLE_LOOPS for t in loops), strict=True)
    )


def instructions():
    with tempfile.TemporaryDirectory() as workdir:
        loops = callgrind_loops([sys.executable, __file__, "--child"], pathlib.Path(workdir) / "frames.out")
    empty = loops[0]
    return [
        (total - empty / LOOPS * (CYCLE_LOOPS if "cycle" in stmt else LOOPS))
        / (CYCLE_LOOPS if "cycle" in stmt else LOOPS)
        for stmt, total in zip(statements(), loops[1:], strict=True)
    ]


def table(values, unit):
    digits = 1 if unit == "ns" else 0
    reference, values = values[0], values[1:]
    lines = [
        f"| operation | tervalin_dm {unit} | pure Python {unit} | speed-up | ÷ `{REFERENCE}` | target |",
        "|---|--:|--:|--:|--:|---|",
    ]
    for i, (label, _, _, kind) in enumerate(ROWS):
        native, python = values[2 * i], values[2 * i + 1]
        speedup, near = python / native, native / reference
        if kind == "near":
            target = (
                f"≤ {NEAR_LIMITS}× `MitLimits(…)` ({'met' if near <= NEAR_LIMITS else '**not met**'})"
                if unit != "ns"
                else f"≤ {NEAR_LIMITS}× `MitLimits(…)` in instructions"
            )
            shown_near = f"{near:.2f}"
        else:
            target = (
                f"≥ {TARGET:.0f}× pure Python ({'met' if speedup >= TARGET else '**not met**'})"
                if unit != "ns"
                else f"≥ {TARGET:.0f}× pure Python in instructions"
            )
            shown_near = "—"
        lines.append(
            f"| {label} | {native:.{digits}f} | {python:.{digits}f} | {speedup:.1f}× | {shown_near} | {target} |"
        )
    lines.append(f"| `{REFERENCE}` (the reference) | {reference:.{digits}f} | — | — | 1.00 | — |")
    return "\n".join(lines)


# --- The whole cycle, on the virtual bus ---


class Responder(can.Listener):
    """Answers each command to one of the motors with its prepared feedback frame."""

    def __init__(self, bus):
        self.bus = bus
        self.answers = {
            m.motor_id: can.Message(arbitration_id=m.master_id, data=data, is_extended_id=False)
            for m, data in zip(motors, replies, strict=True)
        }

    def on_message_received(self, msg):
        answer = self.answers.get(msg.arbitration_id)
        if answer is not None:
            self.bus.send(answer)


@contextlib.contextmanager
def cycle_runs():
    """The three whole cycles by name, on a virtual channel with the responder running."""
    channel = f"bench-{uuid.uuid4()}"
    # The MotorBus receives through a notifier of its own, so it has a channel and a responder of its own.
    own = f"bench-{uuid.uuid4()}"
    with (
        can.Bus(interface="virtual", channel=channel) as host,
        can.Bus(interface="virtual", channel=channel) as motor_side,
        can.Notifier(motor_side, [Responder(motor_side)], timeout=0.1),
        can.Bus(interface="virtual", channel=own) as own_host,
        can.Bus(interface="virtual", channel=own) as own_motor_side,
        can.Notifier(own_motor_side, [Responder(own_motor_side)], timeout=0.1),
        MotorBus(own_host, motors) as bus,
    ):
        py_bus = PyMotorBus(host, [(m.motor_id, m.master_id) for m in motors], PY_LIMITS, 2.0)
        prepared = [
            tervalin_dm.encode(ControlSetpoint.mit(MitSetpoint(q, 0.0, 20.0, 1.0, 0.0)), m)
            for q, m in zip(targets, motors, strict=True)
        ]

        def tervalin_cycle():
            return bus.command_all([ControlSetpoint.mit(MitSetpoint(q, 0.0, 20.0, 1.0, 0.0)) for q in targets])

        def py_cycle():
            return py_bus.command_all([(q, 0.0, 20.0, 1.0, 0.0) for q in targets])

        def python_can_cycle():
            for can_id, data in prepared:
                host.send(can.Message(arbitration_id=can_id, data=data, is_extended_id=False))
            for _ in prepared:
                host.recv(2.0)

        assert [s.t_mos for s in tervalin_cycle()] == [s.t_mos for s in py_cycle()] == [40] * MOTORS
        yield {"tervalin_dm": tervalin_cycle, "pure Python": py_cycle, "python-can alone": python_can_cycle}


def cycle_timings(batches=30, cycles=200):
    """µs per cycle (minimum and median of interleaved batches) for tervalin_dm, the driver, python-can alone."""
    with cycle_runs() as runs:
        samples = {name: [] for name in runs}
        for _ in range(batches):
            for name, run in runs.items():
                start = time.perf_counter()
                for _ in range(cycles):
                    run()
                samples[name].append((time.perf_counter() - start) / cycles * 1e6)
        return {name: (min(values), statistics.median(values)) for name, values in samples.items()}


def counted_cycles():
    with cycle_runs() as runs:
        for run in runs.values():
            for _ in range(20):
                run()
            os.getppid()
            for _ in range(WHOLE_CYCLE_LOOPS):
                run()
            os.getppid()


CYCLE_LABELS = {
    "tervalin_dm": "tervalin_dm: `MotorBus.command_all` (setpoints built, encoded, sent, replies routed and decoded)",
    "pure Python": "pure-Python driver (`bench/dm_driver.py`), same steps",
    "python-can alone": "python-can alone: prepared frames sent, replies received, no codec",
}


def whole_cycle_table(counts):
    can_only = counts["python-can alone"]
    lines = [
        f"| {MOTORS}-motor cycle on the virtual bus, both threads | instr. per cycle | python-can's share |",
        "|---|--:|--:|",
    ]
    for name, label in CYCLE_LABELS.items():
        lines.append(f"| {label} | {counts[name]:.0f} | {can_only / counts[name]:.0%} |")
    return "\n".join(lines)


def cycle_table(results):
    can_only = results["python-can alone"][0]
    lines = [
        f"| {MOTORS}-motor cycle on the virtual bus | µs per cycle (minimum) | median | python-can's share |",
        "|---|--:|--:|--:|",
    ]
    for name, label in CYCLE_LABELS.items():
        best, median = results[name]
        lines.append(f"| {label} | {best:.1f} | {median:.1f} | {can_only / best:.0%} |")
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
    intro = (
        "## DM frames: tervalin_dm against a pure-Python driver\n\n"
        "`bench/frames.py`: the package `tervalin_dm` (its extension built on the producer kit) against "
        "the pure-Python `struct`/bit-shift driver `bench/dm_driver.py`. The native decoder returns a "
        "`tervalin.MotorState`, the Python one an instance of a `__slots__` class; the encoders return "
        "`(can_id, bytes)`. The cycle rows build 12 MIT setpoints (tervalin: `MitSetpoint` and "
        "`ControlSetpoint.mit`; Python: tuples of floats), encode them and decode 12 feedback frames.\n\n"
        "An encoder's result is a tuple and its bytes (the CAN id comes from a table of ints made once); "
        "the codec keeps the last tuple it handed out and, once nothing else holds it (a sender unpacks a "
        "frame and drops it, as in the single-frame rows), fills it and its bytes anew instead of making "
        "two objects and releasing two (about 400 instructions in CPython 3.13). Frames kept together, as "
        "in the cycle rows, are each made new. The whole cycle is python-can's: its virtual bus "
        "deep-copies every message for every receiver.\n\n"
    )
    path.write_text(head + BEGIN + "\n" + intro + body + END + tail)


def main():
    check_agreement()
    if sys.argv[1:] == ["--instructions"]:
        text = (
            f"Instructions per operation (callgrind, loop of {LOOPS} minus an empty loop; cycle rows "
            f"{CYCLE_LOOPS} cycles):\n\n" + table(instructions(), "instr.") + "\n\n"
            f"The whole cycle, {WHOLE_CYCLE_LOOPS} cycles after a warm-up, counting the responder thread that "
            f"answers each command with a prepared feedback frame; python-can's share is the python-can-alone "
            f"cycle over the row's:\n\n" + whole_cycle_table(whole_cycle_instructions())
        )
        kind = "instructions"
    else:
        load = os.getloadavg()[0]
        text = (
            f"Time per operation (CPython {sys.version.split()[0]}, tervalin {tervalin.__version__}, python-can "
            f"{can.__version__}; minimum of {REPEATS} interleaved runs of ~{RUN_SECONDS * 1000:.0f} ms, timeit "
            f"loop overhead included):\n\n" + table(timings(), "ns") + "\n\n"
            f"The whole cycle: {MOTORS} motors answered by a responder thread on the same virtual channel "
            f"(one prepared feedback frame per command), minimum and median of 30 interleaved batches of 200 "
            f"cycles; python-can's share is the python-can-alone cycle over the row's (load average "
            f"{load:.1f} on {os.cpu_count()} CPUs before):\n\n" + cycle_table(cycle_timings())
        )
        kind = "time"
    print(text)
    write_results(kind, text)


if __name__ == "__main__":
    if sys.argv[1:] == ["--child"]:
        counted_child()
    elif sys.argv[1:] == ["--cycles"]:
        counted_cycles()
    else:
        main()
