"""Every standard Qiskit gate, with every control state, against Statevector.

Each gate acts on a generic state of its qubits plus a spectator, laid out in a shuffled
order, and runs on both roads through the lowering: on its own (the walker meets the gate
itself) and beside a swap (the whole circuit goes through Qiskit's transpiler first). A gate
with parameters runs bound and also as a template whose matrices are recomputed per binding.
States agree exactly, global phase included, with fusion on and off.
"""

from __future__ import annotations

import warnings

import pytest

pytest.importorskip("qiskit")
warnings.filterwarnings("ignore", category=DeprecationWarning)

import numpy as np  # noqa: E402
from qiskit import QuantumCircuit  # noqa: E402
from qiskit.circuit import ControlledGate, Gate, Parameter  # noqa: E402
from qiskit.circuit.library import (  # noqa: E402
    C3XGate,
    C4XGate,
    MCPhaseGate,
    MCU1Gate,
    MCXGate,
    get_standard_gate_name_mapping,
)
from qiskit.quantum_info import Statevector  # noqa: E402

import korvel_runner  # noqa: E402
from korvel_qiskit import lower, statevector  # noqa: E402

ANGLES = (0.7, -1.3, 2.1, 0.4)
_STANDARD = {name: gate for name, gate in get_standard_gate_name_mapping().items()
             if isinstance(gate, Gate)}
assert len(_STANDARD) == 51


def _cases():
    """name -> (parameter count, a function from parameters to the gate)."""
    for name, gate in sorted(_STANDARD.items()):
        kind, count = gate.base_class, len(gate.params)
        if isinstance(gate, ControlledGate):
            for state in range(1 << gate.num_ctrl_qubits):
                yield f"{name}_ctrl{state}", count, (
                    lambda p, kind=kind, state=state: kind(*p, ctrl_state=state))
        else:
            yield name, count, lambda p, kind=kind: kind(*p)
        if gate.num_qubits == 1 and name != "id":
            for controls in (1, 2):
                for state in range(1 << controls):
                    yield f"{name}_controlled{controls}_ctrl{state}", count, (
                        lambda p, kind=kind, k=controls, state=state:
                            kind(*p).control(k, ctrl_state=state, annotated=False))
    for controls in (3, 4):
        for state in (0, 5, (1 << controls) - 1):
            yield f"mcx{controls}_ctrl{state}", 0, (
                lambda p, k=controls, state=state: MCXGate(k, ctrl_state=state))
            for kind in (MCPhaseGate, MCU1Gate):
                yield f"{kind.__name__}{controls}_ctrl{state}", 1, (
                    lambda p, kind=kind, k=controls, state=state: kind(*p, k, ctrl_state=state))
    for kind, controls in ((C3XGate, 3), (C4XGate, 4)):
        for state in range(1 << controls):
            yield f"{kind.__name__}_ctrl{state}", 0, (
                lambda p, kind=kind, state=state: kind(ctrl_state=state))


CASES = {name: (count, make) for name, count, make in _cases()}


def _circuit(gate: Gate, through_transpiler: bool) -> QuantumCircuit:
    width = max(gate.num_qubits + 1, 2)
    circuit = QuantumCircuit(width)
    rng = np.random.default_rng(width)
    for q in range(width):
        circuit.u(*rng.uniform(0, 2 * np.pi, 3), q)
    for q in range(width - 1):
        circuit.cx(q, q + 1)
    order = [int(q) for q in rng.permutation(width)][:gate.num_qubits]
    circuit.append(gate, order)
    if through_transpiler:
        circuit.swap(0, width - 1)
    return circuit


def _assert_same_state(ours, circuit):
    np.testing.assert_allclose(ours, Statevector(circuit).data, rtol=0, atol=1e-12)


@pytest.mark.parametrize("fusion", [False, True], ids=["exact", "fused"])
@pytest.mark.parametrize("through_transpiler", [False, True], ids=["walked", "transpiled"])
@pytest.mark.parametrize("name", sorted(CASES))
def test_gate_matches_statevector(name, through_transpiler, fusion):
    count, make = CASES[name]
    gate = make(ANGLES[:count])
    circuit = _circuit(gate, through_transpiler)
    _assert_same_state(statevector(circuit, fusion=fusion), circuit)


@pytest.mark.parametrize("name", sorted(n for n, (count, _) in CASES.items() if count))
def test_parametric_gate_matches_statevector_per_binding(name):
    count, make = CASES[name]
    template = _circuit(make([Parameter(f"a{i}") for i in range(count)]),
                        through_transpiler=False)
    lowered = lower(template)
    values = np.array([ANGLES[:count], [-a / 3 for a in ANGLES[:count]]])
    for row, fields in zip(values, lowered.matrix_fields(values)):
        amplitudes = korvel_runner.simulate(lowered.num_qubits,
                                            lowered.program(fields)).amplitudes()
        amplitudes *= np.exp(1j * lowered.phases(row)[0])
        _assert_same_state(amplitudes, template.assign_parameters(row))
