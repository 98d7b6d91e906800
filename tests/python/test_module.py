"""Module object: attributes, their order, __all__ and repeated import."""

import importlib
import sys

import tervalin

# Names the module body registers, in registration order.
REGISTERED = [
    "__version__",
    "MitLimits",
    "MitSetpoint",
    "ControlSetpoint",
    "MotorState",
    "Damiao",
    "mit_setpoint",
]
STANDARD = ["__name__", "__doc__", "__package__", "__loader__", "__spec__"]


def test_basic_attributes():
    assert tervalin.__name__ == "tervalin"
    assert tervalin.__doc__ == ""
    assert type(tervalin.__version__) is str
    assert tervalin.__version__ == "1.1.0"


def test_all_is_a_prefix_of_the_registration_order():
    names = tervalin.__all__
    assert type(names) is list
    assert all(type(n) is str for n in names)
    assert names[:2] == ["__version__", "MitLimits"]
    assert names == REGISTERED[: len(names)]
    for name in names:
        assert hasattr(tervalin, name)


def test_attribute_order_in_module_dict():
    keys = list(vars(tervalin))
    assert keys[: len(STANDARD)] == STANDARD
    assert keys[len(STANDARD)] == "__all__"
    present = [k for k in keys if k in ["__all__"] + REGISTERED]
    assert present == ["__all__"] + tervalin.__all__
    # The import system adds __file__ (absent for a built-in module) only
    # after the entry point returned.
    if "__file__" in keys:
        assert keys.index("__file__") > keys.index(tervalin.__all__[-1])


def test_reimport_returns_the_same_module_without_duplicates():
    before = list(tervalin.__all__)
    try:
        for _ in range(2):
            del sys.modules["tervalin"]
            again = importlib.import_module("tervalin")
            assert again is tervalin
    finally:
        sys.modules["tervalin"] = tervalin
    assert tervalin.__all__ == before
    assert len(set(tervalin.__all__)) == len(tervalin.__all__)
    assert tervalin.MitLimits().p_max == 12.5


def test_panic_exception_is_not_a_module_attribute(panic_type):
    assert not hasattr(tervalin, "PanicException")
    assert all(value is not panic_type for value in vars(tervalin).values())
    assert "PanicException" not in tervalin.__all__


def test_module_function_belongs_to_the_module():
    assert tervalin.mit_setpoint.__module__ == "tervalin"
    assert tervalin.mit_setpoint.__self__ is tervalin
    assert tervalin.mit_setpoint.__name__ == "mit_setpoint"
