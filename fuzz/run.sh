#!/usr/bin/env bash
# Builds the engine's libFuzzer targets with ASan+UBSan and runs each for a bounded time.
#
#   fuzz/run.sh [SECONDS_PER_TARGET]      (default 60; FUZZ_BUILD_DIR, CXX and PYTHON override)
#
# Needs clang with the libFuzzer runtime: apt-get install -y clang-16 libclang-rt-16-dev
#
# Exits non-zero when a target finds a fault; the offending input is left in the build directory
# as crash-* / leak-* / timeout-*, and `<build>/<target> <that file>` replays it.
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

# oneTBB headers and library come from the interpreter's tbb-devel wheel, as in the main build;
# only engine files that need them (the pool) are pulled in, and the targets need none today.
prefix=$("$python" -c 'import sys; print(sys.prefix)')

flags=(-std=c++20 -g -O1 -ffp-contract=off -fno-fast-math -fno-omit-frame-pointer
       -fsanitize=address,undefined -fno-sanitize-recover=undefined
       -I"$root/src" -I"$prefix/include")

mkdir -p "$build/obj"
# Every engine source goes into one archive: the linker takes only the objects a target needs,
# so the targets keep building whatever files the engine is split into. A file that does not
# compile here is left out with a warning; if a target needs it, its link fails.
compile() {
    local source=$1 object=$2
    if ! "$cxx" "${flags[@]}" -fsanitize=fuzzer-no-link -c "$source" -o "$object" 2>"$object.err"; then
        echo "warning: $(basename "$source") did not compile for fuzzing; left out" >&2
        rm -f "$object"
    fi
}
newest_header=$(ls -t "$root"/src/engine/*.hpp | head -n 1)
objects=()
for source in "$root"/src/engine/*.cpp; do
    object="$build/obj/$(basename "${source%.cpp}").o"
    if [[ ! -e "$object" || "$source" -nt "$object" || "$newest_header" -nt "$object" || "$0" -nt "$object" ]]; then
        compile "$source" "$object" &
        while (( $(jobs -rp | wc -l) >= jobs )); do sleep 0.2; done
    fi
    objects+=("$object")
done
wait
existing=()
for object in "${objects[@]}"; do [[ -e "$object" ]] && existing+=("$object"); done
rm -f "$build/libengine.a"
ar rcs "$build/libengine.a" "${existing[@]}"

"$python" "$root/fuzz/make_seeds.py" "$build/seeds"

status=0
for target in format_double_fuzzer gate_fuzzer; do
    "$cxx" "${flags[@]}" -fsanitize=fuzzer "$root/fuzz/$target.cpp" "$build/libengine.a" \
        -L"$prefix/lib" -Wl,-rpath,"$prefix/lib" -ltbb -lpthread -o "$build/$target"
    seeds="$build/seeds/${target%_fuzzer}"
    corpus="$build/corpus/${target%_fuzzer}"
    mkdir -p "$corpus"
    echo "== $target: ${seconds}s"
    # -close_fd_mask=2: the engine's failure notices go to /dev/null, the fuzzer's report does not.
    rc=0
    (cd "$build" && UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ASAN_OPTIONS=detect_leaks=1 \
        "./$target" -max_total_time="$seconds" -close_fd_mask=2 -print_final_stats=1 \
        -timeout=10 -rss_limit_mb=2048 "$corpus" "$seeds") >"$build/$target.log" 2>&1 || rc=$?
    grep -E '^(Done [0-9]+ runs|stat::number_of_executed_units|stat::new_units_added)' "$build/$target.log" || true
    if [[ $rc -ne 0 ]]; then
        tail -n 40 "$build/$target.log" >&2
        echo "!! $target failed (exit $rc); full log: $build/$target.log" >&2
        status=1
    fi
done
exit $status
