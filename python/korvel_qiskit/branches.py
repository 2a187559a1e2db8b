"""Expectation values of circuits that measure, reset or branch mid-way, by following their
branches: exactly (every outcome of non-zero weight), or as seeded trajectories.

The lowered steps are cut at each measurement and reset that runs in a branch; the gates
between (conditioned ones resolved from the branch's known classical word) run on the runner,
and at a cut the state is projected onto each outcome of non-zero weight in turn. States are
never normalised: a branch's squared norm is its probability, so a leaf contributes
<psi|P|psi> as it stands. The walk is depth first: one state per branch still waiting for its
turn, plus the one being worked on.

A measurement that nothing acts on afterwards (no gate, reset or measurement of its qubit, no
condition reading its bit) is final and dropped, as Qiskit Aer's estimator drops final
measurements: observables read the state before it.

Budget: at most MAX_BRANCHES leaves per binding, and the states held at once (waiting ones, the
current one and the copy being made) within MEMORY_FRACTION of the memory available when the
walk starts. Past either, a ValueError says so; a positive precision needs far fewer branches.
"""

from __future__ import annotations

import math
import os
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np
from numpy.typing import NDArray

from korvel_programs import KIND_GATE, KIND_MEASURE, KIND_RESET, ProgramBuilder, pack_program

from .lowering import LoweredCircuit

# Leaves one binding may follow: 16,384 leaves of 1 and of 10 qubits took 1.4 and 1.1 s here
# (some 70 us of Python and runner calls per leaf, beside another test run), so the budget is
# some 5 s of walking; longer waits a caller should choose by asking for a precision.
MAX_BRANCHES = 1 << 16
# Share of the available memory the states of one walk may hold, leaving the rest to the caller
# and to other work on the machine.
MEMORY_FRACTION = 0.5
# A branch lighter than this is the rounding residue of a zero probability (1e-34 for H H
# measured) and is not followed. Every such branch moves a value by less than its weight times
# the sum of |coefficients|, so all of them together by far less than 1e-15 of it.
NEGLIGIBLE_WEIGHT = 1e-30

Masks = Tuple[NDArray[np.uint64], NDArray[np.uint64]]


def _runner() -> Any:
    import korvel_runner

    return korvel_runner


def available_memory() -> int:
    """Bytes of memory available now (MemAvailable), or the physical memory where unknown."""
    try:
        with open("/proc/meminfo") as meminfo:
            for line in meminfo:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    try:
        return int(os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES"))
    except (OSError, ValueError, AttributeError):
        return 1 << 33


def dropped_measurements(lowered: LoweredCircuit) -> List[bool]:
    """Per step: whether it is a final measurement (nothing later acts on its qubit or reads
    the bit it writes before that bit is written again)."""
    steps = lowered.steps
    kinds = steps["kind"].tolist()
    widths = steps["width"].tolist()
    targets = steps["targets"].tolist()
    controls = steps["controls"].tolist()
    cond_masks = steps["cond_mask"].tolist()
    clbits = steps["clbit"].tolist()
    dropped = [False] * len(kinds)
    acted = 0   # qubits something later acts on
    read = 0    # slots a later condition reads before they are written again
    for i in reversed(range(len(kinds))):
        qubits = controls[i]
        for t in targets[i][:widths[i]]:
            qubits |= 1 << t
        if kinds[i] == KIND_MEASURE:
            slot = 1 << clbits[i]
            if not qubits & acted and not slot & read:
                dropped[i] = True
                continue
            if cond_masks[i] == 0:
                read &= ~slot
        acted |= qubits
        read |= cond_masks[i]
    return dropped


class BudgetError(ValueError):
    """Following the branches would pass MAX_BRANCHES or the memory share."""


class _Walk:
    """The branches of one binding."""

    def __init__(self, lowered: LoweredCircuit, fields: Optional[NDArray[np.complex128]],
                 dropped: Sequence[bool], shots: int, seed: Optional[int]) -> None:
        if fields is None and lowered.parametric:
            lowered.program(None)  # raises the unbound-parameter error
        self.lowered = lowered
        self.entries = lowered.entries if fields is None else np.asarray(fields)
        steps = lowered.steps
        self.steps = steps
        self.kinds = steps["kind"].tolist()
        for i, kind in enumerate(self.kinds):
            if kind not in (KIND_GATE, KIND_MEASURE, KIND_RESET):
                raise ValueError(f"circuit '{lowered.name}': the estimator does not run "
                                 "while_loop (its branches need not end); run the circuit "
                                 "through KorvelSampler or KorvelBackend instead"
                                 if lowered.loops else
                                 f"circuit '{lowered.name}': step {i} is of kind {kind}, which "
                                 "the estimator's branch walk does not follow")
        self.qubits = steps["targets"][:, 0].tolist()
        self.cond_masks = steps["cond_mask"].tolist()
        self.cond_values = steps["cond_value"].tolist()
        self.clbits = steps["clbit"].tolist()
        self.dropped = dropped
        self.shots = shots  # 0: exact
        self.rng = np.random.default_rng(seed) if shots else None
        self.segments: Dict[Tuple[int, int], Tuple[Optional[NDArray[np.uint8]], int]] = {}
        self.programs: Dict[Tuple[int, ...], NDArray[np.uint8]] = {}
        self.state_bytes = 16 << lowered.num_qubits
        self.max_states = max(0, int(available_memory() * MEMORY_FRACTION) // self.state_bytes)

    # -- pieces ---------------------------------------------------------------------------------

    def segment(self, position: int, word: int) -> Tuple[Optional[NDArray[np.uint8]], int]:
        """The gates that run from `position` under `word`, and the next measurement or reset
        that runs (len(steps) for none)."""
        key = (position, word)
        found = self.segments.get(key)
        if found is not None:
            return found
        chosen: List[int] = []
        end = len(self.kinds)
        i = position
        while i < end:
            if (word & self.cond_masks[i]) == self.cond_values[i] and not self.dropped[i]:
                if self.kinds[i] != KIND_GATE:
                    break
                chosen.append(i)
            i += 1
        program = None
        if chosen:
            ids = tuple(chosen)
            program = self.programs.get(ids)
            if program is None:
                steps = self.steps[list(ids)].copy()
                steps["cond_mask"] = 0
                steps["cond_value"] = 0
                program = pack_program(steps, self.entries)
                self.programs[ids] = program
        found = (program, i)
        self.segments[key] = found
        return found

    @staticmethod
    def projector(qubit: int, outcome: int, reset: bool) -> NDArray[np.uint8]:
        """Keeps the amplitudes where `qubit` reads `outcome` (an exact 0/1 diagonal step, which
        the runner takes as given), then for a reset to 1 flips the qubit back to 0."""
        builder = ProgramBuilder()
        builder.gate([qubit], np.diag([1.0 - outcome, float(outcome)]))
        if reset and outcome:
            builder.gate([qubit], np.array([[0.0, 1.0], [1.0, 0.0]]))
        return builder.program()

    def over_budget(self, what: str) -> BudgetError:
        lowered = self.lowered
        hint = ("pass a larger precision: fewer trajectories follow fewer branches"
                if self.shots else
                "pass a positive precision to estimate it from seeded trajectories instead")
        return BudgetError(f"circuit '{lowered.name}': following its measurement branches exactly "
                           f"{what}; {hint}")

    # -- the walk -------------------------------------------------------------------------------

    def resume(self, waiting: List[Any]) -> Tuple[Any, int, int, float, int]:
        """The last waiting branch as (state, next step, word, weight, trajectories)."""
        amplitudes, (qubit, outcome, reset), position, word, weight, count = waiting.pop()
        state = _runner().state_from_amplitudes(amplitudes)
        del amplitudes
        state.run(self.projector(qubit, outcome, reset))
        return state, position, word, weight, count

    def values(self, masks: Masks) -> NDArray[np.float64]:
        """<P> per Pauli string of `masks`: the weighted sum over the leaves (exact), or the
        mean over `shots` trajectories drawn as multinomial counts of the leaves."""
        runner = _runner()
        x_masks, z_masks = masks
        total = np.zeros(len(x_masks), dtype=np.float64)
        if len(x_masks) == 0:
            return total
        n = self.lowered.num_qubits
        fusion = self.lowered.fusion
        # Waiting branches: (amplitudes, projection (qubit, outcome, reset), next step, word,
        # weight, trajectories).
        waiting: List[Tuple[NDArray[np.complex128], Tuple[int, int, bool], int, int, float, int]] = []
        state = None
        position, word, weight, count = 0, 0, 1.0, self.shots
        leaves = 0
        while True:
            program, stop = self.segment(position, word)
            if state is None:
                state = runner.simulate(n, program if program is not None else
                                        ProgramBuilder().program(), fusion=fusion)
            elif program is not None:
                state.run(program, fusion=fusion)
            if stop == len(self.kinds):
                leaves += 1
                values = np.asarray(state.expectation_values(x_masks, z_masks), dtype=np.float64)
                if self.shots:
                    total += values * (count / (self.shots * weight))
                else:
                    total += values
                state = None
                if not waiting:
                    return total
                state, position, word, weight, count = self.resume(waiting)
                continue
            qubit = self.qubits[stop]
            reset = self.kinds[stop] == KIND_RESET
            probabilities = np.asarray(state.probabilities()).reshape(-1, 2, 1 << qubit)
            weights = [float(probabilities[:, 0, :].sum()), float(probabilities[:, 1, :].sum())]
            del probabilities
            counts = [0, 0]
            if self.shots:
                assert self.rng is not None
                split = weights[0] / (weights[0] + weights[1])
                counts[0] = int(self.rng.binomial(count, min(1.0, max(0.0, split))))
                counts[1] = count - counts[0]
                followed = [o for o in (0, 1) if counts[o] and weights[o] > 0.0]
            else:
                followed = [o for o in (0, 1) if weights[o] > NEGLIGIBLE_WEIGHT]
            if not followed:
                # Only rounding residue is left on this branch: it weighs nothing.
                state = None
                if not waiting:
                    return total
                state, position, word, weight, count = self.resume(waiting)
                continue
            words = [word, word]
            if not reset:
                bit = 1 << self.clbits[stop]
                words = [word & ~bit, word | bit]
            if len(followed) == 2:
                if leaves + len(waiting) + 2 > MAX_BRANCHES:
                    raise self.over_budget(f"takes more than {MAX_BRANCHES} branches, korvel's "
                                           "budget (korvel_qiskit.branches.MAX_BRANCHES)")
                if len(waiting) + 2 > self.max_states:
                    need = (len(waiting) + 2) * self.state_bytes
                    raise self.over_budget(
                        f"holds {len(waiting) + 2} states of {n} qubits ({need / 2**30:.3g} GiB) "
                        f"at once, beyond korvel's budget of {MEMORY_FRACTION:.0%} of the "
                        f"available memory ({self.max_states} such states)")
                waiting.append((state.amplitudes(), (qubit, 1, reset), stop + 1, words[1],
                                weights[1], counts[1]))
            outcome = followed[0]
            state.run(self.projector(qubit, outcome, reset))
            position, word, weight, count = stop + 1, words[outcome], weights[outcome], counts[outcome]


def branch_task(lowered: LoweredCircuit, fields: Optional[NDArray[np.complex128]],
                masks: Sequence[Masks], shots: Sequence[int], seeds: Sequence[Optional[int]]
                ) -> List[NDArray[np.float64]]:
    """Per binding: <P> of its Pauli strings, exact (shots 0) or from that many trajectories."""
    dropped = dropped_measurements(lowered)
    return [_Walk(lowered, None if fields is None else fields[row], dropped, shots[row],
                  seeds[row]).values(masks[row])
            for row in range(len(masks))]


def trajectory_count(coefficient_sums: Sequence[float], precision: float) -> int:
    """Trajectories for a standard error of at most `precision`: a trajectory's value lies within
    +-s for s the sum of |coefficients| of the non-identity terms, so its variance is at most
    s^2 and s^2 / precision^2 trajectories suffice."""
    s = max(coefficient_sums, default=0.0)
    return max(1, math.ceil(s * s / (precision * precision)))


__all__ = ["MAX_BRANCHES", "MEMORY_FRACTION", "NEGLIGIBLE_WEIGHT", "BudgetError", "branch_task",
           "dropped_measurements", "trajectory_count"]
