"""tervalin_dm as type checkers see it."""

import os
import pathlib
import re
import subprocess
import sys

import pytest

# --- Types ---

# Each line marked "rejected" must be flagged, and no other line.
TYPED_USE = """\
import can
from tervalin import ControlSetpoint, Damiao, MitLimits, MotorState
from tervalin_dm import Status, decode_feedback, encode, encode_feedback, feedback_motor_id, write_control_mode
from tervalin_dm.bus import MotorBus, NoReply
from tervalin_dm.sim import SimulatedMotor

motor = Damiao(1, 0x11)
frame: tuple[int, bytes] = encode(ControlSetpoint.vel(1.0), motor)
state: MotorState = decode_feedback(frame[1], MitLimits())
data: bytes = encode_feedback(motor_id=1, error=Status.ENABLED, position=0.0, velocity=0, torque=0.5, t_mos=30,
                              t_rotor=30, limits=MitLimits())
print(feedback_motor_id(bytearray(data)) + 1, write_control_mode(motor, 2))
encode(motor, ControlSetpoint.vel(1.0))  # rejected
decode_feedback(data, motor)  # rejected
encode_feedback(motor_id=1)  # rejected
bus = MotorBus(can.Bus(interface="virtual"), [motor])
states: list[MotorState] = bus.command_all([ControlSetpoint.vel(1.0)])
bus.command(motor, 1.0)  # rejected
print(bus.late_replies + 1, bus.command(motor, ControlSetpoint.vel(1.0)).torque * 2.0)
try:
    bus.enable(motor)
except NoReply as e:
    print(e.motors[0].motor_id, e.timeout_ms)
sim = SimulatedMotor(bus=can.Bus(interface="virtual"), motor=motor, step=0.002)
sim.fault = Status.OVERLOAD
sim.fault = "overload"  # rejected
from tervalin_dm import ControlMode, Register, RegisterCommand, decode_register_reply, read_register, write_register

pmax: Register = Register.parse("pmax")
print(pmax.vendor_name.lower(), pmax.unit + "", pmax.writable or pmax.description, pmax.type(1) + 1)
written: int | float = pmax.check(12.5)
mode: ControlMode = sim.mode
frames: list[tuple[int, bytes]] = [read_register(motor, pmax), read_register(1, "21"), write_register(1, 21, 1.5)]
write_register(motor, Register.MST_ID, "0x11")  # rejected
read_register("1", pmax)  # rejected
reply = decode_register_reply(frames[0][1])
if reply is not None and reply.command is RegisterCommand.READ:
    print(reply.motor_id + 1, reply.register, reply.value * 2)
print(reply.value)  # rejected
"""

CHECKERS = {
    "mypy": ["-m", "mypy", "--strict", "--no-incremental"],
    "pyright": ["-m", "pyright", "--pythonpath", sys.executable],
}


def run_checker(checker, path, cwd):
    return subprocess.run(
        [sys.executable, *CHECKERS[checker], str(path)],
        capture_output=True,
        text=True,
        cwd=cwd,
        timeout=600,
        env={**os.environ, "PYRIGHT_PYTHON_IGNORE_WARNINGS": "1"},
    )


@pytest.mark.parametrize("checker", CHECKERS)
def test_type_checkers_flag_exactly_the_misuse(tmp_path, checker):
    (tmp_path / "pyrightconfig.json").write_text('{"typeCheckingMode": "strict"}')
    source = tmp_path / "use.py"
    source.write_text(TYPED_USE)
    child = run_checker(checker, source.name, tmp_path)
    flagged = {int(line) for line in re.findall(r"use\.py:(\d+):\d*:? ?-? ?error", child.stdout)}
    expected = {n for n, line in enumerate(TYPED_USE.splitlines(), 1) if line.endswith("# rejected")}
    assert flagged == expected, child.stdout + child.stderr


@pytest.mark.parametrize("checker", CHECKERS)
def test_the_package_type_checks_strictly(tmp_path, checker):
    import tervalin_dm

    (tmp_path / "pyrightconfig.json").write_text('{"typeCheckingMode": "strict"}')
    package = pathlib.Path(tervalin_dm.__file__).parent
    assert (package / "py.typed").exists()
    target = ["-p", "tervalin_dm"] if checker == "mypy" else [str(package)]
    child = subprocess.run(
        [sys.executable, *CHECKERS[checker], *target],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        timeout=600,
        env={**os.environ, "PYRIGHT_PYTHON_IGNORE_WARNINGS": "1"},
    )
    assert child.returncode == 0, child.stdout + child.stderr


def test_stub_matches_the_extension():
    child = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "tervalin_dm"], capture_output=True, text=True, timeout=300
    )
    assert child.returncode == 0, child.stdout + child.stderr
