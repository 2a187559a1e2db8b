"""Whole quantum circuits per call on the korvel engine, with NumPy arrays as results.

A program is a C-contiguous buffer of 104-byte little-endian step records (for example a
structured NumPy array of this dtype):

    STEP_DTYPE = numpy.dtype([
        ("kind", "<u4"),          # 0 gate, 1 measure, 2 reset
        ("target", "<u4"),        # qubit the step acts on
        ("controls", "<u8"),      # gate: bit mask of control qubits (all must be 1); else 0
        ("cond_mask", "<u8"),     # classical bits the step is conditioned on; 0 = unconditional
        ("cond_value", "<u8"),    # the step runs only when (clbits & cond_mask) == cond_value
        ("clbit", "<u4"),         # measure: classical bit receiving the outcome; else 0
        ("reserved", "<u4"),      # 0
        ("matrix", "<f8", (8,)),  # gate: M00, M01, M10, M11 as (real, imaginary) pairs
    ])

A program may also take the self-describing form, which carries gates on 1 to 5 target qubits:
a 16-byte header (u32 magic 0x4C56524B "KRVL", u32 version 2, u32 step count S, u32 entry count
E), S records of 64 bytes (korvel_programs.WIDE_STEP_DTYPE: kind, width, 8 target bytes,
controls, cond_mask, cond_value, clbit, reserved, u64 index of the step's first matrix entry,
reserved), then E complex entries (re, im as f8). A gate of width k reads 4**k entries, row-major;
bit j of a row or column is the value of qubit targets[j]. Its kinds add 3, a jump (to the step
in the matrix field, for the loop in clbit), and 4, a set step (width 0: classical bit clbit
takes the matrix field's value, 0 or 1, where the condition holds). korvel_programs.ProgramBuilder
and pack_program build it.

Amplitude index k is the basis state in which qubit q has the value of bit q of k. A malformed
program raises ValueError("step K: ...") naming the first record at fault (K counts from 0), or
"header: ..." for the header of the self-describing form.

fusion=True merges runs of unconditional gates into steps on at most two qubits where that is
cheaper, by a deterministic plan: the results are the same bits on every run and thread count,
and agree with the unfused program to rounding. fusion=False (the default) runs every step as
given, bit for bit the korvel module's arithmetic for one-qubit steps.

The gradient functions take Pauli sums as buffers of 32-byte little-endian term records:

    PAULI_TERM_DTYPE = numpy.dtype([
        ("x", "<u8"),            # qubits carrying X (with z: Y)
        ("z", "<u8"),            # qubits carrying Z (with x: Y)
        ("coefficient", "<f8"),  # finite; the term is coefficient * i**popcount(x & z) X**x Z**z
        ("group", "<u8"),        # which sum the term belongs to, ascending along the buffer
    ])

A parametrised step's generator G is the Pauli sum with dU/dtheta = -i G U for its matrix U
(RX(theta) has G = X/2; a controlled RX has G = X_t (I - Z_c)/4); it acts on the step's target
and controls only. Steps are undone by their conjugate transposes, so they must be unitary.
"""

import sys
from typing import Any, Optional, Sequence, SupportsIndex, Tuple, Union, final

import numpy as np
import numpy.typing as npt

if sys.version_info >= (3, 12):
    from collections.abc import Buffer as _Buffer
else:
    from typing_extensions import Buffer as _Buffer

__all__ = ["MAX_QUBITS", "PAULI_TERM_SIZE", "STEP_SIZE", "State", "adjoint_jacobian", "adjoint_vjp",
           "run_shots", "simulate", "state_from_amplitudes"]

MAX_QUBITS: int
PAULI_TERM_SIZE: int
STEP_SIZE: int

# Any C-contiguous bytes-like object; NumPy arrays count as buffers to type checkers only on
# Python 3.12 and later, so they are named as well.
_Program = Union[_Buffer, npt.NDArray[Any]]
_Masks = Union[_Buffer, npt.NDArray[np.integer[Any]], Sequence[SupportsIndex]]
_Reals = Union[_Buffer, npt.NDArray[np.float64], Sequence[float]]

@final
class State:
    """A state vector owned by the runner; made by simulate() or state_from_amplitudes(). Not
    picklable. Thread-safe: each
    operation runs whole, with the interpreter lock released."""

    @property
    def num_qubits(self) -> int: ...
    def run(self, program: _Program, fusion: bool = False) -> None:
        """Applies more unconditional gate steps, in place."""
    def probabilities(self) -> npt.NDArray[np.float64]:
        """Element k is re**2 + im**2 of amplitude k (not normalised)."""
    def amplitudes(self) -> npt.NDArray[np.complex128]:
        """A copy of the 2**num_qubits amplitudes."""
    def sample(self, shots: SupportsIndex, seed: Optional[SupportsIndex] = None) -> npt.NDArray[np.uint64]:
        """Basis-state indices, one per shot, in random order; never an outcome of weight zero.
        The same seed gives the same array; None draws a fresh key from the OS."""
    def sample_counts(
        self, shots: SupportsIndex, seed: Optional[SupportsIndex] = None
    ) -> Tuple[npt.NDArray[np.uint64], npt.NDArray[np.uint64]]:
        """(outcomes ascending, counts) of the outcomes drawn at least once."""
    def expectation_values(self, x_masks: _Masks, z_masks: _Masks) -> npt.NDArray[np.float64]:
        """<psi|P|psi> for each P = i**popcount(x & z) X**x Z**z (a qubit with both bits is Y),
        not divided by <psi|psi>."""

def simulate(num_qubits: SupportsIndex, program: _Program, fusion: bool = False) -> State:
    """Runs unconditional gate steps from |0...0> on 0 to MAX_QUBITS qubits."""

def state_from_amplitudes(amplitudes: Union[_Buffer, npt.NDArray[np.complex128]]) -> State:
    """A State holding a copy of `amplitudes`: a one-dimensional C-contiguous complex128 buffer of
    length 2**n (n from 0 to MAX_QUBITS) with finite entries, kept as given (not normalised)."""

def run_shots(
    num_qubits: SupportsIndex,
    num_clbits: SupportsIndex,
    program: _Program,
    shots: SupportsIndex,
    seed: Optional[SupportsIndex] = None,
    fusion: bool = False,
    max_loop_iterations: Optional[SupportsIndex] = None,
) -> npt.NDArray[np.uint64]:
    """Each shot's classical word (bit c = classical bit c) after the full trajectory of a program
    with measurements, resets, conditions, jumps and set steps. The gates before the first measurement,
    reset or jump target run once and are shared by every shot. A shot that goes round one loop
    more than `max_loop_iterations` times in a row (None: 1000) stops the run with a ValueError
    naming the loop."""

def adjoint_jacobian(
    num_qubits: SupportsIndex,
    program: _Program,
    parametrised_steps: _Masks,
    generators: _Program,
    observables: _Program,
    num_observables: SupportsIndex,
) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """(values, jacobian): values[o] = <psi|O_o|psi> for the num_observables Pauli sums in
    `observables` (group o), and jacobian[o, j] its derivative by the parameter of step
    parametrised_steps[j] (strictly ascending positions in the program of gate steps), whose
    generator is group j of `generators`. One forward run and one backward sweep per
    observable, holding at most three states; the same bits on every thread count."""

def adjoint_vjp(
    num_qubits: SupportsIndex,
    program: _Program,
    parametrised_steps: _Masks,
    generators: _Program,
    observables: _Program,
    cotangent: _Reals,
) -> npt.NDArray[np.float64]:
    """sum over o of cotangent[o] * jacobian[o, :], from one backward sweep with the combined bra
    sum_o cotangent[o] O_o |psi>; len(cotangent) is the number of observables. Two states."""
