#!/usr/bin/env bash
# Builds the engine's libFuzzer targets (CMake, KORVEL_BUILD_FUZZ) and runs each for a bounded time.
#
#   fuzz/run.sh [SECONDS_PER_TARGET]      (default 60; FUZZ_BUILD_DIR, CXX and PYTHON override)
#
# Needs CMake and clang 15 or later with the libFuzzer runtime (apt-get install -y clang-16
# libclang-rt-16-dev, done here when run as root and no such clang is found).
#
# Exits non-zero when a target finds a fault; the offending input is left in the build directory
# as crash-* / leak-* / timeout-*, and `<build>/fuzz/<target> <that file>` replays it.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
# clang 15 or later: clang 14 lacks __builtin_source_location, which libstdc++'s
# std::source_location (used by the engine's failure notices) needs.
find_clang() { command -v clang++-16 || command -v clang++-19 || command -v clang++-15 || true; }
if [[ -z "${CXX:-}" && -z "$(find_clang)" ]]; then
    if [[ $(id -u) -eq 0 ]] && command -v apt-get >/dev/null; then
        echo "+ apt-get update && apt-get install -y clang-16 libclang-rt-16-dev"
        apt-get update >/dev/null
        DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
            clang-16 libclang-rt-16-dev >/dev/null
    else
        echo "error: no clang++ 15 or later; install clang-16 and libclang-rt-16-dev" >&2
        exit 1
    fi
fi
cxx=${CXX:-$(find_clang)}
python=${PYTHON:-python3}
jobs=${FUZZ_JOBS:-2}

# The targets are CMake targets linking the engine library, which the fuzz option builds with
# coverage feedback and both sanitizers; oneTBB is found through the interpreter's tbb-devel
# wheel, as in the main build.
cmake -S "$root" -B "$build" -DKORVEL_BUILD_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER="$cxx" -DPython_EXECUTABLE="$(command -v "$python")"
cmake --build "$build" --target fuzzers --parallel "$jobs"

"$python" "$root/fuzz/make_seeds.py" "$build/seeds"

status=0
for source in "$root"/fuzz/*_fuzzer.cpp; do
    target=$(basename "${source%.cpp}")
    seeds="$build/seeds/${target%_fuzzer}"
    corpus="$build/corpus/${target%_fuzzer}"
    mkdir -p "$corpus"
    echo "== $target: ${seconds}s"
    # -close_fd_mask=2: the engine's failure notices go to /dev/null, the fuzzer's report does not.
    rc=0
    (cd "$build" && UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ASAN_OPTIONS=detect_leaks=1 \
        "./fuzz/$target" -max_total_time="$seconds" -close_fd_mask=2 -print_final_stats=1 \
        -timeout=10 -rss_limit_mb=2048 "$corpus" "$seeds") >"$build/$target.log" 2>&1 || rc=$?
    grep -E '^(Done [0-9]+ runs|stat::number_of_executed_units|stat::new_units_added)' "$build/$target.log" || true
    if [[ $rc -ne 0 ]]; then
        tail -n 40 "$build/$target.log" >&2
        echo "!! $target failed (exit $rc); full log: $build/$target.log" >&2
        status=1
    fi
done
exit $status
