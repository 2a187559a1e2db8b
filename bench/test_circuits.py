"""The benchmark circuits are the circuits they claim to be: the gate counts quoted in the
README, the same state from korvel's gates as from the peers' native gates (Qiskit's
Statevector as the oracle), and the runner bit for bit equal to the module."""

import math

import pytest

import circuits

N = 5


@pytest.mark.parametrize("name, n, gates", [("h_layers", 24, 48), ("qft", 24, 300), ("u3_cx", 24, 470),
                                             ("qv", 24, 1320), ("qv", 5, 220)])
def test_gate_counts(name, n, gates):
    assert len(circuits.build(name, n)) == gates


def _korvel_probabilities(gates, n):
    korvel = pytest.importorskip("korvel")
    reg = korvel.Register(n)
    for gate in gates:
        rows, t, controls = circuits.matrix(gate)
        reg.apply_gate(korvel.QGate(rows), [t], controls)
    return reg.probabilities()


@pytest.mark.parametrize("name", circuits.CIRCUITS)
def test_korvel_gates_match_qiskit(name):
    np = pytest.importorskip("numpy")
    pytest.importorskip("qiskit")
    from qiskit.quantum_info import Statevector
    gates = circuits.build(name, N)
    qc = circuits._qiskit_circuit(gates, N)
    qc.remove_final_measurements()
    expected = Statevector(qc).probabilities()
    assert np.allclose(_korvel_probabilities(gates, N), expected, atol=1e-12)


@pytest.mark.parametrize("name", circuits.CIRCUITS)
def test_runner_matches_module_bit_for_bit(name):
    np = pytest.importorskip("numpy")
    runner = pytest.importorskip("korvel_runner")
    gates = circuits.build(name, N)
    program = circuits.runner_program(gates)
    state = runner.simulate(N, program)
    assert state.probabilities().tolist() == _korvel_probabilities(gates, N)
