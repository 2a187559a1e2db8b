"""Expectation values of circuits that measure, reset or branch mid-way, by following their
branches: exactly (every outcome of non-zero weight), or as seeded trajectories.

The lowered steps are cut at each measurement and reset that runs in a branch; the gates
between (conditioned ones resolved from the branch's known classical word) run on the runner,
and at a cut the state is projected onto each outcome of non-zero weight in turn. States are
never normalised: a branch's squared norm is its probability, so a leaf contributes
<psi|P|psi> as it stands. The walk is depth first: one state per branch still waiting for its
turn, plus the one being worked on.

Jumps (the lowering of while_loop) and set steps are resolved from the known word as well: a
branch continues where its jump leads, and counts the iterations of each loop as the runner
counts a shot's (a backward jump is one, a forward jump past the loop's last backward jump sets
the count back to 0). A branch that goes round a loop more than `max_loop_iterations` times
stops the run with an error naming the loop, as a shot does in the sampler. Where a program
has jumps, of the two outcomes of a cut the one whose next cut lies later in the program is
followed first, so that a loop's exits finish before its next iteration starts and the
waiting states stay few.

Exactness with loops: a repeat-until-success loop has infinitely many branches, of weights
falling geometrically. Every branch heavier than NEGLIGIBLE_WEIGHT is followed and every
lighter one is left out, so the exact value leaves out less than NEGLIGIBLE_WEIGHT per branch
not followed (at most some MAX_BRANCHES of them), far below the rounding of the sum; a loop
whose branches stay heavier than that past the iteration limit (a failure probability above
some 0.93 per round at the default limit of 1000) meets the limit instead.

A measurement that nothing acts on afterwards (no gate, reset or measurement of its qubit, no
condition reading its bit) is final and dropped, as Qiskit Aer's estimator drops final
measurements: observables read the state before it. A measurement that a jump may pass over
or come back to (one inside a loop body) is never final, and never counts as overwriting its
bit before later readers.

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

from korvel_programs import (KIND_GATE, KIND_JUMP, KIND_MEASURE, KIND_RESET, KIND_SET,
                             ProgramBuilder, pack_program)

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
    the bit it writes before that bit is written again). A measurement between a jump and its
    target may run again or not at all, so it is never final nor taken to overwrite its bit."""
    steps = lowered.steps
    kinds = steps["kind"].tolist()
    widths = steps["width"].tolist()
    targets = steps["targets"].tolist()
    controls = steps["controls"].tolist()
    cond_masks = steps["cond_mask"].tolist()
    clbits = steps["clbit"].tolist()
    # Steps some jump passes over or comes back to: a running count of open spans.
    opened = [0] * (len(kinds) + 2)
    for k, (kind, to) in enumerate(zip(kinds, steps["matrix"].tolist())):
        if kind == KIND_JUMP:
            opened[min(k, to)] += 1
            opened[max(k, to) + 1] -= 1
    dropped = [False] * len(kinds)
    acted = 0   # qubits something later acts on
    read = 0    # slots a later condition reads before they are written again
    spans = 0
    covered = []
    for i in range(len(kinds)):
        spans += opened[i]
        covered.append(spans > 0)
    for i in reversed(range(len(kinds))):
        qubits = controls[i]
        for t in targets[i][:widths[i]]:
            qubits |= 1 << t
        if kinds[i] == KIND_MEASURE and not covered[i]:
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


# What a stretch of steps between cuts does to a branch's loop counts, in order: (loop, True)
# counts an iteration, (loop, False) sets the count back to 0.
Events = Tuple[Tuple[int, bool], ...]


class _Segment:
    """The steps a branch runs from one position under one word: the gates (as one program,
    None for none), the cut it stops at (len(steps) for the end), its word there, the loop
    events on the way, and `cycle`, the events repeated without end where it never reaches a
    cut (then `stop` means nothing: the branch meets the iteration limit)."""

    __slots__ = ("program", "stop", "word", "events", "cycle")

    def __init__(self, program: Optional[NDArray[np.uint8]], stop: int, word: int,
                 events: Events, cycle: Optional[Events]) -> None:
        self.program, self.stop, self.word, self.events, self.cycle = (
            program, stop, word, events, cycle)


class _Branch:
    """Where a branch is: its next step, classical word, weight, trajectories that follow it
    (0 when exact) and iteration count per loop."""

    __slots__ = ("position", "word", "weight", "count", "loops")

    def __init__(self, position: int, word: int, weight: float, count: int,
                 loops: Tuple[int, ...]) -> None:
        self.position, self.word, self.weight, self.count, self.loops = (
            position, word, weight, count, loops)


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
            if kind not in (KIND_GATE, KIND_MEASURE, KIND_RESET, KIND_JUMP, KIND_SET):
                raise ValueError(f"circuit '{lowered.name}': step {i} is of kind {kind}, which "
                                 "the estimator's branch walk does not follow")
        self.qubits = steps["targets"][:, 0].tolist()
        self.cond_masks = steps["cond_mask"].tolist()
        self.cond_values = steps["cond_value"].tolist()
        self.clbits = steps["clbit"].tolist()
        self.fields = steps["matrix"].tolist()  # a jump's target, a set's value
        # Per loop, the step of its last backward jump (0 for none), as the runner keeps it.
        loop_count = 1 + max((c for k, c in zip(self.kinds, self.clbits) if k == KIND_JUMP),
                             default=-1)
        self.loop_ends = [0] * loop_count
        for k, kind in enumerate(self.kinds):
            if kind == KIND_JUMP and self.fields[k] < k:
                loop = self.clbits[k]
                self.loop_ends[loop] = max(self.loop_ends[loop], k)
        self.limit = lowered.max_loop_iterations
        self.dropped = dropped
        self.shots = shots  # 0: exact
        self.rng = np.random.default_rng(seed) if shots else None
        self.segments: Dict[Tuple[int, int], _Segment] = {}
        self.programs: Dict[Tuple[int, ...], NDArray[np.uint8]] = {}
        self.state_bytes = 16 << lowered.num_qubits
        self.max_states = max(0, int(available_memory() * MEMORY_FRACTION) // self.state_bytes)

    # -- pieces ---------------------------------------------------------------------------------

    def segment(self, position: int, word: int) -> _Segment:
        """The gates that run from `position` under `word`, through jumps and set steps, and
        the next measurement or reset that runs (len(steps) for none)."""
        key = (position, word)
        found = self.segments.get(key)
        if found is not None:
            return found
        kinds = self.kinds
        chosen: List[int] = []
        events: List[Tuple[int, bool]] = []
        # Jumps taken so far under a word -> events before them: the word changes only at cuts
        # and set steps, so meeting one again under the same word repeats the stretch forever.
        seen: Dict[Tuple[int, int], int] = {}
        cycle: Optional[Events] = None
        end = len(kinds)
        i = position
        while i < end:
            if (word & self.cond_masks[i]) != self.cond_values[i] or self.dropped[i]:
                i += 1
                continue
            kind = kinds[i]
            if kind == KIND_GATE:
                chosen.append(i)
                i += 1
            elif kind == KIND_JUMP:
                at = seen.get((i, word))
                if at is not None:
                    cycle = tuple(events[at:])
                    del events[at:]
                    break
                seen[(i, word)] = len(events)
                to, loop = self.fields[i], self.clbits[i]
                if to < i:
                    events.append((loop, True))
                elif to > self.loop_ends[loop]:
                    events.append((loop, False))
                i = to
            elif kind == KIND_SET:
                bit = 1 << self.clbits[i]
                word = (word | bit) if self.fields[i] else (word & ~bit)
                i += 1
            else:
                break
        program = None
        if chosen and cycle is None:
            ids = tuple(chosen)
            program = self.programs.get(ids)
            if program is None:
                steps = self.steps[list(ids)].copy()
                steps["cond_mask"] = 0
                steps["cond_value"] = 0
                program = pack_program(steps, self.entries)
                self.programs[ids] = program
        found = _Segment(program, i, word, tuple(events), cycle)
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

    def past_limit(self, loop: int, branch: _Branch) -> ValueError:
        """The sampler's error for a loop past its limit, told of a branch, not a shot."""
        lowered = self.lowered
        name = lowered.loops[loop] if loop < len(lowered.loops) else str(loop)
        where = (f"in a branch that {branch.count} of the {self.shots} trajectories follow"
                 if self.shots else f"in a branch of probability {branch.weight:.3g}")
        # Trajectories seldom reach a light branch: a million of them reach one of 1e-6 once.
        hint = ("" if self.shots or branch.weight >= 1e-6 else
                ", or pass a positive precision: trajectories seldom reach so light a branch")
        return ValueError(
            f"circuit '{lowered.name}': while_loop '{name}' ran past {self.limit} iterations "
            f"{where}; raise max_loop_iterations (an argument of KorvelEstimator) if it should "
            f"run longer{hint}")

    def advance(self, branch: _Branch, segment: _Segment) -> None:
        """Counts the segment's loop events on the branch, raising past the limit."""
        counts = list(branch.loops)
        limit = self.limit

        def run(events: Events) -> None:
            for loop, iteration in events:
                if not iteration:
                    counts[loop] = 0
                    continue
                counts[loop] += 1
                if counts[loop] > limit:
                    raise self.past_limit(loop, branch)

        run(segment.events)
        cycle = segment.cycle
        if cycle is None:
            branch.loops = tuple(counts)
            return
        # The stretch repeats without end. From its second pass on, a loop it sets back starts
        # every pass at the same count, so does the same; the others grow by their iterations
        # per pass. Two passes, then skip the passes none of those can reach the limit in.
        run(cycle)
        run(cycle)
        reset = {loop for loop, iteration in cycle if not iteration}
        growth: Dict[int, int] = {}
        for loop, iteration in cycle:
            if iteration and loop not in reset:
                growth[loop] = growth.get(loop, 0) + 1
        # The last backward jump of the cycle in program order belongs to a loop it never sets
        # back (the runner's argument that every shot ends), so `growth` is never empty.
        assert growth, "a jump cycle that sets every loop back"
        skipped = min((limit - counts[loop]) // step for loop, step in growth.items())
        for loop, step in growth.items():
            counts[loop] += skipped * step
        for _ in range(2):
            run(cycle)
        raise AssertionError("a jump cycle that never reaches the iteration limit")

    # -- the walk -------------------------------------------------------------------------------

    def resume(self, waiting: List[Any]) -> Tuple[Any, _Branch]:
        """The last waiting branch as (state, branch)."""
        amplitudes, (qubit, outcome, reset), branch = waiting.pop()
        state = _runner().state_from_amplitudes(amplitudes)
        del amplitudes
        state.run(self.projector(qubit, outcome, reset))
        return state, branch

    def order(self, followed: List[int], position: int, words: List[int]) -> List[int]:
        """The outcomes in the order to follow them: as they come without jumps; with jumps,
        the one whose next cut is later first (a loop's exit before its next iteration)."""
        if len(followed) < 2 or not self.loop_ends:
            return followed
        later = []
        for outcome in followed:
            segment = self.segment(position, words[outcome])
            # A branch that cycles without a cut meets the limit: first, to fail early.
            later.append(len(self.kinds) + 1 if segment.cycle is not None else segment.stop)
        return [1, 0] if later[1] > later[0] else [0, 1]

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
        end = len(self.kinds)
        # Waiting branches: (amplitudes, projection (qubit, outcome, reset), branch).
        waiting: List[Tuple[NDArray[np.complex128], Tuple[int, int, bool], _Branch]] = []
        state = None
        branch = _Branch(0, 0, 1.0, self.shots, (0,) * len(self.loop_ends))
        leaves = 0
        while True:
            segment = self.segment(branch.position, branch.word)
            self.advance(branch, segment)
            program, stop, word = segment.program, segment.stop, segment.word
            if state is None:
                state = runner.simulate(n, program if program is not None else
                                        ProgramBuilder().program(), fusion=fusion)
            elif program is not None:
                state.run(program, fusion=fusion)
            if stop == end:
                leaves += 1
                values = np.asarray(state.expectation_values(x_masks, z_masks), dtype=np.float64)
                if self.shots:
                    total += values * (branch.count / (self.shots * branch.weight))
                else:
                    total += values
                state = None
                if not waiting:
                    return total
                state, branch = self.resume(waiting)
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
                counts[0] = int(self.rng.binomial(branch.count, min(1.0, max(0.0, split))))
                counts[1] = branch.count - counts[0]
                followed = [o for o in (0, 1) if counts[o] and weights[o] > 0.0]
            else:
                followed = [o for o in (0, 1) if weights[o] > NEGLIGIBLE_WEIGHT]
            if not followed:
                # Only rounding residue is left on this branch: it weighs nothing.
                state = None
                if not waiting:
                    return total
                state, branch = self.resume(waiting)
                continue
            words = [word, word]
            if not reset:
                bit = 1 << self.clbits[stop]
                words = [word & ~bit, word | bit]
            followed = self.order(followed, stop + 1, words)
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
                later = followed[1]
                waiting.append((state.amplitudes(), (qubit, later, reset),
                                _Branch(stop + 1, words[later], weights[later], counts[later],
                                        branch.loops)))
            outcome = followed[0]
            state.run(self.projector(qubit, outcome, reset))
            branch = _Branch(stop + 1, words[outcome], weights[outcome], counts[outcome],
                             branch.loops)


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
