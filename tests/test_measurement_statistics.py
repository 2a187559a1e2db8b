"""Measurement: collapse and its repetition, outcomes of zero weight, targets outside the register,
and the drawn frequencies. Frequency bounds are 6 sigma wide: a false alarm is a 1e-9 event."""

import math

import pytest

import korvel
from support import HADAMARD_ROWS

X = korvel.QGate([[0, 1], [1, 0]])
H = korvel.QGate(HADAMARD_ROWS)
# A rotation with unequal weights, cos^2 = 0.9, and a phase, so that amplitudes are complex.
ROTATION = korvel.QGate([[math.sqrt(0.9), -math.sqrt(0.1) * 1j], [math.sqrt(0.1), math.sqrt(0.9) * 1j]])

# name: (qubits, [(gate, targets, controls), ...])
STATES = {
    "fresh": (3, []),
    "only_index_5": (3, [(X, [0, 2], [])]),
    "ghz": (3, [(H, [0], []), (X, [1, 2], [0])]),
    "upper_half_empty": (2, [(H, [0], [])]),
    "last_index_empty": (2, [(H, [0], []), (H, [1], [0]), (X, [0], [])]),
    "uniform": (2, [(H, [0, 1], [])]),
    "entangled_complex": (4, [(ROTATION, [0, 1, 2, 3], []), (H, [3], [0]), (ROTATION, [1], [2, 3])]),
    "no_qubits": (0, []),
}


def prepare(name):
    qubits, steps = STATES[name]
    register = korvel.Register(qubits)
    for gate, targets, controls in steps:
        register.apply_gate(gate, targets, controls)
    return register


def within_six_sigma(count, draws, p):
    return abs(count - draws * p) <= 6 * math.sqrt(draws * p * (1 - p)) + 1e-9


@pytest.mark.parametrize("name", [n for n in STATES if STATES[n][0] > 0])
def test_measure_collapses_onto_the_outcome_and_repeats_it(name):
    qubits = STATES[name][0]
    for target in range(qubits):
        register = prepare(name)
        before = register.probabilities()
        outcome = register.measure(target)
        weight = sum(p for i, p in enumerate(before) if i >> target & 1 == outcome)
        assert weight > 0
        after = register.probabilities()
        for index, (old, new) in enumerate(zip(before, after)):
            if index >> target & 1 == outcome:
                assert new == pytest.approx(old / weight, rel=1e-12, abs=1e-15)
            else:
                assert new == 0.0
        assert sum(after) == pytest.approx(1.0, abs=1e-12)
        assert [register.measure(target) for _ in range(20)] == [outcome] * 20


@pytest.mark.parametrize("name", [n for n in STATES if n != "entangled_complex"])
def test_every_drawn_outcome_has_weight_and_every_weighted_one_is_drawn(name):
    # Weights here are 0 or at least 1/8, so 400 draws miss a weighted outcome with chance < 1e-23.
    register = prepare(name)
    probabilities = register.probabilities()
    weighted = {i for i, p in enumerate(probabilities) if p > 0}
    assert {register.measure_all() for _ in range(400)} == weighted
    assert register.probabilities() == probabilities
    for target in range(STATES[name][0]):
        weighted_bits = {i >> target & 1 for i in weighted}
        assert {prepare(name).measure(target) for _ in range(100)} == weighted_bits


@pytest.mark.parametrize(
    "qubits, target, message",
    [
        (3, 3, "index out of bounds: the len is 8 but the index is 8"),
        (3, 5, "index out of bounds: the len is 8 but the index is 32"),
        (3, 35, "index out of bounds: the len is 8 but the index is 8"),
        (3, 34, "Target(s) outside qubit range"),
        (0, 0, "index out of bounds: the len is 1 but the index is 1"),
        (16, 20, "index out of bounds: the len is 65536 but the index is 1048576"),
        (16, 47, "Target(s) outside qubit range"),
    ],
)
def test_target_outside_the_register_is_refused_with_one_notice(python_process, qubits, target, message):
    result = python_process(
        """
        import korvel
        r = korvel.Register(%d)
        if %d:
            r.apply_gate(korvel.QGate([[0.6, 0.8j], [0.8j, 0.6]]), range(%d), [])
        before = r.probabilities()
        try:
            r.measure(%d)
        except BaseException as error:
            print(type(error).__name__, error)
        print(r.probabilities() == before)
        """
        % (qubits, qubits, qubits, target)
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["PanicException " + message, "True"]
    notices = [line for line in result.stderr.splitlines() if line.startswith("thread '")]
    assert len(notices) == 1 and "panicked at '%s'" % message in notices[0]


@pytest.mark.parametrize("name", ["uniform", "last_index_empty", "entangled_complex"])
def test_measure_all_frequencies(name):
    register = prepare(name)
    probabilities = register.probabilities()
    draws = 4000
    counts = [0] * len(probabilities)
    for _ in range(draws):
        counts[register.measure_all()] += 1
    for count, p in zip(counts, probabilities):
        assert within_six_sigma(count, draws, p), (counts, probabilities)


@pytest.mark.parametrize("name, target", [("uniform", 0), ("entangled_complex", 0), ("entangled_complex", 3)])
def test_measure_frequencies_over_fresh_registers(name, target):
    probabilities = prepare(name).probabilities()
    p1 = sum(p for i, p in enumerate(probabilities) if i >> target & 1)
    draws = 2000
    ones = sum(prepare(name).measure(target) for _ in range(draws))
    assert within_six_sigma(ones, draws, p1)
