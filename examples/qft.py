"""The quantum Fourier transform, built from Hadamard and controlled phase gates.

On n qubits the transform maps the amplitude vector a to b with

    b[k] = 1/sqrt(N) * sum_j a[j] * exp(2*pi*i * j*k / N),   N = 2**n,

which is numpy.fft.ifft(a) * sqrt(N). The circuit needs only single-qubit gates, some under
one control:

    for q = n-1 down to 0:   Hadamard on q, then for every lower qubit c a phase of
                             pi / 2**(q - c) on q, controlled by c;
    finally                  reverse the order of the qubits (each swap is three
                             controlled NOTs).

A phase gate is QGate([[1, 0], [0, exp(i*theta)]]). The phases shrink quickly with the distance
q - c; the approximate transform leaves out those below a cut-off, saving most of the gates
on large registers at a small cost in accuracy.

Qubit 0 is the least significant bit of the amplitude index, as numpy's index.

Run:  python examples/qft.py
"""

from __future__ import annotations

import cmath
import math
import sys

import numpy as np
import numpy.typing as npt

import korvel

QUBITS = 8
H = math.sqrt(0.5)
HADAMARD = korvel.QGate([[H, H], [H, -H]])
NOT = korvel.QGate([[0, 1], [1, 0]])


def phase_gate(theta: float) -> korvel.QGate:
    return korvel.QGate([[1, 0], [0, cmath.exp(1j * theta)]])


def swap(register: korvel.Register, a: int, b: int) -> None:
    register.apply_gate(NOT, [b], [a])
    register.apply_gate(NOT, [a], [b])
    register.apply_gate(NOT, [b], [a])


def qft(register: korvel.Register, qubits: int, max_distance: int | None = None) -> int:
    """Applies the transform and returns the number of gates used.

    max_distance: keep only the controlled phases between qubits at most this far apart
    (None keeps them all: the exact transform)."""
    gates = 0
    for target in reversed(range(qubits)):
        register.apply_gate(HADAMARD, [target], [])
        gates += 1
        for control in reversed(range(target)):
            distance = target - control
            if max_distance is not None and distance > max_distance:
                continue
            register.apply_gate(phase_gate(math.pi / 2**distance), [target], [control])
            gates += 1
    for low in range(qubits // 2):
        swap(register, low, qubits - 1 - low)
        gates += 3
    return gates


def prepare(register: korvel.Register, angles: list[tuple[float, float]]) -> None:
    """Puts qubit q into cos(a)|0> + exp(i*b) sin(a)|1>, with (a, b) = angles[q]."""
    for qubit, (a, b) in enumerate(angles):
        c, s, phase = math.cos(a), math.sin(a), cmath.exp(1j * b)
        # The first column is the state wanted; the second completes a unitary.
        register.apply_gate(korvel.QGate([[c, -s], [phase * s, phase * c]]), [qubit], [])


def product_state(angles: list[tuple[float, float]]) -> npt.NDArray[np.complex128]:
    state = np.ones(1, dtype=np.complex128)
    for a, b in angles:
        # Qubit q is bit q of the index: later qubits are the more significant factor.
        state = np.kron(np.array([math.cos(a), cmath.exp(1j * b) * math.sin(a)]), state)
    return state


def fourier_probabilities(state: npt.NDArray[np.complex128]) -> npt.NDArray[np.float64]:
    transformed = np.fft.ifft(state) * math.sqrt(state.size)
    probabilities: npt.NDArray[np.float64] = np.abs(transformed) ** 2
    return probabilities


def main() -> int:
    size = 2**QUBITS
    failures = 0

    # 1. A basis state |x>: its transform has the same magnitude 1/N everywhere.
    x = 0b10110010
    register = korvel.Register(QUBITS)
    register.apply_gate(NOT, [q for q in range(QUBITS) if x >> q & 1], [])
    gates = qft(register, QUBITS)
    basis = np.zeros(size, dtype=np.complex128)
    basis[x] = 1
    error = float(np.max(np.abs(np.array(register.probabilities()) - fourier_probabilities(basis))))
    print(f"basis state |{x}> on {QUBITS} qubits, {gates} gates: largest difference from numpy.fft {error:.1e}")
    failures += error > 1e-12

    # 2. A state whose phases matter: each qubit rotated by its own angle and phase. A wrong
    #    sign, a wrong phase or a wrong qubit order shows up in the probabilities here.
    angles = [(0.3 + 0.17 * q, 0.5 - 0.31 * q) for q in range(QUBITS)]
    expected = fourier_probabilities(product_state(angles))
    register = korvel.Register(QUBITS)
    prepare(register, angles)
    gates = qft(register, QUBITS)
    error = float(np.max(np.abs(np.array(register.probabilities()) - expected)))
    print(f"rotated product state, {gates} gates: largest difference from numpy.fft {error:.1e}")
    failures += error > 1e-12

    # 3. The approximate transform on the same state: fewer gates, a small known error.
    for max_distance in (1, 2, 3, 4):
        register = korvel.Register(QUBITS)
        prepare(register, angles)
        gates = qft(register, QUBITS, max_distance)
        error = float(np.max(np.abs(np.array(register.probabilities()) - expected)))
        print(f"approximate, phases up to distance {max_distance}: {gates} gates, largest difference {error:.1e}")

    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
