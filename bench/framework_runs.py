"""What the framework benchmarks (Qiskit, PennyLane, Cirq) share: their size, shot, repeat and
thread options, and one fresh worker process per size with every library's threads capped."""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
from pathlib import Path
from typing import Callable, Dict, List

# From this size on a single run takes seconds, so every figure is one run.
ONE_REPEAT_FROM = 22


def add_size_options(parser: argparse.ArgumentParser, min_qubits: int, max_qubits: int,
                     output: Path) -> None:
    parser.add_argument("--min-qubits", type=int, default=min_qubits)
    parser.add_argument("--max-qubits", type=int, default=max_qubits)
    parser.add_argument("--step", type=int, default=2)
    parser.add_argument("--shots", type=int, default=10_000)
    parser.add_argument("--repeats", type=int, default=3,
                        help=f"repeats per figure below {ONE_REPEAT_FROM} qubits (one from then on)")
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--output", type=Path, default=output)
    parser.add_argument("--worker", type=int, help=argparse.SUPPRESS)


def repeats_at(n: int, repeats: int) -> int:
    return repeats if n < ONE_REPEAT_FROM else 1


def names(option: str) -> List[str]:
    return [name for name in option.split(",") if name]


def sizes(args: argparse.Namespace) -> List[int]:
    return list(range(args.min_qubits, args.max_qubits + 1, args.step))


def run_workers(script: str, args: argparse.Namespace, worker_options: Callable[[int], List[str]]
                ) -> Dict[str, dict]:
    """Each size's figures from `script --worker n ...` in a process of its own, so that no
    size inherits another's allocations; exits with the worker's code when one fails."""
    env = dict(os.environ, RAYON_NUM_THREADS=str(args.threads), OMP_NUM_THREADS=str(args.threads),
               OPENBLAS_NUM_THREADS=str(args.threads))
    results: Dict[str, dict] = {}
    for n in sizes(args):
        command = [sys.executable, script, "--worker", str(n), "--shots", str(args.shots),
                   "--repeats", str(args.repeats), "--threads", str(args.threads), *worker_options(n)]
        done = subprocess.run(command, env=env, capture_output=True, text=True, check=False)
        if done.returncode != 0:
            print(done.stderr, file=sys.stderr)
            sys.exit(done.returncode)
        results[str(n)] = json.loads(done.stdout.strip().splitlines()[-1])
        print(f"n={n} done", file=sys.stderr, flush=True)
    return results


def write_report(path: Path, report: dict) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(json.dumps(report, indent=1) + "\n", encoding="utf-8")
