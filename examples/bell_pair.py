"""A Bell pair, sampled many times.

A Hadamard gate on qubit 0 and then a NOT on qubit 1 controlled by qubit 0 entangle the two
qubits: every sample reads 00 or 11, each about half of the time, never 01 or 10.

Run:  python examples/bell_pair.py
"""

from __future__ import annotations

import math
import sys
from collections import Counter

import korvel

SHOTS = 2000

H = math.sqrt(0.5)
HADAMARD = korvel.QGate([[H, H], [H, -H]])
NOT = korvel.QGate([[0, 1], [1, 0]])


def bell_pair() -> korvel.Register:
    register = korvel.Register(2)
    register.apply_gate(HADAMARD, [0], [])
    register.apply_gate(NOT, [1], [0])
    return register


def histogram(counts: Counter[int], qubits: int, shots: int) -> str:
    # Labels are written with the highest qubit on the left, as binary numbers are, so the
    # label of an outcome is the outcome's index in base 2.
    lines = []
    for outcome in range(2**qubits):
        count = counts[outcome]
        bar = "#" * round(40 * count / shots)
        lines.append(f"  |{outcome:0{qubits}b}>  {count:5d}  {bar}")
    return "\n".join(lines)


def main() -> int:
    register = bell_pair()
    print("probabilities of |00>, |01>, |10>, |11>:", register.probabilities())

    # measure_all() draws an outcome and leaves the state as it was, so one register serves
    # every shot.
    counts = Counter(register.measure_all() for _ in range(SHOTS))
    print(f"\nmeasure_all(), {SHOTS} shots:")
    print(histogram(counts, 2, SHOTS))

    # measure(q) collapses the state: once qubit 0 is read, qubit 1 always agrees with it.
    agreements = 0
    for _ in range(200):
        fresh = bell_pair()
        agreements += fresh.measure(0) == fresh.measure(1)
    print(f"\nmeasure(0) then measure(1) on 200 fresh pairs: {agreements} agreed")

    if set(counts) - {0b00, 0b11} or agreements != 200:
        print("unexpected outcome: the two qubits disagreed", file=sys.stderr)
        return 1
    if not (0.4 < counts[0b00] / SHOTS < 0.6):
        print("|00> and |11> are far from equally likely", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
