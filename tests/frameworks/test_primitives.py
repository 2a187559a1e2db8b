"""The Qiskit faces of korvel: register conventions, seeds, errors, Qiskit's own adapters and
executors (a thread pool and a Dask cluster of two worker processes)."""

from __future__ import annotations

import warnings
from concurrent.futures import ThreadPoolExecutor

import pytest

pytest.importorskip("qiskit")
warnings.filterwarnings("ignore", category=DeprecationWarning)

import numpy as np  # noqa: E402
from qiskit import ClassicalRegister, QuantumCircuit, QuantumRegister  # noqa: E402
from qiskit.primitives import BackendEstimatorV2, BackendSamplerV2  # noqa: E402
from qiskit.primitives import StatevectorEstimator  # noqa: E402
from qiskit.quantum_info import SparsePauliOp  # noqa: E402

import corpus  # noqa: E402
from korvel_qiskit import KorvelBackend, KorvelEstimator, KorvelSampler, lower  # noqa: E402


def _memory_by_register(circuit, memory):
    """Splits Backend memory strings ('b a' for registers a, b) into per-register lists."""
    names = [r.name for r in circuit.cregs]
    out = {name: [] for name in names}
    for entry in memory:
        for name, field in zip(reversed(names), entry.split(" ")):
            out[name].append(field)
    return out


@pytest.mark.parametrize("name", ["teleportation", "registers_out_of_order",
                                  "random_measure_reset_if_else_6"])
def test_sampler_registers_agree_with_backend_memory(name):
    # Both draw binding 0 of circuit 0 with the seed derived from the same user seed.
    circuit = corpus.MEASURED[name]()
    memory = KorvelBackend().run(circuit, shots=300, seed_simulator=4,
                                 memory=True).result().get_memory()
    data = KorvelSampler(seed=4).run([circuit], shots=300).result()[0].data
    for register, strings in _memory_by_register(circuit, memory).items():
        assert getattr(data, register).get_bitstrings() == strings


def test_backend_formats_counts_with_register_spacing():
    q = QuantumRegister(2)
    low, high = ClassicalRegister(1, "low"), ClassicalRegister(2, "high")
    circuit = QuantumCircuit(q, low, high)
    circuit.x(1)
    circuit.measure(1, low[0])
    circuit.measure(0, high[1])
    circuit.measure(1, high[0])
    result = KorvelBackend(shots=10).run(circuit, memory=True).result()
    assert result.get_counts() == {"01 1": 10}
    assert result.get_memory() == ["01 1"] * 10


@pytest.mark.parametrize("make", [
    lambda seed: KorvelBackend().run(corpus.MEASURED["qft_measured_6"](), shots=2000,
                                     seed_simulator=seed).result().get_counts(),
    lambda seed: KorvelBackend().run(corpus.MEASURED["teleportation"](), shots=2000,
                                     seed_simulator=seed, memory=True).result().get_memory(),
    lambda seed: KorvelSampler(seed=seed).run(
        [corpus.MEASURED["random_measure_reset_if_else_5"]()], shots=2000
    ).result()[0].data.c.get_bitstrings(),
], ids=["backend_counts", "backend_memory_mid_circuit", "sampler_mid_circuit"])
def test_seeds_repeat_and_differ(make):
    assert make(123) == make(123)
    assert make(123) != make(124)
    assert make(None) != make(None)


def test_adapters_of_qiskit_run_on_the_backend():
    circuit, values = corpus.parametric()["real_amplitudes_4"]
    measured = circuit.measure_all(inplace=False)
    backend = KorvelBackend()
    bits = BackendSamplerV2(backend=backend).run([(measured, values)], shots=50).result()
    assert bits[0].data.meas.shape == (4,) and bits[0].data.meas.num_shots == 50
    observable = SparsePauliOp.from_list([("ZZII", 1.0), ("IXIX", 0.5)])
    estimate = BackendEstimatorV2(backend=backend, options={"seed_simulator": 1}).run(
        [(circuit, observable, values)], precision=0.02).result()[0].data
    exact = StatevectorEstimator().run([(circuit, observable, values)]).result()[0].data.evs
    assert np.all(np.abs(estimate.evs - exact) <= 6 * estimate.stds + 1e-3)


def test_estimator_emulates_shot_noise_only_when_asked():
    circuit, values = corpus.parametric()["efficient_su2_5"]
    observable = SparsePauliOp("ZIZIZ")
    exact = KorvelEstimator().run([(circuit, observable, values)]).result()[0].data
    assert np.all(exact.stds == 0)
    noisy = [KorvelEstimator(seed=s).run([(circuit, observable, values)], precision=0.05)
             .result()[0].data for s in (5, 5, 6)]
    assert np.array_equal(noisy[0].evs, noisy[1].evs)
    assert not np.array_equal(noisy[0].evs, noisy[2].evs)
    assert np.all(np.abs(noisy[0].evs - exact.evs) <= 6 * 0.05)
    assert np.all(noisy[0].stds == 0.05)


def _hadamards(active, width):
    circuit = QuantumCircuit(width)
    circuit.h(range(0, 2 * active, 2) if 2 * active <= width else range(active))
    return circuit


def _while_loop():
    """64 bits measured mid-circuit, and a while_loop that needs a slot for its variable."""
    circuit = QuantumCircuit(1, 64)
    for clbit in range(64):
        circuit.measure(0, clbit)
    flag = circuit.add_var("flag", False)
    with circuit.while_loop((circuit.clbits[0], 0)):
        circuit.h(0)
        circuit.measure(0, 0)
        circuit.store(flag, True)
    return circuit


@pytest.mark.parametrize("call, message", [
    (lambda: KorvelBackend().run(_hadamards(30, 30)), "acts on 30 qubits; korvel simulates"),
    (lambda: KorvelSampler().run([_hadamards(31, 127)]), "acts on 31 qubits of its 127"),
    (lambda: KorvelBackend().run(QuantumCircuit(1), shots=0), "shots must be at least 1, got 0"),
    (lambda: KorvelSampler().run([QuantumCircuit(1)], shots=-3), "got -3"),
    (lambda: KorvelBackend().run(_while_loop()), "while_loop '65' keeps values in .* at most 64"),
    (lambda: KorvelBackend().run(corpus.parametric()["expressions_3"][0]),
     r"unbound parameters: θ\[0\], θ\[1\]"),
], ids=["qubits", "sampler_qubits", "shots", "sampler_shots", "control_flow", "parameters"])
def test_errors_name_the_offending_value_before_simulating(call, message):
    with pytest.raises(ValueError, match=message):
        call()


def test_lowering_folds_runs_and_keeps_final_measurements_out_of_the_program():
    circuit = QuantumCircuit(2, 2)
    circuit.h(0)
    circuit.t(0)
    circuit.rz(0.2, 1)
    circuit.cx(0, 1)
    circuit.measure([0, 1], [1, 0])
    lowered = lower(circuit)
    assert len(lowered.steps) == 3  # h·t on 0, rz on 1, cx
    assert lowered.sampled_from_final_state
    assert list(lowered.final_qubits) == [1, 0]


def _run_everything(executor):
    sweep, values = corpus.parametric()["efficient_su2_5"]
    measured = sweep.measure_all(inplace=False)
    circuits = [corpus.MEASURED["teleportation"](), corpus.MEASURED["grover_measured_5"]()]
    counts = [KorvelBackend(executor=executor).run(circuits, shots=500, seed_simulator=8)
              .result().get_counts(i) for i in range(2)]
    bits = KorvelSampler(seed=8, executor=executor).run(
        [(measured, values), circuits[0]], shots=200).result()
    evs = KorvelEstimator(executor=executor).run(
        [(sweep, SparsePauliOp("XXIZY"), values)]).result()[0].data.evs
    return counts, [bits[0].data.meas.array, bits[1].data.alice.array], evs


@pytest.fixture(scope="module")
def inline_results():
    return _run_everything(None)


def _assert_same(results, inline):
    counts, bits, evs = results
    assert counts == inline[0]
    for ours, theirs in zip(bits, inline[1]):
        assert np.array_equal(ours, theirs)
    np.testing.assert_allclose(evs, inline[2], rtol=0, atol=1e-12)


def test_thread_pool_executor_gives_the_inline_results(inline_results):
    with ThreadPoolExecutor(max_workers=2) as pool:
        _assert_same(_run_everything(pool), inline_results)


def test_dask_cluster_of_two_processes_gives_the_inline_results(inline_results):
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        _assert_same(_run_everything(client), inline_results)
