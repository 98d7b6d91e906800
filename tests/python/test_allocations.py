"""The success path of every entry allocates nothing but the object it returns."""

import pytest

import tervalin as t

native = pytest.importorskip("_tervalin_native", reason="allocations are counted only in the embedding test program")

REPEAT = 500
lim, sp, d = t.MitLimits(), t.MitSetpoint(), t.Damiao(1, 2)
cs = t.ControlSetpoint.vel(1.0)
state = native.motor_state(1, 0, 0.5, -1.25, 0.1, 35, 40)

# (callable, positional, keywords, whether the result is always a new allocation)
CASES = [
    (t.MitLimits, (1.0, 2.0, 3.0, 4.0, 5.0), None, True),
    (t.MitLimits, (), {"kd_max": 0.5}, True),
    (t.MitLimits.dm4310, (), None, True),
    (t.MitSetpoint, (0.5,), {"kp": 20.0}, True),
    (t.mit_setpoint, (), {"q": 1.0, "kd": 0.3}, True),
    (t.ControlSetpoint.vel, (1.0,), None, True),
    (t.ControlSetpoint.force_pos, (1.0,), {"torque_ratio": 0.2, "velocity_limit": 5.0}, True),
    (t.ControlSetpoint.mit, (sp,), None, True),
    (t.Damiao, (1, 0x11), {"limits": lim, "timeout_ms": 50}, True),
    (repr, (lim,), None, True),
    (repr, (state,), None, True),
    (repr, (d,), None, True),
    (repr, (cs,), None, True),
    # Small ints and released floats may come from CPython's caches instead.
    (getattr, (lim, "p_max"), None, False),
    (getattr, (d, "motor_id"), None, False),
    (getattr, (cs, "mode"), None, False),
    (getattr, (state, "torque"), None, False),
]


@pytest.mark.parametrize("call, args, kwargs, always_new", CASES)
def test_success_path_allocates_only_the_result(call, args, kwargs, always_new):
    count = native.allocations(call, args, kwargs, REPEAT)
    assert count == REPEAT if always_new else count <= REPEAT


def test_the_counter_sees_allocations():
    assert native.allocations(list, ((1, 2, 3),), None, 10) >= 10
