"""korvel_qiskit against Qiskit's Statevector, the korvel module, Qiskit Aer and a NumPy model.

Every comparison runs over the corpus in corpus.py. Sampled comparisons use fixed seeds on
both sides, so they are deterministic; their bounds are wide (six standard deviations).
"""

from __future__ import annotations

import warnings

import pytest

pytest.importorskip("qiskit")
warnings.filterwarnings("ignore", category=DeprecationWarning)

import numpy as np  # noqa: E402
from qiskit.primitives import StatevectorEstimator  # noqa: E402
from qiskit.quantum_info import SparsePauliOp, Statevector  # noqa: E402

import corpus  # noqa: E402
import korvel  # noqa: E402
import korvel_runner  # noqa: E402
import step_model  # noqa: E402
from korvel_qiskit import KorvelBackend, KorvelEstimator, KorvelSampler, lower  # noqa: E402

SHOTS = 20_000


def runner_probabilities(lowered, fields=None):
    return korvel_runner.simulate(lowered.num_qubits, lowered.program(fields)).probabilities()


def korvel_probabilities(num_qubits, program):
    """The korvel module's own path: one QGate and one apply_gate call per one-qubit step;
    None when the program has a gate on several qubits, which the module has not."""
    register = korvel.Register(num_qubits)
    for step in step_model._steps(program):
        if len(step["targets"]) != 1:
            return None
        gate = korvel.QGate(step["matrix"].tolist())
        controls = [q for q in range(num_qubits) if (step["controls"] >> q) & 1]
        register.apply_gate(gate, step["targets"], controls)
    return np.array(register.probabilities())


def close_counts(a, b, shots):
    """Two samples of `shots` draws agree on every outcome within six standard deviations."""
    for key in set(a) | set(b):
        x, y = a.get(key, 0), b.get(key, 0)
        p = (x + y) / (2 * shots)
        bound = 6 * np.sqrt(2 * shots * p * (1 - p)) + 3
        assert abs(x - y) <= bound, (key, x, y, bound)


def exact_register_counts(circuit):
    """Expected counts of a circuit with final measurements only, from Statevector."""
    body = circuit.remove_final_measurements(inplace=False)
    probabilities = Statevector(body).probabilities_dict()
    mapping = {}
    for instruction in circuit.data:
        if instruction.operation.name == "measure":
            mapping[circuit.find_bit(instruction.clbits[0]).index] = circuit.find_bit(
                instruction.qubits[0]).index
    expected = {}
    for bits, p in probabilities.items():
        value = 0
        for clbit, qubit in mapping.items():
            value |= int(bits[-1 - qubit]) << clbit
        expected[value] = expected.get(value, 0) + p
    return expected


@pytest.mark.parametrize("name", sorted(corpus.UNITARY))
def test_probabilities_match_statevector_korvel_and_model(name):
    circuit = corpus.UNITARY[name]()
    lowered = lower(circuit)
    probabilities = runner_probabilities(lowered)
    np.testing.assert_allclose(probabilities, Statevector(circuit).probabilities(), rtol=0,
                               atol=1e-12)
    module = korvel_probabilities(lowered.num_qubits, lowered.program())
    assert module is None or np.array_equal(probabilities, module)
    model = step_model.simulate(lowered.num_qubits, lowered.program()).probabilities()
    np.testing.assert_allclose(probabilities, model, rtol=0, atol=1e-12)


@pytest.mark.parametrize("name", sorted(corpus.parametric()))
def test_parameter_sweep_matches_statevector_per_binding(name):
    circuit, values = corpus.parametric()[name]
    lowered = lower(circuit)
    flat = values.reshape(-1, circuit.num_parameters)
    fields = lowered.matrix_fields(flat)
    for row, fields_row in zip(flat, fields):
        bound = circuit.assign_parameters(row)
        probabilities = runner_probabilities(lowered, fields_row)
        np.testing.assert_allclose(probabilities, Statevector(bound).probabilities(), rtol=0,
                                   atol=1e-12)
        module = korvel_probabilities(lowered.num_qubits, lowered.program(fields_row))
        assert module is None or np.array_equal(probabilities, module)


@pytest.mark.parametrize("name", sorted(corpus.MEASURED))
def test_counts_match_aer(name):
    from qiskit import transpile

    AerSimulator = pytest.importorskip("qiskit_aer").AerSimulator

    circuit = corpus.MEASURED[name]()
    ours = KorvelBackend().run(circuit, shots=SHOTS, seed_simulator=11).result().get_counts()
    aer_backend = AerSimulator()
    aer = aer_backend.run(transpile(circuit, aer_backend), shots=SHOTS,
                          seed_simulator=11).result().get_counts()
    assert sum(ours.values()) == SHOTS
    close_counts(ours, aer, SHOTS)


@pytest.mark.parametrize("name", [n for n in sorted(corpus.MEASURED)
                                  if lower(corpus.MEASURED[n]()).sampled_from_final_state])
def test_counts_of_final_measurements_match_exact_distribution(name):
    circuit = corpus.MEASURED[name]()
    result = KorvelBackend().run(circuit, shots=SHOTS, seed_simulator=3, memory=True).result()
    drawn = {}
    for key in result.get_memory():
        value = int(key.replace(" ", ""), 2)
        drawn[value] = drawn.get(value, 0) + 1
    expected = exact_register_counts(circuit)
    assert set(drawn) <= {k for k, p in expected.items() if p > 0}
    for value, p in expected.items():
        bound = 6 * np.sqrt(SHOTS * p * (1 - p)) + 3
        assert abs(drawn.get(value, 0) - SHOTS * p) <= bound, (value, p)


@pytest.mark.parametrize("name", sorted(corpus.parametric()))
def test_sampler_sweep_matches_exact_distribution(name):
    circuit, values = corpus.parametric()[name]
    measured = circuit.measure_all(inplace=False)
    shots = 4000
    result = KorvelSampler(seed=9).run([(measured, values)], shots=shots).result()[0]
    bits = result.data.meas
    assert bits.shape == values.shape[:-1] and bits.num_shots == shots
    for index in np.ndindex(*values.shape[:-1]):
        counts = bits[index].get_int_counts()
        exact = Statevector(circuit.assign_parameters(values[index])).probabilities()
        for value, p in enumerate(exact):
            bound = 6 * np.sqrt(shots * p * (1 - p)) + 3
            assert abs(counts.get(value, 0) - shots * p) <= bound, (index, value)


def _observables(num_qubits):
    rng = np.random.default_rng(num_qubits)
    labels = ["".join(rng.choice(list("IXYZ"), num_qubits)) for _ in range(6)]
    return [
        SparsePauliOp.from_list([(labels[0], 0.5), (labels[1], -1.25), ("Z" * num_qubits, 2)]),
        SparsePauliOp("Y" * num_qubits),
        SparsePauliOp.from_list([(label, rng.normal()) for label in labels[2:]]),
    ]


@pytest.mark.parametrize("name", sorted(corpus.parametric()))
def test_estimator_matches_statevector_estimator_with_broadcasting(name):
    circuit, values = corpus.parametric()[name]
    observables = _observables(circuit.num_qubits)
    values = values.reshape(-1, circuit.num_parameters)[:3]
    pubs = [
        (circuit, observables, values),                                 # (3,) with (3,)
        (circuit, [[o] for o in observables], values),                  # (3, 1) with (3,)
        (circuit, observables[1], values.reshape(3, 1, -1)),            # () with (3, 1)
    ]
    ours = KorvelEstimator().run(pubs).result()
    reference = StatevectorEstimator().run(pubs).result()
    for mine, theirs in zip(ours, reference):
        assert mine.data.evs.shape == theirs.data.evs.shape
        np.testing.assert_allclose(mine.data.evs, theirs.data.evs, rtol=0, atol=1e-12)


@pytest.mark.parametrize("name", ["qft_7", "open_controls_6", "grover_5"])
def test_estimator_on_library_circuits(name):
    circuit = corpus.UNITARY[name]()
    observables = _observables(circuit.num_qubits)
    ours = KorvelEstimator().run([(circuit, observables)]).result()[0].data.evs
    reference = StatevectorEstimator().run([(circuit, observables)]).result()[0].data.evs
    np.testing.assert_allclose(ours, reference, rtol=0, atol=1e-12)
