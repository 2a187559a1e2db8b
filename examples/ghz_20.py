"""A GHZ state on 20 qubits: (|00...0> + |11...1>) / sqrt(2).

One Hadamard gate and one controlled NOT per further qubit. The register holds 2**20
amplitudes (16 MiB); each gate is one pass over them on the worker pool.

Run:  python examples/ghz_20.py
"""

from __future__ import annotations

import math
import sys
import time

import korvel

QUBITS = 20
SHOTS = 200

H = math.sqrt(0.5)
HADAMARD = korvel.QGate([[H, H], [H, -H]])
NOT = korvel.QGate([[0, 1], [1, 0]])


def ghz(qubits: int) -> korvel.Register:
    register = korvel.Register(qubits)
    register.apply_gate(HADAMARD, [0], [])
    # The gate is applied to each target in turn, every time under the control of qubit 0.
    register.apply_gate(NOT, list(range(1, qubits)), [0])
    return register


def main() -> int:
    started = time.perf_counter()
    register = ghz(QUBITS)
    built = time.perf_counter()

    probabilities = register.probabilities()
    all_ones = 2**QUBITS - 1
    elsewhere = sum(probabilities[1:all_ones])
    print(f"{QUBITS} qubits, {len(probabilities)} amplitudes, built in {built - started:.3f} s")
    print(f"P(|0...0>) = {probabilities[0]!r}")
    print(f"P(|1...1>) = {probabilities[all_ones]!r}")
    print(f"P(anything else) = {elsewhere!r}")

    outcomes = [register.measure_all() for _ in range(SHOTS)]
    zeros = outcomes.count(0)
    ones = outcomes.count(all_ones)
    print(f"measure_all(), {SHOTS} shots: {zeros} x |0...0>, {ones} x |1...1>")

    # Reading one qubit decides all of them.
    seventh = register.measure(7)
    after = register.probabilities()
    survivor = all_ones if seventh else 0
    print(f"measure(7) = {seventh}; now P(|{'1' if seventh else '0'}...>) = {after[survivor]!r}")

    ok = (
        math.isclose(probabilities[0], 0.5, rel_tol=1e-12)
        and math.isclose(probabilities[all_ones], 0.5, rel_tol=1e-12)
        and elsewhere == 0.0
        and zeros + ones == SHOTS
        and math.isclose(after[survivor], 1.0, rel_tol=1e-12)
    )
    if not ok:
        print("the register is not in the expected GHZ state", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
