"""The machine the numbers come from: what it is, what memory it has free, and its memory
bandwidth, measured by the native bandwidth_sweep program that this module builds and runs."""

import datetime
import json
import os
import platform
import shutil
import subprocess
import sys
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
SOURCE_DIR = BENCH_DIR.parent
BUILD_DIR = BENCH_DIR / "build"
SWEEP_PROGRAM = BUILD_DIR / "bench" / "bandwidth_sweep"


def build_sweep(log):
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
    return SWEEP_PROGRAM


def sweep(program, qubits, threads, quick):
    """One JSON result of the sweep at `qubits`."""
    command = [str(program), "--threads", str(threads), "--qubits", str(qubits),
               "--min-seconds", "0.1" if quick else "0.3"]
    output = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    return json.loads(output.strip().splitlines()[-1])


def _cpu_model():
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def _memory_bytes():
    try:
        return os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (ValueError, OSError):
        return None


def _compiler():
    try:
        return subprocess.run(["c++", "--version"], capture_output=True, text=True).stdout.splitlines()[0]
    except (OSError, IndexError):
        return None


def _huge_pages():
    try:
        with open("/sys/kernel/mm/transparent_hugepage/enabled") as setting:
            return setting.read().strip()
    except OSError:
        return None


def source_revision():
    """The commit of the tree the benchmarks ran from (the module installed may differ if it
    was not rebuilt)."""
    try:
        finished = subprocess.run(["git", "-C", str(SOURCE_DIR), "rev-parse", "--short", "HEAD"],
                                  capture_output=True, text=True)
    except OSError:
        return None
    return finished.stdout.strip() or None


def available_memory():
    """Bytes the kernel reckons it can hand out without swapping; None where it does not say."""
    try:
        with open("/proc/meminfo") as meminfo:
            for line in meminfo:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return None


def describe():
    return {
        "cpu_model": _cpu_model(),
        "logical_cpus": os.cpu_count(),
        "memory_bytes": _memory_bytes(),
        "platform": platform.platform(),
        "python": platform.python_version(),
        "compiler": _compiler(),
        "transparent_hugepages": _huge_pages(),
        "date_utc": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M:%S UTC"),
        "load_average_at_start": os.getloadavg(),
    }
