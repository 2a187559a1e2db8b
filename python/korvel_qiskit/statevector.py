"""The final state of a circuit of gates, as Qiskit's Statevector gives it, from the runner."""

from __future__ import annotations

import numpy as np
from numpy.typing import NDArray
from qiskit.circuit import QuantumCircuit

from .lowering import lower, unbound_parameters_error


def statevector(circuit: QuantumCircuit, *, fusion: bool = True) -> NDArray[np.complex128]:
    """The 2**n amplitudes of `circuit` applied to |0...0>, global phase included, in Qiskit's
    qubit order (amplitude k: qubit q holds bit q of k): what `Statevector(circuit).data` gives.

    The circuit must have no measurements, resets or conditions, and every parameter bound.
    """
    import korvel_runner

    if not isinstance(circuit, QuantumCircuit):
        raise TypeError(f"expected a QuantumCircuit, got {type(circuit).__name__}")
    if circuit.parameters:
        raise unbound_parameters_error(circuit)
    lowered = lower(circuit, fuse=fusion)
    if not lowered.is_unitary:
        raise ValueError(f"circuit '{circuit.name}' measures, resets or branches; statevector() "
                         "takes circuits of gates only")
    amplitudes = np.asarray(
        korvel_runner.simulate(lowered.num_qubits, lowered.program(), fusion=fusion).amplitudes())
    phase = float(lowered.phases()[0])
    if phase != 0.0:
        amplitudes *= np.exp(1j * phase)
    if lowered.num_qubits == circuit.num_qubits:
        return amplitudes
    # Qubits no instruction touches were left out of the simulation: they stay |0>, so each
    # simulated amplitude goes to the full index with those bits clear.
    full_index = np.zeros(amplitudes.size, dtype=np.int64)
    simulated = np.arange(amplitudes.size, dtype=np.int64)
    for qubit, slot in enumerate(lowered.qubit_slots):
        if slot >= 0:
            full_index |= ((simulated >> slot) & 1) << qubit
    out = np.zeros(1 << circuit.num_qubits, dtype=np.complex128)
    out[full_index] = amplitudes
    return out


__all__ = ["statevector"]
