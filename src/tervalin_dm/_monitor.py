"""`tervalin-dm monitor`: a live table of the motors' feedback, in curses.

The monitor only listens: it shows the feedback frames that motors send on
their master ids while another program commands them. Before it starts it
reads each motor's PMAX, VMAX and TMAX (register reads, which move nothing),
since feedback is scaled over them. With `--poll` it also reads the registers
p_m (the motor-side position) and xout (the output-side position) of each
motor over and over: a register read is answered by the register's value, not
by a feedback frame, so polling shows where a motor is even when nothing
commands it, but never its velocity, torque, temperatures or status, which
only feedback frames carry.
"""

import argparse
import contextlib
import curses
import logging
import math
import threading
import time
from collections.abc import Sequence

import can
from tervalin import ControlSetpoint, Damiao, MitLimits, MitSetpoint, MotorState

from tervalin_dm import Register, _codec, decode_feedback, decode_register_reply, feedback_motor_id
from tervalin_dm._exchange import RegisterReader, listening
from tervalin_dm._status import describe
from tervalin_dm.cli import SIMULATED_STEP_S, Failure, handle, number_text, timeout_of

REFRESH_S = 0.1  # the table is redrawn ten times a second
STALE_S = 1.0  # a motor whose last frame is older is marked
POLLED = (Register.P_M, Register.XOUT)
# The simulated motors' motion: a slow sine through MIT commands.
SIM_PERIOD_S = 4.0
SIM_AMPLITUDE = 1.5
SIM_KP, SIM_KD = 20.0, 1.0

logger = logging.getLogger("tervalin_dm.monitor")


class Row:
    """What the table shows of one motor."""

    def __init__(self, motor: Damiao) -> None:
        self.motor = motor
        self.state: MotorState | None = None
        self.frames = 0
        self.last = 0.0  # time.monotonic() of the last feedback frame
        self.rate = 0.0  # feedback frames per second, over the last second or so
        self.window: tuple[float, int] = (0.0, 0)
        self.polled: dict[Register, float] = {}


class FeedbackTable(can.Listener):
    """A `can.Listener` that keeps the last feedback of each motor."""

    def __init__(self, motors: Sequence[Damiao], limits: Sequence[MitLimits]) -> None:
        self.rows = [Row(motor) for motor in motors]
        self._routes = {
            (motor.master_id, motor.motor_id & _codec.feedback_motor_id_mask): (row, lim)
            for motor, row, lim in zip(motors, self.rows, limits, strict=True)
        }
        self._ids = {motor.motor_id for motor in motors}
        self.lock = threading.Lock()

    def on_message_received(self, msg: can.Message) -> None:
        data = msg.data
        if msg.is_extended_id or msg.is_remote_frame or msg.is_error_frame or msg.is_fd or len(data) != 8:
            return
        route = self._routes.get((msg.arbitration_id, feedback_motor_id(data)))
        if route is None:
            return
        reply = decode_register_reply(data)
        if reply is not None and reply.motor_id in self._ids:
            return  # a register answer on the master id (a poll, another program's read), not feedback
        row, limits = route
        state = decode_feedback(data, limits)
        with self.lock:
            row.state = state
            row.frames += 1
            row.last = time.monotonic()

    def snapshot(self, now: float) -> list[Row]:
        with self.lock:
            for row in self.rows:
                start, frames = row.window
                if now - start >= 1.0:
                    row.rate = (row.frames - frames) / (now - start) if start else 0.0
                    row.window = (now, row.frames)
            return list(self.rows)


HEADERS = ("motor", "master", "status", "position", "velocity", "torque", "T mos", "T rotor", "frames/s", "last")
UNITS = ("", "", "", "rad", "rad/s", "N·m", "°C", "°C", "", "s ago")


def cells(row: Row, now: float, poll: bool) -> list[str]:
    motor, state = row.motor, row.state
    head = [f"{motor.motor_id:#x}", f"{motor.master_id:#x}"]
    if state is None:
        values = ["no frame yet", "-", "-", "-", "-", "-", "-", "-"]
    else:
        age = now - row.last
        values = [
            describe(state.error) + (" (stale)" if age > STALE_S else ""),
            f"{state.position:+.4f}",
            f"{state.velocity:+.4f}",
            f"{state.torque:+.4f}",
            str(state.t_mos),
            str(state.t_rotor),
            f"{row.rate:.0f}",
            f"{age:.1f}",
        ]
    tail = [number_text(row.polled[r]) if r in row.polled else "-" for r in POLLED] if poll else []
    return head + values + tail


def lines(rows: Sequence[Row], now: float, poll: bool, title: str) -> list[str]:
    headers = list(HEADERS) + ([r.vendor_name for r in POLLED] if poll else [])
    units = list(UNITS) + ([r.unit for r in POLLED] if poll else [])
    body = [cells(row, now, poll) for row in rows]
    widths = [max(len(c) for c in column) for column in zip(headers, units, *body, strict=True)]

    def line(row: Sequence[str]) -> str:
        return "  ".join(
            cell.rjust(width) if i >= 3 else cell.ljust(width)
            for i, (cell, width) in enumerate(zip(row, widths, strict=True))
        )

    return [title, "", line(headers), line(units), *(line(row) for row in body), "", "q or Ctrl-C: quit"]


def draw(screen: "curses.window", text: Sequence[str]) -> None:
    screen.erase()
    height, width = screen.getmaxyx()
    for y, line in enumerate(text[:height]):
        screen.addnstr(y, 0, line, max(0, width - 1))
    screen.refresh()


def show(screen: "curses.window", table: FeedbackTable, poll: bool, title: str) -> None:
    with contextlib.suppress(curses.error):  # a terminal that cannot hide the cursor shows it
        curses.curs_set(0)
    screen.timeout(int(REFRESH_S * 1000))
    while True:
        now = time.monotonic()
        draw(screen, lines(table.snapshot(now), now, poll, title))
        if screen.getch() in (ord("q"), ord("Q")):
            return


def poll_loop(reader: RegisterReader, table: FeedbackTable, timeout: float, stop: threading.Event) -> None:
    while not stop.is_set():
        for row in table.rows:
            for register in POLLED:
                if stop.is_set():
                    return
                answer = reader.read(row.motor.motor_id, register, timeout)
                if answer is not None:
                    with table.lock:
                        row.polled[register] = answer[1]
        stop.wait(REFRESH_S)


def drive_simulated(channel: str, motors: Sequence[Damiao], stop: threading.Event) -> None:
    """Commands the simulated motors as another program would, on a bus of its own: a slow sine through MIT."""
    from tervalin_dm.bus import MotorBus  # only this command needs the bus

    with can.Bus(interface="virtual", channel=channel) as wire, MotorBus(wire, motors) as mbus:  # disables at exit
        enabled: set[int] = set()
        start = time.monotonic()
        while not stop.wait(SIMULATED_STEP_S):
            phase = 2 * math.pi * (time.monotonic() - start) / SIM_PERIOD_S
            try:
                for motor in motors:
                    if motor.motor_id not in enabled:
                        mbus.enable(motor)
                        enabled.add(motor.motor_id)
                mbus.command_all([sine(phase + i) for i in range(len(motors))])
            except (can.CanError, TimeoutError) as error:
                # A reply may come late on a loaded machine; the next cycle goes on.
                logger.debug("driving the simulated motors: %s", error)


def sine(phase: float) -> ControlSetpoint:
    return ControlSetpoint.mit(MitSetpoint(SIM_AMPLITUDE * math.sin(phase), 0.0, SIM_KP, SIM_KD, 0.0))


def motor_limits(reader: RegisterReader, motor_id: int, timeout: float) -> MitLimits:
    """The limits the motor scales its feedback over, read from its registers."""
    values: list[float] = []
    for register in (Register.PMAX, Register.VMAX, Register.TMAX):
        answer = reader.read(motor_id, register, timeout)
        if answer is None:
            raise Failure(f"motor {motor_id:#x} did not answer a read of {register.name}")
        values.append(float(answer[1]))
    p_max, v_max, t_max = values
    return MitLimits(p_max=p_max, v_max=v_max, t_max=t_max)


def run(bus: can.BusABC, args: argparse.Namespace) -> int:
    timeout = timeout_of(args) / 1000.0
    notifier = can.Notifier(bus, [], timeout=0.05)
    stop = threading.Event()
    threads: list[threading.Thread] = []
    try:
        with listening(bus, notifier) as reader:
            motors = [handle(bus, motor_id, args, notifier) for motor_id in args.motors]
            limits = [motor_limits(reader, motor.motor_id, timeout) for motor in motors]
            table = FeedbackTable(motors, limits)
            notifier.add_listener(table)
            if args.poll:
                threads.append(threading.Thread(target=poll_loop, args=(reader, table, timeout, stop), daemon=True))
            if args.simulate:
                threads.append(
                    threading.Thread(target=drive_simulated, args=(args.simulated_channel, motors, stop), daemon=True)
                )
            for thread in threads:
                thread.start()
            where = "simulated motors" if args.simulate else getattr(bus, "channel_info", "the bus")
            title = f"tervalin-dm monitor: {len(motors)} motor(s) on {where}" + (
                ", polling p_m and xout" if args.poll else ""
            )
            try:
                curses.wrapper(show, table, args.poll, title)
            except KeyboardInterrupt:
                pass  # Ctrl-C ends the monitor like q: curses.wrapper has restored the terminal
    finally:
        stop.set()
        for thread in threads:
            thread.join()
        notifier.stop()
    return 0
