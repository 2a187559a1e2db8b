"""Qiskit control flow on korvel: classical expressions, switch_case, for_loop (with
break_loop and continue_loop) and classical variables, against an exact model.

The model interprets the Qiskit circuit itself, one branch per measurement outcome, with its
own scalar evaluation of every expression; random circuits nest all of these constructs.
Counts must lie within Bernstein bounds that a correct sampler breaks with probability below
1e-12 per outcome. Where Qiskit Aer runs a circuit (no variables, shifts or indexing, no
casts of registers to Bool, which Aer 0.18 reads as the register being zero), the model is
checked against Aer's counts too, so its reading of Qiskit's semantics is not korvel's
alone. The estimator's exact values follow the same model to 1e-12. while_loop runs in
the runner itself, with a limit on the iterations of each shot that a never-ending loop meets.
"""

from __future__ import annotations

import math
import warnings

import pytest

pytest.importorskip("qiskit")
warnings.filterwarnings("ignore", category=DeprecationWarning)

import numpy as np  # noqa: E402
from qiskit import ClassicalRegister, QuantumCircuit, QuantumRegister  # noqa: E402
from qiskit.circuit import (  # noqa: E402
    CASE_DEFAULT, BreakLoopOp, Clbit, ContinueLoopOp, ForLoopOp, IfElseOp, Store, SwitchCaseOp,
    WhileLoopOp)
from qiskit.circuit.classical import expr, types  # noqa: E402
from qiskit.quantum_info import SparsePauliOp, Statevector  # noqa: E402

from korvel_qiskit import KorvelBackend, KorvelEstimator, KorvelSampler  # noqa: E402
from korvel_qiskit import lowering  # noqa: E402
from support import assert_counts_follow  # noqa: E402
from korvel_qiskit.expressions import MAX_EXPRESSION_BITS  # noqa: E402

SHOTS = 4000


# -- the exact model ---------------------------------------------------------------------------


def _width(kind):
    return 1 if isinstance(kind, types.Bool) else kind.width


def _value(node, bits, variables, index):
    """The value of an expression in one branch: circuit bits `bits`, variables by Var."""
    if isinstance(node, expr.Var):
        if node.standalone:
            return variables[node]
        members = [node.var] if isinstance(node.var, Clbit) else list(node.var)
        return sum(((bits >> index[b]) & 1) << i for i, b in enumerate(members))
    if isinstance(node, expr.Value):
        return int(node.value)
    mask = (1 << _width(node.type)) - 1
    if isinstance(node, expr.Cast):
        inner = _value(node.operand, bits, variables, index)
        return int(inner != 0) if isinstance(node.type, types.Bool) else inner & mask
    if isinstance(node, expr.Unary):
        inner = _value(node.operand, bits, variables, index)
        if node.op is expr.Unary.Op.LOGIC_NOT:
            return int(not inner)
        return ~inner & mask
    if isinstance(node, expr.Index):
        return (_value(node.target, bits, variables, index)
                >> _value(node.index, bits, variables, index)) & 1
    left = _value(node.left, bits, variables, index)
    right = _value(node.right, bits, variables, index)
    op = expr.Binary.Op
    return {
        op.BIT_AND: left & right, op.BIT_OR: left | right, op.BIT_XOR: left ^ right,
        op.LOGIC_AND: int(bool(left) and bool(right)), op.LOGIC_OR: int(bool(left) or bool(right)),
        op.EQUAL: int(left == right), op.NOT_EQUAL: int(left != right),
        op.LESS: int(left < right), op.LESS_EQUAL: int(left <= right),
        op.GREATER: int(left > right), op.GREATER_EQUAL: int(left >= right),
        op.SHIFT_LEFT: (left << right) & mask, op.SHIFT_RIGHT: left >> right,
    }[node.op]


def _holds(condition, bits, variables, index):
    if isinstance(condition, tuple):
        target, value = condition
        return _value(expr.lift(target), bits, variables, index) == value
    return bool(_value(condition, bits, variables, index))


class _Branch:
    __slots__ = ("weight", "state", "bits", "variables", "left")

    def __init__(self, weight, state, bits, variables, left=None):
        self.weight, self.state, self.bits, self.variables, self.left = (
            weight, state, bits, variables, left)

    def copy(self, **changes):
        out = _Branch(self.weight, self.state, self.bits, dict(self.variables), self.left)
        for key, value in changes.items():
            setattr(out, key, value)
        return out


def exact_branches(circuit):
    """Every branch of the circuit with non-zero weight: weight, final state, circuit bits."""
    index = {bit: i for i, bit in enumerate(circuit.clbits)}

    def run(block, qubits, clbits, branch):
        """The branches `branch` becomes through `block`; a branch that breaks out of or
        continues a loop carries `left` and skips the rest of every block up to its loop."""
        qmap = {b: qubits[i] for i, b in enumerate(block.qubits)}
        cmap = {b: clbits[i] for i, b in enumerate(block.clbits)}
        current = [branch]
        for instruction in block.data:
            operation = instruction.operation
            qs = [qmap[q] for q in instruction.qubits]
            cs = [cmap[c] for c in instruction.clbits]
            after = []
            for b in current:
                if b.left is not None:
                    after.append(b)
                else:
                    after.extend(step(operation, qs, cs, b))
            current = after
        return current

    def step(operation, qs, cs, b):
        if isinstance(operation, Store):
            value = _value(operation.rvalue, b.bits, b.variables, index)
            lvalue = operation.lvalue
            variables = dict(b.variables)
            if isinstance(lvalue, expr.Index):
                var, position = lvalue.target, int(lvalue.index.value)
                old = variables[var]
                variables[var] = (old & ~(1 << position)) | ((value & 1) << position)
            else:
                variables[lvalue] = value & ((1 << _width(lvalue.type)) - 1)
            return [b.copy(variables=variables)]
        if isinstance(operation, (BreakLoopOp, ContinueLoopOp)):
            return [b.copy(left="break" if isinstance(operation, BreakLoopOp) else "continue")]
        if isinstance(operation, IfElseOp):
            if _holds(operation.condition, b.bits, b.variables, index):
                return run(operation.blocks[0], qs, cs, b)
            if len(operation.blocks) > 1 and operation.blocks[1] is not None:
                return run(operation.blocks[1], qs, cs, b)
            return [b]
        if isinstance(operation, SwitchCaseOp):
            target = operation.target
            value = _value(target if isinstance(target, expr.Expr) else expr.lift(target),
                           b.bits, b.variables, index)
            default = None
            for values, body in operation.cases_specifier():
                if any(v is not CASE_DEFAULT and int(v) == value for v in values):
                    return run(body, qs, cs, b)
                if CASE_DEFAULT in values:
                    default = body
            return [b] if default is None else run(default, qs, cs, b)
        if isinstance(operation, WhileLoopOp):
            # Branches below 1e-16 are dropped: a loop may go round without end.
            running, done = [b], []
            while running:
                after = []
                for r in running:
                    if not _holds(operation.condition, r.bits, r.variables, index):
                        done.append(r)
                        continue
                    for out in run(operation.blocks[0], qs, cs, r):
                        if out.weight < 1e-16:
                            continue
                        (done if out.left == "break" else after).append(out.copy(left=None))
                running = after
            return done
        if isinstance(operation, ForLoopOp):
            indexset, parameter, body = operation.params
            running, done = [b], []
            for value in indexset:
                bound = body if parameter is None or parameter not in body.parameters else \
                    body.assign_parameters({parameter: value}, inplace=False)
                after = []
                for r in running:
                    for out in run(bound, qs, cs, r):
                        if out.left == "break":
                            done.append(out.copy(left=None))
                        else:
                            after.append(out.copy(left=None))
                running = after
            return running + done
        if operation.name in ("measure", "reset"):
            out = []
            for outcome, p in enumerate(b.state.probabilities([qs[0]])):
                if p < 1e-15:
                    continue
                projector = np.diag([1 - outcome, outcome])
                collapsed = b.state.evolve(projector, [qs[0]]) / math.sqrt(p)
                if operation.name == "measure":
                    bits = (b.bits & ~(1 << cs[0])) | (outcome << cs[0])
                    out.append(b.copy(weight=b.weight * p, state=collapsed, bits=bits))
                else:
                    if outcome:
                        collapsed = collapsed.evolve(np.array([[0, 1], [1, 0]]), [qs[0]])
                    out.append(b.copy(weight=b.weight * p, state=collapsed))
            return out
        if operation.name == "barrier":
            return [b]
        return [b.copy(state=b.state.evolve(operation, qs))]

    start = _Branch(1.0, Statevector.from_int(0, 2 ** circuit.num_qubits), 0, {})
    return run(circuit, list(range(circuit.num_qubits)), list(range(circuit.num_clbits)), start)


def exact_distribution(circuit):
    distribution = {}
    for branch in exact_branches(circuit):
        distribution[branch.bits] = distribution.get(branch.bits, 0.0) + branch.weight
    return distribution


def as_words(counts):
    return {int(key.replace(" ", ""), 2): value for key, value in counts.items()}


# -- random circuits ---------------------------------------------------------------------------


class _Generator:
    """Random nestings of if_else, switch_case, for_loop, break/continue and stores, over
    registers a (2 bits) and b (3 bits) and, unless `aer_compatible`, variables u (Uint(2))
    and f (Bool) with every operator; Aer's subset otherwise."""

    def __init__(self, seed, aer_compatible=False):
        self.rng = np.random.default_rng(seed)
        self.aer = aer_compatible
        self.a, self.b = ClassicalRegister(2, "a"), ClassicalRegister(3, "b")
        self.circuit = QuantumCircuit(QuantumRegister(3, "q"), self.a, self.b)
        self.u = self.f = None
        if not aer_compatible:
            self.u = self.circuit.add_var("u", expr.lift(int(self.rng.integers(4)), types.Uint(2)))
            self.f = self.circuit.add_var("f", bool(self.rng.integers(2)))

    def pick(self, options):
        return options[int(self.rng.integers(len(options)))]

    def uint(self, depth):
        rng = self.rng
        leaves = [self.a, self.b] + ([] if self.aer else [self.u])
        kind = int(rng.integers(3 if depth >= 2 else (6 if self.aer else 9)))
        if kind <= 1:
            return expr.lift(self.pick(leaves))
        if kind == 2:
            return expr.lift(int(rng.integers(8)), types.Uint(3))
        left, right = self.uint(depth + 1), self.uint(depth + 1)
        width = max(_width(left.type), _width(right.type))
        left, right = expr.cast(left, types.Uint(width)), expr.cast(right, types.Uint(width))
        if kind <= 5:
            return [expr.bit_and, expr.bit_or, expr.bit_xor][kind - 3](left, right)
        if kind == 6:
            return expr.bit_not(left)
        if kind == 7:
            return expr.shift_left(left, int(rng.integers(3)))
        return expr.shift_right(left, right)

    def boolean(self, depth):
        rng = self.rng
        # Aer reads a cast of a register to Bool as the register being zero, so Aer's
        # circuits go without casts to Bool.
        kinds = [0, 1] + ([] if self.aer else [2])
        if depth < 2:
            kinds += [3, 4, 5, 6] + ([] if self.aer else [7, 8])
        kind = self.pick(kinds)
        if kind == 0:
            bit = self.pick(list(self.a) + list(self.b))
            return expr.lift(bit) if self.aer or rng.integers(2) else self.f
        if kind == 1:
            compare = self.pick([expr.equal, expr.not_equal, expr.less, expr.less_equal,
                                 expr.greater, expr.greater_equal])
            operand = self.uint(depth + 1)
            return compare(operand, int(rng.integers(1 << _width(operand.type))))
        if kind == 2:
            return expr.cast(self.uint(depth + 1), types.Bool())
        if kind == 3:
            return expr.logic_not(self.boolean(depth + 1))
        if kind <= 6:
            combine = self.pick([expr.logic_and, expr.logic_or, expr.bit_and, expr.bit_or,
                                 expr.bit_xor])
            return combine(self.boolean(depth + 1), self.boolean(depth + 1))
        if kind == 7:
            return expr.index(self.pick([self.b, self.u]), int(rng.integers(2)))
        compare = self.pick([expr.less, expr.greater_equal, expr.equal])
        return compare(self.uint(depth + 1), self.uint(depth + 1))

    def body(self, depth, length, loop_depth=0, parameter=None):
        rng, circuit = self.rng, self.circuit
        for _ in range(length):
            kind = int(rng.integers(13 if depth < 3 else 6))
            q = int(rng.integers(3))
            if kind == 0:
                circuit.h(q)
            elif kind == 1:
                angle = float(rng.uniform(0.3, 2.8))
                circuit.ry(angle if parameter is None else angle + 0.7 * parameter, q)
            elif kind == 2:
                circuit.cx(q, (q + 1) % 3)
            elif kind in (3, 4):
                circuit.measure(q, self.pick(list(self.a) + list(self.b)))
            elif kind == 5:
                if self.aer:
                    circuit.reset(q)
                else:
                    self.store()
            elif kind in (6, 7):
                with circuit.if_test(self.boolean(0)) as otherwise:
                    self.body(depth + 1, int(rng.integers(1, 4)), loop_depth, parameter)
                if rng.integers(2):
                    with otherwise:
                        self.body(depth + 1, int(rng.integers(1, 4)), loop_depth, parameter)
            elif kind in (8, 9):
                self.switch(depth, loop_depth, parameter)
            elif kind in (10, 11):
                indexset = self.pick([range(int(rng.integers(1, 4))), [2, 0, 1], (3,)])
                with circuit.for_loop(indexset) as i:
                    self.body(depth + 1, int(rng.integers(1, 4)), loop_depth + 1, i)
            elif loop_depth:
                with circuit.if_test(self.boolean(1)):
                    if rng.integers(2):
                        circuit.break_loop()
                    else:
                        circuit.continue_loop()

    def switch(self, depth, loop_depth, parameter):
        rng = self.rng
        target = self.pick([self.a, self.b, self.a[0]] if self.aer else
                           [self.a, self.b, self.a[0], self.u, self.f, self.uint(1)])
        width = 1 if isinstance(target, Clbit) or getattr(target, "type", None) == types.Bool() \
            else (target.size if isinstance(target, ClassicalRegister) else _width(target.type))
        values = list(rng.permutation(1 << width)[: int(rng.integers(1, min(4, 1 << width) + 1))])
        with self.circuit.switch(target) as case:
            while values:
                take = values[: int(rng.integers(1, 3))]
                values = values[len(take):]
                as_values = [bool(v) for v in take] if width == 1 and not isinstance(
                    target, ClassicalRegister) else [int(v) for v in take]
                with case(*as_values):
                    self.body(depth + 1, int(rng.integers(1, 3)), loop_depth, parameter)
            if rng.integers(2):
                with case(case.DEFAULT):
                    self.body(depth + 1, int(rng.integers(1, 3)), loop_depth, parameter)

    def store(self):
        rng, circuit = self.rng, self.circuit
        kind = int(rng.integers(3))
        if kind == 0:
            circuit.store(self.u, expr.cast(self.uint(1), types.Uint(2)))
        elif kind == 1:
            circuit.store(self.f, self.boolean(1))
        else:
            circuit.store(expr.index(self.u, int(rng.integers(2))), self.boolean(1))


def random_control_flow(seed, aer_compatible=False):
    generator = _Generator(seed, aer_compatible)
    generator.circuit.h(0)
    generator.circuit.measure(0, generator.a[0])
    generator.body(0, 8)
    return generator.circuit


def _circuit_or_skip(seed, aer_compatible=False):
    try:
        return random_control_flow(seed, aer_compatible)
    except (TypeError, ValueError) as error:
        pytest.skip(f"Qiskit refuses the random circuit: {error}")


# -- tests -------------------------------------------------------------------------------------


@pytest.mark.parametrize("seed", range(40))
def test_random_control_flow_follows_the_exact_model(seed):
    circuit = _circuit_or_skip(seed)
    distribution = exact_distribution(circuit)
    counts = KorvelBackend().run(circuit, shots=SHOTS, seed_simulator=seed).result().get_counts()
    assert_counts_follow(as_words(counts), distribution, SHOTS)


@pytest.mark.parametrize("seed", range(12))
def test_the_model_and_korvel_agree_with_aer_where_aer_runs(seed):
    AerSimulator = pytest.importorskip("qiskit_aer").AerSimulator

    circuit = _circuit_or_skip(seed, aer_compatible=True)
    distribution = exact_distribution(circuit)
    aer = AerSimulator().run(circuit, shots=SHOTS, seed_simulator=seed).result().get_counts()
    assert_counts_follow(as_words(aer), distribution, SHOTS)
    ours = KorvelBackend().run(circuit, shots=SHOTS, seed_simulator=seed).result().get_counts()
    assert_counts_follow(as_words(ours), distribution, SHOTS)


@pytest.mark.parametrize("seed", range(8))
def test_the_sampler_follows_the_model_register_by_register(seed):
    circuit = _circuit_or_skip(seed)
    distribution = exact_distribution(circuit)
    data = KorvelSampler(seed=seed).run([circuit], shots=SHOTS).result()[0].data
    a, b = data.a.array[:, 0], data.b.array[:, 0]
    words = (b.astype(np.int64) << 2) | a
    counts = dict(zip(*np.unique(words, return_counts=True)))
    assert_counts_follow({int(k): int(v) for k, v in counts.items()}, distribution, SHOTS)


@pytest.mark.parametrize("seed", range(6))
def test_exact_estimates_follow_every_branch_of_the_model(seed):
    circuit = _circuit_or_skip(seed)
    # Gates after every measurement: the estimator drops final measurements, the model does not.
    for q in range(3):
        circuit.ry(0.3 + q, q)
    observable = SparsePauliOp(["ZII", "IXZ", "YIY"], coeffs=[0.7, -0.4, 0.25])
    expected = sum(branch.weight * float(np.real(branch.state.expectation_value(observable)))
                   for branch in exact_branches(circuit))
    value = KorvelEstimator().run([(circuit, observable)]).result()[0].data.evs
    assert abs(float(value) - expected) < 1e-12


def _parametric_loop():
    circuit = QuantumCircuit(2, 2)
    with circuit.for_loop([0, 3, 1]) as i:
        circuit.rx(0.4 * i + 0.1, 0)
        circuit.cx(0, 1)
        circuit.measure(1, 1)
        with circuit.if_test(expr.logic_and(expr.lift(circuit.clbits[1]),
                                            expr.equal(circuit.clbits[0], False))):
            circuit.break_loop()
    circuit.measure(0, 0)
    return circuit


def _switch_on_an_expression():
    a = ClassicalRegister(3, "a")
    circuit = QuantumCircuit(QuantumRegister(4), a)
    circuit.h([0, 1, 2])
    circuit.measure([0, 1, 2], a)
    with circuit.switch(expr.bit_xor(expr.shift_right(a, 1), a)) as case:
        with case(0, 5):
            circuit.x(3)
        with case(case.DEFAULT):
            circuit.h(3)
            circuit.measure(3, a[0])
    circuit.measure(3, a[2])
    return circuit


def _variable_through_branches():
    circuit = QuantumCircuit(QuantumRegister(3), ClassicalRegister(3, "c"))
    total = circuit.add_var("total", expr.lift(0, types.Uint(3)))
    for q in range(3):
        circuit.h(q)
        circuit.measure(q, q)
        with circuit.if_test(expr.lift(circuit.clbits[q])):
            circuit.store(total, expr.bit_or(expr.shift_left(total, 1), 1))
    circuit.reset(0)
    with circuit.if_test(expr.greater_equal(total, 3)):
        circuit.x(0)
    circuit.measure(0, 0)
    return circuit


@pytest.mark.parametrize("make", [_parametric_loop, _switch_on_an_expression,
                                  _variable_through_branches])
@pytest.mark.parametrize("fusion", [True, False])
def test_written_circuits_follow_the_model(make, fusion):
    circuit = make()
    counts = KorvelBackend().run(circuit, shots=SHOTS, seed_simulator=3,
                                 fusion=fusion).result().get_counts()
    assert_counts_follow(as_words(counts), exact_distribution(circuit), SHOTS)


def test_a_loop_parameter_shared_with_a_sweep_parameter_binds_per_iteration():
    from qiskit.circuit import Parameter

    theta = Parameter("theta")
    circuit = QuantumCircuit(1, 1)
    with circuit.for_loop(range(3)) as i:
        circuit.ry(theta * (i + 1), 0)
    circuit.measure(0, 0)
    values = np.array([[0.1], [0.5]])
    data = KorvelSampler(seed=1).run([(circuit, values)], shots=SHOTS).result()[0].data
    for row, value in enumerate(values[:, 0]):
        bound = circuit.assign_parameters([value])
        ones = int(data.c.array[row, :, 0].sum())
        assert_counts_follow({0: SHOTS - ones, 1: ones}, exact_distribution(bound), SHOTS)


# -- refusals ----------------------------------------------------------------------------------


def _input_variable():
    circuit = QuantumCircuit(1, 1)
    flag = circuit.add_input("flag", types.Bool())
    with circuit.if_test(flag):
        circuit.x(0)
    circuit.measure(0, 0)
    return circuit


def _too_many_bits():
    wide = ClassicalRegister(MAX_EXPRESSION_BITS + 1, "wide")
    circuit = QuantumCircuit(QuantumRegister(1), wide)
    circuit.measure(0, wide[0])
    with circuit.if_test(expr.less(wide, 5)):
        circuit.x(0)
    return circuit


def _store_into_a_bit():
    circuit = QuantumCircuit(1, 1)
    circuit.store(circuit.clbits[0], True)
    circuit.measure(0, 0)
    return circuit


def _arithmetic():
    circuit = QuantumCircuit(1, 2)
    circuit.measure(0, 0)
    with circuit.if_test(expr.equal(expr.add(circuit.cregs[0], 1), 2)):
        circuit.x(0)
    return circuit


def _long_loop():
    circuit = QuantumCircuit(1, 1)
    with circuit.for_loop(range(10 ** 9)):
        circuit.h(0)
    circuit.measure(0, 0)
    circuit.data[0].operation.label = "forever"
    return circuit


@pytest.mark.parametrize("make, message", [
    (_input_variable, "reads input variable 'flag', which korvel cannot bind"),
    (_too_many_bits, f"reads more than {MAX_EXPRESSION_BITS} classical bits"),
    (_store_into_a_bit, "korvel stores into classical variables"),
    (_arithmetic, "the operator ADD"),
    (_long_loop, "for_loop 'forever' unrolls past 1000 steps or iterations"),
])
def test_refusals_name_what_is_refused(make, message, monkeypatch):
    monkeypatch.setattr(lowering, "MAX_UNROLLED_STEPS", 1000)
    with pytest.raises(ValueError, match=message):
        KorvelBackend().run(make(), shots=10).result()


def test_wide_register_equalities_need_no_truth_table():
    wide = ClassicalRegister(40, "wide")
    circuit = QuantumCircuit(QuantumRegister(1), wide)
    circuit.x(0)
    circuit.measure(0, wide[39])
    with circuit.switch(wide) as case:
        with case(1 << 39):
            circuit.x(0)
        with case(case.DEFAULT):
            circuit.h(0)
    circuit.measure(0, wide[0])
    counts = KorvelBackend().run(circuit, shots=100, seed_simulator=1).result().get_counts()
    assert counts == {"1" + "0" * 39: 100}


# -- while_loop --------------------------------------------------------------------------------


def _repeat_until(circuit, qubit, clbit, angle, other=None):
    """Prepares `qubit` afresh and measures it into `clbit`: a body that ends its loop with
    probability bounded below."""
    circuit.reset(qubit)
    circuit.ry(angle, qubit)
    if other is not None:
        circuit.cx(qubit, other)
    circuit.measure(qubit, clbit)


def random_while(seed):
    """Repeat-until-success loops with random tests, nested in if_else and for_loop, with
    while_loop inside while_loop, break_loop and continue_loop, and gates around them."""
    rng = np.random.default_rng(seed)
    a, b = ClassicalRegister(2, "a"), ClassicalRegister(2, "b")
    circuit = QuantumCircuit(QuantumRegister(3, "q"), a, b)
    circuit.h(2)
    circuit.measure(2, b[1])

    def loop(depth, guarded=False):
        # Inside the if_else on b, b stays as the if read it: korvel refuses measuring into
        # the bits of an enclosing condition inside a while_loop.
        q = int(rng.integers(2))
        bit = a[q]
        angle = float(rng.uniform(0.6, 2.5))
        test = [lambda: (bit, 0), lambda: expr.logic_not(bit),
                lambda: expr.less(expr.bit_and(a, 1), 1) if q == 0 else
                expr.logic_or(expr.equal(a, 0), expr.equal(a, 1)),
                lambda: expr.logic_and(expr.logic_not(bit), expr.lift(True))][int(rng.integers(4))]
        circuit.measure(q, bit)
        with circuit.while_loop(test()):
            _repeat_until(circuit, q, bit, angle, other=2 if rng.integers(2) else None)
            kind = int(rng.integers(5))
            if kind == 0 and depth == 0:
                loop(depth + 1, guarded)
                circuit.measure(q, bit)
            elif kind == 1:
                with circuit.if_test((b[1], 1)):
                    circuit.break_loop()
            elif kind == 2:
                with circuit.if_test((b[1], 0)):
                    circuit.x(2)
                    circuit.continue_loop()
                circuit.h(2)
            elif kind == 3:
                circuit.ry(float(rng.uniform(0, 3)), 2)
        if not guarded:
            circuit.measure(2, b[0])

    for _ in range(int(rng.integers(1, 3))):
        place = int(rng.integers(3))
        if place == 0:
            loop(0)
        elif place == 1:
            with circuit.if_test(expr.equal(b, int(rng.integers(4)))):
                loop(0, guarded=True)
        else:
            with circuit.for_loop(range(2)):
                loop(1)
        circuit.h(2)
    return circuit


def random_while_store(seed, variables=True):
    """while_loops that static tracking cannot follow: inside them stores into variables
    (read after the loop and by the loop's own test), measurements into the bit an enclosing
    if_else reads or an if_else inside reads, and loops over a bit an earlier branch left in
    several slots. Qubit 2 is measured first, so its toggles keep the model's branches few."""
    rng = np.random.default_rng(seed)
    a, b = ClassicalRegister(2, "a"), ClassicalRegister(2, "b")
    circuit = QuantumCircuit(QuantumRegister(3, "q"), a, b)
    f = circuit.add_var("f", bool(rng.integers(2))) if variables else None
    u = circuit.add_var("u", expr.lift(int(rng.integers(4)), types.Uint(2))) if variables else None
    circuit.h(2)
    circuit.measure(2, b[1])
    if rng.integers(2):
        with circuit.if_test((b[1], 1)):  # b[1] now lives in one of two slots
            circuit.h(2)
            circuit.measure(2, b[1])

    def body(q, angle):
        _repeat_until(circuit, q, a[q], angle)
        for _ in range(int(rng.integers(1, 3))):
            kind = int(rng.integers(5 if variables else 2))
            if kind == 0:
                circuit.x(2)
                circuit.measure(2, b[1])
            elif kind == 1:
                with circuit.if_test((b[1], 1)):
                    circuit.x(2)
                    circuit.measure(2, b[1])
            elif kind == 2:
                circuit.store(f, expr.logic_not(f))
            elif kind == 3:
                with circuit.if_test(expr.logic_or(f, b[1])):
                    circuit.store(u, expr.bit_xor(u, expr.bit_or(expr.shift_left(u, 1), 1)))
            else:
                circuit.store(circuit_bit_of(u), expr.logic_and(b[1], a[q]))

    def circuit_bit_of(var):
        return expr.index(var, int(rng.integers(2)))

    for _ in range(int(rng.integers(1, 3))):
        q = int(rng.integers(2))
        angle = float(rng.uniform(1.2, 2.6))
        circuit.measure(q, a[q])
        test = (a[q], 0) if not variables or rng.integers(2) else \
            expr.logic_and(expr.logic_not(a[q]), expr.less(u, 3))
        place = int(rng.integers(3))
        if place == 0:
            with circuit.while_loop(test):
                body(q, angle)
        elif place == 1:
            with circuit.if_test((b[1], int(rng.integers(2)))):
                with circuit.while_loop(test):
                    body(q, angle)
                circuit.h(2)  # after the loop, still under the if_else's condition
        else:
            with circuit.while_loop((a[1 - q], 0)):  # an outer loop round an inner one
                _repeat_until(circuit, 1 - q, a[1 - q], angle)
                with circuit.while_loop(test):
                    body(q, angle)
        if variables:
            with circuit.if_test(expr.bit_xor(f, expr.equal(u, 2)) if rng.integers(2) else f):
                circuit.x(2)
        circuit.measure(2, b[0])
    return circuit


# (generator, seed): plain random loops, and loops that store and overwrite read bits.
LOOP_CIRCUITS = [(random_while, seed) for seed in range(20)] + \
    [(random_while_store, seed) for seed in range(16)]


@pytest.mark.parametrize("generator, seed", LOOP_CIRCUITS)
@pytest.mark.parametrize("fusion", [True, False])
def test_random_while_loops_follow_the_exact_model(generator, seed, fusion):
    circuit = generator(seed)
    counts = KorvelBackend().run(circuit, shots=SHOTS, seed_simulator=seed,
                                 fusion=fusion).result().get_counts()
    assert_counts_follow(as_words(counts), exact_distribution(circuit), SHOTS)


# Aer runs neither shifts nor Store, so the stores' loops come without variables.
@pytest.mark.parametrize("make", [random_while, lambda seed: random_while_store(seed, variables=False)],
                         ids=["plain", "overwriting"])
@pytest.mark.parametrize("seed", range(6))
def test_while_loops_agree_with_aer(make, seed):
    AerSimulator = pytest.importorskip("qiskit_aer").AerSimulator

    circuit = make(seed)
    distribution = exact_distribution(circuit)
    counts = KorvelBackend().run(circuit, shots=SHOTS, seed_simulator=seed).result().get_counts()
    assert_counts_follow(as_words(counts), distribution, SHOTS)
    aer = AerSimulator().run(circuit, shots=SHOTS, seed_simulator=seed).result().get_counts()
    assert_counts_follow(as_words(aer), distribution, SHOTS)


def _never_ending(label=None):
    circuit = QuantumCircuit(1, 1)
    with circuit.while_loop((circuit.clbits[0], 0)):
        circuit.measure(0, 0)  # |0> forever
    if label is not None:
        circuit.data[0].operation.label = label
    return circuit


def test_a_never_ending_loop_stops_with_its_name():
    with pytest.raises(ValueError, match=r"while_loop '0' ran past 1000 iterations in shot \d+"):
        KorvelBackend().run(_never_ending(), shots=100).result()
    with pytest.raises(ValueError, match="while_loop 'spin' ran past 7 iterations"):
        KorvelSampler(max_loop_iterations=7).run([_never_ending("spin")], shots=3).result()
    with pytest.raises(ValueError, match="while_loop 'spin' ran past 3 iterations"):
        KorvelBackend(max_loop_iterations=3).run(_never_ending("spin"), shots=1).result()


def test_the_limit_can_be_raised_and_is_checked():
    circuit = QuantumCircuit(1, 1)
    circuit.x(0)
    circuit.measure(0, 0)
    with circuit.while_loop((circuit.clbits[0], 1)):
        circuit.measure(0, 0)  # |1> forever
    with pytest.raises(ValueError, match="ran past 1000 iterations"):
        KorvelBackend().run(circuit, shots=2).result()
    with pytest.raises(ValueError, match="ran past 5000 iterations"):
        KorvelBackend().run(circuit, shots=2, max_loop_iterations=5000).result()
    with pytest.raises(ValueError, match="max_loop_iterations must be an integer"):
        KorvelSampler(max_loop_iterations=0)


def test_while_loop_refusals_name_the_loop():
    # Every classical slot taken, and the loop's variable needs one more.
    circuit = QuantumCircuit(1, 64)
    for clbit in range(64):
        circuit.measure(0, clbit)
    flag = circuit.add_var("flag", False)
    with circuit.while_loop((circuit.clbits[0], 0)):
        circuit.store(flag, expr.logic_not(flag))
        circuit.measure(0, 0)
    circuit.data[-1].operation.label = "inner"
    with pytest.raises(ValueError, match="while_loop 'inner' keeps values in .* at most 64"):
        KorvelBackend().run(circuit, shots=2).result()


def test_the_runner_takes_the_limit_and_refuses_a_bad_one():
    import korvel_runner
    from korvel_programs import ProgramBuilder

    builder = ProgramBuilder()
    builder.measure(0, 0)
    builder.jump(0, 0, (1, 0))  # |0> measured forever
    program = builder.program()
    with pytest.raises(ValueError, match=r"^loop 0 ran past 9 iterations in shot \d+$"):
        korvel_runner.run_shots(1, 1, program, 4, seed=1, max_loop_iterations=9)
    with pytest.raises(ValueError, match="max_loop_iterations must be between 1 and"):
        korvel_runner.run_shots(1, 1, program, 4, max_loop_iterations=0)
    builder = ProgramBuilder()
    builder.jump(5, 0)
    with pytest.raises(ValueError, match="step 0: matrix .* is 5, out of range for a program of 1 steps"):
        korvel_runner.run_shots(1, 1, builder.program(), 4)


def _random_jump_program(data):
    """Gates, measurements, resets, set steps and jumps anywhere (forward, back, conditioned) on
    2 qubits."""
    from hypothesis import strategies as st
    from korvel_programs import ProgramBuilder

    h = np.array([[1, 1], [1, -1]]) / np.sqrt(2)
    builder = ProgramBuilder()
    count = data.draw(st.integers(1, 8))
    for _ in range(count):
        kind = data.draw(st.sampled_from(["gate", "measure", "reset", "set", "jump"]))
        qubit = data.draw(st.integers(0, 1))
        condition = data.draw(st.sampled_from([(0, 0), (1, 0), (1, 1), (3, 2)]))
        if kind == "gate":
            builder.gate([qubit], h, condition=condition)
        elif kind == "measure":
            builder.measure(qubit, data.draw(st.integers(0, 1)), condition)
        elif kind == "reset":
            builder.reset(qubit, condition)
        elif kind == "set":
            builder.set(data.draw(st.integers(0, 1)), data.draw(st.integers(0, 1)), condition)
        else:
            builder.jump(data.draw(st.integers(0, count)), data.draw(st.integers(0, 2)), condition)
    return builder.program()


def test_random_jump_programs_run_or_fail_with_documented_errors():
    import re

    import korvel_runner
    from hypothesis import given, settings
    from hypothesis import strategies as st

    documented = re.compile(r"^(step \d+: .+|loop \d+ ran past 20 iterations in shot \d+)$")

    @settings(max_examples=300, deadline=None)
    @given(st.data(), st.booleans())
    def run(data, fusion):
        program = _random_jump_program(data)
        try:
            words = korvel_runner.run_shots(2, 2, program, 8, seed=3, fusion=fusion,
                                            max_loop_iterations=20)
        except ValueError as error:
            assert documented.match(str(error)), str(error)
            return
        assert words.shape == (8,) and int(words.max(initial=0)) < 4

    run()
