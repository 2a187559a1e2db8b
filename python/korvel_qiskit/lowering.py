"""Lowering of a Qiskit circuit to the runner's program of steps, once per circuit.

One-qubit gates go through their matrices, controlled gates with a one-qubit base become a
step with a control mask, and everything else is decomposed by Qiskit's transpiler onto
`lowering_target()`, the instructions the runner executes. Consecutive one-qubit gates on a
qubit fold into one step. Gates whose matrices depend on parameters keep the factors that
recompute them, so a parameter sweep patches matrices in a copy of the template.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Dict, List, Optional, Sequence, Tuple

import numpy as np
from numpy.typing import NDArray
from qiskit.circuit import (
    BoxOp,
    Clbit,
    ClassicalRegister,
    ControlFlowOp,
    ControlledGate,
    Gate,
    IfElseOp,
    Parameter,
    QuantumCircuit,
)
from qiskit.circuit.classical import expr, types

from korvel_programs import MAX_CLBITS, MAX_QUBITS
from korvel_programs.classical import ALWAYS, Condition, StepCollector
from korvel_programs.classical import conjoin as _conjoin
from korvel_programs.classical import equals as _equals
from korvel_programs.classical import final_measurements as _final_measurements
from korvel_programs.classical import negate as _negate

from .program import (
    FORMULAS,
    KIND_GATE,
    KIND_MEASURE,
    STEP_DTYPE,
    Angle,
    Factor,
    ParametricFactor,
    ParametricStep,
    angle_from,
    matrix_fields,
)


_NO_WORK = frozenset({"barrier", "delay", "id", "global_phase"})


class _Decompose(Exception):
    """An instruction the runner cannot execute as it stands."""

    def __init__(self, name: str) -> None:
        super().__init__(name)
        self.name = name


@dataclass(frozen=True)
class LoweredCircuit:
    """A circuit as the runner executes it.

    `steps` is the template program. When every measurement is final (`final_qubits` is not
    None) it holds the gates alone, and shots are drawn from the final state: compact
    classical bit `final_clbits[i]` receives qubit `final_qubits[i]`. Otherwise the program
    measures, resets and branches itself and runs shot by shot.

    Classical bits are compacted: `clbit_slots[c]` is the program's bit for circuit bit c,
    or -1 for a bit nothing writes (it reads 0).
    """

    name: str
    num_qubits: int
    num_clbits: int
    steps: NDArray[np.void]
    parametric: Tuple[ParametricStep, ...]
    parameters: Tuple[Parameter, ...]
    final_qubits: Optional[NDArray[np.uint64]]
    final_clbits: Optional[NDArray[np.uint64]]
    clbit_slots: Tuple[int, ...]
    registers: Tuple[Tuple[str, Tuple[int, ...]], ...]
    metadata: Optional[dict]

    @property
    def sampled_from_final_state(self) -> bool:
        return self.final_qubits is not None

    @property
    def measures_in_place(self) -> bool:
        """Every qubit q measured into classical bit q: outcomes are the classical words."""
        return (self.final_qubits is not None and self.final_clbits is not None
                and len(self.final_qubits) == self.num_qubits
                and bool(np.all(self.final_qubits == np.arange(self.num_qubits)))
                and bool(np.all(self.final_clbits == self.final_qubits)))

    @property
    def measures_every_qubit_apart(self) -> bool:
        """Every qubit measured, into a classical bit of its own: outcomes map one to one."""
        return (self.final_qubits is not None
                and len(np.unique(self.final_qubits)) == self.num_qubits
                and len(self.final_qubits) == self.num_qubits)

    @property
    def is_unitary(self) -> bool:
        """No measurement, reset or condition: a plain sequence of gates."""
        return self.final_qubits is not None and len(self.final_qubits) == 0

    def matrix_fields(self, values: NDArray[np.float64]) -> NDArray[np.float64]:
        """Matrix fields of the parametric steps for bindings `values` (B, P): (B, S, 8)."""
        values = np.asarray(values, dtype=np.float64).reshape(-1, len(self.parameters))
        out = np.empty((values.shape[0], len(self.parametric), 8), dtype=np.float64)
        for column, step in enumerate(self.parametric):
            out[:, column, :] = matrix_fields(step.evaluate(values, self.parameters))
        return out

    def program(self, fields: Optional[NDArray[np.float64]] = None) -> NDArray[np.void]:
        """The program for one binding, from a row of `matrix_fields` (None: no parameters)."""
        if not self.parametric:
            return self.steps
        if fields is None:
            raise ValueError(
                f"circuit '{self.name}' has unbound parameters: "
                + ", ".join(str(p) for p in self.parameters))
        program = self.steps.copy()
        program["matrix"][[s.index for s in self.parametric]] = fields
        return program


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
    target.add_instruction(BoxOp, name="box")
    return target


def unbound_parameters_error(circuit: QuantumCircuit) -> ValueError:
    names = ", ".join(str(p) for p in circuit.parameters)
    return ValueError(f"circuit '{circuit.name}' has unbound parameters: {names}; "
                      "bind them with assign_parameters() or pass parameter values to a sampler "
                      "or estimator")


def lower(circuit: QuantumCircuit, *, fuse: bool = True) -> LoweredCircuit:
    """Lower `circuit`; raises ValueError naming any instruction or size it cannot run."""
    if not isinstance(circuit, QuantumCircuit):
        raise TypeError(f"expected a QuantumCircuit, got {type(circuit).__name__}")
    if circuit.num_qubits > MAX_QUBITS:
        raise ValueError(f"circuit '{circuit.name}' has {circuit.num_qubits} qubits; "
                         f"korvel simulates at most {MAX_QUBITS}")
    parameters = tuple(circuit.parameters)
    try:
        walker = _Walker(circuit, parameters, fuse)
    except _Decompose:
        from qiskit import transpile
        from qiskit.transpiler.exceptions import TranspilerError

        try:
            decomposed = transpile(circuit, target=lowering_target(), optimization_level=0)
        except TranspilerError as error:
            raise ValueError(f"circuit '{circuit.name}': cannot decompose into instructions "
                             f"korvel runs: {error}") from None
        if decomposed.num_qubits != circuit.num_qubits:
            raise ValueError(f"circuit '{circuit.name}': decomposition changed the qubit count")
        try:
            walker = _Walker(decomposed, parameters, fuse)
        except _Decompose as failure:
            raise ValueError(f"circuit '{circuit.name}': instruction '{failure.name}' cannot run "
                             "on korvel, not even decomposed") from None
    return walker.result(circuit)


class _Walker(StepCollector):
    """Walks a circuit once and collects its steps, folding one-qubit runs per qubit."""

    def __init__(self, circuit: QuantumCircuit, parameters: Tuple[Parameter, ...],
                 fuse: bool) -> None:
        super().__init__(fuse)
        self.parameter_index = {p: i for i, p in enumerate(parameters)}
        # Records hold circuit clbits until result() compacts them.
        self.guarded = 0  # classical bits that enclosing conditions read
        self.read = 0
        self.written = 0
        self.walk(circuit, list(range(circuit.num_qubits)), list(range(circuit.num_clbits)),
                  ALWAYS)
        self.flush_all()

    # -- steps ---------------------------------------------------------------------------------

    def controlled(self, controls: Sequence[int], target: int, ctrl_state: int, factor: Factor,
                   condition: Condition) -> None:
        open_controls = [q for i, q in enumerate(controls) if not (ctrl_state >> i) & 1]
        self.controlled_step(controls, open_controls, target, factor, condition)

    def measure(self, qubit: int, clbit: int, condition: Condition) -> None:
        if (self.guarded >> clbit) & 1:
            raise ValueError(f"a measurement into classical bit {clbit} inside an if_else that "
                             "reads that bit is not supported")
        self.written |= 1 << clbit
        self.measure_step(qubit, clbit, condition)

    # -- instructions --------------------------------------------------------------------------

    def walk(self, circuit: QuantumCircuit, qubits: List[int], clbits: List[int],
             condition: Condition) -> None:
        qubit_index = {bit: qubits[i] for i, bit in enumerate(circuit.qubits)}
        clbit_index = {bit: clbits[i] for i, bit in enumerate(circuit.clbits)}
        for instruction in circuit.data:
            operation = instruction.operation
            name = operation.name
            if name in _NO_WORK or operation.num_qubits == 0 and isinstance(operation, Gate):
                continue
            qs = [qubit_index[q] for q in instruction.qubits]
            if name == "measure":
                self.measure(qs[0], clbit_index[instruction.clbits[0]], condition)
            elif name == "reset":
                self.reset(qs[0], condition)
            elif isinstance(operation, ControlFlowOp):
                cs = [clbit_index[c] for c in instruction.clbits]
                self.control_flow(operation, qs, cs, clbit_index, condition)
            elif isinstance(operation, ControlledGate) and operation.base_gate.num_qubits == 1 \
                    and operation.num_qubits == operation.num_ctrl_qubits + 1 \
                    and operation.num_clbits == 0:
                factor = self.controlled_factor(operation)
                self.controlled(qs[:-1], qs[-1], operation.ctrl_state, factor, condition)
            elif isinstance(operation, Gate) and operation.num_qubits == 1:
                self.one_qubit(qs[0], self.factor(operation), condition)
            else:
                raise _Decompose(name)

    def control_flow(self, operation: ControlFlowOp, qubits: List[int], clbits: List[int],
                     clbit_index: Dict[Clbit, int], condition: Condition) -> None:
        if isinstance(operation, BoxOp):
            self.walk(operation.blocks[0], qubits, clbits, condition)
            return
        if not isinstance(operation, IfElseOp):
            raise ValueError(f"instruction '{operation.name}' is not supported: korvel runs "
                             "measure, reset and if_else, but no other control flow")
        taken = _condition(operation.condition, clbit_index)
        mask = 0
        for m, _ in taken:
            mask |= m
        self.read |= mask
        outer_guard = self.guarded
        self.guarded |= mask
        # Steps inside the branches run under their conditions; gates folded so far on these
        # qubits must come first.
        for qubit in qubits:
            self.flush(qubit)
        true_body = operation.blocks[0]
        false_body = operation.blocks[1] if len(operation.blocks) > 1 else None
        self.walk_branch(true_body, qubits, clbits, _conjoin(condition, taken))
        if false_body is not None:
            self.walk_branch(false_body, qubits, clbits, _conjoin(condition, _negate(taken)))
        self.guarded = outer_guard

    def walk_branch(self, body: QuantumCircuit, qubits: List[int], clbits: List[int],
                    condition: Condition) -> None:
        if not condition:
            return  # the branch can never run
        self.walk(body, qubits, clbits, condition)
        for qubit in qubits:
            self.flush(qubit)

    # -- matrices ------------------------------------------------------------------------------

    def factor(self, gate: Gate) -> Factor:
        if any(getattr(p, "parameters", None) for p in gate.params):
            if gate.name not in FORMULAS or not _is_standard(gate):
                raise _Decompose(gate.name)
            return ParametricFactor(gate.name, tuple(
                angle_from(p, self.parameter_index) for p in gate.params))
        return _constant_matrix(gate)

    def controlled_factor(self, gate: ControlledGate) -> Factor:
        if gate.name == "cu" and _is_standard(gate):
            # The base gate of a controlled U leaves out its phase gamma.
            if any(getattr(p, "parameters", None) for p in gate.params):
                return ParametricFactor("cu", tuple(
                    angle_from(p, self.parameter_index) for p in gate.params))
            gamma = float(gate.params[3])
            return _constant_matrix(gate.base_gate) * np.exp(1j * gamma)
        return self.factor(gate.base_gate)

    # -- result --------------------------------------------------------------------------------

    def result(self, circuit: QuantumCircuit) -> LoweredCircuit:
        used = self.read | self.written
        slots_used = [c for c in range(circuit.num_clbits) if (used >> c) & 1]
        if len(slots_used) > MAX_CLBITS:
            raise ValueError(f"circuit '{circuit.name}' measures into or branches on "
                             f"{len(slots_used)} classical bits; korvel supports at most "
                             f"{MAX_CLBITS}")
        slot_of = {c: i for i, c in enumerate(slots_used)}
        clbit_slots = tuple(slot_of.get(c, -1) if (self.written >> c) & 1 else -1
                            for c in range(circuit.num_clbits))

        def compact(mask: int) -> int:
            out = 0
            while mask:
                low = mask & -mask
                out |= 1 << slot_of[low.bit_length() - 1]
                mask ^= low
            return out

        records = self.records
        final = _final_measurements(records)
        if final is not None:
            records = [r for r in records if r[0] == KIND_GATE]
        steps = np.zeros(len(records), dtype=STEP_DTYPE)
        parametric = []
        for i, (kind, target, controls, cond_mask, cond_value, clbit, factors) in enumerate(
                records):
            steps[i]["kind"] = kind
            steps[i]["target"] = target
            steps[i]["controls"] = controls
            steps[i]["cond_mask"] = compact(cond_mask)
            steps[i]["cond_value"] = compact(cond_value)
            steps[i]["clbit"] = slot_of[clbit] if kind == KIND_MEASURE else 0
            if kind != KIND_GATE:
                continue
            if len(factors) == 1 and not isinstance(factors[0], ParametricFactor):
                steps[i]["matrix"] = matrix_fields(factors[0])
            else:
                parametric.append(ParametricStep(i, factors))
        final_qubits = final_clbits = None
        if final is not None:
            final_qubits = np.array([q for _, q in final], dtype=np.uint64)
            final_clbits = np.array([slot_of[c] for c, _ in final], dtype=np.uint64)
        registers = tuple(
            (register.name, tuple(circuit.find_bit(bit).index for bit in register))
            for register in circuit.cregs)
        return LoweredCircuit(
            name=circuit.name,
            num_qubits=circuit.num_qubits,
            num_clbits=len(slots_used),
            steps=steps,
            parametric=tuple(parametric),
            parameters=tuple(self.parameter_index),
            final_qubits=final_qubits,
            final_clbits=final_clbits,
            clbit_slots=clbit_slots,
            registers=registers,
            metadata=circuit.metadata,
        )


def _is_standard(gate: Gate) -> bool:
    return type(gate).__module__.startswith("qiskit.circuit.library.standard_gates")


def _constant_matrix(gate: Gate) -> NDArray[np.complex128]:
    try:
        matrix = np.asarray(gate.to_matrix(), dtype=np.complex128)
    except Exception:  # no closed form: its definition has one
        try:
            from qiskit.quantum_info import Operator

            matrix = np.asarray(Operator(gate).data, dtype=np.complex128)
        except Exception:
            raise _Decompose(gate.name) from None
    if matrix.shape != (2, 2) or not np.all(np.isfinite(matrix)):
        raise _Decompose(gate.name)
    return matrix


# -- classical conditions --------------------------------------------------------------------


def _bits_of(target: object, clbit_index: Dict[Clbit, int]) -> List[int]:
    if isinstance(target, Clbit):
        return [clbit_index[target]]
    if isinstance(target, ClassicalRegister):
        return [clbit_index[bit] for bit in target]
    raise ValueError(f"if_else on {target!r} is not supported: conditions must read classical "
                     "bits or registers")


def _condition(condition: object, clbit_index: Dict[Clbit, int]) -> Condition:
    if isinstance(condition, tuple):
        target, value = condition
        return _equals(_bits_of(target, clbit_index), int(value))
    return _expression(condition, clbit_index)


def _expression(node: object, clbit_index: Dict[Clbit, int]) -> Condition:
    if isinstance(node, expr.Var) and node.type.kind is types.Bool:
        return _equals(_bits_of(node.var, clbit_index), 1)
    if isinstance(node, expr.Cast) and isinstance(node.operand, expr.Var) \
            and node.type.kind is types.Bool:
        return _negate(_equals(_bits_of(node.operand.var, clbit_index), 0))
    if isinstance(node, expr.Unary) and node.op in (expr.Unary.Op.LOGIC_NOT, expr.Unary.Op.BIT_NOT):
        return _negate(_expression(node.operand, clbit_index))
    if isinstance(node, expr.Binary):
        if node.op is expr.Binary.Op.LOGIC_AND:
            return _conjoin(_expression(node.left, clbit_index),
                            _expression(node.right, clbit_index))
        if node.op in (expr.Binary.Op.EQUAL, expr.Binary.Op.NOT_EQUAL):
            var, value = node.left, node.right
            if isinstance(var, expr.Value):
                var, value = value, var
            while isinstance(var, expr.Cast):
                var = var.operand
            while isinstance(value, expr.Cast):
                value = value.operand
            if isinstance(var, expr.Var) and isinstance(value, expr.Value):
                equal = _equals(_bits_of(var.var, clbit_index), int(value.value))
                return equal if node.op is expr.Binary.Op.EQUAL else _negate(equal)
    raise ValueError(f"if_else condition {node} is not supported: korvel branches on "
                     "equalities of classical bits and registers, their negations and "
                     "conjunctions")
