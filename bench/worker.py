"""Runs one measurement in a process of its own and prints its result as one JSON object.

    python bench/worker.py SIMULATOR QUBITS [--quick]

A fresh process per simulator and size frees every state between runs, lets the thread count
be fixed through the environment before a library reads it, and keeps one simulator's peak
memory out of another's figures. A peer that cannot be imported yields {"skipped": reason}."""

import argparse
import json
import sys

import korvel_cases
import peer_cases

SIMULATORS = {
    "korvel": korvel_cases.measure,
    "qulacs": peer_cases.measure_qulacs,
    "aer": peer_cases.measure_aer,
    "numpy": peer_cases.measure_numpy,
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("simulator", choices=[*SIMULATORS, "korvel-overhead", "korvel-memory"])
    parser.add_argument("qubits", type=int, nargs="?", default=0)
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    try:
        if args.simulator == "korvel-overhead":
            result = korvel_cases.measure_overhead()
        elif args.simulator == "korvel-memory":
            result = korvel_cases.measure_memory()
        else:
            result = SIMULATORS[args.simulator](args.qubits, args.quick)
    except ImportError as error:
        result = {"skipped": f"not importable: {error}"}
    json.dump(result, sys.stdout)
    sys.stdout.write("\n")


if __name__ == "__main__":
    main()
