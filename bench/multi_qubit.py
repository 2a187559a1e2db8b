"""Whole circuits with gates on two qubits (SU(4) blocks, Ising and Heisenberg couplings) beside
one-qubit circuits, timed in one run on every simulator's own native face, as sweeps of the state.

    python bench/multi_qubit.py [--qubits 16,20,24] [--repeats 3] [--only runner,aer,...]
    python bench/multi_qubit.py --qubits 26,28 --no-shots # the large sizes, on request
    python bench/multi_qubit.py --quick                   # n = 12 and 14, one repeat, states checked
    python bench/multi_qubit.py --worker SIMULATOR QUBITS # one simulator at one size, one JSON line

Every circuit is built once as a Qiskit circuit and handed to each peer gate by gate through
that peer's own gates (qulacs, PennyLane, Cirq), so every simulator runs the same operations.
Each simulator and size runs in a fresh process with 2 threads; every time is the best of the
repeats after one untimed run (which also gives the final state that --quick checks against
Qiskit's Statevector: 1e-6 for qsim's single precision, 1e-10 for the others, up to a global
phase). Times are divided by one in-place sweep of the same state (bench/bandwidth_sweep.cpp),
and for the QAOA and Heisenberg circuits also by their number of two-qubit gates. Results go to
results/multi_qubit.json; the Markdown table is printed for the README.

What is timed, per simulator:
  runner       korvel_runner.simulate(n, program, fusion=True) with the program lowered once
               beforehand (fusion on, as every framework face runs it)
  statevector  korvel_qiskit.statevector(circuit): lowering, simulation and the amplitudes out
  aer          AerSimulator(method="statevector", max_parallel_threads=2), its defaults (fusion
               on): the experiment's time_taken with measure_all, less that of a one-gate circuit
  qulacs       QuantumCircuit.update_quantum_state on a state set to |0...0> beforehand
  lightning    lightning.qubit (complex128): device.execute of the preprocessed tape, state out
  qsim         qsimcirq.QSimSimulator(cpu_threads=2), complex64: simulate() less that of an
               empty circuit on the same qubits
And through Qiskit end to end, 10^4 shots of the circuit with measure_all, at n >= 20 (at the
largest size in --quick): KorvelBackend().run against AerSimulator() on the circuit transpiled
for it beforehand; the ratio is Aer's time over korvel's.
"""

import argparse
import json
import math
import os
import subprocess
import sys
from pathlib import Path

import numpy as np

BENCH_DIR = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH_DIR))

import circuits  # noqa: E402  (the one-qubit circuits, shared with circuits.py)
import machine  # noqa: E402
from qiskit_frameworks import best_time  # noqa: E402

THREADS = 2
CIRCUITS = ("qft", "h_layers", "u3_cx", "quantum_volume", "qaoa", "efficient_su2", "heisenberg")
# Circuits whose cost is the two-qubit couplings: reported per two-qubit gate as well.
PER_TWO_QUBIT_GATE = ("qaoa", "heisenberg")
SIMULATORS = ("runner", "statevector", "aer", "qulacs", "lightning", "qsim")
LABELS = {"runner": "korvel runner", "statevector": "korvel statevector", "aer": "Aer",
          "qulacs": "qulacs", "lightning": "lightning.qubit", "qsim": "qsim (single precision)"}
# qsim keeps complex64 amplitudes: its rounding after a few hundred gates is around 1e-7.
TOLERANCE = {"qsim": 1e-6}
DOUBLE_TOLERANCE = 1e-10
QAOA_LAYERS = 4
SU2_REPS = 3
HEISENBERG_STEPS = 10
HEISENBERG_DT = 0.1
SHOTS = 10_000
SHOTS_MIN_QUBITS = 20
# The ring and the SU(4) pairs need two qubits; 32 qubits is a 64 GiB state, past any machine
# these figures come from.
MAX_QUBITS = 32


# ---- the circuits, as Qiskit circuits without measurements -------------------------------------

def build(name, n):
    from qiskit import QuantumCircuit
    from qiskit.circuit.library import efficient_su2, quantum_volume

    rng = np.random.default_rng(n)
    if name in ("qft", "h_layers", "u3_cx"):
        qc = circuits._qiskit_circuit(circuits.build(name, n), n)
        qc.remove_final_measurements()
        return qc
    if name == "quantum_volume":
        return quantum_volume(n, depth=n, seed=n)  # UnitaryGate SU(4) blocks on random pairs
    if name == "efficient_su2":
        ansatz = efficient_su2(n, reps=SU2_REPS)
        return ansatz.assign_parameters(rng.uniform(-np.pi, np.pi, ansatz.num_parameters))
    qc = QuantumCircuit(n)
    if name == "qaoa":
        qc.h(range(n))
        for gamma, beta in rng.uniform(0, np.pi, (QAOA_LAYERS, 2)):
            for q in range(n):
                qc.rzz(2 * gamma, q, (q + 1) % n)
            qc.rx(2 * beta, range(n))
        return qc
    if name == "heisenberg":
        # From the Neel state: |0...0> is an eigenstate of the chain and would not move.
        qc.x(range(0, n, 2))
        for _ in range(HEISENBERG_STEPS):
            for q in range(n - 1):
                qc.rxx(2 * HEISENBERG_DT, q, q + 1)
                qc.ryy(2 * HEISENBERG_DT, q, q + 1)
                qc.rzz(2 * HEISENBERG_DT, q, q + 1)
        return qc
    raise ValueError(f"unknown circuit {name!r}; expected one of {', '.join(CIRCUITS)}")


def gate_counts(qc):
    """(gates, two-qubit gates) of a circuit."""
    return len(qc.data), sum(1 for instruction in qc.data if len(instruction.qubits) == 2)


def instructions(qc):
    """(name, qubit indices, float parameters, operation) per instruction."""
    for instruction in qc.data:
        operation = instruction.operation
        yield (operation.name, [qc.find_bit(q).index for q in instruction.qubits],
               [float(p) for p in operation.params if not isinstance(p, np.ndarray)], operation)


def unknown(name, peer):
    return ValueError(f"instruction {name!r} has no translation to {peer}")


# ---- each peer's own circuit ---------------------------------------------------------------------

def qulacs_circuit(qc):
    from qulacs import QuantumCircuit
    from qulacs import gate

    out = QuantumCircuit(qc.num_qubits)
    paulis = {"rxx": 1, "ryy": 2, "rzz": 3}
    for name, qs, ps, operation in instructions(qc):
        if name == "h":
            out.add_gate(gate.H(qs[0]))
        elif name == "x":
            out.add_gate(gate.X(qs[0]))
        elif name == "cx":
            out.add_gate(gate.CNOT(*qs))
        elif name == "u":
            out.add_gate(gate.U3(qs[0], *ps))
        elif name in ("rx", "ry", "rz"):
            # RotX..RotZ are exp(-i theta/2 P) as in Qiskit; qulacs' RX..RZ turn the other way.
            out.add_gate({"rx": gate.RotX, "ry": gate.RotY, "rz": gate.RotZ}[name](qs[0], ps[0]))
        elif name in paulis:
            # PauliRotation is exp(+i theta/2 P): the opposite sign of Qiskit's rxx/ryy/rzz.
            out.add_gate(gate.PauliRotation(qs, [paulis[name]] * 2, -ps[0]))
        elif name == "cp":
            phase = gate.DenseMatrix(qs[1], np.diag([1, np.exp(1j * ps[0])]))
            phase.add_control_qubit(qs[0], 1)
            out.add_gate(phase)
        elif name == "unitary":
            # qulacs, like Qiskit, reads the matrix with the first listed qubit as its lowest bit.
            out.add_gate(gate.DenseMatrix(qs, operation.to_matrix()))
        else:
            raise unknown(name, "qulacs")
    return out


def pennylane_operations(qc):
    """The circuit as PennyLane operations on wires n-1-q, so that PennyLane's state (first wire
    most significant) comes out in Qiskit's order."""
    import pennylane as qml

    n = qc.num_qubits
    simple = {"h": qml.Hadamard, "x": qml.PauliX, "cx": qml.CNOT, "u": qml.U3, "rx": qml.RX,
              "ry": qml.RY, "rz": qml.RZ, "rxx": qml.IsingXX, "ryy": qml.IsingYY,
              "rzz": qml.IsingZZ, "cp": qml.ControlledPhaseShift}
    ops = []
    for name, qs, ps, operation in instructions(qc):
        wires = [n - 1 - q for q in qs]
        if name in simple:
            ops.append(simple[name](*ps, wires=wires))
        elif name == "unitary":
            # PennyLane's matrix has its first wire most significant: Qiskit's last qubit.
            ops.append(qml.QubitUnitary(operation.to_matrix(), wires=wires[::-1]))
        else:
            raise unknown(name, "PennyLane")
    return ops


def cirq_circuit(qc):
    """The circuit on LineQubit(n-1-q), so that Cirq's state (lowest qubit most significant)
    comes out in Qiskit's order; every qubit is present, so a trivial circuit has the same size."""
    import cirq

    n = qc.num_qubits
    qubits = [cirq.LineQubit(n - 1 - q) for q in range(n)]
    # exp(-i theta/2 P P) is P^P to the power theta/pi with a global shift of -1/2.
    couplings = {"rxx": cirq.XXPowGate, "ryy": cirq.YYPowGate, "rzz": cirq.ZZPowGate}
    rotations = {"rx": cirq.rx, "ry": cirq.ry, "rz": cirq.rz}
    ops = [cirq.I(q) for q in qubits]
    for name, qs, ps, operation in instructions(qc):
        on = [qubits[q] for q in qs]
        if name == "h":
            ops.append(cirq.H(*on))
        elif name == "x":
            ops.append(cirq.X(*on))
        elif name == "cx":
            ops.append(cirq.CNOT(*on))
        elif name == "cp":
            ops.append(cirq.CZPowGate(exponent=ps[0] / math.pi)(*on))
        elif name in rotations:
            ops.append(rotations[name](ps[0])(*on))
        elif name in couplings:
            ops.append(couplings[name](exponent=ps[0] / math.pi, global_shift=-0.5)(*on))
        elif name in ("u", "unitary"):
            # Cirq's matrix has its first qubit most significant: Qiskit's last qubit.
            ops.append(cirq.MatrixGate(operation.to_matrix())(*on[::-1]))
        else:
            raise unknown(name, "Cirq")
    return cirq.Circuit(ops)


# ---- one simulator: (time the circuit, its final state in Qiskit's order) ------------------------

def prepare_runner(qc):
    import korvel_runner
    from korvel_qiskit import lower

    lowered = lower(qc)
    program, phase = lowered.program(), float(lowered.phases()[0])

    def final_state():
        return np.asarray(korvel_runner.simulate(lowered.num_qubits, program, fusion=True).amplitudes()) \
            * np.exp(1j * phase)

    return lambda: korvel_runner.simulate(lowered.num_qubits, program, fusion=True), final_state, None


def prepare_statevector(qc):
    from korvel_qiskit import __version__, statevector

    run = lambda: statevector(qc)  # noqa: E731
    return run, run, __version__


def prepare_aer(qc):
    import qiskit_aer
    from qiskit import QuantumCircuit, transpile
    from qiskit_aer import AerSimulator

    simulator = AerSimulator(method="statevector", max_parallel_threads=THREADS)
    n = qc.num_qubits
    measured = transpile(qc.measure_all(inplace=False), simulator, optimization_level=0)
    trivial = QuantumCircuit(n)
    trivial.h(0)
    trivial.measure_all()
    saved = transpile(qc, simulator, optimization_level=0)
    saved.save_statevector()

    def experiment_s(circuit):
        return simulator.run(circuit, shots=1).result().results[0].time_taken

    # The experiment's own clock less that of a one-gate circuit: allocation, initialisation and
    # the measurement, and none of Qiskit's job handling.
    def timed():
        return experiment_s(measured) - experiment_s(trivial)

    def final_state():
        return np.asarray(simulator.run(saved).result().get_statevector())

    return timed, final_state, qiskit_aer.__version__


def prepare_qulacs(qc):
    import qulacs
    from qulacs import QuantumState

    circuit = qulacs_circuit(qc)
    state = QuantumState(qc.num_qubits)

    def final_state():
        state.set_zero_state()
        circuit.update_quantum_state(state)
        return state.get_vector()

    def timed():
        state.set_zero_state()
        return best_time(lambda: circuit.update_quantum_state(state), 1)

    return timed, final_state, qulacs.__version__


def prepare_lightning(qc):
    from importlib.metadata import version

    import pennylane as qml

    device = qml.device("lightning.qubit", wires=qc.num_qubits, c_dtype=np.complex128)
    tape = qml.tape.QuantumScript(pennylane_operations(qc), [qml.state()])
    tapes, _ = device.preprocess_transforms()((tape,))
    run = lambda: device.execute(tapes)[0]  # noqa: E731
    return run, run, version("pennylane_lightning")


def prepare_qsim(qc):
    import cirq
    import qsimcirq

    simulator = qsimcirq.QSimSimulator(qsim_options=qsimcirq.QSimOptions(cpu_threads=THREADS))
    full = cirq_circuit(qc)
    empty = cirq.Circuit(cirq.I(q) for q in sorted(full.all_qubits()))

    def timed():
        return best_time(lambda: simulator.simulate(full), 1) - best_time(lambda: simulator.simulate(empty), 1)

    return timed, lambda: simulator.simulate(full).final_state_vector, qsimcirq.__version__


PREPARE = {"runner": prepare_runner, "statevector": prepare_statevector, "aer": prepare_aer,
           "qulacs": prepare_qulacs, "lightning": prepare_lightning, "qsim": prepare_qsim}
# These give a duration themselves (a peer's own clock, or a difference of two runs).
SELF_TIMED = ("aer", "qulacs", "qsim")


def state_error(state, expected):
    """Largest |amplitude| difference after the global phase that best aligns the two states."""
    state = np.asarray(state, dtype=np.complex128).ravel()
    overlap = np.vdot(state, expected)
    if abs(overlap) > 0:
        state = state * (overlap / abs(overlap))
    return float(np.max(np.abs(state - expected)))


def worker(simulator, n, repeats, check, circuit_names):
    out = {}
    for name in circuit_names:
        qc = build(name, n)
        try:
            timed, final_state, version = PREPARE[simulator](qc)
        except ImportError as error:
            return {"skipped": f"not importable: {error}"}
        except ValueError as error:  # an instruction the peer has no gate for
            out[name] = {"skipped": f"not translated: {error}"}
            continue
        state = final_state()  # untimed: imports, first pool start, the pages of a first state
        entry = {"version": version}
        if check:
            from qiskit.quantum_info import Statevector
            entry["error"] = state_error(state, Statevector(qc).data)
        del state
        if simulator in SELF_TIMED:
            entry["seconds"] = min(timed() for _ in range(repeats))
        else:
            entry["seconds"] = best_time(timed, repeats)
        out[name] = entry
    return out


def shots_worker(n, repeats, circuit_names):
    """Seconds of 10^4 shots through Qiskit, korvel's backend against Aer's, per circuit."""
    from qiskit import transpile
    from qiskit_aer import AerSimulator

    from korvel_qiskit import KorvelBackend

    korvel, aer = KorvelBackend(), AerSimulator(max_parallel_threads=THREADS)
    out = {}
    for name in circuit_names:
        qc = build(name, n).measure_all(inplace=False)
        # optimization_level=0, as for Aer's own row: at Qiskit's default level the transpiler
        # cancels the two H layers, and Aer then samples |0...0> while korvel runs the gates.
        for_aer = transpile(qc, aer, optimization_level=0)
        calls = {"korvel": lambda: korvel.run(qc, shots=SHOTS).result().get_counts(),
                 "aer": lambda: aer.run(for_aer, shots=SHOTS).result().get_counts()}
        for call in calls.values():
            call()  # warm-up
        out[name] = {contender: best_time(call, repeats) for contender, call in calls.items()}
    return out


# ---- the driver --------------------------------------------------------------------------------

def run_worker(arguments):
    env = dict(os.environ, RAYON_NUM_THREADS=str(THREADS), OMP_NUM_THREADS=str(THREADS),
               OPENBLAS_NUM_THREADS=str(THREADS))
    done = subprocess.run([sys.executable, __file__, *arguments], capture_output=True, text=True, env=env)
    if done.returncode != 0:
        return {"skipped": f"failed: {done.stderr.strip().splitlines()[-1:]}"}
    return json.loads(done.stdout.strip().splitlines()[-1])


def tabulate(document):
    """Adds sweeps (per circuit and per two-qubit gate) and the shots ratio to the raw seconds,
    and lists every state that disagrees with Statevector beyond its simulator's tolerance."""
    mismatches = []
    for n, entry in document["results"].items():
        sweep_s = entry["sweep_s"]
        for name, row in entry["circuits"].items():
            for simulator in SIMULATORS:
                result = row.get(simulator)
                if not result or "seconds" not in result:
                    continue
                result["sweeps"] = result["seconds"] / sweep_s
                if name in PER_TWO_QUBIT_GATE and row["two_qubit_gates"]:
                    result["sweeps_per_two_qubit_gate"] = result["sweeps"] / row["two_qubit_gates"]
                tolerance = TOLERANCE.get(simulator, DOUBLE_TOLERANCE)
                if "error" in result and not result["error"] <= tolerance:
                    result["mismatch"] = True
                    mismatches.append(f"n={n} {name} {simulator}: state differs from Statevector by "
                                      f"{result['error']:.3g} (tolerance {tolerance:g})")
            shots = row.get("shots")
            if shots and "korvel" in shots and "aer" in shots:
                shots["aer_over_korvel"] = shots["aer"] / shots["korvel"]
    return mismatches


def markdown_table(document):
    simulators = [s for s in SIMULATORS
                  if any(s in row for entry in document["results"].values() for row in entry["circuits"].values())]
    lines = ["| n | circuit | gates (2-qubit) | " + " | ".join(LABELS[s] for s in simulators)
             + f" | {SHOTS} shots: Aer / KorvelBackend |",
             "|---|---|---|" + "---|" * (len(simulators) + 1)]
    for n, entry in document["results"].items():
        for name, row in entry["circuits"].items():
            cells = []
            for s in simulators:
                result = row.get(s, {})
                cell = f"{result['sweeps']:.1f}" if "sweeps" in result else "–"
                if "sweeps_per_two_qubit_gate" in result:
                    cell += f" ({result['sweeps_per_two_qubit_gate']:.2f}/2q)"
                if result.get("mismatch"):
                    cell += " **wrong state**"
                cells.append(cell)
            ratio = row.get("shots", {}).get("aer_over_korvel")
            cells.append(f"{ratio:.2f}×" if ratio is not None else "–")
            lines.append(f"| {n} | {name} | {row['gates']} ({row['two_qubit_gates']}) | " + " | ".join(cells) + " |")
    lines.append("")
    lines.append("Sweeps per circuit (time ÷ one in-place sweep of the state); for "
                 + " and ".join(PER_TWO_QUBIT_GATE) + " also per two-qubit gate. "
                 f"{document['threads']} threads; CPU: {document['machine']['cpu_model']}.")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--worker", nargs=2, metavar=("SIMULATOR", "QUBITS"))
    parser.add_argument("--shots-worker", type=int, metavar="QUBITS", help=argparse.SUPPRESS)
    parser.add_argument("--qubits", default="16,20,24")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="n = 12 and 14, one repeat, final states checked")
    parser.add_argument("--check", action="store_true", help="check every final state against Statevector")
    parser.add_argument("--only", default=",".join(SIMULATORS))
    parser.add_argument("--circuits", default=",".join(CIRCUITS))
    parser.add_argument("--output", type=Path, default=BENCH_DIR / "results" / "multi_qubit.json")
    parser.add_argument("--no-shots", action="store_true",
                        help="leave out the end-to-end 10^4-shot runs (at 28 qubits Aer's alone take half an hour)")
    args = parser.parse_args()
    circuit_names = [c for c in args.circuits.split(",") if c]
    for name in circuit_names:
        if name not in CIRCUITS:
            parser.error(f"unknown circuit {name!r}; expected some of {', '.join(CIRCUITS)}")
    simulators = [s for s in args.only.split(",") if s]
    for simulator in simulators:
        if simulator not in SIMULATORS:
            parser.error(f"unknown simulator {simulator!r}; expected some of {', '.join(SIMULATORS)}")
    if args.repeats < 1:
        parser.error("--repeats must be at least 1")
    if args.worker:
        simulator, n = args.worker
        if simulator not in SIMULATORS or not n.isdigit():
            parser.error(f"--worker takes one of {', '.join(SIMULATORS)} and a qubit count, not {simulator} {n}")
        print(json.dumps(worker(simulator, int(n), args.repeats, args.check, circuit_names)))
        return 0
    if args.shots_worker is not None:
        print(json.dumps(shots_worker(args.shots_worker, args.repeats, circuit_names)))
        return 0

    if args.quick:
        sizes, repeats, check = [12, 14], 1, True
        shot_sizes = [14]  # below the recorded threshold, so that --quick runs this path too
    else:
        try:
            sizes = [int(q) for q in args.qubits.split(",")]
        except ValueError:
            parser.error(f"--qubits takes a comma-separated list of whole numbers, not {args.qubits!r}")
        if any(not 2 <= n <= MAX_QUBITS for n in sizes):
            parser.error(f"--qubits: every size must lie in 2..{MAX_QUBITS}, got {args.qubits!r}")
        repeats, check = args.repeats, args.check
        shot_sizes = [] if args.no_shots else [n for n in sizes if n >= SHOTS_MIN_QUBITS]
    sweep_program = machine.build_sweep(lambda line: print(line, file=sys.stderr))
    document = {"machine": machine.describe(), "source_revision": machine.source_revision(),
                "simulators": {s: LABELS[s] for s in simulators}, "threads": THREADS, "repeats": repeats,
                "shots": SHOTS, "results": {}}
    common = ["--repeats", str(repeats), "--circuits", ",".join(circuit_names)]
    for n in sizes:
        entry = document["results"][str(n)] = {"circuits": {}}
        available = machine.available_memory()
        # Lightning and Aer's saved state hold a second copy of the state beside the first.
        if available is not None and available < 3 * (16 << n):
            entry["skipped"] = f"{available / 2**30:.1f} GiB available, {3 * (16 << n) / 2**30:.1f} GiB needed"
            print(f"n={n}: skipped, {entry['skipped']}", file=sys.stderr)
            continue
        entry["sweep_s"] = machine.sweep(sweep_program, n, THREADS, quick=args.quick)["min_s"]
        for name in circuit_names:
            gates, two = gate_counts(build(name, n))
            entry["circuits"][name] = {"gates": gates, "two_qubit_gates": two}
        for simulator in simulators:
            result = run_worker(["--worker", simulator, str(n), *common, *(["--check"] if check else [])])
            for name in circuit_names:
                entry["circuits"][name][simulator] = result.get(name, result)
            print(f"n={n:2d} {simulator:11s} {'done' if 'skipped' not in result else result['skipped']}",
                  file=sys.stderr, flush=True)
        if n in shot_sizes:
            result = run_worker(["--shots-worker", str(n), *common])
            for name in circuit_names:
                entry["circuits"][name]["shots"] = result.get(name, result)
    document["load_average_at_end"] = os.getloadavg()
    mismatches = tabulate(document)
    document["mismatches"] = mismatches
    args.output.parent.mkdir(parents=True, exist_ok=True)
    args.output.write_text(json.dumps(document, indent=1) + "\n")
    print(markdown_table(document))
    for line in mismatches:
        print(f"MISMATCH: {line}", file=sys.stderr)
    if mismatches:
        print(f"*** {len(mismatches)} final state(s) disagree with Statevector: the comparison is not fair ***",
              file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
