"""Cirq circuits on korvel: a Bell pair sampled, a parametrised ansatz swept for the energy of a
two-qubit Hamiltonian, and a teleportation with mid-circuit measurements and classical
controls, each checked against cirq.Simulator in double precision. Needs korvel[cirq]."""

import sys

import cirq
import numpy as np
import sympy  # type: ignore[import-untyped, unused-ignore]

from korvel_cirq import KorvelSimulator


def main() -> int:
    simulator = KorvelSimulator(seed=7)
    reference = cirq.Simulator(dtype=np.complex128)
    a, b, c = cirq.LineQubit.range(3)

    bell = cirq.Circuit(cirq.H(a), cirq.CNOT(a, b), cirq.measure(a, b, key="m"))
    counts = simulator.run(bell, repetitions=10_000).histogram(key="m")
    print("Bell pair, 10,000 shots:", dict(sorted(counts.items())))
    bell_ok = set(counts) == {0, 3} and abs(counts[0] - 5000) < 300

    theta = sympy.Symbol("theta")
    ansatz = cirq.Circuit(cirq.ry(theta)(a), cirq.CNOT(a, b), cirq.FSimGate(theta / 2, 0.3)(a, b))
    hamiltonian = cirq.Z(a) * cirq.Z(b) + 0.5 * cirq.X(a) + 0.25 * cirq.Y(a) * cirq.Y(b)
    sweep = cirq.Linspace("theta", -np.pi, np.pi, 41)
    energies = np.array(simulator.simulate_expectation_values_sweep(ansatz, hamiltonian, sweep))
    expected = np.array(reference.simulate_expectation_values_sweep(ansatz, hamiltonian, sweep))
    best = int(np.argmin(energies[:, 0]))
    print(f"lowest energy {energies[best, 0]:.6f} at theta = {-np.pi + best * np.pi / 20:.4f}")
    energies_ok = np.allclose(energies, expected, atol=1e-12, rtol=0)

    # Teleport ry(0.8)|0> from a to c: measure a and b, correct c by the outcomes.
    teleport = cirq.Circuit(
        cirq.ry(0.8)(a), cirq.H(b), cirq.CNOT(b, c), cirq.CNOT(a, b), cirq.H(a),
        cirq.measure(a, key="x"), cirq.measure(b, key="z"),
        cirq.X(c).with_classical_controls("z"), cirq.Z(c).with_classical_controls("x"),
        cirq.measure(c, key="c"))
    ones = simulator.run(teleport, repetitions=10_000).histogram(key="c")[1]
    print(f"teleported qubit reads 1 in {ones} of 10,000 shots (expected {10_000 * np.sin(0.4) ** 2:.0f})")
    teleport_ok = abs(ones - 10_000 * np.sin(0.4) ** 2) < 300

    state = simulator.simulate(ansatz, {"theta": 0.6}).final_state_vector
    state_ok = np.allclose(state, reference.simulate(ansatz, {"theta": 0.6}).final_state_vector,
                           atol=1e-12, rtol=0) and state.dtype == np.complex128
    if bell_ok and energies_ok and teleport_ok and state_ok:
        print("all results agree with cirq.Simulator")
        return 0
    print("MISMATCH", bell_ok, energies_ok, teleport_ok, state_ok)
    return 1


if __name__ == "__main__":
    sys.exit(main())
