"""Programs for korvel's circuit runner (`korvel_runner`), shared by the framework packages.

A program is an array of step records (`STEP_DTYPE`); each framework package lowers its own
circuits into one and hands it to the runner. Amplitude index k is the basis state in which
qubit q has the value of bit q of k.
"""

from __future__ import annotations

from typing import Any, List, Optional, Sequence, Tuple

import numpy as np
from numpy.typing import NDArray

STEP_DTYPE = np.dtype(
    [
        ("kind", "<u4"),
        ("target", "<u4"),
        ("controls", "<u8"),
        ("cond_mask", "<u8"),
        ("cond_value", "<u8"),
        ("clbit", "<u4"),
        ("reserved", "<u4"),
        ("matrix", "<f8", (8,)),
    ]
)
# A term of a Pauli sum for the runner's gradient functions: coefficient * i**popcount(x & z)
# X**x Z**z (a qubit in both masks carries Y), in sum number `group`.
PAULI_TERM_DTYPE = np.dtype([("x", "<u8"), ("z", "<u8"), ("coefficient", "<f8"), ("group", "<u8")])

KIND_GATE = 0
KIND_MEASURE = 1
KIND_RESET = 2

MAX_QUBITS = 29  # 2^29 amplitudes of 16 bytes, 8 GiB
MAX_CLBITS = 64  # the classical bits of one shot live in one 64-bit word


def matrix_fields(matrices: NDArray[np.complex128]) -> NDArray[np.float64]:
    """(..., 2, 2) complex -> (..., 8) float in the step's order M00, M01, M10, M11."""
    flat = np.ascontiguousarray(matrices, dtype=np.complex128).reshape(matrices.shape[:-2] + (4,))
    return flat.view(np.float64)


# A Pauli sum as (x mask, z mask, real coefficient) per term.
PauliTerms = List[Tuple[int, int, float]]


def controlled_generator(terms: PauliTerms, controls: int) -> PauliTerms:
    """The generator of a step controlled on |1> by `controls`, from that of its base gate: the
    base's times |1><1| = (I - Z) / 2 on each control."""
    for qubit in range(controls.bit_length()):
        bit = 1 << qubit
        if controls & bit:
            terms = [t for x, z, c in terms for t in ((x, z, c / 2), (x, z ^ bit, -c / 2))]
    return terms


def term_records(groups: Sequence[PauliTerms], scale: Optional[Sequence[float]] = None) -> NDArray[Any]:
    """Pauli sums as the runner's term records (PAULI_TERM_DTYPE), sum j as group j, each
    coefficient times scale[j] when given."""
    count = sum(len(terms) for terms in groups)
    records = np.zeros(count, dtype=PAULI_TERM_DTYPE)
    row = 0
    for group, terms in enumerate(groups):
        for x, z, coefficient in terms:
            records[row] = (x, z, coefficient if scale is None else coefficient * scale[group], group)
            row += 1
    return records


__all__ = ["KIND_GATE", "KIND_MEASURE", "KIND_RESET", "MAX_CLBITS", "MAX_QUBITS", "PAULI_TERM_DTYPE",
           "PauliTerms", "STEP_DTYPE", "controlled_generator", "matrix_fields", "term_records"]
