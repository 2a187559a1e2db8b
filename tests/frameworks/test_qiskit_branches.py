"""Circuits that measure, reset and branch, against an exact model that follows every branch.

The model walks the Qiskit circuit itself (not the lowering): each measurement splits a
branch in two with its probabilities, each `if_else` evaluates its condition on the branch's
classical bits. Random circuits put measurements inside branches into the bits those
branches read, else branches on conditions of several alternatives, and more than 64
classical bits. Counts must lie within Bernstein bounds that a correct sampler breaks with
probability below 1e-12 per outcome.
"""

from __future__ import annotations

import math
import warnings

import pytest

pytest.importorskip("qiskit")
warnings.filterwarnings("ignore", category=DeprecationWarning)

import numpy as np  # noqa: E402
from qiskit import ClassicalRegister, QuantumCircuit, QuantumRegister  # noqa: E402
from qiskit.circuit import Clbit, IfElseOp  # noqa: E402
from qiskit.circuit.classical import expr  # noqa: E402
from qiskit.quantum_info import Statevector  # noqa: E402

from korvel_qiskit import KorvelBackend, KorvelSampler  # noqa: E402
from support import assert_counts_follow  # noqa: E402

SHOTS = 4000


# -- the exact model ---------------------------------------------------------------------------


def _read(target, bits, index):
    members = [target] if isinstance(target, Clbit) else list(target)
    return sum(((bits >> index[b]) & 1) << i for i, b in enumerate(members))


def _value(node, bits, index):
    if isinstance(node, tuple):
        return _read(node[0], bits, index) == node[1]
    if isinstance(node, expr.Var):
        return _read(node.var, bits, index)
    if isinstance(node, expr.Value):
        return int(node.value)
    if isinstance(node, expr.Cast):
        return _value(node.operand, bits, index)
    if isinstance(node, expr.Unary):
        return not _value(node.operand, bits, index)
    left, right = _value(node.left, bits, index), _value(node.right, bits, index)
    return {expr.Binary.Op.EQUAL: left == right, expr.Binary.Op.NOT_EQUAL: left != right,
            expr.Binary.Op.LOGIC_AND: bool(left) and bool(right)}[node.op]


def exact_distribution(circuit):
    """Probability of each classical word (bit c = circuit bit c) after the whole circuit."""
    index = {bit: i for i, bit in enumerate(circuit.clbits)}
    branches = [(1.0, Statevector.from_int(0, 2 ** circuit.num_qubits), 0)]

    def walk(block, qubits, clbits, branches):
        qmap = {b: qubits[i] for i, b in enumerate(block.qubits)}
        cmap = {b: clbits[i] for i, b in enumerate(block.clbits)}
        for instruction in block.data:
            operation = instruction.operation
            qs = [qmap[q] for q in instruction.qubits]
            if isinstance(operation, IfElseOp):
                cs = [cmap[c] for c in instruction.clbits]
                outer = {circuit.clbits[c]: c for c in range(circuit.num_clbits)}
                taken, other = [], []
                for branch in branches:
                    holds = _value(operation.condition, branch[2], outer)
                    (taken if holds else other).append(branch)
                taken = walk(operation.blocks[0], qs, cs, taken)
                if len(operation.blocks) > 1:
                    other = walk(operation.blocks[1], qs, cs, other)
                branches = taken + other
            elif operation.name in ("measure", "reset"):
                out = []
                for weight, state, bits in branches:
                    for outcome, p in enumerate(state.probabilities([qs[0]])):
                        if p < 1e-15:
                            continue
                        projector = np.diag([1 - outcome, outcome])
                        collapsed = state.evolve(projector, [qs[0]]) / math.sqrt(p)
                        if operation.name == "measure":
                            clbit = cmap[instruction.clbits[0]]
                            out.append((weight * p, collapsed,
                                        (bits & ~(1 << clbit)) | (outcome << clbit)))
                        else:
                            if outcome:
                                collapsed = collapsed.evolve(np.array([[0, 1], [1, 0]]), [qs[0]])
                            out.append((weight * p, collapsed, bits))
                branches = out
            elif operation.name != "barrier":
                branches = [(w, s.evolve(operation, qs), b) for w, s, b in branches]
        return branches

    branches = walk(circuit, list(range(circuit.num_qubits)), list(range(circuit.num_clbits)),
                    branches)
    distribution = {}
    for weight, _, bits in branches:
        distribution[bits] = distribution.get(bits, 0.0) + weight
    return distribution


# -- random dynamic circuits ---------------------------------------------------------------------


def _condition(rng, circuit, registers):
    register = registers[rng.integers(len(registers))]
    bit = register[int(rng.integers(register.size))]
    value = int(rng.integers(1 << min(register.size, 3)))
    kind = rng.integers(6)
    if kind == 0:
        return (bit, int(rng.integers(2)))
    if kind == 1:
        return (register, value)
    if kind == 2:
        return expr.not_equal(register, value)
    if kind == 3:
        return expr.logic_not(bit)
    if kind == 4:
        return expr.logic_not(expr.equal(register, value))
    other = registers[rng.integers(len(registers))]
    return expr.logic_and(expr.not_equal(register, value), expr.equal(other, 1))


def _body(rng, circuit, registers, depth, length):
    qubits = circuit.num_qubits
    for _ in range(length):
        kind = rng.integers(8 if depth < 2 else 6)
        q = int(rng.integers(qubits))
        if kind == 0:
            circuit.h(q)
        elif kind == 1:
            circuit.ry(float(rng.uniform(0.3, 2.8)), q)
        elif kind == 2:
            circuit.cx(q, (q + 1) % qubits)
        elif kind in (3, 4):
            register = registers[rng.integers(len(registers))]
            circuit.measure(q, register[int(rng.integers(register.size))])
        elif kind == 5:
            circuit.reset(q)
        else:
            condition = _condition(rng, circuit, registers)
            with circuit.if_test(condition) as otherwise:
                _body(rng, circuit, registers, depth + 1, int(rng.integers(1, 4)))
            if rng.integers(2):
                with otherwise:
                    _body(rng, circuit, registers, depth + 1, int(rng.integers(1, 4)))


def random_dynamic_circuit(seed, wide=False):
    rng = np.random.default_rng(seed)
    a, b = ClassicalRegister(2, "a"), ClassicalRegister(3, "b")
    registers = [a, b]
    circuit = QuantumCircuit(QuantumRegister(3, "q"), a, b)
    if wide:
        far = ClassicalRegister(70, "far")
        circuit.add_register(far)
        registers.append(far)
    circuit.h(0)
    circuit.measure(0, a[0])
    _body(rng, circuit, registers, 0, 10)
    return circuit


@pytest.mark.parametrize("seed", range(24))
def test_random_dynamic_circuits_follow_the_exact_branch_model(seed):
    circuit = random_dynamic_circuit(seed, wide=seed % 4 == 3)
    distribution = exact_distribution(circuit)
    counts = KorvelBackend().run(circuit, shots=SHOTS, seed_simulator=seed).result().get_counts()
    assert_counts_follow({int(k.replace(" ", ""), 2): v for k, v in counts.items()},
                         distribution, SHOTS)


def _measured_inside_its_own_branch():
    """The branch reads a[0], overwrites it, then still runs; a later test reads the new bit."""
    q, a = QuantumRegister(3, "q"), ClassicalRegister(2, "a")
    circuit = QuantumCircuit(q, a)
    circuit.h(0)
    circuit.measure(0, a[0])
    with circuit.if_test((a[0], 1)):
        circuit.h(1)
        circuit.measure(1, a[0])
        circuit.x(2)
        with circuit.if_test((a[0], 0)):
            circuit.x(1)
            circuit.measure(1, a[1])
    with circuit.if_test((a, 1)) as otherwise:
        circuit.ry(0.4, 2)
    with otherwise:
        circuit.ry(1.9, 2)
    circuit.measure(2, a[1])
    return circuit


def _else_of_several_alternatives():
    q, a = QuantumRegister(3, "q"), ClassicalRegister(3, "a")
    circuit = QuantumCircuit(q, a)
    circuit.h([0, 1, 2])
    circuit.measure([0, 1, 2], [0, 1, 2])
    with circuit.if_test(expr.not_equal(a, 5)) as otherwise:
        circuit.ry(0.3, 0)
    with otherwise:
        circuit.ry(2.1, 0)
    with circuit.if_test(expr.logic_not(expr.equal(a, 3))) as otherwise:
        circuit.x(1)
    with otherwise:
        circuit.h(1)
    circuit.measure([0, 1], [0, 1])
    return circuit


def _many_final_bits():
    circuit = QuantumCircuit(QuantumRegister(4, "q"), ClassicalRegister(40, "x"),
                             ClassicalRegister(60, "y"))
    circuit.h(0)
    circuit.cx(0, 1)
    circuit.ry(0.7, 2)
    circuit.measure([0, 1, 2, 2], [5, 99, 64, 0])
    return circuit


@pytest.mark.parametrize("make", [_measured_inside_its_own_branch, _else_of_several_alternatives,
                                  _many_final_bits])
def test_circuits_refused_before_follow_the_exact_model_on_both_faces(make):
    circuit = make()
    distribution = exact_distribution(circuit)
    counts = KorvelBackend().run(circuit, shots=SHOTS, seed_simulator=5).result().get_counts()
    assert_counts_follow({int(k.replace(" ", ""), 2): v for k, v in counts.items()},
                         distribution, SHOTS)
    data = KorvelSampler(seed=5).run([circuit], shots=SHOTS).result()[0].data
    words = {}
    offset = 0
    value = np.zeros(SHOTS, dtype=object)
    for register in circuit.cregs:
        value = value + np.array([int(s, 2) << offset for s in
                                  getattr(data, register.name).get_bitstrings()], dtype=object)
        offset += register.size
    for word in value.tolist():
        words[word] = words.get(word, 0) + 1
    assert_counts_follow(words, distribution, SHOTS)


def test_more_than_64_bits_kept_through_the_shots_are_refused_with_the_count():
    circuit = QuantumCircuit(1, 70)
    for c in range(70):
        circuit.h(0)
        circuit.measure(0, c)
    with circuit.if_test((circuit.clbits[0], 1)):
        circuit.x(0)
    with pytest.raises(ValueError, match="keeps 70 classical bits through its shots"):
        KorvelBackend().run(circuit)
