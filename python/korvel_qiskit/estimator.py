"""KorvelEstimator: a native Qiskit BaseEstimatorV2 with exact Pauli expectation values."""

from __future__ import annotations

from concurrent.futures import Executor
from dataclasses import dataclass
from typing import Any, Dict, Iterable, List, Optional, Tuple, Union

import numpy as np
from numpy.typing import NDArray
from qiskit.primitives import BaseEstimatorV2
from qiskit.primitives.containers import DataBin, PrimitiveResult, PubResult
from qiskit.primitives.containers.estimator_pub import EstimatorPub, EstimatorPubLike
from qiskit.primitives.primitive_job import PrimitiveJob
from qiskit.quantum_info import SparsePauliOp

from .execution import (
    Batch,
    PrimitiveSeed,
    as_executor,
    check_fusion,
    check_primitive_seed,
    chunk_bounds,
    derived_seeds,
    expectation_task,
    run_seed,
)
from korvel_programs import DEFAULT_MAX_LOOP_ITERATIONS

from .branches import branch_task, trajectory_count
from .lowering import LoweredCircuit, check_loop_limit, lower
from .sampler import bind_values

Masks = Tuple[NDArray[np.uint64], NDArray[np.uint64]]


@dataclass
class _Prepared:
    pub: EstimatorPub
    lowered: LoweredCircuit
    fields: Optional[NDArray[np.complex128]]
    binding_of: NDArray[np.intp]      # per result position: its binding
    observable_of: NDArray[np.intp]   # per result position: its observable
    terms: List[Tuple[NDArray[np.intp], NDArray[np.float64]]]  # per observable
    masks: List[Masks]                # per binding: the Pauli strings it needs
    columns: List[Dict[int, int]]     # per binding: term -> position in its masks
    spans: List[float]                # per observable: sum of |coefficients| off the identity


def _observable_terms(observables: Any, qubit_slots: Tuple[int, ...]
                      ) -> Tuple[List[Tuple[NDArray[np.intp], NDArray[np.float64]]], Masks]:
    """Distinct Pauli strings of all observables over the simulated qubits, and per observable
    (term ids, coefficients).

    A qubit the circuit never acts on stays |0>: Z reads +1 there and drops out of the string,
    and a string with X or Y there reads 0 and is left out.
    """
    active = [q for q, slot in sorted(enumerate(qubit_slots), key=lambda p: p[1]) if slot >= 0]
    dropped = [q for q, slot in enumerate(qubit_slots) if slot < 0]
    weights = np.uint64(1) << np.arange(len(active), dtype=np.uint64)
    index: Dict[Tuple[int, int], int] = {}
    per_observable = []
    for observable in observables.ravel().tolist():
        if not observable:
            per_observable.append((np.zeros(0, dtype=np.intp), np.zeros(0)))
            continue
        operator = SparsePauliOp(list(observable.keys()), list(observable.values()))
        kept = ~operator.paulis.x[:, dropped].any(axis=1)
        paulis = operator.paulis[kept]
        x = (paulis.x[:, active].astype(np.uint64) * weights).sum(axis=1, dtype=np.uint64)
        z = (paulis.z[:, active].astype(np.uint64) * weights).sum(axis=1, dtype=np.uint64)
        # Labels carry their phase in the Pauli; fold it into the coefficient.
        coefficients = operator.coeffs[kept] * (-1j) ** paulis.phase
        ids = [index.setdefault((int(a), int(b)), len(index)) for a, b in zip(x, z)]
        per_observable.append((np.array(ids, dtype=np.intp), np.real(coefficients)))
    table = np.array(list(index), dtype=np.uint64).reshape(-1, 2)
    return per_observable, (table[:, 0].copy(), table[:, 1].copy())


def bind_pub(pub: EstimatorPub, lowered: LoweredCircuit, taker: str, dynamic: bool = False
             ) -> Tuple[int, Optional[NDArray[np.complex128]], NDArray[np.intp], NDArray[np.intp]]:
    """A pub's binding count, matrix fields, and per result position its binding and its
    observable (broadcast to the pub's shape). `taker` names what refuses non-unitary circuits;
    with `dynamic`, only circuits that measure, reset or branch mid-way are let through."""
    if not lowered.is_unitary and not dynamic:
        raise ValueError(f"circuit '{pub.circuit.name}' measures, resets or branches; the "
                         f"{taker} takes circuits of gates only (remove the measurements)")
    parameter_shape = pub.parameter_values.shape
    bindings = int(np.prod(parameter_shape, dtype=np.int64))
    fields = bind_values(lowered, pub.parameter_values, bindings)
    binding_of = np.broadcast_to(np.arange(bindings).reshape(parameter_shape), pub.shape).ravel()
    observables = pub.observables
    observable_of = np.broadcast_to(
        np.arange(observables.size).reshape(observables.shape), pub.shape).ravel()
    return bindings, fields, binding_of, observable_of


class KorvelEstimator(BaseEstimatorV2):
    """Exact expectation values of SparsePauliOp observables on korvel's circuit runner.

    Each parameter binding is simulated once and every Pauli string its observables need is
    evaluated on the final state in place. With a precision above 0, the exact values are
    perturbed by normal noise of that standard deviation, emulating a finite shot count.

    Final measurements are dropped: observables read the state before them. A circuit that
    measures, resets or branches mid-way gets, with precision 0, the exact value: the average
    over its measurement outcomes weighted by their probabilities, from every branch of
    non-zero weight (korvel_qiskit.branches has the budget of branches and memory). With a
    precision above 0 it is the mean over seeded trajectories, ceil(s^2 / precision^2) of them
    for s the largest sum of |coefficients| (identity left out) among the pub's observables,
    so the standard error is at most the precision that `stds` reports.

    A while_loop is followed branch by branch: each branch goes round it as often as its
    measurement outcomes say, so a repeat-until-success loop contributes every round of
    non-negligible weight (korvel_qiskit.branches says what exactness means there).

    Args:
        default_precision: precision of a pub that does not name its own (0: exact).
        seed: seeds the emulated shot noise: None draws fresh noise on every run, an integer
            the same noise on every run, and a numpy.random.Generator is drawn from once per
            run (the same generator state gives the same noise).
        executor: a concurrent.futures Executor or a dask.distributed Client that receives
            the circuits and runs of bindings; None runs them here.
        fusion: merge runs of gates into steps on up to two qubits (diagonal ones on up to
            five) where that is cheaper (a deterministic plan: the same bits every run, equal
            to the unfused gates to rounding); False runs every instruction as its own step
            with its exact matrix.
        max_loop_iterations: a branch (exact) or trajectory that goes round one while_loop
            more often in a row stops the run with an error naming the loop.
    """

    def __init__(self, *, default_precision: float = 0.0, seed: PrimitiveSeed = None,
                 executor: Union[Executor, Any, None] = None, fusion: bool = True,
                 max_loop_iterations: int = DEFAULT_MAX_LOOP_ITERATIONS) -> None:
        self._fusion = check_fusion(fusion)
        self._max_loop_iterations = check_loop_limit(max_loop_iterations)
        if not default_precision >= 0:
            raise ValueError(f"default_precision must be at least 0, got {default_precision}")
        self._default_precision = float(default_precision)
        self._seed = check_primitive_seed(seed)
        self._executor = as_executor(executor)

    @property
    def default_precision(self) -> float:
        return self._default_precision

    @property
    def seed(self) -> PrimitiveSeed:
        return self._seed

    def run(self, pubs: Iterable[EstimatorPubLike], *, precision: Optional[float] = None
            ) -> PrimitiveJob[PrimitiveResult[PubResult]]:
        if precision is None:
            precision = self._default_precision
        prepared = [self._prepare(EstimatorPub.coerce(pub, precision)) for pub in pubs]
        # Drawn here, not in the job's thread, so runs take a generator's draws in call order.
        seed = run_seed(self._seed)
        job: PrimitiveJob[PrimitiveResult[PubResult]] = PrimitiveJob(self._run, prepared, seed)
        job._submit()
        return job

    def _prepare(self, pub: EstimatorPub) -> _Prepared:
        lowered = lower(pub.circuit, fuse=self._fusion,
                        max_loop_iterations=self._max_loop_iterations)
        bindings, fields, binding_of, observable_of = bind_pub(pub, lowered, "estimator",
                                                               dynamic=True)
        terms, (x_all, z_all) = _observable_terms(pub.observables, lowered.qubit_slots)
        identity = (x_all == 0) & (z_all == 0)
        spans = [float(np.abs(coefficients[~identity[ids]]).sum()) for ids, coefficients in terms]
        needed: List[set] = [set() for _ in range(bindings)]
        for b, o in zip(binding_of.tolist(), observable_of.tolist()):
            needed[b].update(terms[o][0].tolist())
        masks, columns = [], []
        for wanted in needed:
            ids = np.array(sorted(wanted), dtype=np.intp)
            masks.append((x_all[ids], z_all[ids]))
            columns.append({t: i for i, t in enumerate(ids.tolist())})
        return _Prepared(pub, lowered, fields, binding_of, observable_of, terms, masks, columns,
                         spans)

    def _run(self, prepared: List[_Prepared], seed: Optional[int]) -> PrimitiveResult[PubResult]:
        batch = Batch(self._executor)
        tasks = []
        for item in prepared:
            ids = []
            dynamic = not item.lowered.sampled_from_final_state
            precision = float(item.pub.precision)
            shots = trajectory_count(item.spans, precision) if dynamic and precision > 0 else 0
            # Every pub draws from the run's seed afresh, as the noise below does.
            seeds = derived_seeds(seed, 0, len(item.masks)) if shots else [None] * len(item.masks)
            for start, stop in chunk_bounds(item.lowered, len(item.masks), batch.spread):
                fields = None if item.fields is None else item.fields[start:stop]
                if dynamic:
                    ids.append(batch.add(branch_task, item.lowered, fields,
                                         item.masks[start:stop], [shots] * (stop - start),
                                         seeds[start:stop]))
                else:
                    ids.append(batch.add(expectation_task, item.lowered, fields,
                                         item.masks[start:stop]))
            tasks.append((ids, shots))
        outputs = batch.results()
        results = []
        for item, (ids, shots) in zip(prepared, tasks):
            values = [v for i in ids for v in outputs[i]]
            evs = np.empty(len(item.binding_of), dtype=np.float64)
            for position, (b, o) in enumerate(zip(item.binding_of.tolist(),
                                                  item.observable_of.tolist())):
                term_ids, coefficients = item.terms[o]
                column = item.columns[b]
                picked = values[b][[column[t] for t in term_ids.tolist()]]
                evs[position] = float(np.dot(coefficients, picked))
            evs = evs.reshape(item.pub.shape)
            precision = float(item.pub.precision)
            stds = np.full(item.pub.shape, precision, dtype=np.float64)
            if precision > 0 and not shots and item.lowered.sampled_from_final_state:
                # As an array even for a pub of shape (): normal() gives a float there.
                # Each pub draws from the run's seed afresh, as Qiskit's reference does: equal
                # pubs give equal estimates.
                rng = np.random.default_rng(seed)
                evs = np.asarray(rng.normal(evs, precision), dtype=np.float64)
            metadata = {"target_precision": precision,
                        "circuit_metadata": item.pub.circuit.metadata}
            if shots:
                metadata["shots"] = shots
            results.append(PubResult(DataBin(evs=np.asarray(evs, dtype=np.float64), stds=stds,
                                             shape=item.pub.shape), metadata=metadata))
        return PrimitiveResult(results, metadata={"version": 2})


__all__ = ["KorvelEstimator"]
