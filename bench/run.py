"""korvel's benchmark suite: one command, one table, one JSON file, one plot.

    python bench/run.py [--quick] [--max-qubits N] [--only korvel,qulacs,aer,numpy]

Measures, for n = 16, 20, 24, 26, 28 (up to --max-qubits) and 2 threads: the memory-bandwidth
sweep, korvel's gate passes (every target; 0, 1 and 2 controls; 4 and 10 targets in one call),
probabilities, measure and measure_all, the same gate in qulacs, Qiskit Aer and NumPy, call
overhead on 1 and 4 qubits and the peak memory of a 26-qubit register. Every measurement runs
in a fresh process, one at a time, so states are freed between runs. Results go to
bench/results/latest.json and bench/results/latest.png."""

import argparse
import json
import os
import subprocess
import sys
import time
from pathlib import Path

import machine
import report
from korvel_cases import MEMORY_PROBE_QUBITS
from workload import QUBIT_COUNTS, THREADS

BENCH_DIR = Path(__file__).resolve().parent
WORKER = BENCH_DIR / "worker.py"
DEFAULT_OUTPUT = BENCH_DIR / "results" / "latest.json"
SIMULATORS = ("korvel", "qulacs", "aer", "numpy")

# Bytes a simulator holds at n qubits, in states of 16 * 2^n bytes (NumPy writes into a second
# buffer). A run is skipped when the machine does not have this much available plus a margin.
STATES_HELD = {"korvel": 1, "qulacs": 1, "aer": 1, "numpy": 2}
MEMORY_MARGIN = 2 << 30
WORKER_TIMEOUT_S = 3600


def log(message):
    print(f"[{time.strftime('%H:%M:%S')}] {message}", file=sys.stderr, flush=True)


def worker_environment():
    env = dict(os.environ)
    # korvel's pool, qulacs' OpenMP and any BLAS NumPy calls all get the same thread count.
    env.update(RAYON_NUM_THREADS=str(THREADS), OMP_NUM_THREADS=str(THREADS), OPENBLAS_NUM_THREADS=str(THREADS))
    env.pop("RAYON_RS_NUM_CPUS", None)
    return env


def run_worker(simulator, qubits=0, quick=False):
    command = [sys.executable, str(WORKER), simulator, str(qubits)] + (["--quick"] if quick else [])
    try:
        finished = subprocess.run(command, env=worker_environment(), capture_output=True, text=True,
                                  timeout=WORKER_TIMEOUT_S)
    except subprocess.TimeoutExpired:
        return {"skipped": f"did not finish within {WORKER_TIMEOUT_S} s"}
    if finished.returncode != 0:
        tail = " | ".join(finished.stderr.strip().splitlines()[-3:])
        return {"skipped": f"failed with exit status {finished.returncode}: {tail}"}
    return json.loads(finished.stdout.strip().splitlines()[-1])


def memory_refusal(simulator, qubits):
    needed = STATES_HELD[simulator] * (16 << qubits) + MEMORY_MARGIN
    available = machine.available_memory()
    if available is not None and available < needed:
        return {"skipped": f"needs {needed >> 30} GiB free, {available >> 30} GiB available"}
    return None


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="fewer repetitions per case")
    parser.add_argument("--max-qubits", type=int, default=max(QUBIT_COUNTS),
                        help="largest register measured (default %(default)s; 28 qubits need 4 GiB per state)")
    parser.add_argument("--only", default=",".join(SIMULATORS),
                        help="comma-separated simulators to measure (default: all)")
    parser.add_argument("--output", type=Path, default=DEFAULT_OUTPUT,
                        help="results file; the plot is written beside it with the suffix .png")
    arguments = parser.parse_args()
    arguments.simulators = [s for s in arguments.only.split(",") if s]
    unknown = set(arguments.simulators) - set(SIMULATORS)
    if unknown:
        parser.error(f"unknown simulators: {', '.join(sorted(unknown))}")
    return arguments


def main():
    arguments = parse_arguments()
    qubit_counts = [n for n in QUBIT_COUNTS if n <= arguments.max_qubits]
    results = {
        "machine": machine.describe(),
        "settings": {"threads": THREADS, "quick": arguments.quick, "qubit_counts": qubit_counts,
                     "gate": "dense unitary U3(0.7, 0.3, 0.5): all four entries non-zero and complex",
                     "korvel controls": "the lowest qubits other than the target",
                     "statistic": "min over repeats per target; worst and median over targets",
                     "source_revision": machine.source_revision()},
        "sweep": {},
        "simulators": {simulator: {} for simulator in arguments.simulators},
    }
    program = machine.build_sweep(log)
    for qubits in qubit_counts:
        log(f"bandwidth sweep, {qubits} qubits")
        before = machine.sweep(program, qubits, THREADS, arguments.quick)
        for simulator in arguments.simulators:
            log(f"{simulator}, {qubits} qubits")
            outcome = memory_refusal(simulator, qubits) or run_worker(simulator, qubits, arguments.quick)
            if "skipped" in outcome:
                log(f"  skipped: {outcome['skipped']}")
            results["simulators"][simulator][str(qubits)] = outcome
        # Swept again afterwards: on a shared machine a core may be busy during one of the two,
        # and the yardstick must be the machine's capability, not its worst moment.
        log(f"bandwidth sweep again, {qubits} qubits")
        after = machine.sweep(program, qubits, THREADS, arguments.quick)
        results["sweep"][str(qubits)] = dict(min(before, after, key=lambda run: run["min_s"]),
                                             runs_min_s=[before["min_s"], after["min_s"]])
    if "korvel" in arguments.simulators:
        log("korvel call overhead, 1 and 4 qubits")
        results["overhead"] = run_worker("korvel-overhead")
        log(f"korvel peak memory, {MEMORY_PROBE_QUBITS} qubits")
        results["memory"] = memory_refusal("korvel", MEMORY_PROBE_QUBITS) or run_worker("korvel-memory")
    results["versions"] = {simulator: next((entry.get("version") for entry in by_n.values() if "version" in entry), None)
                           for simulator, by_n in results["simulators"].items()}
    results["peer_speedups"] = report.peer_speedups(results)
    results["machine"]["load_average_at_end"] = os.getloadavg()
    results["table"] = report.render(results)

    report.write_json(results, arguments.output)
    plot = arguments.output.with_suffix(".png")
    try:
        report.write_plot(results, plot)
    except ImportError:
        log("matplotlib is not installed: no plot written")
        plot = None
    print(results["table"])
    log(f"wrote {arguments.output}" + (f" and {plot}" if plot else ""))
    if arguments.output == DEFAULT_OUTPUT and plot and report.update_readme(results, BENCH_DIR / "README.md",
                                                                            f"results/{plot.name}"):
        log("updated the latest results in bench/README.md")


if __name__ == "__main__":
    main()
