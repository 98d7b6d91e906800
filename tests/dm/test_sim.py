"""The simulated motor: the register file and its exchanges, checked arguments, and life on a notifier."""

import logging
import math
import subprocess
import sys
import threading
import uuid

import can
import pytest
from tervalin import ControlSetpoint, Damiao, MitLimits

import tervalin_dm
from tervalin_dm import ControlMode, Register, Status, _codec
from tervalin_dm.sim import SimulatedMotor

MOTOR = Damiao(1, 0x11)


def frame(can_id_and_data):
    can_id, data = can_id_and_data
    return can.Message(arbitration_id=can_id, is_extended_id=False, data=data)


def ask(sim, request):
    """(can id, data in hex) of the answer to `request`, or None."""
    reply = sim.answer(frame(request))
    return None if reply is None else (reply.arbitration_id, reply.data.hex())


# --- Registers ---


# Answers by hand: on the master id, motor id (LE), command, register, the
# value after the operation (12.5 = 0x41480000, 45.0 = 0x42340000).
@pytest.mark.parametrize(
    "request_, answer",
    [
        (tervalin_dm.read_register(1, Register.MST_ID), (0x11, "0100330711000000")),
        (tervalin_dm.read_register(1, Register.ESC_ID), (0x11, "0100330801000000")),
        (tervalin_dm.read_register(1, Register.CTRL_MODE), (0x11, "0100330a01000000")),
        (tervalin_dm.read_register(1, Register.PMAX), (0x11, "0100331500004841")),
        (tervalin_dm.read_register(1, Register.GR), (0x11, "010033140000803f")),
        (tervalin_dm.read_register(1, Register.SN), (0x11, "0100330f00000000")),
        (tervalin_dm.write_register(1, Register.VMAX, 45.0), (0x11, "0100551600003442")),
        (tervalin_dm.write_register(1, Register.TIMEOUT, 0x1234), (0x11, "0100550934120000")),
        # Refused writes leave the register as it was, and the echo shows it.
        (tervalin_dm._codec.write_register(1, Register.DAMP, 2.0), (0x11, "0100550b00000000")),
        (tervalin_dm._codec.write_register(1, Register.CTRL_MODE, 5), (0x11, "0100550a01000000")),
        (tervalin_dm._codec.write_register(1, Register.MST_ID, 0x800), (0x11, "0100550711000000")),
        (tervalin_dm._codec.write_register(1, Register.PMAX, -1.0), (0x11, "0100551500004841")),
        ((0x7FF, bytes.fromhex("010055170000c07f")), (0x11, "0100551700002041")),  # NaN
        # No answer: a register it does not have, another motor's request.
        (tervalin_dm._codec.read_register(1, 40), None),
        (tervalin_dm.read_register(2, Register.MST_ID), None),
        (tervalin_dm.read_register(0x101, Register.MST_ID), None),
        # Saved while disabled.
        (tervalin_dm.save_parameters(1), (0x11, "0100aa0100000000")),
    ],
)
def test_register_exchanges(request_, answer):
    sim = SimulatedMotor(None, MOTOR)
    assert ask(sim, request_) == answer


def test_written_registers_take_effect():
    sim = SimulatedMotor(None, MOTOR)
    enable = tervalin_dm.enable
    # A new motor id: the echo is the old one's, then it listens on the new one.
    assert ask(sim, tervalin_dm.write_register(1, Register.ESC_ID, 5)) == (0x11, "0100550805000000")
    assert sim.answer(frame(enable(MOTOR))) is None
    reply = sim.answer(frame((5, enable(MOTOR)[1])))
    assert reply.arbitration_id == 0x11 and tervalin_dm.feedback_motor_id(reply.data) == 5
    # A new master id: the echo on the old one, then answers on the new one.
    assert ask(sim, tervalin_dm.write_register(5, Register.MST_ID, 0x22)) == (0x11, "0500550722000000")
    assert ask(sim, tervalin_dm.read_register(5, Register.MST_ID)) == (0x22, "0500330722000000")
    # New ranges: the feedback is scaled over them (velocity 0 is the middle code of ±VMAX).
    ask(sim, tervalin_dm.write_register(5, Register.PMAX, 25.0))
    sim.position = -12.5
    state = tervalin_dm.decode_feedback(sim.answer(frame((5, tervalin_dm.disable(MOTOR)[1]))).data, MitLimits(25.0))
    assert state.position == pytest.approx(-12.5, abs=1e-3)
    # A new control mode: commands of the old one are ignored.
    assert ask(sim, tervalin_dm.write_register(5, Register.CTRL_MODE, ControlMode.VEL))[1] == "0500550a03000000"
    assert sim.mode is ControlMode.VEL
    assert sim.answer(frame((5, bytes(8)))) is None  # an MIT command
    assert sim.answer(frame((0x205, bytes(8)))) is not None


def test_save_only_while_disabled(caplog):
    sim = SimulatedMotor(None, MOTOR)
    ask(sim, tervalin_dm.write_register(1, Register.TIMEOUT, 300))
    sim.answer(frame(tervalin_dm.enable(MOTOR)))
    with caplog.at_level(logging.DEBUG, logger="tervalin_dm.sim"):
        assert ask(sim, tervalin_dm.save_parameters(1)) is None
    assert sim.saved is None
    assert "ignores a save: a motor saves only while disabled" in caplog.text
    sim.answer(frame(tervalin_dm.disable(MOTOR)))
    assert ask(sim, tervalin_dm.save_parameters(1)) == (0x11, "0100aa0100000000")
    assert sim.saved is not None and sim.saved[Register.TIMEOUT] == 300
    ask(sim, tervalin_dm.write_register(1, Register.TIMEOUT, 5))
    assert sim.saved[Register.TIMEOUT] == 300 and sim.registers[Register.TIMEOUT] == 5


def test_debug_log_says_what_was_ignored(caplog):
    sim = SimulatedMotor(None, MOTOR)
    with caplog.at_level(logging.DEBUG, logger="tervalin_dm.sim"):
        sim.answer(frame(tervalin_dm.encode(ControlSetpoint.vel(1.0), MOTOR)))
        ask(sim, tervalin_dm._codec.write_register(1, Register.CTRL_MODE, 7))
        ask(sim, tervalin_dm.write_register(1, Register.CTRL_MODE, 2))
    messages = [record.getMessage() for record in caplog.records]
    assert messages == [
        "SimulatedMotor(motor_id=0x1, master_id=0x11) ignores a VEL command: its control mode is MIT",
        "SimulatedMotor(motor_id=0x1, master_id=0x11) keeps CTRL_MODE: CTRL_MODE (register 10) takes 1 (MIT), "
        "2 (POS_VEL), 3 (VEL), 4 (FORCE_POS), not 7",
        "SimulatedMotor(motor_id=0x1, master_id=0x11) switches to control mode POS_VEL",
    ]
    # A frame for another motor is no news.
    caplog.clear()
    with caplog.at_level(logging.DEBUG, logger="tervalin_dm.sim"):
        sim.answer(frame(tervalin_dm.enable(Damiao(2, 0x12))))
    assert caplog.records == []


# --- Arguments ---


@pytest.mark.parametrize(
    "arguments, error, message",
    [
        (dict(t_mos=300), ValueError, "t_mos must be in 0..255, not 300"),
        (dict(t_rotor=-1), ValueError, "t_rotor must be in 0..255, not -1"),
        (dict(t_mos=30.0), TypeError, "t_mos must be an int, not float"),
        (dict(t_rotor=True), TypeError, "t_rotor must be an int, not bool"),
        (dict(inertia=-1), ValueError, "inertia must be finite and > 0, not -1"),
        (dict(inertia=0.0), ValueError, "inertia must be finite and > 0, not 0.0"),
        (dict(inertia=math.inf), ValueError, "inertia must be finite and > 0, not inf"),
        (dict(inertia="1"), TypeError, "inertia must be a real number, not str"),
        (dict(friction=-0.1), ValueError, "friction must be finite and >= 0, not -0.1"),
        (dict(friction=math.nan), ValueError, "friction must be finite and >= 0, not nan"),
        (dict(step=math.nan), ValueError, "step must be finite and > 0, not nan"),
        (dict(step=0), ValueError, "step must be finite and > 0, not 0"),
        (dict(step=None), TypeError, "step must be a real number, not NoneType"),
        (dict(motor=1), TypeError, "motor must be a tervalin.Damiao, not int"),
        (dict(bus="can0"), TypeError, "bus must be a can.BusABC or None, not str"),
        (dict(notifier=object()), TypeError, "notifier must be a can.Notifier or None, not object"),
    ],
)
def test_bad_arguments(arguments, error, message):
    arguments = {"bus": None, "motor": MOTOR, **arguments}
    with pytest.raises(error) as raised:
        SimulatedMotor(arguments.pop("bus"), arguments.pop("motor"), **arguments)
    assert raised.type is error and str(raised.value) == message


@pytest.mark.parametrize(
    "fault, error, message",
    [
        (16, ValueError, "fault must be in 0..15, not 16"),
        (-1, ValueError, "fault must be in 0..15, not -1"),
        ("x", TypeError, "fault must be an int, not str"),
        (1.0, TypeError, "fault must be an int, not float"),
    ],
)
def test_bad_fault(fault, error, message):
    sim = SimulatedMotor(None, MOTOR)
    with pytest.raises(error) as raised:
        sim.fault = fault
    assert str(raised.value) == message and sim.fault is None
    sim.fault = Status.OVERLOAD
    reply = sim.answer(frame(tervalin_dm.enable(MOTOR)))
    assert tervalin_dm.decode_feedback(reply.data, MitLimits()).error == Status.OVERLOAD


@pytest.mark.parametrize(
    "can_id, message",
    [
        (0x800, "argument 'can_id': 2048 is not a standard CAN id (0..2047)"),
        # Ids were once cut to 32 bits: this one read as an MIT frame to motor 1.
        (2**32 + 1, "argument 'can_id': 4294967297 is not a standard CAN id (0..2047)"),
        (-1, "argument 'can_id': -1 is not a standard CAN id (0..2047)"),
    ],
)
def test_decode_command_refuses_ids_beyond_standard(can_id, message):
    with pytest.raises(ValueError) as raised:
        _codec.decode_command(can_id, tervalin_dm.enable(MOTOR)[1], MOTOR)
    assert str(raised.value) == message


def test_without_python_can_the_import_names_the_extra():
    code = (
        "import sys; sys.modules['can'] = None\n"
        "try:\n    import tervalin_dm.sim\nexcept ImportError as e:\n    print(e)\n"
    )
    child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert child.returncode == 0, child.stderr
    assert "pip install 'tervalin[can]'" in child.stdout


# --- On a notifier ---


@pytest.fixture
def channel():
    name = f"sim-{uuid.uuid4()}"
    with can.Bus(interface="virtual", channel=name) as motors, can.Bus(interface="virtual", channel=name) as host:
        yield motors, host


def exchange(host, request, timeout=5.0):
    host.send(frame(request))
    return host.recv(timeout)


def test_stopping_a_users_notifier_stops_every_motor_on_it(channel):
    motors, host = channel
    notifier = can.Notifier(motors, [], timeout=0.05)
    sims = [SimulatedMotor(motors, Damiao(n, 0x10 + n), notifier=notifier) for n in (1, 2, 3)]
    for sim in sims:
        sim.start()
    assert exchange(host, tervalin_dm.enable(Damiao(2, 0x12))).arbitration_id == 0x12
    notifier.stop()
    assert [listener for listener in notifier.listeners if isinstance(listener, SimulatedMotor)] == []
    # Each can start again on a notifier of its own.
    with SimulatedMotor(motors, Damiao(3, 0x13)):
        assert exchange(host, tervalin_dm.enable(Damiao(3, 0x13))).arbitration_id == 0x13


def test_a_listener_that_raises_silences_no_motor(channel, caplog):
    motors, host = channel
    raised = threading.Event()

    class Faulty(can.Listener):
        def on_message_received(self, msg):
            if not raised.is_set():
                raised.set()
                raise RuntimeError("a faulty listener")

        def stop(self):  # abstract in some python-can releases
            pass

    with SimulatedMotor(motors, MOTOR) as sim:
        sim._notifier.add_listener(Faulty())
        host.send(frame(tervalin_dm.enable(MOTOR)))
        assert raised.wait(5)
        host.recv(5)  # the answer to the first frame, which came before the fault
        assert exchange(host, tervalin_dm.disable(MOTOR)).arbitration_id == 0x11
        # A motor that joins the notifier later answers too.
        with SimulatedMotor(motors, Damiao(2, 0x12)):
            assert exchange(host, tervalin_dm.enable(Damiao(2, 0x12))).arbitration_id == 0x12
    assert "a faulty listener" in caplog.text


def test_a_motor_whose_answer_fails_silences_no_other(channel, caplog):
    motors, host = channel
    with SimulatedMotor(motors, MOTOR) as broken, SimulatedMotor(motors, Damiao(2, 0x12)):

        def fail(msg):
            raise RuntimeError("broken model")

        broken.answer = fail
        host.send(frame(tervalin_dm.enable(MOTOR)))
        assert exchange(host, tervalin_dm.enable(Damiao(2, 0x12))).arbitration_id == 0x12
    assert "broken model" in caplog.text


def test_motors_share_the_notifier_they_started(channel):
    motors, host = channel
    first, second = SimulatedMotor(motors, MOTOR), SimulatedMotor(motors, Damiao(2, 0x12))
    with first, second:
        assert first._notifier is second._notifier
        assert exchange(host, tervalin_dm.enable(Damiao(2, 0x12))).arbitration_id == 0x12
    # Both stopped: the notifier is gone, and a new motor starts a new one.
    with SimulatedMotor(motors, MOTOR) as third:
        assert third._notifier is not first._notifier
        assert exchange(host, tervalin_dm.enable(MOTOR)).arbitration_id == 0x11


@pytest.mark.filterwarnings("ignore::pytest.PytestUnhandledThreadExceptionWarning")
def test_a_bus_shut_down_under_a_running_motor_ends_its_notifier(caplog):
    name = f"sim-{uuid.uuid4()}"
    motors = can.Bus(interface="virtual", channel=name)
    sim = SimulatedMotor(motors, MOTOR)
    sim.start()
    reader = next(t for t in threading.enumerate() if name in t.name)  # the notifier's thread names the channel
    motors.shutdown()
    # Every receive fails from now on: handling those errors would spin and log for good.
    reader.join(5)
    assert not reader.is_alive()
    assert len([r for r in caplog.records if r.name == "tervalin_dm.sim"]) <= 1
    sim.stop()
