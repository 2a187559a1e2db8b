"""KorvelEstimator on circuits that measure, reset or branch mid-way: exact values against a
branch model written here on Qiskit's Statevector, the branch budget, and seeded trajectories."""

from __future__ import annotations

import numpy as np
import pytest

qiskit = pytest.importorskip("qiskit")
from qiskit import QuantumCircuit  # noqa: E402
from qiskit.circuit import ClassicalRegister, Clbit, IfElseOp, Measure, Reset  # noqa: E402
from qiskit.circuit.library import Initialize, StatePreparation  # noqa: E402
from qiskit.quantum_info import Operator, SparsePauliOp  # noqa: E402

from korvel_qiskit import KorvelEstimator  # noqa: E402
from korvel_qiskit import branches  # noqa: E402


# -- the model: a list of (classical bits, unnormalised state) over every outcome ------------------

def _project(psi, qubit, outcome):
    keep = ((np.arange(psi.size) >> qubit) & 1) == outcome
    return np.where(keep, psi, 0)


def _flip(psi, qubit):
    return psi[np.arange(psi.size) ^ (1 << qubit)]


def _apply(psi, matrix, qubits, n):
    """`matrix` (Qiskit's order: qargs[0] least significant) on `qubits` of an n-qubit state."""
    k = len(qubits)
    tensor = psi.reshape([2] * n)  # axis a is qubit n-1-a
    axes = [n - 1 - q for q in reversed(qubits)]
    moved = np.moveaxis(tensor, axes, range(k)).reshape(1 << k, -1)
    out = (matrix @ moved).reshape([2] * n)
    return np.moveaxis(out, range(k), axes).reshape(-1)


def _holds(condition, bits, clbit_index):
    target, value = condition
    if isinstance(target, Clbit):
        return bits[clbit_index[target]] == value
    read = sum(bits[clbit_index[b]] << i for i, b in enumerate(target))
    return read == value


def _walk(circuit, branches_, qubits, clbits, n):
    qmap = {b: qubits[i] for i, b in enumerate(circuit.qubits)}
    cmap = {b: clbits[i] for i, b in enumerate(circuit.clbits)}
    for instruction in circuit.data:
        op = instruction.operation
        qs = [qmap[q] for q in instruction.qubits]
        if op.name == "barrier":
            continue
        if isinstance(op, Measure):
            c = cmap[instruction.clbits[0]]
            out = []
            for bits, psi in branches_:
                for outcome in (0, 1):
                    new = list(bits)
                    new[c] = outcome
                    out.append((new, _project(psi, qs[0], outcome)))
            branches_ = out
        elif isinstance(op, Reset):
            branches_ = [(bits, part) for bits, psi in branches_
                         for part in (_project(psi, qs[0], 0), _flip(_project(psi, qs[0], 1), qs[0]))]
        elif isinstance(op, Initialize):
            for q in qs:
                branches_ = [(bits, part) for bits, psi in branches_
                             for part in (_project(psi, q, 0), _flip(_project(psi, q, 1), q))]
            matrix = Operator(StatePreparation(op.params)).data
            branches_ = [(bits, _apply(psi, matrix, qs, n)) for bits, psi in branches_]
        elif isinstance(op, IfElseOp):
            cs = [cmap[c] for c in instruction.clbits]
            out = []
            for bits, psi in branches_:
                taken = _holds(op.condition, bits, cmap)
                body = op.blocks[0] if taken else (op.blocks[1] if len(op.blocks) > 1 else None)
                out.extend(_walk(body, [(bits, psi)], qs, cs, n) if body is not None
                           else [(bits, psi)])
            branches_ = out
        else:
            matrix = Operator(op).data
            branches_ = [(bits, _apply(psi, matrix, qs, n)) for bits, psi in branches_]
    return branches_


def model_value(circuit, observable):
    n = circuit.num_qubits
    psi = np.zeros(1 << n, dtype=complex)
    psi[0] = 1
    leaves = _walk(circuit, [([0] * circuit.num_clbits, psi)], list(range(n)),
                   list(range(circuit.num_clbits)), n)
    matrix = observable.to_matrix()
    return sum(np.vdot(psi, matrix @ psi).real for _, psi in leaves)


# -- random dynamic circuits ------------------------------------------------------------------

def _gates(circuit, rng, qubits, count):
    for _ in range(count):
        kind = rng.integers(5)
        q = int(rng.choice(qubits))
        if kind == 0:
            circuit.rx(rng.uniform(-np.pi, np.pi), q)
        elif kind == 1:
            circuit.ry(rng.uniform(-np.pi, np.pi), q)
        elif kind == 2:
            circuit.h(q)
        elif kind == 3:
            circuit.t(q)
        elif len(qubits) > 1:
            a, b = rng.choice(qubits, 2, replace=False)
            circuit.cx(int(a), int(b))


def random_dynamic(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(2, 5))
    register = ClassicalRegister(n, "c")
    circuit = QuantumCircuit(n)
    circuit.add_register(register)
    qubits = list(range(n))
    for _ in range(int(rng.integers(3, 7))):
        _gates(circuit, rng, qubits, int(rng.integers(1, 4)))
        kind = rng.integers(5)
        q, c = int(rng.integers(n)), int(rng.integers(n))
        if kind == 0:
            circuit.measure(q, c)
        elif kind == 1:
            circuit.reset(q)
        elif kind == 2:
            with circuit.if_test((circuit.clbits[c], int(rng.integers(2)))) as orelse:
                _gates(circuit, rng, qubits, 2)
                if rng.integers(2):
                    # Into the bit the condition reads, or another one.
                    circuit.measure(q, (c + int(rng.integers(2))) % n)
            with orelse:
                _gates(circuit, rng, qubits, 1)
        elif kind == 3:
            with circuit.if_test((register, int(rng.integers(1 << n)))):
                _gates(circuit, rng, qubits, 2)
        else:
            width = int(rng.integers(1, min(n, 2) + 1))
            amplitudes = rng.normal(size=1 << width) + 1j * rng.normal(size=1 << width)
            circuit.append(Initialize(amplitudes / np.linalg.norm(amplitudes)),
                           [int(x) for x in rng.choice(qubits, width, replace=False)])
    # A last layer on every qubit, so that no measurement is final.
    for q in qubits:
        circuit.u(*rng.uniform(-np.pi, np.pi, 3), q)
    return circuit


def random_observable(rng, n):
    labels = ["".join(rng.choice(list("IXYZ"), n)) for _ in range(3)]
    return SparsePauliOp(labels, rng.normal(size=3))


@pytest.mark.parametrize("seed", range(24))
@pytest.mark.parametrize("fusion", [True, False])
def test_exact_values_agree_with_the_branch_model(seed, fusion):
    circuit = random_dynamic(seed)
    rng = np.random.default_rng(1000 + seed)
    observables = [random_observable(rng, circuit.num_qubits) for _ in range(3)]
    evs = KorvelEstimator(fusion=fusion).run([(circuit, observables)]).result()[0].data.evs
    expected = [model_value(circuit, o) for o in observables]
    np.testing.assert_allclose(evs, expected, rtol=0, atol=1e-12)


def test_parameter_sweeps_follow_the_branches_of_each_binding():
    from qiskit.circuit import Parameter

    theta = Parameter("theta")
    circuit = QuantumCircuit(2, 1)
    circuit.ry(theta, 0)
    circuit.measure(0, 0)
    with circuit.if_test((circuit.clbits[0], 1)):
        circuit.rx(theta, 1)
    circuit.h(0)
    values = np.linspace(0, np.pi, 5).reshape(5, 1)
    observables = np.array([["ZZ"], ["IY"]])  # broadcast to (2, 5)
    evs = KorvelEstimator().run([(circuit, observables, values)]).result()[0].data.evs
    assert evs.shape == (2, 5)
    for j, (value,) in enumerate(values):
        bound = circuit.assign_parameters([value])
        for i, label in enumerate(["ZZ", "IY"]):
            assert abs(evs[i, j] - model_value(bound, SparsePauliOp(label))) < 1e-12


def test_final_measurements_are_dropped():
    circuit = random_dynamic(3)
    observable = SparsePauliOp(["X" * circuit.num_qubits, "Y" + "Z" * (circuit.num_qubits - 1)])
    measured = circuit.copy()
    measured.measure_all()
    for c in (circuit, measured):
        value = KorvelEstimator().run([(c, observable)]).result()[0].data.evs
        assert abs(value - model_value(circuit, observable)) < 1e-12
    # A gate-only circuit with final measurements keeps its single final state.
    bell = QuantumCircuit(2, 2)
    bell.h(0)
    bell.cx(0, 1)
    bell.measure([0, 1], [0, 1])
    np.testing.assert_allclose(KorvelEstimator().run([(bell, ["XX", "ZZ", "YY"])]).result()[0]
                               .data.evs, [1, 1, -1], atol=1e-15)


def _plus_measured(count):
    circuit = QuantumCircuit(count, count)
    circuit.h(range(count))
    circuit.measure(range(count), range(count))
    circuit.h(range(count))
    return circuit


@pytest.mark.parametrize("limit, setting, message", [
    ("MAX_BRANCHES", 8, r"more than 8 branches.*pass a positive precision"),
    ("MEMORY_FRACTION", 1e-12, r"beyond korvel's budget of 0% of the available memory"),
])
def test_the_branch_budget_is_refused_with_a_hint(monkeypatch, limit, setting, message):
    monkeypatch.setattr(branches, limit, setting)
    with pytest.raises(ValueError, match=message):
        KorvelEstimator().run([(_plus_measured(4), "ZZZZ")]).result()
    # Trajectories of a coarse precision stay within the same budget.
    if limit == "MAX_BRANCHES":
        KorvelEstimator(seed=1).run([(_plus_measured(4), "ZZZZ")], precision=0.9).result()


@pytest.mark.parametrize("seed", [4, 11])
def test_trajectories_repeat_with_a_seed_and_agree_within_their_error(seed):
    circuit = random_dynamic(seed)
    rng = np.random.default_rng(seed)
    observables = [random_observable(rng, circuit.num_qubits) for _ in range(2)]
    exact = [model_value(circuit, o) for o in observables]
    precision = 0.03
    runs = [KorvelEstimator(seed=s).run([(circuit, observables)], precision=precision).result()[0]
            for s in (7, 7, 8)]
    assert np.array_equal(runs[0].data.evs, runs[1].data.evs)
    assert not np.array_equal(runs[0].data.evs, runs[2].data.evs)
    simple = [o.simplify(atol=0) for o in observables]
    spans = max(np.abs(o.coeffs[[p != "I" * circuit.num_qubits for p in o.paulis.to_labels()]]).sum()
                for o in simple)
    assert runs[0].metadata["shots"] == int(np.ceil(spans ** 2 / precision ** 2))
    assert np.all(runs[0].data.stds == precision)
    # Six standard errors (at most the precision each) fail by chance below 2e-9.
    assert np.all(np.abs(runs[0].data.evs - exact) <= 6.1 * precision)
    generators = [KorvelEstimator(seed=np.random.default_rng(5)).run(
        [(circuit, observables)], precision=precision).result()[0].data.evs for _ in range(2)]
    assert np.array_equal(generators[0], generators[1])


@pytest.mark.parametrize("precision", [0.0, 0.05])
def test_an_executor_gives_the_inline_values(precision):
    from concurrent.futures import ThreadPoolExecutor
    from qiskit.circuit import Parameter

    theta = Parameter("theta")
    circuit = random_dynamic(6)
    circuit.rx(theta, 0)
    circuit.measure(0, 0)
    with circuit.if_test((circuit.clbits[0], 0)):
        circuit.h(1)
    circuit.ry(theta, 0)
    pub = (circuit, "X" * circuit.num_qubits, np.linspace(0, 2, 6).reshape(6, 1))
    inline = KorvelEstimator(seed=2).run([pub], precision=precision).result()[0].data.evs
    with ThreadPoolExecutor(2) as pool:
        spread = KorvelEstimator(seed=2, executor=pool).run([pub], precision=precision
                                                             ).result()[0].data.evs
    assert np.array_equal(inline, spread)
