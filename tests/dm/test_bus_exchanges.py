"""The motor bus's exchanges driven frame by frame: a fake python-can bus whose sends the test answers.

Every interleaving here is set by the test (a frame handed to the listener
before or after a send, an exception raised at a chosen point), so the stale
reply, the interrupt and the failed send are tested deterministically.
"""

import logging
import queue
import threading
import time
import types

import can
import pytest
from tervalin import ControlSetpoint, Damiao, MitLimits, mit_setpoint

import tervalin_dm
from tervalin_dm import ControlMode, Register, Status
from tervalin_dm.bus import MotorBus, NoReply, SendFailed, StaleHandle, WriteNotTaken

LIMITS = MitLimits.dm4310()
# A long timeout: no test here waits for one to pass unless it says so.
MOTORS = [Damiao(i, 0x10, LIMITS, timeout_ms=5000) for i in (1, 2, 3)]
HOLD = ControlSetpoint.mit(mit_setpoint(q=0.5, kp=20.0, kd=0.5))


class FakeBus(can.BusABC):
    """A python-can bus that receives nothing by itself; `answer(msg)` gives the frames the motors send back.

    The answers are handed to the MotorBus inside `send`, after the frame
    "went out", as a notifier would hand them over.
    """

    def __init__(self, answer=None):
        super().__init__(channel="fake")
        self.answer = answer or (lambda msg: ())
        self.sent = []
        self.motor_bus = None
        self._closed = threading.Event()
        # One thread hands frames to the MotorBus, as a notifier's does; each hand-over is waited for.
        self._work = queue.Queue()
        self._receiver = threading.Thread(target=self._receive, daemon=True)
        self._receiver.start()

    def send(self, msg, timeout=None):
        self.sent.append((msg.arbitration_id, bytes(msg.data), timeout))
        for frame in self.answer(msg):
            self.deliver(*frame)

    def deliver(self, can_id, data, fields=None):
        message = can.Message(arbitration_id=can_id, data=data, is_extended_id=False, **(fields or {}))
        self.in_receiver(lambda: self.motor_bus.on_message_received(message))

    def in_receiver(self, call):
        """Runs call() in the receiving thread and waits for it; its exception is raised here."""
        done, outcome = threading.Event(), {}

        def run():
            try:
                call()
            except BaseException as error:
                outcome["error"] = error
            done.set()

        self._work.put(run)
        done.wait()
        if "error" in outcome:
            raise outcome["error"]

    def _receive(self):
        while (work := self._work.get()) is not None:
            work()

    def _recv_internal(self, timeout):
        self._closed.wait(timeout)
        return None, False

    def shutdown(self):
        self._closed.set()
        self._work.put(None)
        super().shutdown()


def feedback(motor, t_mos=30, error=Status.ENABLED):
    """The feedback frame (can_id, data) of `motor`, marked by its t_mos."""
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
    return motor.master_id, data


def answering(motors=MOTORS, t_mos=30):
    """Every command to one of `motors` is answered with its feedback."""
    by_id = {m.motor_id + offset: m for m in motors for offset in (0, 0x100, 0x200, 0x300)}

    def answer(msg):
        motor = by_id.get(msg.arbitration_id)
        return [feedback(motor, t_mos)] if motor is not None else []

    return answer


@pytest.fixture
def make_bus():
    """Makes (FakeBus, MotorBus) pairs and closes them after the test."""
    made = []

    def make(answer=None, motors=MOTORS):
        fake = FakeBus(answer)
        bus = MotorBus(fake, motors)
        fake.motor_bus = bus
        made.append((fake, bus))
        return fake, bus

    yield make
    for fake, bus in made:
        bus.close()
        fake.shutdown()


def wait_for(condition, seconds=5.0):
    """Waits until condition() holds (a state the test waits to see, not a time it hopes is enough)."""
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "condition not reached"
        time.sleep(0.001)


def waiting_call(bus, call, *args):
    """Runs bus.call(*args) in a thread; the result or exception lands in the returned dict."""
    outcome = {}

    def run():
        try:
            outcome["result"] = getattr(bus, call)(*args)
        except BaseException as error:
            outcome["error"] = error

    thread = threading.Thread(target=run)
    thread.start()
    return thread, outcome


def test_a_frame_handed_over_before_the_send_is_never_the_reply(make_bus):
    a, b = MOTORS[0], MOTORS[1]
    a_sent = threading.Event()

    def answer(msg):
        if msg.arbitration_id == a.motor_id:
            a_sent.set()  # a's reply is held back while b's call runs
            return []
        return b_answer(msg)

    b_answer = lambda msg: []  # noqa: E731 - replaced below
    fake, bus = make_bus(answer)
    thread, outcome = waiting_call(bus, "command", a, HOLD)
    assert a_sent.wait(5)
    # While a's call waits, an old frame of b arrives; then b is commanded and answered.
    fake.deliver(*feedback(b, t_mos=1))
    b_answer = lambda msg: [feedback(b, t_mos=2)]  # noqa: E731
    assert bus.command(b, HOLD).t_mos == 2
    fake.deliver(*feedback(a, t_mos=3))
    thread.join()
    assert outcome["result"].t_mos == 3
    assert bus.stray_frames == 1


def test_an_old_frame_does_not_answer_a_silent_motor(make_bus):
    motor = Damiao(1, 0x10, LIMITS, timeout_ms=50)
    fake, bus = make_bus(motors=[motor])
    fake.deliver(*feedback(motor, t_mos=1))
    with pytest.raises(NoReply):
        bus.command(motor, HOLD)
    assert bus.stray_frames == 1


@pytest.mark.parametrize(
    "fields",
    [
        {"is_rx": False},  # our own frame, seen with receive_own_messages
        {"is_fd": True},
        {"is_error_frame": True},
        {"is_remote_frame": True},
    ],
)
def test_frames_that_are_no_reply_at_all(make_bus, fields):
    motor = Damiao(1, 0x10, LIMITS, timeout_ms=50)
    _fake, bus = make_bus(lambda msg: [(*feedback(motor), fields)], motors=[motor])
    with pytest.raises(NoReply):
        bus.command(motor, HOLD)
    assert bus.stray_frames == 0


# --- Interrupts ---


class Interrupting:
    """A lock or condition stand-in whose blocking call raises `error` once, then defers to the real one."""

    def __init__(self, real, method, error):
        self.real, self.method, self.error = real, method, error

    def __getattr__(self, name):
        attribute = getattr(self.real, name)
        if name != self.method:
            return attribute

        def interrupted(*args, **kwargs):
            if self.error is not None and (name != "acquire" or args[:1] != (False,)):
                error, self.error = self.error, None
                raise error
            return attribute(*args, **kwargs)

        return interrupted

    def __enter__(self):
        return self.real.__enter__()

    def __exit__(self, *exc_info):
        return self.real.__exit__(*exc_info)


def interrupt_second_send(fake, bus):
    real = fake.send

    def send(msg, timeout=None):
        if msg.arbitration_id == MOTORS[1].motor_id:
            fake.send = real
            raise KeyboardInterrupt
        real(msg, timeout)

    fake.send = send
    return {MOTORS[1]}  # its frame may have gone out: it owes the reply


def interrupt_reply_wait(fake, bus):
    bus._cycle.gate = Interrupting(bus._cycle.gate, "acquire", KeyboardInterrupt())
    fake.answer = lambda msg: []
    return set(MOTORS)


def interrupt_python_can_error(fake, bus):
    real = fake.send

    def send(msg, timeout=None):
        if msg.arbitration_id == MOTORS[2].motor_id:
            fake.send = real
            raise ValueError("a bug deep in an interface")
        real(msg, timeout)

    fake.send = send
    return {MOTORS[2]}


@pytest.mark.parametrize(
    "interrupt, raised",
    [
        (interrupt_second_send, KeyboardInterrupt),
        (interrupt_reply_wait, KeyboardInterrupt),
        (interrupt_python_can_error, ValueError),
    ],
)
def test_an_interrupted_cycle_leaves_the_bus_usable(make_bus, interrupt, raised):
    fake, bus = make_bus(answering())
    owing = interrupt(fake, bus)
    with pytest.raises(raised):
        bus.command_all([HOLD] * 3)
    fake.answer = answering()
    # No motor is left claimed: each is commanded at once, except those owing a reply, reported at once.
    for motor in MOTORS:
        if motor in owing:
            with pytest.raises(NoReply, match="a reply to an earlier frame is still owed"):
                bus.command(motor, HOLD)
        else:
            assert bus.command(motor, HOLD).motor_id == motor.motor_id
    # disable always goes out, and an owed reply once paid frees the motor.
    for motor in owing:
        assert bus.disable(motor).motor_id == motor.motor_id
        assert bus.command(motor, HOLD).motor_id == motor.motor_id


def test_an_interrupt_while_waiting_for_a_busy_motor_releases_nothing_it_did_not_take(make_bus):
    a_sent = threading.Event()
    fake, bus = make_bus(lambda msg: a_sent.set() or [])
    thread, outcome = waiting_call(bus, "command", MOTORS[0], HOLD)
    assert a_sent.wait(5)
    # command_all waits for motor 1, which the other thread holds; the wait is interrupted.
    bus._freed = Interrupting(bus._freed, "wait", KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt):
        bus.command_all([HOLD] * 3)
    # Motor 1 is still the other call's: its reply goes there.
    fake.deliver(*feedback(MOTORS[0], t_mos=7))
    thread.join()
    assert outcome["result"].t_mos == 7
    fake.answer = answering()
    assert [s.motor_id for s in bus.command_all([HOLD] * 3)] == [1, 2, 3]


class LateWaking:
    """The bus's condition, whose waiters wake only once `wake()` was called, however early they were notified.

    Stands for a waiting thread that the scheduler runs late, after the thread that gave the motor back has
    gone on and called again.
    """

    def __init__(self, real):
        self.real, self.woken = real, False

    def __getattr__(self, name):
        return getattr(self.real, name)

    def wait(self, timeout=None):
        self.real.wait(timeout)
        self.real.wait_for(lambda: self.woken)

    def wake(self):
        with self.real:
            self.woken = True
            self.real.notify_all()


@pytest.mark.parametrize(
    "call, args, sends",
    [
        ("read_register", (MOTORS[0], Register.ESC_ID), [0x7FF]),
        ("command_all", ([HOLD] * 3,), [1, 2, 3]),
    ],
)
def test_a_call_waiting_for_a_motor_goes_before_calls_made_after_it(make_bus, call, args, sends):
    held = threading.Event()

    def answer(msg):
        if msg.arbitration_id == 0x7FF:
            return [(0x10, bytes(msg.data))]
        if not held.is_set():  # the first call's reply is the test's to deliver
            held.set()
            return []
        return answering()(msg)

    fake, bus = make_bus(answer)
    bus._freed = freed = LateWaking(bus._freed)
    first, _ = waiting_call(bus, "command", MOTORS[0], HOLD)
    assert held.wait(5)
    waiter, waited = waiting_call(bus, call, *args)
    wait_for(lambda: bus._claim_waiters == 1)
    fake.deliver(*feedback(MOTORS[0]))  # the first call ends and gives motor 1 back
    first.join()
    # A call made now, before the waiting one has woken, queues behind it.
    later, came_later = waiting_call(bus, "command", MOTORS[0], HOLD)
    wait_for(lambda: bus._claim_waiters == 2 or came_later)
    freed.wake()
    waiter.join()
    later.join()
    assert "error" not in waited and "error" not in came_later
    assert [can_id for can_id, _, _ in fake.sent] == [1, *sends, 1]


@pytest.mark.parametrize(
    "end, message",
    [
        (lambda bus: bus.close(), "the MotorBus is closed"),
        (lambda bus: bus.notifier.stop(), "the MotorBus's notifier has stopped"),
    ],
)
def test_closing_ends_the_waits_of_calls_in_flight(make_bus, end, message):
    # Timeouts far beyond the test's patience: the calls must end because the bus closed.
    motors = [Damiao(i, 0x10, LIMITS, timeout_ms=600_000) for i in (1, 2)]
    fake, bus = make_bus(motors=motors)
    sent = threading.Event()
    # Motor 1 answers, motor 2 does not: the cycle waits for motor 2.
    fake.answer = lambda msg: [feedback(motors[0])] if msg.arbitration_id == 1 else sent.set() or []
    cycle, cycle_outcome = waiting_call(bus, "command_all", [HOLD] * 2)
    assert sent.wait(5)
    queued, queued_outcome = waiting_call(bus, "command", motors[0], HOLD)  # waits for its turn
    wait_for(lambda: bus._claim_waiters == 1)
    end(bus)
    for thread, outcome in ((cycle, cycle_outcome), (queued, queued_outcome)):
        thread.join(60)
        assert not thread.is_alive()
        assert isinstance(outcome["error"], can.CanOperationError) and message in str(outcome["error"])
    assert len(fake.sent) == 2  # the queued call sent nothing


# --- Sends ---


def test_a_failed_send_fails_that_motor_alone(make_bus):
    def refuse_motor_2(msg):
        if msg.arbitration_id == MOTORS[1].motor_id:
            raise can.CanOperationError("Could not send message to one or more recipients")

    fake, bus = make_bus(answering())
    real = fake.send
    fake.send = lambda msg, timeout=None: (refuse_motor_2(msg), real(msg, timeout))
    with pytest.raises(SendFailed) as raised:
        bus.command_all([HOLD] * 3)
    error = raised.value
    assert isinstance(error, can.CanOperationError) and error.motors == (MOTORS[1],)
    assert str(error) == (
        "could not send to Damiao(motor_id=0x2, master_id=0x10): Could not send message to one or more recipients"
    )
    assert [r.motor_id if r is not None else None for r in error.replies] == [1, None, 3]
    assert isinstance(error.__cause__, can.CanOperationError)
    # Nothing is owed for a frame that did not go out, and every send had (what was left of) the motor's timeout.
    fake.send = real
    assert [s.motor_id for s in bus.command_all([HOLD] * 3)] == [1, 2, 3]
    assert all(4.0 < timeout <= 5.0 for _, _, timeout in fake.sent), fake.sent


def test_blocked_sends_cost_a_cycle_one_timeout(make_bus, monkeypatch):
    # A transmit path that accepts nothing: each send blocks for the whole time it is given, on a clock
    # the test advances, so the cycle's cost is read from the timeouts the sends were given.
    clock = [1000.0]
    monkeypatch.setattr("tervalin_dm.bus.time", types.SimpleNamespace(monotonic=lambda: clock[0], time=time.time))
    fake, bus = make_bus()

    def blocked(msg, timeout=None):
        fake.sent.append((msg.arbitration_id, bytes(msg.data), timeout))
        clock[0] += timeout
        raise can.CanOperationError("Transmit buffer full")

    fake.send = blocked
    with pytest.raises(SendFailed) as raised:
        bus.command_all([HOLD] * 3)
    assert raised.value.motors == tuple(MOTORS)
    assert [timeout for _, _, timeout in fake.sent] == [5.0, 0.0, 0.0]


class AnswerWhileWaiting:
    """A call's gate: `answer()` runs when the call starts waiting for answers, if any is still missing."""

    def __init__(self, real, answer):
        self.real, self.answer = real, answer

    def acquire(self, blocking=True, timeout=-1):
        if self.real.acquire(False):
            return True
        if not blocking:
            return False
        self.answer()
        return self.real.acquire(True, timeout)

    def release(self):
        self.real.release()


def test_a_send_that_fails_after_its_answer_came_cuts_no_wait_short(make_bus):
    # Motor 1's frame is answered before its send fails (the virtual bus delivers a frame to every
    # peer it can before it reports the one it could not reach); motor 3 answers while the cycle waits.
    def answer(msg):
        if msg.arbitration_id == MOTORS[2].motor_id:
            return []
        return answering()(msg)

    fake, bus = make_bus(answer)
    real = fake.send

    def send(msg, timeout=None):
        real(msg, timeout)
        if msg.arbitration_id == MOTORS[0].motor_id:
            raise can.CanOperationError("Could not send message to one or more recipients")

    fake.send = send
    bus._cycle.gate = AnswerWhileWaiting(bus._cycle.gate, lambda: fake.deliver(*feedback(MOTORS[2], t_mos=7)))
    with pytest.raises(SendFailed) as raised:
        bus.command_all([HOLD] * 3)
    assert raised.value.motors == (MOTORS[0],)
    assert [r.t_mos if r is not None else None for r in raised.value.replies] == [None, 30, 7]


# --- Registers, against bytes computed by hand ---
# Requests on 0x7FF: motor id (LE), command, register, value (LE); the answer
# repeats the first four bytes on the master id with the value after the request.
# 12.5 = 0x41480000, 30.0 = 0x41F00000, 45.0 = 0x42340000, 18.0 = 0x41900000.

ID_MOTOR = Damiao(0x102, 0x20, LIMITS, timeout_ms=5000)


def echo(data, value=None):
    """The answer a motor gives to a register request: its bytes, with another value if given."""
    return data if value is None else data[:4] + bytes.fromhex(value)


@pytest.mark.parametrize(
    "call, args, sent, answer, result",
    [
        ("read_register", (1, Register.PMAX), "0100331500000000", "0100331500004841", 12.5),
        ("read_register", (1, "mst_id"), "0100330700000000", "0100330710000000", 0x10),
        ("read_register", (ID_MOTOR, 22), "0201331600000000", "020133160000f041", 30.0),
        ("write_register", (1, "VMAX", 30), "010055160000f041", "010055160000f041", 30.0),
        ("write_register", (1, Register.TIMEOUT, 1000), "01005509e8030000", "01005509e8030000", 1000),
        ("switch_mode", (1, 3), "0100550a03000000", "0100550a03000000", ControlMode.VEL),
        ("save_parameters", (1,), "0100aa0100000000", "0100aa0100000000", True),
        ("save_parameters", (ID_MOTOR,), "0201aa0100000000", "0201aa0100000000", True),
    ],
)
def test_register_exchanges(make_bus, call, args, sent, answer, result):
    motors = [*MOTORS, ID_MOTOR]

    def motor(msg):
        motor_id = msg.data[0] | msg.data[1] << 8
        master = next(m.master_id for m in motors if m.motor_id == motor_id)
        return [(master, bytes.fromhex(answer))]

    fake, bus = make_bus(motor, motors=motors)
    value = getattr(bus, call)(*args)
    assert fake.sent == [(0x7FF, bytes.fromhex(sent), 5.0)]
    assert value == result and type(value) is type(result)


# What comes before the echo: none of it is the answer to a read of PMAX by motor 1.
NOT_THE_ANSWER = [
    feedback(MOTORS[0]),  # feedback of the same motor
    (0x10, bytes.fromhex("0100331600004841")),  # another register
    (0x10, bytes.fromhex("0100551500004841")),  # another command
    (0x10, bytes.fromhex("1100331500004841")),  # another motor id with the same low four bits
    (0x11, bytes.fromhex("0100331500004841")),  # another master id
]


@pytest.mark.parametrize("first", NOT_THE_ANSWER)
def test_a_register_answer_is_matched_by_its_bytes(make_bus, first):
    _fake, bus = make_bus(lambda msg: [first, (0x10, bytes.fromhex("0100331500002041"))])
    assert bus.read_register(MOTORS[0], Register.PMAX) == 10.0


def test_a_late_register_answer_is_never_taken_for_feedback(make_bus):
    motor = Damiao(1, 0x10, LIMITS, timeout_ms=50)
    fake, bus = make_bus(motors=[motor])
    with pytest.raises(NoReply):
        bus.read_register(motor, Register.SW_VER)
    # The motor owes the answer: it is sent nothing until the answer came.
    fake.answer = answering([motor])
    with pytest.raises(NoReply, match="still owed"):
        bus.command(motor, HOLD)
    fake.deliver(0x10, bytes.fromhex("0100330e01000000"))
    assert bus.late_replies == 1
    assert bus.command(motor, HOLD).t_mos == 30


def test_a_write_the_motor_did_not_take(make_bus):
    _fake, bus = make_bus(lambda msg: [(0x10, echo(bytes(msg.data), "00004841"))])
    with pytest.raises(WriteNotTaken) as raised:
        bus.write_register(MOTORS[0], "VMAX", 30.0)
    assert str(raised.value) == (
        "Damiao(motor_id=0x1, master_id=0x10) did not take VMAX = 30.0: it answers VMAX = 12.5"
    )
    assert isinstance(raised.value, can.CanError) and raised.value.answered == 12.5


def test_save_is_refused_while_enabled_and_reports_a_missing_echo(make_bus):
    motor = Damiao(1, 0x10, LIMITS, timeout_ms=50)
    answer = answering([motor])
    fake, bus = make_bus(answer, motors=[motor])
    bus.enable(motor)
    with pytest.raises(can.CanOperationError, match="saves its parameters only while disabled"):
        bus.save_parameters(motor)
    fake.answer = lambda msg: [feedback(motor, error=Status.DISABLED)] if msg.arbitration_id != 0x7FF else []
    bus.disable(motor)
    # No echo: False, and the bus has waited out the window, so the next call goes out.
    assert bus.save_parameters(motor) is False
    assert bus.command(motor, HOLD).error == Status.DISABLED


@pytest.mark.parametrize(
    "enable_answer",
    [
        pytest.param(Status.DISABLED, id="answered disabled"),  # the motor did not take the enable
        pytest.param(None, id="unanswered"),
    ],
)
def test_a_motor_reporting_disabled_after_an_enable_may_save(make_bus, enable_answer):
    motor = Damiao(1, 0x10, LIMITS, timeout_ms=50)
    disabled = [feedback(motor, error=Status.DISABLED)]
    fake, bus = make_bus(lambda msg: disabled if msg.arbitration_id != 0x7FF else [], motors=[motor])
    assert bus.disable(motor).error == Status.DISABLED
    if enable_answer is None:
        fake.answer = lambda msg: []
        with pytest.raises(NoReply):
            bus.enable(motor)
        fake.answer = lambda msg: disabled if msg.arbitration_id != 0x7FF else []
        assert bus.disable(motor).error == Status.DISABLED  # goes out although the enable's reply is owed
    else:
        assert bus.enable(motor).error == enable_answer
    # The motor said it is disabled since the enable went out: a save goes out.
    fake.answer = lambda msg: [(0x10, bytes(msg.data))] if msg.arbitration_id == 0x7FF else disabled
    assert bus.save_parameters(motor) is True


@pytest.mark.parametrize(
    "silent, still_enabled",
    [
        pytest.param((), [False, False, False], id="all answer"),
        pytest.param((2,), [False, True, False], id="motor 2 silent"),
    ],
)
def test_disable_all_sends_every_disable_before_waiting_for_any(make_bus, silent, still_enabled):
    motors = [Damiao(i, 0x10, LIMITS, timeout_ms=200) for i in (1, 2, 3)]
    fake, bus = make_bus(answering(motors), motors=motors)
    for motor in motors:
        bus.enable(motor)

    # The motors answer only once motor 3 has been sent its disable: sent one by one, each
    # waiting for its answer, motor 3 would get its disable only after the others' timeouts.
    def answer(msg):
        if msg.arbitration_id != motors[-1].motor_id:
            return []
        return [feedback(motor, error=Status.DISABLED) for motor in motors if motor.motor_id not in silent]

    fake.answer = answer
    if silent:
        with pytest.raises(NoReply) as raised:
            bus.disable_all()
        assert [m.motor_id for m in raised.value.motors] == list(silent)
    else:
        bus.disable_all()
    assert [can_id for can_id, _, _ in fake.sent[3:]] == [1, 2, 3]
    assert [slot.enabled for slot in bus._slots] == still_enabled


def test_limits_read_from_the_motor_and_checked_once(make_bus, caplog):
    values = {Register.PMAX: "00004841", Register.VMAX: "00003442", Register.TMAX: "00009041"}

    def motor(msg):
        if msg.arbitration_id == 0x7FF:
            return [(0x10, echo(bytes(msg.data), values[msg.data[3]]))]
        return [feedback(MOTORS[0])]

    _fake, bus = make_bus(motor)
    limits = bus.read_limits(MOTORS[0])
    assert (limits.p_max, limits.v_max, limits.kp_max, limits.kd_max, limits.t_max) == (12.5, 45.0, 500.0, 5.0, 18.0)
    caplog.set_level(logging.WARNING, logger="tervalin_dm.bus")
    bus.enable(MOTORS[0], check_limits=True)
    bus.enable(MOTORS[0], check_limits=True)
    # dm4310's limits are 12.5, 30, 10: VMAX and TMAX differ.
    assert [r.getMessage() for r in caplog.records] == [
        "Damiao(motor_id=0x1, master_id=0x10) has limits MitLimits(p_max=12.5, v_max=30, kp_max=500, kd_max=5, "
        "t_max=10), but the motor scales over PMAX=12.5, VMAX=45, TMAX=18: its MIT setpoints and feedback are "
        "scaled wrongly"
    ]


# --- Id changes ---


@pytest.mark.parametrize(
    "register, value, answer_id, answer, successor",
    [
        # The echo may carry the old or the new motor id.
        (Register.ESC_ID, 5, 0x10, "0100550805000000", "Damiao(motor_id=0x5, master_id=0x10)"),
        (Register.ESC_ID, 5, 0x10, "0500550805000000", "Damiao(motor_id=0x5, master_id=0x10)"),
        # Its low four bits alone stay: 0x11 answers with the same first byte as 0x01.
        (Register.ESC_ID, 0x11, 0x10, "1100550811000000", "Damiao(motor_id=0x11, master_id=0x10)"),
        # The echo may come on the old or the new master id.
        (Register.MST_ID, 0x20, 0x10, "0100550720000000", "Damiao(motor_id=0x1, master_id=0x20)"),
        (Register.MST_ID, 0x20, 0x20, "0100550720000000", "Damiao(motor_id=0x1, master_id=0x20)"),
    ],
)
def test_an_id_change_retires_the_handle(make_bus, register, value, answer_id, answer, successor):
    motor = MOTORS[0]
    fake, bus = make_bus(lambda msg: [(answer_id, bytes.fromhex(answer))])
    assert bus.write_register(motor, register, value) == value
    for call in (
        lambda: bus.command(motor, HOLD),
        lambda: bus.read_register(1, 7),
        lambda: bus.command_all([HOLD] * 3),
    ):
        with pytest.raises(StaleHandle) as raised:
            call()
        assert raised.value.successor.motor_id == (value if register is Register.ESC_ID else 1)
        assert str(raised.value).startswith(f"Damiao(motor_id=0x1, master_id=0x10) now answers as {successor}: use")
        assert "until the motor is powered off, unless save_parameters()" in str(raised.value)
    # The save goes to the new motor id, and its echo comes from the new ids.
    new = raised.value.successor
    fake.answer = lambda msg: [(new.master_id, bytes(msg.data))]
    assert bus.save_parameters(motor) is True
    assert fake.sent[-1][:2] == (0x7FF, bytes([new.motor_id, 0, 0xAA, 1, 0, 0, 0, 0]))
    # The other motors go on as before.
    fake.answer = answering()
    assert bus.command(MOTORS[1], HOLD).motor_id == 2


def test_an_id_change_the_motor_did_not_take_keeps_the_handle(make_bus):
    fake, bus = make_bus(lambda msg: [(0x10, bytes.fromhex("0100550801000000"))])
    with pytest.raises(WriteNotTaken, match="did not take ESC_ID = 5: it answers ESC_ID = 1"):
        bus.write_register(MOTORS[0], Register.ESC_ID, 5)
    fake.answer = answering()
    assert bus.command(MOTORS[0], HOLD).motor_id == 1


def test_an_unanswered_id_change_retires_the_handle(make_bus):
    motor = Damiao(1, 0x10, LIMITS, timeout_ms=50)
    _fake, bus = make_bus(motors=[motor])
    with pytest.raises(NoReply):
        bus.write_register(motor, Register.MST_ID, 0x30)
    with pytest.raises(StaleHandle, match="now answers as Damiao\\(motor_id=0x1, master_id=0x30\\)"):
        bus.enable(motor)


@pytest.mark.parametrize(
    "register, value, message",
    [
        (Register.ESC_ID, 2, "have the same motor id"),
        (Register.ESC_ID, 0x12, "both answer on master id 0x10 with motor id 0x2"),
        (Register.ESC_ID, 0x500, "motor ids go up to 0x4fe"),
        (Register.MST_ID, 0x102, "takes commands on 0x102, where"),
        (Register.MST_ID, 0x7FF, "master ids go up to 0x7fe"),
    ],
)
def test_an_id_change_that_would_clash_is_refused_before_sending(make_bus, register, value, message):
    fake, bus = make_bus(answering())
    with pytest.raises(ValueError, match=message):
        bus.write_register(MOTORS[0], register, value)
    assert fake.sent == []
    assert bus.command(MOTORS[0], HOLD).motor_id == 1


def test_a_call_from_the_thread_that_delivers_frames_is_refused(make_bus):
    fake, bus = make_bus(answering())
    assert bus.command(MOTORS[0], HOLD).motor_id == 1  # the receiving thread is now known
    with pytest.raises(RuntimeError) as raised:
        fake.in_receiver(lambda: bus.command(MOTORS[1], HOLD))
    assert str(raised.value) == (
        "a MotorBus call from the thread that hands it frames (a listener's callback) would wait for a reply only "
        "that thread can deliver: call from another thread"
    )
    assert [can_id for can_id, _, _ in fake.sent] == [1]  # the refused call sent nothing
