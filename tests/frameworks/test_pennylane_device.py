"""korvel.qubit against default.qubit: random circuits of standard gates, measurements, shots
and seeds, mid-circuit measurements, broadcasting, and adjoint gradients against parameter shift.

Sampled comparisons use bounds that a correct device fails by chance with probability below
1e-9 (a normal bound per outcome, corrected for the number of outcomes).
"""

from __future__ import annotations

import math
import warnings

import pytest

qml = pytest.importorskip("pennylane")
warnings.filterwarnings("ignore", category=DeprecationWarning)

import numpy as np  # noqa: E402
from pennylane import numpy as pnp  # noqa: E402
from scipy.stats import norm  # noqa: E402

FIXED = [qml.Hadamard, qml.PauliX, qml.PauliY, qml.PauliZ, qml.S, qml.T, qml.SX]
ONE_ANGLE = [qml.RX, qml.RY, qml.RZ, qml.PhaseShift]
TWO_WIRES = [qml.CNOT, qml.CZ, qml.CY, qml.SWAP, qml.ISWAP, qml.CH]
TWO_WIRE_ANGLE = [qml.CRX, qml.CRY, qml.CRZ, qml.IsingXX, qml.IsingYY, qml.IsingZZ,
                  qml.ControlledPhaseShift]


def random_operations(rng, wires, depth):
    """A random circuit over every kind of gate the device lowers or has decomposed."""
    ops = []
    for _ in range(depth):
        kind = rng.integers(8)
        a, b, c = (int(w) for w in rng.permutation(wires)[:3])
        angles = rng.uniform(-np.pi, np.pi, 3)
        if kind == 0:
            ops.append(FIXED[rng.integers(len(FIXED))](wires=a))
        elif kind == 1:
            ops.append(ONE_ANGLE[rng.integers(len(ONE_ANGLE))](angles[0], wires=a))
        elif kind == 2:
            ops.append(qml.Rot(*angles, wires=a))
        elif kind == 3:
            ops.append(TWO_WIRES[rng.integers(len(TWO_WIRES))](wires=[a, b]))
        elif kind == 4:
            ops.append(TWO_WIRE_ANGLE[rng.integers(len(TWO_WIRE_ANGLE))](angles[0], wires=[a, b]))
        elif kind == 5:
            ops.append(qml.Toffoli(wires=[a, b, c]))
        elif kind == 6:
            ops.append(qml.ctrl(qml.RY(angles[1], wires=a), control=[b, c], control_values=[0, 1]))
        else:
            ops.append(qml.MultiRZ(angles[2], wires=[a, b, c]))
    return ops


def run_both(ops, measurements, wires, **device_options):
    def circuit():
        for op in ops:
            qml.apply(op)
        return measurements() if callable(measurements) else measurements

    ours = qml.QNode(circuit, qml.device("korvel.qubit", wires=wires, **device_options))()
    theirs = qml.QNode(circuit, qml.device("default.qubit", wires=wires))()
    return ours, theirs


@pytest.mark.parametrize("seed", range(6))
def test_random_circuits_match_default_qubit(seed):
    rng = np.random.default_rng(seed)
    wires = 5
    ops = random_operations(rng, range(wires), 40)
    hamiltonian = qml.Hamiltonian([0.3, -1.2, 0.7], [qml.X(0) @ qml.Y(3), qml.Z(1), qml.Y(2) @ qml.Z(4)])
    hermitian = rng.normal(size=(4, 4)) + 1j * rng.normal(size=(4, 4))
    measurements = lambda: (  # noqa: E731
        qml.state(), qml.probs(wires=[3, 1]), qml.expval(hamiltonian),
        qml.expval(qml.Hermitian(hermitian + hermitian.conj().T, wires=[2, 0])),
        qml.expval(qml.Projector([1, 0], wires=[4, 1])), qml.var(qml.X(2) @ qml.Z(0)),
        qml.expval(qml.sum(qml.s_prod(0.5, qml.X(1)), qml.prod(qml.Y(0), qml.Y(4)))))
    ours, theirs = run_both(ops, measurements, wires)
    assert ours[0].dtype == np.complex128
    for mine, reference in zip(ours, theirs):
        np.testing.assert_allclose(mine, reference, rtol=0, atol=1e-12)


def bound(shots, probabilities, outcomes):
    """Half-width per outcome that all outcomes stay within, but with chance below 1e-9."""
    z = norm.isf(1e-9 / (2 * outcomes))
    return z * np.sqrt(probabilities * (1 - probabilities) / shots) + 1.0 / shots


@pytest.mark.parametrize("seed", range(3))
def test_sample_statistics_match_the_exact_distribution(seed):
    rng = np.random.default_rng(100 + seed)
    wires, shots = 4, 20_000
    ops = random_operations(rng, range(wires), 25)
    exact, _ = run_both(ops, lambda: qml.probs(wires=range(wires)), wires)
    observable = qml.X(0) @ qml.Z(2) + 0.5 * qml.Y(1)
    exact_ev, _ = run_both(ops, lambda: qml.expval(observable), wires)

    def circuit():
        for op in ops:
            qml.apply(op)
        return qml.counts(wires=range(wires)), qml.expval(observable)

    device = qml.device("korvel.qubit", wires=wires, seed=seed)
    counts, ev = qml.set_shots(qml.QNode(circuit, device), shots=shots)()
    frequencies = np.zeros(2**wires)
    for outcome, count in counts.items():
        frequencies[int(outcome, 2)] = count / shots
    assert np.all(np.abs(frequencies - exact) <= bound(shots, exact, 2**wires))
    # Each Pauli term's estimate has variance at most 1 / shots; the sum is 1.5 at most in norm.
    z = norm.isf(1e-9 / 2)
    assert abs(ev - exact_ev) <= z * 1.5 / math.sqrt(shots)


def test_shot_vectors_and_seeds():
    def circuit():
        qml.Hadamard(0)
        qml.CNOT([0, 1])
        qml.RX(0.4, wires=2)
        return qml.sample(wires=[0, 1, 2]), qml.expval(qml.Z(2))

    def run(device, shots):
        return qml.set_shots(qml.QNode(circuit, device), shots=shots)()

    first, second = (qml.device("korvel.qubit", wires=3, seed=42) for _ in range(2))
    a1, a2 = run(first, 50), run(first, 50)
    b1, b2 = run(second, 50), run(second, 50)
    # The same seed repeats the same sequence of executions; successive executions differ.
    np.testing.assert_array_equal(a1[0], b1[0])
    np.testing.assert_array_equal(a2[0], b2[0])
    assert not np.array_equal(a1[0], a2[0])
    assert np.all(a1[0][:, 0] == a1[0][:, 1])
    generator = qml.device("korvel.qubit", wires=3, seed=np.random.default_rng(7))
    vector = run(generator, (10, (20, 2)))
    assert [s.shape for s, _ in vector] == [(10, 3), (20, 3), (20, 3)]


def test_mid_circuit_measurements_and_postselection_match_default_qubit():
    def circuit(x):
        qml.RX(x, wires=0)
        m = qml.measure(0)
        qml.cond(m, qml.RY)(0.7, wires=1)
        qml.Hadamard(2)
        k = qml.measure(2, postselect=1)
        qml.cond(k, qml.CRZ)(0.3, wires=[1, 0])
        return qml.expval(qml.Z(1) @ qml.X(0)), qml.probs(wires=[0, 1]), qml.expval(m)

    x = 1.1
    ours = qml.QNode(circuit, qml.device("korvel.qubit"))(x)
    theirs = qml.QNode(circuit, qml.device("default.qubit"), mcm_method="deferred")(x)
    for mine, reference in zip(ours, theirs):
        np.testing.assert_allclose(mine, reference, rtol=0, atol=1e-12)


def test_broadcast_parameters_match_default_qubit():
    def circuit(x):
        qml.RX(x, wires=0)
        qml.CRY(2 * x, wires=[0, 1])
        return qml.expval(qml.Z(1)), qml.probs(wires=0)

    x = np.array([0.1, 0.9, 2.3])
    ours = qml.QNode(circuit, qml.device("korvel.qubit", wires=2))(x)
    theirs = qml.QNode(circuit, qml.device("default.qubit", wires=2))(x)
    for mine, reference in zip(ours, theirs):
        np.testing.assert_allclose(mine, reference, rtol=0, atol=1e-12)


def layered_ansatz(weights, wires):
    qml.StronglyEntanglingLayers(weights[0], wires=range(wires))
    for layer in weights[1]:
        for w in range(wires):
            qml.CRX(layer[w], wires=[w, (w + 3) % wires])
        qml.ctrl(qml.RY(layer[0], wires=0), control=[1, 2], control_values=[1, 0])


@pytest.mark.parametrize("wires", [10, 12, 14])
def test_adjoint_jacobians_equal_parameter_shift(wires):
    rng = np.random.default_rng(wires)
    entangling = pnp.array(rng.uniform(-np.pi, np.pi, (1, wires, 3)), requires_grad=True)
    controlled = pnp.array(rng.uniform(-np.pi, np.pi, (1, wires)), requires_grad=True)
    observables = [qml.Hamiltonian(list(rng.normal(size=4)), [
        qml.Z(0) @ qml.Z(1), qml.X(wires - 1), qml.Y(2) @ qml.X(5), qml.Z(wires // 2)]), qml.Y(3)]

    def circuit(a, b):
        layered_ansatz((a, b), wires)
        return [qml.expval(o) for o in observables]

    device = qml.device("korvel.qubit", wires=wires)
    adjoint = qml.QNode(circuit, device, diff_method="adjoint")
    shift = qml.QNode(circuit, device, diff_method="parameter-shift")
    def cost(node):
        return lambda a, b: pnp.stack(node(a, b))
    ours = qml.jacobian(cost(adjoint))(entangling, controlled)
    reference = qml.jacobian(cost(shift))(entangling, controlled)
    assert entangling.size + controlled.size >= 30
    for mine, theirs in zip(ours, reference):
        np.testing.assert_allclose(mine, theirs, rtol=0, atol=1e-10)
    # The gradient of a scalar, from the Jacobian taken on execution and, asked for, from the
    # device's vector-Jacobian product.
    for node in (adjoint, qml.QNode(circuit, device, diff_method="adjoint", device_vjp=True)):
        scalar = lambda a, b: node(a, b)[0] - 0.5 * node(a, b)[1]  # noqa: E731
        gradient = qml.grad(scalar)(entangling, controlled)
        np.testing.assert_allclose(gradient[0], ours[0][0] - 0.5 * ours[0][1], rtol=0, atol=1e-10)


@pytest.mark.parametrize("device_vjp", [False, True])
def test_trainable_observable_parameters_get_zero_slopes_beside_the_circuits(device_vjp):
    # As lightning.qubit gives them, after PennyLane's warning that the adjoint method
    # differentiates the circuit's parameters only.
    device = qml.device("korvel.qubit", wires=1)

    @qml.qnode(device, diff_method="adjoint", device_vjp=device_vjp)
    def circuit(x, h):
        qml.RY(x, 0)
        return qml.expval(qml.Hermitian(h, 0))

    x, h = pnp.array(0.7, requires_grad=True), pnp.array([[1.0, 0.5], [0.5, -1.0]], requires_grad=True)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        slope, observable_slopes = qml.grad(circuit)(x, h)
        np.testing.assert_allclose(circuit(x, h), np.cos(0.7) + 0.5 * np.sin(0.7), atol=1e-14)
    np.testing.assert_allclose(slope, -np.sin(0.7) + 0.5 * np.cos(0.7), atol=1e-14)
    np.testing.assert_array_equal(observable_slopes, np.zeros((2, 2)))


def test_best_is_adjoint_analytically_and_parameter_shift_with_shots():
    device = qml.device("korvel.qubit", wires=2, seed=3)

    def circuit(x):
        qml.RX(x, wires=0)
        qml.CNOT([0, 1])
        return qml.expval(qml.Z(1))

    x = pnp.array(0.8, requires_grad=True)
    assert qml.workflow.get_best_diff_method(qml.QNode(circuit, device))(x) == "adjoint"
    np.testing.assert_allclose(qml.grad(qml.QNode(circuit, device))(x), -np.sin(0.8), atol=1e-12)
    sampled = qml.set_shots(qml.QNode(circuit, device), shots=200_000)
    assert qml.workflow.get_best_diff_method(sampled)(x) == "parameter-shift"
    assert abs(qml.grad(sampled)(x) + np.sin(0.8)) < 6.2 / math.sqrt(200_000) * 1.5
    variance = qml.QNode(lambda x: (qml.RX(x, 0), qml.var(qml.Z(0)))[-1], device)
    np.testing.assert_allclose(qml.grad(variance)(x), np.sin(1.6), atol=1e-10)


@pytest.mark.parametrize("interface", ["torch", "jax"])
def test_other_interfaces_reach_the_adjoint_method(interface):
    library = pytest.importorskip(interface)
    device = qml.device("korvel.qubit", wires=2)

    @qml.qnode(device, diff_method="adjoint", interface=interface)
    def circuit(x):
        qml.RY(x, wires=0)
        qml.CRX(x, wires=[0, 1])
        return qml.expval(qml.Z(1))

    if interface == "torch":
        x = library.tensor(0.6, dtype=library.float64, requires_grad=True)
        circuit(x).backward()
        slope = float(x.grad)
    else:
        library.config.update("jax_enable_x64", True)
        slope = float(library.grad(circuit)(library.numpy.array(0.6)))
    step = 1e-6
    reference = qml.QNode(circuit.func, qml.device("default.qubit", wires=2))
    expected = (reference(0.6 + step) - reference(0.6 - step)) / (2 * step)
    assert abs(slope - expected) < 1e-8


def jax_circuit(x):
    qml.RX(x[0], wires=0)
    qml.CRY(x[1], wires=[0, 1])
    qml.RZ(x[2], wires=2)
    qml.IsingXX(x[0] * x[1], wires=[1, 2])
    qml.Rot(x[2], x[1], x[0], wires=1)
    qml.ctrl(qml.RY(x[3], wires=2), control=[0, 1], control_values=[1, 0])
    return qml.expval(qml.Z(1) @ qml.X(2)), qml.expval(qml.Y(0) + 0.5 * qml.Z(2))


@pytest.mark.parametrize("jit", [False, True])
def test_jax_gradients_and_jacobians_equal_default_qubit(jit):
    """PennyLane runs jax.jit over korvel.qubit through a host callback, without catalyst."""
    jax = pytest.importorskip("jax")
    jax.config.update("jax_enable_x64", True)
    ours, theirs = (qml.QNode(jax_circuit, qml.device(name, wires=3), interface="jax",
                              diff_method="adjoint") for name in ("korvel.qubit", "default.qubit"))

    def scalar(node):
        return lambda x: node(x)[0] - 2.0 * node(x)[1]

    wrap = jax.jit if jit else (lambda f: f)
    for x in jax.numpy.array([[0.3, -1.1, 0.8, 2.0], [1.7, 0.2, -2.9, -0.4]]):
        np.testing.assert_allclose(wrap(ours)(x), theirs(x), rtol=0, atol=1e-10)
        np.testing.assert_allclose(wrap(jax.grad(scalar(ours)))(x), jax.grad(scalar(theirs))(x),
                                   rtol=0, atol=1e-10)
        np.testing.assert_allclose(wrap(jax.jacobian(ours))(x), jax.jacobian(theirs)(x),
                                   rtol=0, atol=1e-10)


def test_limits_and_errors_name_their_cause():
    with pytest.raises(ValueError, match="at most 29 wires, got 30"):
        qml.device("korvel.qubit", wires=30)
    with pytest.raises(TypeError, match="seed must be"):
        qml.device("korvel.qubit", wires=1, seed="fixed")

    @qml.qnode(qml.device("korvel.qubit"))
    def wide():
        for w in range(30):
            qml.Hadamard(w)
        return qml.expval(qml.Z(0))

    with pytest.raises(qml.exceptions.DeviceError, match="at most 29 wires"):
        wide()

    @qml.qnode(qml.device("korvel.qubit", wires=1))
    def sampled_analytic():
        qml.Hadamard(0)
        return qml.sample(wires=0)

    with pytest.raises(qml.exceptions.DeviceError, match="sample"):
        sampled_analytic()
