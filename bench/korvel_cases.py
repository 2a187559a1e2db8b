"""korvel's rows: gate passes per target with 0, 1 and 2 controls, several targets in one call,
probabilities and the two measurements, on one register of n qubits; the cost of one call on a
tiny register; and the peak memory of a 26-qubit register."""

import array
import resource
import statistics

from workload import (DENSE_UNITARY, HADAMARD, MULTI_TARGET_COUNTS, OVERHEAD_QUBIT_COUNTS, per_call_seconds,
                      repeat_times, repeats, single, spread)

# The result list of probabilities() costs a Python float and a list slot per outcome
# (32 bytes, 8 GiB at 28 qubits); above this size it is not measured.
PROBABILITIES_MAX_QUBITS = 26

# The register of the peak-memory probe: a 1 GiB state dwarfs the interpreter and the libraries.
MEMORY_PROBE_QUBITS = 26


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
    times = repeat_times(register.probabilities, reps)
    return single(min(times), median_of_repeats_s=statistics.median(times))


def _float_list_floor(qubits, reps):
    """What any probabilities() must pay at least: 2^n new Python floats in a new list, made
    in C from a buffer of doubles (array.tolist), with no arithmetic at all."""
    doubles = array.array("d", bytes(8 << qubits))
    return single(min(repeat_times(doubles.tolist, reps)))


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


def measure_overhead():
    """Cost of one Python call on registers so small that the amplitude work is negligible."""
    import korvel

    results = {}
    for qubits in OVERHEAD_QUBIT_COUNTS:
        namespace = {
            "register": korvel.Register(qubits),
            "gate": korvel.QGate(DENSE_UNITARY),
            "targets": [0],
            "no_controls": [],
        }
        results[str(qubits)] = {
            "apply_gate(g, [0], [])": per_call_seconds("register.apply_gate(gate, targets, no_controls)", namespace),
            "apply_gate(g, [0], []) with literal lists": per_call_seconds("register.apply_gate(gate, [0], [])",
                                                                         namespace),
            "measure(0)": per_call_seconds("register.measure(0)", namespace),
            "measure_all()": per_call_seconds("register.measure_all()", namespace),
            "empty loop reference: len(targets)": per_call_seconds("len(targets)", namespace),
        }
    return {"overhead_s": results}


def _peak_rss_bytes():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024  # KiB on Linux


def measure_memory():
    """Peak resident memory of a process that builds one register and puts it through every
    operation except probabilities() (whose result list belongs to the caller). The worker runs
    it in a process of its own so that nothing else has raised the high-water mark."""
    import korvel

    qubits = MEMORY_PROBE_QUBITS
    gate = korvel.QGate(DENSE_UNITARY)
    hadamard = korvel.QGate(HADAMARD)
    baseline = _peak_rss_bytes()
    register = korvel.Register(qubits)
    _spread_amplitudes(register, hadamard, qubits)
    for target in range(qubits):
        register.apply_gate(gate, [target], [])
        register.apply_gate(gate, [target], [(target + 1) % qubits])
        register.apply_gate(gate, [target], [(target + 1) % qubits, (target + 2) % qubits])
    register.apply_gate(gate, list(range(10)), [])
    for target in (0, qubits // 2, qubits - 1):
        register.measure(target)
    register.measure_all()
    peak = _peak_rss_bytes()
    state = 16 << qubits
    return {
        "qubits": qubits,
        "state_bytes": state,
        "baseline_peak_rss_bytes": baseline,
        "peak_rss_bytes": peak,
        "peak_over_state": peak / state,
        "growth_over_state": (peak - baseline) / state,
    }
