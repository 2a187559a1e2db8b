"""End-to-end benchmark of korvel's Qiskit faces against Qiskit Aer, on the same thread count.

    python bench/qiskit_frameworks.py                  # n = 12, 14, ..., 26
    python bench/qiskit_frameworks.py --max-qubits 16  # a quick run

Workloads, each measured on every qubit and sampled with 10^4 shots: the quantum Fourier
transform of a generic product state, a quantum-volume circuit (depth n), a layered random
circuit (20 layers of random one-qubit rotations and a brick of CX), and a 100-binding sweep of
efficient_su2 (reps 2). Contenders:

- `korvel backend`: KorvelBackend().run(circuit).result().get_counts(), lowering included;
- `aer backend`: AerSimulator with its defaults (fusion on), the circuit already transpiled
  for it (Aer cannot run library blocks such as the QFT gate unconverted);
- `korvel sampler` / `aer sampler`: KorvelSampler and qiskit_aer.primitives.SamplerV2, one pub,
  down to the BitArray of the measured register.

For the sweep the backends run 100 bound circuits (bound beforehand, untimed) and the samplers
one pub with a (100, P) array of parameter values. Each size runs in a fresh process, one
contender after the other, with RAYON_NUM_THREADS / OMP_NUM_THREADS and Aer's
max_parallel_threads all set to the thread count. Every time is the best of the repeats.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import subprocess
import sys
import time
from pathlib import Path

from framework_runs import add_size_options, names, repeats_at, run_workers, sizes, write_report

HERE = Path(__file__).resolve().parent
WORKLOADS = ("qft", "quantum_volume", "layered_random", "efficient_su2_sweep")
CONTENDERS = ("korvel backend", "aer backend", "korvel sampler", "aer sampler")
SWEEP_BINDINGS = 100


def build(workload: str, n: int):
    """(circuit, parameter values or None) of a workload; measured on every qubit."""
    import numpy as np
    from qiskit import QuantumCircuit
    from qiskit.circuit.library import QFTGate, efficient_su2, quantum_volume

    rng = np.random.default_rng(n)
    if workload == "qft":
        circuit = QuantumCircuit(n)
        for q in range(n):
            circuit.ry(rng.uniform(0, np.pi), q)
        circuit.append(QFTGate(n), range(n))
        values = None
    elif workload == "quantum_volume":
        circuit = quantum_volume(n, seed=n).decompose()
        values = None
    elif workload == "layered_random":
        circuit = QuantumCircuit(n)
        for layer in range(20):
            for q in range(n):
                circuit.u(*rng.uniform(-np.pi, np.pi, 3), q)
            for q in range(layer % 2, n - 1, 2):
                circuit.cx(q, q + 1)
        values = None
    else:
        circuit = efficient_su2(n, reps=2)
        values = rng.uniform(-np.pi, np.pi, (SWEEP_BINDINGS, circuit.num_parameters))
    circuit.measure_all()
    return circuit, values


def best_time(call, repeats: int) -> float:
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def all_counts(job) -> list:
    result = job.result()
    return [result.get_counts(i) for i in range(len(result.results))]


def worker(n: int, shots: int, repeats: int, threads: int, workloads, contenders) -> dict:
    """Times every contender on every workload at one size; runs in its own process."""
    from qiskit import transpile
    from qiskit_aer import AerSimulator
    from qiskit_aer.primitives import SamplerV2 as AerSampler

    from korvel_qiskit import KorvelBackend, KorvelSampler

    aer = AerSimulator(method="statevector", max_parallel_threads=threads)
    aer_sampler = AerSampler(options={"backend_options": {
        "method": "statevector", "max_parallel_threads": threads}})
    korvel_backend = KorvelBackend()
    korvel_sampler = KorvelSampler()
    out = {}
    for workload in workloads:
        circuit, values = build(workload, n)
        for_aer = transpile(circuit, aer)
        if values is None:
            bound, bound_aer = [circuit], [for_aer]
        else:
            bound = [circuit.assign_parameters(v) for v in values]
            bound_aer = [for_aer.assign_parameters(v) for v in values]
        pub = (circuit,) if values is None else (circuit, values)
        aer_pub = (for_aer,) if values is None else (for_aer, values)
        calls = {
            "korvel backend": lambda: all_counts(korvel_backend.run(bound, shots=shots)),
            "aer backend": lambda: all_counts(aer.run(bound_aer, shots=shots)),
            "korvel sampler": lambda: korvel_sampler.run([pub], shots=shots).result()[0]
            .data.meas,
            "aer sampler": lambda: aer_sampler.run([aer_pub], shots=shots).result()[0]
            .data.meas,
        }
        times = {}
        for name in contenders:
            calls[name]()  # warm-up: imports, first pool start, page faults of a first state
            times[name] = best_time(calls[name], repeats)
        out[workload] = times
    return out


def machine() -> dict:
    info = {"python": platform.python_version(), "machine": platform.machine(),
            "cpus": os.cpu_count(), "load_average": os.getloadavg()}
    try:
        import qiskit
        import qiskit_aer

        info["qiskit"] = qiskit.__version__
        info["qiskit_aer"] = qiskit_aer.__version__
    except ImportError:
        pass
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    info["cpu"] = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    try:
        info["revision"] = subprocess.run(
            ["git", "-C", str(HERE), "rev-parse", "--short", "HEAD"], capture_output=True,
            text=True, check=False).stdout.strip()
    except OSError:
        pass
    return info


def table(results: dict, sizes) -> str:
    lines = []
    header = f"{'workload / contender':34}" + "".join(f"{'n=' + str(n):>22}" for n in sizes)
    lines.append(header)
    lines.append("-" * len(header))
    for workload in WORKLOADS:
        for name in CONTENDERS:
            cells = []
            for n in sizes:
                times = results.get(str(n), {}).get(workload, {})
                if name not in times:
                    cells.append(f"{'-':>22}")
                    continue
                t = times[name]
                peer = times.get(name.replace("korvel", "aer"))
                ratio = f" ({peer / t:4.2f}x)" if name.startswith("korvel") and peer else ""
                cells.append(f"{t * 1e3:>13.1f} ms{ratio:>7}" if ratio else f"{t * 1e3:>19.1f} ms")
            lines.append(f"{workload + ' / ' + name:34}" + "".join(cells))
    lines.append("(x): Aer's time over korvel's, above 1 when korvel is faster")
    return "\n".join(lines)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    add_size_options(parser, 12, 26, HERE / "results" / "qiskit_latest.json")
    parser.add_argument("--workloads", default=",".join(WORKLOADS))
    parser.add_argument("--contenders", default=",".join(CONTENDERS))
    args = parser.parse_args()
    workloads, contenders = names(args.workloads), names(args.contenders)

    if args.worker is not None:
        result = worker(args.worker, args.shots, repeats_at(args.worker, args.repeats), args.threads,
                        workloads, contenders)
        print(json.dumps(result))
        return 0

    results = run_workers(__file__, args, lambda n: [
        "--workloads", ",".join(workloads), "--contenders", ",".join(contenders)])
    write_report(args.output, {"shots": args.shots, "threads": args.threads,
                               "sweep_bindings": SWEEP_BINDINGS, "machine": machine(),
                               "seconds": results})
    print(table(results, sizes(args)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
