"""Mid-circuit measurements on korvel.qubit: deferral or the runner's shot-by-shot trajectories.

A circuit with `qml.measure` and `qml.cond` either goes through PennyLane's defer_measurements,
which adds a wire per measurement and runs as one state, or runs on the runner as trajectories:
each measurement writes a classical slot, each conditioned operation runs under cubes of those
slots, and every shot follows its own branch. Trajectories answer with PennyLane's one-shot
semantics (its own gathering code reads our shots), so postselection discards the shots whose
postselected outcome differs, as `mcm_method="one-shot"` does on default.qubit.
"""

# PennyLane ships no type information: its imports are untyped, and so are its decorators.
# mypy: disable-error-code="import-untyped,untyped-decorator,misc"

from __future__ import annotations

from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

import numpy as np
import pennylane as qml
from numpy.typing import NDArray
from pennylane.exceptions import DeviceError
from pennylane.measurements import (
    CountsMP,
    ExpectationMP,
    MeasurementProcess,
    ProbabilityMP,
    SampleMP,
    VarianceMP,
)
from pennylane.operation import Operator
from pennylane.ops import Conditional, MidMeasure
from pennylane.tape import QuantumScript
from pennylane.transforms import defer_measurements
from pennylane.transforms.dynamic_one_shot import parse_native_mid_circuit_measurements

from korvel_programs import MAX_CLBITS, MAX_QUBITS, ProgramBuilder

from .lowering import operation_steps

# With shots, deferral while 2^measurements is at most the shots (and the deferred circuit
# fits); trajectories beyond. Deferral runs one state of 2^(wires + measurements) amplitudes for
# all shots, trajectories one of 2^wires per shot, so their costs stand about as 2^measurements
# to the shots. Measured roughly here (2 cores, 1000 shots, a CNOT ladder between measurements),
# seconds deferred / trajectories: 12 wires + 10 measurements 0.29 / 0.27, 12 + 12 2.5 / 0.34,
# 16 + 8 0.71 / 3.6, 20 + 6 3.3 / 58: the ratio follows 2^measurements / shots within a factor 2.
DEFERRAL_SHOTS_PER_BRANCH = 1

# A condition reads at most this many measurements: its truth table has 2^k rows.
MAX_CONDITION_MEASUREMENTS = 16

MCM_METHODS = ("deferred", "one-shot", "device")


def has_mid_circuit_operations(tape: QuantumScript) -> bool:
    return any(isinstance(op, (MidMeasure, Conditional)) for op in tape.operations)


def measurement_count(tape: QuantumScript) -> int:
    return sum(isinstance(op, MidMeasure) for op in tape.operations)


def _null_postprocessing(results: Sequence[Any]) -> Any:
    return results[0]


def _deferred(tape: QuantumScript) -> QuantumScript:
    (deferred,), _ = defer_measurements(tape, allow_postselect=True)
    return deferred


def _fits(deferred: QuantumScript, device_wires: Optional[qml.wires.Wires], bound: int) -> bool:
    """Whether the deferred circuit runs on the device within `bound` wires: a device with fixed
    wires simulates all of them, and has room for deferral only in wires the circuit leaves free."""
    if device_wires is None:
        return len(deferred.wires) <= bound
    return set(deferred.wires) <= set(device_wires) and len(device_wires) <= bound


@qml.transform
def place_mid_circuit_measurements(tape: QuantumScript, mcm_method: Optional[str] = None,
                                   device_wires: Optional[qml.wires.Wires] = None
                                   ) -> Tuple[List[QuantumScript], Any]:
    """Defers the tape's mid-circuit measurements, or leaves them for the runner's trajectories.

    mcm_method "deferred" always defers; "one-shot" and "device" run trajectories with shots
    (and, for "device" in analytic mode, defer); None defers with shots while the deferred
    circuit fits and 2^measurements is at most DEFERRAL_SHOTS_PER_BRANCH times the shots, and
    in analytic mode while it fits at all.
    """
    if not has_mid_circuit_operations(tape):
        return [tape], _null_postprocessing
    shots = bool(tape.shots)
    if mcm_method == "deferred":
        return [_deferred(tape)], _null_postprocessing
    if shots and mcm_method in ("one-shot", "device"):
        return [tape], _null_postprocessing
    deferred = _deferred(tape)
    cheaper_deferred = not shots or \
        2 ** measurement_count(tape) <= DEFERRAL_SHOTS_PER_BRANCH * tape.shots.total_shots
    if cheaper_deferred and _fits(deferred, device_wires, MAX_QUBITS):
        return [deferred], _null_postprocessing
    if shots:
        return [tape], _null_postprocessing
    needed = len(deferred.wires)
    limit = (f"more than the device's {len(device_wires)}" if device_wires is not None
             and needed <= MAX_QUBITS else f"more than the {MAX_QUBITS} korvel.qubit simulates")
    raise DeviceError(
        f"korvel.qubit runs mid-circuit measurements in analytic mode by deferral, and deferring "
        f"this circuit's {measurement_count(tape)} needs {needed} wires, {limit}; with finite shots "
        "they run as trajectories instead")


# -- conditions --------------------------------------------------------------------------------


def _disjoint_cubes(minterms: Sequence[int], width: int) -> List[Tuple[int, int]]:
    """A cover of the minterms by disjoint cubes (mask, value) over `width` bits: pairs of cubes
    that differ in one bit merge, round after round. Disjoint because a conditioned step runs
    once for every cube that holds."""
    full = (1 << width) - 1
    cubes = {(full, m) for m in minterms}
    merged = True
    while merged:
        merged = False
        remaining = sorted(cubes)
        used = set()
        out = set()
        lookup = set(remaining)
        for mask, value in remaining:
            if (mask, value) in used:
                continue
            for bit in range(width):
                b = 1 << bit
                if not mask & b:
                    continue
                partner = (mask, value ^ b)
                if partner in lookup and partner not in used:
                    used.update({(mask, value), partner})
                    out.add((mask & ~b, value & ~b))
                    merged = True
                    break
            else:
                used.add((mask, value))
                out.add((mask, value))
        cubes = out
    return sorted(cubes)


def condition_cubes(condition: Any, slot_of: Mapping[Any, int]) -> List[Tuple[int, int]]:
    """The classical cubes (mask, value) over measurement slots under which `condition` holds,
    from its truth table over the measurements it reads."""
    measurements = list(condition.measurements)
    if len(measurements) > MAX_CONDITION_MEASUREMENTS:
        raise DeviceError(f"korvel.qubit evaluates conditions on at most {MAX_CONDITION_MEASUREMENTS} "
                          f"mid-circuit measurements, this one reads {len(measurements)}")
    slots = []
    for m in measurements:
        if m not in slot_of:
            raise DeviceError(f"a condition reads {m}, which is not measured before it")
        slots.append(slot_of[m])
    count = len(measurements)
    minterms = []
    for row, outcome in condition.branches.items():
        if bool(outcome):
            # branches' rows list the measurements' bits first to last; bit j of a minterm is
            # measurement j.
            minterms.append(sum(bit << j for j, bit in enumerate(row)))
    cubes = []
    for mask, value in _disjoint_cubes(minterms, count):
        slot_mask = slot_value = 0
        for j in range(count):
            if mask >> j & 1:
                slot_mask |= 1 << slots[j]
                slot_value |= (value >> j & 1) << slots[j]
        cubes.append((slot_mask, slot_value))
    return cubes


# -- trajectories ------------------------------------------------------------------------------


class TrajectoryProgram:
    """A tape's operations as runner steps with measurements into slots: slot i holds the
    tape's i-th mid-circuit measurement, and the measured wires follow."""

    def __init__(self, operations: Sequence[Operator], qubit_of: Mapping[Any, int]) -> None:
        self.builder = ProgramBuilder()
        self.qubit_of = qubit_of
        self.slot_of: Dict[Any, int] = {}
        for op in operations:
            self._add(op)
        self.measurement_slots = len(self.slot_of)

    def _add(self, op: Operator, cubes: Sequence[Tuple[int, int]] = ((0, 0),)) -> None:
        builder = self.builder
        if isinstance(op, MidMeasure):
            qubit = self.qubit_of[op.wires[0]]
            slot = len(self.slot_of)
            if slot >= MAX_CLBITS:
                raise DeviceError(f"korvel.qubit runs at most {MAX_CLBITS} mid-circuit measurements "
                                  "as trajectories")
            self.slot_of[op] = slot
            builder.measure(qubit, slot)
            if op.reset:
                builder.reset(qubit)
            return
        if isinstance(op, Conditional):
            if isinstance(op.base, (MidMeasure, Conditional)):
                raise DeviceError(f"korvel.qubit cannot condition {op.base.name} on a measurement")
            cubes = condition_cubes(op.meas_val, self.slot_of)
            op = op.base
        steps = operation_steps(op, self.qubit_of)
        for cube in cubes:
            for matrix, targets, controls in zip(steps.matrices, steps.targets, steps.controls):
                builder.gate(targets, matrix, controls, condition=cube)

    def readout(self, gates: Sequence[Operator], wires: Sequence[Any]) -> Tuple[Any, int]:
        """The program with `gates` and measurements of `wires` after it, and its slot count."""
        slots = self.measurement_slots + len(wires)
        if slots > MAX_CLBITS:
            raise DeviceError(
                f"korvel.qubit's trajectories hold {MAX_CLBITS} classical bits a shot; "
                f"{self.measurement_slots} mid-circuit measurements and {len(wires)} measured wires "
                "need more")
        builder = ProgramBuilder()
        builder.records = list(self.builder.records)
        builder.chunks = list(self.builder.chunks)
        builder.entry_count = self.builder.entry_count
        for op in gates:
            steps = operation_steps(op, self.qubit_of)
            for matrix, targets, controls in zip(steps.matrices, steps.targets, steps.controls):
                builder.gate(targets, matrix, controls)
        for j, wire in enumerate(wires):
            builder.measure(self.qubit_of[wire], self.measurement_slots + j)
        return builder.program(), slots


def _bits(words: NDArray[np.uint64], slot: int) -> NDArray[np.int64]:
    return ((words >> np.uint64(slot)) & np.uint64(1)).astype(np.int64)


def _per_shot(m: MeasurementProcess, samples: NDArray[np.int64], wire_order: qml.wires.Wires) -> Any:
    """What a one-shot run of `m` gives for each shot, in the form PennyLane's gathering of
    one-shot results reads: eigenvalues for expectation values and variances, rows of samples,
    one-hot probabilities, and a one-entry dictionary per shot for counts."""
    if isinstance(m, (ExpectationMP, VarianceMP)):
        return np.asarray(qml.sample(m.obs).process_samples(samples, wire_order), dtype=np.float64)
    if isinstance(m, SampleMP):
        return m.process_samples(samples, wire_order)
    wires = list(m.wires) if m.wires else list(wire_order)
    columns = [wire_order.index(w) for w in wires]
    if isinstance(m, ProbabilityMP):
        index = np.zeros(len(samples), dtype=np.int64)
        for column in columns:
            index = (index << 1) | samples[:, column]
        out = np.zeros((len(samples), 1 << len(columns)))
        out[np.arange(len(samples)), index] = 1.0
        return out
    if isinstance(m, CountsMP):
        if m.obs is not None:
            values = qml.sample(m.obs).process_samples(samples, wire_order)
            return [{float(v): 1} for v in values]
        picked = samples[:, columns]
        return [{"".join(map(str, row)): 1} for row in picked.tolist()]
    raise DeviceError(f"korvel.qubit's trajectories cannot measure {type(m).__name__}")


def trajectory_results(tape: QuantumScript, wires: qml.wires.Wires, qubit_of: Mapping[Any, int],
                       basis_groups: Any, decomposed: Any, run_shots: Any,
                       rng: np.random.Generator, postselect_mode: Optional[str]) -> Any:
    """The tape's results from the runner's trajectories, gathered as PennyLane gathers one-shot
    results. Measurements in different bases run on trajectories of their own."""
    program = TrajectoryProgram(tape.operations, qubit_of)
    mcms = [op for op in tape.operations if isinstance(op, MidMeasure)]
    shots = tape.shots
    total = int(shots.total_shots)
    bins = list(shots.bins())
    terminal = [p for p, m in enumerate(tape.measurements) if m.mv is None]
    on_values = [p for p, m in enumerate(tape.measurements) if m.mv is not None]
    groups = basis_groups([tape.measurements[p] for p in terminal]) or [([], [])]
    per_bin: List[List[Any]] = [[None] * len(tape.measurements) for _ in bins]
    for index, (gates, members) in enumerate(groups):
        positions = [terminal[k] for k in members] + (on_values if index == 0 else [])
        measurements = [tape.measurements[p] for p in positions]
        read_wires = [w for w in wires if any(w in m.wires or not m.wires for m in measurements
                                               if m.mv is None)]
        steps, slots = program.readout(decomposed(gates), read_wires)
        seed = int(rng.integers(0, 2**63))
        words = np.asarray(run_shots(len(wires), slots, steps, total, seed), dtype=np.uint64)
        samples = np.zeros((total, len(wires)), dtype=np.int64)
        for j, wire in enumerate(read_wires):
            samples[:, wires.index(wire)] = _bits(words, program.measurement_slots + j)
        mcm_values = [_bits(words, program.slot_of[op]) for op in mcms]
        terminal_values = [_per_shot(m, samples, wires) for m in measurements if m.mv is None]
        group_tape = QuantumScript(tape.operations, measurements, shots=tape.shots)
        for b, (low, high) in enumerate(bins):
            results = [v[low:high] for v in terminal_values] + [v[low:high] for v in mcm_values]
            gathered = parse_native_mid_circuit_measurements(
                group_tape, results=results, postselect_mode=postselect_mode)
            if len(measurements) == 1:
                gathered = (gathered,)
            for position, value in zip(positions, gathered):
                per_bin[b][position] = value
    out = [row[0] if len(row) == 1 else tuple(row) for row in per_bin]
    return tuple(out) if shots.has_partitioned_shots else out[0]
