"""The command line `tervalin-dm`, run as a user runs it: a process, against simulated motors or a virtual bus."""

import argparse
import importlib.metadata
import io
import json
import os
import re
import shlex
import shutil
import struct
import subprocess
import sys
import sysconfig
import uuid
from pathlib import Path

import pytest

import tervalin_dm
from tervalin_dm import Register, Status
from tervalin_dm.cli import id_ranges, main, number_text, parse_value

# Generous: a loaded machine; the simulated motors answer within a millisecond.
SLOW = ["--timeout", "200"]


def run(*argv, env=None, cwd=None, stdin=subprocess.DEVNULL):
    """Runs `tervalin-dm argv` (through the interpreter, so that the test needs no installed script)."""
    return subprocess.run(
        [sys.executable, "-m", "tervalin_dm.cli", *argv],
        capture_output=True,
        text=True,
        timeout=120,
        env=env,
        cwd=cwd,
        stdin=stdin,
    )


# (command line, exit status, fragments (or patterns) of stdout, fragments of stderr)
COMMANDS = [
    (
        ["--simulate", "2", "scan", "--ids", "1-4"],
        0,
        ["motor", "master", "0x1", "0x11", "0x2", "0x12", "MIT"],
        ["found motor 0x1 (master 0x11)", "found motor 0x2 (master 0x12)"],
    ),
    (["--simulate", "1", "scan", "--ids", "5,6"], 1, [], ["no motor answered"]),
    (["scan", "--simulate", "1", "--ids", "0x1-0x2"], 0, ["0x1", "0x11"], []),  # common options after the command
    (
        ["--simulate", "1", "info", "1"],
        0,
        ["register", "unit", "meaning", "PMAX", "21", "12.5", "MST_ID", "0x11", "CTRL_MODE", "1 (MIT)", "XOUT", "81"],
        [],
    ),
    (["--simulate", "1", "get", "1", "pmax"], 0, ["PMAX (21) = 12.5"], []),
    (["--simulate", "1", "get", "1", "21"], 0, ["PMAX (21) = 12.5"], []),
    (["--simulate", "1", "get", "1", "0x15"], 0, ["PMAX (21) = 12.5"], []),
    (["--simulate", "1", "get", "1", "UV_Value"], 0, ["UV_VALUE (0) = "], []),
    (["--simulate", "2", "get", "2", "MST_ID"], 0, ["MST_ID (7) = 0x12"], []),
    (["--simulate", "1", "--master", "0x11", "get", "1", "ESC_ID"], 0, ["ESC_ID (8) = 0x1"], []),
    (["--simulate", "1", "--master", "0x12", "get", "1", "ESC_ID"], 1, [], ["no reply", "master_id=0x12"]),
    (["--simulate", "2", "get", "3", "PMAX"], 1, [], ["motor 0x3 did not answer"]),
    (["--simulate", "1", "get", "1", "NOPE"], 2, [], ["NOPE"]),
    (["--simulate", "1", "set", "1", "TIMEOUT", "1000"], 0, ["TIMEOUT (9) = 1000", "save 0x1"], []),
    (["--simulate", "1", "set", "1", "PMAX", "12.566"], 0, ["PMAX (21) = 12.566"], []),
    (["--simulate", "1", "set", "1", "CTRL_MODE", "vel"], 0, ["CTRL_MODE (10) = 3 (VEL)"], []),
    (["--simulate", "1", "set", "1", "MST_ID", "0x21", "--yes"], 0, ["MST_ID (7) = 0x21"], []),
    (["--simulate", "1", "set", "1", "ESC_ID", "9", "--yes"], 0, ["ESC_ID (8) = 0x9", "save 0x9"], []),
    # Changes of ids and of the bus rate and saves are asked for; with no terminal to ask on, refused.
    (["--simulate", "1", "set", "1", "MST_ID", "0x21"], 2, [], ["--yes"]),
    (["--simulate", "1", "set", "1", "ESC_ID", "2"], 2, [], ["--yes"]),
    (["--simulate", "1", "set", "1", "CAN_BR", "4"], 2, [], ["--yes"]),
    (["--simulate", "1", "save", "1"], 2, [], ["--yes"]),
    (["--simulate", "1", "set", "1", "SW_VER", "3"], 2, [], ["read-only"]),
    (["--simulate", "1", "set", "1", "CTRL_MODE", "7"], 2, [], ["CTRL_MODE"]),
    (["--simulate", "1", "set", "1", "PMAX", "nan"], 2, [], ["PMAX"]),
    (["--simulate", "1", "set", "1", "PMAX", "x"], 2, [], ["PMAX takes a number"]),
    (["--simulate", "1", "set", "1", "TIMEOUT", "1.5"], 2, [], ["TIMEOUT takes an integer"]),
    (["--simulate", "1", "set", "1", "MST_ID", "0x800", "--yes"], 2, [], ["MST_ID"]),
    (["--simulate", "1", "save", "1", "--yes"], 0, ["motor 0x1: every register saved"], []),
    (["--simulate", "1", "zero", "1"], 0, [re.compile(r"motor 0x1: DISABLED\b.*, position -?0\.000\d rad")], []),
    (["--simulate", "1", "enable", "1"], 0, ["motor 0x1: ENABLED"], []),
    (["--simulate", "1", "disable", "1"], 0, ["motor 0x1: DISABLED"], []),
    (["--simulate", "1", "mode", "1", "pos_vel"], 0, ["motor 0x1: control mode POS_VEL"], []),
    (["--simulate", "1", "mode", "1", "FORCE_POS"], 0, ["control mode FORCE_POS"], []),
    (["--simulate", "1", "mode", "1", "TURBO"], 2, [], ["invalid choice"]),
    (["--simulate", "1", "enable", "0x800"], 2, [], ["0x800"]),
    (["--simulate", "1", "enable", "one"], 2, [], ["not a motor id"]),
    (["--simulate", "16", "scan"], 2, [], ["from 1 to 15"]),
    (["--simulate", "1", "scan", "--ids", "5-1"], 2, [], ["empty range"]),
    (["--simulate", "1", "scan", "--timeout", "0"], 2, [], ["above 0"]),
    (["--simulate", "1", "monitor"], 2, [], ["MOTOR"]),
    (["--simulate", "1", "monitor", "1"], 2, [], ["needs a terminal"]),  # the table is drawn on a terminal only
    ([], 2, [], ["COMMAND"]),
]


@pytest.mark.parametrize(("argv", "status", "out", "err"), COMMANDS, ids=[" ".join(c[0]) or "none" for c in COMMANDS])
def test_command_lines(argv, status, out, err):
    result = run(*argv, *SLOW)
    assert result.returncode == status, result.stderr
    for fragment in out:
        assert fragment.search(result.stdout) if isinstance(fragment, re.Pattern) else fragment in result.stdout
    for fragment in err:
        assert fragment in result.stderr
    assert "Traceback" not in result.stderr


@pytest.mark.parametrize(
    "argv",
    [
        ["set", "1", "ESC_ID", "9", "--yes"],  # the bus retires the handle, with a warning for programs
        ["set", "1", "MST_ID", "0x21", "--yes"],
        ["enable", "1"],
    ],
)
def test_a_command_that_worked_prints_nothing_on_stderr(argv):
    result = run("--simulate", "1", *argv, *SLOW)
    assert result.returncode == 0
    assert result.stderr == ""


def test_verbose_shows_the_library_log():
    result = run("--simulate", "1", "-vv", "set", "1", "ESC_ID", "9", "--yes", *SLOW)
    assert result.returncode == 0
    assert "tervalin_dm.bus WARNING" in result.stderr and "tervalin_dm.bus DEBUG" in result.stderr


@pytest.mark.parametrize(
    ("argv", "check"),
    [
        (
            ["--simulate", "3", "scan", "--ids", "1-5", "--json"],
            lambda data: (
                [(m["motor_id"], m["master_id"], m["control_mode"]) for m in data]
                == [(1, 0x11, "MIT"), (2, 0x12, "MIT"), (3, 0x13, "MIT")]
            ),
        ),
        (
            ["--simulate", "1", "info", "1", "--json"],
            lambda data: (
                [r["number"] for r in data] == [int(r) for r in Register]
                and {r["register"]: r["value"] for r in data}["PMAX"] == 12.5
                and {r["register"]: r["value"] for r in data}["MST_ID"] == 0x11
            ),
        ),
        (
            ["--simulate", "1", "get", "1", "vmax", "--json"],
            lambda data: (data["register"], data["number"], data["value"]) == ("VMAX", 22, 30),
        ),
    ],
    ids=["scan", "info", "get"],
)
def test_json_output(argv, check):
    result = run(*argv, *SLOW)
    assert result.returncode == 0, result.stderr
    assert check(json.loads(result.stdout))


COMMAND_NAMES = ["scan", "info", "get", "set", "save", "zero", "enable", "disable", "mode", "monitor"]


@pytest.mark.parametrize("command", COMMAND_NAMES)
def test_every_command_has_help_with_examples(command):
    result = run(command, "--help")
    assert result.returncode == 0
    assert "examples:" in result.stdout
    assert f"tervalin-dm {command}" in result.stdout or f"--simulate 2 {command}" in result.stdout


def test_main_help_lists_every_command():
    result = run("--help")
    assert result.returncode == 0
    for command in COMMAND_NAMES:
        assert command in result.stdout


def test_without_python_can_it_names_the_extra():
    code = (
        "import sys; sys.modules['can'] = None\n"
        "from tervalin_dm.cli import main\n"
        "sys.exit(main(['--simulate', '1', 'scan']))"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert result.returncode == 2
    assert "pip install 'tervalin[can]'" in result.stderr


def bare_environment(tmp_path):
    """An environment where python-can finds no configuration but what a test writes into `tmp_path`."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("CAN_")}
    env["HOME"] = str(tmp_path)
    env["XDG_CONFIG_HOME"] = str(tmp_path)
    return env


@pytest.mark.parametrize(
    ("how", "status", "err"),
    [
        # No interface anywhere: python-can cannot open a bus.
        ("nothing", 1, "cannot open the CAN bus"),
        # A virtual bus with no motor, named on the command line, in the environment or in ~/can.conf: it opens,
        # and the scan finds nothing there.
        ("options", 1, "no motor answered"),
        ("environment", 1, "no motor answered"),
        ("config file", 1, "no motor answered"),
    ],
)
def test_the_bus_comes_from_options_environment_or_configuration(tmp_path, how, status, err):
    env = bare_environment(tmp_path)
    channel = f"test-cli-{uuid.uuid4()}"
    argv = ["scan", "--ids", "1", "--timeout", "5"]
    if how == "options":
        argv = ["-i", "virtual", "-c", channel, *argv]
    elif how == "environment":
        env.update(CAN_INTERFACE="virtual", CAN_CHANNEL=channel)
    elif how == "config file":
        (tmp_path / "can.conf").write_text(f"[default]\ninterface = virtual\nchannel = {channel}\n")
    result = run(*argv, env=env, cwd=tmp_path)
    assert result.returncode == status, result.stderr
    assert err in result.stderr
    assert "Traceback" not in result.stderr


def test_the_console_script_is_installed():
    (entry,) = [e for e in importlib.metadata.entry_points(group="console_scripts") if e.name == "tervalin-dm"]
    assert entry.value == "tervalin_dm.cli:main"
    # An installer makes the script beside the interpreter; pip --target (the emulated platform cells) writes
    # one for the interpreter that ran pip, which cannot run there.
    installed_in = Path(tervalin_dm.__file__).resolve().parents[1]
    if installed_in not in {Path(sysconfig.get_path(p)).resolve() for p in ("purelib", "platlib")}:
        pytest.skip("tervalin_dm was installed into a --target directory")
    script = Path(sys.executable).with_name("tervalin-dm")
    if not script.exists():
        script = shutil.which("tervalin-dm")
    assert script is not None and Path(script).exists()
    result = subprocess.run(
        [str(script), "--simulate", "1", "get", "1", "TMAX", *SLOW], capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stderr
    assert "TMAX (23) = 10" in result.stdout


# --- Texts and values, in process ---


def single(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


@pytest.mark.parametrize(
    ("value", "text"),
    [
        (single(0.1), "0.1"),
        (single(12.566), "12.566"),
        (12.5, "12.5"),
        (single(3.14159265), "3.1415927"),
        (0.0, "0"),
        (-0.0, "-0"),
        (30.0, "30"),  # not 3e+01
        (single(0.000123), "0.000123"),
        (single(1e20), "1e+20"),
        (-2.5, "-2.5"),
        (single(1e-7), "1e-07"),
        (3, "3"),
        (float("inf"), "inf"),
        (single(16777217.0), "16777216"),
    ],
)
def test_number_text_is_the_shortest_that_reads_back_as_the_single(value, text):
    assert number_text(value) == text
    assert single(float(text)) == value


@pytest.mark.parametrize(
    ("text", "ids"),
    [
        ("1-4", [1, 2, 3, 4]),
        ("5", [5]),
        ("0x10-0x12,0x30", [0x10, 0x11, 0x12, 0x30]),
        ("1, 3-4", [1, 3, 4]),
        ("0x7ff", [0x7FF]),
    ],
)
def test_id_ranges(text, ids):
    assert id_ranges(text) == ids


@pytest.mark.parametrize("text", ["4-1", "0x800", "x", "1-", "-3", ""])
def test_id_ranges_refused(text):
    with pytest.raises(argparse.ArgumentTypeError):
        id_ranges(text)


@pytest.mark.parametrize(
    ("register", "text", "value"),
    [
        (Register.CTRL_MODE, "pos_vel", 2),
        (Register.CTRL_MODE, "4", 4),
        (Register.MST_ID, "0x11", 0x11),
        (Register.TIMEOUT, "1000", 1000),
        (Register.PMAX, "12.5", 12.5),
        (Register.PMAX, "3", 3.0),
    ],
)
def test_parse_value(register, text, value):
    parsed = parse_value(register, text)
    assert parsed == value and type(parsed) is register.type


class Terminal(io.StringIO):
    """A standard input that is a terminal, with the lines a person types."""

    def isatty(self):
        return True


@pytest.mark.parametrize(
    ("argv", "typed", "status", "out", "err"),
    [
        (["set", "1", "MST_ID", "0x21"], "n\n", 2, "", "not done"),
        (["set", "1", "MST_ID", "0x21"], "\n", 2, "", "not done"),  # the default is no
        (["set", "1", "MST_ID", "0x21"], "", 2, "", "not done"),  # end of input
        (["set", "1", "MST_ID", "0x21"], "y\n", 0, "MST_ID (7) = 0x21", "?"),
        (["save", "1"], "yes\n", 0, "every register saved", "flash?"),
        (["set", "1", "TIMEOUT", "5"], "", 0, "TIMEOUT (9) = 5", ""),  # not asked for
    ],
)
def test_a_change_is_asked_for_on_a_terminal(monkeypatch, capsys, argv, typed, status, out, err):
    monkeypatch.setattr(sys, "stdin", Terminal(typed))
    assert main(["--simulate", "1", *argv, *SLOW]) == status
    captured = capsys.readouterr()
    assert out in captured.out
    assert err in captured.err + captured.out


# --- The setting-up guide: its commands run, and print what it shows ---

GUIDES = [Path(__file__).parents[2] / "docs" / "setting-up.md", Path(__file__).parents[2] / "README.md"]


def guide_commands():
    """(command line, the output shown) of every `$ tervalin-dm ...` in the console blocks of the guide and README."""
    for guide in GUIDES:
        for block in re.findall(r"^```console\n(.*?)^```", guide.read_text(), re.M | re.S):
            for chunk in re.split(r"^\$ ", block, flags=re.M)[1:]:
                command, _, output = chunk.partition("\n")
                yield command, output


GUIDE_COMMANDS = list(guide_commands())


def test_the_guide_shows_commands():
    assert len(GUIDE_COMMANDS) >= 8
    assert all(command.startswith("tervalin-dm --simulate ") for command, _ in GUIDE_COMMANDS)


@pytest.mark.parametrize(("command", "output"), GUIDE_COMMANDS, ids=[c for c, _ in GUIDE_COMMANDS])
def test_the_guide_shows_what_its_commands_print(command, output):
    # A longer timeout than the guide's for a loaded machine: it changes how long a command may take, not its output.
    result = run(*shlex.split(command)[1:], "--timeout", "100")
    assert result.returncode == 0, result.stderr
    assert result.stdout == output


# --- Motors that misbehave: the simulated motors of --simulate made so for one run, in process ---


def misbehaving(**state):
    """A SimulatedMotor class whose motors start with `state` set (a fault, enabled, silent)."""
    from tervalin_dm.sim import SimulatedMotor

    class Misbehaving(SimulatedMotor):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            for name, value in state.items():
                setattr(self, name, value)

    return Misbehaving


@pytest.mark.parametrize(
    ("state", "argv", "status", "err", "out"),
    [
        # A motor that reports a fault: the command ran, the motor did not do it.
        ({"fault": Status.OVER_CURRENT}, ["enable", "1"], 1, "", "OVER_CURRENT"),
        ({"fault": Status.OVERLOAD}, ["zero", "1"], 1, "", "OVERLOAD"),
        ({"fault": Status.OVERLOAD}, ["get", "1", "PMAX"], 0, "", "PMAX (21) = 12.5"),
        # An enabled motor ignores a save: not reported as saved.
        ({"enabled": True}, ["save", "1", "--yes"], 1, "did not confirm the save", ""),
        ({"silent": True}, ["info", "1", "--master", "0x11"], 1, "stopped answering", ""),
        ({"silent": True}, ["disable", "1"], 1, "did not answer", ""),
    ],
)
def test_a_motor_that_does_not_do_it_fails_the_command(monkeypatch, capsys, state, argv, status, err, out):
    monkeypatch.setattr("tervalin_dm.sim.SimulatedMotor", misbehaving(**state))
    assert main(["--simulate", "1", *argv, *SLOW]) == status
    captured = capsys.readouterr()
    assert err in captured.err
    assert out in captured.out
