"""A pure-Python model of the module's argument binder and converters.

`predict(sig, args, kwargs)` says what `sig.func(*args, **kwargs)` must do:
an `Ok` with the converted value of every parameter (defaults filled in), or
a `Raise` with the exact exception. CPython's own conversion messages come
from calling the same C API functions on the object through ctypes.
"""

import ctypes
from dataclasses import dataclass, field, replace
from functools import partial

from conftest import f32
from tervalin import ControlSetpoint, Damiao, MitLimits, MitSetpoint, mit_setpoint

_api = ctypes.pythonapi
_as_double = ctypes.PYFUNCTYPE(ctypes.c_double, ctypes.py_object)(("PyFloat_AsDouble", _api))
_as_long = ctypes.PYFUNCTYPE(ctypes.c_long, ctypes.py_object)(("PyLong_AsLong", _api))
_index = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object)(("PyNumber_Index", _api))
_as_ull = ctypes.PYFUNCTYPE(ctypes.c_ulonglong, ctypes.py_object)(("PyLong_AsUnsignedLongLong", _api))

OUT_OF_RANGE = "out of range integral type conversion attempted"
LIMIT_FIELDS = ("p_max", "v_max", "kp_max", "kd_max", "t_max")
SETPOINT_FIELDS = ("q", "dq", "kp", "kd", "tau")
DEFAULT_LIMITS = (12.5, 30.0, 500.0, 5.0, 10.0)
EMPTY = object()


@dataclass
class Sig:
    func: object
    owner: str
    name: str
    params: tuple
    required: int
    kinds: tuple       # "f32", "u16", "u64", "limits", "setpoint" per parameter
    defaults: tuple    # value used for an unbound parameter (None: required)

    @property
    def target(self):
        """The class or function called, also through a partial of __new__."""
        return self.func.args[0] if isinstance(self.func, partial) else self.func

    @property
    def display(self):
        return f"{self.owner}.{self.name}()" if self.owner else f"{self.name}()"


SIGNATURES = [
    Sig(MitLimits, "MitLimits", "__new__", LIMIT_FIELDS, 0, ("f32",) * 5, DEFAULT_LIMITS),
    Sig(MitSetpoint, "MitSetpoint", "__new__", SETPOINT_FIELDS, 0, ("f32",) * 5, (0.0,) * 5),
    Sig(mit_setpoint, None, "mit_setpoint", SETPOINT_FIELDS, 0, ("f32",) * 5, (0.0,) * 5),
    Sig(Damiao, "Damiao", "__new__", ("motor_id", "master_id", "limits", "timeout_ms"), 2,
        ("u16", "u16", "limits", "u64"), (None, None, DEFAULT_LIMITS, 20)),
    Sig(ControlSetpoint.mit, "ControlSetpoint", "mit", ("setpoint",), 1, ("setpoint",), (None,)),
    Sig(ControlSetpoint.pos_vel, "ControlSetpoint", "pos_vel", ("position", "velocity"), 2,
        ("f32",) * 2, (None,) * 2),
    Sig(ControlSetpoint.vel, "ControlSetpoint", "vel", ("velocity",), 1, ("f32",), (None,)),
    Sig(ControlSetpoint.force_pos, "ControlSetpoint", "force_pos",
        ("position", "velocity_limit", "torque_ratio"), 3, ("f32",) * 3, (None,) * 3),
]
# The constructors once more through __new__, which binds a tuple and a dict.
SIGNATURES += [replace(sig, func=partial(sig.func.__new__, sig.func)) for sig in SIGNATURES
               if isinstance(sig.func, type)]


@dataclass
class Ok:
    values: list


@dataclass
class Raise:
    type: type
    args: tuple
    source: BaseException = None   # the exception the conversion met, if any
    wrapped: bool = False          # a rewritten TypeError: cause carried, context suppressed
    cause: BaseException = None
    panic: bool = False            # a resumed PanicException (a new instance)
    unraisable: list = field(default_factory=list)  # objects whose str() failed


def object_text(obj, unraisable):
    try:
        return str(obj)
    except BaseException:  # noqa: BLE001
        unraisable.append(obj)
        return f"<unprintable {type(obj).__name__} object>"


def _attempt(fn, obj):
    try:
        return fn(obj), None
    except BaseException as exc:  # noqa: BLE001
        return None, exc


def convert(kind, obj):
    """(value, None) or (None, exception met) for one supplied object."""
    if kind == "f32":
        if type(obj) is float:
            return f32(obj), None
        value, exc = _attempt(_as_double, obj)
        return (None, exc) if exc is not None else (f32(value), None)
    if kind == "u16":
        value, exc = _attempt(_as_long, obj)
        if exc is None and not 0 <= value <= 65535:
            exc = OverflowError(OUT_OF_RANGE)
        return value, exc
    if kind == "u64":
        if not isinstance(obj, int):
            obj, exc = _attempt(_index, obj)
            if exc is not None:
                return None, exc
        return _attempt(_as_ull, obj)
    cls, names = (MitLimits, LIMIT_FIELDS) if kind == "limits" else (MitSetpoint, SETPOINT_FIELDS)
    if kind == "limits" and obj is None:
        return DEFAULT_LIMITS, None
    if isinstance(obj, cls):
        return tuple(getattr(obj, n) for n in names), None
    return None, TypeError(f"'{type(obj).__qualname__}' object cannot be converted to '{cls.__name__}'")


def wrap(name, exc, panic_type):
    if type(exc) is TypeError:
        unraisable = []
        text = object_text(exc, unraisable)
        return Raise(TypeError, (f"argument '{name}': {text}",), exc, True, exc.__cause__,
                     unraisable=unraisable)
    if type(exc) is panic_type:
        return Raise(panic_type, (str(exc),), exc, panic=True)
    return Raise(type(exc), exc.args, exc)


def name_list(names):
    quoted = [f"'{n}'" for n in names]
    if len(quoted) <= 2:
        return " and ".join(quoted)
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


def bind(sig, args, kwargs):
    """(bound, None) or (None, Raise)."""
    n, count = len(args), len(sig.params)
    bound = list(args[:count]) + [EMPTY] * max(0, count - n)
    if n > count:
        was = "was" if n == 1 else "were"
        takes = (f"{count}" if sig.required == count else f"from {sig.required} to {count}")
        return None, Raise(TypeError, (f"{sig.display} takes {takes} positional arguments but {n} {was} given",))
    for key, value in kwargs.items():
        try:
            text = str.__str__(key).encode("utf-8")
        except UnicodeEncodeError:
            text = None
        for i, param in enumerate(sig.params):
            if text == param.encode():
                if bound[i] is not EMPTY:
                    return None, Raise(TypeError, (f"{sig.display} got multiple values for argument '{param}'",))
                bound[i] = value
                break
        else:
            unraisable = []
            shown = object_text(key, unraisable)
            return None, Raise(TypeError, (f"{sig.display} got an unexpected keyword argument '{shown}'",),
                               unraisable=unraisable)
    missing = [sig.params[i] for i in range(sig.required) if bound[i] is EMPTY]
    if missing:
        word = "argument" if len(missing) == 1 else "arguments"
        return None, Raise(TypeError, (f"{sig.display} missing {len(missing)} required positional {word}: "
                                       + name_list(missing),))
    return bound, None


def predict(sig, args, kwargs, panic_type):
    bound, failure = bind(sig, args, kwargs)
    if failure is not None:
        return failure
    values = []
    for name, kind, default, obj in zip(sig.params, sig.kinds, sig.defaults, bound):
        if obj is EMPTY:
            values.append(default)
            continue
        value, exc = convert(kind, obj)
        if exc is not None:
            return wrap(name, exc, panic_type)
        values.append(value)
    return Ok(values)
