"""The type stub: generated from the module's type descriptions and true to the runtime."""

import ast
import importlib.util
import os
import pathlib
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
    assert "__new__" not in methods["MotorState"] and "__new__" not in methods["ControlSetpoint"]
    assert methods["ControlSetpoint"] == ["mode", "__repr__", "mit", "pos_vel", "vel", "force_pos"]
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
