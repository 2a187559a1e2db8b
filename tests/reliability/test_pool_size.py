"""The pool's size follows RAYON_NUM_THREADS and RAYON_RS_NUM_CPUS, and the results do not depend
on it.

Thread count: after a pass large enough to be split, /proc/self/task lists exactly N + 1 threads
for a pool of size N > 1: the calling thread, which waits during a pass, the pool thread and its
N - 1 workers, which stay alive, asleep, after the pass. A pool of 1 runs every pass on the
calling thread and starts no thread at all. Nothing else in the interpreter starts threads."""

import os

import pytest

from support import run_workload

PROCESSORS = len(os.sched_getaffinity(0))

CIRCUIT = """
import hashlib, math, struct

def fingerprint(values):
    return hashlib.sha256(struct.pack("<%dd" % len(values), *values)).hexdigest()

theta, phi = 0.3, 1.1
ry = korvel.QGate([[math.cos(theta), -math.sin(theta)], [math.sin(theta), math.cos(theta)]])
phase = korvel.QGate([[1, 0], [0, complex(math.cos(phi), math.sin(phi))]])
x = korvel.QGate([[0, 1], [1, 0]])

n = 20
register = korvel.Register(n)
register.apply_gate(H, range(n - 1), [])
register.apply_gate(x, [n - 1], [])
threads_after_large_pass = thread_count()
for step in range(6):
    register.apply_gate(ry, [step, step + 7], [step + 1])
    register.apply_gate(phase, [step + 3], [step + 2, step + 9])
    register.apply_gate(H, [step * 2], [n - 1])
before = fingerprint(register.probabilities())
# The top qubit is 1 for certain: the outcome is fixed while the renormalisation still sums
# every weight in a parallel reduction.
outcome = register.measure(n - 1)
after = fingerprint(register.probabilities())
draw = register.measure_all()
report({"threads": threads_after_large_pass, "threads_at_end": thread_count(), "before": before,
        "outcome": outcome, "after": after, "draw_in_range": 0 <= draw < 2 ** n})
"""

CONFIGURATIONS = [
    # (RAYON_NUM_THREADS, RAYON_RS_NUM_CPUS, expected pool size)
    ("1", None, 1),
    ("3", None, 3),
    ("0", None, PROCESSORS),
    ("garbage", None, PROCESSORS),
    (None, None, PROCESSORS),
    (None, "3", 3),
    ("garbage", "3", 3),
    ("-2", "1", 1),
    ("0", "3", PROCESSORS),
]


@pytest.fixture(scope="module")
def outcomes():
    results = {}
    for num_threads, num_cpus, _ in CONFIGURATIONS:
        env = {"RAYON_NUM_THREADS": num_threads, "RAYON_RS_NUM_CPUS": num_cpus}
        results[(num_threads, num_cpus)], _ = run_workload(CIRCUIT, env=env)
    return results


@pytest.mark.parametrize("num_threads, num_cpus, expected", CONFIGURATIONS)
def test_pool_has_the_configured_size(outcomes, num_threads, num_cpus, expected):
    document = outcomes[(num_threads, num_cpus)]
    threads = expected + 1 if expected > 1 else 1
    assert document["threads"] == threads
    assert document["threads_at_end"] == threads


def test_results_are_identical_whatever_the_pool_size(outcomes):
    documents = list(outcomes.values())
    assert all(document["outcome"] == 1 for document in documents)
    assert all(document["draw_in_range"] for document in documents)
    assert len({document["before"] for document in documents}) == 1
    assert len({document["after"] for document in documents}) == 1
