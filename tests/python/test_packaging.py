"""The sdist builds a portable wheel that installs the extension and its stub into a fresh environment."""

import email.parser
import importlib.util
import pathlib
import platform
import re
import subprocess
import sys
import tarfile
import venv
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]

# The oldest glibc the wheel runs on: the manylinux2014 platform.
MANYLINUX = (2, 17)
# The interpreter running the tests, as wheel tags and module names spell it.
ABI = f"{sys.version_info.major}{sys.version_info.minor}"

pytestmark = pytest.mark.skipif(
    importlib.util.find_spec("_tervalin_native") is not None,
    reason="packaging is checked once, from the regular interpreter",
)


def run(*args, cwd=ROOT):
    child = subprocess.run([str(a) for a in args], capture_output=True, text=True, cwd=cwd, timeout=1200)
    assert child.returncode == 0, child.stdout + child.stderr
    return child.stdout


@pytest.fixture(scope="module")
def dist(tmp_path_factory):
    out = tmp_path_factory.mktemp("dist")
    run(sys.executable, "-m", "build", "--sdist", "--outdir", out, ROOT)
    (sdist,) = out.glob("tervalin-1.1.0.tar.gz")
    # The wheel is built from the sdist alone, which proves the sdist complete.
    run(sys.executable, "-m", "pip", "wheel", "--no-deps", "--wheel-dir", out / "wheels", sdist)
    (wheel,) = (out / "wheels").glob(f"tervalin-1.1.0-cp{ABI}-cp{ABI}-*.whl")
    return sdist, wheel


def test_sdist_carries_the_sources(dist):
    sdist, _ = dist
    with tarfile.open(sdist) as archive:
        names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
    for needed in ("pyproject.toml", "CMakeLists.txt", "README.md", "CHANGELOG.md", "LICENSE", "stubs/tervalin.pyi",
                   "include/tervalin/producer.hpp", "include/tervalin/dm_codec.hpp", "cmake/tervalinConfig.cmake",
                   "include/tervalin/log.hpp", "include/tervalin/log_table.hpp",
                   "include/tervalin/module_state.hpp", "src/python/module.cpp", "src/binding/boundary.hpp",
                   "src/repr/number_forms.cpp", "src/logbridge/bridge_logger.cpp",
                   "src/compat/single_threaded_flag.cpp", "src/compat/module_exports.map",
                   "src/tervalin_dm/_codec.cpp", "src/tervalin_dm/bus.py", "src/tervalin_dm/exports.map"):
        assert needed in names, needed


def test_wheel_installs_into_a_fresh_environment(dist, tmp_path):
    _, wheel = dist
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
    installed = {f for f in listing[2:] if ".dist-info/" not in f}
    # The stub ships once, as the stub package that every type checker finds.
    assert "tervalin-stubs/__init__.pyi" in installed and "tervalin.pyi" not in installed, installed
    assert any(f.startswith(f"tervalin.cpython-{ABI}-") and f.endswith(".so") for f in installed), installed
    # The package tervalin_dm beside the module, typed, with its one extension.
    dm = {f for f in installed if f.startswith("tervalin_dm/") and "__pycache__" not in f}
    assert {f for f in dm if not f.endswith(".so")} == {
        f"tervalin_dm/{name}" for name in ("__init__.py", "_status.py", "registers.py", "bus.py", "sim.py", "py.typed", "_codec.pyi",
                                         "scan.py", "cli.py", "_exchange.py", "_monitor.py")}
    assert [f for f in dm if f.endswith(".so")] == [f for f in dm if f.startswith(f"tervalin_dm/_codec.cpython-{ABI}-")]
    assert len(dm) == 12, dm
    # The kit for separately built extensions goes into the environment's
    # prefix, where find_package(tervalin CONFIG) looks for env/bin on PATH.
    site = pathlib.Path(listing[1]).parent
    kit = {(site / f).resolve().relative_to(env.resolve()).as_posix() for f in installed if "tervalin" in f
           and not f.startswith(("tervalin.", "tervalin-stubs/", "tervalin_dm/"))}
    # Beside it, the command line tervalin-dm, a console script in env/bin.
    assert "bin/tervalin-dm" in kit, kit
    kit.discard("bin/tervalin-dm")
    headers = ("records", "instance", "module_state", "log_table", "producer", "log", "dm_codec")
    assert kit == {"share/cmake/tervalin/tervalinConfig.cmake", "share/cmake/tervalin/tervalinConfigVersion.cmake",
                   *(f"include/tervalin/{h}.hpp" for h in headers)}, kit


def wheel_metadata(wheel):
    with zipfile.ZipFile(wheel) as archive:
        return email.parser.Parser().parsestr(archive.read("tervalin-1.1.0.dist-info/METADATA").decode())


@pytest.mark.parametrize(
    "field, expected",
    [
        ("Metadata-Version", ["2.4"]),
        ("Name", ["tervalin"]),
        ("License-Expression", ["MIT"]),
        ("License-File", ["LICENSE"]),
        ("Author", ["the tervalin developers"]),
        ("Requires-Python", [">=3.13"]),
        ("License", None),  # superseded by License-Expression
    ],
)
def test_metadata_field(dist, field, expected):
    assert wheel_metadata(dist[1]).get_all(field) == expected


def test_metadata_summary_keywords_and_classifiers(dist):
    metadata = wheel_metadata(dist[1])
    assert metadata["Summary"].startswith("Value types for commanding Damiao DM-series servo motors")
    assert "damiao" in metadata["Keywords"].split(",")
    classifiers = metadata.get_all("Classifier")
    for needed in ("Typing :: Typed", "Programming Language :: C++", "Programming Language :: Python :: 3.13",
                   "Programming Language :: Python :: 3.14",
                   "Programming Language :: Python :: Implementation :: CPython", "Operating System :: POSIX :: Linux",
                   "Topic :: System :: Hardware"):
        assert needed in classifiers, needed
    assert any(c.startswith("Development Status :: ") for c in classifiers)
    assert not any(c.startswith("License :: ") for c in classifiers)
    # The test extra names only what the tests run.
    extras = {r.split(";")[0] for r in metadata.get_all("Requires-Dist") if 'extra == "test"' in r}
    assert {re.split(r"[\[<>=]", r)[0] for r in extras} == {"pytest", "hypothesis", "mypy", "pyright", "build",
                                                            "auditwheel", "scikit-build-core", "python-can"}
    # The bus and the simulated motor need python-can, and only that.
    assert [r.split(";")[0] for r in metadata.get_all("Requires-Dist") if 'extra == "can"' in r] == ["python-can>=4.3"]


def test_wheel_is_portable(dist):
    report = " ".join(run(sys.executable, "-m", "auditwheel", "show", dist[1]).split())
    tag = re.search(r'consistent with the following platform tag: "manylinux_(\d+)_(\d+)_(\w+)"', report)
    assert tag, report
    assert (int(tag[1]), int(tag[2])) <= MANYLINUX and tag[3] == platform.machine(), report
    # The C++ runtime is inside the module: no system libstdc++ is needed.
    assert "libstdc++" not in report, report


def test_module_exports_only_its_own_symbols(dist, tmp_path):
    with zipfile.ZipFile(dist[1]) as archive:
        (name,) = [n for n in archive.namelist() if n.endswith(".so") and n.startswith("tervalin.")]
        module = archive.extract(name, tmp_path)
        (name,) = [n for n in archive.namelist() if n.endswith(".so") and n.startswith("tervalin_dm/")]
        codec = archive.extract(name, tmp_path)
    exported = [line.split()[-1] for line in run("nm", "-D", "--defined-only", module).splitlines()]
    assert "PyInit_tervalin" in exported
    # The entry point only: nothing of the C++ runtime, and separately built
    # extensions reach the log facade through the module's state, not symbols.
    assert exported == ["PyInit_tervalin"]
    # tervalin_dm's extension exports its entry point alone.
    assert [line.split()[-1] for line in run("nm", "-D", "--defined-only", codec).splitlines()] == ["PyInit__codec"]
