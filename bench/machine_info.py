"""What the numbers were measured on."""

import datetime
import os
import platform
import subprocess


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


def source_revision(directory):
    """The commit of the tree the benchmarks ran from (the module installed may differ if it
    was not rebuilt)."""
    try:
        finished = subprocess.run(["git", "-C", str(directory), "rev-parse", "--short", "HEAD"],
                                  capture_output=True, text=True)
    except OSError:
        return None
    return finished.stdout.strip() or None


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
