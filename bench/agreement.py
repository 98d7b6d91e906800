"""Checks that the contenders measure the same thing as tervalin before anything is timed.

The hand-written version is the bar only while it behaves like tervalin: the
same texts, and the same exception types and messages for the same mistakes.
The Cython version must print the same texts (its argument errors are
Cython's own). A disagreement stops the benchmark with the differences.
"""

# Evaluated in each contender's namespace (bench.Contender.namespace).
SAME_OUTCOME = [
    # binding
    "MitLimits(1, 2, 3, 4, 5, 6)",
    "MitLimits(**{'é': 1})",
    "MitLimits.__new__(MitLimits, 1, 2, t_max=3)",
    "MitLimits.__new__(MitLimits, 1, p_max=3)",
    "Damiao()",
    "Damiao(1)",
    "Damiao(master_id=2)",
    "Damiao(bogus=1)",
    "Damiao(1, 2, None, 20, 5)",
    "Damiao(1, 2, None, 20, 5, bogus=1)",
    "Damiao(1, 2, motor_id=3)",
    "ControlSetpoint.force_pos()",
    "ControlSetpoint.force_pos(1.0)",
    "ControlSetpoint.vel(1.0, 2.0)",
    "ControlSetpoint.vel(1.0, velocity=2.0)",
    "ControlSetpoint.mit()",
    "mit_setpoint(1, 2, 3, 4, 5, 6)",
    "mit_setpoint(x=1)",
    "ControlSetpoint(mode=1)",
    "state.__class__()",
    # conversion
    "Damiao(65536, 1)",
    "Damiao(-1, 1)",
    "Damiao(1.0, 2)",
    "Damiao('a', 2**70)",
    "Damiao(1, 2, limits=5)",
    "Damiao(1, 2, (12.5, 30.0, 500.0, 5.0, 10.0))",
    "Damiao(1, 2, timeout_ms=None)",
    "Damiao(1, 2, timeout_ms=-1)",
    "Damiao(1, 2, timeout_ms=2**64)",
    "ControlSetpoint.mit(None)",
    "ControlSetpoint.mit(MitLimits())",
    "ControlSetpoint.force_pos(1, 2, 'x')",
    "MitLimits(p_max='x')",
    "MitSetpoint(q=10**400)",
    "mit_setpoint(None)",
    "mit_setpoint(dq='1')",
    # texts and values
    "repr(MitLimits())",
    "repr(MitLimits(0.1, -2.5, 1e39, float('nan'), -0.0))",
    "repr(MitLimits.dm4310())",
    "repr(MitSetpoint(q=3.14159265, kp=1e6))",
    "repr(mit_setpoint(kd=0.3, tau=-0.5))",
    "repr(ControlSetpoint.mit(MitSetpoint(1.0, 0.5, 20.0, 1.0, 0.25)))",
    "repr(ControlSetpoint.pos_vel(3.14159, 2.0))",
    "repr(ControlSetpoint.vel(velocity=float('inf')))",
    "repr(ControlSetpoint.force_pos(torque_ratio=0.2, position=1, velocity_limit=5))",
    "(ControlSetpoint.pos_vel(0, 0).mode, ControlSetpoint.vel(2.0).mode)",
    "repr(Damiao(master_id=3, motor_id=4))",
    "repr(Damiao(0, 65535, None, 2**64 - 1))",
    "repr(Damiao(True, False))",
    "repr(state)",
    "(state.motor_id, state.position, state.torque, MitLimits(0.1).p_max)",
    "(MitLimits.__text_signature__, MitLimits.__doc__, Damiao.__text_signature__, ControlSetpoint.__doc__)",
    "(ControlSetpoint.vel.__text_signature__, ControlSetpoint.vel.__doc__, mit_setpoint.__doc__)",
    "ControlSetpoint.mode.__doc__",
]

# The Cython version prints like tervalin; its errors are its own.
SAME_TEXT = [code for code in SAME_OUTCOME if code.startswith("repr(")]


def outcome(code, ns):
    """The repr of the value of `code`, or what it raised: type, message, cause and whether the context shows."""
    try:
        return ("value", repr(eval(code, dict(ns))))
    except Exception as e:
        return (type(e).__name__, str(e), repr(e.__cause__), e.__suppress_context__)


def differences(namespaces):
    """Lines describing every disagreement with tervalin; empty when all agree."""
    lines = []
    for contender, codes in (("handwritten", SAME_OUTCOME), ("cython", SAME_TEXT)):
        for code in codes:
            own, other = outcome(code, namespaces["tervalin"]), outcome(code, namespaces[contender])
            if own != other:
                lines.append(f"{contender}: {code}: tervalin {own!r}, {contender} {other!r}")
    return lines
