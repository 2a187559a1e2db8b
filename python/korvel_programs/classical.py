"""The classical side of programs, shared by the framework packages: conditions on classical
bits as alternatives of (mask, value), constant matrix factors folded ahead of the parametric
ones, and the final measurements that let a circuit be sampled from its final state.

Records are the tuples the lowerings collect before writing steps:
(kind, targets, controls, cond_mask, cond_value, clbit, factors), with `targets` a tuple of one
to five runner qubits (bit j of a row or column of the step's matrix is qubit targets[j]);
`layout` writes them in the runner's self-describing form. A jump's record has no targets, its
loop as `clbit` and the record it continues at as its one factor; a set step's has no targets,
the bit it writes as `clbit` and the value, 0 or 1, as its one factor.
"""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Sequence, Set, Tuple

import numpy as np
from numpy.typing import NDArray

from . import KIND_GATE, KIND_JUMP, KIND_MEASURE, KIND_RESET, KIND_SET, MAX_TARGETS, WIDE_STEP_DTYPE

_X = np.array([[0, 1], [1, 0]], dtype=np.complex128)

Record = Tuple[int, Tuple[int, ...], int, int, int, int, Tuple[Any, ...]]

# A classical condition: alternatives (mask, value) over the classical bits, at most one of
# which can hold at a time; a step guarded by it runs once per alternative.
Condition = Tuple[Tuple[int, int], ...]
ALWAYS: Condition = ((0, 0),)


def equals(bits: Sequence[int], value: int) -> Condition:
    """Classical bits `bits` (least significant first) read `value`."""
    if value < 0 or value >> len(bits):
        return ()  # the bits can never hold that value
    mask = want = 0
    for i, bit in enumerate(bits):
        mask |= 1 << bit
        if (value >> i) & 1:
            want |= 1 << bit
    return ((mask, want),)


NEVER: Condition = ()

# Alternatives of one condition. Every step it guards is repeated once per alternative and each
# shot meets every copy: 1024 copies of a one-qubit step on 10 qubits took 0.2 ms per shot here
# (2000 shots in 0.4 s, half of them taken), so past this one branch outweighs most circuits.
MAX_ALTERNATIVES = 1024


def conjoin(a: Condition, b: Condition) -> Condition:
    out = []
    for mask_a, value_a in a:
        for mask_b, value_b in b:
            if (value_a ^ value_b) & mask_a & mask_b:
                continue  # contradictory
            out.append((mask_a | mask_b, value_a | value_b))
    return simplify(tuple(out))


def _negate_cube(mask: int, value: int) -> Condition:
    """Complement of one cube: one alternative per bit, each agreeing on the bits before it."""
    out = []
    prefix = 0
    remaining = mask
    while remaining:
        low = remaining & -remaining
        out.append((prefix | low, (value & prefix) | (~value & low)))
        prefix |= low
        remaining ^= low
    return tuple(out)


def negate(condition: Condition) -> Condition:
    """Complement of a set of exclusive cubes, as exclusive cubes again."""
    out = ALWAYS
    for mask, value in condition:
        out = conjoin(out, _negate_cube(mask, value))
        if not out:
            break
    return out


def simplify(condition: Condition) -> Condition:
    """Merges cubes that differ in one bit until none do (the set they cover is unchanged),
    in a fixed order, so the same condition always gives the same steps."""
    cubes = set(condition)
    changed = True
    while changed:
        changed = False
        for mask, value in sorted(cubes):
            if (mask, value) not in cubes:
                continue
            for bit in bits_of(mask):
                partner = (mask, value ^ (1 << bit))
                if partner in cubes:
                    cubes -= {(mask, value), partner}
                    cubes.add((mask & ~(1 << bit), value & ~(1 << bit)))
                    changed = True
                    break
    if len(cubes) > MAX_ALTERNATIVES:
        raise ValueError(f"a classical condition expands into {len(cubes)} alternatives; korvel "
                         f"supports at most {MAX_ALTERNATIVES}")
    return tuple(sorted(cubes))


def bits_of(mask: int) -> List[int]:
    out = []
    while mask:
        low = mask & -mask
        out.append(low.bit_length() - 1)
        mask ^= low
    return out


def fold_constants(factors: Sequence[Any]) -> List[Any]:
    """Multiplies neighbouring constant factors (NumPy matrices, applied first to last) now, so
    only the parametric ones are left for each binding."""
    out: List[Any] = []
    for factor in factors:
        if out and isinstance(factor, np.ndarray) and isinstance(out[-1], np.ndarray):
            out[-1] = factor @ out[-1]
        else:
            out.append(factor)
    return out


class StepCollector:
    """Collects a lowering's records, folding runs of unconditional one-qubit factors per qubit
    until something else touches the qubit. Factors are constant NumPy matrices or a
    framework's parametric factors; open controls are an X on either side."""

    def __init__(self, fuse: bool = True) -> None:
        self.fuse = fuse
        self.records: List[Record] = []
        self.pending: Dict[int, List[Any]] = {}
        self.touched: Set[int] = set()

    def flush(self, qubit: int) -> None:
        factors = self.pending.pop(qubit, None)
        if factors:
            self.emit_gate((qubit,), 0, ALWAYS[0], factors)

    def flush_all(self) -> None:
        for qubit in sorted(self.pending):
            self.flush(qubit)

    def emit_gate(self, targets: Tuple[int, ...], controls: int, alternative: Tuple[int, int],
                  factors: Sequence[Any]) -> None:
        folded = fold_constants(factors)
        if len(folded) == 1 and isinstance(folded[0], np.ndarray) and np.array_equal(
                folded[0], np.eye(1 << len(targets))):
            return
        self.records.append((KIND_GATE, targets, controls, alternative[0], alternative[1], 0,
                             tuple(folded)))

    def one_qubit(self, qubit: int, factor: Any, condition: Condition) -> None:
        self.touched.add(qubit)
        if condition == ALWAYS:
            if self.fuse:
                self.pending.setdefault(qubit, []).append(factor)
                return
            self.emit_gate((qubit,), 0, ALWAYS[0], [factor])
            return
        self.flush(qubit)
        for alternative in condition:
            self.emit_gate((qubit,), 0, alternative, [factor])

    def gate(self, targets: Sequence[int], factor: Any, controls: Sequence[int] = (),
             condition: Condition = ALWAYS, open_controls: Sequence[int] = ()) -> None:
        """`factor` (a 2^k x 2^k matrix over `targets`, k from 1 to MAX_TARGETS, or a parametric
        factor giving one) where every qubit of `controls` is 1 and every one of
        `open_controls` (a subset of `controls`) is 0."""
        targets = tuple(targets)
        if not 1 <= len(targets) <= MAX_TARGETS:
            raise ValueError(f"a step acts on 1 to {MAX_TARGETS} target qubits, got "
                             f"{len(targets)}")
        if len(set(targets) | set(controls)) != len(targets) + len(set(controls)):
            raise ValueError(f"the targets {targets} and controls {tuple(controls)} of a step "
                             "must be distinct qubits")
        if len(targets) == 1 and not controls:
            self.one_qubit(targets[0], factor, condition)
            return
        self.controlled_gate(targets, factor, controls, open_controls, condition)

    def controlled_step(self, controls: Sequence[int], open_controls: Sequence[int], target: int,
                        factor: Any, condition: Condition) -> None:
        """`factor` on `target` where every qubit of `controls` is 1 and every one of
        `open_controls` (a subset of `controls`) is 0; a step of its own even without
        controls."""
        self.controlled_gate((target,), factor, controls, open_controls, condition)

    def controlled_gate(self, targets: Tuple[int, ...], factor: Any, controls: Sequence[int],
                        open_controls: Sequence[int], condition: Condition) -> None:
        for qubit in open_controls:
            self.one_qubit(qubit, _X, condition)
        for qubit in (*controls, *targets):
            self.flush(qubit)
            self.touched.add(qubit)
        mask = 0
        for qubit in controls:
            mask |= 1 << qubit
        for alternative in condition:
            self.emit_gate(targets, mask, alternative, [factor])
        for qubit in open_controls:
            self.one_qubit(qubit, _X, condition)

    def measure_step(self, qubit: int, clbit: int, condition: Condition) -> None:
        self.flush(qubit)
        self.touched.add(qubit)
        for mask, value in condition:
            self.records.append((KIND_MEASURE, (qubit,), 0, mask, value, clbit, ()))

    def reset(self, qubit: int, condition: Condition) -> None:
        if qubit not in self.touched:
            return  # still |0>: nothing to reset
        self.flush(qubit)
        for mask, value in condition:
            self.records.append((KIND_RESET, (qubit,), 0, mask, value, 0, ()))


# A parametric step of a laid-out program: (record index, first entry, dimension, factors).
ParametricSlot = Tuple[int, int, int, Tuple[Any, ...]]


def layout(records: Sequence[Record]) -> Tuple[NDArray[np.void], NDArray[np.complex128],
                                                List[ParametricSlot]]:
    """Records as WIDE_STEP_DTYPE steps and their matrix entries. A step whose factors are one
    constant matrix holds it; any other holds the identity until a binding's product is written
    over it, and is listed with its factors."""
    steps = np.zeros(len(records), dtype=WIDE_STEP_DTYPE)
    chunks: List[NDArray[np.complex128]] = []
    parametric: List[ParametricSlot] = []
    first = 0
    for i, (kind, targets, controls, cond_mask, cond_value, clbit, factors) in enumerate(records):
        step = steps[i]
        step["kind"] = kind
        step["width"] = len(targets)
        step["targets"][:len(targets)] = targets
        step["controls"] = controls
        step["cond_mask"] = cond_mask
        step["cond_value"] = cond_value
        step["clbit"] = clbit
        if kind in (KIND_JUMP, KIND_SET):
            step["matrix"] = factors[0]
            continue
        if kind != KIND_GATE:
            continue
        dimension = 1 << len(targets)
        step["matrix"] = first
        if len(factors) == 1 and isinstance(factors[0], np.ndarray):
            chunks.append(np.asarray(factors[0], dtype=np.complex128).reshape(-1))
        else:
            chunks.append(np.eye(dimension, dtype=np.complex128).reshape(-1))
            parametric.append((i, first, dimension, tuple(factors)))
        first += dimension * dimension
    entries = np.concatenate(chunks) if chunks else np.zeros(0, dtype=np.complex128)
    return steps, entries, parametric


def final_measurements(records: Sequence[Tuple[Any, ...]]) -> Optional[List[Tuple[int, int]]]:
    """(clbit, qubit) pairs when every measurement is final and nothing else is classical."""
    measured: Set[int] = set()
    last: Dict[int, int] = {}
    for kind, targets, controls, cond_mask, _, clbit, _ in records:
        if cond_mask or kind in (KIND_RESET, KIND_JUMP, KIND_SET):
            return None
        if kind == KIND_MEASURE:
            measured.add(targets[0])
            last[clbit] = targets[0]
            continue
        touched = controls
        for target in targets:
            touched |= 1 << target
        if any((touched >> q) & 1 for q in measured):
            return None
    return sorted(last.items())


def words_from_outcomes(outcomes: NDArray[np.uint64], qubits: NDArray[np.uint64],
                        clbits: NDArray[np.uint64]) -> NDArray[np.uint64]:
    """Basis-state indices -> classical words: bit clbits[i] of a word is qubit qubits[i]."""
    words = np.zeros(outcomes.shape, dtype=np.uint64)
    one = np.uint64(1)
    for qubit, clbit in zip(qubits, clbits):
        words |= ((outcomes >> qubit) & one) << clbit
    return words


__all__ = ["ALWAYS", "Condition", "ParametricSlot", "Record", "StepCollector", "conjoin", "equals",
           "final_measurements", "fold_constants", "layout", "negate", "words_from_outcomes"]
