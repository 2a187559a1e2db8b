"""Circuits laid out on a device far wider than korvel simulates run on their active qubits.

Circuits from the corpus are transpiled onto a 127-qubit device; their counts must match Aer's
on the circuit as written, their estimates Statevector's, with observables that also read the
idle qubits (|0>: Z = +1, X = Y = 0).
"""

from __future__ import annotations

import warnings

import pytest

pytest.importorskip("qiskit")
warnings.filterwarnings("ignore", category=DeprecationWarning)

import numpy as np  # noqa: E402
from qiskit import QuantumCircuit, transpile  # noqa: E402
from qiskit.providers.fake_provider import GenericBackendV2  # noqa: E402
from qiskit.quantum_info import SparsePauliOp, Statevector  # noqa: E402

import corpus  # noqa: E402
from korvel_qiskit import KorvelBackend, KorvelEstimator, KorvelSampler, lower  # noqa: E402
from test_qiskit_differential import SHOTS, close_counts  # noqa: E402

DEVICE_WIDTH = 127


@pytest.fixture(scope="module")
def device():
    return GenericBackendV2(DEVICE_WIDTH, control_flow=True, seed=5)


@pytest.mark.parametrize("name", ["teleportation", "registers_out_of_order",
                                  "random_measure_reset_if_else_5", "grover_measured_5"])
def test_counts_on_a_wide_device_match_aer_on_the_circuit_as_written(device, name):
    AerSimulator = pytest.importorskip("qiskit_aer").AerSimulator

    circuit = corpus.MEASURED[name]()
    wide = transpile(circuit, device, optimization_level=1, seed_transpiler=3)
    assert wide.num_qubits == DEVICE_WIDTH
    lowered = lower(wide)
    touched = {wide.find_bit(q).index for instruction in wide.data
               if instruction.operation.name not in ("barrier", "delay")
               for q in instruction.qubits}
    assert lowered.num_qubits == len(touched) < 30
    ours = KorvelBackend().run(wide, shots=SHOTS, seed_simulator=2).result().get_counts()
    aer_backend = AerSimulator()
    aer = aer_backend.run(transpile(circuit, aer_backend), shots=SHOTS,
                          seed_simulator=2).result().get_counts()
    close_counts(ours, aer, SHOTS)
    bits = KorvelSampler(seed=2).run([wide], shots=50).result()[0].data
    for register in circuit.cregs:
        assert getattr(bits, register.name).num_bits == register.size


def test_estimates_on_a_wide_device_read_idle_qubits_as_zero(device):
    circuit, values = corpus.parametric()["efficient_su2_5"]
    wide = transpile(circuit, device, optimization_level=1, seed_transpiler=4)
    idle = [q for q, slot in enumerate(lower(wide).qubit_slots) if slot < 0]
    laid_out = wide.layout.final_index_layout()
    narrow = SparsePauliOp.from_list([("XZIYZ", 0.5), ("ZZZZZ", -1.0), ("IIXII", 2.0)])
    idle_terms = [("Z", [idle[0]], 0.25), ("X", [idle[1]], 3.0), ("Y", [idle[2]], -2.0),
                  ("ZZ", [idle[3], idle[4]], 1.5), ("ZX", [idle[5], laid_out[2]], 0.75),
                  ("XZ", [idle[6], laid_out[1]], 4.0)]
    observable = narrow.apply_layout(wide.layout) + SparsePauliOp.from_sparse_list(
        idle_terms, DEVICE_WIDTH)
    evs = KorvelEstimator().run([(wide, observable, values)]).result()[0].data.evs
    flat = values.reshape(-1, circuit.num_parameters)
    for index, row in zip(np.ndindex(*values.shape[:-1]), flat):
        state = Statevector(circuit.assign_parameters(row))
        expected = (state.expectation_value(narrow).real + 0.25 + 1.5
                    + 0.75 * state.expectation_value(SparsePauliOp("IIXII")).real)
        assert abs(evs[index] - expected) <= 1e-12


def test_transpiling_for_the_backend_stays_as_narrow_as_the_circuit():
    bell = QuantumCircuit(2, 2)
    bell.h(0)
    bell.cx(0, 1)
    bell.measure([0, 1], [0, 1])
    backend = KorvelBackend()
    laid_out = transpile(bell, backend, initial_layout=[17, 3])
    assert laid_out.num_qubits == backend.num_qubits
    assert lower(laid_out).num_qubits == 2
    counts = backend.run(laid_out, shots=400, seed_simulator=1).result().get_counts()
    assert set(counts) == {"00", "11"}


@pytest.mark.parametrize("run", [
    lambda c: KorvelBackend().run(c),
    lambda c: KorvelSampler().run([c]),
    lambda c: KorvelEstimator().run([(c, SparsePauliOp("Z" * c.num_qubits))]),
], ids=["backend", "sampler", "estimator"])
def test_thirty_active_qubits_are_refused_with_the_count(run):
    circuit = QuantumCircuit(DEVICE_WIDTH)
    circuit.h(range(0, 90, 3))
    circuit.barrier()
    with pytest.raises(ValueError, match="acts on 30 qubits of its 127; korvel simulates at "
                                         "most 29"):
        run(circuit)
