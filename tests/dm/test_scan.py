"""The scan of a bus against simulated motors on python-can's virtual bus: what it finds, what it must not take."""

import threading
import uuid

import can
import pytest
from tervalin import Damiao

import tervalin_dm
from tervalin_dm import ControlMode, Register, RegisterCommand
from tervalin_dm.scan import FoundMotor, scan
from tervalin_dm.sim import SimulatedMotor

# Replies on the virtual bus come within a millisecond; the margin is for a loaded machine.
TIMEOUT_MS = 100


@pytest.fixture
def wire():
    """Two ends of one virtual CAN channel: the host's and the motors'."""
    channel = f"test-scan-{uuid.uuid4()}"
    with can.Bus(interface="virtual", channel=channel) as host, can.Bus(interface="virtual", channel=channel) as motors:
        yield host, motors


@pytest.fixture
def simulate(wire):
    """Starts simulated motors of the given handles on the motors' end; stopped at the end of the test."""
    started = []

    def start(*handles):
        for motor in handles:
            sim = SimulatedMotor(wire[1], motor)
            sim.start()
            started.append(sim)
        return started

    yield start
    for sim in started:
        sim.stop()


def send(bus, frame):
    can_id, data = frame
    bus.send(can.Message(arbitration_id=can_id, data=data, is_extended_id=False))


@pytest.mark.parametrize(
    ("handles", "ids", "expected"),
    [
        pytest.param([(1, 0x11)], range(1, 4), [(1, 0x11)], id="one motor"),
        pytest.param([(1, 0x11), (2, 0x12), (5, 0x15)], range(1, 8), [(1, 0x11), (2, 0x12), (5, 0x15)], id="three"),
        # Several motors on one master id, as a bus of motors often is: told apart by bytes 0-1, not the id.
        pytest.param([(1, 0x10), (2, 0x10)], [2, 1], [(2, 0x10), (1, 0x10)], id="one master, order of ids kept"),
        pytest.param(
            [(0x21, 0x501), (0x3FE, 0x30)],
            [0x3FE, 0x21, 0x22],
            [(0x3FE, 0x30), (0x21, 0x501)],
            id="ids and masters beyond a byte",
        ),
        pytest.param([(1, 0x11)], [2, 3], [], id="motor outside the ids asked"),
        # A motor id whose low byte is another's: bytes 0-1 are the whole id.
        pytest.param([(0x101, 0x11)], [1, 0x101], [(0x101, 0x11)], id="high byte of the id matched"),
    ],
)
def test_scan_finds_the_motors_asked_with_their_master_ids(wire, simulate, handles, ids, expected):
    simulate(*(Damiao(m, master) for m, master in handles))
    found = scan(wire[0], ids, TIMEOUT_MS)
    assert [(m.motor_id, m.master_id) for m in found] == expected
    for motor in found:
        assert motor.control_mode is ControlMode.MIT  # a simulated motor starts in MIT
        assert isinstance(motor.sw_ver, int)


def test_scan_reports_the_control_mode_and_follows_id_changes(wire, simulate):
    host = wire[0]
    simulate(Damiao(1, 0x11), Damiao(2, 0x12))
    send(host, tervalin_dm.write_register(2, Register.CTRL_MODE, int(ControlMode.VEL)))
    send(host, tervalin_dm.write_register(1, Register.MST_ID, 0x31))
    found = scan(host, [1, 2], TIMEOUT_MS)
    assert [(m.motor_id, m.master_id, m.control_mode) for m in found] == [
        (1, 0x31, ControlMode.MIT),
        (2, 0x12, ControlMode.VEL),
    ]
    # A new motor id: the motor listens there only.
    send(host, tervalin_dm.write_register(2, Register.ESC_ID, 0x09))
    assert [(m.motor_id, m.master_id) for m in scan(host, range(1, 11), TIMEOUT_MS)] == [(1, 0x31), (9, 0x12)]


def test_a_silent_motor_is_not_found(wire, simulate):
    sims = simulate(Damiao(1, 0x11), Damiao(2, 0x12))
    sims[0].silent = True
    assert [m.motor_id for m in scan(wire[0], [1, 2], TIMEOUT_MS)] == [2]


class Answering(can.Listener):
    """Answers register reads with frames that `make(request_data, count)` gives: (can_id, data) pairs."""

    def __init__(self, bus, make):
        self.bus, self.make, self.count = bus, make, 0

    def on_message_received(self, msg):
        if msg.arbitration_id != 0x7FF:
            return
        self.count += 1
        for can_id, data in self.make(bytes(msg.data), self.count):
            self.bus.send(can.Message(arbitration_id=can_id, data=data, is_extended_id=False))


def echo(data, value):
    """A register answer to the read `data`, with `value` as the u32 value."""
    return data[:4] + value.to_bytes(4, "little")


@pytest.mark.parametrize(
    ("make", "ids"),
    [
        # The answer to id 1's read comes only once id 2 is asked: late, so neither id has a motor.
        pytest.param(
            lambda data, n: [(0x11, echo(b"\x01\x00" + data[2:4], 0x11))] if n == 2 else [],
            [1, 2],
            id="late answer of the id before",
        ),
        # The read itself, repeated on the request id (as another host's read or an own frame): no answer.
        pytest.param(lambda data, n: [(0x7FF, data)], [1], id="the request repeated"),
        # A write's echo and a save's echo of the same register: not the answer to a read.
        pytest.param(
            lambda data, n: [
                (0x11, data[:2] + bytes([int(RegisterCommand.WRITE)]) + data[3:4] + bytes(4)),
                (0x11, data[:2] + bytes([int(RegisterCommand.SAVE)]) + data[3:4] + bytes(4)),
            ],
            [1],
            id="other commands",
        ),
        pytest.param(lambda data, n: [(0x11, echo(data[:3] + bytes([data[3] + 1]), 0x11))], [1], id="other register"),
        pytest.param(lambda data, n: [(0x11, echo(data, 0x11)[:7])], [1], id="seven bytes"),
    ],
)
def test_frames_that_are_not_the_answer_find_nothing(wire, make, ids):
    host, motors = wire
    notifier = can.Notifier(motors, [Answering(motors, make)], timeout=0.05)
    try:
        assert scan(host, ids, TIMEOUT_MS) == []
    finally:
        notifier.stop()


def test_an_answer_on_an_extended_id_is_not_taken(wire):
    host, motors = wire

    def answer(msg):
        if msg.arbitration_id == 0x7FF:
            motors.send(can.Message(arbitration_id=0x11, data=echo(bytes(msg.data), 0x11), is_extended_id=True))

    notifier = can.Notifier(motors, [answer], timeout=0.05)
    try:
        assert scan(host, [1], TIMEOUT_MS) == []
    finally:
        notifier.stop()


def test_progress_sees_every_id_and_each_motor_found(wire, simulate):
    simulate(Damiao(2, 0x12))
    seen = []
    scan(wire[0], [1, 2, 3], TIMEOUT_MS, progress=lambda done, total, motor: seen.append((done, total, motor)))
    assert [(done, total) for done, total, _ in seen] == [(1, 3), (2, 3), (3, 3)]
    assert [motor and motor.motor_id for _, _, motor in seen] == [None, 2, None]


@pytest.mark.parametrize("own_notifier", [True, False], ids=["own notifier", "user's notifier"])
@pytest.mark.parametrize("interrupt_at", [1, 2])
def test_an_interrupt_leaves_no_thread_and_the_bus_usable(wire, simulate, own_notifier, interrupt_at):
    host = wire[0]
    simulate(Damiao(1, 0x11), Damiao(2, 0x12))
    records = []
    user = None if own_notifier else can.Notifier(host, [records.append], timeout=0.05)
    threads = set(threading.enumerate())

    def progress(done, total, motor):
        if done == interrupt_at:
            raise KeyboardInterrupt

    try:
        with pytest.raises(KeyboardInterrupt):
            scan(host, [1, 2], TIMEOUT_MS, notifier=user, progress=progress)
        assert set(threading.enumerate()) == threads
        if user is not None:
            assert user.listeners == [records.append]
        # The bus and the notifier go on: the same scan finds both motors, and the user's listener saw the frames.
        assert [m.motor_id for m in scan(host, [1, 2], TIMEOUT_MS, notifier=user)] == [1, 2]
        if user is not None:
            assert any(msg.arbitration_id == 0x12 for msg in records)
    finally:
        if user is not None:
            user.stop()


def test_found_motor_is_frozen():
    motor = FoundMotor(1, 0x11)
    with pytest.raises(AttributeError):
        motor.master_id = 0x12  # type: ignore[misc]


@pytest.mark.parametrize(
    ("kwargs", "error", "named"),
    [
        ({"can_bus": None}, TypeError, "can_bus"),
        ({"can_bus": "can0"}, TypeError, "can_bus"),
        ({"ids": [0x800]}, ValueError, "ids"),
        ({"ids": [-1]}, ValueError, "ids"),
        ({"ids": ["1"]}, TypeError, "ids"),
        ({"ids": [True]}, TypeError, "ids"),
        ({"timeout_ms": 0}, ValueError, "timeout_ms"),
        ({"timeout_ms": -5}, ValueError, "timeout_ms"),
        ({"timeout_ms": float("nan")}, ValueError, "timeout_ms"),
        ({"timeout_ms": float("inf")}, ValueError, "timeout_ms"),
        ({"timeout_ms": "20"}, TypeError, "timeout_ms"),
        ({"notifier": "x"}, TypeError, "notifier"),
        ({"progress": 5}, TypeError, "progress"),
    ],
)
def test_arguments_are_checked_where_they_enter(wire, kwargs, error, named):
    arguments = {"can_bus": wire[0], "ids": [1], "timeout_ms": TIMEOUT_MS, **kwargs}
    threads = set(threading.enumerate())
    with pytest.raises(error, match=named):
        scan(**arguments)
    assert set(threading.enumerate()) == threads
