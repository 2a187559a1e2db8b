"""The edges of korvel_qiskit's result plumbing: seeds as Qiskit writes them, empty sweeps,
0-d results and the backend's run options."""

from __future__ import annotations

import warnings

import pytest

pytest.importorskip("qiskit")
warnings.filterwarnings("ignore", category=DeprecationWarning)

import numpy as np  # noqa: E402
from qiskit import QuantumCircuit  # noqa: E402
from qiskit.circuit import Parameter  # noqa: E402
from qiskit.quantum_info import SparsePauliOp  # noqa: E402

import corpus  # noqa: E402
from korvel_qiskit import KorvelBackend, KorvelEstimator, KorvelSampler  # noqa: E402

A = Parameter("a")


def _sampled(seed):
    sampler = KorvelSampler(seed=seed)
    circuit = corpus.MEASURED["random_measure_reset_if_else_5"]()
    return [sampler.run([circuit], shots=300).result()[0].data.c.get_bitstrings()
            for _ in range(2)]


def _estimated(seed):
    circuit, values = corpus.parametric()["efficient_su2_5"]
    estimator = KorvelEstimator(seed=seed)
    return [estimator.run([(circuit, SparsePauliOp("ZIZIZ"), values)], precision=0.1)
            .result()[0].data.evs.tolist() for _ in range(2)]


@pytest.mark.parametrize("runs", [_sampled, _estimated], ids=["sampler", "estimator"])
def test_seeds_take_integers_none_and_generators(runs):
    first, again = runs(np.random.default_rng(7))
    assert runs(np.random.default_rng(7)) == [first, again]  # the same generator state
    assert first != again  # a generator moves on from run to run
    assert runs(np.random.default_rng(8))[0] != first
    assert runs(np.int64(7)) == runs(7) and runs(7)[0] == runs(7)[1]
    fresh = runs(None)
    assert fresh[0] != fresh[1]


@pytest.mark.parametrize("make", [KorvelSampler, KorvelEstimator])
@pytest.mark.parametrize("seed, error", [(1.5, TypeError), ("7", TypeError), (True, TypeError),
                                         (-1, ValueError), (1 << 64, ValueError)])
def test_bad_seeds_are_refused_by_name(make, seed, error):
    with pytest.raises(error, match="seed must be"):
        make(seed=seed)


@pytest.mark.parametrize("shape", [(0,), (3, 0), (0, 2)])
def test_sweeps_without_bindings_give_empty_results_of_their_shape(shape):
    from qiskit.circuit.library import real_amplitudes

    circuit = real_amplitudes(2, reps=1)
    values = np.zeros(shape + (circuit.num_parameters,))
    bits = KorvelSampler().run([(circuit.measure_all(inplace=False), values)],
                               shots=7).result()[0].data.meas
    assert bits.shape == shape and bits.array.shape == shape + (7, 1)
    for precision in (0.0, 0.1):
        data = KorvelEstimator().run([(circuit, "ZZ", values)], precision=precision
                                     ).result()[0].data
        assert data.evs.shape == data.stds.shape == shape
        assert data.evs.dtype == np.float64


@pytest.mark.parametrize("precision", [0.0, 0.2])
def test_a_pub_of_shape_nothing_gives_0_d_float64_arrays(precision):
    circuit = QuantumCircuit(1)
    circuit.h(0)
    data = KorvelEstimator(seed=1).run([(circuit, "X")], precision=precision).result()[0].data
    for array in (data.evs, data.stds):
        assert isinstance(array, np.ndarray) and array.shape == () and array.dtype == np.float64


def test_backend_binds_parameters_as_aer_does():
    # Aer sets the layout of the results; the counts are checked against Statevector, as Aer
    # draws wrongly for parametrised controlled rotations.
    from qiskit.quantum_info import Statevector

    AerSimulator = pytest.importorskip("qiskit_aer").AerSimulator
    a, b = A, Parameter("b")
    first = QuantumCircuit(1, 1)
    first.rx(a, 0)
    first.measure(0, 0)
    second = QuantumCircuit(2, 2)
    second.ry(b, 0)
    second.crx(a, 0, 1)
    second.measure([0, 1], [0, 1])
    binds = [{a: [0.0, np.pi, np.pi / 2]}, {a: [np.pi, 0.4], b: [np.pi, 2.0]}]
    shots = 4000
    ours = KorvelBackend().run([first, second], parameter_binds=binds, shots=shots,
                               seed_simulator=3).result()
    aer = AerSimulator().run([first, second], parameter_binds=binds, shots=10).result()
    assert len(ours.results) == len(aer.results) == 5
    assert [r.header["name"] for r in ours.results] == [r.header["name"] for r in aer.results]
    experiments = [(first, {a: v}) for v in binds[0][a]] + [
        (second, {a: x, b: y}) for x, y in zip(binds[1][a], binds[1][b])]
    for i, (circuit, values) in enumerate(experiments):
        exact = Statevector(circuit.remove_final_measurements(inplace=False)
                            .assign_parameters(values)).probabilities_dict()
        counts = ours.get_counts(i)
        assert set(counts) <= {k for k, p in exact.items() if p > 1e-12}
        for key, p in exact.items():
            assert abs(counts.get(key, 0) - shots * p) <= 6 * np.sqrt(shots * p * (1 - p)) + 3


@pytest.mark.parametrize("binds, error, message", [
    ([{}], ValueError, r"leaves parameters of circuit '[\w-]+' unbound: a"),
    ([{"a": [1.0]}], ValueError, "binds 'a', which is not a parameter"),
    ([{A: []}], ValueError, "at least one"),
    ([{A: [[1.0]]}], ValueError, "one-dimensional"),
    ([{A: ["x"]}], TypeError, "list of real numbers"),
    ([{A: [np.inf]}], ValueError, "is inf"),
    ({A: [1.0]}, ValueError, "one dictionary per circuit"),
    ([{A: [1.0]}, {A: [1.0]}], ValueError, "one dictionary per circuit"),
    ([[1.0]], TypeError, "must be a dictionary"),
], ids=["missing", "stranger", "empty", "nested", "text", "infinite", "bare", "count", "list"])
def test_bad_parameter_binds_are_refused_by_name(binds, error, message):
    circuit = QuantumCircuit(1, 1)
    circuit.rx(A, 0)
    with pytest.raises(error, match=message):
        KorvelBackend().run(circuit, parameter_binds=binds)


def test_unknown_backend_options_are_warned_about_and_ignored():
    circuit = QuantumCircuit(1, 1)
    circuit.x(0)
    circuit.measure(0, 0)
    with pytest.warns(UserWarning, match="option 'speed' is not used by KorvelBackend"):
        counts = KorvelBackend().run(circuit, shots=10, speed="fast").result().get_counts()
    assert counts == {"1": 10}
