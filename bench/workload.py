"""What every simulator is asked to do: the same dense single-qubit unitary, the same targets,
the same thread count and the same repetition budget."""

import cmath
import math

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
