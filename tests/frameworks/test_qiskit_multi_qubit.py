"""Gates on several qubits through korvel_qiskit: library matrices up to five qubits with open
controls on scattered qubits, the exact exponential of PauliEvolutionGate against scipy's
expm, and the same bits from a lowering in every fresh process and on every thread count."""

from __future__ import annotations

import warnings

import pytest

pytest.importorskip("qiskit")
scipy_linalg = pytest.importorskip("scipy.linalg")
warnings.filterwarnings("ignore", category=DeprecationWarning)

import numpy as np  # noqa: E402
from qiskit import QuantumCircuit  # noqa: E402
from qiskit.circuit import Parameter  # noqa: E402
from qiskit.circuit.library import (  # noqa: E402
    DiagonalGate,
    PauliEvolutionGate,
    PermutationGate,
    UnitaryGate,
)
from qiskit.quantum_info import SparsePauliOp, Statevector, random_unitary  # noqa: E402

from korvel_qiskit import KorvelEstimator, lower, statevector  # noqa: E402
from support import run_python  # noqa: E402

WIDTH = 7


def _prepared(width: int = WIDTH) -> QuantumCircuit:
    circuit = QuantumCircuit(width)
    rng = np.random.default_rng(width)
    for q in range(width):
        circuit.u(*rng.uniform(0, 2 * np.pi, 3), q)
    return circuit


def _library_gate(kind: str, k: int, seed: int, controlled: bool):
    rng = np.random.default_rng(seed)
    if kind == "permutation" and controlled:
        # Qiskit cannot control a PermutationGate; its matrix as a UnitaryGate it can.
        from qiskit.quantum_info import Operator

        return UnitaryGate(Operator(PermutationGate([int(p) for p in rng.permutation(k)])))
    if kind == "unitary":
        return UnitaryGate(random_unitary(1 << k, seed=seed))
    if kind == "diagonal":
        return DiagonalGate(list(np.exp(1j * rng.uniform(-np.pi, np.pi, 1 << k))))
    return PermutationGate([int(p) for p in rng.permutation(k)])


@pytest.mark.parametrize("fusion", [False, True], ids=["exact", "fused"])
@pytest.mark.parametrize("controls", [0, 1, 2])
@pytest.mark.parametrize("k", [2, 3, 4, 5])
@pytest.mark.parametrize("kind", ["unitary", "diagonal", "permutation"])
def test_library_gates_on_scattered_qubits(kind, k, controls, fusion):
    if k + controls > WIDTH:
        pytest.skip("wider than the register")
    gate = _library_gate(kind, k, seed=10 * k + controls, controlled=controls > 0)
    if controls:
        gate = gate.control(controls, ctrl_state=(1 << controls) - 2 if controls > 1 else 0)
    circuit = _prepared()
    order = [int(q) for q in np.random.default_rng(k + controls).permutation(WIDTH)]
    circuit.append(gate, order[:gate.num_qubits])
    circuit.rzz(0.4, order[0], order[-1])
    np.testing.assert_allclose(statevector(circuit, fusion=fusion), Statevector(circuit).data,
                               rtol=0, atol=1e-12)


HAMILTONIAN = SparsePauliOp(["XXY", "ZIZ", "YZX"], [0.3, -0.7, 0.5])


def test_pauli_evolution_is_the_exponential():
    # A single Lie-Trotter step of this Hamiltonian is off by about 0.1 in <Z>.
    circuit = QuantumCircuit(3)
    circuit.append(PauliEvolutionGate(HAMILTONIAN, time=0.8), [0, 1, 2])
    exact = scipy_linalg.expm(-0.8j * HAMILTONIAN.to_matrix())[:, 0]
    np.testing.assert_allclose(statevector(circuit), exact, rtol=0, atol=1e-12)
    evs = KorvelEstimator().run([(circuit, SparsePauliOp("IIZ"))]).result()[0].data.evs
    assert abs(float(evs) - np.real(np.vdot(exact, np.diag([1, -1] * 4) @ exact))) < 1e-12


def test_parametrised_evolution_per_binding():
    t = Parameter("t")
    circuit = _prepared(4)
    circuit.append(PauliEvolutionGate(SparsePauliOp(["XZY", "ZZI"], [0.2, 0.9]), time=2 * t),
                   [3, 0, 2])
    lowered = lower(circuit)
    values = np.array([[0.3], [-1.1]])
    import korvel_runner

    for row, fields in zip(values, lowered.matrix_fields(values)):
        amplitudes = korvel_runner.simulate(4, lowered.program(fields)).amplitudes()
        amplitudes *= np.exp(1j * lowered.phases(row)[0])
        np.testing.assert_allclose(amplitudes, Statevector(circuit.assign_parameters(row)).data,
                                   rtol=0, atol=1e-12)


def test_wide_evolutions_commuting_exactly_and_otherwise_by_their_synthesis():
    commuting = SparsePauliOp(["ZZIIIIZ", "XIIIIIX", "IIZZZZI", "IZIIIZI"], [0.3, 0.2, -0.5, 0.7])
    circuit = _prepared()
    circuit.append(PauliEvolutionGate(commuting, time=0.9), range(WIDTH))
    exact = scipy_linalg.expm(-0.9j * commuting.to_matrix()) @ Statevector(_prepared()).data
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        np.testing.assert_allclose(statevector(circuit), exact, rtol=0, atol=1e-12)
    clashing = SparsePauliOp(["XXIIIIZ", "ZIIIIIX", "IIZZZZY"], [0.3, 0.2, -0.5])
    circuit = _prepared()
    circuit.append(PauliEvolutionGate(clashing, time=0.9), range(WIDTH))
    with pytest.warns(UserWarning, match="synthesis LieTrotter"):
        statevector(circuit)


def test_lowering_gives_the_same_bits_in_every_process_and_thread_count():
    code = """
        import hashlib, numpy as np
        from qiskit.circuit.library import quantum_volume
        from korvel_qiskit import statevector
        circuit = quantum_volume(8, seed=11)
        parts = [statevector(circuit, fusion=True), statevector(circuit, fusion=False)]
        print(hashlib.sha256(b"".join(p.tobytes() for p in parts)).hexdigest())
    """
    digests = set()
    for threads in ["1", "2", "2"]:
        result = run_python(code, env={"RAYON_NUM_THREADS": threads}, timeout=300)
        assert result.returncode == 0, result.stderr
        digests.add(result.stdout)
    assert len(digests) == 1
