"""What every simulator is asked to do (the same dense single-qubit unitary, the same targets,
the same thread count and the same repetition budget) and how its time is taken."""

import cmath
import math
import statistics
import timeit
from time import perf_counter

THREADS = 2

# A general unitary (all four entries non-zero, complex), so that no simulator can take a
# diagonal, anti-diagonal, Hadamard or Pauli shortcut that another lacks.
_THETA, _PHI, _LAMBDA = 0.7, 0.3, 0.5
DENSE_UNITARY = [
    [complex(math.cos(_THETA / 2)), -cmath.exp(1j * _LAMBDA) * math.sin(_THETA / 2)],
    [cmath.exp(1j * _PHI) * math.sin(_THETA / 2), cmath.exp(1j * (_PHI + _LAMBDA)) * math.cos(_THETA / 2)],
]

HADAMARD = [[1 / math.sqrt(2), 1 / math.sqrt(2)], [1 / math.sqrt(2), -1 / math.sqrt(2)]]

QUBIT_COUNTS = (16, 20, 24, 26, 28)
OVERHEAD_QUBIT_COUNTS = (1, 4)
MULTI_TARGET_COUNTS = (4, 10)


def repeats(qubits, quick):
    """Repetitions per measured case: many where a pass takes microseconds, few where it
    takes a large fraction of a second."""
    table = {16: (30, 10), 20: (10, 5), 24: (5, 3), 26: (3, 2), 28: (2, 1)}
    full, fast = table.get(qubits, (3, 2))
    return fast if quick else full


def peer_targets(qubits):
    """Targets the peers are timed on: the low ones where strides are short, the middle and
    the top ones where pairs lie far apart."""
    picks = {0, 1, 2, 4, qubits // 2, qubits - 2, qubits - 1}
    return sorted(t for t in picks if 0 <= t < qubits)



def repeat_times(call, repeats):
    """Wall times of `repeats` separate calls, in seconds. What a call returns is freed after
    its clock has stopped: dropping a list of 2^n floats is the caller's cost, not the call's."""
    times = []
    for _ in range(repeats):
        start = perf_counter()
        result = call()
        times.append(perf_counter() - start)
        del result
    return times


def per_call_seconds(statement, namespace, rounds=7):
    """Cost of one execution of a cheap statement, timeit-style: the loop count is grown until
    a round lasts 0.2 s, and the best round of `rounds` is divided by it. A statement string
    (not a lambda) keeps the cost of an extra Python call out of the figure."""
    timer = timeit.Timer(statement, globals=namespace)
    loops, _ = timer.autorange()
    return min(timer.repeat(repeat=rounds, number=loops)) / loops


def spread(per_target):
    """Worst and median over a {target: seconds} map, with the worst target and the map."""
    values = list(per_target.values())
    worst_target = max(per_target, key=per_target.get)
    return {
        "worst_s": per_target[worst_target],
        "median_s": statistics.median(values),
        "worst_target": worst_target,
        "per_target_s": {str(t): s for t, s in sorted(per_target.items())},
    }


def single(seconds, **extra):
    """A case with one figure: worst and median are the same number."""
    return {"worst_s": seconds, "median_s": seconds, **extra}
