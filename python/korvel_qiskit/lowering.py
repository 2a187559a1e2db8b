"""Lowering of a Qiskit circuit to the runner's program of steps, once per circuit.

Gates on up to five qubits go through their matrices (controlled gates become a step on the
base gate's qubits with a control mask), `PauliEvolutionGate` through the exact exponential,
and any other instruction is decomposed on its own by Qiskit's transpiler onto
`lowering_target()`, the instructions the runner executes. Consecutive one-qubit gates on a
qubit fold into one step. Gates whose matrices depend on parameters keep the factors that
recompute them, so a parameter sweep rewrites matrix entries and keeps the step records. The
global phase of the circuit and of every decomposition is kept beside the program.

Control flow becomes conditions on steps: the branches of `if_else` and `switch_case` run
under their conditions (expressions.py turns Qiskit's classical expressions and variables into
them), and a `for_loop` is unrolled with its parameter bound per iteration, `break_loop` and
`continue_loop` narrowing the condition of what follows them.

A while_loop's body is lowered once and run again on every iteration, so inside it every bit
and variable must stay where the body's steps read it. Before the outermost loop, set steps copy
the bits it reads or writes that are not in one slot, or whose slot something outside still
reads, into slots of their own, and the variables it stores into likewise; inside it,
measurements overwrite their bits in place, a store computes its value into scratch slots and
copies it into the variable's, and a branch whose condition reads a slot the branch overwrites
takes that condition into a slot at its entry.
"""

from __future__ import annotations

import dataclasses
import warnings
from dataclasses import dataclass
from typing import Dict, List, Optional, Sequence, Set, Tuple, Union

import numpy as np
from numpy.typing import NDArray
from qiskit.circuit import (
    Barrier,
    BoxOp,
    BreakLoopOp,
    CASE_DEFAULT,
    Clbit,
    ControlFlowOp,
    ContinueLoopOp,
    ControlledGate,
    Delay,
    ForLoopOp,
    Gate,
    IfElseOp,
    Measure,
    Parameter,
    QuantumCircuit,
    Reset,
    Store,
    SwitchCaseOp,
    WhileLoopOp,
)
from qiskit.circuit.classical import expr
from qiskit.circuit.library import (
    CUGate,
    GlobalPhaseGate,
    IGate,
    PhaseGate,
    RGate,
    RXGate,
    RXXGate,
    RYGate,
    RYYGate,
    RZGate,
    RZXGate,
    RZZGate,
    U1Gate,
    U2Gate,
    U3Gate,
    UGate,
    XXMinusYYGate,
    XXPlusYYGate,
)

from korvel_programs import (
    DEFAULT_MAX_LOOP_ITERATIONS,
    KIND_GATE,
    KIND_JUMP,
    KIND_MEASURE,
    KIND_SET,
    MAX_CLBITS,
    MAX_QUBITS,
    MAX_TARGETS,
    pack_program,
)

from korvel_programs.classical import (
    ALWAYS,
    NEVER,
    Condition,
    StepCollector,
    conjoin,
    final_measurements,
    layout,
    negate,
    simplify,
)

from .classical import ClassicalBits, Compaction, Readout
from .expressions import ClassicalExpressions, lifted
from .program import (
    Angle,
    Factor,
    ParametricFactor,
    ParametricStep,
    angle_from,
    evolution_matrices,
    gate_matrix,
)


# Instructions are recognised by class, never by name: the name of a controlled gate carries
# its control state ("cu_o0"), and a user's gate may borrow a standard name.
_NO_WORK = (Barrier, Delay, IGate)
# Standard one-qubit gates whose matrix is recomputed per binding: class -> family in FORMULAS.
_PARAMETRIC_FAMILIES = {RXGate: "rx", RYGate: "ry", RZGate: "rz", PhaseGate: "p", U1Gate: "u1",
                        UGate: "u", U3Gate: "u3", U2Gate: "u2", RGate: "r"}
# Standard gates whose matrix is exp(-i theta/2 P) for one Pauli word P, and the two-angle
# families with formulas of their own.
_PAULI_ROTATIONS = (RXXGate, RYYGate, RZZGate, RZXGate)
_TWO_ANGLE_FAMILIES = {XXPlusYYGate: "xx_plus_yy", XXMinusYYGate: "xx_minus_yy"}

# A for_loop is unrolled while the circuit is lowered; past this many steps in all, or as many
# iterations, the circuit is refused, naming the loop that crossed the bound.
MAX_UNROLLED_STEPS = 100_000

Phase = Union[float, Angle]
_X = np.array([[0, 1], [1, 0]], dtype=np.complex128)


class _Decompose(Exception):
    """An instruction the runner cannot execute as it stands."""

    def __init__(self, name: str) -> None:
        super().__init__(name)
        self.name = name


class _While:
    """A while_loop being lowered: its name and number, the record of its test, the break and
    test jumps still to be pointed past its end, and the slots the branch it sits in reads."""

    def __init__(self, name: str, number: int, top: int, protected: int) -> None:
        self.name = name
        self.number = number
        self.top = top
        self.protected = protected
        self.exits: List[int] = []


@dataclass(frozen=True)
class LoweredCircuit:
    """A circuit as the runner executes it.

    `steps` (WIDE_STEP_DTYPE) and `entries` are the template program. When every measurement
    is final (`final_qubits` is not
    None) it holds the gates alone, and shots are drawn from the final state: circuit bit
    `final_clbits[i]` receives qubit `final_qubits[i]`, and a shot's word is the basis state
    drawn, with the qubits no bit receives cleared. Otherwise the program measures, resets
    and branches itself and runs shot by shot over `num_clbits` classical slots; then each
    of `copies`, (slot, readout), sets that slot of the word to the bit its readout selects,
    all of them reading the word as the runner left it.

    `clbit_slots[c]` is the bit of a shot's word that holds circuit bit c, or -1 for a bit
    nothing writes (it reads 0). Qubits are compacted too: `qubit_slots[q]` is the program's
    qubit for circuit qubit q, or -1 for a qubit no instruction acts on (it stays |0>), so a
    circuit laid out on a large device simulates its active qubits only.

    `loops[L]` names while_loop L (its label, else its place in its block) for the runner's
    error when a shot goes round it more than `max_loop_iterations` times.
    """

    name: str
    num_qubits: int
    num_clbits: int
    steps: NDArray[np.void]
    entries: NDArray[np.complex128]
    parametric: Tuple[ParametricStep, ...]
    parameters: Tuple[Parameter, ...]
    global_phase: Tuple[Phase, ...]
    fusion: bool
    final_qubits: Optional[NDArray[np.uint64]]
    final_clbits: Optional[NDArray[np.uint64]]
    clbit_slots: Tuple[int, ...]
    copies: Tuple[Tuple[int, Readout], ...]
    qubit_slots: Tuple[int, ...]
    registers: Tuple[Tuple[str, Tuple[int, ...]], ...]
    metadata: Optional[dict]
    loops: Tuple[str, ...] = ()
    max_loop_iterations: int = DEFAULT_MAX_LOOP_ITERATIONS

    @property
    def sampled_from_final_state(self) -> bool:
        return self.final_qubits is not None

    @property
    def measured_qubits(self) -> int:
        """Mask of the qubits final measurements read (0 unless sampled from the final state)."""
        mask = 0
        for qubit in [] if self.final_qubits is None else self.final_qubits.tolist():
            mask |= 1 << qubit
        return mask

    @property
    def is_unitary(self) -> bool:
        """No measurement, reset or condition: a plain sequence of gates."""
        return self.final_qubits is not None and len(self.final_qubits) == 0

    def matrix_fields(self, values: NDArray[np.float64]) -> NDArray[np.complex128]:
        """The matrix entries of the program for bindings `values` (B, P): (B, E)."""
        values = np.asarray(values, dtype=np.float64).reshape(-1, len(self.parameters))
        out = np.empty((values.shape[0], len(self.entries)), dtype=np.complex128)
        out[:] = self.entries
        for step in self.parametric:
            matrices = step.evaluate(values, self.parameters)
            out[:, step.first:step.first + step.dimension ** 2] = matrices.reshape(
                values.shape[0], step.dimension ** 2)
        return out

    def program(self, fields: Optional[NDArray[np.complex128]] = None) -> NDArray[np.uint8]:
        """The program for one binding, from a row of `matrix_fields` (None: no parameters)."""
        if fields is None and self.parametric:
            raise ValueError(
                f"circuit '{self.name}' has unbound parameters: "
                + ", ".join(str(p) for p in self.parameters))
        return pack_program(self.steps, self.entries if fields is None else fields)

    def phases(self, values: Optional[NDArray[np.float64]] = None) -> NDArray[np.float64]:
        """The global phase of the circuit for bindings `values` (B, P): (B,); (1,) for None."""
        rows = 1 if values is None else np.asarray(values).reshape(-1, len(self.parameters)).shape[0]
        total = np.zeros(rows, dtype=np.float64)
        for term in self.global_phase:
            if isinstance(term, Angle):
                assert values is not None
                total += term.evaluate(np.asarray(values, dtype=np.float64).reshape(rows, -1),
                                       self.parameters)
            else:
                total += term
        return total


def lowering_target(num_qubits: Optional[int] = None) -> "object":
    """The instructions the runner executes, as a Qiskit Target without connectivity."""
    from qiskit.circuit import Barrier, Delay, Measure, Reset
    from qiskit.circuit import library as lib
    from qiskit.transpiler import Target

    theta, phi, lam, gamma = (Parameter(n) for n in ("theta", "phi", "lam", "gamma"))
    target = Target(description="korvel circuit runner", num_qubits=num_qubits)
    gates = [
        lib.IGate(), lib.XGate(), lib.YGate(), lib.ZGate(), lib.HGate(), lib.SGate(),
        lib.SdgGate(), lib.TGate(), lib.TdgGate(), lib.SXGate(), lib.SXdgGate(),
        lib.RXGate(theta), lib.RYGate(theta), lib.RZGate(theta), lib.PhaseGate(theta),
        lib.RGate(theta, phi), lib.UGate(theta, phi, lam), lib.U1Gate(theta),
        lib.U2Gate(phi, lam), lib.U3Gate(theta, phi, lam),
        lib.CXGate(), lib.CYGate(), lib.CZGate(), lib.CHGate(), lib.CSGate(), lib.CSdgGate(),
        lib.CSXGate(), lib.CRXGate(theta), lib.CRYGate(theta), lib.CRZGate(theta),
        lib.CPhaseGate(theta), lib.CU1Gate(theta), lib.CU3Gate(theta, phi, lam),
        lib.CUGate(theta, phi, lam, gamma), lib.CCXGate(), lib.CCZGate(), lib.C3SXGate(),
        Measure(), Reset(), Delay(theta),
    ]
    for gate in gates:
        target.add_instruction(gate)
    # Any number of controls on X and on a phase: one step each.
    target.add_instruction(lib.MCXGate, name="mcx")
    target.add_instruction(lib.MCPhaseGate, name="mcphase")
    target.add_instruction(Barrier, name="barrier")
    target.add_instruction(IfElseOp, name="if_else")
    target.add_instruction(SwitchCaseOp, name="switch_case")
    target.add_instruction(ForLoopOp, name="for_loop")
    target.add_instruction(WhileLoopOp, name="while_loop")
    target.add_instruction(BoxOp, name="box")
    return target


def unbound_parameters_error(circuit: QuantumCircuit) -> ValueError:
    names = ", ".join(str(p) for p in circuit.parameters)
    return ValueError(f"circuit '{circuit.name}' has unbound parameters: {names}; "
                      "bind them with assign_parameters() or pass parameter values to a sampler "
                      "or estimator")


def lower(circuit: QuantumCircuit, *, fuse: bool = True,
          max_loop_iterations: int = DEFAULT_MAX_LOOP_ITERATIONS) -> LoweredCircuit:
    """Lower `circuit`; raises ValueError naming any instruction or size it cannot run.

    With `fuse`, runs of one-qubit gates fold into one step here and the runner fuses the
    program further (its `fusion` flag); without, every instruction is one step with its exact
    matrix, and one-qubit and controlled one-qubit circuits give the korvel module's bits.
    A shot that goes round one while_loop more than `max_loop_iterations` times in a row
    stops the run with an error naming the loop.
    """
    if not isinstance(circuit, QuantumCircuit):
        raise TypeError(f"expected a QuantumCircuit, got {type(circuit).__name__}")
    limit = check_loop_limit(max_loop_iterations)
    qubit_slots = _qubit_slots(circuit)
    _check_width(circuit, qubit_slots)
    parameters = tuple(circuit.parameters)
    lowered = _Walker(circuit, qubit_slots, parameters, fuse).result(circuit)
    return dataclasses.replace(lowered, max_loop_iterations=limit)


def check_loop_limit(value: object) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)) \
            or not 1 <= int(value) <= 1 << 62:
        raise ValueError(f"max_loop_iterations must be an integer from 1 to 2**62, got {value!r}")
    return int(value)


class _Walker(StepCollector):
    """Walks a circuit once and collects its steps, folding one-qubit runs per qubit."""

    def __init__(self, circuit: QuantumCircuit, qubit_slots: Tuple[int, ...],
                 parameters: Tuple[Parameter, ...], fuse: bool) -> None:
        super().__init__(fuse)
        self.name = circuit.name
        self.parameter_index = {p: i for i, p in enumerate(parameters)}
        self.bits = ClassicalBits(circuit.num_clbits)
        self.qubit_slots = qubit_slots
        self.phase: List[Phase] = []
        self.decomposing = 0
        self.expressions = ClassicalExpressions(self.bits, circuit.name)
        for var in (*circuit.iter_input_vars(), *circuit.iter_captured_vars()):
            self.expressions.declare_input(var)
        self.unrolled = 0
        # Per for_loop being unrolled, innermost last: where its shots have broken out of it,
        # and where they have left the current iteration with continue_loop; `exits` counts
        # the changes to either.
        self.loops: List[Union[List[Condition], _While]] = []
        self.exits = 0
        # The while_loops being walked, innermost last, and the names of all of them by number.
        self.in_place: List[_While] = []
        self.loop_names: List[str] = []
        # Slots of values taken at run time inside while_loops that are free again, and the
        # loops that asked for slots of their own (named if the slots run out).
        self.scratch_free: List[int] = []
        self.slot_loops: List[str] = []
        self.add_phase(circuit.global_phase, ALWAYS)
        self.walk(circuit, list(self.qubit_slots), list(range(circuit.num_clbits)), ALWAYS)
        self.flush_all()

    def add_phase(self, value: object, condition: Condition) -> None:
        # A phase inside a branch is relative to the other branch: it cannot change a shot, and
        # a circuit with branches has no single final state to carry it.
        if condition != ALWAYS or self.in_place:
            return
        phase = angle_from(value, self.parameter_index)
        if isinstance(phase, Angle) or phase != 0.0:
            self.phase.append(phase)

    # -- steps ---------------------------------------------------------------------------------

    def controlled(self, controls: Sequence[int], targets: Sequence[int], ctrl_state: int,
                   factor: Factor, condition: Condition) -> None:
        """A gate on `targets` (one to five) where every control holds its bit of ctrl_state;
        with no controls, a plain gate on several qubits."""
        open_controls = [q for i, q in enumerate(controls) if not (ctrl_state >> i) & 1]
        self.controlled_gate(tuple(targets), factor, controls, open_controls, condition)

    def measure(self, qubit: int, clbit: int, condition: Condition) -> None:
        self.flush(qubit)
        self.touched.add(qubit)
        # A branch's own condition keeps its slots, and no measurement under it can move a
        # shot into another branch of the same choice; the variables' slots need keeping.
        if self.in_place:
            slot = self.measured_in_loop(qubit, clbit, condition)
        else:
            slot = self.bits.measured(clbit, condition, self.expressions.held_slots())
        for mask, value in condition:
            self.records.append((KIND_MEASURE, (qubit,), 0, mask, value, slot, ()))

    # -- instructions --------------------------------------------------------------------------

    def walk(self, circuit: QuantumCircuit, qubits: List[int], clbits: List[int],
             condition: Condition) -> None:
        # Scratch slots the rest of this block reads (a condition taken at a while_loop's entry).
        live: List[int] = []
        try:
            self.walk_block(circuit, qubits, clbits, condition, live)
        finally:
            self.scratch_free.extend(reversed(live))

    def walk_block(self, circuit: QuantumCircuit, qubits: List[int], clbits: List[int],
                   condition: Condition, live: List[int]) -> None:
        qubit_index = {bit: qubits[i] for i, bit in enumerate(circuit.qubits)}
        clbit_index = {bit: clbits[i] for i, bit in enumerate(circuit.clbits)}
        for position, instruction in enumerate(circuit.data):
            operation = instruction.operation
            if isinstance(operation, Store):
                if self.in_place:
                    self.store_in_loop(operation, condition, clbit_index)
                else:
                    self.expressions.store(operation.lvalue, operation.rvalue, condition,
                                           clbit_index)
                continue
            if isinstance(operation, (BreakLoopOp, ContinueLoopOp)):
                self.leave_iteration(operation, condition)
                return  # the rest of this block runs in no shot that gets here
            if isinstance(operation, _NO_WORK) or operation.num_qubits == 0 and isinstance(
                    operation, Gate) and not isinstance(operation, GlobalPhaseGate):
                continue
            qs = [qubit_index[q] for q in instruction.qubits]
            if isinstance(operation, Measure):
                self.measure(qs[0], clbit_index[instruction.clbits[0]], condition)
            elif isinstance(operation, Reset):
                self.reset(qs[0], condition)
            elif isinstance(operation, ControlFlowOp):
                cs = [clbit_index[c] for c in instruction.clbits]
                exits = self.exits
                taken = self.control_flow(operation, qs, cs, clbit_index, condition, position)
                if taken is not None:
                    # The rest of the block reads its condition from the slot it was taken into.
                    condition = ((1 << taken, 1 << taken),)
                    live.append(taken)
                if self.loops and self.exits != exits:
                    # A branch left the loop's iteration: what follows runs where none did.
                    condition = conjoin(condition, negate(self.loop_exits()))
                    if not condition:
                        return
            elif isinstance(operation, GlobalPhaseGate):
                self.add_phase(operation.params[0], condition)
            else:
                try:
                    self.lower_gate(operation, qs, condition)
                except _Decompose:
                    self.decompose(operation, qs, [clbit_index[c] for c in instruction.clbits],
                                   condition)

    def lower_gate(self, operation: object, qs: List[int], condition: Condition) -> None:
        """A gate the runner applies as it stands; _Decompose for any other."""
        if not isinstance(operation, Gate) or operation.num_clbits:
            raise _Decompose(getattr(operation, "name", type(operation).__name__))
        if isinstance(operation, ControlledGate) \
                and 1 <= operation.base_gate.num_qubits <= MAX_TARGETS \
                and operation.num_qubits == operation.num_ctrl_qubits + operation.base_gate.num_qubits:
            width = operation.base_gate.num_qubits
            factor = self.controlled_factor(operation)
            self.controlled(qs[:-width], qs[-width:], operation.ctrl_state, factor, condition)
        elif operation.num_qubits == 1:
            self.one_qubit(qs[0], self.factor(operation), condition)
        elif operation.name == "PauliEvolutionGate" or type(operation).__name__ == "PauliEvolutionGate":
            self.evolution(operation, qs, condition)
        elif operation.num_qubits <= MAX_TARGETS:
            self.controlled([], qs, 0, self.factor(operation), condition)
        else:
            raise _Decompose(operation.name)

    def decompose(self, operation: object, qs: List[int], cs: List[int],
                  condition: Condition) -> None:
        """An instruction the runner has no step for, through Qiskit's transpiler on its own."""
        from qiskit import transpile
        from qiskit.transpiler.exceptions import TranspilerError

        name = getattr(operation, "name", type(operation).__name__)
        if self.decomposing:
            raise ValueError(f"circuit '{self.name}': instruction '{name}' cannot run on korvel, "
                             "not even decomposed")
        alone = QuantumCircuit(len(qs), len(cs))
        alone.append(operation, range(len(qs)), range(len(cs)))
        try:
            decomposed = transpile(alone, target=lowering_target(), optimization_level=0,
                                   seed_transpiler=0)
        except TranspilerError as error:
            raise ValueError(f"circuit '{self.name}': cannot decompose '{name}' into "
                             f"instructions korvel runs: {error}") from None
        if decomposed.num_qubits != len(qs):
            raise ValueError(f"circuit '{self.name}': decomposing '{name}' changed its qubit count")
        self.decomposing += 1
        try:
            self.add_phase(decomposed.global_phase, condition)
            self.walk(decomposed, qs, cs, condition)
        finally:
            self.decomposing -= 1

    def control_flow(self, operation: ControlFlowOp, qubits: List[int], clbits: List[int],
                     clbit_index: Dict[Clbit, int], condition: Condition,
                     position: int) -> Optional[int]:
        """Lowers a control-flow operation; a slot when what follows must read `condition`
        from it."""
        if isinstance(operation, BoxOp):
            self.walk(operation.blocks[0], qubits, clbits, condition)
            return None
        if isinstance(operation, ForLoopOp):
            self.for_loop(operation, qubits, clbits, condition, position)
            return None
        if isinstance(operation, WhileLoopOp):
            return self.while_loop(operation, qubits, clbits, clbit_index, condition, position)
        if isinstance(operation, IfElseOp):
            # Read where the bits live now: the branches below may move them.
            taken = self.expressions.truth(operation.condition, clbit_index)
            branches = [(operation.blocks[0], taken)]
            if len(operation.blocks) > 1 and operation.blocks[1] is not None:
                branches.append((operation.blocks[1], negate(taken)))
        elif isinstance(operation, SwitchCaseOp):
            branches = self.switch_branches(operation, clbit_index)
        else:
            raise ValueError(f"instruction '{operation.name}' is not supported: korvel runs "
                             "measure, reset, if_else, switch_case, for_loop, while_loop and "
                             "box, but no other control flow")
        # Steps inside the branches run under their conditions; gates folded so far on these
        # qubits must come first. Every condition is taken on entry: a measurement in one
        # branch writes no slot its condition depends on, so no shot moves into another.
        for qubit in qubits:
            self.flush(qubit)
        conditions = [conjoin(condition, taken) for _, taken in branches]
        live: List[int] = []
        if self.in_place:
            # A branch inside a while_loop that overwrites a slot its condition reads: every
            # branch's condition taken into a slot first, so no shot moves into another. So
            # too where a branch leaves a for_loop's iteration, whose later iterations read
            # the condition again after the loop's measurements.
            bodies = [body for body, _ in branches]
            writes = self.loop_writes(bodies, clbits)
            if any(_mask_of(c) & writes for c in conditions) or _leaves_loop(bodies):
                for i, branch_condition in enumerate(conditions):
                    if branch_condition:
                        conditions[i], slot = self.taken_into_slot(branch_condition)
                        live.append(slot)
        try:
            for (body, _), branch_condition in zip(branches, conditions):
                self.walk_branch(body, qubits, clbits, branch_condition)
        finally:
            self.scratch_free.extend(reversed(live))
        return None

    def switch_branches(self, operation: SwitchCaseOp, clbit_index: Dict[Clbit, int]
                        ) -> List[Tuple[QuantumCircuit, Condition]]:
        """Each case as a branch guarded by the target equal to one of its values; the default
        by the target equal to none of the values listed."""
        target = lifted(operation.target)
        cases = list(operation.cases_specifier())
        listed = [int(v) for values, _ in cases for v in values if v is not CASE_DEFAULT]
        branches = []
        for values, body in cases:
            taken = self.expressions.member(
                target, [int(v) for v in values if v is not CASE_DEFAULT], clbit_index)
            if any(v is CASE_DEFAULT for v in values):
                # Disjoint from the listed values: the default takes none of them.
                unlisted = negate(self.expressions.member(target, listed, clbit_index))
                taken = simplify(taken + unlisted)
            branches.append((body, taken))
        return branches

    def for_loop(self, operation: ForLoopOp, qubits: List[int], clbits: List[int],
                 condition: Condition, position: int) -> None:
        """The body once per value of the index set, the loop parameter bound to it."""
        indexset, parameter, body = operation.params
        name = operation.label or str(position)
        loop: List[Condition] = [NEVER, NEVER]  # broken, continued
        self.loops.append(loop)
        try:
            for value in indexset:
                running = conjoin(condition, negate(loop[0]))
                if not running:
                    break  # every shot has broken out
                loop[1] = NEVER
                self.unrolled += 1
                bound = body if parameter is None or parameter not in body.parameters else \
                    body.assign_parameters({parameter: value}, inplace=False)
                self.walk(bound, qubits, clbits, running)
                if self.unrolled > MAX_UNROLLED_STEPS or len(self.records) > MAX_UNROLLED_STEPS:
                    raise ValueError(
                        f"circuit '{self.name}': for_loop '{name}' unrolls past "
                        f"{MAX_UNROLLED_STEPS} steps or iterations, the most korvel unrolls "
                        "(korvel_qiskit.lowering.MAX_UNROLLED_STEPS)")
        finally:
            self.loops.pop()

    def leave_iteration(self, operation: object, condition: Condition) -> None:
        """break_loop or continue_loop, reached where `condition` holds."""
        if not self.loops:
            raise ValueError(f"circuit '{self.name}': {getattr(operation, 'name', operation)} "
                             "outside a loop")
        loop = self.loops[-1]
        if isinstance(loop, _While):
            # The shots that get here jump: out of the loop, or back to its test.
            for mask, value in condition:
                if isinstance(operation, BreakLoopOp):
                    loop.exits.append(len(self.records))
                self.records.append((KIND_JUMP, (), 0, mask, value, loop.number,
                                     (None if isinstance(operation, BreakLoopOp) else loop.top,)))
            return
        which = 0 if isinstance(operation, BreakLoopOp) else 1
        # Disjoint: `condition` excludes the shots that have left already.
        loop[which] = simplify(loop[which] + condition)
        self.exits += 1

    def loop_exits(self) -> Condition:
        loop = self.loops[-1]
        if isinstance(loop, _While):
            return NEVER
        return simplify(loop[0] + loop[1])

    def while_loop(self, operation: WhileLoopOp, qubits: List[int], clbits: List[int],
                   clbit_index: Dict[Clbit, int], condition: Condition,
                   position: int) -> Optional[int]:
        """The runner's loop: a test that jumps past the body where the loop does not go on
        (or its enclosing branch does not run), the body, and a jump back to the test. Inside,
        measurements overwrite their bits where the test reads them again. Returns the slot
        `condition` was taken into when the body overwrites a slot it reads."""
        name = operation.label or str(position)
        taken: Optional[int] = None
        if not self.in_place:
            measured: Set[int] = set()
            stored: Set[expr.Var] = set()
            _writes(operation.blocks[0], clbits, measured, stored)
            self.prepare_loop(name, clbits, measured, stored, condition)
        else:
            # The loop that encloses this one put every bit in one place.
            for clbit in clbits:
                if self.bits.pinned(clbit) is None:
                    raise ValueError(f"circuit '{self.name}': while_loop '{name}' reads or "
                                     f"writes classical bit {clbit}, whose value an earlier "
                                     "branch leaves in one of several places")
            if _mask_of(condition) & self.loop_writes(operation.blocks, clbits):
                condition, taken = self.taken_into_slot(condition)
        enter = conjoin(condition, self.expressions.truth(operation.condition, clbit_index))
        if not enter:
            return taken  # no shot goes in
        for qubit in qubits:
            self.flush(qubit)
        # A later iteration finds these qubits touched, whatever the first pass did to them.
        self.touched.update(qubits)
        # The branch the loop sits in must still hold after it; its own test is read afresh.
        protected = 0
        for mask, _ in condition:
            protected |= mask
        loop = _While(name, len(self.loop_names), len(self.records), protected)
        self.loop_names.append(name)
        for mask, value in negate(enter):
            loop.exits.append(len(self.records))
            self.records.append((KIND_JUMP, (), 0, mask, value, loop.number, (None,)))
        self.loops.append(loop)
        self.in_place.append(loop)
        try:
            # Only shots in `condition` pass the test, so the body runs as it stands.
            self.walk_branch(operation.blocks[0], qubits, clbits, ALWAYS)
        finally:
            self.in_place.pop()
            self.loops.pop()
        self.records.append((KIND_JUMP, (), 0, 0, 0, loop.number, (loop.top,)))
        end = len(self.records)
        for index in loop.exits:
            self.records[index] = self.records[index][:6] + ((end,),)
        return taken

    def measured_in_loop(self, qubit: int, clbit: int, condition: Condition) -> int:
        held = self.expressions.held_slots() | self.for_loop_exits()
        for loop in self.in_place:
            held |= loop.protected
        slot = self.bits.measured_in_place(clbit, condition, held)
        if slot is None:
            raise ValueError(f"circuit '{self.name}': while_loop '{self.in_place[-1].name}' "
                             f"measures qubit {qubit} into classical bit {clbit}, which the "
                             "condition of an enclosing for_loop's break_loop or "
                             "continue_loop, or of an instruction korvel decomposed, still "
                             "reads; inside a while_loop korvel overwrites a bit where it is")
        return slot

    # -- values taken at run time --------------------------------------------------------------

    def prepare_loop(self, name: str, clbits: Sequence[int], measured: Set[int],
                     stored: Set[expr.Var], condition: Condition) -> None:
        """Before a while_loop that no other encloses, for every shot: the variables it
        stores into and the bits it reads or writes that are in several slots, or that it
        measures while something outside the loop still reads their slot, copied into slots
        of their own, so that the loop's steps find them in one place on every iteration."""
        for var in sorted(stored, key=lambda v: (v.name, str(v.var))):
            slots = self.expressions.slots_of(var)
            if slots is not None and not sum(1 << s for s in slots) & (
                    self.expressions.held_slots(leaving=var) | self.bits.slots_read()
                    | _mask_of(condition) | self.for_loop_exits()):
                continue  # in slots of its own already, which nothing else reads
            values = self.expressions.bits_of(var)
            slots = [self.new_slot(name) for _ in values]
            for slot, value in zip(slots, values):
                self.set_slot(slot, value)
            self.expressions.place(var, slots)
        for clbit in sorted(set(clbits) | measured):
            held = self.expressions.held_slots() | self.for_loop_exits()
            slot = self.bits.pinned(clbit)
            if slot is not None and not (
                    clbit in measured and (self.bits.blocked(clbit, condition, held) >> slot) & 1):
                continue
            target = self.bits.gather_slot(clbit, condition, held)
            self.note_slots(name)
            self.set_slot(target, self.bits.literal(clbit, True))
            self.bits.place(clbit, target)

    def store_in_loop(self, operation: Store, condition: Condition,
                      clbit_index: Dict[Clbit, int]) -> None:
        """A store inside a while_loop, into the slots the variable was given before the loop:
        each bit's new value first into a scratch slot where it reads a slot the store writes
        (so `b = not b` reads the old b), then into the variable's slot where `condition`
        holds."""
        loop = self.in_place[-1].name
        var, positions = self.expressions.store_target(operation.lvalue)
        slots = self.expressions.slots_of(var)
        if slots is None:
            raise ValueError(f"circuit '{self.name}': while_loop '{loop}' stores into variable "
                             f"'{var.name}' in a way korvel cannot follow (inside an "
                             "instruction it decomposed)")
        new = self.expressions.value_bits(operation.rvalue, len(positions), clbit_index)
        written = 0
        for position in positions:
            written |= 1 << slots[position]
        if written & self.for_loop_exits():
            raise ValueError(f"circuit '{self.name}': while_loop '{loop}' stores into variable "
                             f"'{var.name}', which the condition of an enclosing for_loop's "
                             "break_loop or continue_loop still reads")
        live: List[int] = []
        try:
            if _mask_of(condition) & written:
                condition, slot = self.taken_into_slot(condition)
                live.append(slot)
            values = []
            for value in new:
                if _mask_of(value) & written:
                    scratch = self.scratch()
                    live.append(scratch)
                    self.set_slot(scratch, value)
                    value = ((1 << scratch, 1 << scratch),)
                values.append(value)
            for position, value in zip(positions, values):
                self.set_slot(slots[position], value, condition)
        finally:
            self.scratch_free.extend(reversed(live))

    def loop_writes(self, blocks: Sequence[QuantumCircuit], clbits: Sequence[int]) -> int:
        """Mask of the slots `blocks`, inside a while_loop, overwrite in place: those of the
        bits they measure and of the variables they store into."""
        measured: Set[int] = set()
        stored: Set[expr.Var] = set()
        for block in blocks:
            _writes(block, clbits, measured, stored)
        mask = 0
        for clbit in measured:
            slot = self.bits.pinned(clbit)
            if slot is not None:
                mask |= 1 << slot
        for var in stored:
            for slot in self.expressions.slots_of(var) or ():
                mask |= 1 << slot
        return mask

    def for_loop_exits(self) -> int:
        """Slots the break and continue conditions of the for_loops being unrolled read: later
        iterations read them again."""
        mask = 0
        for loop in self.loops:
            if not isinstance(loop, _While):
                mask |= _mask_of(loop[0]) | _mask_of(loop[1])
        return mask

    def taken_into_slot(self, condition: Condition) -> Tuple[Condition, int]:
        """`condition` as it holds now, in a scratch slot: the condition that reads it, and
        the slot, for the caller to free."""
        slot = self.scratch()
        self.set_slot(slot, condition)
        return ((1 << slot, 1 << slot),), slot

    def set_slot(self, slot: int, value: Condition, condition: Condition = ALWAYS) -> None:
        """Set steps: `slot` := whether `value` holds, in the shots where `condition` holds.
        Neither may read `slot`."""
        assert not (_mask_of(value) | _mask_of(condition)) >> slot & 1
        if value != ALWAYS:
            for mask, want in condition:
                self.records.append((KIND_SET, (), 0, mask, want, slot, (0,)))
        for mask, want in conjoin(condition, value):
            self.records.append((KIND_SET, (), 0, mask, want, slot, (1,)))

    def scratch(self) -> int:
        """A slot for a value taken at run time inside a while_loop; one a for_loop's break
        or continue still reads is not free yet."""
        exits = self.for_loop_exits()
        for i in reversed(range(len(self.scratch_free))):
            if not (exits >> self.scratch_free[i]) & 1:
                return self.scratch_free.pop(i)
        return self.new_slot(self.in_place[-1].name)

    def new_slot(self, loop: str) -> int:
        self.note_slots(loop)
        return self.bits.new_slot()

    def note_slots(self, loop: str) -> None:
        if loop not in self.slot_loops:
            self.slot_loops.append(loop)

    def walk_branch(self, body: QuantumCircuit, qubits: List[int], clbits: List[int],
                    condition: Condition) -> None:
        if not condition:
            return  # the branch can never run
        self.walk(body, qubits, clbits, condition)
        for qubit in qubits:
            self.flush(qubit)

    # -- matrices ------------------------------------------------------------------------------

    def factor(self, gate: Gate) -> Factor:
        if not any(getattr(p, "parameters", None) for p in gate.params):
            return _constant_matrix(gate)
        angles = tuple(angle_from(p, self.parameter_index) for p in gate.params)
        if gate.num_qubits == 1:
            family = _PARAMETRIC_FAMILIES.get(gate.base_class)
            if family is None:
                raise _Decompose(gate.name)
            return ParametricFactor(family, angles)
        if gate.base_class in _PAULI_ROTATIONS:
            # exp(-i pi/2 P) = -i P: the Pauli word's matrix from the gate itself.
            pauli = 1j * _constant_matrix(gate.base_class(np.pi))
            return ParametricFactor("pauli_rotation", angles, pauli)
        if gate.base_class in _TWO_ANGLE_FAMILIES:
            return ParametricFactor(_TWO_ANGLE_FAMILIES[gate.base_class], angles)
        if all(isinstance(p, float) or getattr(p, "parameters", None) for p in gate.params):
            return ParametricFactor("bound", angles, gate)
        raise _Decompose(gate.name)

    def evolution(self, gate: Gate, qs: List[int], condition: Condition) -> None:
        """exp(-i t H) exactly: one step on up to five qubits, else the product of commuting
        Pauli rotations; only non-commuting terms on more qubits follow the gate's synthesis."""
        from qiskit.quantum_info import SparsePauliOp

        operator = gate.operator
        if isinstance(operator, list):
            operator = sum(operator[1:], operator[0])
        operator = SparsePauliOp(operator)
        if np.any(np.abs(np.imag(operator.coeffs)) > 0):
            raise _Decompose(gate.name)
        time = angle_from(gate.params[0], self.parameter_index)
        if gate.num_qubits <= MAX_TARGETS:
            hamiltonian = np.asarray(operator.to_matrix(), dtype=np.complex128)
            eigen = np.linalg.eigh(hamiltonian)
            factor: Factor = (ParametricFactor("evolution", (time,), eigen)
                              if isinstance(time, Angle) else
                              _evolution_matrix(eigen, time))
            self.controlled([], qs, 0, factor, condition)
            return
        if not _commuting(operator):
            synthesis = type(getattr(gate, "synthesis", None)).__name__
            warnings.warn(f"PauliEvolutionGate on {gate.num_qubits} qubits with terms that do not "
                          f"commute runs through its synthesis {synthesis}, an approximation of "
                          "the exponential", stacklevel=4)
            raise _Decompose(gate.name)
        for label, coefficient in zip(operator.paulis.to_labels(), np.real(operator.coeffs)):
            self.pauli_rotation(label, _scaled(time, 2.0 * float(coefficient)), qs, condition)

    def pauli_rotation(self, label: str, theta: Union[float, Angle], qs: List[int],
                       condition: Condition) -> None:
        """exp(-i theta/2 P) for the Pauli word `label` (Qiskit's order: qubit 0 last)."""
        from qiskit.quantum_info import Pauli

        support = [q for q in range(len(label)) if label[-1 - q] != "I"]
        if not support:
            self.add_phase(_scaled(theta, -0.5), condition)
            return
        word = "".join(label[-1 - q] for q in reversed(support))
        pauli = np.asarray(Pauli(word).to_matrix(), dtype=np.complex128)
        targets = [qs[q] for q in support]
        if len(support) <= MAX_TARGETS:
            factor: Factor = (ParametricFactor("pauli_rotation", (theta,), pauli)
                              if isinstance(theta, Angle) else
                              np.cos(theta / 2) * np.eye(len(pauli)) - 1j * np.sin(theta / 2) * pauli)
            self.controlled([], targets, 0, factor, condition)
            return
        # Wider words: each factor to Z, the parity onto the last qubit, Z there, and back.
        into_z = {"X": [_H], "Y": [_SDG, _H], "Z": []}
        out_of_z = {"X": [_H], "Y": [_H, _S], "Z": []}
        for q, letter in zip(targets, reversed(word)):
            for matrix in into_z[letter]:
                self.one_qubit(q, matrix, condition)
        for a, b in zip(targets, targets[1:]):
            self.controlled([a], [b], 1, _X, condition)
        rz: Factor = (ParametricFactor("rz", (theta,)) if isinstance(theta, Angle) else
                      np.diag([np.exp(-0.5j * theta), np.exp(0.5j * theta)]))
        self.one_qubit(targets[-1], rz, condition)
        for a, b in reversed(list(zip(targets, targets[1:]))):
            self.controlled([a], [b], 1, _X, condition)
        for q, letter in zip(targets, reversed(word)):
            for matrix in out_of_z[letter]:
                self.one_qubit(q, matrix, condition)

    def controlled_factor(self, gate: ControlledGate) -> Factor:
        if gate.base_class is CUGate:
            # The base gate of a controlled U leaves out its phase gamma.
            if any(getattr(p, "parameters", None) for p in gate.params):
                return ParametricFactor("cu", tuple(
                    angle_from(p, self.parameter_index) for p in gate.params))
            gamma = float(gate.params[3])
            phased: NDArray[np.complex128] = _constant_matrix(gate.base_gate) * np.exp(1j * gamma)
            return phased
        return self.factor(gate.base_gate)

    # -- result --------------------------------------------------------------------------------

    def result(self, circuit: QuantumCircuit) -> LoweredCircuit:
        records = self.records
        final = final_measurements(records)
        final_qubits = final_clbits = None
        copies: Tuple[Tuple[int, Readout], ...] = ()
        if final is not None:
            # Shots are basis states of the final state: bit q of a word is qubit q, and the
            # runner keeps no classical bits, however many the circuit has.
            records = [r for r in records if r[0] == KIND_GATE]
            clbit_slots = [-1] * circuit.num_clbits
            for clbit, qubit in final:
                clbit_slots[clbit] = qubit
            final_qubits = np.array([q for _, q in final], dtype=np.uint64)
            final_clbits = np.array([c for c, _ in final], dtype=np.uint64)
            compact = Compaction(0)
            num_slots = 0
        else:
            used = self.bits.slots_read()
            for kind, _, _, cond_mask, _, slot, _ in records:
                used |= cond_mask | ((1 << slot) if kind in (KIND_MEASURE, KIND_SET) else 0)
            compact = Compaction(used)
            slots, copies, width = self.bits.readouts(compact)
            if width > MAX_CLBITS:
                loops = "".join(f", and the slots while_loop '{name}' keeps values in at run "
                                "time" for name in self.slot_loops[:1])
                raise ValueError(f"circuit '{circuit.name}' keeps {width} classical bits through "
                                 "its shots (bits measured before its end, read by conditions, "
                                 f"or written in branches{loops}); korvel supports at most "
                                 f"{MAX_CLBITS}")
            clbit_slots = list(slots)
            num_slots = compact.width
        # Conditions and measured bits in the runner's compacted slots.
        steps, entries, slots_of_parametric = layout([
            (kind, targets, controls, compact.mask(cond_mask), compact.mask(cond_value),
             compact.slot(slot) if kind in (KIND_MEASURE, KIND_SET) else
             slot if kind == KIND_JUMP else 0,
             factors)
            for kind, targets, controls, cond_mask, cond_value, slot, factors in records])
        parametric = [ParametricStep(*slot) for slot in slots_of_parametric]
        registers = tuple(
            (register.name, tuple(circuit.find_bit(bit).index for bit in register))
            for register in circuit.cregs)
        return LoweredCircuit(
            name=circuit.name,
            num_qubits=sum(1 for slot in self.qubit_slots if slot >= 0),
            num_clbits=num_slots,
            steps=steps,
            entries=entries,
            parametric=tuple(parametric),
            parameters=tuple(self.parameter_index),
            global_phase=tuple(self.phase),
            fusion=self.fuse,
            final_qubits=final_qubits,
            final_clbits=final_clbits,
            clbit_slots=tuple(clbit_slots),
            copies=copies,
            qubit_slots=self.qubit_slots,
            registers=registers,
            metadata=circuit.metadata,
            loops=tuple(self.loop_names),
        )


def _mask_of(condition: Condition) -> int:
    """Mask of the slots a condition reads."""
    mask = 0
    for cube_mask, _ in condition:
        mask |= cube_mask
    return mask


def _writes(block: QuantumCircuit, clbits: Sequence[int], measured: Set[int],
            stored: Set[expr.Var]) -> None:
    """Adds the circuit bits `block` (its bits at `clbits`) may write, and the variables it
    stores into, nested blocks included."""
    index = {bit: clbits[i] for i, bit in enumerate(block.clbits)}
    for instruction in block.data:
        operation = instruction.operation
        if isinstance(operation, Store):
            target = operation.lvalue
            if isinstance(target, expr.Index):
                target = target.target
            if isinstance(target, expr.Var) and target.standalone:
                stored.add(target)
            continue
        if isinstance(operation, (BreakLoopOp, ContinueLoopOp, Barrier)):
            continue  # they name the bits of their loop or block, and write none
        cs = [index[c] for c in instruction.clbits]
        if isinstance(operation, ControlFlowOp):
            for body in operation.blocks:
                _writes(body, cs, measured, stored)
        else:
            measured.update(cs)  # a measurement, or an instruction that may hold one


def _leaves_loop(blocks: Sequence[QuantumCircuit]) -> bool:
    """Whether a break_loop or continue_loop is anywhere in `blocks`."""
    for block in blocks:
        for instruction in block.data:
            operation = instruction.operation
            if isinstance(operation, (BreakLoopOp, ContinueLoopOp)):
                return True
            if isinstance(operation, ControlFlowOp) and _leaves_loop(operation.blocks):
                return True
    return False


def _qubit_slots(circuit: QuantumCircuit) -> Tuple[int, ...]:
    """Per circuit qubit: its place among the qubits some instruction acts on, or -1.

    Barriers, delays and identities act on nothing; a control-flow operation acts on the
    qubits its blocks act on.
    """
    active: Set[int] = set()

    def visit(block: QuantumCircuit, positions: Sequence[int]) -> None:
        index = {bit: positions[i] for i, bit in enumerate(block.qubits)}
        for instruction in block.data:
            operation = instruction.operation
            if isinstance(operation, _NO_WORK):
                continue
            qubits = [index[q] for q in instruction.qubits]
            if isinstance(operation, ControlFlowOp):
                for body in operation.blocks:
                    visit(body, qubits)
            else:
                active.update(qubits)

    visit(circuit, range(circuit.num_qubits))
    slots = [-1] * circuit.num_qubits
    for slot, qubit in enumerate(sorted(active)):
        slots[qubit] = slot
    return tuple(slots)


def _check_width(circuit: QuantumCircuit, qubit_slots: Sequence[int]) -> None:
    active = sum(1 for slot in qubit_slots if slot >= 0)
    if active > MAX_QUBITS:
        of = f" of its {circuit.num_qubits}" if active < circuit.num_qubits else ""
        raise ValueError(f"circuit '{circuit.name}' acts on {active} qubits{of}; korvel "
                         f"simulates at most {MAX_QUBITS}")


def _constant_matrix(gate: Gate) -> NDArray[np.complex128]:
    try:
        matrix = gate_matrix(gate)
    except Exception:
        raise _Decompose(gate.name) from None
    dimension = 1 << gate.num_qubits
    if matrix.shape != (dimension, dimension) or not np.all(np.isfinite(matrix)):
        raise _Decompose(gate.name)
    return matrix


_H = np.array([[1, 1], [1, -1]], dtype=np.complex128) / np.sqrt(2.0)
_S = np.diag([1, 1j]).astype(np.complex128)
_SDG = np.diag([1, -1j]).astype(np.complex128)


def _scaled(angle: Union[float, Angle], factor: float) -> Union[float, Angle]:
    if not isinstance(angle, Angle):
        return angle * factor
    expression = None if angle.expression is None else angle.expression * factor  # type: ignore
    return Angle(tuple((i, c * factor) for i, c in angle.coefficients), angle.constant * factor,
                 expression)


def _evolution_matrix(eigen: Tuple[NDArray[np.float64], NDArray[np.complex128]], time: float
                      ) -> NDArray[np.complex128]:
    out: NDArray[np.complex128] = evolution_matrices(eigen, np.array([time], dtype=np.float64))[0]
    return out


def _commuting(operator: object) -> bool:
    """Whether every two Pauli terms commute: an even count of places where they anticommute."""
    x = np.array(operator.paulis.x, dtype=np.bool_)  # type: ignore[attr-defined]
    z = np.array(operator.paulis.z, dtype=np.bool_)  # type: ignore[attr-defined]
    anti = (x[:, None, :] & z[None, :, :]) ^ (z[:, None, :] & x[None, :, :])
    return bool(np.all(anti.sum(axis=2) % 2 == 0))
