"""The sdist builds a wheel that installs the extension and its stub into a fresh environment."""

import importlib.util
import pathlib
import subprocess
import sys
import tarfile
import venv

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]

pytestmark = pytest.mark.skipif(
    importlib.util.find_spec("_tervalin_native") is not None,
    reason="packaging is checked once, from the regular interpreter",
)


def run(*args, cwd=ROOT):
    child = subprocess.run([str(a) for a in args], capture_output=True, text=True, cwd=cwd, timeout=1200)
    assert child.returncode == 0, child.stdout + child.stderr
    return child.stdout


def test_sdist_wheel_and_fresh_install(tmp_path):
    run(sys.executable, "-m", "build", "--sdist", "--outdir", tmp_path, ROOT)
    (sdist,) = tmp_path.glob("tervalin-1.1.0.tar.gz")
    with tarfile.open(sdist) as archive:
        names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
    for needed in ("pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE", "stubs/tervalin.pyi",
                   "include/tervalin/producer.hpp", "include/tervalin/dm_codec.hpp", "cmake/tervalinConfig.cmake",
                   "include/tervalin/log.hpp", "src/python/module.cpp", "src/binding/boundary.hpp",
                   "src/repr/number_forms.cpp", "src/logbridge/bridge_logger.cpp"):
        assert needed in names, needed

    # The wheel is built from the sdist alone, which proves the sdist complete.
    run(sys.executable, "-m", "pip", "wheel", "--no-deps", "--wheel-dir", tmp_path / "wheels", sdist)
    (wheel,) = (tmp_path / "wheels").glob("tervalin-1.1.0-cp313-cp313-*.whl")

    env = tmp_path / "env"
    venv.create(env, with_pip=True)
    python = env / "bin" / "python"
    run(python, "-m", "pip", "install", "--no-deps", "--no-index", wheel)
    listing = run(python, "-c", """
import importlib.metadata, tervalin
print(tervalin.__version__, tervalin.__file__)
for file in importlib.metadata.files("tervalin"):
    print(file)
""", cwd=tmp_path).split()
    assert listing[0] == "1.1.0" and listing[1].startswith(str(env))
    files = set(listing[2:])
    assert "tervalin.pyi" in files and "tervalin-stubs/__init__.pyi" in files
    # The producer kit for separately built extensions, found by find_package(tervalin CONFIG).
    kit = {f for f in files if f.startswith("tervalin-dev/")}
    assert kit == {"tervalin-dev/cmake/tervalinConfig.cmake", "tervalin-dev/cmake/tervalinConfigVersion.cmake",
                   *(f"tervalin-dev/include/tervalin/{h}.hpp" for h in ("records", "instance", "producer", "dm_codec"))}
    assert any(f.startswith("tervalin.cpython-313-") and f.endswith(".so") for f in files)
    metadata = run(python, "-c", "import importlib.metadata as m; d = m.metadata('tervalin'); "
                                 "print(d['Summary']); print(d['Requires-Python']); print(d['License'])")
    summary, requires, license_text = metadata.splitlines()
    assert summary.startswith("Value types for commanding Damiao DM-series servo motors")
    assert requires == "<3.14,>=3.13" or requires == ">=3.13,<3.14"
    assert license_text == "MIT"
