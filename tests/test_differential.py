"""Random circuits on 1 to 8 qubits, checked against an exact model of the pair arithmetic (to the
last bit) and against an established simulator (to 1e-12, which confirms qubit order and controls).

A circuit is a list of steps (matrix, targets, controls). Targets repeat; controls repeat, name the
target itself, lie between n and 63, or at 64 and above, where they count as never set. A few
circuits end with a target outside the register, which is refused after the earlier ones applied.
"""

import cmath
import functools
import math
import random

import pytest

import korvel
from support import HADAMARD_ROWS, panic_exception_type

CIRCUITS_PER_SIZE = 40
QUBIT_COUNTS = range(1, 9)
FIXED_GATES = [
    [[0, 1], [1, 0]],
    [[0, -1j], [1j, 0]],
    [[1, 0], [0, 1j]],
    HADAMARD_ROWS,
]


def euler_gate(rng):
    """e^{ia} Rz(b) Ry(c) Rz(d), evaluated in Python complex arithmetic."""
    a, b, c, d = (rng.uniform(-math.pi, math.pi) for _ in range(4))
    phase, cos, sin = cmath.exp(1j * a), math.cos(c / 2), math.sin(c / 2)
    plus, minus = cmath.exp(0.5j * (b + d)), cmath.exp(0.5j * (b - d))
    return [
        [phase / plus * cos, -phase / minus * sin],
        [phase * minus * sin, phase * plus * cos],
    ]


def accepted_gate(rng, refusal):
    while True:
        matrix = rng.choice(FIXED_GATES) if rng.random() < 0.15 else euler_gate(rng)
        try:
            return matrix, korvel.QGate(matrix)
        except refusal:
            continue


def random_control(rng, n):
    kind = rng.random()
    if kind < 0.75:
        return rng.randrange(n)
    if kind < 0.9:
        return rng.randrange(n, 64)
    return rng.choice([64, 65, 64 + rng.randrange(n), 2**31, 2**32 - 1])


def random_circuit(rng, n, refusal):
    steps = []
    for _ in range(rng.randint(1, 8)):
        matrix, gate = accepted_gate(rng, refusal)
        targets = [rng.randrange(n) for _ in range(rng.choice([0, 1, 1, 1, 2, 3]))]
        controls = [random_control(rng, n) for _ in range(rng.choice([0, 0, 1, 1, 2, 3]))]
        steps.append((matrix, gate, targets, controls))
    if rng.random() < 0.05:
        matrix, gate = accepted_gate(rng, refusal)
        steps.append((matrix, gate, [rng.randrange(n), n + rng.randrange(40)], []))
    return steps


@functools.lru_cache(maxsize=None)
def circuits(n):
    rng, refusal = random.Random(7919 * n), panic_exception_type()
    return [random_circuit(rng, n, refusal) for _ in range(CIRCUITS_PER_SIZE)]


def passes(n, targets, controls):
    """(target, control mask) of each pass that changes something, up to the first refused target."""
    for target in targets:
        if target >= n:
            return
        if all(c < n and c != target for c in controls):
            yield target, sum(1 << c for c in set(controls))


def product(x, y):
    return (x[0] * y[0] - x[1] * y[1], x[0] * y[1] + x[1] * y[0])


def pair_sum(x, y):
    return (x[0] + y[0], x[1] + y[1])


def model_probabilities(n, circuit):
    state = [(1.0, 0.0)] + [(0.0, 0.0)] * (2**n - 1)
    for matrix, _, targets, controls in circuit:
        m = [[(complex(e).real, complex(e).imag) for e in row] for row in matrix]
        for target, mask in passes(n, targets, controls):
            bit = 1 << target
            for i0 in range(2**n):
                if i0 & bit or i0 & mask != mask:
                    continue
                a0, a1 = state[i0], state[i0 | bit]
                state[i0] = pair_sum(product(m[0][0], a0), product(m[0][1], a1))
                state[i0 | bit] = pair_sum(product(m[1][0], a0), product(m[1][1], a1))
    return [re * re + im * im for re, im in state]


def run_korvel(n, circuit, PanicException):
    register = korvel.Register(n)
    for matrix, gate, targets, controls in circuit:
        refused = any(t >= n for t in targets)
        try:
            register.apply_gate(gate, targets, controls)
        except PanicException as error:
            assert refused and str(error) == "Target(s) outside qubit range"
        else:
            assert not refused
    return register.probabilities()


@pytest.mark.parametrize("n", QUBIT_COUNTS)
def test_probabilities_match_the_exact_model_bit_for_bit(n, PanicException):
    for number, circuit in enumerate(circuits(n)):
        assert run_korvel(n, circuit, PanicException) == model_probabilities(n, circuit), "circuit %d" % number


@pytest.mark.parametrize("n", QUBIT_COUNTS)
def test_probabilities_match_qulacs(n, PanicException):
    qulacs = pytest.importorskip("qulacs")
    from qulacs.gate import DenseMatrix

    for number, circuit in enumerate(circuits(n)):
        state = qulacs.QuantumState(n)
        for matrix, _, targets, controls in circuit:
            for target, mask in passes(n, targets, controls):
                gate = DenseMatrix(target, [[complex(e) for e in row] for row in matrix])
                for control in range(n):
                    if mask >> control & 1:
                        gate.add_control_qubit(control, 1)
                gate.update_quantum_state(state)
        expected = [abs(a) ** 2 for a in state.get_vector()]
        assert run_korvel(n, circuit, PanicException) == pytest.approx(expected, rel=0, abs=1e-12), "circuit %d" % number
