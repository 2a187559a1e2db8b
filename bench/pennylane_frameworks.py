"""End-to-end benchmark of korvel.qubit against lightning.qubit, on the same thread count.

    python bench/pennylane_frameworks.py                # n = 12, 14, ..., 24
    python bench/pennylane_frameworks.py --quick        # n = 12 and 14, one repeat: a smoke run

Workloads, all on one QNode per device with a 20-term Pauli-sum observable:

- `forward`: the expectation value of StronglyEntanglingLayers (2 layers), no gradient (its
  weights not trainable: with trainable ones both devices take the Jacobian on execution);
- `sel gradient`: its full adjoint gradient (6n parameters), value included;
- `su2 gradient`: the full adjoint gradient of an efficient-SU2-style ansatz (RY and RZ on
  every wire, a CNOT ladder, 2 repetitions and a final rotation layer: 6n parameters);
- `shots`: 10^4 samples of every wire after StronglyEntanglingLayers.

Each size runs in a fresh process, one device after the other, with RAYON_NUM_THREADS and
OMP_NUM_THREADS both set to the thread count (Lightning reads the latter, korvel the former).
Every time is the best of the repeats, after a warm-up call that also builds PennyLane's caches.
"""

from __future__ import annotations

import argparse
import json
import sys
import time
from pathlib import Path

from framework_runs import add_size_options, names, repeats_at, run_workers, sizes, write_report

HERE = Path(__file__).resolve().parent
WORKLOADS = ("forward", "sel gradient", "su2 gradient", "shots")
DEVICES = ("korvel.qubit", "lightning.qubit")
TERMS = 20


def observable(qml, n: int, rng):
    """TERMS random Pauli words of weight 1 to 3 with random coefficients."""
    paulis = (qml.X, qml.Y, qml.Z)
    terms = []
    for _ in range(TERMS):
        wires = rng.choice(n, size=int(rng.integers(1, 4)), replace=False)
        word = paulis[int(rng.integers(3))](int(wires[0]))
        for wire in wires[1:]:
            word = word @ paulis[int(rng.integers(3))](int(wire))
        terms.append(word)
    return qml.Hamiltonian(list(rng.normal(size=TERMS)), terms)


def su2_ansatz(qml, weights, n: int) -> None:
    for rep in range(weights.shape[0]):
        for w in range(n):
            qml.RY(weights[rep, w, 0], wires=w)
            qml.RZ(weights[rep, w, 1], wires=w)
        if rep < weights.shape[0] - 1:
            for w in range(n - 1):
                qml.CNOT(wires=[w, w + 1])


def best_time(call, repeats: int) -> float:
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def worker(n: int, shots: int, repeats: int, workloads, devices) -> dict:
    """Times every device on every workload at one size; runs in its own process."""
    import numpy as np
    import pennylane as qml
    from pennylane import numpy as pnp

    rng = np.random.default_rng(n)
    hamiltonian = observable(qml, n, rng)
    sel = pnp.array(rng.uniform(-np.pi, np.pi, (2, n, 3)), requires_grad=True)
    su2 = pnp.array(rng.uniform(-np.pi, np.pi, (3, n, 2)), requires_grad=True)
    # Both devices take the adjoint Jacobian on execution when a parameter is trainable, so the
    # forward value alone is asked for with parameters that are not.
    fixed = pnp.array(sel, requires_grad=False)
    out: dict = {w: {} for w in workloads}
    for name in devices:
        device = qml.device(name, wires=n)

        @qml.qnode(device, diff_method="adjoint")
        def sel_energy(weights):
            qml.StronglyEntanglingLayers(weights, wires=range(n))
            return qml.expval(hamiltonian)

        @qml.qnode(device, diff_method="adjoint")
        def su2_energy(weights):
            su2_ansatz(qml, weights, n)
            return qml.expval(hamiltonian)

        @qml.set_shots(shots=shots)
        @qml.qnode(device)
        def samples(weights):
            qml.StronglyEntanglingLayers(weights, wires=range(n))
            return qml.sample(wires=range(n))

        calls = {
            "forward": lambda: sel_energy(fixed),
            "sel gradient": lambda: qml.grad(sel_energy)(sel),
            "su2 gradient": lambda: qml.grad(su2_energy)(su2),
            "shots": lambda: samples(sel),
        }
        for workload in workloads:
            calls[workload]()  # warm-up
            out[workload][name] = best_time(calls[workload], repeats)
    return out


def table(results: dict, sizes) -> str:
    lines = []
    header = f"{'workload / device':32}" + "".join(f"{'n=' + str(n):>22}" for n in sizes)
    lines += [header, "-" * len(header)]
    for workload in WORKLOADS:
        for name in DEVICES:
            cells = []
            for n in sizes:
                times = results.get(str(n), {}).get(workload, {})
                if name not in times:
                    cells.append(f"{'-':>22}")
                    continue
                t, peer = times[name], times.get("lightning.qubit")
                if name == "korvel.qubit" and peer:
                    cells.append(f"{t * 1e3:>13.1f} ms ({peer / t:4.2f}x)")
                else:
                    cells.append(f"{t * 1e3:>19.1f} ms")
            lines.append(f"{workload + ' / ' + name:32}" + "".join(cells))
    lines.append("(x): lightning.qubit's time over korvel.qubit's, above 1 when korvel is faster")
    return "\n".join(lines)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    add_size_options(parser, 12, 24, HERE / "results" / "pennylane_latest.json")
    parser.add_argument("--workloads", default=",".join(WORKLOADS))
    parser.add_argument("--devices", default=",".join(DEVICES))
    parser.add_argument("--quick", action="store_true", help="n = 12 and 14, one repeat, output not kept")
    args = parser.parse_args()
    workloads, devices = names(args.workloads), names(args.devices)
    if args.quick:
        args.min_qubits, args.max_qubits, args.repeats = 12, min(args.max_qubits, 14), 1

    if args.worker is not None:
        print(json.dumps(worker(args.worker, args.shots, repeats_at(args.worker, args.repeats), workloads,
                                devices)))
        return 0

    import machine

    results = run_workers(__file__, args, lambda n: [
        "--workloads", ",".join(workloads), "--devices", ",".join(devices)])
    print(table(results, sizes(args)))
    if not args.quick:
        write_report(args.output, {"shots": args.shots, "threads": args.threads, "terms": TERMS,
                                   "machine": machine.describe(), "revision": machine.source_revision(),
                                   "seconds": results})
    return 0


if __name__ == "__main__":
    sys.exit(main())
