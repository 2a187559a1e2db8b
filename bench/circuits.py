"""Whole circuits, one apply_gate per gate, as sweeps of the state: the circuit's time divided by
one in-place sweep of a dense non-zero state of the same size (bench/bandwidth_sweep.cpp), beside
the peers, and the number of sweeps the sequence planner makes of each circuit.

    python bench/circuits.py [--qubits 16,20,24] [--only korvel,qulacs,aer,qsim] [--output PATH]
    python bench/circuits.py --worker SIMULATOR CIRCUIT QUBITS   # one timing, one JSON line

Every simulator runs each circuit in a fresh process with 2 threads. The circuits:
  h_layers  two layers of H on every qubit (2n gates)
  qft       Fourier transform: H on qubit j, then a controlled phase from every lower qubit
  u3_cx     10 layers of random U3 on every qubit, each followed by a CNOT ladder
  qv        10 layers of random qubit pairs, each pair 8 random U3 and 3 CNOTs (QuantumVolume-like)
"""

import argparse
import cmath
import json
import math
import os
import random
import subprocess
import sys
import time
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
THREADS = 2
CIRCUITS = ("h_layers", "qft", "u3_cx", "qv")
SIMULATORS = ("korvel", "runner", "qulacs", "aer", "qsim")


# ---- circuits: ("h", t) | ("u3", theta, phi, lam, t) | ("cp", theta, c, t) | ("cx", c, t) ----

def h_layers(n):
    return [("h", q) for _ in range(2) for q in range(n)]


def qft(n):
    gates = []
    for j in reversed(range(n)):
        gates.append(("h", j))
        gates += [("cp", math.pi / 2 ** (j - k), k, j) for k in reversed(range(j))]
    return gates


def _u3(rng, q):
    return ("u3", rng.uniform(0, math.pi), rng.uniform(0, 2 * math.pi), rng.uniform(0, 2 * math.pi), q)


def u3_cx(n, layers=10, seed=1):
    rng = random.Random(seed)
    gates = []
    for _ in range(layers):
        gates += [_u3(rng, q) for q in range(n)]
        gates += [("cx", q, q + 1) for q in range(n - 1)]
    return gates


def qv(n, layers=10, seed=2):
    rng = random.Random(seed)
    gates = []
    for _ in range(layers):
        order = list(range(n))
        rng.shuffle(order)
        for a, b in zip(order[0::2], order[1::2]):
            for cx in ((a, b), (b, a), (a, b)):
                gates += [_u3(rng, a), _u3(rng, b), ("cx", *cx)]
            gates += [_u3(rng, a), _u3(rng, b)]
    return gates


def build(name, n):
    return {"h_layers": h_layers, "qft": qft, "u3_cx": u3_cx, "qv": qv}[name](n)


def matrix(gate):
    """(rows, target, controls) of a gate for korvel."""
    kind = gate[0]
    if kind == "h":
        s = 1 / math.sqrt(2)
        return [[s, s], [s, -s]], gate[1], []
    if kind == "u3":
        theta, phi, lam, t = gate[1:]
        c, s = math.cos(theta / 2), math.sin(theta / 2)
        return [[c, -cmath.exp(1j * lam) * s], [cmath.exp(1j * phi) * s, cmath.exp(1j * (phi + lam)) * c]], t, []
    if kind == "cp":
        theta, c, t = gate[1:]
        return [[1, 0], [0, cmath.exp(1j * theta)]], t, [c]
    c, t = gate[1:]
    return [[0, 1], [1, 0]], t, [c]


# ---- one timing per process -------------------------------------------------------------------

def _best(call, budget_s=4.0, most=5):
    """Best wall time of `call` over up to `most` runs, fewer once `budget_s` is spent."""
    times = []
    while len(times) < most and (not times or sum(times) < budget_s):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return min(times)


def time_korvel(gates, n):
    import korvel
    cache = {}
    calls = []
    for gate in gates:
        rows, t, controls = matrix(gate)
        key = repr(rows)
        if key not in cache:
            cache[key] = korvel.QGate(rows)
        calls.append((cache[key], [t], controls))
    hadamard = korvel.QGate(matrix(("h", 0))[0])
    reg = korvel.Register(n)
    reg.apply_gate(hadamard, range(n), [])  # a dense state, every page written
    reg.measure_all()

    def circuit():
        apply = reg.apply_gate
        for g, t, c in calls:
            apply(g, t, c)
        reg.measure_all()  # the reading that settles queued passes

    # The reading alone, subtracted: it is not part of the circuit.
    return _best(circuit) - _best(reg.measure_all), None


def time_qulacs(gates, n):
    import numpy as np
    import qulacs
    from qulacs import QuantumCircuit, QuantumState
    from qulacs.gate import CNOT, H, U3, DenseMatrix
    circuit = QuantumCircuit(n)
    for gate in gates:
        kind = gate[0]
        if kind == "h":
            circuit.add_gate(H(gate[1]))
        elif kind == "u3":
            circuit.add_gate(U3(gate[4], *gate[1:4]))
        elif kind == "cx":
            circuit.add_gate(CNOT(*gate[1:]))
        else:
            phase = DenseMatrix(gate[3], np.diag([1, cmath.exp(1j * gate[1])]))
            phase.add_control_qubit(gate[2], 1)
            circuit.add_gate(phase)
    state = QuantumState(n)
    state.set_Haar_random_state(1)
    return _best(lambda: circuit.update_quantum_state(state)), qulacs.__version__


def _qiskit_circuit(gates, n):
    from qiskit import QuantumCircuit
    qc = QuantumCircuit(n)
    for gate in gates:
        kind = gate[0]
        if kind == "h":
            qc.h(gate[1])
        elif kind == "u3":
            qc.u(*gate[1:4], gate[4])
        elif kind == "cx":
            qc.cx(*gate[1:])
        else:
            qc.cp(gate[1], gate[2], gate[3])
    qc.measure_all()
    return qc


def time_aer(gates, n):
    import qiskit_aer
    from qiskit_aer import AerSimulator
    # Defaults (fusion on), double precision, 2 threads. The experiment's own time, less that of
    # a one-gate circuit (allocation, initialisation, the one-shot measurement).
    simulator = AerSimulator(method="statevector", max_parallel_threads=THREADS)
    full, empty = _qiskit_circuit(gates, n), _qiskit_circuit([("h", 0)], n)

    def experiment(qc):
        return simulator.run(qc, shots=1).result().results[0].time_taken

    best_full = min(experiment(full) for _ in range(2 if n >= 24 else 3))
    best_empty = min(experiment(empty) for _ in range(2 if n >= 24 else 3))
    return best_full - best_empty, qiskit_aer.__version__


def time_qsim(gates, n):
    import cirq
    import numpy as np
    import qsimcirq
    qubits = cirq.LineQubit.range(n)

    def circuit_of(gates):
        ops = []
        for gate in gates:
            kind = gate[0]
            if kind == "h":
                ops.append(cirq.H(qubits[gate[1]]))
            elif kind == "cx":
                ops.append(cirq.CNOT(qubits[gate[1]], qubits[gate[2]]))
            elif kind == "cp":
                ops.append(cirq.CZPowGate(exponent=gate[1] / math.pi)(qubits[gate[2]], qubits[gate[3]]))
            else:
                ops.append(cirq.MatrixGate(np.array(matrix(gate)[0], dtype=complex))(qubits[gate[4]]))
        # Every qubit present, so that the trivial circuit has the same state size.
        return cirq.Circuit([cirq.I(q) for q in qubits] + ops)

    simulator = qsimcirq.QSimSimulator(qsim_options=qsimcirq.QSimOptions(cpu_threads=THREADS))
    full, empty = circuit_of(gates), circuit_of([])
    # Wall time less that of an empty circuit (allocation, conversion of the state to NumPy).
    return (_best(lambda: simulator.simulate(full)) - _best(lambda: simulator.simulate(empty)),
            qsimcirq.__version__)


def runner_program(gates):
    """The gates as the runner's program: an array of its step records."""
    import numpy as np
    step = np.dtype([("kind", "<u4"), ("target", "<u4"), ("controls", "<u8"), ("cond_mask", "<u8"),
                     ("cond_value", "<u8"), ("clbit", "<u4"), ("reserved", "<u4"), ("matrix", "<f8", (8,))])
    program = np.zeros(len(gates), dtype=step)
    for i, gate in enumerate(gates):
        rows, t, controls = matrix(gate)
        program[i]["target"] = t
        program[i]["controls"] = sum(1 << c for c in controls)
        program[i]["matrix"] = [part for row in rows for v in row for part in (complex(v).real, complex(v).imag)]
    return program


def time_runner(gates, n):
    import korvel_runner
    program = runner_program(gates)
    state = korvel_runner.simulate(n, runner_program([("h", q) for q in range(n)]))
    return _best(lambda: state.run(program)), None


TIMERS = {"korvel": time_korvel, "runner": time_runner, "qulacs": time_qulacs, "aer": time_aer,
          "qsim": time_qsim}


def worker(simulator, circuit, n):
    gates = build(circuit, n)
    try:
        seconds, version = TIMERS[simulator](gates, n)
        result = {"seconds": seconds, "version": version, "gates": len(gates)}
    except ImportError as error:
        result = {"skipped": f"not importable: {error}"}
    print(json.dumps(result))


# ---- the driver --------------------------------------------------------------------------------

def plan_sweeps(program, circuit, n):
    lines = []
    for gate in build(circuit, n):
        rows, t, controls = matrix(gate)
        entries = [complex(v) for row in rows for v in row]
        lines.append(" ".join([str(t), str(sum(1 << c for c in controls))] +
                              [repr(x) for e in entries for x in (e.real, e.imag)]))
    output = subprocess.run([str(program), str(n)], input="\n".join(lines), check=True,
                            capture_output=True, text=True).stdout
    return json.loads(output)


def run_worker(simulator, circuit, n):
    env = dict(os.environ, RAYON_NUM_THREADS=str(THREADS), OMP_NUM_THREADS=str(THREADS),
               OPENBLAS_NUM_THREADS=str(THREADS))
    done = subprocess.run([sys.executable, __file__, "--worker", simulator, circuit, str(n)],
                          capture_output=True, text=True, env=env)
    if done.returncode != 0:
        return {"skipped": f"failed: {done.stderr.strip().splitlines()[-1:]}"}
    return json.loads(done.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--worker", nargs=3, metavar=("SIMULATOR", "CIRCUIT", "QUBITS"))
    parser.add_argument("--qubits", default="16,20,24")
    parser.add_argument("--only", default=",".join(SIMULATORS))
    parser.add_argument("--circuits", default=",".join(CIRCUITS))
    parser.add_argument("--output", default=str(BENCH_DIR / "results" / "circuits.json"))
    args = parser.parse_args()
    if args.worker:
        simulator, circuit, n = args.worker
        return worker(simulator, circuit, int(n))

    sys.path.insert(0, str(BENCH_DIR))
    import machine
    sweep_program = machine.build_sweep(lambda line: print(line, file=sys.stderr))
    plan_program = sweep_program.parent / "plan_sweeps"
    subprocess.run(["cmake", "--build", str(machine.BUILD_DIR), "--target", "plan_sweeps", "-j", "2"],
                   check=True, stdout=subprocess.DEVNULL)
    simulators = args.only.split(",")
    document = {"machine": machine.describe(),
                "load_average_at_start": os.getloadavg(), "threads": THREADS, "results": {}}
    for n in (int(q) for q in args.qubits.split(",")):
        sweep_s = machine.sweep(sweep_program, n, THREADS, quick=False)["min_s"]
        entry = document["results"][str(n)] = {"sweep_s": sweep_s, "circuits": {}}
        for circuit in args.circuits.split(","):
            row = entry["circuits"][circuit] = {"plan": plan_sweeps(plan_program, circuit, n)}
            for simulator in simulators:
                result = run_worker(simulator, circuit, n)
                if "seconds" in result:
                    result["sweeps"] = result["seconds"] / sweep_s
                row[simulator] = result
                shown = f"{result['sweeps']:8.1f} sweeps" if "sweeps" in result else result.get("skipped")
                print(f"n={n:2d} {circuit:9s} {simulator:7s} {shown}", file=sys.stderr, flush=True)
    document["load_average_at_end"] = os.getloadavg()
    Path(args.output).write_text(json.dumps(document, indent=1) + "\n")
    print(markdown_table(document))


def markdown_table(document):
    simulators = [s for s in SIMULATORS
                  if any(s in row for entry in document["results"].values() for row in entry["circuits"].values())]
    lines = ["| n | circuit | gates | planner sweeps (runner / module) | " + " | ".join(simulators) + " |",
             "|---|---|---|---|" + "---|" * len(simulators)]
    for n, entry in document["results"].items():
        for circuit, row in entry["circuits"].items():
            plan = row["plan"]
            cells = []
            for s in simulators:
                r = row.get(s, {})
                cells.append(f"{r['sweeps']:.1f}" if "sweeps" in r else "–")
            lines.append(f"| {n} | {circuit} | {plan['gates']} | {plan['runner_sweeps']} / {plan['module_sweeps']} | "
                         + " | ".join(cells) + " |")
    return "\n".join(lines)


if __name__ == "__main__":
    main()
