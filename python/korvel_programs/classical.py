"""The classical side of programs, shared by the framework packages: conditions on classical
bits as alternatives of (mask, value), constant matrix factors folded ahead of the parametric
ones, and the final measurements that let a circuit be sampled from its final state.

Records are the tuples the lowerings collect before writing steps:
(kind, target, controls, cond_mask, cond_value, clbit, factors).
"""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Sequence, Set, Tuple

import numpy as np
from numpy.typing import NDArray

from . import KIND_MEASURE, KIND_RESET

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


def negate(condition: Condition) -> Condition:
    """Complement of a single (mask, value): one alternative per first differing bit."""
    if not condition:
        return ALWAYS
    if len(condition) != 1:
        raise ValueError("the else branch of a condition with several alternatives is not "
                         "supported")
    mask, value = condition[0]
    out = []
    prefix = 0
    remaining = mask
    while remaining:
        low = remaining & -remaining
        out.append((prefix | low, (value & prefix) | (~value & low)))
        prefix |= low
        remaining ^= low
    return tuple(out)


def conjoin(a: Condition, b: Condition) -> Condition:
    out = []
    for mask_a, value_a in a:
        for mask_b, value_b in b:
            if (value_a ^ value_b) & mask_a & mask_b:
                continue  # contradictory
            out.append((mask_a | mask_b, value_a | value_b))
    return tuple(out)


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


def final_measurements(records: Sequence[Tuple[Any, ...]]) -> Optional[List[Tuple[int, int]]]:
    """(clbit, qubit) pairs when every measurement is final and nothing else is classical."""
    measured: Set[int] = set()
    last: Dict[int, int] = {}
    for kind, target, controls, cond_mask, _, clbit, _ in records:
        if cond_mask or kind == KIND_RESET:
            return None
        if kind == KIND_MEASURE:
            measured.add(target)
            last[clbit] = target
            continue
        touched = controls | (1 << target)
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


__all__ = ["ALWAYS", "Condition", "conjoin", "equals", "final_measurements", "fold_constants",
           "negate", "words_from_outcomes"]
