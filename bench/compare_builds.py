"""Two builds of korvel side by side on the same circuits: each build runs in its own fresh
process, the two alternating, and each time is the best over the rounds, so that a change to
the engine (a kernel written another way, a planner rule) is judged in the same minutes as the
code it replaces.

    pip install --no-deps --target /tmp/korvel-a .        # one tree
    pip install --no-deps --target /tmp/korvel-b .        # the other
    python bench/compare_builds.py /tmp/korvel-a /tmp/korvel-b --qubits 24 \\
        --circuits quantum_volume,heisenberg

The circuits are bench/multi_qubit.py's, lowered by each build's own korvel_qiskit and run with
korvel_runner.simulate(fusion=True). A build installed with --target finds oneTBB through
LD_LIBRARY_PATH, which is set here to the running interpreter's environment's lib folder.
"""

import argparse
import json
import os
import subprocess
import sys
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent

TIMING = r"""
import json, os, sys, time
sys.path.insert(0, os.environ["COMPARE_BENCH_DIR"])
import multi_qubit, korvel_runner
from korvel_qiskit.lowering import lower
n, repeats, out = int(os.environ["COMPARE_QUBITS"]), int(os.environ["COMPARE_REPEATS"]), {}
for name in os.environ["COMPARE_CIRCUITS"].split(","):
    lowered = lower(multi_qubit.build(name, n))
    program = lowered.program(None)
    korvel_runner.simulate(n, program, fusion=True)
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        korvel_runner.simulate(n, program, fusion=True)
        best = min(best, time.perf_counter() - start)
    out[name] = best
print(json.dumps({"build": os.path.dirname(korvel_runner.__file__), "seconds": out}))
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build_a", type=Path)
    parser.add_argument("build_b", type=Path)
    parser.add_argument("--qubits", type=int, default=24)
    parser.add_argument("--circuits", default="quantum_volume,qaoa,heisenberg,u3_cx")
    parser.add_argument("--rounds", type=int, default=2, help="alternations of the two builds")
    parser.add_argument("--repeats", type=int, default=3, help="timed runs per process")
    args = parser.parse_args()
    names = [c for c in args.circuits.split(",") if c]
    env = dict(os.environ, COMPARE_BENCH_DIR=str(BENCH_DIR), COMPARE_QUBITS=str(args.qubits),
               COMPARE_REPEATS=str(args.repeats), COMPARE_CIRCUITS=",".join(names),
               RAYON_NUM_THREADS="2", LD_LIBRARY_PATH=str(Path(sys.prefix) / "lib"))
    best = {build: {} for build in (args.build_a, args.build_b)}
    for _ in range(args.rounds):
        for build in best:
            result = subprocess.run([sys.executable, "-c", TIMING], env=dict(env, PYTHONPATH=str(build)),
                                    capture_output=True, text=True, cwd="/")
            if result.returncode != 0:
                sys.exit(f"{build}: {result.stderr.strip()}")
            document = json.loads(result.stdout)
            if Path(document["build"]).resolve() != build.resolve():
                sys.exit(f"{build}: imported korvel_runner from {document['build']} instead")
            for name, seconds in document["seconds"].items():
                best[build][name] = min(seconds, best[build].get(name, float("inf")))
    a, b = best[args.build_a], best[args.build_b]
    print(f"n = {args.qubits}, best of {args.rounds} x {args.repeats}; load average {os.getloadavg()[0]:.2f}")
    for name in names:
        print(f"{name:16s} A {a[name] * 1e3:9.1f} ms   B {b[name] * 1e3:9.1f} ms   B/A {b[name] / a[name]:.2f}")


if __name__ == "__main__":
    main()
