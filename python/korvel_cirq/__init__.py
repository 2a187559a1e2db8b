"""Cirq on korvel: a simulator for Cirq circuits on korvel's circuit runner, exact in complex128.

    from korvel_cirq import KorvelSimulator

    simulator = KorvelSimulator(seed=1)
    state = simulator.simulate(circuit).final_state_vector
    counts = simulator.run(circuit, repetitions=10_000).histogram(key="m")
    values = simulator.simulate_expectation_values(circuit, cirq.Z(q0) * cirq.Z(q1))
"""

from __future__ import annotations

from korvel_programs import __version__

from .lowering import LoweredCircuit, UnsupportedOperations, lower
from .simulator import KorvelSimulator

__all__ = ["KorvelSimulator", "LoweredCircuit", "UnsupportedOperations", "lower", "__version__"]
