#!/usr/bin/env bash
# Set up everything `make` needs on a fresh machine, idempotently:
#   1. the Debian -dev packages the native core links against;
#   2. a virtual environment on the newest Python >= 3.12 (override: PYTHON=python3.13, VENV=.venv-313);
#   3. build and test tools from the package index (and the benchmark peers with BENCH=1);
#   4. the extension, built incrementally with CMake into build/<python tag>/ and put on the
#      venv's path with a .pth file (SANITIZE=1 builds build/asan instead).
# Quick when nothing changed: every step checks before it acts.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)

DEB_PACKAGES="g++ pkg-config libre2-dev libicu-dev libtbb-dev rapidjson-dev libxxhash-dev libyaml-dev zlib1g-dev libgtest-dev ccache"
missing=()
for p in $DEB_PACKAGES; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ]; then
    echo "bootstrap: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
  elif command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
    sudo apt-get update -qq && sudo DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  else
    echo "bootstrap: missing Debian packages; run as root:" >&2
    echo "  apt-get update && apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
fi

python_ok() { "$1" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 12) else 1)' >/dev/null 2>&1; }
find_python() {
  if [ -n "${PYTHON:-}" ]; then
    command -v "$PYTHON" >/dev/null 2>&1 && python_ok "$PYTHON" && { command -v "$PYTHON"; return; }
    for c in "$HOME"/.pyenv/versions/*/bin/"$PYTHON"; do python_ok "$c" && { echo "$c"; return; }; done
    echo "bootstrap: PYTHON=$PYTHON is not a working Python >= 3.12" >&2; return 1
  fi
  local minor c
  for minor in 20 19 18 17 16 15 14 13 12; do
    for c in "python3.$minor" /usr/bin/python3.$minor /usr/local/bin/python3.$minor "$HOME"/.pyenv/versions/3.$minor.*/bin/python3.$minor; do
      if [ -x "$c" ] || command -v "$c" >/dev/null 2>&1; then
        python_ok "$c" && { command -v "$c" 2>/dev/null || echo "$c"; return; }
      fi
    done
  done
  echo "bootstrap: no Python >= 3.12 found (set PYTHON=...)" >&2; return 1
}

VENV=${VENV:-.venv}
if [ ! -x "$VENV/bin/python" ] || ! python_ok "$VENV/bin/python"; then
  PY=$(find_python)
  echo "bootstrap: creating $VENV with $PY"
  rm -rf "$VENV"
  "$PY" -m venv "$VENV"
fi
VPY="$ROOT/$VENV/bin/python"

TOOLS="pytest scikit-build-core cmake ninja numpy"
[ "${BENCH:-0}" = 1 ] && TOOLS="$TOOLS pyahocorasick"
stamp="$VENV/.tools-$(echo "$TOOLS" | cksum | cut -d' ' -f1)"
if [ ! -f "$stamp" ]; then
  "$VPY" -m pip install -q --disable-pip-version-check $TOOLS
  touch "$stamp"
fi

if [ "${SANITIZE:-0}" = 1 ]; then
  BUILD="build/asan"; EXTRA="-DTHALREN_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo"
else
  BUILD="build/$("$VPY" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')"; EXTRA=""
fi
export PATH="$ROOT/$VENV/bin:$PATH"
if [ ! -f "$BUILD/build.ninja" ]; then
  cmake -S . -B "$BUILD" -G Ninja -DPython_EXECUTABLE="$VPY" -DTHALREN_TESTS=ON $EXTRA >/dev/null
fi
cmake --build "$BUILD"
if [ "${SANITIZE:-0}" != 1 ]; then
  SITE=$("$VPY" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
  echo "$ROOT/$BUILD" > "$SITE/thalren_native_dev.pth"
fi
echo "$BUILD"
