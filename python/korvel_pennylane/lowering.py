"""PennyLane operations and observables in the runner's terms: gate steps and Pauli sums.

Device wire i is runner qubit n - 1 - i, so wire 0 is the most significant bit of an amplitude
index, as in PennyLane's state vectors, and the runner's amplitude array is PennyLane's order.
One function, `operation_steps`, lowers one operation: a gate with a matrix on up to five wires,
or such a gate under controls, is one step of that matrix; wider gates reach it only after
PennyLane's preprocessing has decomposed them. PennyLane's matrices are big-endian (the first
wire is the most significant bit), so a step's targets are the gate's runner qubits reversed.
"""

# PennyLane ships no type information: its imports are untyped, and so are its decorators and
# the Device base class.
# mypy: disable-error-code="import-untyped,untyped-decorator,misc"

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

import numpy as np
import pennylane as qml
from numpy.typing import NDArray
from pennylane.operation import Operator
from pennylane.ops import Controlled
from pennylane.pauli import PauliSentence, PauliWord

from korvel_programs import MAX_TARGETS, ProgramBuilder, controlled_generator, pack_program
from korvel_programs import PauliTerms as Terms

# Observables without a Pauli form are expanded from their matrix up to this many wires: the
# expansion has 4^k terms, 1024 at five wires, and beyond that reading the state is cheaper.
MAX_EXPANDED_WIRES = 5

_X = np.array([[0, 1], [1, 0]], dtype=np.complex128)


@dataclass
class OperationSteps:
    """The steps of one operation; `carrier` is the step whose matrix holds its parameter."""

    matrices: List[NDArray[np.complex128]] = field(default_factory=list)
    targets: List[Tuple[int, ...]] = field(default_factory=list)
    controls: List[int] = field(default_factory=list)
    carrier: Optional[int] = None

    def add(self, matrix: NDArray[np.complex128], targets: Tuple[int, ...], controls: int = 0) -> int:
        self.matrices.append(matrix)
        self.targets.append(targets)
        self.controls.append(controls)
        return len(self.matrices) - 1


def _matrix_gate(op: Operator) -> bool:
    """A gate the runner applies as one matrix on its 1 to MAX_TARGETS wires."""
    return 1 <= len(op.wires) <= MAX_TARGETS and op.has_matrix and not isinstance(op, Controlled)


def runs_as_steps(op: Operator) -> bool:
    """Whether the device lowers `op` itself (else PennyLane decomposes it first)."""
    if isinstance(op, (qml.Identity, qml.Snapshot, qml.Barrier, qml.GlobalPhase)):
        return True
    if isinstance(op, Controlled):
        return _matrix_gate(op.base)
    return _matrix_gate(op)


def decomposition(op: Operator) -> Sequence[Operator]:
    """PennyLane's decomposition, or for a gate that has only a matrix, that matrix as a
    QubitUnitary, which PennyLane decomposes further."""
    if op.has_decomposition:
        return op.decomposition()  # type: ignore[no-any-return]
    if op.has_matrix and len(op.wires) > 1 and not isinstance(op, qml.QubitUnitary):
        return [qml.QubitUnitary(qml.matrix(op), wires=op.wires)]
    return op.decomposition()  # type: ignore[no-any-return]  # raises, naming the operation


def _real(value: Any) -> Optional[float]:
    """A plain real scalar parameter as a float; None for anything else (an array of a
    broadcast, an interface's tracer), which takes PennyLane's own matrix."""
    if isinstance(value, (float, int, np.floating, np.integer)) or (
            isinstance(value, np.ndarray) and value.ndim == 0 and value.dtype.kind in "fiu"):
        return float(value)
    return None


def _rx(t: float) -> NDArray[np.complex128]:
    c, s = np.cos(t / 2), np.sin(t / 2)
    return np.array([[c, -1j * s], [-1j * s, c]], dtype=np.complex128)


def _ry(t: float) -> NDArray[np.complex128]:
    c, s = np.cos(t / 2), np.sin(t / 2)
    return np.array([[c, -s], [s, c]], dtype=np.complex128)


def _rz(t: float) -> NDArray[np.complex128]:
    p = np.exp(-0.5j * t)
    return np.array([[p, 0], [0, np.conj(p)]], dtype=np.complex128)


def _phase_shift(t: float) -> NDArray[np.complex128]:
    return np.array([[1, 0], [0, np.exp(1j * t)]], dtype=np.complex128)


# Closed forms of the commonest parametrised gates. PennyLane's qml.matrix goes through its
# generic operator machinery, 12-24 us a gate, and lowering took some 12 ms of each forward run
# and each gradient of a 128-gate circuit at 16 wires, a fifth of the whole call.
_ROTATIONS = {qml.RX: _rx, qml.RY: _ry, qml.RZ: _rz, qml.PhaseShift: _phase_shift}
# Gates without parameters, whose matrices never change: computed once.
_FIXED_GATES = (qml.PauliX, qml.PauliY, qml.PauliZ, qml.Hadamard, qml.S, qml.T, qml.SX, qml.SWAP, qml.ISWAP)
_fixed_matrices: Dict[type, NDArray[np.complex128]] = {}


def _matrix(op: Operator) -> NDArray[np.complex128]:
    kind = type(op)
    rotation = _ROTATIONS.get(kind)
    if rotation is not None:
        angle = _real(op.data[0])
        if angle is not None:
            return rotation(angle)
    elif kind in _FIXED_GATES:
        fixed = _fixed_matrices.get(kind)
        if fixed is None:
            fixed = _fixed_matrices[kind] = np.asarray(qml.matrix(op, wire_order=op.wires), dtype=np.complex128)
            fixed.setflags(write=False)
        return fixed
    return np.asarray(qml.matrix(op, wire_order=op.wires), dtype=np.complex128)


def _targets(op: Operator, qubit_of: Mapping[Any, int]) -> Tuple[int, ...]:
    return tuple(qubit_of[wire] for wire in reversed(op.wires))


def operation_steps(op: Operator, qubit_of: Mapping[Any, int]) -> OperationSteps:
    """Lowers one operation that runs_as_steps accepts."""
    out = OperationSteps()
    if isinstance(op, (qml.Identity, qml.Snapshot, qml.Barrier)):
        return out
    if isinstance(op, qml.GlobalPhase) and not isinstance(op, Controlled):
        if qubit_of:
            phase = np.exp(-1j * complex(op.data[0]))
            out.carrier = out.add(np.diag([phase, phase]).astype(np.complex128), (0,))
        return out
    if isinstance(op, Controlled):
        mask = 0
        flipped = []
        for wire, value in zip(op.control_wires, op.control_values):
            qubit = qubit_of[wire]
            mask |= 1 << qubit
            if not value:
                flipped.append(qubit)
        # A control on |0> is a control on |1> between two X gates.
        for qubit in flipped:
            out.add(_X, (qubit,))
        out.carrier = out.add(_matrix(op.base), _targets(op.base, qubit_of), mask)
        for qubit in flipped:
            out.add(_X, (qubit,))
        return out
    if not _matrix_gate(op):
        raise ValueError(f"{op.name} on {len(op.wires)} wires is not a korvel.qubit step; "
                         "it must be decomposed first")
    out.carrier = out.add(_matrix(op), _targets(op, qubit_of))
    return out


@dataclass
class LoweredTape:
    """A tape's operations as the steps and matrix entries of one program, with the step
    carrying each operation's parameter."""

    steps: NDArray[np.void]
    entries: NDArray[np.complex128]
    carriers: List[Optional[int]]  # per operation, the program index of its carrier step

    @property
    def program(self) -> NDArray[np.uint8]:
        return pack_program(self.steps, self.entries)

    def then(self, more: "LoweredTape") -> NDArray[np.uint8]:
        """The program of these steps followed by those of `more`."""
        following = more.steps.copy()
        following["matrix"] += len(self.entries)
        return pack_program(np.concatenate([self.steps, following]),
                            np.concatenate([self.entries, more.entries]))


def lower_operations(operations: Sequence[Operator], qubit_of: Mapping[Any, int]) -> LoweredTape:
    builder = ProgramBuilder()
    carriers: List[Optional[int]] = []
    for op in operations:
        steps = operation_steps(op, qubit_of)
        position = len(builder.records)
        for matrix, targets, controls in zip(steps.matrices, steps.targets, steps.controls):
            builder.gate(targets, matrix, controls)
        carriers.append(None if steps.carrier is None else position + steps.carrier)
    return LoweredTape(builder.steps(), builder.entries(), carriers)


# -- Pauli sums ---------------------------------------------------------------------------------


def pauli_form(observable: Operator) -> Optional[PauliSentence]:
    """The observable as a Pauli sentence, or None when it has none within reach."""
    rep = observable.pauli_rep
    if rep is not None:
        return rep
    if isinstance(observable, qml.ops.Sum):
        parts = [pauli_form(term) for term in observable.operands]
        if any(part is None for part in parts):
            return None
        total = PauliSentence()
        for part in parts:
            total += part
        return total
    if isinstance(observable, qml.ops.SProd):
        base = pauli_form(observable.base)
        return None if base is None else base * complex(observable.scalar)
    if isinstance(observable, qml.ops.Prod):
        product = PauliSentence({PauliWord({}): 1.0})
        for factor in observable.operands:
            part = pauli_form(factor)
            if part is None:
                return None
            product = product @ part
        return product
    if observable.has_matrix and 0 < len(observable.wires) <= MAX_EXPANDED_WIRES:
        matrix = qml.matrix(observable, wire_order=observable.wires)
        return qml.pauli_decompose(matrix, wire_order=observable.wires, pauli=True, hide_identity=False)
    return None


def sentence_terms(sentence: PauliSentence, qubit_of: Mapping[Any, int]) -> Terms:
    terms: Terms = []
    for word, coefficient in sentence.items():
        x = z = 0
        for wire, letter in word.items():
            bit = 1 << qubit_of[wire]
            if letter in ("X", "Y"):
                x |= bit
            if letter in ("Z", "Y"):
                z |= bit
        terms.append((x, z, float(np.real(qml.math.unwrap(coefficient)))))
    return terms


def observable_terms(observable: Operator, qubit_of: Mapping[Any, int]) -> Optional[Terms]:
    sentence = pauli_form(observable)
    return None if sentence is None else sentence_terms(sentence, qubit_of)


# Gates whose generator depends on their wires alone, kept once per gate and qubits: PennyLane's
# generator() and its Pauli form cost some 90 us a gate, 12 ms of a 16-wire gradient with 96
# parameters.
_FIXED_GENERATORS = (qml.RX, qml.RY, qml.RZ, qml.PhaseShift, qml.IsingXX, qml.IsingYY, qml.IsingZZ,
                     qml.IsingXY, qml.CRX, qml.CRY, qml.CRZ, qml.ControlledPhaseShift)
_GENERATOR_CACHE_SIZE = 1 << 16
_generator_cache: Dict[Tuple[type, Tuple[int, ...]], Terms] = {}


def generator_terms(op: Operator, qubit_of: Mapping[Any, int]) -> Terms:
    """G with dU/dθ = -i G U for the carrier step of `op` (PennyLane's generator has U = e^{iθG'},
    so G = -G'). A controlled operation's generator is its base's, times the projector onto
    controls that are all 1: its carrier step has controls on |1> only."""
    base = op.base if isinstance(op, Controlled) else op
    key = (type(base), tuple(qubit_of[wire] for wire in base.wires))
    terms = _generator_cache.get(key) if key[0] in _FIXED_GENERATORS else None
    if terms is None:
        if isinstance(base, qml.GlobalPhase):
            sentence = PauliSentence({PauliWord({}): 1.0})
        else:
            generator = base.generator()
            sentence = pauli_form(generator)  # at most MAX_TARGETS wires: always within reach
            if sentence is None:
                raise ValueError(f"the generator of {base.name} has no Pauli form")
            sentence = sentence * -1.0
        terms = sentence_terms(sentence, qubit_of)
        if key[0] in _FIXED_GENERATORS and len(_generator_cache) < _GENERATOR_CACHE_SIZE:
            _generator_cache[key] = terms
    terms = list(terms)  # the cached list stays as it is whatever a caller does with its own
    if isinstance(op, Controlled):
        terms = controlled_generator(terms, sum(1 << qubit_of[wire] for wire in op.control_wires))
    return terms


def qubit_map(wires: Sequence[Any]) -> Dict[Any, int]:
    n = len(wires)
    return {wire: n - 1 - i for i, wire in enumerate(wires)}
