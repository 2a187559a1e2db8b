"""Circuits from Qiskit's library and its random generator that the differential tests run.

Each entry is built on demand from a fixed seed. `UNITARY` circuits end without measuring
(the tests compare states and probabilities); `MEASURED` circuits measure, reset or branch
(the tests compare counts); `PARAMETRIC` circuits come with parameter values.
"""

from __future__ import annotations

from typing import Callable, Dict, Tuple

import numpy as np
from qiskit import ClassicalRegister, QuantumCircuit, QuantumRegister
from qiskit.circuit.library import (
    C3SXGate,
    CUGate,
    MCPhaseGate,
    MCXGate,
    QFTGate,
    UnitaryGate,
    efficient_su2,
    grover_operator,
    phase_estimation,
    quantum_volume,
    real_amplitudes,
)
from qiskit.circuit.random import random_circuit
from qiskit.quantum_info import random_unitary


def _spread(n: int, seed: int) -> QuantumCircuit:
    """A layer of random one-qubit rotations, so later gates act on a generic state."""
    rng = np.random.default_rng(seed)
    circuit = QuantumCircuit(n)
    for q in range(n):
        circuit.u(*rng.uniform(0, 2 * np.pi, 3), q)
    return circuit


def qft(n: int) -> QuantumCircuit:
    circuit = _spread(n, n)
    circuit.append(QFTGate(n), range(n))
    return circuit


def grover(n: int) -> QuantumCircuit:
    # Marks the basis state 1011 (and its extension by zeros): open controls select it.
    marked = 0b1011
    oracle = QuantumCircuit(n)
    oracle.x(n - 1)
    oracle.append(MCPhaseGate(np.pi, n - 1, ctrl_state=marked), range(n))
    oracle.x(n - 1)
    circuit = QuantumCircuit(n)
    circuit.h(range(n))
    step = grover_operator(oracle)
    for _ in range(2):
        circuit.compose(step, inplace=True)
    return circuit


def qpe(n: int) -> QuantumCircuit:
    unitary = UnitaryGate(random_unitary(4, seed=7))
    circuit = QuantumCircuit(n + 2)
    circuit.h(n)
    circuit.t(n + 1)
    circuit.compose(phase_estimation(n, unitary), range(n + 2), inplace=True)
    return circuit


def controls(n: int) -> QuantumCircuit:
    """Multi-controlled X and phase gates with open controls, and their relatives.

    The swap and the unitaries below send the whole circuit through Qiskit's transpiler, so the
    lowering never meets these gates as written (an open-controlled `cu` once lost its phase
    unseen here); test_qiskit_gates.py runs each gate on both roads.
    """
    circuit = _spread(n, 11)
    circuit.append(MCXGate(n - 1, ctrl_state=0b0101 % (1 << (n - 1))), range(n))
    circuit.append(MCPhaseGate(0.7, n - 2, ctrl_state=1), [n - 1, *range(n - 2)])
    circuit.append(MCXGate(3, ctrl_state="010"), [4, 0, 2, 1])
    circuit.append(CUGate(0.4, 1.1, -0.3, 0.9, ctrl_state=0), [2, 3])
    circuit.append(C3SXGate(), [0, 1, 2, 3])
    circuit.append(UnitaryGate(random_unitary(2, seed=3)).control(2, ctrl_state=2), [1, 4, 0])
    circuit.ccz(0, 3, 4)
    circuit.swap(1, 4)
    circuit.rzz(0.3, 0, 2)
    circuit.rxx(1.3, 3, 1)
    circuit.append(UnitaryGate(random_unitary(8, seed=5)), [4, 1, 2])
    return circuit


UNITARY: Dict[str, Callable[[], QuantumCircuit]] = {
    "qft_7": lambda: qft(7),
    "quantum_volume_6": lambda: quantum_volume(6, seed=13),
    "quantum_volume_5_depth_8": lambda: quantum_volume(5, depth=8, seed=2),
    "random_7_depth_12": lambda: random_circuit(7, 12, max_operands=3, seed=21),
    "random_5_depth_20": lambda: random_circuit(5, 20, max_operands=4, seed=5),
    "grover_5": lambda: grover(5),
    "phase_estimation_4": lambda: qpe(4),
    "open_controls_6": lambda: controls(6),
}

MEASURED: Dict[str, Callable[[], QuantumCircuit]] = {
    "random_measure_reset_if_else_5": lambda: random_circuit(
        5, 8, max_operands=3, measure=True, conditional=True, reset=True, seed=8),
    "random_measure_reset_if_else_6": lambda: random_circuit(
        6, 10, max_operands=2, measure=True, conditional=True, reset=True, seed=31),
    "random_final_measure_6": lambda: random_circuit(6, 10, max_operands=3, measure=True,
                                                     seed=4),
    "qft_measured_6": lambda: _measured(qft(6)),
    "grover_measured_5": lambda: _measured(grover(5)),
    "teleportation": lambda: teleportation(),
    "registers_out_of_order": lambda: registers_out_of_order(),
}


def _measured(circuit: QuantumCircuit) -> QuantumCircuit:
    circuit = circuit.copy()
    circuit.measure_all()
    return circuit


def teleportation() -> QuantumCircuit:
    """Mid-circuit measurement, conditions on single bits and a register, an else branch."""
    q = QuantumRegister(3, "q")
    alice = ClassicalRegister(2, "alice")
    bob = ClassicalRegister(1, "bob")
    circuit = QuantumCircuit(q, alice, bob)
    circuit.u(0.9, 0.4, -0.2, 0)
    circuit.h(1)
    circuit.cx(1, 2)
    circuit.cx(0, 1)
    circuit.h(0)
    circuit.measure(0, alice[0])
    circuit.measure(1, alice[1])
    with circuit.if_test((alice[1], 1)):
        circuit.x(2)
    with circuit.if_test((alice[0], 1)):
        circuit.z(2)
    with circuit.if_test((alice, 2)) as otherwise:
        circuit.h(0)
    with otherwise:
        circuit.reset(0)
        circuit.ry(0.3, 0)
    circuit.measure(2, bob[0])
    return circuit


def registers_out_of_order() -> QuantumCircuit:
    """Registers measured in a shuffled order, one bit left unwritten, one written twice."""
    q = QuantumRegister(4, "q")
    first = ClassicalRegister(3, "first")
    second = ClassicalRegister(2, "second")
    circuit = QuantumCircuit(q, first, second)
    circuit.compose(_spread(4, 3), inplace=True)
    circuit.cx(0, 3)
    circuit.measure(3, second[0])
    circuit.measure(0, first[2])
    circuit.measure(2, first[0])
    circuit.measure(1, second[0])
    return circuit


def parametric() -> Dict[str, Tuple[QuantumCircuit, np.ndarray]]:
    rng = np.random.default_rng(17)
    su2 = efficient_su2(5, reps=2)
    ra = real_amplitudes(4, reps=3, entanglement="full")
    # Controlled and two-qubit rotations of expressions, recomputed per binding.
    mixed = QuantumCircuit(3)
    theta, phi = su2.parameters[0], su2.parameters[1]
    mixed.h([0, 1, 2])
    mixed.crx(2 * theta + 0.1, 0, 1)
    mixed.cp(phi - theta, 1, 2)
    mixed.cu(theta, phi, 0.3, theta * 0.5, 2, 0)
    mixed.rzz(phi, 0, 2)
    mixed.ry(theta * phi, 1)  # not affine: bound binding by binding
    mixed.append(MCPhaseGate(phi, 2, ctrl_state=2), [0, 1, 2])
    return {
        "efficient_su2_5": (su2, rng.uniform(-np.pi, np.pi, (2, 3, su2.num_parameters))),
        "real_amplitudes_4": (ra, rng.uniform(-np.pi, np.pi, (4, ra.num_parameters))),
        "expressions_3": (mixed, rng.uniform(-np.pi, np.pi, (3, 2))),
    }
