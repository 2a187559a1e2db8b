"""Peak resident memory of one process that builds a 26-qubit register and puts it through
every operation except probabilities() (whose result list belongs to the caller). Runs in a
process of its own so that nothing else has raised the high-water mark."""

import resource

from workload import DENSE_UNITARY, HADAMARD

QUBITS = 26


def _peak_rss_bytes():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024  # KiB on Linux


def measure():
    import korvel

    gate = korvel.QGate(DENSE_UNITARY)
    hadamard = korvel.QGate(HADAMARD)
    baseline = _peak_rss_bytes()
    register = korvel.Register(QUBITS)
    for target in range(QUBITS):
        register.apply_gate(hadamard, [target], [])
    for target in range(QUBITS):
        register.apply_gate(gate, [target], [])
        register.apply_gate(gate, [target], [(target + 1) % QUBITS])
        register.apply_gate(gate, [target], [(target + 1) % QUBITS, (target + 2) % QUBITS])
    register.apply_gate(gate, list(range(10)), [])
    for target in (0, QUBITS // 2, QUBITS - 1):
        register.measure(target)
    register.measure_all()
    peak = _peak_rss_bytes()
    state = 16 << QUBITS
    return {
        "qubits": QUBITS,
        "state_bytes": state,
        "baseline_peak_rss_bytes": baseline,
        "peak_rss_bytes": peak,
        "peak_over_state": peak / state,
        "growth_over_state": (peak - baseline) / state,
    }
