"""Checks of the suite's own arithmetic (run with `python -m pytest bench`): a wrong ratio or
a mislabelled worst target would silently misreport every result."""

import json
import subprocess
import sys
from pathlib import Path

import pytest

import korvel_cases
import report
import workload

BENCH_DIR = Path(__file__).resolve().parent


def _results(korvel_per_target, peer_per_target, sweep_s=1.0):
    return {
        "machine": {"cpu_model": "test cpu", "logical_cpus": 2, "memory_bytes": 1 << 30,
                    "date_utc": "today", "load_average_at_start": (0.0, 0.0, 0.0)},
        "settings": {"threads": 2},
        "sweep": {"20": {"min_s": sweep_s}},
        "simulators": {
            "korvel": {"20": {"cases": {"apply_gate 1 target": workload.spread(korvel_per_target),
                                        "measure_all": workload.single(0.5)}}},
            "qulacs": {"20": {"cases": {"apply_gate 1 target": workload.spread(peer_per_target)}}},
            "aer": {"20": {"skipped": "not importable: No module named 'qiskit_aer'"}},
        },
    }


def test_spread_names_the_worst_target_and_the_median():
    result = workload.spread({0: 3.0, 1: 1.0, 2: 2.0})
    assert (result["worst_s"], result["worst_target"], result["median_s"]) == (3.0, 0, 2.0)
    assert list(result["per_target_s"]) == ["0", "1", "2"]


@pytest.mark.parametrize("target, count, expected", [(0, 1, [1]), (1, 2, [0, 2]), (3, 2, [0, 1]), (2, 0, [])])
def test_controls_avoid_the_target(target, count, expected):
    assert korvel_cases.lowest_other_qubits(target, count) == expected


def test_peer_speedup_compares_only_common_targets():
    results = _results({0: 1.0, 1: 2.0, 7: 100.0}, {0: 4.0, 1: 4.0})
    assert report.peer_speedups(results) == {"qulacs": {"20": {"median": 3.0, "least": 2.0}}}


def test_table_divides_every_row_by_the_sweep_and_lists_skips():
    text = report.render(_results({0: 2.0, 1: 4.0}, {0: 8.0, 1: 8.0}, sweep_s=2.0))
    row = next(line for line in text.splitlines() if line.startswith("korvel apply_gate 1 target, worst"))
    assert "(2.00×)" in row
    assert "korvel measure_all" in text and "(0.25×)" in text
    assert "skipped aer: not importable" in text


@pytest.mark.parametrize("qubits", [1, 2, 5, 16, 28])
def test_peer_targets_lie_in_the_register(qubits):
    targets = workload.peer_targets(qubits)
    assert targets == sorted(set(targets)) and all(0 <= t < qubits for t in targets)
    assert targets[0] == 0 and targets[-1] == qubits - 1


def test_worker_reports_a_missing_module_as_skipped(tmp_path):
    # A stand-in `korvel` that fails to import, found before any installed one.
    (tmp_path / "korvel.py").write_text("raise ImportError('stand-in refuses')\n")
    env = {"PYTHONPATH": str(tmp_path), "PATH": "/usr/bin:/bin"}
    finished = subprocess.run([sys.executable, str(BENCH_DIR / "worker.py"), "korvel", "4"],
                              capture_output=True, text=True, env=env, check=True)
    assert json.loads(finished.stdout) == {"skipped": "not importable: stand-in refuses"}


def test_readme_block_is_replaced_between_the_markers_only(tmp_path):
    readme = tmp_path / "README.md"
    readme.write_text(f"intro\n{report.README_START}\nold table\n{report.README_END}\noutro\n")
    assert report.update_readme({"table": "new table"}, readme, "results/latest.png")
    text = readme.read_text()
    assert text.startswith("intro\n") and text.endswith("\noutro\n")
    assert "new table" in text and "old table" not in text and "](results/latest.png)" in text


def _multi_qubit_document(error):
    pytest.importorskip("numpy")
    import multi_qubit
    row = {"gates": 10, "two_qubit_gates": 4, "runner": {"seconds": 2.0, "error": error},
           "qsim": {"seconds": 4.0, "error": error}, "shots": {"korvel": 0.5, "aer": 2.0}}
    other = {"gates": 10, "two_qubit_gates": 4, "runner": {"seconds": 2.0}}
    return {"results": {"20": {"sweep_s": 0.5, "circuits": {"qaoa": row, "quantum_volume": other}}}}, multi_qubit


def test_multi_qubit_divides_by_the_sweep_and_by_two_qubit_gates_where_named():
    document, multi_qubit = _multi_qubit_document(0.0)
    assert multi_qubit.tabulate(document) == []
    circuits_at_20 = document["results"]["20"]["circuits"]
    qaoa, volume = circuits_at_20["qaoa"], circuits_at_20["quantum_volume"]
    assert (qaoa["runner"]["sweeps"], qaoa["runner"]["sweeps_per_two_qubit_gate"]) == (4.0, 1.0)
    assert qaoa["shots"]["aer_over_korvel"] == 4.0
    assert volume["runner"]["sweeps"] == 4.0 and "sweeps_per_two_qubit_gate" not in volume["runner"]


@pytest.mark.parametrize("error, wrong", [(1e-8, ["runner"]), (1e-5, ["runner", "qsim"]),
                                          (float("nan"), ["runner", "qsim"])])
def test_multi_qubit_flags_states_beyond_each_simulators_tolerance(error, wrong):
    document, multi_qubit = _multi_qubit_document(error)
    mismatches = multi_qubit.tabulate(document)
    assert [line.split()[2].rstrip(":") for line in mismatches] == wrong


def test_multi_qubit_state_error_ignores_a_global_phase_only():
    np = pytest.importorskip("numpy")
    import multi_qubit
    expected = np.array([0.6, 0.8j])
    assert multi_qubit.state_error(np.exp(0.7j) * expected, expected) < 1e-15
    assert multi_qubit.state_error(np.array([0.6, -0.8j]), expected) > 0.5
