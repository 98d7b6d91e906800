"""The type stub: generated from the module's type descriptions and true to the runtime."""

import ast
import importlib.util
import os
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
STUB = ROOT / "stubs" / "tervalin.pyi"
EMBEDDED = importlib.util.find_spec("_tervalin_native") is not None


def test_committed_stub_is_what_the_descriptions_generate():
    generator = os.environ.get("TERVALIN_STUBGEN")
    if not generator:
        pytest.skip("TERVALIN_STUBGEN names the stub generator (tools/test sets it)")
    generated = subprocess.run([generator], capture_output=True, text=True, check=True).stdout
    assert generated == STUB.read_text(), "regenerate stubs/tervalin.pyi with tervalin_stubgen"


def members(tree):
    return {node.name: node for node in tree.body if isinstance(node, (ast.ClassDef, ast.FunctionDef))}


def test_stub_declares_the_interface():
    tree = ast.parse(STUB.read_text())
    declared = members(tree)
    assert list(declared) == ["MitLimits", "MitSetpoint", "ControlSetpoint", "MotorState", "Damiao", "mit_setpoint"]
    methods = {name: [n.name for n in node.body if isinstance(n, ast.FunctionDef)]
               for name, node in declared.items() if isinstance(node, ast.ClassDef)}
    assert methods["ControlSetpoint"] == ["__new__", "mode", "__repr__", "mit", "pos_vel", "vel", "force_pos"]
    # The classes without a constructor declare a __new__ that no call satisfies.
    for name in ("MotorState", "ControlSetpoint"):
        uncallable = next(n for n in declared[name].body if isinstance(n, ast.FunctionDef) and n.name == "__new__")
        assert [ast.unparse(a.annotation) for a in uncallable.args.posonlyargs[1:]] == ["typing.Never"]
        assert not (uncallable.args.args or uncallable.args.kwonlyargs or uncallable.args.vararg
                    or uncallable.args.kwarg or uncallable.args.defaults)
    new = next(n for n in declared["Damiao"].body if isinstance(n, ast.FunctionDef) and n.name == "__new__")
    annotations = {a.arg: ast.unparse(a.annotation) for a in new.args.args[1:]}
    assert annotations == {"motor_id": "int", "master_id": "int", "limits": "typing.Optional[MitLimits]",
                           "timeout_ms": "int"}
    # Both defaults are hidden behind "...".
    assert [ast.unparse(d) for d in new.args.defaults] == ["...", "..."]


needs_installed = pytest.mark.skipif(
    EMBEDDED, reason="checked once, against the installed module, from the regular interpreter")


def run_tool(*args):
    child = subprocess.run([sys.executable, *args], capture_output=True, text=True, cwd=ROOT, timeout=600)
    assert child.returncode == 0, child.stdout + child.stderr
    return child.stdout


@needs_installed
def test_stubtest_finds_no_difference():
    # No allowlist: every difference between the stub and the runtime fails.
    assert "Success" in run_tool("-m", "mypy.stubtest", "tervalin")


@needs_installed
def test_examples_type_check_strictly():
    assert "Success" in run_tool("-m", "mypy", "--strict", "examples")


# Each line marked "rejected" must be flagged, and no other line.
TYPED_USE = """\
from tervalin import ControlSetpoint, Damiao, MitLimits, MitSetpoint, MotorState, mit_setpoint

MotorState()  # rejected
ControlSetpoint()  # rejected
ControlSetpoint(ControlSetpoint.vel(1.0))  # rejected
MotorState(motor_id=1)  # rejected
ControlSetpoint.vel(-1.5)
ControlSetpoint.mit(mit_setpoint(q=1.0))
Damiao(1, 0x11, limits=MitLimits.dm4310(), timeout_ms=50)
Damiao(1, 0x11, None)
Damiao(1, 0x11, timeout_ms=None)  # rejected
MitSetpoint(q="1")  # rejected
print(ControlSetpoint.vel(1.0).mode + 1, MitLimits().kd_max * 2.0)
"""

CHECKERS = {
    "mypy": ["-m", "mypy", "--strict", "--no-incremental"],
    "pyright": ["-m", "pyright", "--pythonpath", sys.executable],
}


@needs_installed
@pytest.mark.parametrize("checker", CHECKERS)
def test_type_checkers_flag_exactly_the_misuse(tmp_path, checker):
    source = tmp_path / "use.py"
    source.write_text(TYPED_USE)
    child = subprocess.run([sys.executable, *CHECKERS[checker], source.name], capture_output=True, text=True,
                           cwd=tmp_path, timeout=600, env={**os.environ, "PYRIGHT_PYTHON_IGNORE_WARNINGS": "1"})
    flagged = {int(line) for line in re.findall(r"use\.py:(\d+):\d*:? ?-? ?error", child.stdout)}
    expected = {n for n, line in enumerate(TYPED_USE.splitlines(), 1) if line.endswith("# rejected")}
    assert flagged == expected, child.stdout + child.stderr
    assert child.returncode == 1
