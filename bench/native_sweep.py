"""Builds (if needed) and runs the native bandwidth_sweep program."""

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
SOURCE_DIR = BENCH_DIR.parent
BUILD_DIR = BENCH_DIR / "build"
PROGRAM = BUILD_DIR / "bench" / "bandwidth_sweep"


def build(log):
    """Returns the program named by KORVEL_BANDWIDTH_SWEEP if that is set. Otherwise configures
    the project with the benchmarks enabled into bench/build (once) and builds the sweep
    program; the build tool makes this a no-op when nothing changed. oneTBB is found
    through the interpreter running this script, as for the module itself."""
    if os.environ.get("KORVEL_BANDWIDTH_SWEEP"):
        return Path(os.environ["KORVEL_BANDWIDTH_SWEEP"])
    # cmake and ninja installed into the benchmark's environment come first.
    env = dict(os.environ, PATH=os.pathsep.join([str(Path(sys.executable).parent), os.environ.get("PATH", "")]))
    if not (BUILD_DIR / "CMakeCache.txt").exists():
        generator = ["-G", "Ninja"] if shutil.which("ninja", path=env["PATH"]) else []
        command = ["cmake", "-S", str(SOURCE_DIR), "-B", str(BUILD_DIR), *generator,
                   "-DCMAKE_BUILD_TYPE=Release", "-DKORVEL_BUILD_BENCH=ON",
                   f"-DPython_EXECUTABLE={sys.executable}"]
        log(" ".join(command))
        subprocess.run(command, check=True, stdout=subprocess.DEVNULL, env=env)
    subprocess.run(["cmake", "--build", str(BUILD_DIR), "--target", "bandwidth_sweep", "-j", "2"],
                   check=True, stdout=subprocess.DEVNULL, env=env)
    return PROGRAM


def run(program, qubits, threads, quick):
    """One JSON result of the sweep at `qubits`."""
    command = [str(program), "--threads", str(threads), "--qubits", str(qubits),
               "--min-seconds", "0.1" if quick else "0.3"]
    output = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    return json.loads(output.strip().splitlines()[-1])
