"""Helpers shared by the Python test suites (tests/ and tests/reliability/): the Hadamard rows,
the PanicException lookup, the address-sanitizer check, and running code in a fresh interpreter.
Importable as `support` because tests/conftest.py puts this folder on sys.path."""

import inspect
import json
import os
import subprocess
import sys
import textwrap

import pytest

import korvel

SQRT_HALF = 0.7071067811865476
HADAMARD_ROWS = [[SQRT_HALF, SQRT_HALF], [SQRT_HALF, -SQRT_HALF]]


def panic_exception_type():
    """The PanicException class: Python code reaches it only through a caught failure."""
    try:
        korvel.Register(30)
    except BaseException as error:  # noqa: B036 - the point is that it is not an Exception
        return type(error)
    raise AssertionError("Register(30) did not fail")


# The same lookup for code run in a fresh interpreter, where it writes its failure notice.
PANIC_EXCEPTION_SOURCE = "import korvel\n" + inspect.getsource(panic_exception_type)


def under_address_sanitizer():
    return "asan" in os.environ.get("LD_PRELOAD", "")


needs_plain_address_space = pytest.mark.skipif(
    under_address_sanitizer(), reason="RLIMIT_AS cannot be combined with the sanitizer's shadow memory"
)

# For code run in a fresh interpreter: limit_headroom(m) lets the process map m MiB beyond what
# it has mapped already, so that a larger allocation is refused for real.
# Source text for leak workloads: each case's growth in collector objects, resident memory and
# the reference counts of the objects it watches, over `calls` calls after `settle` warm-up calls.
# cases: name -> (call, [watched objects]); failures of a call are part of what is measured.
GROWTH_MEASURE = """
import gc

def resident_kib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024

def run(call, times):
    for _ in range(times):
        try:
            call()
        except BaseException:
            pass

def measure_growth(cases, calls, settle):
    results = {}
    for name, (call, watched) in cases.items():
        run(call, settle)  # caches, free lists and the allocator settle first
        gc.collect()
        objects, rss = len(gc.get_objects()), resident_kib()
        counts = [sys.getrefcount(item) for item in watched]
        started = time.perf_counter()
        run(call, calls)
        seconds = time.perf_counter() - started
        gc.collect()
        results[name] = {
            "objects": len(gc.get_objects()) - objects,
            "rss_kib": resident_kib() - rss,
            # Counted the same way both times: a zip() would hold one more reference of its own.
            "refcounts": [after - before for after, before in
                          zip([sys.getrefcount(item) for item in watched], counts)],
            "seconds": seconds,
        }
    report(results)
"""


ADDRESS_SPACE_LIMIT = """
import resource

def address_space():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

def limit_headroom(mebibytes):
    hard = resource.getrlimit(resource.RLIMIT_AS)[1]
    resource.setrlimit(resource.RLIMIT_AS, (address_space() + (mebibytes << 20), hard))
"""


def run_interpreter(*arguments, env=None, cwd=None, timeout=120):
    """Runs this interpreter with the arguments, in this process's environment changed by env
    (a None value removes the variable); returns the CompletedProcess with text stdout and
    stderr."""
    environment = dict(os.environ)
    for name, value in (env or {}).items():
        if value is None:
            environment.pop(name, None)
        else:
            environment[name] = value
    return subprocess.run(
        [sys.executable, *map(str, arguments)],
        cwd=cwd,
        env=environment,
        capture_output=True,
        text=True,
        timeout=timeout,
    )


def run_python(code, *arguments, **options):
    """run_interpreter of `python -c code arguments...`, with the code dedented."""
    return run_interpreter("-c", textwrap.dedent(code), *arguments, **options)


# Prepended to every workload: the module, the Hadamard gate, the PanicException lookup, a
# thread counter and the reporting of the result.
PRELUDE = (
    """
import json, os, sys, time
import korvel
H = korvel.QGate(%r)
"""
    % (HADAMARD_ROWS,)
    + PANIC_EXCEPTION_SOURCE
    + """
def thread_count():
    return len(os.listdir("/proc/self/task"))

def report(document):
    sys.stdout.write(json.dumps(document) + "\\n")
    sys.stdout.flush()
"""
)


def run_workload(code, env=None, timeout=180, args=()):
    """Runs PRELUDE + code in a new interpreter (env as for run_interpreter). Returns the JSON
    document it printed last and the completed process; fails the test if the process did not
    exit 0."""
    process = run_python(PRELUDE + textwrap.dedent(code), *args, env=env, timeout=timeout)
    assert process.returncode == 0, "workload failed (exit %d)\nstdout:\n%s\nstderr:\n%s" % (
        process.returncode,
        process.stdout[-4000:],
        process.stderr[-4000:],
    )
    last = process.stdout.strip().splitlines()[-1]
    return json.loads(last), process


def assert_counts_follow(counts, distribution, shots, failure=1e-12):
    """Counts of outcome words drawn from `distribution`, each within a Bernstein bound that a
    correct sampler exceeds by chance with probability below `failure` per outcome; no word
    of probability zero."""
    import math

    assert sum(counts.values()) == shots
    assert set(counts) <= {k for k, p in distribution.items() if p > 1e-13}
    log_term = math.log(2 / failure)
    for word, p in distribution.items():
        variance = shots * p * (1 - p)
        third = 2 * log_term / 3
        bound = (third + math.sqrt(third ** 2 + 8 * log_term * variance)) / 2
        assert abs(counts.get(word, 0) - shots * p) <= bound, (word, p, counts.get(word, 0))
