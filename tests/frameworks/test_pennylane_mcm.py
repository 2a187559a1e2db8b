"""korvel.qubit's mid-circuit measurements: trajectories against default.qubit on random circuits
with measurements, resets, conditions and postselection, the choice between deferral and
trajectories, and the truth tables that conditions become.

Sampled comparisons use bounds that a correct device fails by chance with probability below
1e-9 (a normal bound per outcome, corrected for the number of outcomes compared).
"""

from __future__ import annotations

import warnings

import pytest

qml = pytest.importorskip("pennylane")
warnings.filterwarnings("ignore", category=DeprecationWarning)

import numpy as np  # noqa: E402
from pennylane.ops import MidMeasure  # noqa: E402
from scipy.stats import norm  # noqa: E402

from korvel_pennylane.mid_circuit import _disjoint_cubes  # noqa: E402

GATES = [qml.Hadamard, qml.SX, qml.T]
ANGLES = [qml.RX, qml.RY, qml.CRY, qml.IsingXX]

# Conditions over the measurements taken so far (the last three of them).
CONDITIONS = [
    lambda a, b, c: a,
    lambda a, b, c: ~a,
    lambda a, b, c: a == 0,
    lambda a, b, c: a != b,
    lambda a, b, c: a & b,
    lambda a, b, c: a | ~b,
    lambda a, b, c: (a + b) == 1,
    lambda a, b, c: (a + b + c) >= 2,
    lambda a, b, c: (a ^ c) & ~b,
]


def random_circuit(rng, wires, layers, postselect):
    """A quantum function of random gates, measurements (some resetting), conditioned gates
    and optionally one postselected measurement; it returns the measurement values."""
    plan = [("gate", qml.RY, [w], (float(rng.uniform(0.3, 2.8)),)) for w in range(wires)]
    for layer in range(layers):
        for _ in range(3):
            w = [int(x) for x in rng.permutation(wires)[:2]]
            kind = rng.integers(3)
            if kind == 0:
                plan.append(("gate", GATES[rng.integers(len(GATES))], w[:1], ()))
            else:
                gate = ANGLES[rng.integers(len(ANGLES))]
                plan.append(("gate", gate, w[:gate.num_wires], (float(rng.uniform(-np.pi, np.pi)),)))
        post = 1 if postselect and layer == 1 else None
        plan.append(("measure", int(rng.integers(wires)), bool(rng.integers(2)), post))
        gate = ANGLES[rng.integers(len(ANGLES))]
        w = [int(x) for x in rng.permutation(wires)[:gate.num_wires]]
        plan.append(("cond", int(rng.integers(len(CONDITIONS))), gate, w,
                     float(rng.uniform(-np.pi, np.pi))))

    def circuit():
        values = []
        for step in plan:
            if step[0] == "gate":
                step[1](*step[3], wires=step[2])
            elif step[0] == "measure":
                values.append(qml.measure(step[1], reset=step[2], postselect=step[3]))
            else:
                a, b, c = (values[-1], values[-2 % len(values)], values[-3 % len(values)])
                qml.cond(CONDITIONS[step[1]](a, b, c), step[2])(step[4], wires=step[3])
        return values

    return circuit


def exact_reference(circuit, wires):
    """default.qubit's exact answers by deferral: the wires' probabilities and each measurement's
    probability of 1, postselection applied."""
    def measured():
        values = circuit()
        return (qml.probs(wires=range(wires)),) + tuple(qml.expval(m) for m in values)

    out = qml.QNode(measured, qml.device("default.qubit"), mcm_method="deferred")()
    return np.asarray(out[0]), np.array(out[1:])


def sampled(circuit, wires, method, shots, seed):
    def measured():
        values = circuit()
        return (qml.sample(wires=range(wires)),) + tuple(qml.sample(m) for m in values)

    device = qml.device("korvel.qubit", wires=wires, seed=seed)
    out = qml.set_shots(qml.QNode(measured, device, mcm_method=method), shots)()
    return np.asarray(out[0]), np.stack([np.asarray(v).reshape(-1) for v in out[1:]], axis=1)


def half_width(shots, p, outcomes):
    z = norm.isf(1e-9 / (2 * outcomes))
    p = np.clip(p, 0.0, 1.0)
    return z * np.sqrt(p * (1 - p) / shots) + 1.0 / shots


@pytest.mark.parametrize("method", ["one-shot", "device"])
@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("postselect", [False, True])
def test_trajectories_sample_the_exact_distribution(method, seed, postselect):
    rng = np.random.default_rng(seed + 10 * postselect)
    wires, shots = 4, 20_000
    circuit = random_circuit(rng, wires, 4, postselect)
    probabilities, ones = exact_reference(circuit, wires)
    samples, values = sampled(circuit, wires, method, shots, seed)
    kept = len(samples)
    # Postselection discards shots: the kept ones sample the postselected distribution.
    assert kept == len(values) and (kept == shots) == (not postselect)
    assert kept > 1000
    index = samples @ (1 << np.arange(wires - 1, -1, -1))
    frequencies = np.bincount(index, minlength=2**wires) / kept
    outcomes = 2**wires + len(ones)
    assert np.all(np.abs(frequencies - probabilities) <= half_width(kept, probabilities, outcomes))
    assert np.all(np.abs(values.mean(axis=0) - ones) <= half_width(kept, ones, outcomes))
    if postselect:
        assert np.all(values[:, 1] == 1)


@pytest.mark.parametrize("seed", range(2))
def test_trajectories_agree_with_default_qubit_one_shot(seed):
    """Two samples, ours and default.qubit's with the same mcm_method: their frequencies differ
    by more than the bound with chance below 1e-9."""
    rng = np.random.default_rng(50 + seed)
    wires, shots = 3, 3000
    circuit = random_circuit(rng, wires, 3, postselect=True)

    def measured():
        values = circuit()
        return qml.probs(wires=range(wires)), qml.expval(values[0]), qml.sample(values[1])

    results = []
    for name in ("korvel.qubit", "default.qubit"):
        device = qml.device(name, wires=wires, seed=seed)
        results.append(qml.set_shots(qml.QNode(measured, device, mcm_method="one-shot"), shots)())
    (p, e, s), (q, f, t) = results
    n, m = len(s), len(t)
    z = norm.isf(1e-9 / (2 * (len(p) + 1)))
    pooled = (np.asarray(p) * n + np.asarray(q) * m) / (n + m)
    assert np.all(np.abs(np.asarray(p) - q) <= z * np.sqrt(pooled * (1 - pooled) * (1 / n + 1 / m)) + 2 / n)
    mean = (e * n + f * m) / (n + m)
    assert abs(e - f) <= z * np.sqrt(mean * (1 - mean) * (1 / n + 1 / m)) + 2 / n
    # The kept shots' count is binomial around the same postselection probability.
    rate = (n + m) / (2 * shots)
    assert abs(n - m) / shots <= z * np.sqrt(2 * rate * (1 - rate) / shots)


def shape_circuit():
    qml.Hadamard(0)
    qml.RY(0.9, wires=1)
    m0 = qml.measure(0, postselect=1)
    m1 = qml.measure(1, reset=True)
    qml.cond((m0 + m1) == 1, qml.RX)(0.3, wires=2)
    qml.cond(m0 & m1, qml.CNOT)(wires=[2, 1])
    return (qml.sample(wires=0), qml.sample(wires=[0, 2]), qml.sample(qml.Z(2)),
            qml.counts(wires=[1, 2]), qml.counts(qml.Z(1)), qml.expval(qml.X(2)),
            qml.probs(wires=[1]), qml.var(qml.Z(2)), qml.sample(m0), qml.counts(m1),
            qml.probs(op=[m0, m1]), qml.expval(m0 + m1), qml.sample([m0, m1]))


@pytest.mark.parametrize("shots", [40, (10, 30)])
@pytest.mark.parametrize("postselect_mode", [None, "pad-invalid-samples"])
def test_results_take_default_qubit_one_shot_forms(shots, postselect_mode):
    def run(name):
        device = qml.device(name, wires=3, seed=4)
        node = qml.QNode(shape_circuit, device, mcm_method="one-shot", postselect_mode=postselect_mode)
        return qml.set_shots(node, shots)()

    ours, theirs = run("korvel.qubit"), run("default.qubit")
    flat_ours = ours if isinstance(shots, int) else [r for group in ours for r in group]
    flat_theirs = theirs if isinstance(shots, int) else [r for group in theirs for r in group]
    for mine, reference in zip(flat_ours, flat_theirs):
        assert type(mine) is type(reference)
        if isinstance(reference, dict):
            assert set(mine) <= {k for k in ["0", "1", "00", "01", "10", "11", -1.0, 1.0, 0.0]}
            continue
        mine, reference = np.asarray(mine), np.asarray(reference)
        if postselect_mode == "pad-invalid-samples" or mine.ndim == 0 or mine.shape[0] != reference.shape[0]:
            # Without padding, the kept shots' count is random: the rest of the shape agrees.
            assert mine.shape[1:] == reference.shape[1:]
        else:
            assert mine.shape == reference.shape


def test_seeded_trajectories_repeat_and_draw_afresh():
    rng = np.random.default_rng(3)
    circuit = random_circuit(rng, 3, 3, postselect=False)
    first, _ = sampled(circuit, 3, "one-shot", 200, 77)
    again, _ = sampled(circuit, 3, "one-shot", 200, 77)
    np.testing.assert_array_equal(first, again)
    device = qml.device("korvel.qubit", wires=3, seed=77)
    node = qml.set_shots(qml.QNode(lambda: (circuit(), qml.sample(wires=range(3)))[-1], device,
                                   mcm_method="one-shot"), 200)
    one, two = node(), node()
    np.testing.assert_array_equal(one, first)
    assert not np.array_equal(one, two)


def layered(wires, measurements):
    def circuit():
        for w in range(wires):
            qml.RY(0.3 + w, wires=w)
        for i in range(measurements):
            m = qml.measure(i % wires)
            # The measured wire is used again, so deferral gives each measurement a wire.
            qml.RY(0.2, wires=i % wires)
            qml.cond(m, qml.RX)(0.5, wires=(i + 1) % wires)
        return qml.expval(qml.Z(wires - 1))
    return circuit


def device_tapes(circuit, shots=None, **options):
    node = qml.QNode(circuit, qml.device("korvel.qubit"), **options)
    node = qml.set_shots(node, shots) if shots else node
    tapes, _ = qml.workflow.construct_batch(node, level="device")()
    return tapes


# At 100 shots: deferred while 2^measurements <= 100 and the deferred circuit fits in 29 wires.
@pytest.mark.parametrize("wires,measurements,deferred", [
    (4, 3, True), (10, 6, True), (10, 7, False), (24, 6, False)])
def test_size_chooses_deferral_or_trajectories(wires, measurements, deferred):
    (tape,) = device_tapes(layered(wires, measurements), shots=100)
    assert any(isinstance(op, MidMeasure) for op in tape.operations) != deferred
    # The user's method wins whatever the size.
    (tape,) = device_tapes(layered(wires, measurements), shots=100, mcm_method="one-shot")
    assert any(isinstance(op, MidMeasure) for op in tape.operations)
    (tape,) = device_tapes(layered(4, 3), shots=100, mcm_method="device")
    assert any(isinstance(op, MidMeasure) for op in tape.operations)


def test_analytic_mode_defers_within_29_wires_and_names_the_count_beyond():
    (tape,) = device_tapes(layered(20, 9))
    assert len(tape.wires) == 29 and not any(isinstance(op, MidMeasure) for op in tape.operations)
    with pytest.raises(qml.exceptions.DeviceError, match="needs 30 wires.*trajectories"):
        device_tapes(layered(20, 10))
    with pytest.raises(qml.exceptions.DeviceError, match="tree-traversal"):
        device_tapes(layered(3, 2), shots=10, mcm_method="tree-traversal")


def test_wide_circuits_with_many_measurements_run_as_trajectories():
    # A device of 20 wires leaves deferral no wire to spare: trajectories on 20.
    def circuit():
        for w in range(20):
            qml.Hadamard(w)
        values = [qml.measure(w) for w in range(6)]
        for i, m in enumerate(values):
            qml.cond(m, qml.RY)(np.pi, wires=6 + i)
            qml.Hadamard(6 + i)
        return qml.sample(wires=range(6, 12)), qml.sample(values)

    device = qml.device("korvel.qubit", wires=20, seed=5)
    node = qml.set_shots(qml.QNode(circuit, device), 4)
    (tape,), _ = qml.workflow.construct_batch(node, level="device")()
    assert len(tape.wires) == 20
    bits, values = node()
    # H RY(pi) H|+> is |1> and H|+> is |0>: each wire reads its measurement.
    np.testing.assert_array_equal(bits, values)


@pytest.mark.parametrize("width", [1, 3, 5])
def test_conditions_become_disjoint_cubes_covering_their_truth_tables(width):
    rng = np.random.default_rng(width)
    for _ in range(40):
        minterms = [m for m in range(1 << width) if rng.random() < 0.5]
        covered = np.zeros(1 << width, dtype=int)
        for mask, value in _disjoint_cubes(minterms, width):
            for row in range(1 << width):
                covered[row] += (row & mask) == value
        expected = np.zeros(1 << width, dtype=int)
        expected[minterms] = 1
        np.testing.assert_array_equal(covered, expected)
    assert _disjoint_cubes(list(range(1 << width)), width) == [(0, 0)]
