"""Programs for korvel's circuit runner (`korvel_runner`), shared by the framework packages.

The runner reads two forms. The first is an array of 104-byte records (`STEP_DTYPE`), each a
one-qubit matrix with controls. The second, self-describing form carries gates on 1 to 5
target qubits: a header, records of `WIDE_STEP_DTYPE`, then the complex matrix entries the
records point into, so a parameter sweep rewrites entries and leaves the records alone
(`pack_program`, `ProgramBuilder`). Amplitude index k is the basis state in which qubit q has
the value of bit q of k; bit j of a row or column of a step's matrix is the value of its
qubit targets[j].
"""

from __future__ import annotations

from typing import Any, List, Optional, Sequence, Tuple

import numpy as np
from numpy.typing import ArrayLike, NDArray

try:
    from importlib.metadata import PackageNotFoundError, version

    try:
        __version__ = version("korvel")
    except PackageNotFoundError:  # running from a source tree
        __version__ = "0+unknown"
except ImportError:  # pragma: no cover
    __version__ = "0+unknown"

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
# A jump (self-describing form only): where its condition holds, the shot continues at step
# `matrix` instead of the next one; `clbit` names its loop, whose backward jumps count against
# the shot's iteration limit and whose forward jumps past its last backward jump set the count
# back to 0. Width 0.
KIND_JUMP = 3
# A set step (self-describing form only): where its condition holds, classical bit `clbit`
# takes the value in `matrix`, 0 or 1. Width 0.
KIND_SET = 4
DEFAULT_MAX_LOOP_ITERATIONS = 1000

WIDE_STEP_DTYPE = np.dtype(
    [
        ("kind", "<u4"),
        ("width", "<u4"),
        ("targets", "u1", (8,)),
        ("controls", "<u8"),
        ("cond_mask", "<u8"),
        ("cond_value", "<u8"),
        ("clbit", "<u4"),
        ("reserved", "<u4"),
        ("matrix", "<u8"),  # index of the step's first entry
        ("reserved2", "<u8"),
    ]
)
assert WIDE_STEP_DTYPE.itemsize == 64
PROGRAM_MAGIC = 0x4C56524B  # "KRVL"
PROGRAM_VERSION = 2
MAX_TARGETS = 5

MAX_QUBITS = 29  # 2^29 amplitudes of 16 bytes, 8 GiB
MAX_CLBITS = 64  # the classical bits of one shot live in one 64-bit word


def matrix_fields(matrices: NDArray[np.complex128]) -> NDArray[np.float64]:
    """(..., 2, 2) complex -> (..., 8) float in the step's order M00, M01, M10, M11."""
    flat = np.ascontiguousarray(matrices, dtype=np.complex128).reshape(matrices.shape[:-2] + (4,))
    return flat.view(np.float64)


def pack_program(steps: NDArray[np.void], entries: ArrayLike) -> NDArray[np.uint8]:
    """The self-describing program of `steps` (WIDE_STEP_DTYPE) and matrix `entries`."""
    entries = np.ascontiguousarray(entries, dtype="<c16").reshape(-1)
    header = np.array([PROGRAM_MAGIC, PROGRAM_VERSION, len(steps), len(entries)], dtype="<u4")
    return np.concatenate([header.view(np.uint8),
                           np.ascontiguousarray(steps, dtype=WIDE_STEP_DTYPE).view(np.uint8).reshape(-1),
                           entries.view(np.uint8)])


class ProgramBuilder:
    """Collects steps in order and packs them into the self-describing form.

    Matrices go into one list of entries; `gate` returns the index of its first entry, so that
    a caller can rewrite that matrix in `entries` for another parameter binding.
    """

    def __init__(self) -> None:
        self.records: List[Tuple[int, Sequence[int], int, int, int, int, int]] = []
        self.chunks: List[NDArray[np.complex128]] = []
        self.entry_count = 0

    def gate(self, targets: Sequence[int], matrix: ArrayLike, controls: int = 0,
             condition: Tuple[int, int] = (0, 0)) -> int:
        matrix = np.asarray(matrix, dtype=np.complex128)
        dimension = 1 << len(targets)
        if matrix.shape != (dimension, dimension):
            raise ValueError(f"a gate on {len(targets)} targets needs a {dimension}x{dimension} "
                             f"matrix, got shape {matrix.shape}")
        first = self.entry_count
        self.chunks.append(matrix.reshape(-1))
        self.entry_count += dimension * dimension
        self.records.append((KIND_GATE, tuple(targets), controls, condition[0], condition[1], 0,
                             first))
        return first

    def measure(self, qubit: int, clbit: int, condition: Tuple[int, int] = (0, 0)) -> None:
        self.records.append((KIND_MEASURE, (qubit,), 0, condition[0], condition[1], clbit, 0))

    def reset(self, qubit: int, condition: Tuple[int, int] = (0, 0)) -> None:
        self.records.append((KIND_RESET, (qubit,), 0, condition[0], condition[1], 0, 0))

    def jump(self, to: int, loop: int, condition: Tuple[int, int] = (0, 0)) -> None:
        """Continue at step `to` where `condition` holds; back to an earlier step is an
        iteration of loop `loop`, forward past its last backward jump leaves it."""
        self.records.append((KIND_JUMP, (), 0, condition[0], condition[1], loop, to))

    def set(self, clbit: int, value: int, condition: Tuple[int, int] = (0, 0)) -> None:
        """Classical bit `clbit` := `value` (0 or 1) where `condition` holds."""
        if value not in (0, 1):
            raise ValueError(f"a set step writes 0 or 1, got {value!r}")
        self.records.append((KIND_SET, (), 0, condition[0], condition[1], clbit, value))

    def steps(self) -> NDArray[np.void]:
        out = np.zeros(len(self.records), dtype=WIDE_STEP_DTYPE)
        for i, (kind, targets, controls, cond_mask, cond_value, clbit, first) in enumerate(
                self.records):
            out[i]["kind"] = kind
            out[i]["width"] = len(targets)
            out[i]["targets"][:len(targets)] = targets
            out[i]["controls"] = controls
            out[i]["cond_mask"] = cond_mask
            out[i]["cond_value"] = cond_value
            out[i]["clbit"] = clbit
            out[i]["matrix"] = first
        return out

    def entries(self) -> NDArray[np.complex128]:
        if not self.chunks:
            return np.zeros(0, dtype=np.complex128)
        return np.concatenate(self.chunks)

    def program(self) -> NDArray[np.uint8]:
        return pack_program(self.steps(), self.entries())



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


__all__ = ["DEFAULT_MAX_LOOP_ITERATIONS", "KIND_GATE", "KIND_JUMP", "KIND_MEASURE", "KIND_RESET", "KIND_SET",
           "MAX_CLBITS", "MAX_QUBITS", "MAX_TARGETS",
           "PAULI_TERM_DTYPE", "PROGRAM_MAGIC", "PROGRAM_VERSION", "PauliTerms", "ProgramBuilder",
           "STEP_DTYPE", "WIDE_STEP_DTYPE", "controlled_generator", "matrix_fields", "pack_program",
           "term_records", "__version__"]
