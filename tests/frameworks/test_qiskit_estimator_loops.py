"""KorvelEstimator on circuits with while_loops: exact values and trajectories against the exact
branch model of the control-flow suite, a repeat-until-success loop's closed form, the
iteration limit per branch, and set steps in the branch walk."""

from __future__ import annotations

import dataclasses
import math

import numpy as np
import pytest

pytest.importorskip("qiskit")
from qiskit import ClassicalRegister, QuantumCircuit, QuantumRegister  # noqa: E402
from qiskit.circuit.classical import expr  # noqa: E402
from qiskit.quantum_info import SparsePauliOp  # noqa: E402

from korvel_programs import KIND_JUMP, ProgramBuilder  # noqa: E402
from korvel_qiskit import KorvelEstimator, KorvelSampler  # noqa: E402
from korvel_qiskit import branches  # noqa: E402
from korvel_qiskit.lowering import lower  # noqa: E402
from test_qiskit_control_flow import exact_branches  # noqa: E402

# Hoeffding for a mean of N values in [-s, s] with N >= s^2 / precision^2: a deviation of
# c * precision has probability at most 2 exp(-c^2 / 2), below 1e-9 for this c.
DEVIATIONS = math.sqrt(2 * math.log(2 / 1e-9))


def model_value(circuit, observable):
    return sum(branch.weight * float(np.real(branch.state.expectation_value(observable)))
               for branch in exact_branches(circuit))


# -- random circuits with while_loops ----------------------------------------------------------

def random_loops(seed):
    """A counted loop (a two-qubit counter measured into `a`, run while a != K, its body
    measuring, resetting and branching on the data qubits) and a repeat-until-success loop
    (qubit 2 prepared afresh until it reads 1, with if_else and break_loop on data bits), in
    random order. Each round of a loop leaves at most one branch going round again, or a
    bounded count of rounds, so the exact walk stays small."""
    rng = np.random.default_rng(seed)
    counter, data = ClassicalRegister(2, "a"), ClassicalRegister(2, "b")
    flag = ClassicalRegister(1, "f")
    circuit = QuantumCircuit(QuantumRegister(5, "q"), counter, data, flag)
    work = [3, 4]  # data qubits; 0, 1 count; 2 is the repeat-until-success qubit

    def gates(count):
        for _ in range(count):
            q = int(rng.choice(work + [2]))
            kind = int(rng.integers(4))
            if kind == 0:
                circuit.ry(float(rng.uniform(0.2, 3.0)), q)
            elif kind == 1:
                circuit.rx(float(rng.uniform(0.2, 3.0)), q)
            elif kind == 2:
                circuit.h(q)
            else:
                circuit.cx(q, work[0] if q != work[0] else work[1])

    def counted():
        rounds = int(rng.integers(1, 4))
        circuit.measure([0, 1], counter)
        with circuit.while_loop(expr.not_equal(counter, rounds)):
            for _ in range(int(rng.integers(1, 3))):
                kind = int(rng.integers(4))
                q, j = int(rng.choice(work)), int(rng.integers(2))
                if kind == 0:
                    gates(2)
                elif kind == 1:
                    circuit.measure(q, data[j])
                elif kind == 2:
                    circuit.reset(q)
                else:
                    with circuit.if_test((data[j], int(rng.integers(2)))) as otherwise:
                        gates(1)
                        if rng.integers(2):
                            circuit.measure(q, data[1 - j])
                    with otherwise:
                        gates(1)
            # Increment the counter: high ^= low, then low ^= 1; read it for the test.
            circuit.cx(0, 1)
            circuit.x(0)
            circuit.measure([0, 1], counter)

    def repeat_until_success():
        angle = float(rng.uniform(1.9, 2.9))  # fails with probability 0.33 at most
        j = int(rng.integers(2))
        circuit.measure(2, flag[0])
        with circuit.while_loop((flag[0], 0)):
            circuit.reset(2)
            circuit.ry(angle, 2)
            if rng.integers(2):
                circuit.cx(2, work[j])
            circuit.measure(2, flag[0])
            kind = int(rng.integers(3))
            if kind == 0:
                with circuit.if_test((flag[0], 0)):
                    circuit.rx(float(rng.uniform(0.2, 3.0)), work[1 - j])
            elif kind == 1:
                with circuit.if_test((data[j], 1)):
                    circuit.break_loop()
                circuit.h(work[1 - j])

    gates(3)
    circuit.measure(work[0], data[0])
    for which in rng.permutation(2):
        (counted, repeat_until_success)[which]()
        gates(2)
    # A last layer on every qubit, so that no measurement is final.
    for q in range(5):
        circuit.u(*rng.uniform(-np.pi, np.pi, 3), q)
    return circuit


def random_observables(rng, count):
    out = []
    for _ in range(count):
        labels = ["".join(rng.choice(list("IXYZ"), 5)) for _ in range(3)]
        out.append(SparsePauliOp(labels, rng.normal(size=3)))
    return out


@pytest.mark.parametrize("seed", range(12))
@pytest.mark.parametrize("fusion", [True, False])
def test_random_loops_agree_with_the_exact_model(seed, fusion):
    circuit = random_loops(seed)
    observables = random_observables(np.random.default_rng(500 + seed), 3)
    evs = KorvelEstimator(fusion=fusion).run([(circuit, observables)]).result()[0].data.evs
    expected = [model_value(circuit, o) for o in observables]
    np.testing.assert_allclose(evs, expected, rtol=0, atol=1e-12)


@pytest.mark.parametrize("seed", range(4))
def test_trajectories_through_loops_agree_within_their_error(seed):
    circuit = random_loops(seed)
    observables = random_observables(np.random.default_rng(700 + seed), 2)
    precision = 0.04
    result = KorvelEstimator(seed=seed).run([(circuit, observables)],
                                            precision=precision).result()[0]
    again = KorvelEstimator(seed=seed).run([(circuit, observables)],
                                           precision=precision).result()[0]
    assert np.array_equal(result.data.evs, again.data.evs)
    expected = [model_value(circuit, o) for o in observables]
    assert np.all(np.abs(result.data.evs - expected) <= DEVIATIONS * precision)


# -- a repeat-until-success loop in closed form ------------------------------------------------

def _repeat_until_one(theta, alpha, phi, label=None):
    """Qubit 0 prepared by ry(theta) until it reads 1; every failure turns qubit 1, prepared
    by ry(phi), by rx(alpha) about X."""
    circuit = QuantumCircuit(2, 1)
    circuit.ry(phi, 1)
    circuit.ry(theta, 0)
    circuit.measure(0, 0)
    with circuit.if_test((circuit.clbits[0], 0)):
        circuit.rx(alpha, 1)
    with circuit.while_loop((circuit.clbits[0], 0)):
        circuit.reset(0)
        circuit.ry(theta, 0)
        circuit.measure(0, 0)
        with circuit.if_test((circuit.clbits[0], 0)):
            circuit.rx(alpha, 1)
    if label is not None:
        circuit.data[-1].operation.label = label
    return circuit


def _closed_form(theta, alpha, phi):
    """After k failures (probability p q^k) qubit 1's Bloch vector is (sin phi,
    -cos phi sin(k alpha), cos phi cos(k alpha)): the sums are geometric series."""
    p = math.sin(theta / 2) ** 2
    series = p / (1 - (1 - p) * np.exp(1j * alpha))
    # Labels: qubit 1 first.
    return {"IZ": -1.0, "XI": math.sin(phi), "YI": -math.cos(phi) * series.imag,
            "ZI": math.cos(phi) * series.real, "ZZ": -math.cos(phi) * series.real}


@pytest.mark.parametrize("theta, alpha, phi", [(1.2, 0.7, 0.4), (1.0, 2.1, 1.3), (2.9, 0.3, 2.2)])
def test_a_repeat_until_success_loop_has_its_closed_form_value(theta, alpha, phi):
    circuit = _repeat_until_one(theta, alpha, phi)
    expected = _closed_form(theta, alpha, phi)
    evs = KorvelEstimator().run([(circuit, list(expected))]).result()[0].data.evs
    np.testing.assert_allclose(evs, list(expected.values()), rtol=0, atol=1e-12)
    precision = 0.02
    estimate = KorvelEstimator(seed=3).run([(circuit, list(expected))],
                                           precision=precision).result()[0].data.evs
    assert np.all(np.abs(estimate - list(expected.values())) <= DEVIATIONS * precision)


def test_measurements_a_loop_comes_back_to_are_not_dropped():
    # Two rounds (qubits 0 and 2 count them). In program order nothing follows either
    # measurement in the body: the next round's H acts on qubit 1 again and the loop's test
    # reads bit 0. Measured, qubit 1 reads <Z> = 0; with its measurement dropped, H H = I
    # would read 1, and with bit 0 never written the loop would not end.
    circuit = QuantumCircuit(3, 2)
    circuit.measure(0, 0)
    with circuit.while_loop((circuit.clbits[0], 0)):
        circuit.h(1)
        circuit.measure(1, 1)
        circuit.cx(2, 0)
        circuit.x(2)
        circuit.measure(0, 0)
    assert not any(branches.dropped_measurements(lower(circuit)))
    evs = KorvelEstimator().run([(circuit, ["IZI", "IIZ"])]).result()[0].data.evs
    np.testing.assert_allclose(evs, [0, -1], rtol=0, atol=1e-15)
    assert abs(evs[0] - model_value(circuit, SparsePauliOp("IZI"))) < 1e-12


# -- the iteration limit -----------------------------------------------------------------------

def _never_ending(label):
    circuit = QuantumCircuit(1, 1)
    with circuit.while_loop((circuit.clbits[0], 0)):
        circuit.h(0)  # nothing measured: round after round without a cut
    circuit.data[0].operation.label = label
    return circuit


@pytest.mark.parametrize("precision, where", [
    (0.0, r"in a branch of probability 1;"),
    (0.5, r"in a branch that 4 of the 4 trajectories follow;"),
])
def test_a_loop_past_the_limit_stops_the_run_with_its_name(precision, where):
    with pytest.raises(ValueError, match=rf"circuit '.*': while_loop 'spin' ran past 1000 "
                                         rf"iterations {where} raise max_loop_iterations"):
        KorvelEstimator().run([(_never_ending("spin"), "Z")], precision=precision).result()
    with pytest.raises(ValueError, match="while_loop 'spin' ran past 7 iterations"):
        KorvelEstimator(max_loop_iterations=7).run([(_never_ending("spin"), "Z")],
                                                   precision=precision).result()
    # Rounds without a cut are counted in passes, not walked one by one.
    with pytest.raises(ValueError, match=f"while_loop 'spin' ran past {2 ** 62} iterations"):
        KorvelEstimator(max_loop_iterations=2 ** 62).run([(_never_ending("spin"), "Z")],
                                                         precision=precision).result()


def test_a_light_branch_past_the_limit_names_its_probability_and_a_way_out():
    # Fails with probability 0.95 a round: the branches that end round 1001 (and meet the
    # limit there) weigh 5e-23 and 2.5e-24, above the weight the exact walk leaves out, while
    # no trajectory gets that far.
    theta = 2 * math.asin(math.sqrt(0.05))
    circuit = _repeat_until_one(theta, 0.4, 0.9, label="retry")
    expected = _closed_form(theta, 0.4, 0.9)
    with pytest.raises(ValueError, match=r"while_loop 'retry' ran past 1000 iterations in a "
                                         r"branch of probability \d\.\d+e-2[34]; .*positive precision"):
        KorvelEstimator().run([(circuit, "ZI")]).result()
    evs = KorvelEstimator(max_loop_iterations=2000).run([(circuit, list(expected))]
                                                        ).result()[0].data.evs
    np.testing.assert_allclose(evs, list(expected.values()), rtol=0, atol=1e-12)
    KorvelEstimator(seed=1).run([(circuit, "ZI")], precision=0.1).result()


def _nested_counted():
    """An outer loop of two rounds around an inner loop of two rounds (each counted by a pair of
    qubits); every inner round turns qubit 4 by ry(0.3)."""
    circuit = QuantumCircuit(5, 2)
    circuit.measure(0, 0)
    with circuit.while_loop((circuit.clbits[0], 0), label="outer"):
        circuit.reset(2)
        circuit.measure(2, 1)
        with circuit.while_loop((circuit.clbits[1], 0), label="inner"):
            circuit.cx(3, 2)
            circuit.x(3)
            circuit.ry(0.3, 4)
            circuit.measure(2, 1)
        circuit.cx(1, 0)
        circuit.x(1)
        circuit.measure(0, 0)
    return circuit


@pytest.mark.parametrize("precision", [0.0, 0.5])
def test_leaving_an_inner_loop_sets_its_count_back_as_in_the_sampler(precision):
    circuit = _nested_counted()
    # Four inner rounds in all, two per visit: a limit of 2 holds when each exit sets the count
    # back, as the runner does for the sampler's shots.
    evs = KorvelEstimator(max_loop_iterations=2).run([(circuit, "ZIIII")],
                                                     precision=precision).result()[0].data.evs
    assert abs(float(evs) - math.cos(1.2)) < 1e-12
    KorvelSampler(max_loop_iterations=2).run([circuit], shots=4).result()
    for taker in (KorvelEstimator(max_loop_iterations=1).run([(circuit, "ZIIII")],
                                                             precision=precision),
                  KorvelSampler(max_loop_iterations=1).run([circuit], shots=4)):
        with pytest.raises(ValueError, match="while_loop 'inner' ran past 1 iterations"):
            taker.result()


@pytest.mark.parametrize("value", [0, -1, 1.5, True, 2 ** 62 + 1])
def test_the_limit_is_checked_as_the_samplers(value):
    with pytest.raises(ValueError, match="max_loop_iterations must be an integer from 1 to"):
        KorvelEstimator(max_loop_iterations=value)


# -- set steps ---------------------------------------------------------------------------------

def _walked(builder, num_qubits, loops=()):
    """A lowered circuit whose steps are the builder's, for the branch walk alone."""
    template = lower(_repeat_until_one(1.0, 0.5, 0.5))
    return dataclasses.replace(template, num_qubits=num_qubits, steps=builder.steps(),
                               entries=builder.entries(), parametric=(), parameters=(),
                               loops=loops)


def test_set_steps_change_the_word_conditions_and_loops_read():
    h = np.array([[1, 1], [1, -1]]) / np.sqrt(2)
    x = np.array([[0, 1], [1, 0]])
    builder = ProgramBuilder()
    builder.gate([0], h)
    builder.measure(0, 0)
    builder.set(0, 1, (1, 0))        # slot 0 := 1 where it read 0
    builder.gate([1], x, condition=(1, 1))  # so always
    # A loop that a set step ends after its first round: H on qubit 2 once.
    builder.jump(8, 0, (2, 2))         # 4: leave where slot 1 holds 1
    builder.gate([2], h)
    builder.set(1, 1)
    builder.jump(4, 0)                 # 8 is past the end
    lowered = _walked(builder, 3, loops=("once",))
    assert lowered.steps["kind"].tolist().count(KIND_JUMP) == 2
    masks = [(np.array([0, 0, 4], dtype=np.uint64), np.array([2, 1, 0], dtype=np.uint64))]
    # <Z1> = -1 (X ran in both branches), <Z0> = 0 (H|0> measured), <X2> = 1 (one H).
    exact = branches.branch_task(lowered, None, masks, [0], [None])[0]
    np.testing.assert_allclose(exact, [-1, 0, 1], rtol=0, atol=1e-15)
    sampled = branches.branch_task(lowered, None, masks, [64], [5])[0]
    np.testing.assert_allclose(sampled[[0, 2]], [-1, 1], rtol=0, atol=1e-15)
    # Without the first set step, X runs only where qubit 0 read 1.
    del builder.records[2]
    builder.records[3] = builder.records[3][:6] + (7,)
    builder.records[6] = builder.records[6][:6] + (3,)
    exact = branches.branch_task(_walked(builder, 3, loops=("once",)), None, masks, [0],
                                 [None])[0]
    np.testing.assert_allclose(exact, [0, 0, 1], rtol=0, atol=1e-15)
