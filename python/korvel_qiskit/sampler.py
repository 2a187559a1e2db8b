"""KorvelSampler: a native Qiskit BaseSamplerV2 with one BitArray per classical register."""

from __future__ import annotations

import warnings
from concurrent.futures import Executor
from dataclasses import dataclass
from typing import Any, Iterable, List, Optional, Sequence, Tuple, Union

import numpy as np
from numpy.typing import NDArray
from qiskit.primitives import BaseSamplerV2
from qiskit.primitives.containers import BitArray, DataBin, PrimitiveResult, SamplerPubResult
from qiskit.primitives.containers.sampler_pub import SamplerPub, SamplerPubLike
from qiskit.primitives.primitive_job import PrimitiveJob

from .execution import (
    Batch,
    Words,
    PrimitiveSeed,
    as_executor,
    check_fusion,
    check_primitive_seed,
    check_shots,
    chunk_bounds,
    derived_seeds,
    run_seed,
    sample_task,
)
from korvel_programs import DEFAULT_MAX_LOOP_ITERATIONS

from .lowering import LoweredCircuit, check_loop_limit, lower


@dataclass
class _Prepared:
    pub: SamplerPub
    lowered: LoweredCircuit
    fields: Optional[NDArray[np.complex128]]  # (B, E) matrix entries of every binding
    bindings: int


def bind_values(lowered: LoweredCircuit, parameter_values: Any, size: int
                ) -> Optional[NDArray[np.complex128]]:
    """Matrix fields of every binding of a pub, or None for a circuit without parameters."""
    if not lowered.parameters:
        return None
    values = np.asarray(parameter_values.as_array(lowered.parameters), dtype=np.float64)
    values = values.reshape(size, len(lowered.parameters))
    # A NaN or infinite value, or a finite one that overflows in a gate's formula, would reach
    # the runner as a non-finite matrix entry of some lowered step: refused here by parameter.
    finite = np.isfinite(values)
    if not finite.all():
        row, column = (int(i) for i in np.argwhere(~finite)[0])
        raise ValueError(f"parameter '{lowered.parameters[column].name}' of binding "
                         f"{_binding_index(parameter_values, row)} is {values[row, column]}; "
                         "parameter values must be finite")
    with np.errstate(over="ignore", invalid="ignore"):
        fields = lowered.matrix_fields(values)
    finite_rows = np.isfinite(fields).all(axis=1)
    if not finite_rows.all():
        row = int(np.argmin(finite_rows))
        named = ", ".join(f"{p.name}={v!r}" for p, v in zip(lowered.parameters, values[row].tolist()))
        raise ValueError(f"the values of binding {_binding_index(parameter_values, row)} ({named}) "
                         "overflow in a gate's matrix")
    return fields


def _binding_index(parameter_values: Any, row: int) -> Tuple[int, ...]:
    """The position of flat binding `row` in the pub's parameter shape."""
    return tuple(int(i) for i in np.unravel_index(row, parameter_values.shape))


class KorvelSampler(BaseSamplerV2):
    """Samples circuits on korvel's circuit runner.

    Each circuit is lowered once per pub; every binding of its parameter values patches the
    matrices of the lowered program. A circuit whose measurements are all final is simulated
    once per binding and its shots drawn from the final state; one that measures, resets or
    branches mid-way runs shot by shot.

    Args:
        default_shots: shots of a pub that does not name its own.
        seed: None for fresh entropy on every run; an integer: the same pubs then give the
            same bits on every run, whatever the executor; or a numpy.random.Generator, drawn
            from once per run: the same generator state gives the same bits.
        executor: a concurrent.futures Executor or a dask.distributed Client that receives
            the circuits and runs of bindings; None runs them here (the runner itself uses
            every core for one circuit).
        fusion: merge runs of gates into steps on up to two qubits (diagonal ones on up to
            five) where that is cheaper (a deterministic plan: the same bits every run, equal
            to the unfused gates to rounding); False runs every instruction as its own step
            with its exact matrix.
        max_loop_iterations: a shot that goes round one while_loop more often in a row
            stops the run with an error naming the loop.
    """

    def __init__(self, *, default_shots: int = 1024, seed: PrimitiveSeed = None,
                 executor: Union[Executor, Any, None] = None, fusion: bool = True,
                 max_loop_iterations: int = DEFAULT_MAX_LOOP_ITERATIONS) -> None:
        self._default_shots = check_shots(default_shots)
        self._fusion = check_fusion(fusion)
        self._max_loop_iterations = check_loop_limit(max_loop_iterations)
        self._seed = check_primitive_seed(seed)
        self._executor = as_executor(executor)

    @property
    def default_shots(self) -> int:
        return self._default_shots

    @property
    def seed(self) -> PrimitiveSeed:
        return self._seed

    def run(self, pubs: Iterable[SamplerPubLike], *, shots: Optional[int] = None
            ) -> PrimitiveJob[PrimitiveResult[SamplerPubResult]]:
        if shots is None:
            shots = self._default_shots
        check_shots(shots)
        coerced = [SamplerPub.coerce(pub, shots) for pub in pubs]
        for pub in coerced:
            if not pub.circuit.cregs:
                warnings.warn(f"circuit '{pub.circuit.name}' has no classical registers, so its "
                              "result is empty; did you mean to measure it?", UserWarning,
                              stacklevel=2)
        prepared = []
        for pub in coerced:
            check_shots(pub.shots)
            lowered = lower(pub.circuit, fuse=self._fusion,
                            max_loop_iterations=self._max_loop_iterations)
            size = int(np.prod(pub.shape, dtype=np.int64))
            prepared.append(_Prepared(pub, lowered, bind_values(lowered, pub.parameter_values,
                                                                size), size))
        # Drawn here, not in the job's thread, so runs take a generator's draws in call order.
        seed = run_seed(self._seed)
        job: PrimitiveJob[PrimitiveResult[SamplerPubResult]] = PrimitiveJob(
            self._run, prepared, seed)
        job._submit()
        return job

    def _run(self, prepared: List[_Prepared], seed: Optional[int]
             ) -> PrimitiveResult[SamplerPubResult]:
        batch = Batch(self._executor)
        tasks: List[List[int]] = []
        for key, item in enumerate(prepared):
            seeds = derived_seeds(seed, key, item.bindings)
            ids = []
            for start, stop in chunk_bounds(item.lowered, item.bindings, batch.spread):
                fields = None if item.fields is None else item.fields[start:stop]
                ids.append(batch.add(sample_task, item.lowered, fields, seeds[start:stop],
                                     item.pub.shots))
            tasks.append(ids)
        outputs = batch.results()
        results = []
        for item, ids in zip(prepared, tasks):
            # As one array even when a sweep has no bindings at all.
            words = np.asarray([w for i in ids for w in outputs[i]], dtype=np.uint64).reshape(
                item.pub.shape + (item.pub.shots,))
            results.append(_pub_result(item, words))
        return PrimitiveResult(results, metadata={"version": 2})


def register_bytes(lowered: LoweredCircuit, words: Words, clbits: Sequence[int]
                   ) -> Tuple[NDArray[np.uint8], int]:
    """Packed big-endian bytes of one register per shot, as BitArray keeps them."""
    num_bits = len(clbits)
    num_bytes = (num_bits + 7) // 8
    slots = [lowered.clbit_slots[c] for c in clbits]
    one = np.uint64(1)
    if num_bits <= 64:
        value = np.zeros(words.shape, dtype=np.uint64)
        for position, slot in enumerate(slots):
            if slot >= 0:
                value |= ((words >> np.uint64(slot)) & one) << np.uint64(position)
        packed = value.astype(">u8").view(np.uint8).reshape(words.shape + (8,))
        return np.ascontiguousarray(packed[..., 8 - num_bytes:]), num_bits
    bits = np.zeros(words.shape + (num_bytes * 8,), dtype=np.uint8)
    for position, slot in enumerate(slots):
        if slot >= 0:
            bits[..., num_bytes * 8 - 1 - position] = (words >> np.uint64(slot)) & one
    return np.packbits(bits, axis=-1), num_bits


def _pub_result(item: _Prepared, words: Words) -> SamplerPubResult:
    arrays = {}
    for name, clbits in item.lowered.registers:
        packed, num_bits = register_bytes(item.lowered, words, clbits)
        arrays[name] = BitArray(packed, num_bits)
    return SamplerPubResult(
        DataBin(**arrays, shape=item.pub.shape),
        metadata={"shots": item.pub.shots, "circuit_metadata": item.pub.circuit.metadata},
    )


__all__ = ["KorvelSampler"]
