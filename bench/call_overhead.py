"""Cost of one Python call on registers so small that the amplitude work is negligible."""

from timing import per_call_seconds
from workload import DENSE_UNITARY, OVERHEAD_QUBIT_COUNTS


def measure():
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
