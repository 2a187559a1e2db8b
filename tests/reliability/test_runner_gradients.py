"""The runner's gradient entry points, adjoint_jacobian and adjoint_vjp: fuzzed and hypothesis
inputs meet only their documented errors, ten thousand calls leave nothing behind, forked
children and eight threads at once get the parent's bits."""

from __future__ import annotations

import threading

import pytest

kr = pytest.importorskip("korvel_runner")

import numpy as np  # noqa: E402
from hypothesis import given, settings, strategies as st  # noqa: E402

from fork_tools import FORK_HELPERS  # noqa: E402
from korvel_programs import PAULI_TERM_DTYPE, STEP_DTYPE, controlled_generator, term_records  # noqa: E402
from support import GROWTH_MEASURE, run_workload, under_address_sanitizer  # noqa: E402

# Rotations about X, Y and Z with their generators on qubit 0, as (x, z, coefficient) terms.
ROTATIONS = {"x": [(1, 0, 0.5)], "y": [(1, 1, 0.5)], "z": [(0, 1, 0.5)]}


def rotation(axis, theta):
    c, s = np.cos(theta / 2), np.sin(theta / 2)
    return {"x": [[c, -1j * s], [-1j * s, c]], "y": [[c, -s], [s, c]],
            "z": [[c - 1j * s, 0], [0, c + 1j * s]]}[axis]


def build(n, gates):
    """gates: (axis or None, angle, target, controls); None is a Hadamard."""
    program = np.zeros(len(gates), dtype=STEP_DTYPE)
    positions, generators = [], []
    for k, (axis, angle, target, controls) in enumerate(gates):
        h = 2 ** -0.5
        matrix = np.array([[h, h], [h, -h]] if axis is None else rotation(axis, angle), dtype=np.complex128)
        with np.errstate(invalid="ignore"):
            program[k] = (0, target, controls, 0, 0, 0, 0, matrix.reshape(4).view(np.float64))
        if axis is not None:
            positions.append(k)
            base = [(x << target, z << target, c) for x, z, c in ROTATIONS[axis]]
            generators.append(controlled_generator(base, controls))
    return program, np.array(positions, dtype=np.uint64), term_records(generators)


@st.composite
def circuits(draw):
    n = draw(st.integers(1, 6))
    angles = st.one_of(st.floats(-10, 10), st.sampled_from([np.nan, np.inf, -np.inf]))
    gates = []
    for _ in range(draw(st.integers(0, 12))):
        target = draw(st.integers(0, n - 1))
        controls = draw(st.integers(0, 2**n - 1)) & ~(1 << target) & draw(st.sampled_from([0, 2**n - 1]))
        gates.append((draw(st.sampled_from([None, "x", "y", "z"])), draw(angles), target, controls))
    terms = draw(st.lists(st.tuples(st.integers(0, 2**n - 1), st.integers(0, 2**n - 1),
                                    st.floats(-2, 2)), max_size=5))
    return n, gates, terms


@settings(max_examples=150, deadline=None)
@given(circuits())
def test_hypothesis_circuits_meet_only_documented_errors(case):
    n, gates, terms = case
    program, positions, generators = build(n, gates)
    observables = term_records([terms, terms[:1]])
    try:
        values, jacobian = kr.adjoint_jacobian(n, program, positions, generators, observables, 2)
    except ValueError as error:
        # NaN or an infinite angle reaches a matrix entry: the program decoder names it.
        assert "non-finite" in str(error) and str(error).startswith("step "), error
        assert any(a is not None and not np.isfinite(angle) for a, angle, _, _ in gates)
        return
    assert values.shape == (2,) and jacobian.shape == (2, len(positions))
    assert np.all(np.isfinite(jacobian))
    product = kr.adjoint_vjp(n, program, positions, generators, observables, [0.25, -1.5])
    np.testing.assert_allclose(product, 0.25 * jacobian[0] - 1.5 * jacobian[1], rtol=0, atol=1e-12)


@settings(max_examples=300, deadline=None)
@given(st.binary(max_size=200), st.binary(max_size=200), st.lists(st.integers(0, 2**64 - 1), max_size=4),
       st.integers(0, 4))
def test_fuzzed_term_buffers_and_positions_are_refused_cleanly(generator_bytes, observable_bytes,
                                                                 positions, count):
    program, _, _ = build(3, [("x", 0.3, 0, 0), (None, 0, 1, 0), ("y", 1.0, 2, 0b1)])
    for call in (lambda: kr.adjoint_jacobian(3, program, positions, generator_bytes, observable_bytes, count),
                 lambda: kr.adjoint_vjp(3, program, positions, generator_bytes, observable_bytes, [1.0] * count)):
        try:
            call()
        except ValueError as error:
            message = str(error)
            assert message.startswith(("generators", "observables", "parametrised_steps", "cotangent")), message


@pytest.mark.parametrize("call, error, message", [
    (lambda p, q, g, o: kr.adjoint_jacobian(3, p, q, g, o, "one"), TypeError,
     "num_observables must be an integer"),
    (lambda p, q, g, o: kr.adjoint_jacobian(3, p, [1, 1], g, o, 1), ValueError,
     "parametrised_steps\\[1\\] is 1: the positions must be strictly ascending"),
    (lambda p, q, g, o: kr.adjoint_jacobian(3, p, q, g, o.tobytes() + b"x", 1), ValueError,
     "observables\\[1\\]: incomplete record"),
    (lambda p, q, g, o: kr.adjoint_jacobian(3, p, q, g, o, 0), ValueError,
     "observables\\[0\\]: group 0 is out of range for 0 sums"),
    (lambda p, q, g, o: kr.adjoint_vjp(3, p, q, g, o, ["a"]), TypeError, "cotangent\\[0\\] must be a real"),
    (lambda p, q, g, o: kr.adjoint_vjp(3, p, q, g, o, [np.nan]), ValueError, "cotangent\\[0\\] must be finite"),
    (lambda p, q, g, o: kr.adjoint_vjp(3, p, q, g, o, np.zeros((1, 1))), TypeError,
     "cotangent must be a one-dimensional array of float64"),
    (lambda p, q, g, o: kr.adjoint_jacobian(30, p, q, g, o, 1), ValueError,
     "num_qubits must be between 0 and 29"),
])
def test_bad_arguments_raise_errors_naming_them(call, error, message):
    program, positions, generators = build(3, [("x", 0.3, 0, 0), ("y", 1.0, 2, 0b1)])
    observables = term_records([[(0, 1, 1.0)]])
    with pytest.raises(error, match=message):
        call(program, positions, generators, observables)


def wide_case():
    rng = np.random.default_rng(5)
    n = 14
    gates = [("yxz"[k % 3], float(rng.uniform(-3, 3)), k % n, (1 << ((k + 5) % n)) if k % 4 == 0 else 0)
             for k in range(60)]
    program, positions, generators = build(n, gates)
    observables = term_records([[(0b11, 0, 0.5), (0, 1 << 13, -0.2)], [(1 << 7, 1 << 7, 1.0)]])
    return n, program, positions, generators, observables


def test_eight_threads_at_once_get_the_sequential_bits():
    n, program, positions, generators, observables = wide_case()
    expected = kr.adjoint_jacobian(n, program, positions, generators, observables, 2)[1].tobytes()
    expected_vjp = kr.adjoint_vjp(n, program, positions, generators, observables, [1.0, -2.0]).tobytes()
    seen, start = [], threading.Barrier(8)

    def work(i):
        start.wait()
        for _ in range(3):
            if i % 2:
                seen.append(kr.adjoint_jacobian(n, program, positions, generators, observables, 2)[1].tobytes()
                            == expected)
            else:
                seen.append(kr.adjoint_vjp(n, program, positions, generators, observables, [1.0, -2.0]).tobytes()
                            == expected_vjp)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert seen == [True] * 24


CASE_SOURCE = """
import numpy as np
import korvel_runner as kr
from korvel_programs import STEP_DTYPE, PAULI_TERM_DTYPE

n = 10
program = np.zeros(20, dtype=STEP_DTYPE)
for k in range(20):
    c, s = np.cos(0.1 * k + 0.2), np.sin(0.1 * k + 0.2)
    program[k] = (0, k % n, 0, 0, 0, 0, 0, [c, 0, -s, 0, s, 0, c, 0])  # RY
positions = np.arange(20, dtype=np.uint64)
generators = np.array([(1 << (k % n), 1 << (k % n), 0.5, k) for k in range(20)], dtype=PAULI_TERM_DTYPE)
observables = np.array([(3, 0, 0.5, 0), (0, 512, 1.0, 1)], dtype=PAULI_TERM_DTYPE)
"""

LEAK_WORKLOAD = CASE_SOURCE + GROWTH_MEASURE + """
import sys
bad = generators.copy(); bad[0]["group"] = 7
cot = np.array([1.0, -1.0])
cases = {
    "adjoint_jacobian": (lambda: kr.adjoint_jacobian(n, program, positions, generators, observables, 2),
                         [program, positions, generators, observables]),
    "adjoint_vjp": (lambda: kr.adjoint_vjp(n, program, positions, generators, observables, cot),
                    [program, positions, generators, observables, cot]),
    "adjoint_jacobian refused": (lambda: kr.adjoint_jacobian(n, program, positions, bad, observables, 2), [bad]),
    "adjoint_vjp refused": (lambda: kr.adjoint_vjp(n, program, positions, generators, observables, [1.0]), []),
}
measure_growth(cases, int(sys.argv[1]), settle=200)
"""


def test_ten_thousand_calls_leave_nothing_behind():
    growth, _ = run_workload(LEAK_WORKLOAD, args=[10000], timeout=900)
    assert len(growth) == 4
    for name, result in growth.items():
        assert result["refcounts"] == [0] * len(result["refcounts"]), (name, result)
        assert result["objects"] <= 20, (name, result)
        if not under_address_sanitizer():
            assert result["rss_kib"] < 1024, (name, result)


FORK_WORKLOAD = CASE_SOURCE + FORK_HELPERS + """
import sys

def WORK():
    values, jacobian = kr.adjoint_jacobian(n, program, positions, generators, observables, 2)
    return {"bits": jacobian.tobytes().hex(), "vjp": kr.adjoint_vjp(n, program, positions, generators, observables,
                                                                   [0.5, 2.0]).tobytes().hex()}

parent = WORK()
results = [via_os_fork() if i % 2 == 0 else via_multiprocessing() for i in range(4)]
report({"parent": parent, "results": results})
"""


def test_forked_children_get_the_parent_bits():
    document, _ = run_workload(FORK_WORKLOAD, timeout=600)
    for child in document["results"]:
        assert "error" not in child, child
        assert child["bits"] == document["parent"]["bits"]
        assert child["vjp"] == document["parent"]["vjp"]
