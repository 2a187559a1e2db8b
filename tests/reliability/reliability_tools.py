"""Helpers of the reliability suites: running a workload in a fresh interpreter, with its own
environment, and reading back the JSON document it prints last."""

import json
import os
import subprocess
import sys
import textwrap

SQRT_HALF = 0.7071067811865476
HADAMARD_ROWS = [[SQRT_HALF, SQRT_HALF], [SQRT_HALF, -SQRT_HALF]]

# Prepended to every workload: the module, the Hadamard gate and a thread counter.
PRELUDE = """
import json, os, sys, time
import korvel
SQRT_HALF = 0.7071067811865476
H = korvel.QGate([[SQRT_HALF, SQRT_HALF], [SQRT_HALF, -SQRT_HALF]])

def thread_count():
    return len(os.listdir("/proc/self/task"))

def report(document):
    sys.stdout.write(json.dumps(document) + "\\n")
    sys.stdout.flush()
"""


def under_address_sanitizer():
    return "asan" in os.environ.get("LD_PRELOAD", "")


def run_workload(code, env=None, timeout=180, args=()):
    """Runs PRELUDE + code in a new interpreter. env: variables to set (None values are removed).
    Returns (document, completed process); fails the test if the process did not exit 0."""
    environment = dict(os.environ)
    for name, value in (env or {}).items():
        if value is None:
            environment.pop(name, None)
        else:
            environment[name] = value
    process = subprocess.run(
        [sys.executable, "-c", PRELUDE + textwrap.dedent(code), *map(str, args)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=environment,
    )
    assert process.returncode == 0, "workload failed (exit %d)\nstdout:\n%s\nstderr:\n%s" % (
        process.returncode,
        process.stdout[-4000:],
        process.stderr[-4000:],
    )
    last = process.stdout.strip().splitlines()[-1]
    return json.loads(last), process
