"""KorvelSimulator: Cirq's simulator interfaces on korvel's circuit runner, in double precision.

A circuit is lowered once per call (lowering.py) and each parameter binding only recomputes
its parametrised matrices. Sampling draws shots from the final state when every measurement is
terminal and runs whole trajectories in the runner otherwise. A final state with measurements
or resets on the way is computed segment by segment: gates run in the runner, and each
measurement collapses the amplitudes in NumPy before the runner takes them back.
"""

from __future__ import annotations

import threading
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple

import cirq
import numpy as np
from numpy.typing import NDArray

import korvel_runner
from korvel_programs import KIND_GATE, KIND_MEASURE, KIND_RESET, ProgramBuilder, pack_program

from .lowering import LoweredCircuit, lower

_X = np.array([[0, 1], [1, 0]], dtype=np.complex128)

# Cirq's own wording, so that code written against cirq.Simulator meets the same refusal.
TERMINAL_MEASUREMENTS_ERROR = (
    "Provided circuit has terminal measurements, which may skew expectation values. If this is "
    "intentional, set permit_terminal_measurements=True.")


def _generator(seed: Any) -> Optional[np.random.Generator]:
    """The simulator's one stream, seeded once from what Cirq's simulators take, or a
    Generator; None for no seed."""
    if seed is None:
        # Every run then draws a fresh key from the operating system: a stream seeded once from
        # it would be copied into forked children, which would repeat the parent's draws.
        return None
    if isinstance(seed, np.random.Generator):
        return seed
    if isinstance(seed, np.random.RandomState):
        return np.random.default_rng(seed.randint(0, 1 << 32, size=4, dtype=np.uint64))
    if isinstance(seed, (int, np.integer)) and not isinstance(seed, (bool, np.bool_)):
        if seed < 0:
            raise ValueError(f"seed must not be negative, got {seed}")
        return np.random.default_rng(int(seed))
    raise TypeError("seed must be None, an int, a numpy.random.RandomState or a "
                    f"numpy.random.Generator, got {type(seed).__name__}")


def _check_repetitions(repetitions: Any) -> int:
    if isinstance(repetitions, bool) or not isinstance(repetitions, (int, np.integer)):
        raise TypeError(f"repetitions must be an integer, got {repetitions!r}")
    if repetitions < 0:
        raise ValueError(f"repetitions must not be negative, got {repetitions}")
    if repetitions >= 1 << 63:
        raise ValueError(f"repetitions must be below 2**63, got {repetitions}")
    return int(repetitions)


class KorvelSimulator(
    cirq.SimulatesSamples,
    cirq.SimulatesAmplitudes,
    cirq.SimulatesFinalState[cirq.StateVectorTrialResult],
    cirq.SimulatesExpectationValues,
):
    """A state-vector simulator of Cirq circuits on korvel, exact in complex128.

    `seed` is what Cirq's simulators take (None, an int or a numpy.random.RandomState) or a
    numpy.random.Generator. It seeds the simulator's stream once: successive runs draw afresh,
    and a new simulator with the same seed repeats them. One simulator may be used from many
    threads at once; the runner releases the interpreter lock while it works.
    """

    def __init__(self, seed: cirq.RANDOM_STATE_OR_SEED_LIKE | np.random.Generator = None
                 ) -> None:
        self._rng = _generator(seed)
        self._lock = threading.Lock()

    def _next_seed(self) -> Optional[int]:
        """A runner seed (u64) for one run, the next from the simulator's stream; None (a
        fresh key from the operating system) without a seed."""
        if self._rng is None:
            return None
        with self._lock:
            return int(self._rng.integers(0, 1 << 64, dtype=np.uint64))

    # -- cirq.SimulatesSamples ------------------------------------------------------------------

    def run_sweep_iter(self, program: cirq.AbstractCircuit, params: cirq.Sweepable,
                       repetitions: int = 1) -> Iterator[cirq.Result]:
        repetitions = _check_repetitions(repetitions)
        if not program.has_measurements():
            raise ValueError("Circuit has no measurements to sample.")
        lowered = lower(program)
        resolvers = list(cirq.to_resolvers(params))
        fields = lowered.matrix_fields(resolvers, gates_only=lowered.terminal)
        for resolver, row in zip(resolvers, fields):
            yield cirq.ResultDict(params=resolver,
                                  records=self._records(lowered, row, repetitions))

    def _run(self, circuit: cirq.AbstractCircuit, param_resolver: cirq.ParamResolver,
             repetitions: int) -> Dict[str, np.ndarray]:
        lowered = lower(circuit)
        fields = lowered.matrix_fields([cirq.ParamResolver(param_resolver)],
                                       gates_only=lowered.terminal)
        return self._records(lowered, fields[0], _check_repetitions(repetitions))

    def _records(self, lowered: LoweredCircuit, fields: NDArray[np.complex128],
                 repetitions: int) -> Dict[str, np.ndarray]:
        """Measurement records per key, shaped (repetitions, instances, qubits), as uint8, for
        one binding's matrix entries."""
        program = lowered.program(fields, gates_only=lowered.terminal)
        seed = self._next_seed()
        bits: Optional[NDArray[np.uint64]] = None
        if repetitions and lowered.terminal:
            outcomes = korvel_runner.simulate(lowered.num_qubits, program).sample(repetitions, seed)
        elif repetitions:
            bits = korvel_runner.run_shots(lowered.num_qubits, lowered.num_clbits, program,
                                           repetitions, seed)
        one = np.uint64(1)
        grouped: Dict[str, List[np.ndarray]] = {}
        for record in lowered.records:
            values = np.zeros((repetitions, len(record.qubits)), dtype=np.uint8)
            for j, (qubit, clbit, inverted) in enumerate(
                    zip(record.qubits, record.clbits, record.inverted)):
                if not repetitions:
                    continue
                source = (outcomes >> np.uint64(qubit)) if bits is None \
                    else (bits >> np.uint64(clbit))
                values[:, j] = (source & one).astype(np.uint8) ^ np.uint8(inverted)
            grouped.setdefault(record.key, []).append(values)
        out = {}
        for key, instances in grouped.items():
            widths = {v.shape[1] for v in instances}
            if len(widths) > 1:
                raise ValueError(f"measurement key '{key}' is used for measurements of "
                                 f"different sizes {sorted(widths)}")
            out[key] = np.stack(instances, axis=1)
        return out

    # -- final states ---------------------------------------------------------------------------

    def _final_state(self, lowered: LoweredCircuit, fields: NDArray[np.complex128],
                     initial_state: Any) -> Tuple[Any, Dict[str, np.ndarray]]:
        """The runner's final State for one binding's matrix entries, and the last outcome of
        each key."""
        n = lowered.num_qubits
        state = self._initial(n, initial_state)
        if lowered.is_unitary:
            program = lowered.program(fields)
            if state is None:
                return korvel_runner.simulate(n, program), {}
            state.run(program)
            return state, {}
        if state is None:
            state = korvel_runner.simulate(n, ProgramBuilder().program())
        return self._trajectory(lowered, fields, state)

    def _initial(self, n: int, initial_state: Any) -> Any:
        """A State to start from, or None for |0...0>."""
        if initial_state is None:
            return None
        if isinstance(initial_state, (int, np.integer)) and not isinstance(initial_state, bool):
            if not 0 <= initial_state < 1 << n:
                raise ValueError(f"initial_state must be a basis state from 0 to 2**{n} - 1, "
                                 f"got {initial_state}")
            # Big-endian index bit b is runner qubit b: an X on each qubit that starts at 1.
            prefix = ProgramBuilder()
            for qubit in range(n):
                if (int(initial_state) >> qubit) & 1:
                    prefix.gate((qubit,), _X)
            return korvel_runner.simulate(n, prefix.program())
        try:
            vector = cirq.to_valid_state_vector(initial_state, n, dtype=np.complex128)
        except (ValueError, TypeError) as error:
            raise ValueError(f"initial_state is not a state of {n} qubits: {error}") from None
        return korvel_runner.state_from_amplitudes(np.ascontiguousarray(vector))

    def _trajectory(self, lowered: LoweredCircuit, fields: NDArray[np.complex128], state: Any
                    ) -> Tuple[Any, Dict[str, np.ndarray]]:
        """One trajectory of a program with measurements, resets or conditions."""
        rng = np.random.default_rng(self._next_seed())
        n = lowered.num_qubits
        program = lowered.steps
        word = 0
        gates: List[int] = []
        amplitudes: Optional[np.ndarray] = None

        def run_gates() -> None:
            batch = program[gates].copy()
            batch["cond_mask"] = 0
            batch["cond_value"] = 0
            state.run(pack_program(batch, fields))
            gates.clear()

        for i, step in enumerate(program):
            mask, value = int(step["cond_mask"]), int(step["cond_value"])
            if mask and (word & mask) != value:
                continue
            if step["kind"] == KIND_GATE:
                if amplitudes is not None:
                    state, amplitudes = korvel_runner.state_from_amplitudes(amplitudes), None
                gates.append(i)
                continue
            if amplitudes is None:
                if gates:
                    run_gates()
                amplitudes = state.amplitudes()
            outcome = _collapse(amplitudes, n, int(step["targets"][0]), rng,
                                reset=step["kind"] == KIND_RESET)
            if step["kind"] == KIND_MEASURE:
                clbit = int(step["clbit"])
                word = (word & ~(1 << clbit)) | (outcome << clbit)
        if amplitudes is not None:
            state = korvel_runner.state_from_amplitudes(amplitudes)
        elif gates:
            run_gates()
        last: Dict[str, np.ndarray] = {}
        for record in lowered.records:
            last[record.key] = np.array(
                [((word >> c) & 1) ^ int(inv) for c, inv in zip(record.clbits, record.inverted)],
                dtype=np.uint8)
        return state, last

    # -- cirq.SimulatesFinalState ---------------------------------------------------------------

    def simulate_sweep_iter(self, program: cirq.AbstractCircuit, params: cirq.Sweepable,
                            qubit_order: cirq.QubitOrderOrList = cirq.QubitOrder.DEFAULT,
                            initial_state: Any = None
                            ) -> Iterator[cirq.StateVectorTrialResult]:
        lowered = lower(program, qubit_order)
        resolvers = list(cirq.to_resolvers(params))
        for resolver, row in zip(resolvers, lowered.matrix_fields(resolvers)):
            state, measurements = self._final_state(lowered, row, initial_state)
            simulation_state = cirq.StateVectorSimulationState(
                initial_state=state.amplitudes(), qubits=lowered.qubits, dtype=np.complex128)
            yield cirq.StateVectorTrialResult(params=resolver, measurements=measurements,
                                              final_simulator_state=simulation_state)

    # -- cirq.SimulatesAmplitudes ---------------------------------------------------------------

    def compute_amplitudes_sweep_iter(self, program: cirq.AbstractCircuit,
                                      bitstrings: Sequence[int], params: cirq.Sweepable,
                                      qubit_order: cirq.QubitOrderOrList = cirq.QubitOrder.DEFAULT
                                      ) -> Iterator[Sequence[complex]]:
        lowered = lower(program, qubit_order)
        indices = _bitstring_indices(bitstrings, lowered.num_qubits)
        resolvers = list(cirq.to_resolvers(params))
        for row in lowered.matrix_fields(resolvers):
            state, _ = self._final_state(lowered, row, None)
            yield state.amplitudes()[indices].tolist()

    # -- cirq.SimulatesExpectationValues --------------------------------------------------------

    def simulate_expectation_values_sweep_iter(
            self, program: cirq.AbstractCircuit,
            observables: cirq.PauliSumLike | List[cirq.PauliSumLike],
            params: cirq.Sweepable,
            qubit_order: cirq.QubitOrderOrList = cirq.QubitOrder.DEFAULT,
            initial_state: Any = None,
            permit_terminal_measurements: bool = False) -> Iterator[List[float]]:
        if not permit_terminal_measurements and program.are_any_measurements_terminal():
            raise ValueError(TERMINAL_MEASUREMENTS_ERROR)
        lowered = lower(program, qubit_order)
        x_masks, z_masks, coefficients, owners, count = _pauli_terms(observables, lowered)
        resolvers = list(cirq.to_resolvers(params))
        for row in lowered.matrix_fields(resolvers):
            state, _ = self._final_state(lowered, row, initial_state)
            values = np.zeros(count, dtype=np.float64)
            if len(x_masks):
                terms = coefficients * state.expectation_values(x_masks, z_masks)
                np.add.at(values, owners, terms.real)
            yield values.tolist()

    def __repr__(self) -> str:
        return "korvel_cirq.KorvelSimulator()"


def _collapse(amplitudes: np.ndarray, n: int, qubit: int, rng: np.random.Generator,
              reset: bool) -> int:
    """Measures runner qubit `qubit` of the amplitudes in place (then sets it to 0 when
    `reset`); returns the outcome."""
    view = amplitudes.reshape(1 << (n - 1 - qubit), 2, 1 << qubit)
    zero, one = view[:, 0, :], view[:, 1, :]
    p0 = float(np.vdot(zero, zero).real)
    p1 = float(np.vdot(one, one).real)
    outcome = int(rng.random() * (p0 + p1) >= p0) if p1 > 0 else 0
    if p0 == 0:
        outcome = 1
    kept, gone = (one, zero) if outcome else (zero, one)
    kept *= 1.0 / np.sqrt(p1 if outcome else p0)
    if reset and outcome:
        zero[...] = one
        one[...] = 0
    else:
        gone[...] = 0
    return outcome


def _bitstring_indices(bitstrings: Sequence[int], n: int) -> NDArray[np.int64]:
    array = np.asarray(bitstrings)
    if array.ndim != 1:
        raise ValueError("The list of bitstrings must be input as a 1-dimensional array of "
                         f"ints. Got an array with shape {array.shape}.")
    if array.size and array.dtype.kind not in "iu":
        raise TypeError(f"bitstrings must be integers, got {array.dtype}")
    for value in array.tolist():
        if not 0 <= value < 1 << n:
            raise ValueError(f"bitstring {value} is not a basis state of {n} qubits "
                             f"(0 to 2**{n} - 1)")
    return array.astype(np.int64)


def _pauli_terms(observables: Any, lowered: LoweredCircuit
                 ) -> Tuple[NDArray[np.uint64], NDArray[np.uint64], NDArray[np.complex128],
                            NDArray[np.int64], int]:
    """Every Pauli term of every observable as runner masks, with its coefficient and the
    index of the observable it belongs to."""
    if not isinstance(observables, list):
        observables = [observables]
    index = {q: lowered.num_qubits - 1 - i for i, q in enumerate(lowered.qubits)}
    x_masks, z_masks, coefficients, owners = [], [], [], []
    for position, observable in enumerate(observables):
        try:
            pauli_sum = cirq.PauliSum.wrap(observable)
        except (TypeError, ValueError) as error:
            raise TypeError(f"observable {position} is not a cirq.PauliSum or PauliString: "
                            f"{error}") from None
        for term in pauli_sum:
            coefficient = complex(term.coefficient)
            if abs(coefficient.imag) > 1e-4:
                raise ValueError(f"observable {position} is not Hermitian: the term {term} has "
                                 "a coefficient that is not real")
            x = z = 0
            for qubit, pauli in term.items():
                if qubit not in index:
                    raise ValueError(f"observable {position} acts on {qubit}, which is not a "
                                     "qubit of the circuit's qubit order")
                bit = 1 << index[qubit]
                if pauli != cirq.Z:
                    x |= bit
                if pauli != cirq.X:
                    z |= bit
            x_masks.append(x)
            z_masks.append(z)
            coefficients.append(coefficient)
            owners.append(position)
    return (np.array(x_masks, dtype=np.uint64), np.array(z_masks, dtype=np.uint64),
            np.array(coefficients, dtype=np.complex128), np.array(owners, dtype=np.int64),
            len(observables))
