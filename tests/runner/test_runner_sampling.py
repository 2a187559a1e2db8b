"""Shots drawn from a State and trajectories from run_shots, against exact distributions: counts
within six binomial standard deviations (fixed seeds, so the checks are deterministic), never an
outcome of probability zero, and the same words for the same seed on any thread count."""

import collections
import random

import numpy as np
import pytest

import korvel_runner
from runner_model import (
    HADAMARD,
    PAULI_X,
    euler_gate,
    gate,
    measure,
    program,
    reset,
    run_script,
    within_bounds,
    word_distribution,
)


def normalised(probabilities):
    return {k: p / probabilities.sum() for k, p in enumerate(probabilities.tolist()) if p > 0}


def sparse_state(n, rng):
    """Random rotations on half the qubits and a controlled one: most amplitudes are exactly zero."""
    steps = [gate(q, euler_gate(rng)) for q in range(0, n, 2)]
    if n > 2:
        steps.append(gate(n - 1, euler_gate(rng), [0]))
    return korvel_runner.simulate(n, program(steps))


# (qubits, shots): shots below, near and far above 2^n, and states of one and several chunks.
SAMPLING_CASES = [(1, 5000), (3, 20000), (6, 100), (9, 30000), (12, 2**20), (15, 40000), (17, 300000)]


@pytest.mark.parametrize("n, shots", SAMPLING_CASES)
def test_samples_follow_the_probabilities(n, shots):
    state = sparse_state(n, random.Random(n))
    expected = normalised(state.probabilities())
    drawn = state.sample(shots, seed=n)
    assert drawn.dtype == np.uint64 and drawn.shape == (shots,)
    assert within_bounds(collections.Counter(drawn.tolist()), expected, shots) == []
    outcomes, counts = state.sample_counts(shots, seed=n + 1)
    assert outcomes.dtype == counts.dtype == np.uint64
    assert np.all(np.diff(outcomes.astype(np.int64)) > 0) and np.all(counts > 0) and int(counts.sum()) == shots
    assert within_bounds(dict(zip(outcomes.tolist(), counts.tolist())), expected, shots) == []


@pytest.mark.parametrize("n", [1, 5, 14, 16])
@pytest.mark.parametrize("where", ["bottom", "top"])
def test_a_single_outcome_takes_every_shot(n, where):
    """All weight at index 0, or at 2^n - 1, the top of the cumulative sum."""
    steps = [gate(q, PAULI_X) for q in range(n)] if where == "top" else []
    state = korvel_runner.simulate(n, program(steps))
    only = 0 if where == "bottom" else 2**n - 1
    assert set(state.sample(3000, seed=1).tolist()) == {only}
    outcomes, counts = state.sample_counts(10**12, seed=2)
    assert outcomes.tolist() == [only] and counts.tolist() == [10**12]


def test_the_sample_order_is_shuffled():
    state = korvel_runner.simulate(1, program([gate(0, HADAMARD)]))
    drawn = state.sample(4000, seed=3)
    # Sorted draws would change value once; shuffled ones about 2000 times.
    assert 1800 < int(np.count_nonzero(np.diff(drawn.astype(np.int64)))) < 2200


def test_seeds_reproduce_and_distinguish_draws():
    state = korvel_runner.simulate(12, program([gate(q, HADAMARD) for q in range(12)]))
    assert np.array_equal(state.sample(500, seed=7), state.sample(500, seed=7))
    assert np.array_equal(state.sample(500, seed=2**64 - 1), state.sample(500, seed=2**64 - 1))
    for a, b in [(state.sample(500, seed=7), state.sample(500, seed=8)), (state.sample(500), state.sample(500))]:
        assert not np.array_equal(a, b)
    first = state.sample_counts(5000, seed=9)
    assert all(np.array_equal(x, y) for x, y in zip(first, state.sample_counts(5000, seed=9)))
    assert not np.array_equal(first[1], state.sample_counts(5000, seed=10)[1])


def random_trajectory_program(rng, n, clbits):
    steps = []
    for _ in range(rng.randint(3, 12)):
        kind = rng.random()
        cond = (0, 0)
        if rng.random() < 0.3:
            mask = rng.randrange(1, 2**clbits)
            cond = (mask, rng.randrange(2**clbits) & mask)
        target = rng.randrange(n)
        if kind < 0.55:
            others = [q for q in range(n) if q != target]
            steps.append(gate(target, euler_gate(rng), rng.sample(others, rng.randint(0, len(others))), cond))
        elif kind < 0.85:
            steps.append(measure(target, rng.randrange(clbits), cond))
        else:
            steps.append(reset(target, cond))
    # Most programs end in final measurements, which the runner reads as one draw per shot.
    if rng.random() < 0.7:
        steps += [measure(q, rng.randrange(clbits)) for q in range(n)]
    return steps


@pytest.mark.parametrize("case", range(16))
def test_trajectories_follow_the_branching_model(case):
    rng = random.Random(case)
    n = 1 + case % 4
    clbits = rng.randint(1, 4)
    steps = random_trajectory_program(rng, n, clbits)
    shots = 4000
    words = korvel_runner.run_shots(n, clbits, program(steps), shots, seed=case)
    assert words.dtype == np.uint64 and words.shape == (shots,)
    expected = word_distribution(n, steps)
    assert within_bounds(collections.Counter(words.tolist()), expected, shots) == []


@pytest.mark.parametrize(
    "steps, words",
    [
        ([], {0}),
        ([gate(0, PAULI_X)], {0}),
        ([gate(0, PAULI_X), measure(0, 5)], {32}),
        ([gate(0, PAULI_X), reset(0), measure(0, 0)], {0}),
        ([gate(0, HADAMARD), measure(0, 0), gate(1, PAULI_X, cond=(1, 1)), measure(1, 1)], {0, 3}),
        ([gate(0, PAULI_X), measure(0, 63), measure(0, 63, cond=(2**63, 0))], {2**63}),
        ([gate(0, HADAMARD), measure(0, 0), measure(0, 1)], {0, 3}),
        ([gate(0, HADAMARD), measure(0, 0), reset(0, cond=(1, 1)), measure(0, 1)], {0, 1}),
    ],
)
def test_deterministic_trajectories(steps, words):
    assert set(korvel_runner.run_shots(2, 64, program(steps), 400, seed=1).tolist()) == words


def test_trajectories_of_a_larger_register_run_shot_after_shot():
    """At 15 qubits the shots run one after another (passes on the pool); a mid-circuit
    measurement entangled with the register decides a conditional flip."""
    n = 15
    steps = [gate(q, HADAMARD) for q in range(n)] + [measure(n - 1, 0), gate(0, PAULI_X, cond=(1, 1))]
    steps += [measure(0, 1), measure(n - 1, 2)]
    words = korvel_runner.run_shots(n, 3, program(steps), 600, seed=4)
    counts = collections.Counter(words.tolist())
    # c0 = c2 = top qubit; c1 = qubit 0 after the conditional flip: uniform either way.
    assert set(counts) <= {0b000, 0b010, 0b101, 0b111}
    assert within_bounds(counts, {w: 0.25 for w in (0b000, 0b010, 0b101, 0b111)}, 600) == []


def test_seeded_results_do_not_depend_on_the_thread_count():
    code = """
        import hashlib, numpy as np, korvel_runner
        from runner_model import HADAMARD, euler_gate, gate, measure, program, reset
        import random
        rng = random.Random(3)
        big = korvel_runner.simulate(17, program([gate(q, euler_gate(rng)) for q in range(17)]))
        small = program([gate(q, HADAMARD) for q in range(6)] + [measure(2, 0), reset(2), gate(2, HADAMARD, cond=(1, 1)),
                        measure(2, 1), measure(5, 2)])
        parts = [big.sample(50000, seed=5), *big.sample_counts(3 * 10**6, seed=6),
                 korvel_runner.run_shots(6, 3, small, 5000, seed=7),
                 big.expectation_values(np.array([0, 3], np.uint64), np.array([1, 3], np.uint64)).view(np.uint64)]
        print(hashlib.sha256(b"".join(p.tobytes() for p in parts)).hexdigest())
    """
    digests = set()
    for threads in ["1", "2", "3"]:
        result = run_script(code, env={"RAYON_NUM_THREADS": threads})
        assert result.returncode == 0, result.stderr
        digests.add(result.stdout)
    assert len(digests) == 1
