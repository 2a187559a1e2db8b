"""Gates on two to five qubits as single runner steps in korvel_cirq and korvel.qubit: final
states against cirq.Simulator(dtype=complex128) and default.qubit to 1e-12, global phase
included; symbolic sweeps per binding; adjoint Jacobians against parameter-shift; and the
korvel module's bits for unfused one-qubit circuits."""

from __future__ import annotations

import numpy as np
import pytest

cirq = pytest.importorskip("cirq")
sympy = pytest.importorskip("sympy")
try:
    import pennylane as qml
except ImportError:  # PennyLane needs Python 3.11: its tests are skipped on older ones
    qml = None
needs_pennylane = pytest.mark.skipif(qml is None, reason="PennyLane is not installed")

import korvel  # noqa: E402
import korvel_runner  # noqa: E402
import step_model  # noqa: E402
from korvel_cirq import KorvelSimulator  # noqa: E402
from korvel_cirq.lowering import lower  # noqa: E402

EXACT = 1e-12
Q = cirq.LineQubit.range(5)
t, s = sympy.symbols("t s")


def _entangled(qubits):
    return cirq.Circuit([cirq.H.on_each(*qubits), cirq.CNOT(qubits[0], qubits[-1]),
                         [cirq.ry(0.3 + 0.4 * i).on(q) for i, q in enumerate(qubits)]])


# (operation, runner steps it lowers to)
CIRQ_OPERATIONS = [
    (cirq.MatrixGate(cirq.testing.random_unitary(4, random_state=1)).on(Q[3], Q[0]), 1),
    (cirq.MatrixGate(cirq.testing.random_unitary(32, random_state=2)).on(*Q[::-1]), 1),
    (cirq.ISwapPowGate(exponent=0.3, global_shift=0.2).on(Q[1], Q[4]), 1),
    (cirq.FSimGate(0.4, 1.1).on(Q[2], Q[0]), 1),
    (cirq.PhasedISwapPowGate(phase_exponent=0.2, exponent=0.7).on(Q[4], Q[3]), 1),
    (cirq.SwapPowGate(exponent=0.5).on(Q[0], Q[2]), 1),
    (cirq.ZZPowGate(exponent=0.35, global_shift=-0.5).on(Q[1], Q[3]), 1),
    (cirq.CCZ(Q[0], Q[3], Q[1]), 1),
    (cirq.CSWAP(Q[4], Q[0], Q[2]), 1),
    (cirq.ControlledGate(cirq.FSimGate(0.2, 0.5), control_values=[0]).on(Q[2], Q[4], Q[1]), 3),
    (cirq.ControlledGate(cirq.MatrixGate(cirq.testing.random_unitary(8, random_state=3)),
                         num_controls=2).on(*Q), 1),
    (cirq.PauliStringPhasor(cirq.X(Q[0]) * cirq.Y(Q[2]) * cirq.Z(Q[3]) * cirq.X(Q[4]),
                            exponent_neg=0.3, exponent_pos=-0.1), 1),
]


@pytest.mark.parametrize("operation, steps", CIRQ_OPERATIONS, ids=lambda v: str(v)[:40])
def test_cirq_wide_gates_are_one_step_with_cirqs_final_state(operation, steps):
    assert len(lower(cirq.Circuit(operation)).steps) == steps
    circuit = _entangled(Q) + cirq.Circuit(operation, cirq.GlobalPhaseGate(np.exp(0.7j)).on())
    ours = KorvelSimulator().simulate(circuit, qubit_order=Q).final_state_vector
    theirs = cirq.Simulator(dtype=np.complex128).simulate(circuit, qubit_order=Q)
    np.testing.assert_allclose(ours, theirs.final_state_vector, rtol=0, atol=EXACT)


def test_cirq_symbolic_wide_gates_recompute_their_matrices_per_binding():
    circuit = _entangled(Q) + cirq.Circuit(
        cirq.ZZPowGate(exponent=2 * t, global_shift=0.3).on(Q[0], Q[4]),
        cirq.FSimGate(t, s).on(Q[1], Q[2]),
        cirq.ControlledGate(cirq.ISwapPowGate(exponent=s), control_values=[0]).on(*Q[2:]),
        cirq.PhasedISwapPowGate(phase_exponent=s, exponent=t).on(Q[3], Q[1]),
        cirq.rx(t).on(Q[0]))
    sweep = cirq.Zip(cirq.Linspace("t", -1.2, 2.1, 5), cirq.Linspace("s", 0.4, -0.9, 5))
    ours = KorvelSimulator().simulate_sweep(circuit, sweep, qubit_order=Q)
    theirs = cirq.Simulator(dtype=np.complex128).simulate_sweep(circuit, sweep, qubit_order=Q)
    for a, b in zip(ours, theirs):
        np.testing.assert_allclose(a.final_state_vector, b.final_state_vector, rtol=0, atol=EXACT)
    with pytest.raises(ValueError, match="parameters s of"):
        KorvelSimulator().simulate(circuit, {"t": 0.5})


def test_cirq_unfused_one_qubit_circuits_give_the_korvel_modules_bits():
    one_qubit = {cirq.H: 1, cirq.X**0.31: 1, cirq.rz(0.9): 1, cirq.CNOT: 2, cirq.CZ**0.43: 2,
                 cirq.ControlledGate(cirq.Y**0.3): 2, cirq.CCX: 3,
                 cirq.ControlledGate(cirq.H, num_controls=2, control_values=[0, 1]): 3}
    for seed in range(4):
        circuit = cirq.testing.random_circuit(Q, 10, 0.8, one_qubit, random_state=seed)
        lowered = lower(circuit, qubit_order=Q, fuse=False)
        program = lowered.program(lowered.matrix_fields([cirq.ParamResolver()])[0])
        register = korvel.Register(5)
        for step in step_model._steps(program):
            controls = [q for q in range(5) if (step["controls"] >> q) & 1]
            register.apply_gate(korvel.QGate(step["matrix"].tolist()), step["targets"], controls)
        ours = korvel_runner.simulate(5, program).probabilities()
        assert np.array_equal(ours, np.array(register.probabilities()))


def _pennylane_gates(a, b, c):
    qml.IsingXX(a, [0, 3])
    qml.IsingYY(b, [4, 1])
    qml.IsingZZ(c, [2, 0])
    qml.IsingXY(a, [1, 2])
    qml.MultiRZ(b, [0, 1, 3, 4])
    qml.PauliRot(c, "XYZ", [3, 0, 4])
    qml.SingleExcitation(a, [4, 2])
    qml.DoubleExcitation(c, [0, 1, 2, 3])
    qml.CRX(b, [3, 1])
    qml.ctrl(qml.IsingXX(c, [1, 2]), control=[0, 4], control_values=[1, 0])


PENNYLANE_CONSTANT_GATES = [
    lambda: qml.SWAP([0, 4]), lambda: qml.ISWAP([3, 1]), lambda: qml.CSWAP([2, 0, 1]),
    lambda: qml.Toffoli([4, 2, 3]),
    lambda: qml.QubitUnitary(cirq.testing.random_unitary(4, random_state=4), [3, 0]),
    lambda: qml.DiagonalQubitUnitary(np.exp(1j * np.arange(8)), [1, 4, 2]),
    lambda: qml.ControlledQubitUnitary(cirq.testing.random_unitary(4, random_state=5),
                                       wires=[4, 1, 0], control_values=[0]),
    lambda: qml.CRot(0.1, 0.2, 0.3, [1, 3]),
    lambda: qml.OrbitalRotation(0.4, [0, 1, 2, 3]),
]


@needs_pennylane
@pytest.mark.parametrize("make", PENNYLANE_CONSTANT_GATES + [lambda: None])
def test_pennylane_wide_gates_run_undecomposed_with_default_qubits_state(make):
    def circuit():
        for wire in range(5):
            qml.Hadamard(wire)
            qml.RY(0.2 + 0.1 * wire, wire)
        gate = make()
        if gate is None:
            _pennylane_gates(0.3, -0.7, 1.1)
        qml.GlobalPhase(0.3)
        return qml.state()

    device = qml.device("korvel.qubit", wires=5)
    tape = qml.workflow.construct_tape(qml.QNode(circuit, device))()
    (processed,), _ = device.preprocess_transforms()((tape,))
    assert [op.name for op in processed.operations] == [op.name for op in tape.operations]
    ours = qml.QNode(circuit, device)()
    theirs = qml.QNode(circuit, qml.device("default.qubit", wires=5))()
    np.testing.assert_allclose(ours, theirs, rtol=0, atol=EXACT)


@needs_pennylane
def test_pennylane_adjoint_jacobians_through_wide_rotations_equal_parameter_shift():
    def circuit(a, b, c):
        for wire in range(5):
            qml.RY(0.2 + 0.3 * wire, wire)
        _pennylane_gates(a, b, c)
        return qml.math.stack([qml.expval(qml.PauliZ(0) @ qml.PauliX(2) + 0.5 * qml.PauliY(3)),
                               qml.expval(qml.PauliZ(4))])

    args = [qml.numpy.array(v, requires_grad=True) for v in (0.3, -0.7, 1.1)]
    ours = qml.jacobian(qml.QNode(circuit, qml.device("korvel.qubit", wires=5),
                                  diff_method="adjoint"))(*args)
    theirs = qml.jacobian(qml.QNode(circuit, qml.device("default.qubit", wires=5),
                                    diff_method="parameter-shift"))(*args)
    np.testing.assert_allclose(np.array(ours), np.array(theirs), rtol=0, atol=1e-10)
