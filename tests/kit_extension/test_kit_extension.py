"""kit_extension, built separately against the installed tervalin: the producer kit and native logging."""

import logging
import os
import pathlib
import shutil
import subprocess
import sys
import textwrap

import kit_extension
import pytest
from tervalin import ControlSetpoint, Damiao, MitLimits, MitSetpoint, MotorState


def single(x):
    return float(MitSetpoint(x).q)


def test_makes_motor_states_of_the_module_class():
    state = kit_extension.motor_state(3, 1, 0.1, -2.5, 7.0, 40, 41)
    assert type(state) is MotorState
    assert (state.motor_id, state.error, state.t_mos, state.t_rotor) == (3, 1, 40, 41)
    assert (state.position, state.velocity, state.torque) == (single(0.1), -2.5, 7.0)


@pytest.mark.parametrize(
    "read, value, fields",
    [
        (kit_extension.read_limits, MitLimits.dm8009(), (12.5, 45.0, 500.0, 5.0, 54.0)),
        (kit_extension.read_setpoint, MitSetpoint(0.1, 2, 3, 4, 5), (single(0.1), 2.0, 3.0, 4.0, 5.0)),
        (kit_extension.read_control, ControlSetpoint.mit(MitSetpoint(1, 2, 3, 4, 5)), (1, (1.0, 2.0, 3.0, 4.0, 5.0))),
        (kit_extension.read_control, ControlSetpoint.pos_vel(1.5, -2), (2, (1.5, -2.0))),
        (kit_extension.read_control, ControlSetpoint.vel(3), (3, (3.0,))),
        (kit_extension.read_control, ControlSetpoint.force_pos(1, 2, 0.5), (4, (1.0, 2.0, 0.5))),
        (
            kit_extension.read_motor,
            Damiao(7, 0x17, MitLimits.dm4310(), 2500),
            (7, 0x17, (12.5, 30.0, 500.0, 5.0, 10.0), 2, 500_000_000),
        ),
    ],
)
def test_reads_every_class(read, value, fields):
    assert read(value) == fields


@pytest.mark.parametrize(
    "read, wrong, message",
    [
        (
            kit_extension.read_limits,
            MitSetpoint(),
            "argument 'limits': 'MitSetpoint' object cannot be converted to 'MitLimits'",
        ),
        (
            kit_extension.read_setpoint,
            None,
            "argument 'setpoint': 'NoneType' object cannot be converted to 'MitSetpoint'",
        ),
        (
            kit_extension.read_control,
            MitSetpoint(),
            "argument 'setpoint': 'MitSetpoint' object cannot be converted to 'ControlSetpoint'",
        ),
        (kit_extension.read_motor, MitLimits(), "argument 'motor': 'MitLimits' object cannot be converted to 'Damiao'"),
    ],
)
def test_refuses_other_objects(read, wrong, message):
    with pytest.raises(TypeError) as raised:
        read(wrong)
    assert str(raised.value) == message


def run_child(code):
    child = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, f"exit {child.returncode}\n{child.stdout}{child.stderr}"
    return child.stdout


# A class whose instances have the name and size of the real one's, with object
# references where the real one has floats: what the kit must never write into.
LOOK_ALIKE = """
import sys, tervalin
real = {name: getattr(tervalin, name) for name in tervalin.__all__ if isinstance(getattr(tervalin, name), type)}
def look_alike(name):
    slots = (real[name].__basicsize__ - object.__basicsize__) // 8
    fake = type(name, (), {"__slots__": tuple(f"s{i}" for i in range(slots))})
    fake.__name__ = fake.__qualname__ = "tervalin." + name
    assert fake.__basicsize__ == real[name].__basicsize__
    return fake
"""

# Everything the kit reads or makes, on real values (which must work) and on
# look-alike instances (which must be refused).
USE_THE_KIT = """
import kit_extension
state = kit_extension.motor_state(1, 2, 3.0, 4.0, 5.0, 6, 7)
assert type(state) is real["MotorState"], type(state)
assert repr(state).startswith("MotorState(motor_id=1, error=2, position=3.0000"), repr(state)
del state
values = {"MitLimits": real["MitLimits"](), "MitSetpoint": real["MitSetpoint"](),
          "ControlSetpoint": real["ControlSetpoint"].vel(1.0), "Damiao": real["Damiao"](1, 2)}
readers = {"MitLimits": kit_extension.read_limits, "MitSetpoint": kit_extension.read_setpoint,
           "ControlSetpoint": kit_extension.read_control, "Damiao": kit_extension.read_motor}
for name, read in readers.items():
    read(values[name])
    try:
        read(look_alike(name)())
    except TypeError:
        pass
    else:
        raise AssertionError(name + " look-alike was read")
print("ok")
"""


@pytest.mark.parametrize("name", ["MitLimits", "MitSetpoint", "ControlSetpoint", "MotorState", "Damiao"])
@pytest.mark.parametrize("when", ["before import", "after import"])
def test_a_replaced_class_attribute_is_never_used(name, when):
    """A look-alike class put in the module's attribute got float bits written into its object references."""
    replace = f"tervalin.{name} = look_alike({name!r})\n"
    if when == "before import":
        code = LOOK_ALIKE + replace + USE_THE_KIT
    else:
        code = LOOK_ALIKE + "import kit_extension\n" + replace + USE_THE_KIT
    assert run_child(code).split() == ["ok"]


def test_a_fake_tervalin_module_is_refused():
    """A module put in sys.modules['tervalin'], holding look-alike classes, was taken for tervalin."""
    out = run_child(
        LOOK_ALIKE
        + """
import types
fake = types.ModuleType("tervalin")
for name in real:
    setattr(fake, name, look_alike(name))
sys.modules["tervalin"] = fake
try:
    import kit_extension
except ImportError as error:
    print(error)
"""
    )
    assert out.rstrip() == (
        "the imported 'tervalin' is not the tervalin extension module (it publishes no layout "
        f"version); this extension was built for tervalin layout version {LAYOUT_VERSION}"
    )


def test_a_fake_tervalin_module_after_import_changes_nothing():
    """Once bound, the kit keeps the module's own classes whatever sys.modules holds."""
    code = (
        LOOK_ALIKE
        + """
import types, kit_extension
fake = types.ModuleType("tervalin")
for name in real:
    setattr(fake, name, look_alike(name))
sys.modules["tervalin"] = tervalin = fake
"""
        + USE_THE_KIT
    )
    assert run_child(code).split() == ["ok"]


LAYOUT_VERSION = 2


class Collector(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records = []

    def emit(self, record):
        self.records.append(record)


@pytest.fixture
def collect():
    """A handler on a fresh logger per test, so that cached levels do not leak between tests."""
    handlers = []

    def attach(target, level):
        collector = Collector()
        logger = logging.getLogger(target.replace("::", "."))
        logger.setLevel(level)
        logger.propagate = False
        logger.addHandler(collector)
        handlers.append((logger, collector))
        return collector

    yield attach
    for logger, collector in handlers:
        logger.removeHandler(collector)


def test_native_threads_log_into_a_python_handler(collect):
    """Records from the extension's own threads, without the interpreter lock, all reach the handler once."""
    collector = collect("kit::threads", logging.DEBUG)
    kit_extension.log_from_threads(4, 250, "kit::threads", 3)
    assert len(collector.records) == 1000
    assert {(r.name, r.levelno, r.pathname, r.lineno) for r in collector.records} == {("kit.threads", 20, None, 0)}
    # Each attached thread keeps its name, and its records their order.
    per_thread = {}
    for record in collector.records:
        thread, index = record.getMessage().split(":")
        per_thread.setdefault((thread, record.threadName, record.thread), []).append(int(index))
    assert sorted(key[:2] for key in per_thread) == [(str(t), f"worker-{t}") for t in range(4)]
    assert list(per_thread.values()) == [list(range(250))] * 4


@pytest.mark.parametrize(
    "logger_level, record_level, forwarded",
    [
        (logging.DEBUG, 4, True),
        (logging.WARNING, 3, False),
        (logging.WARNING, 2, True),
        (logging.CRITICAL, 1, False),
        (1, 5, False),  # trace records never reach Python
    ],
)
def test_levels_are_filtered_as_for_tervalins_own_records(collect, logger_level, record_level, forwarded):
    target = f"kit::levels::l{logger_level}r{record_level}"
    collector = collect(target, logger_level)
    for _ in range(3):
        assert kit_extension.log(record_level, target, "m") == 0
    kit_extension.log_from_threads(2, 5, target, record_level)
    assert len(collector.records) == (13 if forwarded else 0)
    assert kit_extension.enabled(record_level, target) is forwarded


def test_record_fields(collect):
    collector = collect("kit::fields", logging.DEBUG)
    kit_extension.log(1, "kit::fields", "with site", "motor.cpp", 77)
    kit_extension.log_number("kit::fields", 42)
    first, second = collector.records
    assert (first.name, first.levelno, first.getMessage(), first.pathname, first.lineno) == (
        "kit.fields",
        40,
        "with site",
        "motor.cpp",
        77,
    )
    assert (second.levelno, second.getMessage()) == (20, "number 42")
    assert second.pathname.endswith("kit_extension.cpp") and second.lineno > 0


def configure(tmp_path, path):
    """Configures a copy of the example outside the repository, with `path` as PATH and no prefix hint."""
    source = tmp_path / "source"
    shutil.copytree(pathlib.Path(__file__).resolve().parents[2] / "examples" / "kit_extension", source)
    tools = os.pathsep.join([os.path.dirname(sys.executable), os.environ["PATH"]])
    cmake = shutil.which("cmake", path=tools)
    # Ninja where there is one: a system with a compiler need not have make.
    ninja = shutil.which("ninja", path=tools)
    generator = ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}"] if ninja else []
    environment = {k: v for k, v in os.environ.items() if k not in ("CMAKE_PREFIX_PATH", "tervalin_DIR")}
    environment["PATH"] = path
    return subprocess.run(
        [cmake, "-S", source, "-B", tmp_path / "build", *generator, f"-DPython_EXECUTABLE={sys.executable}"],
        capture_output=True,
        text=True,
        env=environment,
        timeout=300,
    )


@pytest.mark.skipif(sys.prefix == sys.base_prefix, reason="needs the virtual environment tervalin is installed in")
def test_find_package_through_the_activated_environment(tmp_path):
    """find_package(tervalin CONFIG) found the kit only with CMAKE_PREFIX_PATH set by hand."""
    activated = configure(
        tmp_path / "activated", os.pathsep.join([os.path.join(sys.prefix, "bin"), "/usr/bin", "/bin"])
    )
    assert activated.returncode == 0, activated.stdout + activated.stderr
    # Without the environment's bin on PATH nothing points CMake there: the README's hint is needed.
    plain = configure(tmp_path / "plain", "/usr/bin:/bin")
    assert plain.returncode != 0 and "tervalinConfig.cmake" in plain.stderr, plain.stdout + plain.stderr


@pytest.mark.parametrize("attach", [False, True])
@pytest.mark.parametrize("run", range(5))
def test_native_threads_logging_through_the_exit(run, attach):
    """Native threads still logging while the interpreter finalises must not take the process down."""
    out = run_child(f"""
        import logging, time, kit_extension
        logging.basicConfig(level=logging.INFO, handlers=[logging.NullHandler()])
        kit_extension.log_until_exit(2, "kit::exit", {attach})
        time.sleep(0.05)
        print("exiting")
    """)
    assert out.split() == ["exiting"]


def test_a_panicking_handler_is_an_outcome_not_an_exception():
    """A PanicException raised by a handler must not cross into the other extension as a C++ exception."""
    out = run_child("""
        import logging, tervalin, kit_extension
        try:
            tervalin.MitLimits("not a number")
        except TypeError:
            pass
        (panic,) = [c for c in BaseException.__subclasses__()
                    if c.__module__ == "pyo3_runtime" and c.__name__ == "PanicException"]
        class Panicking(logging.Handler):
            def emit(self, record):
                raise panic("handler panicked")
        logger = logging.getLogger("kit.panic")
        logger.addHandler(Panicking())
        logger.setLevel(logging.INFO)
        logger.propagate = False
        print(kit_extension.log(3, "kit::panic", "first"))
        logger.handlers[:] = [logging.NullHandler()]
        print(kit_extension.log(3, "kit::panic", "second"))
    """)
    assert out.split() == ["1", "0"]
