"""An independent NumPy model of the circuit runner: it executes the same programs, in either
form (104-byte one-qubit records, or the self-describing form with gates on several qubits).

Written from the program format alone, plainly and slowly (one Python loop per shot of a
trajectory); the tests compare the runner with it, and it stands in for the runner where
the native module is not built.
"""

from __future__ import annotations

from typing import List, Optional, Tuple

import numpy as np

MAX_QUBITS = 29
STEP_SIZE = 104
_DTYPE = np.dtype([
    ("kind", "<u4"), ("target", "<u4"), ("controls", "<u8"), ("cond_mask", "<u8"),
    ("cond_value", "<u8"), ("clbit", "<u4"), ("reserved", "<u4"), ("matrix", "<f8", (8,)),
])


_WIDE_DTYPE = np.dtype([
    ("kind", "<u4"), ("width", "<u4"), ("targets", "u1", (8,)), ("controls", "<u8"),
    ("cond_mask", "<u8"), ("cond_value", "<u8"), ("clbit", "<u4"), ("reserved", "<u4"),
    ("matrix", "<u8"), ("reserved2", "<u8"),
])
_MAGIC = 0x4C56524B


def _steps(program: object) -> List[dict]:
    """Every record as kind, targets, controls, cond_mask, cond_value, clbit and matrix."""
    data = bytes(memoryview(program).cast("B"))  # type: ignore[arg-type]
    out = []
    if len(data) >= 4 and int.from_bytes(data[:4], "little") == _MAGIC:
        count = int.from_bytes(data[8:12], "little")
        records = np.frombuffer(data, dtype=_WIDE_DTYPE, count=count, offset=16)
        entries = np.frombuffer(data, dtype="<c16", offset=16 + 64 * count)
        for r in records:
            width = int(r["width"])
            d = 1 << width
            first = int(r["matrix"])
            out.append(dict(kind=int(r["kind"]), targets=[int(t) for t in r["targets"][:width]],
                            controls=int(r["controls"]), cond_mask=int(r["cond_mask"]),
                            cond_value=int(r["cond_value"]), clbit=int(r["clbit"]),
                            matrix=entries[first:first + d * d].reshape(d, d)
                            if r["kind"] == 0 else None))
        return out
    for r in np.frombuffer(data, dtype=_DTYPE):
        out.append(dict(kind=int(r["kind"]), targets=[int(r["target"])],
                        controls=int(r["controls"]), cond_mask=int(r["cond_mask"]),
                        cond_value=int(r["cond_value"]), clbit=int(r["clbit"]),
                        matrix=r["matrix"].view(np.complex128).reshape(2, 2)))
    return out


def _apply(psi: np.ndarray, step: dict) -> None:
    index = np.arange(psi.size, dtype=np.uint64)
    targets = step["targets"]
    mask = np.uint64(sum(1 << t for t in targets))
    controls = np.uint64(step["controls"])
    base = index[((index & mask) == 0) & ((index & controls) == controls)]
    offsets = [sum(((c >> j) & 1) << t for j, t in enumerate(targets)) for c in range(1 << len(targets))]
    group = np.stack([psi[base | np.uint64(o)] for o in offsets])
    result = step["matrix"] @ group
    for o, row in zip(offsets, result):
        psi[base | np.uint64(o)] = row


def _project(psi: np.ndarray, qubit: int, rng: np.random.Generator) -> int:
    ones = ((np.arange(psi.size) >> qubit) & 1).astype(bool)
    p1 = float(np.sum(np.abs(psi[ones]) ** 2) / np.sum(np.abs(psi) ** 2))
    outcome = int(rng.random() < p1)
    psi[ones != bool(outcome)] = 0
    psi /= np.linalg.norm(psi)
    return outcome


class State:
    def __init__(self, psi: np.ndarray) -> None:
        self._psi = psi
        self.num_qubits = int(psi.size).bit_length() - 1

    def run(self, program: object) -> None:
        for step in _steps(program):
            _apply(self._psi, step)

    def probabilities(self) -> np.ndarray:
        return self._psi.real ** 2 + self._psi.imag ** 2

    def amplitudes(self) -> np.ndarray:
        return self._psi.copy()

    def sample(self, shots: int, seed: Optional[int] = None) -> np.ndarray:
        p = self.probabilities()
        rng = np.random.default_rng(seed)
        return rng.choice(p.size, size=shots, p=p / p.sum()).astype(np.uint64)

    def sample_counts(self, shots: int, seed: Optional[int] = None
                      ) -> Tuple[np.ndarray, np.ndarray]:
        outcomes, counts = np.unique(self.sample(shots, seed), return_counts=True)
        return outcomes.astype(np.uint64), counts.astype(np.uint64)

    def expectation_values(self, x_masks: np.ndarray, z_masks: np.ndarray) -> np.ndarray:
        index = np.arange(self._psi.size, dtype=np.uint64)
        out = []
        for x, z in zip(np.asarray(x_masks, np.uint64), np.asarray(z_masks, np.uint64)):
            parity = np.array([bin(int(v)).count("1") & 1 for v in (index & z)])
            phase = 1j ** bin(int(x & z)).count("1")
            # P|psi>: amplitude of i is phase * (-1)^{popcount(i & z)} psi[i], moved to i ^ x.
            image = np.zeros_like(self._psi)
            image[index ^ x] = phase * np.where(parity, -1, 1) * self._psi
            out.append(float(np.real(np.vdot(self._psi, image))))
        return np.array(out)


def simulate(num_qubits: int, program: object) -> State:
    if not 0 <= num_qubits <= MAX_QUBITS:
        raise ValueError(f"num_qubits must be between 0 and {MAX_QUBITS}, got {num_qubits}")
    psi = np.zeros(1 << num_qubits, dtype=np.complex128)
    psi[0] = 1
    state = State(psi)
    if any(step["kind"] != 0 or step["cond_mask"] != 0 for step in _steps(program)):
        raise ValueError("simulate takes unconditional gate steps only")
    state.run(program)
    return state


def run_shots(num_qubits: int, num_clbits: int, program: object, shots: int,
              seed: Optional[int] = None) -> np.ndarray:
    if shots < 1:
        raise ValueError(f"shots must be at least 1, got {shots}")
    rng = np.random.default_rng(seed)
    steps = _steps(program)
    out = np.zeros(shots, dtype=np.uint64)
    for shot in range(shots):
        psi = np.zeros(1 << num_qubits, dtype=np.complex128)
        psi[0] = 1
        word = 0
        for step in steps:
            if word & int(step["cond_mask"]) != int(step["cond_value"]):
                continue
            kind, target = step["kind"], step["targets"][0]
            if kind == 0:
                _apply(psi, step)
            elif kind == 1:
                outcome = _project(psi, target, rng)
                word = (word & ~(1 << int(step["clbit"]))) | (outcome << int(step["clbit"]))
            else:
                if _project(psi, target, rng):
                    ones = ((np.arange(psi.size) >> target) & 1).astype(bool)
                    psi[~ones] = psi[ones]
                    psi[ones] = 0
        out[shot] = word
    return out
