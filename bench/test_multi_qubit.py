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


def test_shots_through_qiskit_time_both_backends():
    pytest.importorskip("qiskit_aer")
    pytest.importorskip("korvel_qiskit")
    results = multi_qubit.shots_worker(4, 1, ["qaoa", "quantum_volume"])
    assert all(set(times) == {"korvel", "aer"} and min(times.values()) > 0 for times in results.values())


def test_table_marks_a_wrong_state_and_a_missing_figure():
    document = {"threads": 2, "machine": {"cpu_model": "test cpu"}, "results": {"20": {"sweep_s": 1.0, "circuits": {
        "qaoa": {"gates": 3, "two_qubit_gates": 2, "runner": {"seconds": 4.0, "error": 0.5},
                 "aer": {"skipped": "not importable"}}}}}}
    assert multi_qubit.tabulate(document)
    row = multi_qubit.markdown_table(document).splitlines()[2]
    assert row == "| 20 | qaoa | 3 (2) | 4.0 (2.00/2q) **wrong state** | – | – |"
