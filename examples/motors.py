"""Three simulated Damiao motors on python-can's virtual bus, driven the way a control loop drives real ones.

Run it with ``python examples/motors.py`` (python-can installed: ``pip install
'tervalin[can]'``). For hardware, replace the virtual bus by yours, e.g.
``can.Bus(interface="socketcan", channel="can0")``, and drop the simulated motors.

The MotorBus is used as a context manager, so every motor it enabled is
disabled again however the loop ends (a fault, a missing reply, Ctrl-C). It
receives through a can.Notifier it is given, which a can.Printer joins to show
the frames of the last cycle (a can.Logger would record them).
"""

import math
import uuid

import can
from tervalin import ControlSetpoint, Damiao, MitLimits, mit_setpoint

from tervalin_dm import Register, Status, is_error
from tervalin_dm.bus import MotorBus, NoReply
from tervalin_dm.sim import SimulatedMotor

PERIOD = 0.002  # s: the simulated motors advance this much per command
CYCLES = 1000

limits = MitLimits.dm4310()
# A generous timeout: the simulated motors answer from a thread of this process, which a busy machine
# can hold up for tens of milliseconds. On hardware, 20 ms is typical.
motors = [Damiao(motor_id, 0x10 + motor_id, limits, timeout_ms=500) for motor_id in (1, 2, 3)]
channel = f"tervalin-example-{uuid.uuid4()}"


def run(bus: MotorBus, notifier: can.Notifier) -> None:
    """Reads each motor's limits and firmware, enables it in MIT mode, then runs the control loop."""
    for motor in motors:
        print(f"{motor}: limits {bus.read_limits(motor)}, firmware {bus.read_register(motor, Register.SW_VER)}")
        bus.switch_mode(motor, 1)  # MIT
        print(bus.enable(motor, check_limits=True))
    # Each motor follows a sine of its own amplitude.
    for cycle in range(CYCLES):
        t = cycle * PERIOD
        setpoints = [
            ControlSetpoint.mit(mit_setpoint(q=amplitude * math.sin(2 * math.pi * t), kp=30.0, kd=1.0))
            for amplitude in (0.5, 1.0, 1.5)
        ]
        if cycle == CYCLES - 1:
            notifier.add_listener(can.Printer())  # the answers of the last cycle and to the disables
        try:
            states = bus.command_all(setpoints)
        except NoReply as missing:
            print(missing)  # missing.replies holds the states of the motors that did answer
            return
        faults = [state for state in states if is_error(state.error)]
        if faults:
            print("fault:", ", ".join(f"motor {s.motor_id}: {Status(s.error).name}" for s in faults))
            return
    for state in states:
        print(
            f"motor {state.motor_id}: {state.position:+.3f} rad, {state.velocity:+.3f} rad/s, {state.torque:+.3f} N·m"
        )


# The motors' end of the wire: simulated motors, each answering as a DM4310 would.
with can.Bus(interface="virtual", channel=channel) as motor_side:
    simulated = [SimulatedMotor(motor_side, motor, step=PERIOD) for motor in motors]
    for sim in simulated:
        sim.start()
    try:
        # The host's end: the MotorBus on a python-can bus, receiving through a notifier it shares.
        with can.Bus(interface="virtual", channel=channel) as wire:
            notifier = can.Notifier(wire, [], timeout=0.1)
            try:
                with MotorBus(wire, motors, notifier=notifier) as bus:
                    run(bus, notifier)
            finally:
                notifier.stop()
        # Leaving the MotorBus disabled every motor it had enabled.
        print("enabled after the loop:", [sim.enabled for sim in simulated])
    finally:
        for sim in simulated:
            sim.stop()
