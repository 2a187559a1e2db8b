"""Programs for korvel's circuit runner (`korvel_runner`), shared by the framework packages.

A program is an array of step records (`STEP_DTYPE`); each framework package lowers its own
circuits into one and hands it to the runner. Amplitude index k is the basis state in which
qubit q has the value of bit q of k.
"""

from __future__ import annotations

import numpy as np
from numpy.typing import NDArray

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
KIND_GATE = 0
KIND_MEASURE = 1
KIND_RESET = 2

MAX_QUBITS = 29  # 2^29 amplitudes of 16 bytes, 8 GiB
MAX_CLBITS = 64  # the classical bits of one shot live in one 64-bit word


def matrix_fields(matrices: NDArray[np.complex128]) -> NDArray[np.float64]:
    """(..., 2, 2) complex -> (..., 8) float in the step's order M00, M01, M10, M11."""
    flat = np.ascontiguousarray(matrices, dtype=np.complex128).reshape(matrices.shape[:-2] + (4,))
    return flat.view(np.float64)


__all__ = ["KIND_GATE", "KIND_MEASURE", "KIND_RESET", "MAX_CLBITS", "MAX_QUBITS", "STEP_DTYPE",
           "matrix_fields", "__version__"]
