"""Running lowered circuits on the runner, inline or spread over an executor.

Work is cut into tasks, each a lowered circuit with a run of parameter bindings; a task is a
plain module-level function call with picklable arguments, so any concurrent.futures
executor (processes included) and a dask.distributed Client can run it. Seeds are derived
per binding from the caller's seed, so results do not depend on how the work was cut.
"""

from __future__ import annotations

import math
import re
from concurrent.futures import Executor
from typing import Any, Callable, List, Optional, Sequence, Tuple, Union

import numpy as np
from numpy.typing import NDArray

from .lowering import LoweredCircuit

Words = NDArray[np.uint64]

# A task should hold at least this many amplitude updates (2^n amplitudes times steps, summed
# over its bindings), some 20 ms of work on two cores: a round trip of a task with a 2000-step
# program through a two-process pool measured 3.4 ms here (loaded machine), so smaller tasks
# would spend much of their time in transit.
TASK_MIN_WORK = 1 << 24

MAX_SHOTS = (1 << 63) - 1


def _runner() -> Any:
    import korvel_runner

    return korvel_runner


def check_shots(shots: object) -> int:
    if isinstance(shots, bool) or not isinstance(shots, (int, np.integer)):
        raise TypeError(f"shots must be an integer, got {shots!r}")
    if shots < 1:
        raise ValueError(f"shots must be at least 1, got {shots}")
    # The runner's bound, checked here too: circuits that measure nothing never reach it.
    if shots > MAX_SHOTS:
        raise ValueError(f"shots must be at most 2**63 - 1, got {shots}")
    return int(shots)


# A primitive's seed as Qiskit's reference primitives take it.
PrimitiveSeed = Union[int, np.random.Generator, None]


def check_fusion(fusion: object) -> bool:
    if not isinstance(fusion, (bool, np.bool_)):
        raise TypeError(f"fusion must be True or False, got {fusion!r}")
    return bool(fusion)


def check_seed(seed: object) -> Optional[int]:
    if seed is None:
        return None
    if isinstance(seed, bool) or not isinstance(seed, (int, np.integer)):
        raise TypeError(f"seed must be an integer or None, got {seed!r}")
    if seed < 0 or seed >= 1 << 64:
        raise ValueError(f"seed must be between 0 and 2**64 - 1, got {seed}")
    return int(seed)


def check_primitive_seed(seed: object) -> PrimitiveSeed:
    if isinstance(seed, np.random.Generator):
        return seed
    if isinstance(seed, bool) or not isinstance(seed, (int, np.integer, type(None))):
        raise TypeError(f"seed must be an integer, a numpy.random.Generator or None, got "
                        f"{seed!r}")
    return check_seed(seed)


def run_seed(seed: PrimitiveSeed) -> Optional[int]:
    """The seed of one run. A generator is drawn from, as Qiskit's reference primitives draw
    from it: the same generator state gives the same results, and each run moves it on."""
    if isinstance(seed, np.random.Generator):
        return int(seed.integers(0, 1 << 64, dtype=np.uint64))
    return seed


def derived_seeds(seed: Optional[int], key: int, count: int) -> List[Optional[int]]:
    """One seed per binding, from the caller's seed and the circuit's position `key`."""
    if seed is None:
        return [None] * count
    state = np.random.SeedSequence([seed, key]).generate_state(count, np.uint64)
    return [int(s) for s in state]


# -- tasks (run wherever the executor puts them) -----------------------------------------------


def _final_words(lowered: LoweredCircuit, outcomes: NDArray[np.uint64]) -> Words:
    """Basis-state indices -> words: the qubits no classical bit receives are cleared."""
    measured = lowered.measured_qubits
    if measured == (1 << lowered.num_qubits) - 1:
        return outcomes
    return outcomes & np.uint64(measured)


def _copied_words(lowered: LoweredCircuit, words: Words) -> Words:
    """Applies the lowering's copies: each sets its slot to the bit its readout selects."""
    if not lowered.copies:
        return words
    out = words.copy()
    one = np.uint64(1)
    for slot, readout in lowered.copies:
        bit = np.zeros(words.shape, dtype=np.uint64)
        for mask, value, source in readout:
            holds = (words & np.uint64(mask)) == np.uint64(value)
            bit |= np.where(holds, (words >> np.uint64(source)) & one, np.uint64(0))
        out = (out & ~(one << np.uint64(slot))) | (bit << np.uint64(slot))
    return out


def _run_shots(lowered: LoweredCircuit, program: NDArray[np.uint8], shots: int,
               seed: Optional[int]) -> Words:
    try:
        words = _runner().run_shots(lowered.num_qubits, lowered.num_clbits, program, shots, seed,
                                    fusion=lowered.fusion,
                                    max_loop_iterations=lowered.max_loop_iterations)
    except ValueError as error:
        # The runner numbers its loops; the circuit's reader knows them by name.
        found = re.match(r"loop (\d+) ran past (\d+) iterations in shot (\d+)$", str(error))
        if found is None or int(found.group(1)) >= len(lowered.loops):
            raise
        raise ValueError(
            f"circuit '{lowered.name}': while_loop '{lowered.loops[int(found.group(1))]}' ran past "
            f"{found.group(2)} iterations in shot {found.group(3)}; raise max_loop_iterations "
            "(an option of KorvelBackend, an argument of KorvelSampler) if it should run "
            "longer") from None
    words = _copied_words(lowered, np.asarray(words, dtype=np.uint64))
    # Slots that hold no circuit bit at the end (fresh ones) are cleared, so that equal
    # classical results give equal words.
    kept = 0
    for slot in lowered.clbit_slots:
        if slot >= 0:
            kept |= 1 << slot
    return words if kept == (1 << lowered.num_clbits) - 1 else words & np.uint64(kept)


def sample_task(lowered: LoweredCircuit, fields: Optional[NDArray[np.complex128]],
                seeds: Sequence[Optional[int]], shots: int) -> List[Words]:
    """Per binding: one classical word per shot, in draw order."""
    runner = _runner()
    out = []
    for row, seed in enumerate(seeds):
        program = lowered.program(None if fields is None else fields[row])
        if lowered.sampled_from_final_state:
            if len(lowered.final_qubits) == 0:  # type: ignore[arg-type]
                out.append(np.zeros(shots, dtype=np.uint64))
                continue
            state = runner.simulate(lowered.num_qubits, program, fusion=lowered.fusion)
            out.append(_final_words(lowered, state.sample(shots, seed)))
        else:
            out.append(_run_shots(lowered, program, shots, seed))
    return out


def count_task(lowered: LoweredCircuit, fields: Optional[NDArray[np.complex128]],
               seeds: Sequence[Optional[int]], shots: int) -> List[Tuple[Words, NDArray[np.uint64]]]:
    """Per binding: (distinct classical words, how often each was drawn)."""
    runner = _runner()
    out = []
    for row, seed in enumerate(seeds):
        program = lowered.program(None if fields is None else fields[row])
        if lowered.sampled_from_final_state and len(lowered.final_qubits) == 0:  # type: ignore
            out.append((np.zeros(1, dtype=np.uint64), np.array([shots], dtype=np.uint64)))
            continue
        if lowered.sampled_from_final_state:
            state = runner.simulate(lowered.num_qubits, program, fusion=lowered.fusion)
            outcomes, counts = state.sample_counts(shots, seed)
            words = _final_words(lowered, np.asarray(outcomes, dtype=np.uint64))
            if lowered.measured_qubits == (1 << lowered.num_qubits) - 1:
                # Distinct outcomes give distinct words: nothing to merge.
                out.append((words, np.asarray(counts, dtype=np.uint64)))
                continue
        else:
            words = _run_shots(lowered, program, shots, seed)
            counts = np.ones(words.shape, dtype=np.uint64)
        distinct, inverse = np.unique(words, return_inverse=True)
        # Summed as integers: bincount's float weights round counts above 2^53.
        totals = np.zeros(len(distinct), dtype=np.uint64)
        np.add.at(totals, inverse.ravel(), np.asarray(counts, dtype=np.uint64))
        out.append((distinct, totals))
    return out


def expectation_task(lowered: LoweredCircuit, fields: Optional[NDArray[np.complex128]],
                     masks: Sequence[Tuple[NDArray[np.uint64], NDArray[np.uint64]]]
                     ) -> List[NDArray[np.float64]]:
    """Per binding: <psi|P|psi> for the Pauli strings (x masks, z masks) given for it."""
    runner = _runner()
    out = []
    for row, (x_masks, z_masks) in enumerate(masks):
        if len(x_masks) == 0:
            out.append(np.zeros(0, dtype=np.float64))
            continue
        program = lowered.program(None if fields is None else fields[row])
        state = runner.simulate(lowered.num_qubits, program, fusion=lowered.fusion)
        out.append(np.asarray(state.expectation_values(x_masks, z_masks), dtype=np.float64))
    return out


# -- spreading ---------------------------------------------------------------------------------


def as_executor(executor: object) -> Optional[Executor]:
    """An Executor, or the executor view of a dask.distributed Client."""
    if executor is None or isinstance(executor, Executor):
        return executor
    get_executor = getattr(executor, "get_executor", None)
    if callable(get_executor):
        # Tasks with the same arguments but no seed must still draw afresh, so no caching by
        # argument hash.
        return get_executor(pure=False)  # type: ignore[no-any-return]
    raise TypeError("executor must be a concurrent.futures.Executor or a dask.distributed "
                    f"Client, got {type(executor).__name__}")


def chunk_bounds(lowered: LoweredCircuit, bindings: int, spread: bool) -> List[Tuple[int, int]]:
    """Runs of bindings per task: all in one inline; enough work per task when spread."""
    if not spread or bindings <= 1:
        return [(0, bindings)]
    work = (1 << lowered.num_qubits) * max(1, len(lowered.steps))
    per_task = max(1, math.ceil(TASK_MIN_WORK / work))
    return [(start, min(bindings, start + per_task)) for start in range(0, bindings, per_task)]


class Batch:
    """Collects tasks, runs them inline or on an executor, and hands back results in order."""

    def __init__(self, executor: Optional[Executor]) -> None:
        self.executor = executor
        self.pending: List[Any] = []

    @property
    def spread(self) -> bool:
        return self.executor is not None

    def add(self, function: Callable[..., List[Any]], *arguments: Any) -> int:
        if self.executor is None:
            self.pending.append(function(*arguments))
        else:
            self.pending.append(self.executor.submit(function, *arguments))
        return len(self.pending) - 1

    def done(self) -> bool:
        return self.executor is None or all(future.done() for future in self.pending)

    def results(self) -> List[List[Any]]:
        if self.executor is None:
            return self.pending
        return [future.result() for future in self.pending]
