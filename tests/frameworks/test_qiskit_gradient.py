"""korvel_qiskit.estimator_gradients against central differences of Qiskit's StatevectorEstimator."""

from __future__ import annotations

import pytest

pytest.importorskip("qiskit")

import numpy as np  # noqa: E402
from qiskit import QuantumCircuit  # noqa: E402
from qiskit.circuit import Parameter  # noqa: E402
from qiskit.circuit.library import efficient_su2, real_amplitudes  # noqa: E402
from qiskit.primitives import StatevectorEstimator  # noqa: E402
from qiskit.quantum_info import SparsePauliOp  # noqa: E402

from korvel_qiskit import estimator_gradients  # noqa: E402


def controlled_and_affine():
    a, b = Parameter("a"), Parameter("b")
    qc = QuantumCircuit(4)
    qc.h(range(4))
    qc.crx(2 * a + 0.3, 0, 2)
    qc.cry(b, 3, 1, ctrl_state=0)
    qc.cp(a - b, 1, 0)
    qc.u(a, b, 0.2, 3)  # transpiled onto one-angle rotations
    qc.rzz(b, 2, 3)
    return qc


@pytest.mark.parametrize("circuit", [efficient_su2(6, reps=2), real_amplitudes(5, reps=3),
                                     controlled_and_affine()], ids=["su2", "real", "controlled"])
def test_gradients_equal_central_differences(circuit):
    n, count = circuit.num_qubits, circuit.num_parameters
    rng = np.random.default_rng(count)
    values = rng.uniform(-np.pi, np.pi, (3, count))
    observables = [SparsePauliOp(["Z" * n, "X" + "I" * (n - 2) + "Y"], [0.4, -1.1]),
                   SparsePauliOp(["I" * (n - 1) + "Z"])]
    result = estimator_gradients([(circuit, [[o] for o in observables], values)])[0]
    estimator = StatevectorEstimator()

    def evs(shifted):
        return estimator.run([(circuit, [[o] for o in observables], shifted)]).result()[0].data.evs

    np.testing.assert_allclose(result.evs, evs(values), rtol=0, atol=1e-12)
    # Central differences of exact values: error about step^2, far below the tolerance.
    step = 1e-5
    for p in range(count):
        shift = np.zeros(count)
        shift[p] = step
        expected = (evs(values + shift) - evs(values - shift)) / (2 * step)
        np.testing.assert_allclose(result.gradients[..., p], expected, rtol=0, atol=1e-8)
    assert result.parameters == tuple(circuit.parameters)


def test_circuits_that_measure_are_refused():
    qc = QuantumCircuit(1, 1)
    qc.rx(Parameter("t"), 0)
    qc.measure(0, 0)
    with pytest.raises(ValueError, match="measures"):
        estimator_gradients([(qc, SparsePauliOp("Z"), [0.1])])
