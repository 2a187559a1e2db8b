"""korvel.qubit: a PennyLane device on korvel's circuit runner, with native adjoint gradients."""

# PennyLane ships no type information: its imports are untyped, and so are its decorators and
# the Device base class.
# mypy: disable-error-code="import-untyped,untyped-decorator,misc"

from __future__ import annotations

from dataclasses import replace
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np
import pennylane as qml
from numpy.typing import NDArray
from pennylane.devices import Device, ExecutionConfig
from pennylane.devices.modifiers import simulator_tracking, single_tape_support
from pennylane.devices.preprocess import (
    decompose,
    no_sampling,
    validate_adjoint_trainable_params,
    validate_device_wires,
    validate_measurements,
)
from pennylane.exceptions import DecompositionUndefinedError, DeviceError
from pennylane.measurements import (
    ExpectationMP,
    MeasurementProcess,
    SampleMeasurement,
    StateMeasurement,
)
from pennylane.operation import Operator
from pennylane.ops import MidMeasure
from pennylane.tape import QuantumScript
from pennylane.transforms import broadcast_expand, defer_measurements, split_non_commuting
from pennylane.transforms.core import CompilePipeline

from korvel_programs import MAX_QUBITS, PauliTerms as Terms, term_records

from .mid_circuit import (
    MCM_METHODS,
    has_mid_circuit_operations,
    place_mid_circuit_measurements,
    trajectory_results,
)
from .lowering import (
    decomposition,
    lower_operations,
    generator_terms,
    observable_terms,
    pauli_form,
    qubit_map,
    runs_as_steps,
    sentence_terms,
)

Seed = Union[int, np.random.Generator, None]


def _runner() -> Any:
    import korvel_runner

    return korvel_runner


def _null_postprocessing(results: Sequence[Any]) -> Any:
    return results[0]


def _wire_count(wires: Any) -> Optional[int]:
    if wires is None:
        return None
    if isinstance(wires, (int, np.integer)) and not isinstance(wires, bool):
        return int(wires)
    return len(qml.wires.Wires(wires))


@qml.transform
def _refuse_too_many_wires(tape: QuantumScript) -> Tuple[List[QuantumScript], Any]:
    if tape.num_wires > MAX_QUBITS:
        raise DeviceError(f"korvel.qubit simulates at most {MAX_QUBITS} wires; this circuit uses "
                          f"{tape.num_wires}")
    return [tape], _null_postprocessing


def _needs_grouping(tape: QuantumScript) -> bool:
    if not tape.shots:
        return False
    observables = [m.obs for m in tape.measurements if m.obs is not None]
    return len(observables) > 1 or any(isinstance(o, (qml.ops.Sum, qml.ops.SProd)) for o in observables)


@qml.transform
def _split_for_sampling(tape: QuantumScript) -> Tuple[Sequence[QuantumScript], Any]:
    """With shots, observables that do not commute qubit-wise are measured in separate runs."""
    if not _needs_grouping(tape) or not all(
            isinstance(m, (ExpectationMP, qml.measurements.VarianceMP)) for m in tape.measurements
            if m.obs is not None):
        return [tape], _null_postprocessing
    return split_non_commuting(tape)  # type: ignore[no-any-return]


def _accepts_sampling(observable: Operator) -> bool:
    if isinstance(observable, qml.ops.CompositeOp):
        return all(_accepts_sampling(o) for o in observable.operands)
    if isinstance(observable, qml.ops.SymbolicOp):
        return _accepts_sampling(observable.base)
    return bool(observable.has_diagonalizing_gates)


def _analytic_measurement(m: MeasurementProcess) -> bool:
    if not isinstance(m, StateMeasurement):
        return False
    if m.obs is None or isinstance(m, ExpectationMP):
        return True
    return _accepts_sampling(m.obs)


def _sample_measurement(m: MeasurementProcess) -> bool:
    return isinstance(m, SampleMeasurement) and (m.obs is None or _accepts_sampling(m.obs))


def _runs_with_measurements(op: Operator) -> bool:
    """What the device takes when mid-circuit measurements run as trajectories: its steps and the
    measurements themselves (a conditioned operation is taken when its base is)."""
    return isinstance(op, MidMeasure) or runs_as_steps(op)


def _adjoint_operation(op: Operator) -> bool:
    # A snapshot decomposes to nothing: the gradient does not depend on it, and its state
    # measurement would be refused among the adjoint method's expectation values.
    if isinstance(op, qml.Snapshot) or not runs_as_steps(op):
        return False
    return op.num_params == 0 or not any(qml.math.requires_grad(d) for d in op.data) or (
        op.num_params == 1 and op.has_generator)


def _adjoint_measurement(m: MeasurementProcess) -> bool:
    return isinstance(m, ExpectationMP) and m.obs is not None and observable_terms(
        m.obs, {w: 0 for w in m.obs.wires}) is not None


# Circuit structures whose adjoint answer a device keeps, the oldest dropped first.
_ADJOINT_ANSWERS_KEPT = 256


def _structure(circuit: QuantumScript) -> Any:
    """What decides whether the adjoint transforms take a circuit: its operations' kinds, wires,
    parameter shapes, trainability and settings, and its measurements; not parameter values."""
    def operator_key(op: Operator) -> Any:
        return (type(op), tuple(op.wires), tuple(np.shape(d) for d in op.data),
                tuple(bool(qml.math.requires_grad(d)) for d in op.data),
                repr(sorted(op.hyperparameters.items(), key=lambda item: item[0])))
    return (tuple(operator_key(op) for op in circuit.operations),
            tuple((type(m), None if m.obs is None else repr(m.obs), tuple(m.wires))
                  for m in circuit.measurements), circuit.batch_size, circuit.num_preps)


def _seeded_generator(seed: object) -> np.random.Generator:
    if isinstance(seed, np.random.Generator):
        return seed
    if seed is None or (isinstance(seed, (int, np.integer)) and not isinstance(seed, bool)):
        if seed is not None and seed < 0:
            raise ValueError(f"seed must be a non-negative integer, None or a numpy Generator, got {seed}")
        return np.random.default_rng(seed)
    raise TypeError(f"seed must be an int, None or a numpy.random.Generator, got {type(seed).__name__}")


def _format_jacobian(jacobian: NDArray[np.float64]) -> Any:
    """PennyLane's nesting: per measurement, then per trainable parameter; single ones unwrapped."""
    measurements, parameters = jacobian.shape
    if measurements == 1 and parameters == 1:
        return np.array(jacobian[0, 0])
    if measurements == 1:
        return tuple(np.array(v) for v in jacobian[0])
    if parameters == 1:
        return tuple(np.array(v) for v in jacobian[:, 0])
    return tuple(tuple(np.array(v) for v in row) for row in jacobian)


def _format_values(values: NDArray[np.float64]) -> Any:
    if len(values) == 1:
        return np.array(values[0])
    return tuple(np.array(v) for v in values)


class _Circuit:
    """One tape lowered for the runner: its wires, program and per-operation carrier steps."""

    def __init__(self, tape: QuantumScript, device_wires: Optional[qml.wires.Wires]) -> None:
        self.tape = tape
        self.wires = device_wires if device_wires is not None else tape.wires
        self.num_qubits = len(self.wires)
        self.qubit_of = qubit_map(list(self.wires))
        self.lowered = lower_operations(tape.operations, self.qubit_of)
        # Postselection (deferred) projects: the state must then be renormalised.
        self.projects = any(isinstance(op, qml.Projector) for op in tape.operations)

    def simulate(self, extra: Sequence[Operator] = ()) -> Any:
        program = self.lowered.then(lower_operations(extra, self.qubit_of)) if extra \
            else self.lowered.program
        return _runner().simulate(self.num_qubits, program)

    def adjoint_inputs(self) -> Tuple[NDArray[np.uint64], NDArray[Any], List[Terms], List[int]]:
        """The steps to differentiate, their generators, the observables, and which of the tape's
        trainable parameters (by column) the steps are: an observable's own parameters get a
        zero column, as default.qubit gives them, after the warning PennyLane's preprocessing
        prints."""
        tape = self.tape
        operation_count = len(tape.operations)
        positions, generators, columns = [], [], []
        for column, index in enumerate(tape.trainable_params):
            info = tape.par_info[index]
            if info["op_idx"] >= operation_count:
                continue
            columns.append(column)
            carrier = self.lowered.carriers[info["op_idx"]]
            if carrier is None:
                # An operation with no effect (a GlobalPhase on zero wires): no step, zero slope.
                raise DeviceError(f"{info['op'].name} carries no step to differentiate")
            positions.append(carrier)
            generators.append(generator_terms(info["op"], self.qubit_of))
        observables = []
        for m in tape.measurements:
            terms = observable_terms(m.obs, self.qubit_of) if m.obs is not None else None
            if not isinstance(m, ExpectationMP) or terms is None:
                raise DeviceError(f"korvel.qubit's adjoint method takes expectation values of Pauli sums, "
                                  f"got {m}")
            observables.append(terms)
        return np.array(positions, dtype=np.uint64), term_records(generators), observables, columns


def _pauli_values(state: Any, terms: Terms) -> float:
    if not terms:
        return 0.0
    x = np.array([t[0] for t in terms], dtype=np.uint64)
    z = np.array([t[1] for t in terms], dtype=np.uint64)
    coefficients = np.array([t[2] for t in terms])
    return float(np.dot(coefficients, np.asarray(state.expectation_values(x, z))))


def _pauli_reading(m: MeasurementProcess, state: Any, qubit_of: Dict[Any, int], norm: float
                   ) -> Optional[NDArray[np.float64]]:
    """An expectation value or variance read from the state in place, when the observable is a
    Pauli sum; None otherwise."""
    if m.obs is None or not isinstance(m, (ExpectationMP, qml.measurements.VarianceMP)):
        return None
    sentence = pauli_form(m.obs)
    if sentence is None:
        return None
    with np.errstate(invalid="ignore", divide="ignore"):
        mean = _pauli_values(state, sentence_terms(sentence, qubit_of)) / norm
        if isinstance(m, ExpectationMP):
            return np.array(mean)
        square = _pauli_values(state, sentence_terms(sentence @ sentence, qubit_of)) / norm
        return np.array(square - mean * mean)


def _analytic_results(circuit: _Circuit) -> Any:
    tape = circuit.tape
    state = circuit.simulate()
    norm = float(state.expectation_values([0], [0])[0]) if circuit.projects else 1.0
    results: List[Any] = [_pauli_reading(m, state, circuit.qubit_of, norm) for m in tape.measurements]
    rest = [position for position, value in enumerate(results) if value is None]
    # Everything else is read from a copy of the state in the measurement's eigenbasis.
    for gates, members in _basis_groups([tape.measurements[p] for p in rest]):
        rotated = circuit.simulate(_decomposed(gates)) if gates else state
        amplitudes = np.asarray(rotated.amplitudes())
        if circuit.projects:
            with np.errstate(invalid="ignore", divide="ignore"):
                amplitudes = amplitudes / np.sqrt(norm)
        for member in members:
            position = rest[member]
            results[position] = tape.measurements[position].process_state(amplitudes, wire_order=circuit.wires)
    return results[0] if len(results) == 1 else tuple(results)


def _same_gates(first: Sequence[Operator], second: Sequence[Operator]) -> bool:
    return len(first) == len(second) and all(qml.equal(a, b) for a, b in zip(first, second))


def _basis_groups(measurements: Sequence[MeasurementProcess]) -> List[Tuple[List[Operator], List[int]]]:
    """Measurements sharing a basis: per group its diagonalising gates and the measurements'
    positions. A measurement joins the first group that rotates each of its wires by the same
    gates, or not at all."""
    groups: List[Tuple[List[Operator], List[int], Dict[Any, List[Operator]]]] = []
    for position, m in enumerate(measurements):
        gates = list(m.diagonalizing_gates())
        on_wire: Dict[Any, List[Operator]] = {}
        for gate in gates:
            for wire in gate.wires:
                on_wire.setdefault(wire, []).append(gate)
        for group_gates, members, group_on_wire in groups:
            if all(wire not in group_on_wire or _same_gates(group_on_wire[wire], sequence)
                   for wire, sequence in on_wire.items()):
                covered = set(group_on_wire)
                group_gates.extend(g for g in gates if not any(w in covered for w in g.wires))
                for wire, sequence in on_wire.items():
                    group_on_wire.setdefault(wire, sequence)
                members.append(position)
                break
        else:
            groups.append((gates, [position], on_wire))
    return [(gates, members) for gates, members, _ in groups]


def _decomposed(ops: Sequence[Operator]) -> List[Operator]:
    if all(runs_as_steps(op) for op in ops):
        return list(ops)
    (tape,), _ = decompose(QuantumScript(ops), stopping_condition=runs_as_steps, decomposer=decomposition)
    return list(tape.operations)


def _sampled_results(circuit: _Circuit, rng: np.random.Generator) -> Any:
    tape = circuit.tape
    shots = tape.shots
    total = int(shots.total_shots)
    bins = list(shots.bins())
    per_bin: List[List[Any]] = [[None] * len(tape.measurements) for _ in bins]
    n = circuit.num_qubits
    shifts = np.arange(n - 1, -1, -1, dtype=np.uint64)
    for gates, members in _basis_groups(tape.measurements):
        state = circuit.simulate(_decomposed(gates))
        seed = int(rng.integers(0, 2**63))
        if n == 0:
            samples = np.zeros((total, 0), dtype=np.int64)
        else:
            outcomes = np.asarray(state.sample(total, seed), dtype=np.uint64)
            samples = ((outcomes[:, None] >> shifts[None, :]) & np.uint64(1)).astype(np.int64)
        for b, (low, high) in enumerate(bins):
            for position in members:
                per_bin[b][position] = tape.measurements[position].process_samples(
                    samples[low:high], wire_order=circuit.wires)
    out = [row[0] if len(row) == 1 else tuple(row) for row in per_bin]
    return tuple(out) if shots.has_partitioned_shots else out[0]


@simulator_tracking
@single_tape_support
class KorvelQubit(Device):
    """A state-vector device on korvel's circuit runner: exact analytic results, finite shots
    drawn by the runner, and gradients by the native adjoint method.

    Args:
        wires: the number of wires or their labels (at most 29); None takes each circuit's own.
        shots: PennyLane's shots; prefer setting them on the QNode (``qml.set_shots``).
        seed: an int, None or a ``numpy.random.Generator``. It seeds the device's random stream
            once: a new device with the same seed repeats the same sequence of executions, and
            successive executions draw afresh.
    """

    name = "korvel.qubit"

    def __init__(self, wires: Any = None, shots: Any = None, seed: Seed = None) -> None:
        count = _wire_count(wires)
        if count is not None and count > MAX_QUBITS:
            raise ValueError(f"korvel.qubit simulates at most {MAX_QUBITS} wires, got {count}")
        super().__init__(wires=wires, shots=shots)
        self._rng = _seeded_generator(seed)
        self._adjoint_answers: Dict[Any, bool] = {}

    # -- configuration ------------------------------------------------------------------------

    def _adjoint_transforms(self, program: CompilePipeline) -> None:
        name = "adjoint + korvel.qubit"
        program.add_transform(no_sampling, name=name)
        program.add_transform(decompose, stopping_condition=_adjoint_operation, device_wires=self.wires,
                              name=name, skip_initial_state_prep=False, decomposer=decomposition)
        program.add_transform(validate_measurements, analytic_measurements=_adjoint_measurement, name=name)
        program.add_transform(broadcast_expand)
        program.add_transform(validate_adjoint_trainable_params)

    def preprocess_transforms(self, execution_config: Optional[ExecutionConfig] = None) -> CompilePipeline:
        config = execution_config or ExecutionConfig()
        program = CompilePipeline()
        program.add_transform(place_mid_circuit_measurements, mcm_method=config.mcm_config.mcm_method,
                              device_wires=self.wires)
        # State preparations too: the runner starts every program from |0...0>.
        program.add_transform(decompose, stopping_condition=_runs_with_measurements, device_wires=self.wires,
                              name=self.name, skip_initial_state_prep=False, decomposer=decomposition)
        program.add_transform(validate_device_wires, self.wires, name=self.name)
        program.add_transform(_refuse_too_many_wires)
        program.add_transform(validate_measurements, analytic_measurements=_analytic_measurement,
                              sample_measurements=_sample_measurement, name=self.name)
        program.add_transform(broadcast_expand)
        program.add_transform(_split_for_sampling)
        if config.gradient_method == "adjoint":
            self._adjoint_transforms(program)
        return program

    def _adjoint_ready(self, circuit: QuantumScript) -> bool:
        """Whether the circuit is already as the adjoint transforms leave it, so that they would
        change nothing. PennyLane asks before every derivative of a circuit it has preprocessed,
        and running the transforms again took some 18 ms of a 58 ms gradient at 16 wires."""
        if circuit.batch_size is not None:
            return False
        if self.wires is not None and not set(circuit.wires) <= set(self.wires):
            return False
        operations = circuit.operations
        if not all(_adjoint_operation(op) for op in operations):
            return False
        if any(qml.math.requires_grad(d) for op in operations[:circuit.num_preps] for d in op.data):
            return False
        return all(_adjoint_measurement(m) and not any(qml.math.requires_grad(d) for d in m.obs.data)
                   for m in circuit.measurements)

    def _adjoint_applies(self, circuit: QuantumScript) -> bool:
        if circuit.shots:
            return False
        if self._adjoint_ready(circuit):
            return True
        # PennyLane asks again at every step of an optimisation, for circuits that differ only in
        # their parameters' values; the answer depends on the structure alone.
        key = _structure(circuit)
        known = self._adjoint_answers.get(key)
        if known is None:
            known = self._adjoint_answers[key] = self._adjoint_transforms_pass(circuit)
            if len(self._adjoint_answers) > _ADJOINT_ANSWERS_KEPT:
                self._adjoint_answers.pop(next(iter(self._adjoint_answers)))
        return known

    def _adjoint_transforms_pass(self, circuit: QuantumScript) -> bool:
        program = CompilePipeline()
        program.add_transform(validate_device_wires, self.wires, name=self.name)
        program.add_transform(defer_measurements, allow_postselect=True)
        self._adjoint_transforms(program)
        try:
            program((circuit,))
        except (DecompositionUndefinedError, DeviceError, AttributeError, ValueError):
            return False
        return True

    def supports_derivatives(self, execution_config: Optional[ExecutionConfig] = None,
                             circuit: Optional[QuantumScript] = None) -> bool:
        if execution_config is None:
            return True
        if execution_config.gradient_method not in {"adjoint", "best"}:
            return False
        return circuit is None or self._adjoint_applies(circuit)

    def supports_vjp(self, execution_config: Optional[ExecutionConfig] = None,
                     circuit: Optional[QuantumScript] = None) -> bool:
        return self.supports_derivatives(execution_config, circuit)

    def supports_jvp(self, execution_config: Optional[ExecutionConfig] = None,
                     circuit: Optional[QuantumScript] = None) -> bool:
        return self.supports_derivatives(execution_config, circuit)

    def setup_execution_config(self, config: Optional[ExecutionConfig] = None,
                               circuit: Optional[QuantumScript] = None) -> ExecutionConfig:
        config = config or ExecutionConfig()
        updated: Dict[str, Any] = {}
        method = config.gradient_method
        if method == "best":
            method = "adjoint"
            updated["gradient_method"] = method
        if config.use_device_gradient is None:
            updated["use_device_gradient"] = method == "adjoint"
        # The adjoint Jacobian comes with the forward values, so it is taken on execution, as
        # default.qubit and lightning.qubit do: a separate forward run, then a vector-Jacobian
        # product that runs the circuit forward again, cost a quarter more (SEL, 16 wires).
        # A QNode that asks for device_vjp=True still gets the native product.
        if config.use_device_jacobian_product is None:
            updated["use_device_jacobian_product"] = False
        if config.grad_on_execution is None:
            updated["grad_on_execution"] = method == "adjoint" and not config.use_device_jacobian_product
        mcm = config.mcm_config
        if mcm.mcm_method not in (None,) + MCM_METHODS:
            method = getattr(mcm.mcm_method, "value", mcm.mcm_method)
            raise DeviceError(f"mcm_method {method!r} is not supported on korvel.qubit; it takes "
                              f"{', '.join(map(repr, MCM_METHODS))} or None (chosen by size)")
        if mcm.postselect_mode == "fill-shots" and mcm.mcm_method in ("one-shot", "device"):
            raise DeviceError("postselect_mode='fill-shots' is only supported with mcm_method='deferred'")
        return replace(config, **updated)

    # -- execution ----------------------------------------------------------------------------

    def execute(self, circuits: Any, execution_config: Optional[ExecutionConfig] = None) -> Any:
        config = execution_config or ExecutionConfig()
        results = []
        for tape in circuits:
            if has_mid_circuit_operations(tape):
                results.append(self._trajectories(tape, config))
                continue
            circuit = _Circuit(tape, self.wires)
            if tape.shots:
                results.append(_sampled_results(circuit, self._rng))
            else:
                results.append(_analytic_results(circuit))
        return tuple(results)

    def _trajectories(self, tape: QuantumScript, config: ExecutionConfig) -> Any:
        if not tape.shots:
            raise DeviceError("korvel.qubit runs mid-circuit measurements as trajectories only with "
                              "finite shots")
        wires = self.wires if self.wires is not None else tape.wires
        return trajectory_results(tape, wires, qubit_map(list(wires)), _basis_groups, _decomposed,
                                  _runner().run_shots, self._rng, config.mcm_config.postselect_mode)

    def _jacobian(self, tape: QuantumScript) -> Tuple[NDArray[np.float64], NDArray[np.float64]]:
        circuit = _Circuit(tape, self.wires)
        positions, generators, observables, columns = circuit.adjoint_inputs()
        values, jacobian = _runner().adjoint_jacobian(
            circuit.num_qubits, circuit.lowered.program, positions, generators, term_records(observables),
            len(observables))
        jacobian = np.asarray(jacobian)
        if len(columns) < len(tape.trainable_params):
            full = np.zeros((len(observables), len(tape.trainable_params)))
            full[:, columns] = jacobian
            jacobian = full
        return np.asarray(values), jacobian

    def compute_derivatives(self, circuits: Any, execution_config: Optional[ExecutionConfig] = None) -> Any:
        return tuple(_format_jacobian(self._jacobian(tape)[1]) for tape in circuits)

    def execute_and_compute_derivatives(self, circuits: Any,
                                        execution_config: Optional[ExecutionConfig] = None) -> Any:
        pairs = [self._jacobian(tape) for tape in circuits]
        return (tuple(_format_values(v) for v, _ in pairs), tuple(_format_jacobian(j) for _, j in pairs))

    def _jvp(self, tape: QuantumScript, tangent: Any) -> Tuple[Any, Any]:
        values, jacobian = self._jacobian(tape)
        product = jacobian @ np.asarray(tangent, dtype=np.float64).reshape(jacobian.shape[1], -1)
        product = product.reshape(jacobian.shape[0], *np.shape(tangent)[1:])
        return _format_values(values), (np.array(product[0]) if len(product) == 1 else
                                        tuple(np.array(p) for p in product))

    def compute_jvp(self, circuits: Any, tangents: Any, execution_config: Optional[ExecutionConfig] = None
                    ) -> Any:
        return tuple(self._jvp(tape, tangent)[1] for tape, tangent in zip(circuits, tangents))

    def execute_and_compute_jvp(self, circuits: Any, tangents: Any,
                                execution_config: Optional[ExecutionConfig] = None) -> Any:
        pairs = [self._jvp(tape, tangent) for tape, tangent in zip(circuits, tangents)]
        return tuple(v for v, _ in pairs), tuple(p for _, p in pairs)

    def _vjp(self, tape: QuantumScript, cotangent: Any) -> Any:
        circuit = _Circuit(tape, self.wires)
        positions, generators, observables, columns = circuit.adjoint_inputs()
        records = term_records(observables)
        cot = np.asarray(cotangent, dtype=np.float64)
        if len(observables) == 1:
            cot = cot[None, ...]
        batched = cot.ndim == 2
        cotangents = cot if batched else cot[:, None]
        runner = _runner()
        products = np.zeros((len(tape.trainable_params), cotangents.shape[1]))
        for b in range(cotangents.shape[1]):
            products[columns, b] = runner.adjoint_vjp(circuit.num_qubits, circuit.lowered.program, positions,
                                                      generators, records, np.ascontiguousarray(cotangents[:, b]))
        return tuple(np.array(row) if batched else np.array(row[0]) for row in products)

    def compute_vjp(self, circuits: Any, cotangents: Any, execution_config: Optional[ExecutionConfig] = None
                    ) -> Any:
        return tuple(self._vjp(tape, cotangent) for tape, cotangent in zip(circuits, cotangents))

    def execute_and_compute_vjp(self, circuits: Any, cotangents: Any,
                                execution_config: Optional[ExecutionConfig] = None) -> Any:
        return self.execute(circuits, execution_config), self.compute_vjp(circuits, cotangents,
                                                                           execution_config)
