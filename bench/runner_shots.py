"""Shots from a final state with korvel_runner against the memory-bandwidth yardstick: 10^6 shots
from a 24-qubit state, as State.sample (shuffled indices), State.sample_counts and run_shots of
the same circuit with final measurements. Goal: at most 2 bandwidth sweeps plus 50 ns per shot.

    python bench/runner_shots.py [--qubits 24] [--shots 1000000] [--threads 2] [--repeats 5]

Every amplitude of the state has a non-zero weight (a random Ry rotation on each qubit), so the
second pass reads every chunk. Each case is timed in wall time against the native sweep, and in
processor time (all threads) against a gate pass: the per-shot figure is what remains after two
sweeps (or passes), per shot; on two threads the processor-time goal is 2 × 50 ns. Prints a table
and, with --json PATH, writes the figures there.
"""

import argparse
import json
import os
import sys
import time


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--qubits", type=int, default=24)
    parser.add_argument("--shots", type=int, default=10**6)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--json", help="write the figures to this file")
    return parser.parse_args()


ARGUMENTS = parse_arguments()
# The pool size is read once, at the first pass: set it before the runner does any work.
os.environ["RAYON_NUM_THREADS"] = str(ARGUMENTS.threads)

import numpy as np  # noqa: E402

import korvel_runner  # noqa: E402
import machine  # noqa: E402

STEP_DTYPE = np.dtype([("kind", "<u4"), ("target", "<u4"), ("controls", "<u8"), ("cond_mask", "<u8"),
                       ("cond_value", "<u8"), ("clbit", "<u4"), ("reserved", "<u4"), ("matrix", "<f8", (8,))])


def rotations(n, seed=1):
    rng = np.random.default_rng(seed)
    records = np.zeros(n, STEP_DTYPE)
    for q, angle in enumerate(rng.uniform(0.2, 1.4, n)):
        c, s = np.cos(angle), np.sin(angle)
        records[q]["target"] = q
        records[q]["matrix"] = [c, 0, -s, 0, s, 0, c, 0]
    return records


def final_measurements(n):
    records = np.zeros(n, STEP_DTYPE)
    records["kind"] = 1
    records["target"] = records["clbit"] = np.arange(n)
    return records


def best_times(call, repeats):
    """The best wall time and the best processor time (all threads of this process) of a call."""
    wall, cpu = [], []
    for _ in range(repeats):
        start_wall, start_cpu = time.perf_counter(), time.process_time()
        call()
        wall.append(time.perf_counter() - start_wall)
        cpu.append(time.process_time() - start_cpu)
    return min(wall), min(cpu)


def main():
    n, shots, repeats = ARGUMENTS.qubits, ARGUMENTS.shots, ARGUMENTS.repeats
    sweep_program = machine.build_sweep(lambda line: print("+", line, file=sys.stderr))
    state = korvel_runner.simulate(n, rotations(n))
    circuit = np.concatenate([rotations(n), final_measurements(n)])
    cases = {
        "State.sample": lambda: state.sample(shots, seed=1),
        "State.sample_counts": lambda: state.sample_counts(shots, seed=1),
        "run_shots, final measurements": lambda: korvel_runner.run_shots(n, n, circuit, shots, seed=1),
        "State.sample, 1 shot (the passes alone)": lambda: state.sample(1, seed=1),
    }
    # The sweep before and after the cases, the better kept, as in run.py.
    sweeps = [machine.sweep(sweep_program, n, ARGUMENTS.threads, quick=False)["min_s"]]
    best = {name: best_times(call, repeats) for name, call in cases.items()}
    sweeps.append(machine.sweep(sweep_program, n, ARGUMENTS.threads, quick=False)["min_s"])
    sweep = min(sweeps)
    # A gate pass moves what a sweep moves; its processor time stands in for the sweep's in the
    # processor-time column, which a loaded machine distorts less than wall time.
    gate_wall, gate_cpu = best_times(lambda: state.run(rotations(1)), repeats)

    rows = []
    for name, (wall, cpu) in best.items():
        # run_shots also simulates the circuit: n gate passes before the shots.
        passes = n if name.startswith("run_shots") else 0
        row = {"case": name, "wall_s": wall, "cpu_s": cpu, "wall_sweeps": wall / sweep,
               "wall_ns_per_shot_beyond_2_sweeps": (wall - 2 * sweep - passes * gate_wall) / shots * 1e9,
               "cpu_ns_per_shot_beyond_2_gate_passes": (cpu - (2 + passes) * gate_cpu) / shots * 1e9}
        row["wall_goal_met"] = row["wall_ns_per_shot_beyond_2_sweeps"] <= 50
        row["cpu_goal_met"] = row["cpu_ns_per_shot_beyond_2_gate_passes"] <= 50 * ARGUMENTS.threads
        rows.append(row)
    load = os.getloadavg()
    print(f"{n} qubits, {shots} shots, {ARGUMENTS.threads} threads, best of {repeats}; "
          f"load average {load[0]:.2f}")
    print(f"bandwidth sweep {sweep * 1e3:.2f} ms wall (before {sweeps[0] * 1e3:.2f}, after {sweeps[1] * 1e3:.2f}); "
          f"gate pass {gate_wall * 1e3:.2f} ms wall, {gate_cpu * 1e3:.2f} ms processor")
    print(f"{'case':40} {'wall':>9} {'sweeps':>7} {'ns/shot':>8} {'goal':>6} | {'processor':>9} {'ns/shot':>8} {'goal':>6}")
    for row in rows:
        print(f"{row['case']:40} {row['wall_s'] * 1e3:6.1f} ms {row['wall_sweeps']:7.2f} "
              f"{row['wall_ns_per_shot_beyond_2_sweeps']:8.1f} {'met' if row['wall_goal_met'] else 'missed':>6} | "
              f"{row['cpu_s'] * 1e3:6.1f} ms {row['cpu_ns_per_shot_beyond_2_gate_passes']:8.1f} "
              f"{'met' if row['cpu_goal_met'] else 'missed':>6}")
    if ARGUMENTS.json:
        with open(ARGUMENTS.json, "w", encoding="utf-8") as out:
            json.dump({"qubits": n, "shots": shots, "threads": ARGUMENTS.threads, "sweep_s": sweep,
                       "gate_pass_wall_s": gate_wall, "gate_pass_cpu_s": gate_cpu, "load_average": load,
                       "rows": rows}, out, indent=1)


if __name__ == "__main__":
    main()
