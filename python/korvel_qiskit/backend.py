"""KorvelBackend: a Qiskit BackendV2 whose run() returns counts and memory in Qiskit's format."""

from __future__ import annotations

import threading
import uuid
import warnings
from collections.abc import Mapping
from concurrent.futures import Executor
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, Union, cast

import numpy as np
from numpy.typing import NDArray
from qiskit.circuit import Parameter, QuantumCircuit
from qiskit.primitives.containers.bindings_array import BindingsArray
from qiskit.providers import BackendV2, JobStatus, JobV1, Options
from qiskit.result import Result

from . import __version__
from .execution import (
    Batch,
    Words,
    as_executor,
    check_fusion,
    check_seed,
    check_shots,
    count_task,
    derived_seeds,
    sample_task,
)
from korvel_programs import DEFAULT_MAX_LOOP_ITERATIONS, MAX_QUBITS

from .lowering import (
    LoweredCircuit,
    check_loop_limit,
    lower,
    lowering_target,
    unbound_parameters_error,
)
from .sampler import bind_values

ParameterBinds = Sequence[Mapping[Parameter, Sequence[float]]]


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
    measure, reset and control flow (if_else, switch_case, for_loop, box) is decomposed once
    per circuit, and only the qubits some instruction acts on are simulated. Options:
    ``shots`` (1024), ``memory`` (False: per-shot results as hex strings), ``seed_simulator``
    (None: fresh entropy), ``fusion`` (True) and ``max_loop_iterations`` (1000: a shot that
    goes round one while_loop more often in a row stops the run with an error naming the
    loop); an option it does not know is warned about and ignored.
    ``run(..., parameter_binds=[{param: [values]}, ...])`` binds parameters as Qiskit Aer
    does: one dictionary per circuit, one experiment per value, circuit after circuit.
    ``executor`` spreads the circuits over any concurrent.futures Executor or a
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
        return Options(shots=1024, memory=False, seed_simulator=None, fusion=True,
                       max_loop_iterations=DEFAULT_MAX_LOOP_ITERATIONS)

    @property
    def target(self) -> Any:
        return self._target

    @property
    def max_circuits(self) -> None:
        return None

    def run(self, run_input: Union[QuantumCircuit, Sequence[QuantumCircuit]],
            parameter_binds: Optional[ParameterBinds] = None, **options: Any) -> KorvelJob:
        for key in options:
            if not hasattr(self.options, key):
                warnings.warn(f"option '{key}' is not used by KorvelBackend (it takes shots, "
                              "memory, seed_simulator, fusion, max_loop_iterations and "
                              "parameter_binds)", UserWarning, stacklevel=2)
        merged = {**self.options.__dict__,
                  **{k: v for k, v in options.items() if hasattr(self.options, k)}}
        shots = check_shots(merged["shots"])
        seed = check_seed(merged["seed_simulator"])
        memory = bool(merged["memory"])
        fusion = check_fusion(merged["fusion"])
        limit = check_loop_limit(merged["max_loop_iterations"])
        circuits = [run_input] if isinstance(run_input, QuantumCircuit) else list(run_input)
        if parameter_binds is not None and (
                isinstance(parameter_binds, Mapping) or len(parameter_binds) != len(circuits)):
            raise ValueError("parameter_binds must be a list of one dictionary per circuit "
                             f"({len(circuits)})")
        # One experiment per circuit and binding: (circuit, its lowering, matrix fields).
        experiments: List[Tuple[QuantumCircuit, LoweredCircuit, Optional[NDArray[np.complex128]]]]
        experiments = []
        for index, circuit in enumerate(circuits):
            if not isinstance(circuit, QuantumCircuit):
                raise TypeError(f"KorvelBackend runs QuantumCircuit objects, got "
                                f"{type(circuit).__name__}")
            if parameter_binds is None and circuit.parameters:
                raise unbound_parameters_error(circuit)
            lowered = lower(circuit, fuse=fusion, max_loop_iterations=limit)
            if parameter_binds is None:
                experiments.append((circuit, lowered, None))
                continue
            fields = _bound_fields(circuit, lowered, parameter_binds[index], index)
            for row in range(1 if fields is None else len(fields)):
                experiments.append((circuit, lowered, None if fields is None
                                    else fields[row:row + 1]))
        batch = Batch(self._executor)
        task = sample_task if memory else count_task
        for position, (_, item, fields) in enumerate(experiments):
            batch.add(task, item, fields, derived_seeds(seed, position, 1), shots)
        job_id = str(uuid.uuid4())

        def finish() -> Result:
            outputs = batch.results()
            results = [
                _experiment(circuit, item, output[0], shots, memory, seed)
                for (circuit, item, _), output in zip(experiments, outputs)]
            return Result.from_dict({
                "backend_name": self.name, "backend_version": self.backend_version,
                "job_id": job_id, "qobj_id": job_id, "success": True, "results": results,
            })

        job = KorvelJob(self, job_id, batch, finish)
        if self._executor is None:
            job.result()  # the work ran inline: format it now
        return job


def _bound_fields(circuit: QuantumCircuit, lowered: LoweredCircuit, binds: object, index: int
                  ) -> Optional[NDArray[np.complex128]]:
    """Matrix fields of each binding of Aer's form {parameter: [values]}; None: no parameters."""
    where = f"parameter_binds[{index}]"
    if not isinstance(binds, Mapping):
        raise TypeError(f"{where} must be a dictionary of parameters to value lists, got "
                        f"{type(binds).__name__}")
    for key in binds:
        if key not in lowered.parameters:
            raise ValueError(f"{where} binds {key!r}, which is not a parameter of circuit "
                             f"'{circuit.name}'")
    missing = [str(p) for p in lowered.parameters if p not in binds]
    if missing:
        raise ValueError(f"{where} leaves parameters of circuit '{circuit.name}' unbound: "
                         + ", ".join(missing))
    if not lowered.parameters:
        return None
    try:
        columns = [np.asarray(binds[p], dtype=np.float64) for p in lowered.parameters]
    except (TypeError, ValueError):
        raise TypeError(f"{where}: the values of each parameter must be a list of real "
                        "numbers") from None
    lengths = {c.shape for c in columns}
    if len(lengths) != 1 or len(next(iter(lengths))) != 1 or not len(columns[0]):
        raise ValueError(f"{where}: every parameter needs a one-dimensional list of values, "
                         "the same number (at least one) for each")
    values = np.stack(columns, axis=-1)
    return bind_values(lowered, BindingsArray({lowered.parameters: values}), len(values))


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
