"""Class-level facts of MitLimits: names, documentation, flags and layout."""

import gc
import pickle
import sys
import weakref

import pytest

from conftest import FIELDS
from tervalin import MitLimits

Py_TPFLAGS_IMMUTABLETYPE = 1 << 8
Py_TPFLAGS_HEAPTYPE = 1 << 9
Py_TPFLAGS_BASETYPE = 1 << 10
Py_TPFLAGS_HAVE_GC = 1 << 14


def test_names_and_documentation():
    assert repr(MitLimits) == "<class 'tervalin.MitLimits'>"
    assert MitLimits.__module__ == "tervalin"
    assert MitLimits.__name__ == "MitLimits"
    assert MitLimits.__qualname__ == "MitLimits"
    assert MitLimits.__doc__ == ""
    assert (
        MitLimits.__text_signature__
        == "(p_max=12.5, v_max=30.0, kp_max=500.0, kd_max=5.0, t_max=10.0)"
    )
    assert MitLimits.__base__ is object
    assert MitLimits.__mro__ == (MitLimits, object)


@pytest.mark.parametrize("name", FIELDS)
def test_getter_descriptors_have_empty_docs(name):
    descriptor = vars(MitLimits)[name]
    assert descriptor.__doc__ == ""
    assert descriptor.__name__ == name
    assert descriptor.__objclass__ is MitLimits


def test_type_flags_and_layout():
    flags = MitLimits.__flags__
    assert flags & Py_TPFLAGS_HEAPTYPE
    assert not flags & Py_TPFLAGS_BASETYPE
    assert not flags & Py_TPFLAGS_HAVE_GC
    assert not flags & Py_TPFLAGS_IMMUTABLETYPE
    # Object header (16) + five singles (20, padded to 24) + borrow counter (8).
    assert MitLimits.__basicsize__ == 48
    assert MitLimits.__itemsize__ == 0
    assert MitLimits.__dictoffset__ == 0
    assert MitLimits.__weakrefoffset__ == 0
    assert not gc.is_tracked(MitLimits())


def test_cannot_be_subclassed():
    with pytest.raises(TypeError):
        class Sub(MitLimits):
            pass


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


@pytest.mark.parametrize("name", FIELDS)
def test_attributes_are_read_only(name):
    m = MitLimits(1, 2, 3, 4, 5)
    before = getattr(m, name)
    with pytest.raises(AttributeError, match="not writable"):
        setattr(m, name, 99.0)
    with pytest.raises(AttributeError, match="not writable"):
        delattr(m, name)
    assert getattr(m, name) == before


def test_identity_semantics():
    a, b = MitLimits(1, 2, 3, 4, 5), MitLimits(1, 2, 3, 4, 5)
    assert a == a and not (a == b) and a != b
    assert hash(a) == object.__hash__(a)
    assert hash(a) != hash(b)
    with pytest.raises(TypeError):
        a < b
    assert str(a) == repr(a)
    assert type(a).__str__ is object.__str__
    with pytest.raises(TypeError):
        pickle.dumps(a)


def test_presets_are_static_methods():
    by_class = MitLimits.dm4310()
    by_instance = MitLimits(0, 0, 0, 0, 0).dm4310()
    assert type(by_instance) is MitLimits
    assert repr(by_class) == repr(by_instance)
    assert isinstance(vars(MitLimits)["dm4310"], staticmethod)


def test_class_refcount_is_stable():
    before = sys.getrefcount(MitLimits)
    many = [MitLimits() for _ in range(500)] + [MitLimits.dm8009() for _ in range(500)]
    # Every instance of a heap type holds a reference to its type.
    assert sys.getrefcount(MitLimits) == before + 1000
    for m in many[:10]:
        repr(m), m.p_max
    del many, m
    assert sys.getrefcount(MitLimits) == before
