"""A state-vector simulator of quantum circuits built from single-qubit gates.

Amplitude index i is the basis state in which qubit k has the value of bit k of i:
qubit 0 is the least significant bit.
"""

from typing import Protocol, Sequence, SupportsFloat, SupportsIndex, Union, final

__all__ = ["QGate", "Register"]

# A matrix entry is read through its `real` and `imag` attributes, each converted to a
# float the way float() would (through __float__, or __index__ for integer-like values).
_FloatLike = Union[SupportsFloat, SupportsIndex]

class _SupportsComplexParts(Protocol):
    @property
    def real(self) -> _FloatLike: ...
    @property
    def imag(self) -> _FloatLike: ...

@final
class QGate:
    """A single-qubit gate: a 2-by-2 unitary matrix, fixed at construction."""

    def __new__(cls, matrix: Sequence[Sequence[_SupportsComplexParts]]) -> QGate: ...

@final
class Register:
    """A register of 0 to 29 qubits holding all 2**qubits complex amplitudes."""

    def __new__(cls, qubits: SupportsIndex) -> Register: ...
    def apply_gate(
        self,
        gate: QGate,
        targets: Sequence[SupportsIndex],
        controls: Sequence[SupportsIndex],
    ) -> None: ...
    def probabilities(self) -> list[float]: ...
    def measure(self, target: SupportsIndex) -> int: ...
    def measure_all(self) -> int: ...
