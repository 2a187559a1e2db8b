"""korvel's rows: gate passes per target with 0, 1 and 2 controls, several targets in one call,
probabilities and the two measurements, on one register of n qubits."""

import array
import statistics

from timing import perf_counter, repeat_times, single, spread
from workload import DENSE_UNITARY, HADAMARD, MULTI_TARGET_COUNTS, repeats

# The result list of probabilities() costs a Python float and a list slot per outcome
# (32 bytes, 8 GiB at 28 qubits); above this size it is not measured.
PROBABILITIES_MAX_QUBITS = 26


def lowest_other_qubits(target, count):
    """Controls on the lowest qubits other than the target: every cache line still holds pairs
    to update, so the pass cannot skip memory and this is the costliest placement."""
    picks = []
    qubit = 0
    while len(picks) < count:
        if qubit != target:
            picks.append(qubit)
        qubit += 1
    return picks


def _spread_amplitudes(register, hadamard, qubits):
    # Touches every page and gives every amplitude a non-zero value before anything is timed.
    for target in range(qubits):
        register.apply_gate(hadamard, [target], [])


def _per_target_gate(register, gate, qubits, control_count, reps):
    per_target = {}
    for target in range(qubits):
        targets = [target]
        controls = lowest_other_qubits(target, control_count)
        per_target[target] = min(repeat_times(lambda: register.apply_gate(gate, targets, controls), reps))
    return spread(per_target)


def _measure_targets(register, hadamard, qubits, reps):
    per_target = {}
    for target in sorted({0, qubits // 2, qubits - 1}):
        times = []
        for _ in range(reps):
            times.extend(repeat_times(lambda: register.measure(target), 1))
            # Undo the collapse (untimed) so that every draw sees a spread-out state.
            register.apply_gate(hadamard, [target], [])
        per_target[target] = min(times)
    return spread(per_target)


def _probabilities(register, reps):
    times = []
    for _ in range(reps):
        start = perf_counter()
        result = register.probabilities()
        times.append(perf_counter() - start)
        # Freed after the clock has stopped: dropping 2^n floats is the caller's cost.
        del result
    return single(min(times), median_of_repeats_s=statistics.median(times))


def _float_list_floor(qubits, reps):
    """What any probabilities() must pay at least: 2^n new Python floats in a new list, made
    in C from a buffer of doubles (array.tolist), with no arithmetic at all."""
    doubles = array.array("d", bytes(8 << qubits))
    times = []
    for _ in range(reps):
        start = perf_counter()
        result = doubles.tolist()
        times.append(perf_counter() - start)
        del result
    return single(min(times))


def measure(qubits, quick):
    import korvel

    gate = korvel.QGate(DENSE_UNITARY)
    hadamard = korvel.QGate(HADAMARD)
    register = korvel.Register(qubits)
    _spread_amplitudes(register, hadamard, qubits)
    reps = repeats(qubits, quick)

    cases = {}
    for control_count, name in ((0, "apply_gate 1 target"), (1, "apply_gate 1 target, 1 control"),
                                (2, "apply_gate 1 target, 2 controls")):
        cases[name] = _per_target_gate(register, gate, qubits, control_count, reps)
    for k in MULTI_TARGET_COUNTS:
        if k <= qubits:
            targets = list(range(k))
            times = repeat_times(lambda: register.apply_gate(gate, targets, []), reps)
            cases[f"apply_gate targets 0..{k - 1}"] = single(min(times), sweeps_naive=k)
    times = repeat_times(register.measure_all, max(reps, 3))
    cases["measure_all"] = single(min(times))
    cases["measure"] = _measure_targets(register, hadamard, qubits, reps)
    if qubits <= PROBABILITIES_MAX_QUBITS:
        cases["probabilities"] = _probabilities(register, reps)
        cases["probabilities floor: 2^n floats into a list"] = _float_list_floor(qubits, reps)
    return {"cases": cases, "version": getattr(korvel, "__version__", None)}
