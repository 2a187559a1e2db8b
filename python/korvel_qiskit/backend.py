"""KorvelBackend: a Qiskit BackendV2 whose run() returns counts and memory in Qiskit's format."""

from __future__ import annotations

import threading
import uuid
from concurrent.futures import Executor
from typing import Any, Callable, Dict, List, Optional, Sequence, Union, cast

import numpy as np
from qiskit.circuit import QuantumCircuit
from qiskit.providers import BackendV2, JobStatus, JobV1, Options
from qiskit.result import Result

from . import __version__
from .execution import (
    Batch,
    Words,
    as_executor,
    check_seed,
    check_shots,
    count_task,
    derived_seeds,
    sample_task,
)
from .lowering import MAX_QUBITS, LoweredCircuit, lower, lowering_target, unbound_parameters_error


class KorvelJob(JobV1):
    """A job of KorvelBackend; its result is gathered from the executor on first request."""

    def __init__(self, backend: "KorvelBackend", job_id: str, batch: Batch,
                 finish: Callable[[], Result]) -> None:
        super().__init__(backend, job_id)
        self._batch = batch
        self._finish: Optional[Callable[[], Result]] = finish
        self._result: Optional[Result] = None
        self._lock = threading.Lock()

    def submit(self) -> None:
        """The work was handed out when the backend's run() created the job."""

    def result(self) -> Result:
        with self._lock:
            if self._result is None:
                assert self._finish is not None
                self._result = self._finish()
                self._finish = None
            return self._result

    def status(self) -> JobStatus:
        if self._result is not None or self._batch.done():
            return JobStatus.DONE
        return JobStatus.RUNNING

    def cancel(self) -> None:
        raise NotImplementedError("korvel jobs cannot be cancelled")


class KorvelBackend(BackendV2):
    """Exact state-vector simulation of Qiskit circuits on korvel's circuit runner.

    Circuits run as they are: anything beyond one-qubit gates, controlled one-qubit gates,
    measure, reset and if_else is decomposed once per circuit. Options: ``shots`` (1024),
    ``memory`` (False: per-shot results as hex strings), ``seed_simulator`` (None: fresh
    entropy). ``executor`` spreads the circuits over any concurrent.futures Executor or a
    dask.distributed Client.
    """

    def __init__(self, *, executor: Union[Executor, Any, None] = None, **options: Any) -> None:
        super().__init__(name="korvel", description="korvel exact state-vector simulator",
                         backend_version=__version__)
        self._executor = as_executor(executor)
        self._target = lowering_target(MAX_QUBITS)
        if options:
            self.set_options(**options)

    @classmethod
    def _default_options(cls) -> Options:
        return Options(shots=1024, memory=False, seed_simulator=None)

    @property
    def target(self) -> Any:
        return self._target

    @property
    def max_circuits(self) -> None:
        return None

    def run(self, run_input: Union[QuantumCircuit, Sequence[QuantumCircuit]],
            **options: Any) -> KorvelJob:
        unknown = set(options) - set(self.options.__dict__)
        if unknown:
            raise ValueError(f"unknown run options: {', '.join(sorted(unknown))}; korvel "
                             "accepts shots, memory and seed_simulator")
        merged = {**self.options.__dict__, **options}
        shots = check_shots(merged["shots"])
        seed = check_seed(merged["seed_simulator"])
        memory = bool(merged["memory"])
        circuits = [run_input] if isinstance(run_input, QuantumCircuit) else list(run_input)
        lowered = []
        for circuit in circuits:
            if not isinstance(circuit, QuantumCircuit):
                raise TypeError(f"KorvelBackend runs QuantumCircuit objects, got "
                                f"{type(circuit).__name__}")
            if circuit.parameters:
                raise unbound_parameters_error(circuit)
            lowered.append(lower(circuit))
        batch = Batch(self._executor)
        task = sample_task if memory else count_task
        for index, item in enumerate(lowered):
            batch.add(task, item, None, derived_seeds(seed, index, 1), shots)
        job_id = str(uuid.uuid4())

        def finish() -> Result:
            outputs = batch.results()
            experiments = [
                _experiment(circuit, item, output[0], shots, memory, seed)
                for circuit, item, output in zip(circuits, lowered, outputs)]
            return Result.from_dict({
                "backend_name": self.name, "backend_version": self.backend_version,
                "job_id": job_id, "qobj_id": job_id, "success": True, "results": experiments,
            })

        job = KorvelJob(self, job_id, batch, finish)
        if self._executor is None:
            job.result()  # the work ran inline: format it now
        return job


def clbit_values(lowered: LoweredCircuit, words: Words) -> List[int]:
    """Compact classical words -> integers over all the circuit's classical bits."""
    pairs = [(c, s) for c, s in enumerate(lowered.clbit_slots) if s >= 0]
    if all(c == s for c, s in pairs):
        return [int(w) for w in words.tolist()]
    if len(lowered.clbit_slots) <= 64:
        full = np.zeros(words.shape, dtype=np.uint64)
        one = np.uint64(1)
        for clbit, slot in pairs:
            full |= ((words >> np.uint64(slot)) & one) << np.uint64(clbit)
        return cast(List[int], full.tolist())
    out = []
    for word in map(int, words.tolist()):
        value = 0
        for clbit, slot in pairs:
            value |= ((word >> slot) & 1) << clbit
        out.append(value)
    return out


def _experiment(circuit: QuantumCircuit, lowered: LoweredCircuit, output: Any, shots: int,
                memory: bool, seed: Optional[int]) -> Dict[str, Any]:
    data: Dict[str, Any] = {}
    if memory:
        distinct, inverse = np.unique(output, return_inverse=True)
        keys = [hex(v) for v in clbit_values(lowered, distinct)]
        totals = np.bincount(inverse.ravel(), minlength=len(distinct))
        data["counts"] = dict(zip(keys, totals.tolist()))
        data["memory"] = [keys[i] for i in inverse.ravel().tolist()]
    else:
        distinct, totals = output
        keys = [hex(v) for v in clbit_values(lowered, distinct)]
        data["counts"] = dict(zip(keys, totals.tolist()))
    header = {
        "name": circuit.name,
        "n_qubits": circuit.num_qubits,
        "qreg_sizes": [[r.name, r.size] for r in circuit.qregs],
        "creg_sizes": [[r.name, r.size] for r in circuit.cregs],
        "qubit_labels": [[r.name, j] for r in circuit.qregs for j in range(r.size)],
        "clbit_labels": [[r.name, j] for r in circuit.cregs for j in range(r.size)],
        "memory_slots": circuit.num_clbits,
        "global_phase": float(circuit.global_phase),
        "metadata": circuit.metadata if circuit.metadata is not None else {},
    }
    return {"name": circuit.name, "shots": shots, "seed_simulator": seed, "success": True,
            "status": "DONE", "data": data, "header": header}


__all__ = ["KorvelBackend", "KorvelJob"]
