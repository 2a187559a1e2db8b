"""Every simulator of multi_qubit.py, through its own translation of the Qiskit circuit, ends in
the state Qiskit's Statevector gives, so that the benchmark compares like with like."""

import pytest

pytest.importorskip("numpy")
import multi_qubit  # noqa: E402

N = 5


@pytest.mark.parametrize("simulator", multi_qubit.SIMULATORS)
def test_final_states_match_statevector(simulator):
    pytest.importorskip("qiskit")
    results = multi_qubit.worker(simulator, N, 1, True, multi_qubit.CIRCUITS)
    if "skipped" in results:
        pytest.skip(results["skipped"])
    tolerance = multi_qubit.TOLERANCE.get(simulator, multi_qubit.DOUBLE_TOLERANCE)
    errors = {name: result.get("error", result.get("skipped")) for name, result in results.items()}
    assert all(isinstance(e, float) and e <= tolerance for e in errors.values()), errors


@pytest.mark.parametrize("name, two_qubit_gates", [("qaoa", multi_qubit.QAOA_LAYERS * N),
                                                   ("heisenberg", 3 * multi_qubit.HEISENBERG_STEPS * (N - 1)),
                                                   ("quantum_volume", N * (N // 2))])
def test_two_qubit_gate_counts(name, two_qubit_gates):
    pytest.importorskip("qiskit")
    assert multi_qubit.gate_counts(multi_qubit.build(name, N))[1] == two_qubit_gates
