"""The success path of every entry allocates nothing but the object it returns."""

import pytest

import tervalin as t

native = pytest.importorskip("_tervalin_native", reason="allocations are counted only in the embedding test program")

REPEAT = 500
lim, sp, d = t.MitLimits(), t.MitSetpoint(), t.Damiao(1, 2)
cs = t.ControlSetpoint.vel(1.0)
state = native.motor_state(1, 0, 0.5, -1.25, 0.1, 35, 40) if native else None

# (callable, positional, keywords, allocations per call: the result only)
CASES = [
    (t.MitLimits, (1.0, 2.0, 3.0, 4.0, 5.0), None, 1),
    (t.MitLimits, (), {"kd_max": 0.5}, 1),
    (t.MitLimits.dm4310, (), None, 1),
    (t.MitSetpoint, (0.5,), {"kp": 20.0}, 1),
    (t.mit_setpoint, (), {"q": 1.0, "kd": 0.3}, 1),
    (t.ControlSetpoint.vel, (1.0,), None, 1),
    (t.ControlSetpoint.force_pos, (1.0,), {"torque_ratio": 0.2, "velocity_limit": 5.0}, 1),
    (t.ControlSetpoint.mit, (sp,), None, 1),
    (t.Damiao, (1, 0x11), {"limits": lim, "timeout_ms": 50}, 1),
    (repr, (lim,), None, 1),
    (repr, (state,), None, 1),
    (repr, (d,), None, 1),
    (repr, (cs,), None, 1),
    # Small ints and released floats come from CPython's caches.
    (getattr, (lim, "p_max"), None, 0),
    (getattr, (d, "motor_id"), None, 0),
    (getattr, (cs, "mode"), None, 0),
    (getattr, (state, "torque"), None, 0),
]


@pytest.mark.parametrize("call, args, kwargs, per_call", CASES)
def test_success_path_allocates_only_the_result(call, args, kwargs, per_call):
    assert native.allocations(call, args, kwargs, REPEAT) == per_call * REPEAT


def test_the_counter_sees_allocations():
    assert native.allocations(list, ((1, 2, 3),), None, 10) >= 10
