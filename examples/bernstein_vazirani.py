"""The Bernstein-Vazirani algorithm: find a hidden bit string with a single query.

An oracle computes f(x) = s . x (mod 2) for a secret string s of n bits. Classically n
queries are needed to learn s; the quantum circuit needs one:

    1. the answer qubit (qubit n) is put into |-> with a NOT and a Hadamard gate;
    2. Hadamard gates put the n input qubits into an even superposition;
    3. the oracle: for every bit of s that is 1, a NOT on the answer qubit controlled by that
       input qubit (it flips the sign of every basis state with f(x) = 1);
    4. Hadamard gates on the inputs again; the inputs now hold exactly s.

Run:  python examples/bernstein_vazirani.py
"""

from __future__ import annotations

import math
import sys

import korvel

H = math.sqrt(0.5)
HADAMARD = korvel.QGate([[H, H], [H, -H]])
NOT = korvel.QGate([[0, 1], [1, 0]])


def find_secret(secret: int, bits: int) -> int:
    register = korvel.Register(bits + 1)
    inputs = list(range(bits))
    answer = bits

    register.apply_gate(NOT, [answer], [])
    register.apply_gate(HADAMARD, [answer], [])
    register.apply_gate(HADAMARD, inputs, [])
    for qubit in inputs:
        if secret >> qubit & 1:
            register.apply_gate(NOT, [answer], [qubit])
    register.apply_gate(HADAMARD, inputs, [])

    # The answer qubit is left in |-> and reads 0 or 1 at random: keep the input bits only.
    return register.measure_all() & ((1 << bits) - 1)


def main() -> int:
    bits = 10
    failures = 0
    for secret in (0b0000000000, 0b1011001110, 0b1111111111, 0b0000000001, 0b1000000000):
        found = find_secret(secret, bits)
        verdict = "ok" if found == secret else "WRONG"
        failures += found != secret
        print(f"secret {secret:0{bits}b}  found {found:0{bits}b}  {verdict}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
