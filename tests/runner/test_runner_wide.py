"""korvel_runner on self-describing programs with gates on 1 to 5 targets (ProgramBuilder): random
dense, diagonal and permutation gates on scattered targets with controls give amplitudes within
1e-12 of the NumPy step model, shots whose words follow the model's probabilities, and the same
bits whatever the thread count; fused programs agree with their unfused selves to rounding."""

import os
import sys

import numpy as np
import pytest

import korvel_runner
from korvel_programs import MAX_TARGETS, ProgramBuilder
from runner_model import run_script, within_bounds

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "frameworks"))
import step_model  # noqa: E402


def random_matrix(rng, width):
    """A unitary of one of the three kinds the runner tells apart by exact zeros and ones."""
    d = 1 << width
    kind = rng.choice(["dense", "diagonal", "permutation"])
    if kind == "dense":
        q, r = np.linalg.qr(rng.standard_normal((d, d)) + 1j * rng.standard_normal((d, d)))
        return q * (np.diag(r) / np.abs(np.diag(r)))
    phases = np.where(rng.random(d) < 0.3, 1.0, np.exp(1j * rng.uniform(-np.pi, np.pi, d)))
    if kind == "diagonal":
        return np.diag(phases)
    out = np.zeros((d, d), complex)
    out[np.arange(d), rng.permutation(d)] = phases
    return out


def add_random_gates(builder, rng, n, count):
    for _ in range(count):
        qubits = rng.permutation(n).tolist()
        width = int(rng.integers(1, min(MAX_TARGETS, n) + 1))
        controls = qubits[width:width + int(rng.integers(0, 3))]
        builder.gate(qubits[:width], random_matrix(rng, width), controls=sum(1 << c for c in controls))


@pytest.mark.parametrize("n", [2, 3, 5, 8, 11, 14])
def test_amplitudes_match_the_step_model(n):
    rng = np.random.default_rng(n)
    for _ in range(4):
        builder = ProgramBuilder()
        add_random_gates(builder, rng, n, 3 * n)
        program = builder.program()
        got = korvel_runner.simulate(n, program).amplitudes()
        np.testing.assert_allclose(got, step_model.simulate(n, program).amplitudes(), rtol=0, atol=1e-12)


def add_small_gates(builder, rng, n, count):
    """One- and two-qubit gates with controls, the runs fusion merges."""
    for _ in range(count):
        qubits = rng.permutation(n).tolist()
        width = min(int(rng.integers(1, 3)), n)
        controls = qubits[width:width + int(rng.integers(0, 2))]
        builder.gate(qubits[:width], random_matrix(rng, width), controls=sum(1 << c for c in controls))


@pytest.mark.parametrize("n", [1, 2, 3, 6, 10, 15])
def test_fusion_agrees_with_the_unfused_program(n):
    rng = np.random.default_rng(100 + n)
    builder = ProgramBuilder()
    add_small_gates(builder, rng, n, 6 * n)
    program = builder.program()
    exact = korvel_runner.simulate(n, program).amplitudes()
    fused = korvel_runner.simulate(n, program, fusion=True).amplitudes()
    np.testing.assert_allclose(fused, exact, rtol=0, atol=1e-12)
    state = korvel_runner.simulate(n, b"")
    state.run(program, fusion=True)
    assert np.array_equal(state.amplitudes(), fused)
    # Measurements and conditions end the runs fusion may merge.
    for q in range(n):
        builder.measure(q, q)
    add_small_gates(builder, rng, n, n)
    builder.gate([0], [[0, 1], [1, 0]], condition=(1, 1))
    for q in range(n):
        builder.measure(q, q)
    program = builder.program()
    words = korvel_runner.run_shots(n, n, program, 300, seed=5, fusion=True)
    assert np.array_equal(words, korvel_runner.run_shots(n, n, program, 300, seed=5, fusion=True))


@pytest.mark.parametrize("n", [5, 9, 17])
def test_rings_of_diagonals_fuse_to_the_unfused_amplitudes(n):
    """QAOA-like layers: couplings on a ring (diagonal, some controlled) between mixing layers,
    which fusion merges into diagonals on up to five qubits."""
    rng = np.random.default_rng(n)
    builder = ProgramBuilder()
    for q in range(n):
        builder.gate([q], np.array([[1, 1], [1, -1]]) / np.sqrt(2))
    for _ in range(3):
        for q in range(n):
            pair = [q, (q + 1) % n]
            if rng.random() < 0.25:
                builder.gate(pair[1:], np.diag([1, np.exp(1j * rng.uniform(-3, 3))]), controls=1 << q)
            else:
                builder.gate(pair, np.diag(np.exp(1j * rng.uniform(-3, 3, 4))))
        for q in range(n):
            t = rng.uniform(-3, 3)
            builder.gate([q], [[np.cos(t), -1j * np.sin(t)], [-1j * np.sin(t), np.cos(t)]])
    program = builder.program()
    exact = korvel_runner.simulate(n, program).amplitudes()
    fused = korvel_runner.simulate(n, program, fusion=True).amplitudes()
    np.testing.assert_allclose(fused, exact, rtol=0, atol=1e-12)


def test_shots_follow_the_model_probabilities():
    rng = np.random.default_rng(7)
    n, shots = 5, 20_000
    builder = ProgramBuilder()
    add_random_gates(builder, rng, n, 8)
    probabilities = step_model.simulate(n, builder.program()).probabilities()
    for q in range(n):
        builder.measure(q, q)
    words = korvel_runner.run_shots(n, n, builder.program(), shots, seed=3)
    outcomes, counts = np.unique(words, return_counts=True)
    expected = {k: float(p) for k, p in enumerate(probabilities) if p > 1e-15}
    assert within_bounds(dict(zip(outcomes.tolist(), counts.tolist())), expected, shots) == []


def test_conditions_and_resets_around_wide_gates():
    # X on qubit 0, measured; a three-qubit permutation applied only when the bit is 1 moves
    # |001> to |100>; qubit 2 is then measured, reset and measured again.
    cycle = np.roll(np.eye(8), 1, axis=0)[[0, 4, 1, 5, 2, 6, 3, 7]]
    builder = ProgramBuilder()
    builder.gate([0], [[0, 1], [1, 0]])
    builder.measure(0, 0)
    builder.gate([0, 1, 2], np.eye(8)[[0, 2, 4, 6, 1, 3, 5, 7]], condition=(1, 1))
    builder.gate([2, 1, 0], cycle, condition=(1, 0))  # never runs
    builder.measure(2, 1)
    builder.reset(2)
    builder.measure(2, 2)
    words = korvel_runner.run_shots(3, 3, builder.program(), 50, seed=1)
    assert words.tolist() == [0b011] * 50


def test_results_do_not_depend_on_the_thread_count():
    # 16 qubits: past the register size whose passes stay on one thread, so that blocks and
    # units are split between the workers.
    code = """
        import hashlib, numpy as np, korvel_runner
        from korvel_programs import ProgramBuilder
        from test_runner_wide import add_random_gates
        rng = np.random.default_rng(11)
        builder = ProgramBuilder()
        add_random_gates(builder, rng, 16, 40)
        state = korvel_runner.simulate(16, builder.program())
        fused = korvel_runner.simulate(16, builder.program(), fusion=True)
        for q in (0, 7, 15):
            builder.measure(q, q % 3)
        parts = [state.amplitudes(), fused.amplitudes(), state.sample(5000, seed=2),
                 korvel_runner.run_shots(16, 3, builder.program(), 200, seed=4)]
        print(hashlib.sha256(b"".join(p.tobytes() for p in parts)).hexdigest())
    """
    digests = set()
    for threads in ["1", "2"]:
        result = run_script(code, env={"RAYON_NUM_THREADS": threads})
        assert result.returncode == 0, result.stderr
        digests.add(result.stdout)
    assert len(digests) == 1
