# Sourced by the scripts of tools/ and by bench/run: finds CPython 3.13,
# prepares the virtual environment .venv at the repository root, builds and
# installs the wheel into it incrementally, and configures test builds.
set -euo pipefail

repo_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo_root"

is_python313() {
    "$1" -c 'import sys; raise SystemExit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1
}

find_python313() {
    if command -v python3.13 >/dev/null 2>&1 && is_python313 python3.13; then
        command -v python3.13
        return
    fi
    local root candidate
    root=$( (command -v pyenv >/dev/null 2>&1 && pyenv root) || echo "$HOME/.pyenv")
    for candidate in "$root"/versions/3.13*/bin/python3.13; do
        if [ -x "$candidate" ] && is_python313 "$candidate"; then
            echo "$candidate"
            return
        fi
    done
    echo "error: CPython 3.13 not found: put python3.13 on PATH or install it with 'pyenv install 3.13'" >&2
    exit 1
}

# Creates .venv with CPython 3.13, or reuses it.
ensure_venv() {
    local python
    python=$(find_python313)
    if [ ! -x .venv/bin/python ] || ! is_python313 .venv/bin/python; then
        rm -rf .venv
        "$python" -m venv .venv
        .venv/bin/python -m pip install --quiet --upgrade pip
    fi
}

# The requirement lists of pyproject.toml, one a line: "build" for the build
# system's, or the name of an optional extra.
requirements() {
    .venv/bin/python - "$1" <<'PY'
import sys, tomllib
with open("pyproject.toml", "rb") as file:
    project = tomllib.load(file)
wanted = sys.argv[1]
reqs = project["build-system"]["requires"] if wanted == "build" else project["project"]["optional-dependencies"][wanted]
print("\n".join(reqs))
PY
}

# The supported CPython minor versions, oldest first, one a line: the
# "Programming Language :: Python :: 3.N" classifiers of pyproject.toml, the
# one place they are written.
supported_pythons() {
    .venv/bin/python - <<'PY'
import tomllib
with open("pyproject.toml", "rb") as file:
    classifiers = tomllib.load(file)["project"]["classifiers"]
prefix = "Programming Language :: Python :: 3."
minors = sorted(int(c.removeprefix(prefix)) for c in classifiers if c.startswith(prefix) and c[len(prefix):].isdigit())
print("\n".join(f"3.{minor}" for minor in minors))
PY
}

# Installs a requirement list into .venv, unless this very list was installed
# before: a repeated run then spends no time in pip's resolver.
install_requirements() {
    local name=$1 stamp wanted
    shift
    stamp=".venv/.installed-$name"
    wanted=$(printf '%s\n' "$@")
    if [ "$(cat "$stamp" 2>/dev/null)" != "$wanted" ]; then
        .venv/bin/python -m pip install --quiet "$@" >&2
        printf '%s\n' "$wanted" >"$stamp"
    fi
}

# The build system and its tools go into .venv itself, so wheels build there
# without a fresh isolated environment each time. ninja builds incrementally
# and prints its progress; cmake comes from PATH when it is new enough.
ensure_build_tools() {
    local tools=() line
    while IFS= read -r line; do tools+=("$line"); done < <(requirements build)
    tools+=(ninja)
    if ! command -v cmake >/dev/null 2>&1 ||
        ! printf '3.26\n%s\n' "$(cmake --version | sed -n 's/^cmake version //p')" | sort -V -C; then
        tools+=("cmake>=3.26")
    fi
    install_requirements build "${tools[@]}"
}

# cmake from PATH, or the one ensure_build_tools installed into .venv.
find_cmake() {
    ensure_build_tools
    if [ -x .venv/bin/cmake ]; then
        echo "$repo_root/.venv/bin/cmake"
    else
        command -v cmake
    fi
}

# Builds the wheel in the build directory build/dev, which every later run
# reuses, so only what changed is compiled. The test programs are configured
# too (the test command builds them from the same objects), but only the
# targets named in $@ are built, all of them when none is named. Prints
# CMake's and the compiler's progress to standard error, and the wheel's path
# on standard output.
build_wheel() {
    ensure_build_tools
    # CMake and the compiler write to standard output: it goes to standard
    # error here, and the wheel's path to the standard output, through fd 3.
    .venv/bin/python - "$@" 3>&1 1>&2 <<'PY'
import pathlib, sys, time
from scikit_build_core.build import build_wheel

settings = {"build-dir": "build/dev", "cmake.define.TERVALIN_BUILD_TESTS": "ON"}
if sys.argv[1:]:
    settings["build.targets"] = sys.argv[1:]
start = time.monotonic()
name = build_wheel("build/dist", settings)
print(f"built {name} in {time.monotonic() - start:.1f} s", flush=True)
with open(3, "w") as out:
    print(pathlib.Path("build/dist", name).resolve(), file=out)
PY
}

# Whether .venv has exactly the files of the wheel $1 installed already
# (compared by the hashes in the wheel's RECORD): a rebuild that produced the
# same module then needs no reinstall.
wheel_installed() {
    .venv/bin/python - "$1" <<'PY'
import importlib.metadata, sys, zipfile

def entries(record):
    pairs = (line.split(",")[:2] for line in record.splitlines() if line)
    pairs = {path: digest for path, digest in pairs if path.split("/")[-1] not in ("INSTALLER", "REQUESTED", "direct_url.json")}
    return pairs

with zipfile.ZipFile(sys.argv[1]) as wheel:
    built = entries(wheel.read(next(n for n in wheel.namelist() if n.endswith(".dist-info/RECORD"))).decode())
try:
    installed = entries(importlib.metadata.distribution("tervalin").read_text("RECORD") or "")
except importlib.metadata.PackageNotFoundError:
    installed = {}
sys.exit(0 if built == installed else 1)
PY
}

# Builds the wheel (limited to the targets in $@) and installs it into .venv
# as a user's pip would, then the requirements of the extra named by
# TERVALIN_EXTRA, if any.
install_project() {
    ensure_venv
    local wheel line extra=()
    wheel=$(build_wheel "$@")
    installed_wheel=$wheel  # for prepare_lowest_can_venv
    if wheel_installed "$wheel"; then
        echo "$(basename "$wheel") is installed in .venv already" >&2
    else
        .venv/bin/python -m pip install --quiet --no-deps --force-reinstall "$wheel"
    fi
    if [ -n "${TERVALIN_EXTRA:-}" ]; then
        while IFS= read -r line; do extra+=("$line"); done < <(requirements "$TERVALIN_EXTRA")
        install_requirements "$TERVALIN_EXTRA" "${extra[@]}"
    fi
}

# The lowest python-can that the can extra of pyproject.toml allows
# ("python-can>=4.3" gives 4.3).
lowest_python_can() {
    requirements can | sed -n 's/^python-can>=\([0-9.]*\)$/\1/p'
}

# A second, small environment with the wheel installed_wheel (set by
# install_project) and the lowest python-can allowed, for tervalin_dm's tests:
# pytest and hypothesis as the test extra names them, nothing else. It lives in
# build/ and is reused; pip runs only when the wheel or the pins changed.
lowest_can_venv=build/venv-python-can-lowest
prepare_lowest_can_venv() {
    local version pins stamp=$lowest_can_venv/.installed
    version=$(lowest_python_can)
    [ -n "$version" ] || { echo "error: no python-can>=X in the can extra of pyproject.toml" >&2; exit 1; }
    if [ ! -x $lowest_can_venv/bin/python ] || ! is_python313 $lowest_can_venv/bin/python; then
        rm -rf $lowest_can_venv
        "$(find_python313)" -m venv $lowest_can_venv
    fi
    pins=$(printf '%s\n' "python-can==$version" $(requirements test | grep -E '^(pytest|hypothesis)\b'))
    if [ "$(cat "$stamp" 2>/dev/null)" != "$pins"$'\n'"$(sha256sum "$installed_wheel")" ]; then
        # shellcheck disable=SC2086 # one requirement a word
        $lowest_can_venv/bin/python -m pip install --quiet $pins >&2
        $lowest_can_venv/bin/python -m pip install --quiet --no-deps --force-reinstall "$installed_wheel" >&2
        printf '%s\n%s\n' "$pins" "$(sha256sum "$installed_wheel")" >"$stamp"
    fi
}

# The CMake targets of what the wheel ships: the module and tervalin_dm's
# extension (a build limited to other targets cannot install the wheel).
shipped_targets=(tervalin tervalin_dm_codec)

# Creates or reuses .venv with tervalin installed (tools/quickstart, bench/run).
prepare_venv() {
    install_project "${shipped_targets[@]}"
}

# Configures the CMake build directory build/$1 with the remaining arguments
# against .venv's interpreter; the configure output goes to a log, shown only
# when configuring fails.
configure_build() {
    local name=$1
    shift
    mkdir -p build
    "$(find_cmake)" -S . -B "build/$name" -DPython_EXECUTABLE="$repo_root/.venv/bin/python" "$@" \
        >"build/$name-configure.log" 2>&1 || { cat "build/$name-configure.log"; exit 1; }
}
