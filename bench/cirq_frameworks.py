"""End-to-end benchmark of korvel_cirq's KorvelSimulator beside qsim (qsimcirq) and
cirq.Simulator, on the same thread count, with the precision a Cirq user gains over qsim.

    python bench/cirq_frameworks.py                  # n = 16, 18, ..., 26
    python bench/cirq_frameworks.py --quick          # n = 10 and 12, one repeat: a smoke run

Workloads, each measured on every qubit and sampled with 10^4 shots: the quantum Fourier
transform (cirq.qft) of a generic product state; 20 random layers of one-qubit gates (PhasedXZ)
and a brick of CZ; a quantum-volume-style circuit of depth n made of random two-qubit
MatrixGates on random pairs. Contenders, each timed from the circuit to the measurement records
(`run(circuit, repetitions=shots)`), translation included:

- `korvel`: KorvelSimulator, complex128;
- `qsim`: qsimcirq.QSimSimulator with qsim_options t = threads (complex64, its gate fusion on);
- `cirq`: cirq.Simulator(dtype=complex128), NumPy (BLAS and OpenMP capped to the thread count);
  skipped above --cirq-max-qubits, where one run takes minutes.

Each row also gives `error`: the largest |amplitude| difference between qsim's final state
(complex64) and korvel's (complex128) for the circuit without its measurements, the rounding a
Cirq user sheds by simulating with korvel. Each size runs in a fresh process, one contender
after the other, with RAYON_NUM_THREADS, OMP_NUM_THREADS and OPENBLAS_NUM_THREADS all set to the
thread count. Every time is the best of the repeats.
"""

from __future__ import annotations

import argparse
import json
import sys
import time
from pathlib import Path

from framework_runs import add_size_options, names, repeats_at, run_workers, sizes, write_report

HERE = Path(__file__).resolve().parent
WORKLOADS = ("qft", "layered_random", "quantum_volume")
CONTENDERS = ("korvel", "qsim", "cirq")
LAYERS = 20


def build(workload: str, n: int):
    """The workload's circuit without measurements, on LineQubits 0..n-1."""
    import cirq
    import numpy as np

    rng = np.random.default_rng(n)
    qubits = cirq.LineQubit.range(n)
    circuit = cirq.Circuit()
    if workload == "qft":
        circuit.append(cirq.ry(rng.uniform(0, np.pi))(q) for q in qubits)
        # Decomposed into its gates on one and two qubits for every contender: cirq.Simulator
        # applies the whole QuantumFourierTransformGate as its 2^n x 2^n unitary, which from 16
        # qubits no longer fits in memory.
        circuit.append(cirq.decompose(cirq.qft(*qubits), keep=lambda op: cirq.num_qubits(op) <= 2))
    elif workload == "layered_random":
        for layer in range(LAYERS):
            circuit.append(cirq.PhasedXZGate(x_exponent=x, z_exponent=z, axis_phase_exponent=a)(q)
                           for q, (x, z, a) in zip(qubits, rng.uniform(-1, 1, (n, 3))))
            circuit.append(cirq.CZ(qubits[q], qubits[q + 1]) for q in range(layer % 2, n - 1, 2))
    else:
        for _ in range(n):
            order = rng.permutation(n)
            for k in range(0, n - 1, 2):
                u = cirq.testing.random_unitary(4, random_state=int(rng.integers(1 << 31)))
                circuit.append(cirq.MatrixGate(u).on(qubits[order[k]], qubits[order[k + 1]]))
    return circuit


def best_time(call, repeats: int) -> float:
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def worker(n: int, shots: int, repeats: int, threads: int, workloads, contenders,
           cirq_max_qubits: int) -> dict:
    """Times every contender on every workload at one size; runs in its own process."""
    import cirq
    import numpy as np
    import qsimcirq

    from korvel_cirq import KorvelSimulator

    simulators = {
        "korvel": KorvelSimulator(seed=1),
        "qsim": qsimcirq.QSimSimulator(qsim_options={"t": threads}, seed=1),
        "cirq": cirq.Simulator(dtype=np.complex128, seed=1),
    }
    out = {}
    for workload in workloads:
        body = build(workload, n)
        measured = body + cirq.measure(*sorted(body.all_qubits()), key="m")
        times = {}
        for name in contenders:
            if name == "cirq" and n > cirq_max_qubits:
                continue
            simulator = simulators[name]
            call = lambda: simulator.run(measured, repetitions=shots)  # noqa: E731
            call()  # warm-up: imports, first pool start, page faults of a first state
            times[name] = best_time(call, repeats)
        if "korvel" in contenders and "qsim" in contenders:
            exact = simulators["korvel"].simulate(body).final_state_vector
            single = simulators["qsim"].simulate(body).final_state_vector
            times["error"] = float(np.max(np.abs(single.astype(np.complex128) - exact)))
        out[workload] = times
    return out


def machine() -> dict:
    sys.path.insert(0, str(HERE))
    from machine import describe, source_revision

    info = describe()
    info["revision"] = source_revision()
    for package in ("cirq", "qsimcirq", "numpy"):
        try:
            info[package] = __import__(package).__version__
        except ImportError:
            pass
    return info


def table(results: dict, sizes, contenders) -> str:
    lines = []
    header = f"{'workload / contender':28}" + "".join(f"{'n=' + str(n):>22}" for n in sizes)
    lines.append(header)
    lines.append("-" * len(header))
    for workload in WORKLOADS:
        for name in (*contenders, "error"):
            cells = []
            for n in sizes:
                times = results.get(str(n), {}).get(workload, {})
                if name not in times:
                    cells.append(f"{'-':>22}")
                elif name == "error":
                    cells.append(f"{times[name]:>22.1e}")
                else:
                    t = times[name]
                    ratio = f" ({t / times['korvel']:4.2f}x)" if name != "korvel" \
                        and "korvel" in times else ""
                    cells.append(f"{t * 1e3:>13.1f} ms{ratio:>7}" if ratio
                                 else f"{t * 1e3:>19.1f} ms")
            lines.append(f"{workload + ' / ' + name:28}" + "".join(cells))
    lines.append("(x): the contender's time over korvel's, above 1 when korvel is faster; error: "
                 "max |qsim amplitude - korvel amplitude|")
    return "\n".join(lines)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    add_size_options(parser, 16, 26, HERE / "results" / "cirq_latest.json")
    parser.add_argument("--cirq-max-qubits", type=int, default=22)
    parser.add_argument("--workloads", default=",".join(WORKLOADS))
    parser.add_argument("--contenders", default=",".join(CONTENDERS))
    parser.add_argument("--quick", action="store_true",
                        help="n = 10 and 12, one repeat, 1000 shots; writes nothing")
    args = parser.parse_args()
    if args.quick:
        args.min_qubits, args.max_qubits, args.repeats, args.shots = 10, 12, 1, 1000
    workloads, contenders = names(args.workloads), names(args.contenders)

    if args.worker is not None:
        result = worker(args.worker, args.shots, repeats_at(args.worker, args.repeats), args.threads,
                        workloads, contenders, args.cirq_max_qubits)
        print(json.dumps(result))
        return 0

    results = run_workers(__file__, args, lambda n: [
        "--cirq-max-qubits", str(args.cirq_max_qubits), "--workloads", ",".join(workloads),
        "--contenders", ",".join(contenders)])
    print(table(results, sizes(args), contenders))
    if not args.quick:
        write_report(args.output, {"shots": args.shots, "threads": args.threads, "layers": LAYERS,
                                   "machine": machine(), "seconds": results})
    return 0


if __name__ == "__main__":
    sys.exit(main())
