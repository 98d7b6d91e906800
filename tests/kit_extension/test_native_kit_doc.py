"""The two examples of docs/native-kit.md, built from the document's code blocks alone with the installed kit."""

import os
import pathlib
import re
import shutil
import subprocess
import sys
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
DOC = (ROOT / "docs" / "native-kit.md").read_text()

# A file's block follows a line holding its path in bold; the output a script
# prints follows it in a "text" block after a line that begins "Prints".
FILE = re.compile(r"^\*\*([\w./-]+)\*\*\n\n```\w+\n(.*?)^```\n", re.MULTILINE | re.DOTALL)
PRINTS = re.compile(
    r"^\*\*(try_\w+\.py)\*\*\n\n```python\n.*?^```\n\nPrints[^\n]*\n\n```text\n(.*?)^```\n", re.MULTILINE | re.DOTALL
)

FILES = dict(FILE.findall(DOC))
OUTPUTS = dict(PRINTS.findall(DOC))
EXTENSIONS = sorted({path.split("/")[0] for path in FILES if "/" in path})


def test_the_document_holds_both_complete_examples():
    """A file dropped from the document (or renamed) would leave its section uncompilable as written."""
    assert EXTENSIONS == ["motor_feedback", "motor_log"]
    for name in EXTENSIONS:
        assert {f"{name}/CMakeLists.txt", f"{name}/{name}.cpp", f"{name}/pyproject.toml"} <= FILES.keys(), name
        assert f"try_{name}.py" in OUTPUTS, name


def tools():
    return os.pathsep.join([os.path.dirname(sys.executable), os.environ["PATH"]])


def run(command, **options):
    child = subprocess.run([str(c) for c in command], capture_output=True, text=True, timeout=600, **options)
    assert child.returncode == 0, child.stdout + child.stderr
    return child


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    """One CMake build of both extensions: a top level that only adds the document's two directories."""
    if sys.prefix == sys.base_prefix:
        pytest.skip("needs the virtual environment tervalin is installed in")
    source = tmp_path_factory.mktemp("doc")
    for path, text in FILES.items():
        (source / path).parent.mkdir(parents=True, exist_ok=True)
        (source / path).write_text(text)
    (source / "CMakeLists.txt").write_text(
        "cmake_minimum_required(VERSION 3.26)\nproject(doc_examples NONE)\n"
        + "".join(f"add_subdirectory({name})\n" for name in EXTENSIONS)
    )
    cmake = shutil.which("cmake", path=tools())
    ninja = shutil.which("ninja", path=tools())
    generator = ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}"] if ninja else []
    # As in an activated environment: the environment's bin on PATH, no prefix hint.
    environment = {k: v for k, v in os.environ.items() if k not in ("CMAKE_PREFIX_PATH", "tervalin_DIR")}
    environment["PATH"] = tools()
    build = source / "build"
    run([cmake, "-S", source, "-B", build, *generator, f"-DPython_EXECUTABLE={sys.executable}"], env=environment)
    run([cmake, "--build", build], env=environment)
    return source, build


@pytest.mark.parametrize("name", ["motor_feedback", "motor_log"])
def test_example_prints_what_the_document_says(built, name):
    source, build = built
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(str(build / n) for n in EXTENSIONS))
    child = run([sys.executable, source / f"try_{name}.py"], env=environment, cwd=source)
    # Python's own output goes to standard output, logging's to standard error.
    assert child.stdout + child.stderr == OUTPUTS[f"try_{name}.py"]


def test_pyproject_builds_a_wheel(built, tmp_path):
    """The document's pip route: its pyproject.toml, without build isolation, against the installed kit."""
    source, _ = built
    environment = {k: v for k, v in os.environ.items() if k not in ("CMAKE_PREFIX_PATH", "tervalin_DIR")}
    environment["PATH"] = tools()
    run(
        [
            sys.executable,
            "-m",
            "pip",
            "wheel",
            "--no-build-isolation",
            "--no-deps",
            "--wheel-dir",
            tmp_path,
            source / "motor_log",
        ],
        env=environment,
    )
    (wheel,) = tmp_path.glob("motor_log-0.1.0-*.whl")
    with zipfile.ZipFile(wheel) as archive:
        modules = [name for name in archive.namelist() if name.endswith(".so")]
    assert len(modules) == 1 and modules[0].startswith(f"motor_log.cpython-{sys.version_info.major}"), modules
