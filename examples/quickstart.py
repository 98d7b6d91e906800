"""A first look at tervalin: limits, setpoints and a motor handle."""

import tervalin
from tervalin import ControlSetpoint, Damiao, MitLimits, MitSetpoint, mit_setpoint

print(f"tervalin {tervalin.__version__}")

# The typical request: a DM4310 on bus id 1, answering as master 0x11.
limits = MitLimits.dm4310()
motor = Damiao(1, 0x11, limits=limits, timeout_ms=50)
print(motor)
print(f"motor_id={motor.motor_id} master_id={motor.master_id:#x}")

# Every preset, with the limits it carries.
for name in ("dm3507", "dm4310", "dm4340", "dm8009", "dmh3510"):
    print(f"{name:>8}: {getattr(MitLimits, name)()}")

# Values are stored as single-precision floats: the text shows the single's
# shortest digits, the attribute its exact value.
custom = MitLimits(kd_max=0.1)
print(custom, "->", custom.kd_max)

# One setpoint per control mode.
hold = MitSetpoint(q=0.5, kp=20.0, kd=1.0)
for setpoint in (
    ControlSetpoint.mit(hold),
    ControlSetpoint.mit(mit_setpoint(dq=2.0, kd=0.3)),
    ControlSetpoint.pos_vel(3.14159, 2.0),
    ControlSetpoint.vel(-1.5),
    ControlSetpoint.force_pos(0.5, 10.0, 0.3),
):
    print(f"mode {setpoint.mode}: {setpoint}")

# Bad arguments are rejected before anything is built.
try:
    Damiao(70000, 0x11)
except OverflowError as error:
    print(f"Damiao(70000, 0x11) -> OverflowError: {error}")
