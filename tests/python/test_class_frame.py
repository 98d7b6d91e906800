"""Class-level facts: names, documentation, flags, layout and identity semantics."""

import gc
import pickle
import sys
import weakref

import pytest

import tervalin
from conftest import FIELDS
from tervalin import MitLimits

IMMUTABLETYPE, HEAPTYPE, BASETYPE, HAVE_GC = 1 << 8, 1 << 9, 1 << 10, 1 << 14


@pytest.mark.parametrize("name, doc, signature", [
    ("MitLimits", "", "(p_max=12.5, v_max=30.0, kp_max=500.0, kd_max=5.0, t_max=10.0)"),
    ("MitSetpoint", "", "(q=0.0, dq=0.0, kp=0.0, kd=0.0, tau=0.0)"),
    ("ControlSetpoint", None, None),
    ("MotorState", None, None),
    ("Damiao", "", "(motor_id, master_id, limits=None, timeout_ms=20)"),
])
def test_names_documentation_and_flags(name, doc, signature):
    cls = getattr(tervalin, name)
    assert repr(cls) == f"<class 'tervalin.{name}'>"
    assert (cls.__module__, cls.__name__, cls.__qualname__) == ("tervalin", name, name)
    assert cls.__doc__ == doc
    assert cls.__text_signature__ == signature
    assert cls.__mro__ == (cls, object)
    assert cls.__flags__ & HEAPTYPE and not cls.__flags__ & (BASETYPE | HAVE_GC | IMMUTABLETYPE)
    assert (cls.__itemsize__, cls.__dictoffset__, cls.__weakrefoffset__) == (0, 0, 0)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("call, name", [
    (lambda: tervalin.MotorState(), "MotorState"),
    (lambda: tervalin.MotorState(1, 2), "MotorState"),
    (lambda: tervalin.MotorState(bogus=object()), "MotorState"),
    (lambda: tervalin.ControlSetpoint(mode=1), "ControlSetpoint"),
])
def test_classes_without_constructor(call, name):
    with pytest.raises(TypeError) as info:
        call()
    assert info.value.args == (f"No constructor defined for {name}",)


def test_getter_documentation_of_mode():
    assert tervalin.ControlSetpoint.mode.__doc__ == (
        "Numeric control mode (matches the value written to register 10).")


@pytest.mark.parametrize("name", FIELDS)
def test_getters_are_read_only_and_undocumented(name):
    descriptor = vars(MitLimits)[name]
    assert descriptor.__doc__ == ""
    assert descriptor.__objclass__ is MitLimits
    m = MitLimits(1, 2, 3, 4, 5)
    before = getattr(m, name)
    with pytest.raises(AttributeError, match="not writable"):
        setattr(m, name, 99.0)
    with pytest.raises(AttributeError, match="not writable"):
        delattr(m, name)
    assert getattr(m, name) == before


def test_instance_layout():
    # Object header (16) + five singles (20, padded to 24) + borrow counter (8).
    assert MitLimits.__basicsize__ == 48
    assert not gc.is_tracked(MitLimits())


def test_class_object_itself_is_mutable():
    MitLimits.scratch_attribute = 1
    try:
        assert MitLimits().scratch_attribute == 1
    finally:
        del MitLimits.scratch_attribute
    assert not hasattr(MitLimits, "scratch_attribute")


def test_instances_have_no_dict_and_no_weakrefs():
    m = MitLimits()
    with pytest.raises(AttributeError):
        m.extra = 1
    with pytest.raises(AttributeError):
        m.__dict__
    with pytest.raises(TypeError):
        weakref.ref(m)


def test_identity_semantics():
    a, b = MitLimits(1, 2, 3, 4, 5), MitLimits(1, 2, 3, 4, 5)
    assert a == a and not (a == b) and a != b
    assert hash(a) == object.__hash__(a) != hash(b)
    with pytest.raises(TypeError):
        a < b
    assert str(a) == repr(a)
    assert type(a).__str__ is object.__str__
    with pytest.raises(TypeError):
        pickle.dumps(a)


def test_presets_are_static_methods():
    assert isinstance(vars(MitLimits)["dm4310"], staticmethod)
    by_instance = MitLimits(0, 0, 0, 0, 0).dm4310()
    assert type(by_instance) is MitLimits
    assert repr(by_instance) == repr(MitLimits.dm4310())


def test_class_refcount_is_stable():
    before = sys.getrefcount(MitLimits)
    many = [MitLimits() for _ in range(500)] + [MitLimits.dm8009() for _ in range(500)]
    # Every instance of a heap type holds a reference to its type.
    assert sys.getrefcount(MitLimits) == before + 1000
    assert all(repr(m) and m.p_max for m in many[:10])
    del many
    assert sys.getrefcount(MitLimits) == before
