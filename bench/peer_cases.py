"""The same dense single-qubit gate in the peers: qulacs, Qiskit Aer and a NumPy formulation.
Each function returns {"cases": {...}, "version": ...} like korvel_cases.measure, or raises
ImportError when the peer is not installed."""

from workload import DENSE_UNITARY, THREADS, peer_targets, repeat_times, repeats, spread


def _gates_per_run(qubits):
    """Gates batched into one call so that the per-call cost of the Python layer is spread
    over many passes where a pass is short."""
    return {16: 100, 20: 20, 24: 4, 26: 2}.get(qubits, 1)


def measure_qulacs(qubits, quick):
    # OMP_NUM_THREADS is set by the parent before this process starts; qulacs reads it once.
    import numpy as np
    import qulacs
    from qulacs import QuantumCircuit, QuantumState
    from qulacs.gate import H, DenseMatrix

    unitary = np.array(DENSE_UNITARY)
    state = QuantumState(qubits)
    spread_circuit = QuantumCircuit(qubits)
    for target in range(qubits):
        spread_circuit.add_gate(H(target))
    spread_circuit.update_quantum_state(state)

    reps = repeats(qubits, quick)
    batch = _gates_per_run(qubits)
    per_target = {}
    for target in peer_targets(qubits):
        circuit = QuantumCircuit(qubits)
        for _ in range(batch):
            circuit.add_gate(DenseMatrix(target, unitary))
        per_target[target] = min(repeat_times(lambda: circuit.update_quantum_state(state), reps)) / batch
    return {"cases": {"apply_gate 1 target": spread(per_target)},
            "version": getattr(qulacs, "__version__", None),
            "method": f"DenseMatrix gate, {batch} per update_quantum_state call"}


def measure_aer(qubits, quick):
    import qiskit
    import qiskit_aer
    from qiskit import QuantumCircuit
    from qiskit_aer import AerSimulator

    # No fusion (it would merge the repeated gates into one) and no truncation (it would drop
    # the qubits the circuit never touches); the parallel threshold lies below every n measured.
    simulator = AerSimulator(method="statevector", precision="double", max_parallel_threads=THREADS,
                             max_parallel_experiments=1, max_parallel_shots=1, fusion_enable=False,
                             enable_truncation=False, statevector_parallel_threshold=14)

    def circuit_on(target, gates):
        circuit = QuantumCircuit(qubits)
        for _ in range(gates):
            circuit.unitary(DENSE_UNITARY, [target])
        return circuit

    def experiment_seconds(circuit):
        return simulator.run(circuit, shots=1).result().results[0].time_taken

    reps = repeats(qubits, quick)
    batch = _gates_per_run(qubits)
    per_target = {}
    for target in peer_targets(qubits):
        # Each run allocates and initialises a fresh state; the difference between a run of
        # 1 + batch gates and a run of 1 gate leaves only the batch's passes. The simulator's
        # own clock of the experiment leaves out circuit conversion and job handling in Python.
        short, long = circuit_on(target, 1), circuit_on(target, 1 + batch)
        short_s = min(experiment_seconds(short) for _ in range(reps))
        long_s = min(experiment_seconds(long) for _ in range(reps))
        per_target[target] = max(long_s - short_s, 0.0) / batch
    return {"cases": {"apply_gate 1 target": spread(per_target)},
            "version": f"qiskit-aer {qiskit_aer.__version__}, qiskit {qiskit.__version__}",
            "method": f"unitary instruction; experiment time of runs of 1+{batch} gates minus runs of 1 gate"}


def measure_numpy(qubits, quick):
    import numpy as np

    unitary = np.array(DENSE_UNITARY)
    state = np.empty(1 << qubits, dtype=complex)
    state.fill(2.0 ** (-qubits / 2))  # touches every page
    out = np.empty_like(state)

    def formulation(target):
        # With short runs along the last axis matmul pays per 2x2 product; einsum walks them
        # better. From 8-element runs on, matmul wins.
        return "einsum" if target < 3 else "matmul"

    def apply(target):
        shape = (1 << (qubits - target - 1), 2, 1 << target)
        source, result = state.reshape(shape), out.reshape(shape)
        if formulation(target) == "einsum":
            np.einsum("ij,ajb->aib", unitary, source, out=result)
        else:
            np.matmul(unitary, source, out=result)

    reps = repeats(qubits, quick)
    per_target = {}
    for target in peer_targets(qubits):
        per_target[target] = min(repeat_times(lambda: apply(target), reps))
    return {"cases": {"apply_gate 1 target": spread(per_target)},
            "version": np.__version__,
            "method": "reshape to (2^(n-t-1), 2, 2^t); einsum for t < 3, matmul otherwise; out-of-place into a "
                      "second buffer; single-threaded"}
