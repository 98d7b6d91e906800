"""The command line `tervalin-dm`: find, inspect, configure and watch Damiao motors.

Like python-can's own tools (`can.logger`, `can.viewer`) it opens the bus
from `-i/--interface`, `-c/--channel`, `-b/--bitrate` and python-can's
configuration file and environment variables, and needs nothing beyond the
standard library and python-can. `--simulate N` runs every command against N
simulated motors on a private virtual channel instead.

Exit status: 0 on success, 1 when a motor did not answer, reported a fault or
the bus failed, 2 on a usage error (and when a change that needs a
confirmation cannot be confirmed), 130 when interrupted.
"""

import argparse
import contextlib
import json
import logging
import math
import os
import struct
import sys
import uuid
from collections.abc import Callable, Generator, Sequence
from typing import TYPE_CHECKING

from tervalin import Damiao, MotorState

from tervalin_dm import ControlMode, Register
from tervalin_dm._status import describe, is_error
from tervalin_dm.scan import DEFAULT_IDS, DEFAULT_TIMEOUT_MS, MAX_ID, FoundMotor, scan

if TYPE_CHECKING:
    import can

    from tervalin_dm.bus import MotorBus

__all__ = ["main"]

PROG = "tervalin-dm"
INSTALL_HINT = "pip install 'tervalin[can]'"
EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130
REPLY_TIMEOUT_MS = 50
# Simulated motors: ids 1..N, each answering on master id SIMULATED_MASTER_BASE + its id. Feedback carries only
# the low four bits of a motor id, and ids above 15 would meet the master ids of the first motors.
SIMULATED_MASTER_BASE = 0x10
SIMULATED_MAX = 15
# A simulated motor advances its model by one step per command: the monitor commands them once a step, so that
# they move in real time, with an inertia that keeps that step stable under its gains.
SIMULATED_STEP_S = 0.01
SIMULATED_INERTIA = 0.02
# Writes that change where a motor listens or answers, or how fast the bus runs: asked before they are made.
MOVING_WRITES = {
    Register.MST_ID: "the motor will answer on id {new} from now on",
    Register.ESC_ID: "the motor will listen on id {new} from now on (and no longer on {motor})",
    Register.CAN_BR: "the motor will talk at another bus rate from now on, and no longer be heard at this one",
}
ID_REGISTERS = (Register.MST_ID, Register.ESC_ID)
LOG_LEVELS = (logging.ERROR, logging.INFO, logging.DEBUG)  # by the count of -v
MAX_MISSED = 3  # registers in a row a motor leaves unanswered before `info` gives up on it


class Failure(Exception):
    """A command that ran but did not succeed: exit status 1."""


class Refused(Exception):
    """A command that may not run as given: exit status 2."""


# --- Texts ---


def number_text(value: float) -> str:
    """`value`, a register value or a single-precision reading, in the shortest text that reads back to it."""
    if isinstance(value, int) or not math.isfinite(value):
        return str(value)
    for digits in range(1, 10):
        shortest = float(f"{value:.{digits}g}")
        with contextlib.suppress(OverflowError, struct.error):
            if struct.unpack("<f", struct.pack("<f", shortest))[0] == value:
                text = repr(shortest)  # 30.0, not 3e+01
                return text.removesuffix(".0")
    return repr(value)


def value_text(register: Register, value: int | float) -> str:
    """A register's value as a person reads it: ids in hexadecimal, the mode by name."""
    if register in ID_REGISTERS:
        return f"{value:#x}"
    if register is Register.CTRL_MODE:
        return f"{value} ({ControlMode(int(value)).name})" if value in ControlMode._value2member_map_ else str(value)
    return number_text(value)


def register_line(register: Register, value: int | float) -> str:
    """'PMAX (21) = 12.5 rad': a register, its number, its value and unit."""
    return f"{register.name} ({int(register)}) = {value_text(register, value)} {register.unit}".rstrip()


def json_value(value: int | float) -> int | float:
    return value if isinstance(value, int) else float(number_text(value))


def table(headers: Sequence[str], rows: Sequence[Sequence[str]]) -> str:
    """A plain-text table, columns left-aligned; the last column is not padded."""
    widths = [max(len(str(cell)) for cell in column) for column in zip(headers, *rows, strict=True)]
    lines: list[str] = []
    for row in (headers, *rows):
        cells = [str(cell).ljust(width) for cell, width in zip(row[:-1], widths[:-1], strict=True)]
        lines.append("  ".join([*cells, str(row[-1])]).rstrip())
    return "\n".join(lines)


def state_text(state: MotorState) -> str:
    # Four decimals, as a MotorState prints: feedback is quantised far coarser than a single's digits.
    return (
        f"{describe(state.error)}, position {state.position:.4f} rad, velocity {state.velocity:.4f} rad/s, "
        f"torque {state.torque:.4f} N·m, MOS {state.t_mos} °C, rotor {state.t_rotor} °C"
    )


def mode_text(mode: int) -> str:
    return ControlMode(mode).name if mode in ControlMode._value2member_map_ else str(mode)


# --- Arguments ---


def motor_id(text: str) -> int:
    """A motor id as typed: decimal or 0x.., 0 to 0x7FF."""
    try:
        value = int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a motor id (decimal or 0x..): {text!r}") from None
    if not 0 <= value <= MAX_ID:
        raise argparse.ArgumentTypeError(f"a motor id lies in 0 to 0x{MAX_ID:X}: {text!r}")
    return value


def register_arg(text: str) -> Register:
    try:
        return Register.parse(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def id_ranges(text: str) -> list[int]:
    """Motor ids as typed for a scan: '1-16', '0x10-0x1f,0x30', '5'."""
    ids: list[int] = []
    for part in text.split(","):
        first, dash, last = part.strip().partition("-")
        low = motor_id(first)
        high = motor_id(last) if dash else low
        if high < low:
            raise argparse.ArgumentTypeError(f"an empty range of ids: {part!r}")
        ids.extend(range(low, high + 1))
    return ids


def positive_ms(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of ms: {text!r}") from None
    if not (value > 0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError(f"a timeout is a number of ms above 0: {text!r}")
    return value


def simulated_count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of motors: {text!r}") from None
    if not 1 <= value <= SIMULATED_MAX:
        raise argparse.ArgumentTypeError(f"from 1 to {SIMULATED_MAX} simulated motors: {text!r}")
    return value


def parse_value(register: Register, text: str) -> int | float:
    """The value typed for `register`, as it would be written (a mode may be given by name)."""
    if register is Register.CTRL_MODE and text.upper() in ControlMode.__members__:
        value: int | float = int(ControlMode[text.upper()])
    elif register.type is int:
        try:
            value = int(text, 0)
        except ValueError:
            raise Refused(f"{register.name} takes an integer (decimal or 0x..), not {text!r}") from None
    else:
        try:
            value = float(text)
        except ValueError:
            raise Refused(f"{register.name} takes a number, not {text!r}") from None
    try:
        return register.check(value)
    except (TypeError, ValueError) as error:
        raise Refused(str(error)) from None


# The common options, accepted before or after the command. Each command's parser gets them with their defaults
# suppressed, so that a value given before the command is not overwritten by the default after it.
COMMON_DEFAULTS = {
    "interface": None,
    "channel": None,
    "bitrate": None,
    "simulate": None,
    "master": None,
    "timeout": None,
    "yes": False,
    "verbose": 0,
}


def add_common(parser: argparse.ArgumentParser, *, suppress: bool) -> None:
    def default(name: str) -> object:
        return argparse.SUPPRESS if suppress else COMMON_DEFAULTS[name]

    bus = parser.add_argument_group("bus arguments (as python-can's tools take them)")
    bus.add_argument(
        "-i",
        "--interface",
        default=default("interface"),
        help="the python-can interface (socketcan, pcan, slcan, gs_usb, ...); by default from "
        "python-can's configuration file or its CAN_INTERFACE environment variable",
    )
    bus.add_argument(
        "-c",
        "--channel",
        default=default("channel"),
        help="the channel (can0, PCAN_USBBUS1, /dev/ttyACM0, ...); by default from python-can's configuration",
    )
    bus.add_argument("-b", "--bitrate", type=int, default=default("bitrate"), help="the bus rate in bit/s")
    tool = parser.add_argument_group("motor arguments")
    tool.add_argument(
        "--simulate",
        metavar="N",
        type=simulated_count,
        default=default("simulate"),
        help=f"run against N simulated motors (ids 1..N, master id 0x{SIMULATED_MASTER_BASE:X}+id) "
        "on a private virtual channel instead of the bus; nothing is kept between runs",
    )
    tool.add_argument(
        "--master",
        metavar="ID",
        type=motor_id,
        default=default("master"),
        help="the motor's master id; read from the motor when not given",
    )
    tool.add_argument(
        "--timeout",
        metavar="MS",
        type=positive_ms,
        default=default("timeout"),
        help=f"how long to wait for each answer (default {REPLY_TIMEOUT_MS} ms, "
        f"{DEFAULT_TIMEOUT_MS} ms per id for scan)",
    )
    tool.add_argument(
        "-y",
        "--yes",
        action="store_true",
        default=default("yes"),
        help="make changes of ids or bus rate and saves without asking",
    )
    tool.add_argument(
        "-v",
        "--verbose",
        action="count",
        default=default("verbose"),
        help="log what happens on the bus (-v: info, -vv: debug)",
    )


def epilog(*lines: str) -> str:
    return "examples:\n" + "\n".join(f"  {PROG} {line}" for line in lines)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Find, inspect, configure and watch Damiao DM-series motors on a CAN bus.",
        epilog=epilog(
            "--simulate 2 scan",
            "-i socketcan -c can0 scan",
            "-c can0 info 1",
            "-c can0 set 1 TIMEOUT 1000",
            "-c can0 monitor 1 2",
        ),
    )
    add_common(parser, suppress=False)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, help_text: str, *examples: str, run: Callable[..., int]) -> argparse.ArgumentParser:
        sub = commands.add_parser(
            name,
            help=help_text,
            description=help_text,
            epilog=epilog(*examples),
            formatter_class=argparse.RawDescriptionHelpFormatter,
        )
        add_common(sub, suppress=True)
        sub.set_defaults(run=run)
        return sub

    def motor_arg(sub: argparse.ArgumentParser) -> None:
        sub.add_argument("motor", metavar="MOTOR", type=motor_id, help="the motor id (decimal or 0x..)")

    def json_arg(sub: argparse.ArgumentParser) -> None:
        sub.add_argument("--json", action="store_true", help="print JSON for scripts")

    sub = command(
        "scan",
        "find the motors on the bus: their ids, master ids, control modes and firmware",
        "scan",
        "scan --ids 1-16 --timeout 10",
        "--simulate 3 scan --json",
        run=run_scan,
    )
    sub.add_argument(
        "--ids",
        type=id_ranges,
        default=DEFAULT_IDS,
        help=f"the ids to ask, e.g. 1-16 or 0x10-0x1f,0x30 (default 0x{DEFAULT_IDS[0]:x}-"
        f"0x{DEFAULT_IDS[-1]:x}); each id where no motor answers costs one timeout",
    )
    json_arg(sub)
    sub = command(
        "info",
        "every register of a motor: name, number, value, unit and meaning",
        "info 1",
        "info 0x02 --master 0x12",
        "info 1 --json",
        run=run_info,
    )
    motor_arg(sub)
    json_arg(sub)
    sub = command("get", "read one register", "get 1 PMAX", "get 1 pmax", "get 1 21 --json", run=run_get)
    motor_arg(sub)
    sub.add_argument("register", metavar="REGISTER", type=register_arg, help="a name (PMAX, pmax) or number (21)")
    json_arg(sub)
    sub = command(
        "set",
        "write one register (not kept over a power cycle until `save`)",
        "set 1 TIMEOUT 1000",
        "set 1 MST_ID 0x11 --yes",
        "set 1 CTRL_MODE POS_VEL",
        run=run_set,
    )
    motor_arg(sub)
    sub.add_argument("register", metavar="REGISTER", type=register_arg, help="a name (PMAX, pmax) or number (21)")
    sub.add_argument("value", metavar="VALUE", help="the new value (integers also as 0x..)")
    sub = command(
        "save",
        "save every register to the motor's flash (the motor must be disabled)",
        "save 1",
        "save 1 --yes",
        run=run_save,
    )
    motor_arg(sub)
    sub = command("zero", "make the motor's present position its zero", "zero 1", run=run_zero)
    motor_arg(sub)
    sub = command("enable", "enable a motor (it then holds its last command)", "enable 1", run=run_enable)
    motor_arg(sub)
    sub = command("disable", "disable a motor", "disable 1", run=run_disable)
    motor_arg(sub)
    sub = command("mode", "switch a motor's control mode", "mode 1 MIT", "mode 1 pos_vel", run=run_mode)
    motor_arg(sub)
    sub.add_argument(
        "mode",
        metavar="|".join(ControlMode.__members__),
        type=str.upper,
        choices=list(ControlMode.__members__),
        help="the control mode",
    )
    sub = command(
        "monitor",
        "a live table of the motors' feedback; q or Ctrl-C ends it",
        "monitor 1 2",
        "monitor 1 --poll",
        "--simulate 2 monitor 1 2",
        run=run_monitor,
    )
    sub.add_argument("motors", metavar="MOTOR", type=motor_id, nargs="+", help="the motor ids")
    sub.add_argument(
        "--poll",
        action="store_true",
        help="also read each motor's p_m and xout registers (positions, moving nothing) several times a second",
    )
    return parser


# --- The bus ---


@contextlib.contextmanager
def open_bus(args: argparse.Namespace) -> Generator["can.BusABC"]:
    """The python-can bus the arguments name, or the private channel of the simulated motors."""
    import can  # imported by main first, with a message when missing

    if args.simulate:
        with simulated_motors(args.simulate) as channel, can.Bus(interface="virtual", channel=channel) as bus:
            args.simulated_channel = channel  # for the monitor, which commands the simulated motors itself
            yield bus
        return
    config = {
        name: getattr(args, name) for name in ("interface", "channel", "bitrate") if getattr(args, name) is not None
    }
    try:
        # Like python-can's tools: what is not given comes from its configuration file and environment.
        bus = can.Bus(**config)
    except (can.CanError, ValueError, OSError, ImportError) as error:
        raise Failure(f"cannot open the CAN bus ({error})") from error
    with bus:
        yield bus


@contextlib.contextmanager
def simulated_motors(count: int) -> Generator[str]:
    """`count` simulated motors on a virtual channel of their own; its name."""
    import can

    from tervalin_dm.sim import SimulatedMotor

    channel = f"{PROG}-simulated-{os.getpid()}-{uuid.uuid4().hex}"
    with can.Bus(interface="virtual", channel=channel) as wire:
        motors = [
            SimulatedMotor(wire, Damiao(i, SIMULATED_MASTER_BASE + i), inertia=SIMULATED_INERTIA, step=SIMULATED_STEP_S)
            for i in range(1, count + 1)
        ]
        try:
            for motor in motors:
                motor.start()
            yield channel
        finally:
            for motor in motors:
                motor.stop()


def master_of(bus: "can.BusABC", motor: int, args: argparse.Namespace, notifier: "can.Notifier | None" = None) -> int:
    """The master id of `motor`: as given, or read from the motor (through `notifier`, or a notifier of its own)."""
    given: int | None = args.master
    if given is not None:
        return given
    from tervalin_dm._exchange import listening

    # One read of MST_ID, answered on the master id wherever that is: where the answer comes is the master id.
    with listening(bus, notifier) as reader:
        answer = reader.read(motor, Register.MST_ID, timeout_of(args) / 1000.0)
    if answer is None:
        raise Failure(f"motor {motor:#x} did not answer (asked for its master id within {timeout_of(args):g} ms)")
    return answer[0]


def timeout_of(args: argparse.Namespace) -> float:
    return REPLY_TIMEOUT_MS if args.timeout is None else args.timeout


def handle(bus: "can.BusABC", motor: int, args: argparse.Namespace, notifier: "can.Notifier | None" = None) -> Damiao:
    """A handle of `motor` with its master id (as given or read) and the reply timeout given."""
    return Damiao(motor, master_of(bus, motor, args, notifier), timeout_ms=math.ceil(timeout_of(args)))


@contextlib.contextmanager
def motor_bus(bus: "can.BusABC", motor: Damiao) -> Generator["MotorBus"]:
    """A MotorBus of the one motor, closed at the end with the motor left as it is (`enable` leaves it enabled)."""
    from tervalin_dm.bus import MotorBus

    mbus = MotorBus(bus, [motor])
    try:
        yield mbus
    finally:
        mbus.close()


def with_limits(bus: "can.BusABC", motor: int, args: argparse.Namespace) -> Damiao:
    """A handle with the motor's own PMAX/VMAX/TMAX, so that its feedback reads right."""
    plain = handle(bus, motor, args)
    with motor_bus(bus, plain) as mbus:
        limits = mbus.read_limits(plain)
    return Damiao(plain.motor_id, plain.master_id, limits, timeout_ms=math.ceil(timeout_of(args)))


def confirm(args: argparse.Namespace, question: str) -> None:
    """Asks `question` on the terminal unless --yes; refuses without a terminal to ask on."""
    if args.yes:
        return
    if not sys.stdin.isatty():
        raise Refused(f"{question}: not done without --yes (no terminal to ask on)")
    try:
        answer = input(f"{question}? [y/N] ")
    except EOFError:
        answer = ""
    if answer.strip().lower() not in ("y", "yes"):
        raise Refused("not done")


# --- The commands ---


def run_scan(bus: "can.BusABC", args: argparse.Namespace) -> int:
    ids = list(args.ids)
    timeout_ms = DEFAULT_TIMEOUT_MS if args.timeout is None else args.timeout
    progress = Progress(len(ids), timeout_ms)
    try:
        found = scan(bus, ids, timeout_ms, progress=progress)
    finally:
        progress.close()
    if args.json:
        print(json.dumps([found_json(motor) for motor in found], indent=2))
    elif found:
        print(
            table(
                ("motor", "master", "mode", "sw_ver", "sub_ver", "hw_ver"),
                [
                    (
                        f"{m.motor_id:#x}",
                        f"{m.master_id:#x}",
                        optional(m.control_mode, mode_text),
                        optional(m.sw_ver, str),
                        optional(m.sub_ver, str),
                        optional(m.hw_ver, str),
                    )
                    for m in found
                ],
            )
        )
    if not found:
        print(f"{PROG}: no motor answered on ids {args.ids[0]:#x} to {args.ids[-1]:#x}", file=sys.stderr)
        return EXIT_FAILED
    return EXIT_OK


def optional(value: object, text: Callable[..., str]) -> str:
    return "-" if value is None else text(value)


def found_json(motor: FoundMotor) -> dict[str, object]:
    mode = motor.control_mode
    return {
        "motor_id": motor.motor_id,
        "master_id": motor.master_id,
        "control_mode": mode.name if isinstance(mode, ControlMode) else mode,
        "sw_ver": motor.sw_ver,
        "sub_ver": motor.sub_ver,
        "hw_ver": motor.hw_ver,
    }


class Progress:
    """A scan's progress on stderr: one line redrawn on a terminal, a line per motor found otherwise."""

    def __init__(self, total: int, timeout_ms: float) -> None:
        self.terminal = sys.stderr.isatty()
        self.total = total
        self.found = 0
        if not self.terminal:
            print(f"scanning {total} ids, up to {number_text(timeout_ms)} ms each", file=sys.stderr)

    def __call__(self, done: int, total: int, motor: FoundMotor | None) -> None:
        if motor is not None:
            self.found += 1
            if not self.terminal:
                print(f"found motor {motor.motor_id:#x} (master {motor.master_id:#x})", file=sys.stderr, flush=True)
        if self.terminal:
            print(f"\rscanning: {done}/{total} ids asked, {self.found} found", end="", file=sys.stderr, flush=True)

    def close(self) -> None:
        if self.terminal:
            print(file=sys.stderr)


def read_every_register(
    mbus: "MotorBus", motor: Damiao, timeout_ms: float
) -> list[tuple[Register, int | float | None]]:
    """Every register of `motor`, None where it did not answer; a motor that answers none of three in a row fails."""
    import time

    from tervalin_dm.bus import NoReply

    values: list[tuple[Register, int | float | None]] = []
    missed = 0
    for register in Register:
        try:
            values.append((register, mbus.read_register(motor, register)))
            missed = 0
        except NoReply:
            values.append((register, None))
            missed += 1
            if missed == MAX_MISSED:
                raise Failure(f"motor {motor.motor_id:#x} stopped answering (at register {register.name})") from None
            # A motor that did not answer owes its answer for one more timeout and is sent nothing until then.
            time.sleep(timeout_ms / 1000.0)
    return values


def run_info(bus: "can.BusABC", args: argparse.Namespace) -> int:
    motor = handle(bus, args.motor, args)
    with motor_bus(bus, motor) as mbus:
        values = read_every_register(mbus, motor, timeout_of(args))
    if args.json:
        print(json.dumps([register_json(register, value) for register, value in values], indent=2))
    else:
        print(f"motor {motor.motor_id:#x}, master id {motor.master_id:#x}")
        print(
            table(
                ("register", "number", "value", "unit", "meaning"),
                [
                    (
                        register.name,
                        str(int(register)),
                        "no answer" if value is None else value_text(register, value),
                        register.unit,
                        register.description,
                    )
                    for register, value in values
                ],
            )
        )
    missing = [register.name for register, value in values if value is None]
    if missing:
        print(f"{PROG}: motor {motor.motor_id:#x} did not answer reads of {', '.join(missing)}", file=sys.stderr)
        return EXIT_FAILED
    return EXIT_OK


def register_json(register: Register, value: int | float | None) -> dict[str, object]:
    return {
        "register": register.name,
        "vendor_name": register.vendor_name,
        "number": int(register),
        "value": None if value is None else json_value(value),
        "unit": register.unit,
        "description": register.description,
    }


def run_get(bus: "can.BusABC", args: argparse.Namespace) -> int:
    motor = handle(bus, args.motor, args)
    with motor_bus(bus, motor) as mbus:
        value = mbus.read_register(motor, args.register)
    if args.json:
        print(json.dumps(register_json(args.register, value), indent=2))
    else:
        print(register_line(args.register, value))
    return EXIT_OK


def run_set(bus: "can.BusABC", args: argparse.Namespace) -> int:
    register = args.register
    if not register.writable:
        raise Refused(f"{register.name} ({int(register)}) is read-only")
    value = parse_value(register, args.value)
    motor = handle(bus, args.motor, args)
    if register in MOVING_WRITES:
        new = value_text(register, value)
        confirm(
            args,
            f"write {register.name} = {new} to motor {motor.motor_id:#x}: "
            + MOVING_WRITES[register].format(new=new, motor=f"{motor.motor_id:#x}"),
        )
    with motor_bus(bus, motor) as mbus:
        echoed = mbus.write_register(motor, register, value)
    print(register_line(register, echoed))
    print(f"not saved: `{PROG} save {new_id(motor, register, echoed):#x}` keeps it over a power cycle")
    return EXIT_OK


def new_id(motor: Damiao, register: Register, value: int | float) -> int:
    return int(value) if register is Register.ESC_ID else motor.motor_id


def run_save(bus: "can.BusABC", args: argparse.Namespace) -> int:
    motor = handle(bus, args.motor, args)
    confirm(args, f"save every register of motor {motor.motor_id:#x} to its flash")
    with motor_bus(bus, motor) as mbus:
        confirmed = mbus.save_parameters(motor)
    if not confirmed:
        # A motor saves only while disabled and ignores a save otherwise; some firmware saves without a word.
        raise Failure(
            f"motor {motor.motor_id:#x} did not confirm the save: it saves only while disabled "
            f"(`{PROG} disable {motor.motor_id:#x}`); a motor that saved without answering keeps its values over a "
            "power cycle"
        )
    print(f"motor {motor.motor_id:#x}: every register saved")
    return EXIT_OK


def state_command(method: str) -> Callable[["can.BusABC", argparse.Namespace], int]:
    def run(bus: "can.BusABC", args: argparse.Namespace) -> int:
        motor = with_limits(bus, args.motor, args)
        with motor_bus(bus, motor) as mbus:
            state = getattr(mbus, method)(motor)
        print(f"motor {motor.motor_id:#x}: {state_text(state)}")
        return EXIT_FAILED if is_error(state.error) else EXIT_OK

    return run


run_zero = state_command("set_zero")
run_enable = state_command("enable")
run_disable = state_command("disable")


def run_mode(bus: "can.BusABC", args: argparse.Namespace) -> int:
    motor = handle(bus, args.motor, args)
    with motor_bus(bus, motor) as mbus:
        mode = mbus.switch_mode(motor, ControlMode[args.mode])
    print(f"motor {motor.motor_id:#x}: control mode {mode_text(mode)}")
    return EXIT_OK


def run_monitor(bus: "can.BusABC", args: argparse.Namespace) -> int:
    if not (sys.stdout.isatty() and sys.stdin.isatty()):
        raise Refused("monitor draws a live table and needs a terminal (for scripts: get, or info --json)")
    from tervalin_dm import _monitor  # curses is loaded for this command only

    return _monitor.run(bus, args)


# --- Entry ---


def main(argv: Sequence[str] | None = None) -> int:
    """Runs `tervalin-dm` with `argv` (by default the process's arguments); the exit status."""
    try:
        return run(argv)
    except KeyboardInterrupt:
        # Whenever it comes (starting up, waiting for a motor): no traceback, every bus and notifier already closed.
        print(f"{PROG}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED


def run(argv: Sequence[str] | None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    for name, default in COMMON_DEFAULTS.items():
        if not hasattr(args, name):
            setattr(args, name, default)
    try:
        import can  # checked here, to say what to install
    except ImportError:
        print(f"{PROG}: error: python-can is missing: {INSTALL_HINT}", file=sys.stderr)
        return EXIT_USAGE
    # The library's warnings (a handle retired by an id change, a fault) say what the command prints anyway, in
    # the words of a program: shown with -v only.
    verbose: int = args.verbose
    level = LOG_LEVELS[min(verbose, len(LOG_LEVELS) - 1)]
    logging.basicConfig(level=level, format="%(name)s %(levelname)s: %(message)s")
    try:
        command: Callable[[can.BusABC, argparse.Namespace], int] = args.run
        with open_bus(args) as bus:
            return command(bus, args)
    except Refused as error:
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return EXIT_USAGE
    except (Failure, TimeoutError) as error:  # the bus's NoReply is a TimeoutError
        print(f"{PROG}: {error}", file=sys.stderr)
        return EXIT_FAILED
    except (ValueError, OSError, can.CanError) as error:
        # What the bus refuses (an echo that differs, a save while enabled) or the interface fails at: reported,
        # not a traceback.
        print(f"{PROG}: {type(error).__name__}: {error}", file=sys.stderr)
        return EXIT_FAILED


if __name__ == "__main__":
    sys.exit(main())
