# Shared by tools/quickstart and tools/test: finds CPython 3.13 and prepares
# the virtual environment .venv at the repository root.
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

# Creates or reuses .venv and installs the project into it.
prepare_venv() {
    local extra=${1:-}
    ensure_venv
    .venv/bin/python -m pip install --quiet ".${extra}"
}

# cmake from PATH, or one installed into .venv when there is none.
find_cmake() {
    if command -v cmake >/dev/null 2>&1; then
        command -v cmake
    else
        .venv/bin/python -m pip install --quiet "cmake>=3.26" ninja
        echo "$repo_root/.venv/bin/cmake"
    fi
}
