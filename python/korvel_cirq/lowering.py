"""Lowering of a Cirq circuit to the runner's program of steps, once per circuit.

`_Walker.lower_operation` is the one place that decides how an operation runs: unitary gates on
up to five qubits through their matrices as one step each, controlled gates (with any control
values) as controlled steps, measurements, resets and classical controls as the runner's
classical steps, and everything else through `cirq.decompose` down to those. Consecutive
one-qubit gates on a qubit fold into one step. Operations whose matrices depend on symbols keep
the gates that recompute them, so each parameter binding only rewrites matrix entries.

Qubit i of the qubit order is runner qubit n-1-i, so the runner's amplitude index is Cirq's
big-endian index as it stands. Cirq's matrix of an operation on (q0, q1, ...) has q0 as its
most significant bit: the step's targets are the operation's runner qubits in reverse order.
"""

from __future__ import annotations

import itertools
from dataclasses import dataclass
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

import cirq
import numpy as np
from numpy.typing import NDArray

from korvel_programs import (
    KIND_GATE,
    MAX_CLBITS,
    MAX_QUBITS,
    MAX_TARGETS,
    pack_program,
)
from korvel_programs.classical import (
    ALWAYS,
    Condition,
    Record,
    StepCollector,
    conjoin,
    equals,
    final_measurements,
    layout,
    negate,
)

ComplexMatrix = NDArray[np.complex128]

_IDENTITY = np.eye(2, dtype=np.complex128)

# A condition may read this many classical bits when it is not a plain key test: it is turned
# into (mask, value) alternatives by evaluating it on every assignment of those bits.
MAX_ENUMERATED_CONDITION_BITS = 12

# Cirq's controlled families whose base is a one-qubit gate of the same exponent:
# gate type -> (number of controls, base gate type).
_CONTROLLED_FAMILIES: Dict[type, Tuple[int, type]] = {
    cirq.CZPowGate: (1, cirq.ZPowGate),
    cirq.CXPowGate: (1, cirq.XPowGate),
    cirq.CCZPowGate: (2, cirq.ZPowGate),
    cirq.CCXPowGate: (2, cirq.XPowGate),
}


def _unresolved(gate: cirq.Gate, resolved: Any) -> ValueError:
    names = sorted(str(s) for s in cirq.parameter_symbols(resolved))
    return ValueError(f"the parameters {', '.join(names)} of {gate} are not given a value by the "
                      "parameter resolver")


@dataclass(frozen=True)
class SymbolicGate:
    """A gate (or a global phase, as a one-qubit matrix) whose matrix depends on symbols."""

    gate: cirq.Gate

    def eigen_components(self) -> Optional[List[Tuple[float, ComplexMatrix]]]:
        """The gate's eigen components when only its exponent is symbolic and its matrix is
        Cirq's sum over them, so a binding needs the exponent's value alone."""
        gate = self.gate
        if not isinstance(gate, cirq.EigenGate) or \
                type(gate)._unitary_ is not cirq.EigenGate._unitary_:
            return None
        concrete: Any = gate._with_exponent(1.0)
        if cirq.is_parameterized(concrete):
            return None
        return [(float(h), np.asarray(p, dtype=np.complex128))
                for h, p in concrete._eigen_components()]

    def matrices(self, resolvers: Sequence[cirq.ParamResolver]) -> NDArray[np.complex128]:
        """(B, d, d): the gate's matrix per binding."""
        components = self.eigen_components()
        if components is not None:
            return self.eigen_matrices(components, resolvers)
        out = []
        for resolver in resolvers:
            resolved = cirq.resolve_parameters(self.gate, resolver)
            if cirq.is_parameterized(resolved):
                raise _unresolved(self.gate, resolved)
            out.append(np.asarray(cirq.unitary(resolved), dtype=np.complex128))
        matrices = np.array(out, dtype=np.complex128).reshape(len(out), *out[0].shape) \
            if out else np.zeros((0, 2, 2), dtype=np.complex128)
        if matrices.shape[1:] == (1, 1):  # a global phase
            return matrices * _IDENTITY
        return matrices

    def eigen_matrices(self, components: List[Tuple[float, ComplexMatrix]],
                       resolvers: Sequence[cirq.ParamResolver]) -> NDArray[np.complex128]:
        """Cirq's EigenGate matrix, sum over k of e^{i pi e (h_k + shift)} P_k, for every
        binding's exponent e at once."""
        gate: Any = self.gate
        exponents = np.empty(len(resolvers), dtype=np.float64)
        for b, resolver in enumerate(resolvers):
            exponent = resolver.value_of(gate.exponent)
            if cirq.is_parameterized(exponent):
                raise _unresolved(gate, gate._with_exponent(exponent))
            try:
                exponents[b] = float(exponent)
            except TypeError:
                raise ValueError(f"the exponent of {gate} resolves to {exponent}, which is not "
                                 "a real number") from None
        half_turns = np.array([h for h, _ in components]) + gate._global_shift
        projectors = np.stack([p for _, p in components])
        phases = np.exp(1j * np.pi * exponents[:, None] * half_turns[None, :])
        return np.asarray(np.einsum("bk,kij->bij", phases, projectors), dtype=np.complex128)


Factor = Union[ComplexMatrix, SymbolicGate]


@dataclass(frozen=True)
class ParametricStep:
    """Step `index` of the template has matrix factors[-1] @ ... @ factors[0], written to its
    dimension**2 entries from `first` on."""

    index: int
    first: int
    dimension: int
    factors: Tuple[Factor, ...]

    def matrices(self, resolvers: Sequence[cirq.ParamResolver]) -> NDArray[np.complex128]:
        """(B, d, d): the step's matrix per binding."""
        product: Optional[NDArray[np.complex128]] = None
        for factor in self.factors:
            matrices = factor.matrices(resolvers) if isinstance(factor, SymbolicGate) \
                else np.broadcast_to(factor, (len(resolvers), *factor.shape))
            product = matrices if product is None else matrices @ product
        assert product is not None
        return product


@dataclass(frozen=True)
class MeasurementRecord:
    """One measurement of `key`: its qubits' outcomes go to classical bits `clbits`, inverted
    where `inverted` says so."""

    key: str
    qubits: Tuple[int, ...]  # runner qubits, in the measurement's order
    clbits: Tuple[int, ...]
    inverted: Tuple[bool, ...]


@dataclass(frozen=True)
class LoweredCircuit:
    """A circuit as the runner executes it.

    `steps` (WIDE_STEP_DTYPE) and `entries` are the template program with every measurement,
    reset and condition in place. When `terminal` is true every measurement comes at the end and
    nothing is conditional: `gate_steps` and `gate_entries` then hold the gates alone, and shots
    are drawn from the final state.
    """

    qubits: Tuple[cirq.Qid, ...]
    steps: NDArray[np.void]
    entries: NDArray[np.complex128]
    parametric: Tuple[ParametricStep, ...]
    records: Tuple[MeasurementRecord, ...]
    num_clbits: int
    terminal: bool
    gate_steps: NDArray[np.void]
    gate_entries: NDArray[np.complex128]
    gate_parametric: Tuple[ParametricStep, ...]

    @property
    def num_qubits(self) -> int:
        return len(self.qubits)

    @property
    def is_unitary(self) -> bool:
        return not self.records and len(self.steps) == len(self.gate_steps)

    @property
    def keys(self) -> Tuple[str, ...]:
        return tuple(dict.fromkeys(record.key for record in self.records))

    def matrix_fields(self, resolvers: Sequence[cirq.ParamResolver], gates_only: bool = False
                      ) -> NDArray[np.complex128]:
        """The matrix entries of the program for each binding: (B, E)."""
        entries, parametric = ((self.gate_entries, self.gate_parametric) if gates_only
                               else (self.entries, self.parametric))
        out = np.empty((len(resolvers), len(entries)), dtype=np.complex128)
        out[:] = entries
        if not resolvers:
            return out
        for step in parametric:
            out[:, step.first:step.first + step.dimension ** 2] = step.matrices(
                resolvers).reshape(len(resolvers), -1)
        return out

    def program(self, fields: NDArray[np.complex128], gates_only: bool = False
                ) -> NDArray[np.uint8]:
        """The program for one binding, from a row of `matrix_fields`."""
        return pack_program(self.gate_steps if gates_only else self.steps, fields)


class UnsupportedOperations(ValueError):
    """Operations korvel cannot run, named all at once before anything runs."""


def lower(circuit: cirq.AbstractCircuit,
          qubit_order: cirq.QubitOrderOrList = cirq.QubitOrder.DEFAULT, *,
          fuse: bool = True) -> LoweredCircuit:
    """Lower `circuit`; raises ValueError naming every operation or size it cannot run. With
    `fuse` false each one-qubit gate keeps a step of its own."""
    if not isinstance(circuit, cirq.AbstractCircuit):
        raise TypeError(f"expected a cirq.Circuit, got {type(circuit).__name__}")
    qubits = tuple(cirq.QubitOrder.as_qubit_order(qubit_order).order_for(circuit.all_qubits()))
    odd = [q for q in qubits if q.dimension != 2]
    if odd:
        raise ValueError(f"korvel simulates qubits only; {odd[0]} has dimension {odd[0].dimension}")
    if len(qubits) > MAX_QUBITS:
        raise ValueError(f"the circuit has {len(qubits)} qubits; korvel simulates at most "
                         f"{MAX_QUBITS}")
    walker = _Walker(qubits, fuse)
    for operation in circuit.all_operations():
        walker.lower_operation(operation, ALWAYS)
    return walker.result()


class _Walker(StepCollector):
    """Walks a circuit's operations once and collects steps, folding one-qubit runs per qubit."""

    def __init__(self, qubits: Sequence[cirq.Qid], fuse: bool = True) -> None:
        super().__init__(fuse)
        n = len(qubits)
        self.qubits = tuple(qubits)
        self.index = {q: n - 1 - i for i, q in enumerate(qubits)}
        self.phase: List[Factor] = []
        self.measurements: List[MeasurementRecord] = []
        self.latest: Dict[str, List[MeasurementRecord]] = {}
        self.clbits = 0
        self.failures: List[str] = []

    # -- the one place that decides how an operation runs ---------------------------------------

    def lower_operation(self, operation: cirq.Operation, condition: Condition) -> None:
        operation = operation.untagged
        gate = operation.gate
        if isinstance(operation, cirq.ClassicallyControlledOperation):
            inner = operation.without_classical_controls()
            if cirq.is_measurement(inner):
                self.failures.append(f"{operation} (a classically controlled measurement)")
                return
            for control in operation.classical_controls:
                condition = conjoin(condition, self.condition(control, operation))
            if condition:
                self.lower_operation(inner, condition)
            return
        if isinstance(gate, (cirq.IdentityGate, cirq.WaitGate)):
            return
        if isinstance(gate, cirq.GlobalPhaseGate):
            self.global_phase(gate, condition)
            return
        if isinstance(gate, cirq.MeasurementGate):
            self.measure(operation, gate, condition)
            return
        if isinstance(gate, cirq.ResetChannel):
            for qubit in operation.qubits:
                self.reset(self.index[qubit], condition)
            return
        qubits = [self.index[q] for q in operation.qubits]
        if len(qubits) == 1 and gate is not None and _is_unitary_gate(gate):
            self.one_qubit(qubits[0], _factor(gate), condition)
            return
        if len(qubits) == 1 and not cirq.is_parameterized(operation) \
                and cirq.has_unitary(operation):
            self.one_qubit(qubits[0], np.asarray(cirq.unitary(operation), np.complex128),
                           condition)
            return
        controlled = _as_controlled(operation)
        if controlled is not None:
            terms, phase, base = controlled
            if phase is not None:
                self.global_phase(phase, condition)
            width = cirq.num_qubits(base)
            targets = qubits[len(qubits) - width:][::-1]
            controls = qubits[:len(qubits) - width]
            for values in terms:
                self.controlled(controls, values, targets, _factor(base), condition)
            return
        if 1 < len(qubits) <= MAX_TARGETS and _runs_whole(operation):
            factor = _factor(gate) if gate is not None and cirq.is_parameterized(gate) else \
                np.asarray(cirq.unitary(operation), dtype=np.complex128)
            self.gate(qubits[::-1], factor, condition=condition)
            return
        decomposed = cirq.decompose_once(operation, default=None)
        if decomposed is None and not isinstance(gate, cirq.MatrixGate) \
                and not cirq.is_parameterized(operation) and cirq.has_unitary(operation):
            # A unitary without a decomposition of its own decomposes as its matrix does.
            decomposed = [cirq.MatrixGate(cirq.unitary(operation)).on(*operation.qubits)]
        if decomposed is None:
            kind = ("has no unitary and no decomposition: a noise channel or another "
                    "non-unitary operation" if not cirq.has_unitary(operation)
                    else "has no decomposition onto gates korvel runs")
            self.failures.append(f"{operation} ({kind})")
            return
        for part in decomposed:
            self.lower_operation(part, condition)

    # -- steps ----------------------------------------------------------------------------------

    def controlled(self, controls: Sequence[int], values: Sequence[Optional[int]],
                   targets: Sequence[int], factor: Factor, condition: Condition) -> None:
        active = [q for q, v in zip(controls, values) if v is not None]
        open_controls = [q for q, v in zip(controls, values) if v == 0]
        if len(targets) == 1:
            self.controlled_step(active, open_controls, targets[0], factor, condition)
        else:
            self.gate(targets, factor, active, condition, open_controls)

    def global_phase(self, gate: cirq.Gate, condition: Condition) -> None:
        if condition != ALWAYS:
            # A phase on one branch of a trajectory is no phase at all.
            return
        self.phase.append(_factor(gate))

    def measure(self, operation: cirq.Operation, gate: cirq.MeasurementGate,
                condition: Condition) -> None:
        if gate.confusion_map:
            self.failures.append(f"{operation} (a measurement with a confusion map, which is "
                                 "classical noise)")
            return
        qubits = [self.index[q] for q in operation.qubits]
        inverted = gate.full_invert_mask()
        clbits = tuple(range(self.clbits, self.clbits + len(qubits)))
        self.clbits += len(qubits)
        for qubit, clbit in zip(qubits, clbits):
            self.measure_step(qubit, clbit, condition)
        record = MeasurementRecord(str(cirq.measurement_key_obj(gate)), tuple(qubits), clbits,
                                   tuple(bool(b) for b in inverted))
        self.measurements.append(record)
        self.latest.setdefault(record.key, []).append(record)

    # -- classical conditions -------------------------------------------------------------------

    def record_of(self, key: cirq.MeasurementKey, index: int, operation: cirq.Operation
                  ) -> MeasurementRecord:
        instances = self.latest.get(str(key), [])
        try:
            return instances[index]
        except IndexError:
            raise ValueError(f"{operation} reads measurement key '{key}' (instance {index}) "
                             "before a measurement writes it") from None

    def condition(self, control: cirq.Condition, operation: cirq.Operation) -> Condition:
        """A Cirq condition as alternatives over the program's classical bits."""
        if isinstance(control, cirq.KeyCondition):
            record = self.record_of(control.key, control.index, operation)
            return negate(self.reads(record, 0, None))
        if isinstance(control, getattr(cirq, "BitMaskKeyCondition", ())):  # cirq 1.5 and later
            masked: Any = control
            record = self.record_of(masked.key, masked.index, operation)
            test = self.reads(record, masked.target_value, masked.bitmask)
            return test if masked.equal_target else negate(test)
        return self.enumerated(control, operation)

    def reads(self, record: MeasurementRecord, value: int, bitmask: Optional[int]) -> Condition:
        """The record's value (big-endian, after inversion), masked, equals `value`."""
        width = len(record.clbits)
        bits: List[int] = []
        want = 0
        for position, (clbit, inverted) in enumerate(zip(record.clbits, record.inverted)):
            weight = width - 1 - position  # the first qubit is the most significant bit
            if bitmask is not None and not (bitmask >> weight) & 1:
                continue
            bit = (value >> weight) & 1
            want |= (bit ^ int(inverted)) << len(bits)
            bits.append(clbit)
        if bitmask is not None and value & ~bitmask:
            return ()  # the masked value can never equal it
        if value >> width:
            return ()
        return equals(bits, want)

    def enumerated(self, control: cirq.Condition, operation: cirq.Operation) -> Condition:
        records = [self.record_of(key, -1, operation) for key in control.keys]
        width = sum(len(r.clbits) for r in records)
        if width > MAX_ENUMERATED_CONDITION_BITS:
            raise ValueError(f"the condition {control} of {operation} reads {width} measured "
                             f"bits; korvel evaluates such conditions over at most "
                             f"{MAX_ENUMERATED_CONDITION_BITS}")
        out: List[Tuple[int, int]] = []
        for assignment in itertools.product((0, 1), repeat=width):
            store = cirq.ClassicalDataDictionaryStore()
            position, mask, value = 0, 0, 0
            for record in records:
                bits = assignment[position:position + len(record.clbits)]
                position += len(record.clbits)
                store.record_measurement(cirq.MeasurementKey.parse_serialized(record.key),
                                         list(bits), [cirq.LineQubit(i) for i in record.qubits])
                for bit, clbit, inverted in zip(bits, record.clbits, record.inverted):
                    mask |= 1 << clbit
                    value |= (bit ^ int(inverted)) << clbit
            if control.resolve(store):
                out.append((mask, value))
        return tuple(out)

    # -- result ---------------------------------------------------------------------------------

    def result(self) -> LoweredCircuit:
        if self.failures:
            raise UnsupportedOperations(
                "korvel runs unitary gates, measurements, resets and classical controls; it "
                "cannot run " + "; ".join(dict.fromkeys(self.failures)))
        if self.phase:
            self.attach_phase()
        self.flush_all()
        records = self.records
        terminal = final_measurements(records) is not None
        if not terminal and self.clbits > MAX_CLBITS:
            raise ValueError(f"the circuit measures {self.clbits} qubit outcomes and measures or "
                             f"branches mid-circuit; korvel keeps at most {MAX_CLBITS} classical "
                             "bits per shot")
        steps, entries, parametric = _program(records)
        gate_steps, gate_entries, gate_parametric = steps, entries, parametric
        if terminal and len(records) != sum(r[0] == KIND_GATE for r in records):
            gate_steps, gate_entries, gate_parametric = _program(
                [r for r in records if r[0] == KIND_GATE])
        return LoweredCircuit(
            qubits=self.qubits, steps=steps, entries=entries, parametric=parametric,
            records=tuple(self.measurements), num_clbits=min(self.clbits, MAX_CLBITS),
            terminal=terminal, gate_steps=gate_steps, gate_entries=gate_entries,
            gate_parametric=gate_parametric)

    def attach_phase(self) -> None:
        """A global phase commutes with everything: it joins any pending one-qubit run, or
        becomes a step of its own."""
        if not self.qubits:
            return  # no amplitudes to carry it; Cirq's empty state is 1 as well
        qubit = min(self.pending) if self.pending else 0
        self.pending.setdefault(qubit, []).extend(self.phase)


def _program(records: Sequence[Record]) -> Tuple[NDArray[np.void], NDArray[np.complex128],
                                                  Tuple[ParametricStep, ...]]:
    steps, entries, slots = layout(records)
    return steps, entries, tuple(ParametricStep(*slot) for slot in slots)


def _runs_whole(operation: cirq.Operation) -> bool:
    """Whether the operation runs as one step of its matrix: a unitary gate, or an operation
    without a gate that has a constant unitary. Circuit operations are walked instead, so that
    what they hold is lowered step by step."""
    if isinstance(operation, cirq.CircuitOperation):
        return False
    gate = operation.gate
    if gate is not None:
        return _is_unitary_gate(gate)
    return not cirq.is_parameterized(operation) and cirq.has_unitary(operation)


def _is_unitary_gate(gate: cirq.Gate) -> bool:
    if cirq.is_parameterized(gate):
        # Whether a gate has a unitary does not depend on its angles: ask with any values.
        some_values = cirq.ParamResolver({s: 0.125 for s in cirq.parameter_symbols(gate)})
        return cirq.has_unitary(cirq.resolve_parameters(gate, some_values))
    return cirq.has_unitary(gate)


def _factor(gate: cirq.Gate) -> Factor:
    if cirq.is_parameterized(gate):
        return SymbolicGate(gate)
    matrix = np.asarray(cirq.unitary(gate), dtype=np.complex128)
    if matrix.shape == (1, 1):
        return np.asarray(matrix[0, 0] * _IDENTITY, dtype=np.complex128)
    return matrix


def _as_controlled(operation: cirq.Operation
                   ) -> Optional[Tuple[List[Tuple[Optional[int], ...]], Optional[cirq.Gate],
                                       cirq.Gate]]:
    """(control value terms, global phase gate or None, base gate) when the operation is a
    gate on one to five qubits under controls on all its other qubits (its last qubits are the
    base's); a control value None means the control is no control at all."""
    gate = operation.gate
    if gate is None:
        return None
    if isinstance(gate, cirq.CSwapGate):
        return [(1,)], None, cirq.SWAP
    family = _CONTROLLED_FAMILIES.get(type(gate))
    if family is not None:
        controls, base_type = family
        eigen: Any = gate
        exponent, shift = eigen.exponent, eigen.global_shift
        phase = None
        if shift != 0:
            phase = cirq.GlobalPhaseGate(_exp_i_pi(exponent * shift))
        return [tuple([1] * controls)], phase, base_type(exponent=exponent)
    if isinstance(gate, cirq.ControlledGate) \
            and 1 <= cirq.num_qubits(gate.sub_gate) <= MAX_TARGETS \
            and _is_unitary_gate(gate.sub_gate):
        if any(d != 2 for d in gate.control_qid_shape):
            return None
        values = gate.control_values
        if isinstance(values, cirq.ProductOfSums):
            # Each control's allowed values; both values make it no control at all.
            term = []
            for allowed in values:
                allowed = tuple(sorted(set(allowed)))
                term.append(None if allowed == (0, 1) else allowed[0])
            return [tuple(term)], None, gate.sub_gate
        # A sum of products: the terms are distinct basis conditions, one step each.
        terms = sorted(set(tuple(int(v) for v in product) for product in values.expand()))
        return [tuple(t) for t in terms], None, gate.sub_gate
    return None


def _exp_i_pi(value: Any) -> Any:
    if cirq.is_parameterized(value):
        import sympy  # type: ignore[import-untyped, unused-ignore]

        return sympy.exp(sympy.I * sympy.pi * value)
    return complex(np.exp(1j * np.pi * float(value)))

