#!/usr/bin/env bash
# Runs every test of korvel: the engine's C++ tests and the Python tests.
#
# Works on a fresh Debian machine: installs GoogleTest with apt-get when it is missing, the
# build requirements and korvel itself (with its test extras) into the Python interpreter on
# PATH (activate a virtual environment first to keep them there), builds the engine tests in
# build-tests/ and runs both suites, with the benchmark suite's checks of its own arithmetic.
# Stops at the first failure with a non-zero exit code.
#
# Environment: PYTHON (default: python3) picks the interpreter; JOBS (default: 2) the build
# parallelism.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")"
PYTHON=${PYTHON:-python3}
JOBS=${JOBS:-2}
BUILD_DIR=build-tests

say() { printf '\n==> %s\n' "$*"; }
run() {
    printf '+ %s\n' "$*"
    "$@"
}

have_gtest() {
    [ -f /usr/include/gtest/gtest.h ] && { [ -f /usr/lib/x86_64-linux-gnu/libgtest.a ] ||
        compgen -G '/usr/lib/*/libgtest.a' >/dev/null || compgen -G '/usr/lib/*/libgtest.so' >/dev/null; }
}

as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    elif command -v sudo >/dev/null; then
        sudo "$@"
    else
        echo "error: '$*' needs root, and sudo is not available" >&2
        exit 1
    fi
}

say "GoogleTest"
if have_gtest; then
    echo "found in /usr/include/gtest"
else
    command -v apt-get >/dev/null || {
        echo "error: GoogleTest is missing and apt-get is not available; install GoogleTest" >&2
        exit 1
    }
    export DEBIAN_FRONTEND=noninteractive
    run as_root apt-get update
    run as_root apt-get install -y --no-install-recommends libgtest-dev
fi

INTERPRETER=$("$PYTHON" -c 'import sys; print(sys.executable)')
say "Python: $INTERPRETER ($("$INTERPRETER" --version 2>&1))"
run "$INTERPRETER" -m pip install scikit-build-core tbb-devel tbb
CMAKE=$(command -v cmake || true)
if [ -z "$CMAKE" ]; then
    run "$INTERPRETER" -m pip install cmake
    CMAKE=$(dirname "$INTERPRETER")/cmake
fi

say "Building and installing korvel with its test extras"
run "$INTERPRETER" -m pip install '.[test]'

say "Engine tests (GoogleTest)"
run "$CMAKE" -S . -B "$BUILD_DIR" -DKORVEL_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release \
    -DPython_EXECUTABLE="$INTERPRETER"
run "$CMAKE" --build "$BUILD_DIR" --target engine_tests -j "$JOBS"
run "$BUILD_DIR/engine_tests"

say "Python tests (pytest): tests/, and the benchmark suite's own checks in bench/"
run "$INTERPRETER" -m pytest tests bench
