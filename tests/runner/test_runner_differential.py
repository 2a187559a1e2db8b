"""korvel_runner against the korvel module and against NumPy models: random gate programs on 1 to
10 qubits (targets and controls low and high, 0 to 3 controls) give probabilities equal bit for
bit to korvel.Register's after the same apply_gate calls, amplitudes within 1e-12 of a NumPy
model, and Pauli expectation values within 1e-12 of dense matrices."""

import random

import numpy as np
import pytest

import korvel
import korvel_runner
from runner_model import HADAMARD, PAULI_X, euler_gate, final_amplitudes, gate, pauli_expectation, program

PROGRAMS_PER_SIZE = 12
FIXED_GATES = [PAULI_X, HADAMARD, [[1, 0], [0, 1j]], [[0, -1j], [1j, 0]]]


def random_qubit(rng, n):
    """Low and high qubits alike: half the draws from each end of the register."""
    return rng.randrange(min(n, 3)) if rng.random() < 0.5 else n - 1 - rng.randrange(min(n, 3))


def accepted_gate(rng):
    """A matrix korvel.QGate accepts (its unitarity test refuses some rounded products)."""
    while True:
        matrix = rng.choice(FIXED_GATES) if rng.random() < 0.2 else euler_gate(rng)
        try:
            return matrix, korvel.QGate(matrix)
        except BaseException:  # noqa: B036 - korvel refuses with PanicException
            continue


def random_gate_program(rng, n):
    steps, korvel_calls = [], []
    for _ in range(rng.randint(0, 3 * n + 2)):
        target = random_qubit(rng, n)
        others = [q for q in range(n) if q != target]
        controls = rng.sample(others, rng.randint(0, min(3, len(others))))
        if rng.random() < 0.5 and others:
            controls = [max(others)] if rng.random() < 0.5 else [min(others)]
        matrix, qgate = accepted_gate(rng)
        steps.append(gate(target, matrix, controls))
        korvel_calls.append((qgate, target, controls))
    return steps, korvel_calls


@pytest.mark.parametrize("n", range(1, 11))
def test_gate_programs_match_the_module_and_a_numpy_model(n):
    rng = random.Random(1000 + n)
    for _ in range(PROGRAMS_PER_SIZE):
        steps, calls = random_gate_program(rng, n)
        register = korvel.Register(n)
        for qgate, target, controls in calls:
            register.apply_gate(qgate, [target], controls)
        # Half the programs run in two parts: State.run continues where simulate stopped.
        split = rng.randint(0, len(steps)) if rng.random() < 0.5 else len(steps)
        state = korvel_runner.simulate(n, program(steps[:split]))
        state.run(program(steps[split:]))

        probabilities = state.probabilities()
        assert probabilities.dtype == np.float64 and probabilities.shape == (2**n,)
        assert np.array_equal(probabilities, np.array(register.probabilities(), np.float64))
        amplitudes = state.amplitudes()
        assert amplitudes.dtype == np.complex128
        np.testing.assert_allclose(amplitudes, final_amplitudes(n, steps), rtol=0, atol=1e-12)


def random_pauli(rng, n):
    x, z = rng.getrandbits(n), rng.getrandbits(n)
    if rng.random() < 0.25:
        x = 0
    return x, z


@pytest.mark.parametrize("n", [1, 2, 3, 5, 7])
def test_pauli_expectation_values_match_dense_matrices(n):
    rng = random.Random(77 + n)
    steps = [gate(random_qubit(rng, n), euler_gate(rng), rng.sample(range(n), 0)) for _ in range(4 * n)]
    steps += [gate(q, euler_gate(rng), [c for c in [q - 1] if c >= 0]) for q in range(n)]
    # A non-unitary gate: the values are not divided by <psi|psi>.
    steps.append(gate(0, [[1.5, 0.25j], [0, 0.75]]))
    psi = final_amplitudes(n, steps)
    paulis = [random_pauli(rng, n) for _ in range(40)] + [(0, 0), (2**n - 1, 2**n - 1)]
    xs = np.array([x for x, _ in paulis], np.uint64)
    zs = np.array([z for _, z in paulis], np.uint64)
    values = korvel_runner.simulate(n, program(steps)).expectation_values(xs, zs)
    expected = [pauli_expectation(psi, n, x, z) for x, z in paulis]
    np.testing.assert_allclose(values, expected, rtol=0, atol=1e-12)
    # Signed masks and plain lists are read alike, and the reduction is deterministic.
    state = korvel_runner.simulate(n, program(steps))
    assert np.array_equal(state.expectation_values(xs.astype(np.int64), [int(z) for z in zs]), values)


def test_expectation_values_of_a_large_state_are_deterministic():
    """At 16 qubits each value is reduced over the pool; the split does not depend on scheduling."""
    rng = random.Random(5)
    steps = [gate(q, euler_gate(rng)) for q in range(16)] + [gate(15, euler_gate(rng), [0, 7])]
    state = korvel_runner.simulate(16, program(steps))
    xs = np.array([0, 1, 2**15, 2**16 - 1, 0x5555], np.uint64)
    zs = np.array([2**16 - 1, 0, 2**15 + 1, 0x00FF, 0xAAAA], np.uint64)
    first = state.expectation_values(xs, zs)
    assert all(np.array_equal(state.expectation_values(xs, zs), first) for _ in range(5))
    psi = final_amplitudes(16, steps)
    np.testing.assert_allclose(first, [pauli_by_bits(psi, x, z) for x, z in zip(xs.tolist(), zs.tolist())],
                               rtol=0, atol=1e-12)


def pauli_by_bits(psi, x, z):
    """<psi|P|psi> from P|k> = i^popcount(x & z) (-1)^popcount(k & z) |k ^ x>."""
    k = np.arange(psi.size)
    signs = 1 - 2 * (np.vectorize(lambda v: bin(v).count("1"))(k & z) & 1)
    image = np.zeros_like(psi)
    image[k ^ x] = 1j ** bin(x & z).count("1") * signs * psi
    return np.vdot(psi, image).real
