"""The motor bus against simulated motors on python-can's virtual bus: replies, timeouts, late and foreign frames."""

import logging
import pathlib
import subprocess
import sys
import threading
import time
import uuid

import can
import pytest
from tervalin import ControlSetpoint, Damiao, MitLimits, MitSetpoint, mit_setpoint

import tervalin_dm
from tervalin_dm import ControlMode, Register, Status
from tervalin_dm.bus import MotorBus, NoReply, SendFailed, StaleHandle
from tervalin_dm.sim import SimulatedMotor

LIMITS = MitLimits.dm4310()
# Three motors answering on one master id: told apart by the feedback's motor id nibble. The
# timeout leaves room for a loaded machine; replies on the virtual bus come within a millisecond.
TIMEOUT_MS = 100
MOTORS = [Damiao(i, 0x10, LIMITS, timeout_ms=TIMEOUT_MS) for i in (1, 2, 3)]
HOLD = ControlSetpoint.mit(mit_setpoint(q=0.5, kp=20.0, kd=0.5))


@pytest.fixture
def wire():
    """Two ends of one virtual CAN channel: the host's and the motors'."""
    channel = f"test-{uuid.uuid4()}"
    host = can.Bus(interface="virtual", channel=channel)
    motors = can.Bus(interface="virtual", channel=channel)
    yield host, motors
    host.shutdown()
    motors.shutdown()


@pytest.fixture
def make_bus():
    """MotorBus(...) that is closed after the test, before the python-can buses shut down."""
    made = []

    def make(*args, **kwargs):
        made.append(MotorBus(*args, **kwargs))
        return made[-1]

    yield make
    for bus in made:
        bus.close()


@pytest.fixture
def sims(wire):
    _, motors = wire
    simulated = [SimulatedMotor(motors, m) for m in MOTORS]
    for sim in simulated:
        sim.start()
    yield simulated
    for sim in simulated:
        sim.stop()


def feedback(motor, t_mos, *, error=1, master_id=None, data=None, **message):
    """A feedback frame of `motor` marked by its t_mos, as python-can delivers it."""
    if data is None:
        data = tervalin_dm.encode_feedback(
            motor_id=motor.motor_id & 0xF,
            error=error,
            position=0.0,
            velocity=0.0,
            torque=0.0,
            t_mos=t_mos,
            t_rotor=0,
            limits=LIMITS,
        )
    return can.Message(
        arbitration_id=motor.master_id if master_id is None else master_id,
        data=data,
        is_extended_id=message.pop("is_extended_id", False),
        **message,
    )


class Scripted(can.Listener):
    """A motor that answers the n-th command addressed to it with what `script(n)` gives: (delay, frames)."""

    def __init__(self, bus, motor, script):
        self.bus, self.motor, self.script, self.count = bus, motor, script, 0
        self.notifier = can.Notifier(bus, [self], timeout=0.05)

    def on_message_received(self, msg):
        if tervalin_dm._codec.decode_command(msg.arbitration_id, msg.data, self.motor) is None:
            return
        self.count += 1
        delay, frames = self.script(self.count)
        if delay:
            threading.Timer(delay, lambda: [self.bus.send(f) for f in frames]).start()
        else:
            for frame in frames:
                self.bus.send(frame)

    def stop(self):  # an abstract method of python-can's Listener before 4.5
        pass

    def close(self):
        self.notifier.stop()


def test_each_motor_gets_its_own_reply(wire, sims, make_bus):
    host, _ = wire
    bus = make_bus(host, MOTORS)
    assert bus.motors == tuple(MOTORS)
    for motor, sim in zip(MOTORS, sims, strict=True):
        state = bus.enable(motor)
        assert (state.motor_id, state.error) == (motor.motor_id, Status.ENABLED) and sim.enabled
    # Different setpoints per motor: each state is that motor's own.
    targets = [0.5, -1.0, 2.0]
    for _ in range(300):
        states = bus.command_all([ControlSetpoint.mit(mit_setpoint(q=q, kp=20.0, kd=0.5)) for q in targets])
    assert [s.motor_id for s in states] == [1, 2, 3]
    for state, sim, q in zip(states, sims, targets, strict=True):
        assert state.position == pytest.approx(sim.position, abs=25 / 65535) and state.position == pytest.approx(
            q, abs=0.05
        )
    state = bus.command(MOTORS[1], HOLD)
    # What the motor read: q code 34078 = 13 * 65535 / 25 truncated, back to 34078 * 25 / 65535 - 12.5.
    assert state.motor_id == 2 and repr(sims[1].setpoint) == (
        "ControlSetpoint.mit(q=0.4999237, dq=-0.0073260074, kp=19.902319, kd=0.4993895, tau=-0.0024420025)"
    )
    assert bus.late_replies == 0


def test_a_missing_reply_raises_timeout_naming_motor_and_timeout(wire, sims, make_bus):
    host, _ = wire
    bus = make_bus(host, MOTORS)
    sims[2].silent = True
    start = time.monotonic()
    with pytest.raises(TimeoutError, match=r"^no reply from Damiao\(motor_id=0x3, master_id=0x10\) within 100 ms$"):
        bus.command(MOTORS[2], HOLD)
    assert TIMEOUT_MS / 1000 <= time.monotonic() - start
    # The frame did reach the silent motor: a timeout is not a lost send.
    assert sims[2].received == 1
    # In a cycle: the others' replies are kept; the silent motor, which still owes its reply, is
    # sent nothing and named at once.
    with pytest.raises(NoReply) as raised:
        bus.command_all([HOLD] * 3)
    error = raised.value
    assert isinstance(error, can.CanTimeoutError)
    assert error.motors == error.owed == (MOTORS[2],) and error.timeout_ms == TIMEOUT_MS
    assert (
        str(error) == "nothing sent to Damiao(motor_id=0x3, master_id=0x10): a reply to an earlier frame is still owed"
    )
    assert [r.motor_id if r else None for r in error.replies] == [1, 2, None]
    assert [s.received for s in sims] == [1, 1, 1]
    # Once its window has passed, it is sent its frame again and waited for.
    time.sleep(TIMEOUT_MS / 1000)
    with pytest.raises(NoReply) as raised:
        bus.command_all([HOLD] * 3)
    assert raised.value.owed == () and str(raised.value).startswith("no reply from Damiao(motor_id=0x3")
    assert [s.received for s in sims] == [2, 2, 2]


def test_a_late_reply_is_not_the_answer_to_the_next_command(wire, make_bus):
    host, motors = wire
    # The first reply comes after the timeout, half-way through the next one (half a second from either
    # end, for a loaded machine); the others at once.
    motor = Damiao(1, 0x10, LIMITS, timeout_ms=1000)
    late = 1.5
    scripted = Scripted(motors, motor, lambda n: (late if n == 1 else 0, [feedback(motor, t_mos=n)]))
    try:
        bus = make_bus(host, [motor])
        with pytest.raises(TimeoutError):
            bus.command(motor, HOLD)
        # Owed: the next command is not sent and fails at once.
        with pytest.raises(NoReply, match="still owed"):
            bus.command(motor, HOLD)
        wait_for(lambda: bus.late_replies == 1)
        # The late reply was dropped: the motor's second command answers with its own.
        assert bus.command(motor, HOLD).t_mos == 2
        assert bus.command(motor, HOLD).t_mos == 3
        assert scripted.count == 3 and bus.stray_frames == 0
    finally:
        scripted.close()


def test_a_lost_reply_does_not_break_the_motor(wire, make_bus):
    host, motors = wire
    motor = MOTORS[0]
    # The first reply never comes: the motor is left out for one more timeout, then works.
    scripted = Scripted(motors, motor, lambda n: (0, [] if n == 1 else [feedback(motor, t_mos=n)]))
    try:
        bus = make_bus(host, [motor])
        with pytest.raises(TimeoutError):
            bus.command(motor, HOLD)
        time.sleep(TIMEOUT_MS / 1000)
        assert [bus.command(motor, HOLD).t_mos for _ in range(5)] == [2, 3, 4, 5, 6]
        assert bus.late_replies == 0
    finally:
        scripted.close()


def wait_for(condition, seconds=5.0):
    """Waits until condition() holds (a state the test waits to see, not a time it hopes is enough)."""
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "condition not reached"
        time.sleep(0.001)


FOREIGN = [
    # Another motor on the same master id, the right motor on another id.
    lambda m: feedback(MOTORS[1], 99),
    lambda m: feedback(m, 99, master_id=0x11),
    # The right id and nibble, but extended, remote, an error frame, or not 8 bytes.
    lambda m: feedback(m, 99, is_extended_id=True),
    lambda m: can.Message(arbitration_id=m.master_id, is_extended_id=False, is_remote_frame=True, dlc=8),
    lambda m: feedback(m, 99, is_error_frame=True),
    lambda m: feedback(m, 99, data=bytes([0x11, 0x80, 0, 0x80, 0, 0, 99])),
    lambda m: feedback(m, 99, data=bytes([0x11, 0x80, 0, 0x80, 0, 0, 99, 0, 0])),
    # A command on the bus (the frame of another host) is no reply either.
    lambda m: can.Message(arbitration_id=m.motor_id, is_extended_id=False, data=tervalin_dm.enable(m)[1]),
]


@pytest.mark.parametrize("foreign", FOREIGN)
def test_foreign_frames_are_never_a_reply(wire, foreign, make_bus):
    host, motors = wire
    motor = MOTORS[0]
    # The foreign frame comes first, the real reply 10 ms later.
    scripted = Scripted(motors, motor, lambda n: (0, [foreign(motor)]))
    try:
        bus = make_bus(host, MOTORS)
        with pytest.raises(TimeoutError):
            bus.command(motor, HOLD)
        bus.close()
    finally:
        scripted.close()
    # And with the real reply behind it, the real one is taken.
    scripted = Scripted(motors, motor, lambda n: (0, [foreign(motor), feedback(motor, t_mos=7)]))
    try:
        bus = make_bus(host, MOTORS)
        time.sleep(0.1)  # whatever the first round left has arrived by now
        assert bus.command(motor, HOLD).t_mos == 7
    finally:
        scripted.close()


def test_a_frame_received_before_the_command_is_not_its_reply(wire, sims, make_bus):
    host, motors = wire
    bus = make_bus(host, MOTORS)
    sims[0].silent = True
    # A reply-like frame reaches the MotorBus before the command goes out.
    motors.send(feedback(MOTORS[0], t_mos=5))
    wait_for(lambda: bus.stray_frames == 1)
    with pytest.raises(TimeoutError):
        bus.command(MOTORS[0], HOLD)


@pytest.mark.parametrize(
    "stamp, answer",
    [
        pytest.param("before the send", 6, id="received before the send"),
        pytest.param("after the send", 5, id="received after the send"),
        pytest.param("none", 5, id="not stamped"),  # a sender that keeps the Message's timestamp of 0
    ],
)
def test_a_frame_the_interface_received_before_the_command_is_not_its_reply(wire, make_bus, stamp, answer):
    host, motors = wire
    motor = Damiao(1, 0x10, LIMITS, timeout_ms=5000)
    notifier = can.Notifier(host, [], timeout=0.05)
    try:
        bus = make_bus(host, [motor], notifier=notifier)
        # The test hands frames over itself, from a thread of its own as a notifier does: so it holds a
        # frame that the interface received before the command until the command has gone out.
        notifier.remove_listener(bus)
        stamps = {"before the send": time.time(), "none": 0.0}
        outcome = {}
        call = threading.Thread(target=lambda: outcome.update(state=bus.command(motor, HOLD)))
        call.start()
        assert motors.recv(5) is not None  # the command went out
        stamps["after the send"] = time.time()
        for t_mos, timestamp in ((5, stamps[stamp]), (6, time.time())):
            frame = feedback(motor, t_mos, timestamp=timestamp)
            handing = threading.Thread(target=bus.on_message_received, args=(frame,))
            handing.start()
            handing.join()
        call.join()
        assert outcome["state"].t_mos == answer
    finally:
        notifier.stop()


class RaisesOnce(can.Listener):
    """A user's listener that fails on the first frame; `handles` makes it take care of that error itself."""

    def __init__(self, handles):
        self.handles, self.raised, self.handled = handles, False, threading.Event()

    def on_message_received(self, msg):
        if not self.raised:
            self.raised = True
            raise RuntimeError("a listener's glitch")

    def on_error(self, exc):
        if not self.handles:
            raise NotImplementedError
        self.handled.set()

    def stop(self):  # abstract in some python-can releases
        pass


@pytest.mark.filterwarnings("ignore::pytest.PytestUnhandledThreadExceptionWarning")
@pytest.mark.parametrize(
    "handled, error, message",
    [
        pytest.param(True, NoReply, "no reply from", id="handled: the notifier goes on"),
        pytest.param(False, can.CanOperationError, "the notifier stopped receiving: a listener's glitch", id="not"),
    ],
)
def test_an_error_in_the_notifiers_thread_is_reported_only_if_it_stopped_it(wire, make_bus, handled, error, message):
    host, motors = wire
    listener = RaisesOnce(handled)
    notifier = can.Notifier(host, [listener], timeout=0.05)
    try:
        reader = next(t for t in threading.enumerate() if host.channel_info in t.name)
        bus = make_bus(host, [MOTORS[0]], notifier=notifier)
        motors.send(feedback(MOTORS[1], 5))  # a frame for the listener to fail on
        if handled:
            assert listener.handled.wait(5)
        else:
            reader.join(5)
            assert not reader.is_alive()
        with pytest.raises(error, match=message):
            bus.command(MOTORS[0], HOLD)  # nobody answers
    finally:
        notifier.stop()


def test_error_status_is_returned_and_logged_once(wire, sims, caplog, make_bus):
    host, _ = wire
    bus = make_bus(host, MOTORS)
    bus.enable(MOTORS[0])
    caplog.set_level(logging.WARNING, logger="tervalin_dm.bus")
    sims[0].fault = Status.OVERLOAD
    states = [bus.command(MOTORS[0], HOLD) for _ in range(3)]
    assert [s.error for s in states] == [Status.OVERLOAD] * 3
    assert [r.getMessage() for r in caplog.records] == [
        f"Damiao(motor_id=0x1, master_id=0x10) reports OVERLOAD (0xe): {states[0]!r}"
    ]
    assert caplog.records[0].levelno == logging.WARNING
    # Cleared, then another fault: logged again; an unknown code is a fault too.
    assert bus.clear_error(MOTORS[0]).error == Status.ENABLED and sims[0].fault is None
    sims[0].fault = 0x7
    bus.command(MOTORS[0], HOLD)
    assert len(caplog.records) == 2 and caplog.records[1].getMessage().startswith(
        "Damiao(motor_id=0x1, master_id=0x10) reports unknown status 0x7: MotorState("
    )


def test_concurrent_calls_for_different_and_same_motors(wire, sims, make_bus):
    host, _ = wire
    bus = make_bus(host, MOTORS)
    errors, results = [], {m.motor_id: [] for m in MOTORS}

    def run(motor, rounds):
        try:
            for _ in range(rounds):
                results[motor.motor_id].append(bus.command(motor, HOLD).motor_id)
        except BaseException as e:
            errors.append(e)

    threads = [threading.Thread(target=run, args=(m, 150)) for m in MOTORS]
    threads += [threading.Thread(target=run, args=(MOTORS[0], 150))]  # two threads on motor 1
    for t in threads:
        t.start()
    cycles = [bus.command_all([HOLD] * 3) for _ in range(50)]
    for t in threads:
        t.join()
    assert errors == []
    assert {k: (len(v), set(v)) for k, v in results.items()} == {1: (300, {1}), 2: (150, {2}), 3: (150, {3})}
    assert all([s.motor_id for s in c] == [1, 2, 3] for c in cycles)
    # Every command was answered once and every answer taken once.
    assert [s.received for s in sims] == [350, 200, 200] and bus.late_replies == 0


@pytest.mark.parametrize(
    "motors, message",
    [
        ([], "a MotorBus needs at least one motor"),
        ([MOTORS[0], MOTORS[0]], r"Damiao\(motor_id=0x1, master_id=0x10\) is given twice"),
        ([MOTORS[0], Damiao(1, 0x20)], "have the same motor id"),
        # 0x11 and 0x01 on one master id carry the same nibble in their feedback.
        ([Damiao(0x11, 0x30), Damiao(0x01, 0x30)], "both answer on master id 0x30 with motor id 0x1 in their feedback"),
        # One motor's commands on the other's master id: each takes the other's feedback as a command.
        (
            [Damiao(0x01, 0x11), Damiao(0x11, 0x01)],
            r"Damiao\(motor_id=0x1, master_id=0x11\) takes commands on 0x1, where Damiao\(motor_id=0x11, ",
        ),
        ([Damiao(1, 0x20), Damiao(2, 0x301)], r"takes commands on 0x301, where Damiao\(motor_id=0x2"),
        # A shared master id on another motor's command id.
        (
            [Damiao(3, 0x20), Damiao(0x20, 0x20), Damiao(4, 0x20)],
            r"motor_id=0x20, master_id=0x20\) takes commands on 0x20",
        ),
        (
            [Damiao(1, 0x20), Damiao(0x102, 0x101)],
            r"master_id=0x20\) takes commands on 0x101, where Damiao\(motor_id=0x102",
        ),
        # Ids the protocol cannot carry: a command id beyond 0x7fe, a master id beyond 11 bits or on 0x7ff.
        ([Damiao(0x4FF, 0x10)], r"Damiao\(motor_id=0x4ff, master_id=0x10\): motor ids go up to 0x4fe"),
        ([Damiao(0x7FF, 0x10)], "motor ids go up to 0x4fe"),
        ([Damiao(1, 0x800)], r"master_id=0x800\): master ids go up to 0x7fe"),
        ([Damiao(1, 0x7FF)], "master ids go up to 0x7fe"),
    ],
)
def test_handles_that_cannot_be_told_apart_are_refused(wire, motors, message, make_bus):
    with pytest.raises(ValueError, match=message):
        make_bus(wire[0], motors)


def test_the_widest_ids_are_taken(wire, make_bus):
    bus = make_bus(wire[0], [Damiao(0x4FE, 0x7FE), Damiao(0, 0x7FD)])
    assert [m.motor_id for m in bus.motors] == [0x4FE, 0]


@pytest.mark.parametrize(
    "bus, motors, error, message",
    [
        (None, MOTORS, TypeError, "argument 'bus': a python-can bus \\(can.BusABC\\) is required, not 'NoneType'"),
        ("can0", MOTORS, TypeError, "argument 'bus': .* not 'str'"),
        ("host", None, TypeError, "argument 'motors': an iterable of Damiao handles is required, not 'NoneType'"),
        ("host", [1, 2], TypeError, "argument 'motors': Damiao handles are required, not 'int'"),
        ("host", MOTORS[0], TypeError, "argument 'motors': an iterable"),
    ],
)
def test_arguments_that_are_no_bus_or_motors(wire, make_bus, bus, motors, error, message):
    with pytest.raises(error, match=message):
        make_bus(wire[0] if bus == "host" else bus, motors)


HANDLES = "Damiao\\(motor_id=0x1, master_id=0x10\\), Damiao\\(motor_id=0x2, master_id=0x10\\), Damiao\\(motor_id=0x3"


@pytest.mark.parametrize(
    "call, error, message",
    [
        # An equal handle is another handle: the error says which the bus holds.
        (
            lambda bus: bus.command(Damiao(1, 0x10), HOLD),
            ValueError,
            f"is not a handle of this bus .*: give one of {HANDLES}",
        ),
        (lambda bus: bus.enable(7), ValueError, f"no motor of this bus has motor id 0x7; its motors: {HANDLES}"),
        (
            lambda bus: bus.enable(True),
            TypeError,
            "argument 'motor': a Damiao handle or a motor id is required, not 'bool'",
        ),
        (lambda bus: bus.command("1", HOLD), TypeError, "argument 'motor': .* not 'str'"),
        (lambda bus: bus.command([1], HOLD), TypeError, "argument 'motor': .* not 'list'"),
        (lambda bus: bus.command_all([HOLD, HOLD]), ValueError, "one setpoint per motor: 3, not 2"),
        (
            lambda bus: bus.command_all(HOLD),
            TypeError,
            "argument 'setpoints': command_all takes a sequence of setpoints, one per motor, not 'ControlSetpoint'",
        ),
        (
            lambda bus: bus.command_all([HOLD, MitSetpoint(), HOLD]),
            TypeError,
            "argument 'setpoints': item 1 is not a ControlSetpoint but 'MitSetpoint'",
        ),
        (lambda bus: bus.switch_mode(MOTORS[0], 5), ValueError, "CTRL_MODE"),
        (lambda bus: bus.write_register(MOTORS[0], Register.SW_VER, 5), ValueError, "read-only"),
        (lambda bus: bus.read_register(MOTORS[0], "nope"), ValueError, "'nope' is no register"),
        (lambda bus: bus.command(MOTORS[0], MitSetpoint()), TypeError, "argument 'setpoint'"),
    ],
)
def test_bad_calls(wire, make_bus, call, error, message):
    bus = make_bus(wire[0], MOTORS)
    with pytest.raises(error, match=message):
        call(bus)


# --- The simulated motor ---


def unanswered(bus, motor, setpoint):
    """Checks that the motor does not answer `setpoint`, and waits until it no longer owes the reply."""
    with pytest.raises(NoReply):
        bus.command(motor, setpoint)
    time.sleep(TIMEOUT_MS / 1000)


def test_simulator_modes(wire, sims, make_bus):
    host, _ = wire
    bus = make_bus(host, MOTORS)
    motor, sim = MOTORS[0], sims[0]
    assert sim.mode == 1 and not sim.enabled
    # Frames of another mode than the current one get no answer.
    unanswered(bus, motor, ControlSetpoint.vel(2.0))
    assert bus.switch_mode(motor, 3) is ControlMode.VEL and sim.mode == 3 and sim.setpoint is None
    unanswered(bus, motor, HOLD)
    # Disabled, a setpoint is kept but moves nothing.
    assert bus.command(motor, ControlSetpoint.vel(2.0)).velocity == pytest.approx(0.0, abs=0.02)
    assert repr(sim.setpoint) == "ControlSetpoint.vel(2)"
    bus.enable(motor)
    state = bus.command(motor, ControlSetpoint.vel(2.0))
    assert state.velocity == pytest.approx(2.0, abs=0.02) and state.error == Status.ENABLED
    assert bus.switch_mode(motor, ControlMode.POS_VEL) is ControlMode.POS_VEL
    for _ in range(1000):
        state = bus.command(motor, ControlSetpoint.pos_vel(-0.5, 1.0))
    assert state.position == pytest.approx(-0.5, abs=0.001) and sim.position == -0.5
    bus.switch_mode(motor, 4)
    state = bus.command(motor, ControlSetpoint.force_pos(0.25, 2.0, 0.5))
    assert sim.position == pytest.approx(-0.498) and repr(sim.setpoint).startswith("ControlSetpoint.force_pos(")
    # Zero at the current position, then one step of 2 rad/s towards 0.25.
    assert bus.set_zero(motor).position == pytest.approx(0.002, abs=0.001) and sim.position == pytest.approx(0.002)
    assert bus.disable(motor).error == Status.DISABLED and not sim.enabled
    # A register write of another register, or of no mode, changes no mode but is answered.
    host.send(can.Message(arbitration_id=0x7FF, is_extended_id=False, data=bytes([1, 0, 0x55, 10, 9, 0, 0, 0])))
    time.sleep(0.05)
    assert sim.mode == 4


def test_simulator_mit_dynamics():
    motor = Damiao(1, 0x11, MitLimits(t_max=0.5))
    sim = SimulatedMotor(None, motor, inertia=0.01, friction=0.1, step=0.001)
    enable = can.Message(arbitration_id=1, is_extended_id=False, data=tervalin_dm.enable(motor)[1])
    assert tervalin_dm.decode_feedback(sim.answer(enable).data, MitLimits(t_max=0.5)).error == Status.ENABLED
    can_id, data = tervalin_dm.encode(ControlSetpoint.mit(MitSetpoint(q=1.0, kp=100.0, kd=0.0)), motor)
    command = can.Message(arbitration_id=can_id, is_extended_id=False, data=data)
    reply = sim.answer(command)
    # kp * 1 rad = 100 N·m, held at t_max; one step at 0.5 / 0.01 rad/s².
    assert reply.arbitration_id == 0x11 and sim.torque == 0.5
    assert sim.velocity == pytest.approx(0.05, rel=1e-3) and sim.position == pytest.approx(0.05e-3, rel=1e-3)
    for _ in range(20000):
        sim.answer(command)
    assert sim.position == pytest.approx(1.0, abs=0.01)
    # Frames for other motors and other modes are not answered.
    assert sim.answer(can.Message(arbitration_id=2, is_extended_id=False, data=data)) is None
    assert sim.answer(can.Message(arbitration_id=0x201, is_extended_id=False, data=bytes(8))) is None
    sim.silent = True
    before = sim.received
    assert sim.answer(command) is None and sim.received == before + 1


# --- python-can's listeners, the context manager, sends and timeouts on the virtual bus ---


def test_other_listeners_on_the_notifier_see_every_frame(wire, sims, make_bus):
    host, _ = wire
    reader = can.BufferedReader()
    notifier = can.Notifier(host, [reader], timeout=0.05)
    try:
        bus = make_bus(host, MOTORS, notifier=notifier)
        assert bus.notifier is notifier
        bus.command_all([HOLD] * 3)
        bus.command(MOTORS[1], HOLD)
        seen = [reader.get_message(1.0) for _ in range(4)]
        assert [(m.arbitration_id, m.data[0] & 0xF) for m in seen] == [(0x10, 1), (0x10, 2), (0x10, 3), (0x10, 2)]
        # Closed, the MotorBus leaves the user's notifier running, without itself.
        bus.close()
        assert bus not in notifier.listeners and reader in notifier.listeners
        with pytest.raises(can.CanOperationError, match="the MotorBus is closed"):
            bus.command(MOTORS[0], HOLD)
        wire[1].send(feedback(MOTORS[0], 1))
        assert reader.get_message(1.0).data[6] == 1
    finally:
        notifier.stop()


def test_a_stopped_notifier_is_reported_at_once(wire, sims, make_bus):
    host, _ = wire
    notifier = can.Notifier(host, [], timeout=0.05)
    bus = make_bus(host, MOTORS, notifier=notifier)
    notifier.stop()
    with pytest.raises(can.CanOperationError, match="notifier has stopped"):
        bus.command(MOTORS[0], HOLD)
    assert sims[0].received == 0


def stopped(notifier):
    notifier.stop()
    return notifier


@pytest.mark.parametrize(
    "notifier, error, message",
    [
        (lambda other: object(), TypeError, "argument 'notifier': a can.Notifier is required, not 'object'"),
        (lambda other: can.Notifier(other, [], timeout=0.05), ValueError, "it does not read the bus given as 'bus'"),
        (lambda other: stopped(can.Notifier(other, [], timeout=0.05)), ValueError, "'notifier': it has stopped"),
    ],
)
def test_a_notifier_that_cannot_serve(wire, make_bus, notifier, error, message):
    if "stopped" in message and not hasattr(can.Notifier, "stopped"):
        pytest.skip("python-can before 4.6 does not tell a stopped notifier")
    given = notifier(wire[0] if "stopped" in message else wire[1])
    try:
        with pytest.raises(error, match=message):
            make_bus(wire[0], MOTORS, notifier=given)
    finally:
        if isinstance(given, can.Notifier):
            given.stop()


def test_the_context_manager_disables_what_it_enabled(wire, sims):
    host, _ = wire
    with pytest.raises(RuntimeError, match="the control loop failed"):
        with MotorBus(host, MOTORS) as bus:
            bus.enable(MOTORS[0])
            bus.enable(MOTORS[1])
            bus.disable(MOTORS[1])
            bus.enable(MOTORS[2])
            assert [s.enabled for s in sims] == [True, False, True]
            raise RuntimeError("the control loop failed")
    assert [s.enabled for s in sims] == [False, False, False]
    # Motor 2, seen disabled, was sent nothing more; the notifier stopped; the python-can bus is open.
    assert [s.received for s in sims] == [2, 2, 2]
    assert bus.notifier is None
    host.send(can.Message(arbitration_id=0x123, is_extended_id=False, data=b""))


def test_own_frames_are_never_replies(make_bus):
    channel = f"test-{uuid.uuid4()}"
    with can.Bus(interface="virtual", channel=channel, receive_own_messages=True) as host:
        motor = Damiao(1, 0x1, LIMITS, timeout_ms=TIMEOUT_MS)  # its MIT frames go on its master id
        bus = make_bus(host, [motor])
        with pytest.raises(NoReply):
            bus.command(motor, HOLD)
        bus.close()


def test_a_send_that_cannot_complete_raises_after_the_motors_timeout(make_bus):
    channel = f"test-{uuid.uuid4()}"
    # The peer's queue holds one frame and nobody reads it.
    with (
        can.Bus(interface="virtual", channel=channel) as host,
        can.Bus(interface="virtual", channel=channel, rx_queue_size=1),
    ):
        bus = make_bus(host, MOTORS)
        with pytest.raises(NoReply):
            bus.command(MOTORS[0], HOLD)
        with pytest.raises(
            SendFailed, match=r"could not send to Damiao\(motor_id=0x2, master_id=0x10\): Could not send"
        ):
            bus.command(MOTORS[1], HOLD)
        bus.close()


def test_timeouts_beyond_what_the_platform_can_wait_are_clamped(wire, make_bus):
    host, motors = wire
    motor = Damiao(1, 0x10, LIMITS, timeout_ms=10**13)
    with SimulatedMotor(motors, motor):
        bus = make_bus(host, [motor])
        assert bus.enable(motor).error == Status.ENABLED
        assert [s.motor_id for s in bus.command_all([HOLD])] == [1]


def test_timeout_zero_sends_and_does_not_wait(wire, make_bus):
    host, motors = wire
    motor = Damiao(1, 0x10, LIMITS, timeout_ms=0)
    with SimulatedMotor(motors, motor) as sim:
        sim.silent = True
        bus = make_bus(host, [motor])
        with pytest.raises(NoReply, match="within 0 ms"):
            bus.command(motor, HOLD)
        wait_for(lambda: sim.received == 1)


def test_debug_logging(wire, sims, make_bus, caplog):
    host, motors = wire
    bus = make_bus(host, MOTORS)
    caplog.set_level(logging.DEBUG, logger="tervalin_dm.bus")
    bus.enable(MOTORS[0])
    sims[1].silent = True
    with pytest.raises(NoReply):
        bus.command(MOTORS[1], HOLD)
    motors.send(feedback(MOTORS[2], 9))
    # The count goes up before the line is logged, on the notifier's thread: wait for the line itself.
    wait_for(lambda: caplog.records and caplog.records[-1].getMessage().startswith("stray frame"))
    messages = [r.getMessage() for r in caplog.records]
    assert messages[0] == "sent Damiao(motor_id=0x1, master_id=0x10): 001#fffffffffffffffc"
    assert "no reply from Damiao(motor_id=0x2, master_id=0x10) within 100 ms" in messages
    assert messages[-1].startswith("stray frame of Damiao(motor_id=0x3, master_id=0x10) dropped: 010#13")
    assert {r.levelno for r in caplog.records} == {logging.DEBUG}


# --- Registers, limits and ids against the simulated motor ---


def test_limits_read_from_the_simulated_motor(wire, make_bus, caplog):
    host, motors = wire
    configured = Damiao(1, 0x10, MitLimits(p_max=3.0, v_max=20.0, t_max=7.0), timeout_ms=TIMEOUT_MS)
    handle = Damiao(1, 0x10, LIMITS, timeout_ms=TIMEOUT_MS)  # the dm4310 preset: 12.5, 30, 10
    with SimulatedMotor(motors, configured):
        bus = make_bus(host, [handle])
        limits = bus.read_limits(handle)
        assert repr(limits) == "MitLimits(p_max=3, v_max=20, kp_max=500, kd_max=5, t_max=7)"
        caplog.set_level(logging.WARNING, logger="tervalin_dm.bus")
        bus.enable(handle, check_limits=True)
        bus.enable(1, check_limits=True)
        assert len(caplog.records) == 1 and "scales over PMAX=3, VMAX=20, TMAX=7" in caplog.records[0].getMessage()


def test_a_new_motor_id_takes_effect_and_is_saved_through_the_old_handle(wire, make_bus):
    host, motors = wire
    old = Damiao(1, 0x10, LIMITS, timeout_ms=TIMEOUT_MS)
    with SimulatedMotor(motors, old) as sim:
        bus = make_bus(host, [old])
        assert bus.write_register(old, "ESC_ID", 7) == 7
        with pytest.raises(StaleHandle) as raised:
            bus.enable(old)
        assert bus.save_parameters(old) is True
        bus.close()
        # The handle the error names reaches the motor.
        bus = make_bus(host, [raised.value.successor])
        assert bus.read_register(7, Register.ESC_ID) == 7
        assert bus.enable(7).motor_id == 7 and sim.enabled


def test_the_example_runs_and_leaves_no_motor_enabled():
    example = pathlib.Path(__file__).resolve().parents[2] / "examples" / "motors.py"
    child = subprocess.run([sys.executable, str(example)], capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr
    lines = child.stdout.splitlines()
    assert [line for line in lines if line.startswith("MotorState(")] == [
        f"MotorState(motor_id={i}, error=1, position=-0.0002, velocity=-0.0073, torque=-0.0024, t_mos=30, t_rotor=32)"
        for i in (1, 2, 3)
    ]
    # Three answers to the last cycle and three to the disables, as the Printer saw them.
    assert sum("S Rx" in line for line in lines) == 6
    assert lines[-1] == "enabled after the loop: [False, False, False]"
