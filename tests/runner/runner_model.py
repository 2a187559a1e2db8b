"""Programs for korvel_runner built from plain descriptions, and small independent NumPy models
of what they must do: the final amplitudes of gate programs, Pauli expectation values from dense
matrices, and the exact distribution of classical words of programs with measurements, resets
and conditions (by following every branch)."""

import cmath
import math

import numpy as np

STEP_DTYPE = np.dtype(
    [
        ("kind", "<u4"),
        ("target", "<u4"),
        ("controls", "<u8"),
        ("cond_mask", "<u8"),
        ("cond_value", "<u8"),
        ("clbit", "<u4"),
        ("reserved", "<u4"),
        ("matrix", "<f8", (8,)),
    ]
)
GATE, MEASURE, RESET = 0, 1, 2
SQRT_HALF = 0.7071067811865476
HADAMARD = [[SQRT_HALF, SQRT_HALF], [SQRT_HALF, -SQRT_HALF]]
PAULI_X = [[0, 1], [1, 0]]


def gate(target, matrix, controls=(), cond=(0, 0)):
    return ("gate", target, [list(map(complex, row)) for row in matrix], tuple(controls), cond)


def measure(target, clbit, cond=(0, 0)):
    return ("measure", target, clbit, cond)


def reset(target, cond=(0, 0)):
    return ("reset", target, cond)


def program(steps):
    """The structured array of records for a list of gate/measure/reset descriptions."""
    records = np.zeros(len(steps), STEP_DTYPE)
    for record, step in zip(records, steps):
        record["cond_mask"], record["cond_value"] = step[-1]
        record["target"] = step[1]
        if step[0] == "gate":
            record["kind"] = GATE
            record["controls"] = sum(1 << c for c in step[3])
            record["matrix"] = np.array(step[2], np.complex128).reshape(4).view(np.float64)
        elif step[0] == "measure":
            record["kind"] = MEASURE
            record["clbit"] = step[2]
        else:
            record["kind"] = RESET
    return records


def euler_gate(rng):
    """e^{ia} Rz(b) Ry(c) Rz(d): a dense unitary with every entry non-zero."""
    a, b, c, d = (rng.uniform(-math.pi, math.pi) for _ in range(4))
    phase, cos, sin = cmath.exp(1j * a), math.cos(c / 2), math.sin(c / 2)
    plus, minus = cmath.exp(0.5j * (b + d)), cmath.exp(0.5j * (b - d))
    return [[phase / plus * cos, -phase / minus * sin], [phase * minus * sin, phase * plus * cos]]


def apply_to_vector(psi, n, step):
    """One gate description applied to a NumPy state vector (qubit q = bit q of the index)."""
    _, target, matrix, controls, _ = step
    psi = psi.reshape([2] * n)  # axis n-1-q is qubit q
    m = np.array(matrix, np.complex128)
    index = [slice(None)] * n
    for c in controls:
        index[n - 1 - c] = 1
    sub = psi[tuple(index)]
    axis = n - 1 - target - sum(1 for c in controls if c > target)
    moved = np.moveaxis(sub, axis, 0)
    updated = np.tensordot(m, moved, axes=(1, 0))
    psi[tuple(index)] = np.moveaxis(updated, 0, axis)
    return psi.reshape(-1)


def final_amplitudes(n, steps):
    psi = np.zeros(2**n, np.complex128)
    psi[0] = 1.0
    for step in steps:
        psi = apply_to_vector(psi.copy(), n, step)
    return psi


PAULI_MATRICES = {
    (0, 0): np.eye(2),
    (1, 0): np.array([[0, 1], [1, 0]], complex),
    (0, 1): np.array([[1, 0], [0, -1]], complex),
    (1, 1): np.array([[0, -1j], [1j, 0]], complex),
}


def pauli_expectation(psi, n, x, z):
    """<psi|P|psi> with P the Kronecker product of X, Y, Z or I per qubit (qubit 0 rightmost)."""
    matrix = np.eye(1)
    for q in reversed(range(n)):
        matrix = np.kron(matrix, PAULI_MATRICES[((x >> q) & 1, (z >> q) & 1)])
    return np.vdot(psi, matrix @ psi).real


def word_distribution(n, steps):
    """Exact probabilities of the classical words a program leaves, following every branch of
    every measurement and reset. Returns {word: probability}."""
    distribution = {}
    psi = np.zeros(2**n, np.complex128)
    psi[0] = 1.0
    pending = [(psi, 0, 0, 1.0)]  # state, next step, classical word, branch probability
    while pending:
        psi, at, word, weight = pending.pop()
        if weight == 0.0:
            continue
        if at == len(steps):
            distribution[word] = distribution.get(word, 0.0) + weight
            continue
        step = steps[at]
        mask, value = step[-1]
        if (word & mask) != value:
            pending.append((psi, at + 1, word, weight))
            continue
        if step[0] == "gate":
            pending.append((apply_to_vector(psi.copy(), n, step), at + 1, word, weight))
            continue
        target = step[1]
        bit = (np.arange(2**n) >> target) & 1
        for outcome in (0, 1):
            kept = np.where(bit == outcome, psi, 0)
            p = np.vdot(kept, kept).real
            if p <= 1e-15:
                continue
            kept = kept / math.sqrt(p)
            new_word = word
            if step[0] == "measure":
                clbit = step[2]
                new_word = (word & ~(1 << clbit)) | (outcome << clbit)
            elif outcome == 1:
                kept = apply_to_vector(kept, n, gate(target, PAULI_X))
            pending.append((kept, at + 1, new_word, weight * p))
    return distribution


def within_bounds(observed, expected, shots, sigmas=6.0):
    """Every outcome's count within `sigmas` binomial standard deviations (plus one) of its
    expectation, and nothing outside the expected support. Returns the list of violations."""
    problems = []
    for outcome, count in observed.items():
        if expected.get(outcome, 0.0) == 0.0:
            problems.append(f"outcome {outcome} drawn {count} times but has probability 0")
    for outcome, p in expected.items():
        mean = shots * p
        spread = sigmas * math.sqrt(shots * p * max(0.0, 1 - p)) + 1
        count = observed.get(outcome, 0)
        if abs(count - mean) > spread:
            problems.append(f"outcome {outcome}: {count} draws, expected {mean:.1f} ± {spread:.1f}")
    return problems


def run_script(code, env=None, timeout=300):
    """Runs code in a fresh interpreter that can import this module, with extra environment
    variables; returns the CompletedProcess (text output)."""
    import os
    import subprocess
    import sys
    import textwrap

    environment = dict(os.environ)
    environment.update(env or {})
    here = os.path.dirname(os.path.abspath(__file__))
    environment["PYTHONPATH"] = os.pathsep.join(filter(None, [here, environment.get("PYTHONPATH")]))
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=environment,
    )
