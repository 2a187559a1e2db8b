"""korvel_cirq against cirq.Simulator(dtype=complex128): final states, amplitudes and expectation
values of random circuits over a wide gate domain to 1e-12; sample statistics of circuits with
terminal and mid-circuit measurements, resets and classical controls within bounds that fail by
chance below 1e-9; seeded runs repeated; refusals before anything runs."""

from __future__ import annotations

import collections

import numpy as np
import pytest

cirq = pytest.importorskip("cirq")
sympy = pytest.importorskip("sympy")

from korvel_cirq import KorvelSimulator, UnsupportedOperations  # noqa: E402

EXACT = 1e-12
# A two-sided normal tail of 7 standard deviations is 2.6e-12 per outcome: with the few hundred
# outcomes compared below, the suite fails by chance with probability below 1e-9.
SIGMAS = 7.0
SHOTS = 20_000


def gate_domain():
    matrix2 = cirq.MatrixGate(cirq.testing.random_unitary(4, random_state=11))
    matrix3 = cirq.MatrixGate(cirq.testing.random_unitary(8, random_state=12))
    return {
        cirq.H: 1, cirq.T: 1, cirq.X**0.31: 1, cirq.Y**-0.7: 1, cirq.rz(0.9): 1,
        cirq.PhasedXZGate(x_exponent=0.37, z_exponent=-0.2, axis_phase_exponent=0.61): 1,
        cirq.PhasedXPowGate(phase_exponent=0.25, exponent=0.4, global_shift=0.1): 1,
        cirq.MatrixGate(cirq.testing.random_unitary(2, random_state=10)): 1,
        cirq.CNOT: 2, cirq.CZ**0.43: 2, cirq.CZPowGate(exponent=0.3, global_shift=0.25): 2,
        cirq.ISWAP**0.6: 2, cirq.SWAP: 2, cirq.FSimGate(0.7, 1.3): 2,
        cirq.PhasedISwapPowGate(phase_exponent=0.3, exponent=0.8): 2, cirq.XX**0.2: 2,
        cirq.ControlledGate(cirq.Y**0.3): 2, matrix2: 2,
        cirq.CCX: 3, cirq.CCZ**0.7: 3, cirq.CSWAP: 3, matrix3: 3,
        cirq.ControlledGate(cirq.H, num_controls=2, control_values=[0, 1]): 3,
        cirq.ControlledGate(cirq.S, num_controls=2,
                            control_values=cirq.SumOfProducts([(0, 1), (1, 0)])): 3,
    }


def random_unitary_circuit(seed, qubits=5, moments=12):
    circuit = cirq.testing.random_circuit(cirq.LineQubit.range(qubits), moments, 0.8,
                                          gate_domain(), random_state=seed)
    phasor = cirq.PauliStringPhasor(cirq.X(cirq.LineQubit(0)) * cirq.Y(cirq.LineQubit(2)),
                                    exponent_neg=0.3)
    return circuit + cirq.Circuit(phasor, cirq.GlobalPhaseGate(np.exp(0.4j)).on())


def reference():
    return cirq.Simulator(dtype=np.complex128)


def random_observables(qubits, seed):
    rng = np.random.default_rng(seed)
    observables = []
    for _ in range(4):
        terms = []
        for _ in range(3):
            paulis = {q: [cirq.X, cirq.Y, cirq.Z][rng.integers(3)] for q in qubits
                      if rng.random() < 0.6}
            terms.append(cirq.PauliString(paulis, coefficient=rng.normal()))
        observables.append(sum(terms[1:], terms[0]))
    return observables + [cirq.Z(qubits[0]) * cirq.Z(qubits[-1]), 0.5 * cirq.PauliString()]


@pytest.mark.parametrize("seed", range(12))
def test_final_states_amplitudes_and_expectation_values(seed):
    circuit = random_unitary_circuit(seed)
    qubits = sorted(circuit.all_qubits())
    order = list(reversed(qubits)) if seed % 2 else cirq.QubitOrder.DEFAULT
    ours, theirs = KorvelSimulator(), reference()
    state = ours.simulate(circuit, qubit_order=order).final_state_vector
    expected = theirs.simulate(circuit, qubit_order=order).final_state_vector
    assert state.dtype == np.complex128
    np.testing.assert_allclose(state, expected, atol=EXACT, rtol=0)
    bitstrings = np.random.default_rng(seed).integers(0, 1 << len(qubits), 9)
    np.testing.assert_allclose(ours.compute_amplitudes(circuit, bitstrings, qubit_order=order),
                               expected[bitstrings], atol=EXACT, rtol=0)
    observables = random_observables(qubits, seed)
    np.testing.assert_allclose(
        ours.simulate_expectation_values(circuit, observables, qubit_order=order),
        theirs.simulate_expectation_values(circuit, observables, qubit_order=order),
        atol=EXACT, rtol=0)


@pytest.mark.parametrize("start", ["integer", "vector"])
def test_initial_states(start):
    circuit = random_unitary_circuit(3, qubits=4)
    if start == "integer":
        initial = 0b1011
    else:
        initial = cirq.testing.random_superposition(16, random_state=4).astype(np.complex128)
    np.testing.assert_allclose(
        KorvelSimulator().simulate(circuit, initial_state=initial).final_state_vector,
        reference().simulate(circuit, initial_state=initial).final_state_vector,
        atol=EXACT, rtol=0)


def parametric_circuit():
    q = cirq.LineQubit.range(4)
    t, p = sympy.symbols("t p")
    return cirq.Circuit(
        cirq.rx(t)(q[0]), cirq.H.on_each(*q[1:]), cirq.CZ(q[0], q[1]) ** t,
        cirq.FSimGate(t, p)(q[1], q[2]), cirq.ISwapPowGate(exponent=2 * p)(q[2], q[3]),
        cirq.PhasedXZGate(x_exponent=t, z_exponent=0.2, axis_phase_exponent=p / 2)(q[3]),
        cirq.CZPowGate(exponent=p, global_shift=0.5)(q[3], q[0]),
        cirq.ControlledGate(cirq.ry(t * p), control_values=[0])(q[0], q[2]),
        cirq.PauliStringPhasor(cirq.X(q[0]) * cirq.Z(q[3]), exponent_neg=t),
    )


@pytest.mark.parametrize("sweep", [
    cirq.Linspace("t", -1.0, 2.0, 4) * cirq.Points("p", [0.3, 1.7]),
    cirq.Zip(cirq.Linspace("t", 0, 1, 3), cirq.Linspace("p", 1, 0, 3)),
])
def test_parameter_sweeps(sweep):
    circuit = parametric_circuit()
    qubits = sorted(circuit.all_qubits())
    observable = cirq.X(qubits[0]) * cirq.Y(qubits[2]) + cirq.Z(qubits[1])
    ours, theirs = KorvelSimulator(), reference()
    for mine, expected in zip(ours.simulate_sweep(circuit, sweep),
                              theirs.simulate_sweep(circuit, sweep)):
        np.testing.assert_allclose(mine.final_state_vector, expected.final_state_vector,
                                   atol=EXACT, rtol=0)
    np.testing.assert_allclose(
        ours.simulate_expectation_values_sweep(circuit, observable, sweep),
        theirs.simulate_expectation_values_sweep(circuit, observable, sweep), atol=EXACT, rtol=0)
    np.testing.assert_allclose(
        ours.compute_amplitudes_sweep(circuit, [0, 5, 15], sweep),
        theirs.compute_amplitudes_sweep(circuit, [0, 5, 15], sweep), atol=EXACT, rtol=0)


# -- samples ---------------------------------------------------------------------------------


def assert_counts_match(ours, our_shots, theirs, their_shots):
    """Two samples agree on every outcome's frequency within SIGMAS standard deviations."""
    for key in set(ours) | set(theirs):
        x, y = ours.get(key, 0), theirs.get(key, 0)
        p = (x + y) / (our_shots + their_shots)
        bound = SIGMAS * np.sqrt(p * (1 - p) * (1 / our_shots + 1 / their_shots)) \
            + 3 / their_shots
        assert abs(x / our_shots - y / their_shots) <= bound, (key, x, y, bound)


def joint_outcomes(result):
    keys = sorted(result.records)
    rows = np.concatenate([result.records[k].reshape(result.repetitions, -1) for k in keys],
                          axis=1)
    return collections.Counter(map(tuple, rows.tolist()))


@pytest.mark.parametrize("seed", range(4))
def test_terminal_measurements_follow_the_exact_distribution(seed):
    body = random_unitary_circuit(seed, qubits=4, moments=8)
    qubits = sorted(body.all_qubits())
    circuit = body + cirq.Circuit(cirq.measure(*qubits[:3], key="m"),
                                  cirq.measure(qubits[3], key="n", invert_mask=(True,)),
                                  cirq.measure(qubits[0], key="n", invert_mask=(True,)))
    result = KorvelSimulator(seed=seed).run(circuit, repetitions=SHOTS)
    assert result.records["m"].shape == (SHOTS, 1, 3) and result.records["n"].shape == (SHOTS, 2, 1)
    probabilities = np.abs(reference().simulate(body).final_state_vector) ** 2
    counts = collections.Counter(
        (int(m[0]) << 3 | int(m[1]) << 2 | int(m[2]) << 1 | (1 - int(n[0]))) for m, n in
        zip(result.records["m"][:, 0, :], result.records["n"][:, 0, :]))
    assert np.array_equal(result.records["n"][:, 1, 0], 1 - result.records["m"][:, 0, 0])
    for outcome, p in enumerate(probabilities):
        bound = SIGMAS * np.sqrt(SHOTS * p * (1 - p)) + 3
        assert abs(counts.get(outcome, 0) - SHOTS * p) <= bound, (outcome, counts, p)


def mid_circuit(seed):
    q = cirq.LineQubit.range(4)
    body = random_unitary_circuit(seed, qubits=4, moments=5)
    return body + cirq.Circuit(
        cirq.measure(q[0], q[1], key="a"),
        cirq.X(q[2]).with_classical_controls("a"),
        cirq.reset(q[1]),
        cirq.H(q[1]),
        cirq.ry(0.7)(q[3]).with_classical_controls(
            cirq.SympyCondition(sympy.Eq(sympy.Symbol("a"), 2))),
        cirq.CNOT(q[1], q[3]),
        cirq.measure(q[1], q[2], key="b", invert_mask=(False, True)),
        cirq.CZ(q[0], q[3]).with_classical_controls(cirq.KeyCondition(cirq.MeasurementKey("b"))),
        cirq.H(q[0]),
        cirq.measure(q[0], q[3], key="a"),
    )


# cirq.Simulator runs mid-circuit measurements shot by shot at about 1.3 ms a shot here.
REFERENCE_SHOTS = 3000


@pytest.mark.parametrize("seed", range(2))
def test_mid_circuit_measurements_resets_and_classical_controls(seed):
    circuit = mid_circuit(seed)
    ours = KorvelSimulator(seed=seed).run(circuit, repetitions=SHOTS)
    theirs = cirq.Simulator(seed=seed).run(circuit, repetitions=REFERENCE_SHOTS)
    assert {k: v.shape[1:] for k, v in ours.records.items()} == \
        {k: v.shape[1:] for k, v in theirs.records.items()}
    assert_counts_match(joint_outcomes(ours), SHOTS, joint_outcomes(theirs), REFERENCE_SHOTS)
    # One trajectory's final state: collapsed consistently with its own measurements.
    result = KorvelSimulator(seed=seed).simulate(circuit)
    state = result.final_state_vector
    assert np.isclose(np.vdot(state, state).real, 1.0, atol=EXACT)
    a = result.measurements["a"]
    probabilities = np.abs(state.reshape(2, 2, 2, 2)) ** 2
    assert np.isclose(probabilities[a[0], :, :, a[1]].sum(), 1.0, atol=EXACT)


def test_seeded_runs_repeat_and_successive_runs_draw_afresh():
    circuit = mid_circuit(0)
    terminal = cirq.Circuit(cirq.H.on_each(*cirq.LineQubit.range(6)),
                            cirq.measure(*cirq.LineQubit.range(6), key="m"))

    def runs(seed):
        simulator = KorvelSimulator(seed=seed)
        return [simulator.run(c, repetitions=50).records[k].tolist()
                for c, k in ((circuit, "a"), (terminal, "m"), (terminal, "m"))]

    first = runs(17)
    assert runs(17) == first
    assert first[1] != first[2]
    assert runs(np.random.RandomState(5)) == runs(np.random.RandomState(5))
    assert runs(np.random.default_rng(5)) == runs(np.random.default_rng(5))
    assert runs(None) != runs(None)


def test_the_sampler_interface_works_through_cirq():
    q = cirq.LineQubit.range(2)
    t = sympy.Symbol("t")
    circuit = cirq.Circuit(cirq.rx(t)(q[0]), cirq.CNOT(*q), cirq.measure(*q, key="m"))
    simulator = KorvelSimulator(seed=1)
    frame = simulator.sample(circuit, repetitions=100, params=cirq.Linspace("t", 0, np.pi, 3))
    assert len(frame) == 300 and set(frame["m"]) <= {0, 3}
    batches = simulator.run_batch([circuit], [cirq.Points("t", [0.0, np.pi])], repetitions=10)
    assert [r.histogram(key="m") for r in batches[0]] == [{0: 10}, {3: 10}]
    assert simulator.run(circuit, {"t": 0.0}, repetitions=0).records["m"].shape[0] == 0
    estimates = simulator.sample_expectation_values(circuit[:-1], [cirq.Z(q[0]) * cirq.Z(q[1])],
                                                    num_samples=200, params={"t": 0.4})
    assert estimates[0][0] == pytest.approx(1.0)


# -- refusals --------------------------------------------------------------------------------


@pytest.mark.parametrize("circuit, message", [
    (cirq.Circuit(cirq.H(cirq.q(0)), cirq.depolarize(0.1)(cirq.q(0)), cirq.measure(cirq.q(0))),
     "depolarize"),
    (cirq.Circuit(cirq.amplitude_damp(0.2)(cirq.q(1)), cirq.measure(cirq.q(1))), "amplitude_damp"),
    (cirq.Circuit(cirq.measure(cirq.q(0), key="m", confusion_map={(0,): np.eye(2)})),
     "confusion map"),
])
def test_noise_is_refused_before_anything_runs(circuit, message):
    for call in (lambda s: s.run(circuit), lambda s: s.simulate(circuit)):
        with pytest.raises(UnsupportedOperations, match=message):
            call(KorvelSimulator())


@pytest.mark.parametrize("call, error, message", [
    (lambda s: s.simulate(cirq.Circuit(cirq.H.on_each(*cirq.LineQubit.range(30)))), ValueError,
     "30 qubits"),
    (lambda s: s.simulate(cirq.Circuit(cirq.rx(sympy.Symbol("t"))(cirq.q(0)))), ValueError, "t"),
    (lambda s: s.run(cirq.Circuit(cirq.H(cirq.q(0)))), ValueError, "no measurements"),
    (lambda s: s.run(cirq.Circuit(cirq.measure(cirq.q(0))), repetitions=-1), ValueError,
     "repetitions"),
    (lambda s: s.run(cirq.Circuit(cirq.measure(cirq.q(0))), repetitions=1.5), TypeError,
     "repetitions"),
    (lambda s: s.compute_amplitudes(cirq.Circuit(cirq.H(cirq.q(0))), [2]), ValueError, "bitstring 2"),
    (lambda s: s.simulate(cirq.Circuit(cirq.H(cirq.q(0))), initial_state=np.ones(2)), ValueError,
     "initial_state"),
    (lambda s: s.simulate(cirq.Circuit(cirq.H(cirq.q(0))), initial_state=2), ValueError,
     "initial_state"),
    (lambda s: s.simulate_expectation_values(cirq.Circuit(cirq.H(cirq.q(0))), cirq.Z(cirq.q(1))),
     ValueError, "q\\(1\\)"),
    (lambda s: s.simulate_expectation_values(cirq.Circuit(cirq.H(cirq.q(0)), cirq.measure(
        cirq.q(0))), cirq.Z(cirq.q(0))), ValueError, "terminal measurements"),
    (lambda s: s.simulate(cirq.Circuit(cirq.IdentityGate(qid_shape=(3,)).on(cirq.LineQid(0, 3)))),
     ValueError, "dimension 3"),
    (lambda s: s.run(cirq.Circuit(cirq.X(cirq.q(0)).with_classical_controls("z"),
                                  cirq.measure(cirq.q(0), key="z"))), ValueError, "'z'"),
])
def test_bad_input_raises_a_documented_error_naming_it(call, error, message):
    with pytest.raises(error, match=message):
        call(KorvelSimulator())


@pytest.mark.parametrize("seed, error", [(-1, ValueError), (1.5, TypeError), ("1", TypeError)])
def test_bad_seeds_are_refused(seed, error):
    with pytest.raises(error, match="seed"):
        KorvelSimulator(seed=seed)
