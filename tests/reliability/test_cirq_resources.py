"""korvel_cirq's simulator under load: 10,000 runs of small circuits leave resident memory, the
collector's objects and reference counts flat; forked children and multiprocessing workers run
circuits and draw shots of their own; eight threads sharing one simulator get, together, the
runs a single thread gets from the same seed."""

import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from fork_tools import FORK_HELPERS, assert_children_sound
from support import GROWTH_MEASURE, run_workload, under_address_sanitizer

cirq = pytest.importorskip("cirq")

from korvel_cirq import KorvelSimulator  # noqa: E402

# Cirq's own work per call (resolvers, results, its state-vector wrapper) is about 1 ms here, so
# 10,000 runs of each case take about a minute outside the sanitizer; under it, 1,000.
RUNS = 1000 if under_address_sanitizer() else 10000

CIRCUITS = """
import cirq, sympy
from korvel_cirq import KorvelSimulator

def small_circuit(measure=True):
    q = cirq.LineQubit.range(6)
    circuit = cirq.Circuit(cirq.H.on_each(*q), [cirq.CNOT(q[i], q[i + 1]) for i in range(5)],
                           cirq.ry(sympy.Symbol("theta"))(q[2]), cirq.ISWAP(q[0], q[5]) ** 0.5)
    if measure:
        circuit.append(cirq.measure(*q, key="m"))
    return circuit

def mid_measured(n):
    q = cirq.LineQubit.range(n)
    return cirq.Circuit(cirq.H.on_each(*q), cirq.measure(q[0], key="a"),
                        cirq.X(q[1]).with_classical_controls("a"), cirq.reset(q[2]),
                        cirq.measure(*q, key="m"))
"""

LEAK_WORKLOAD = CIRCUITS + GROWTH_MEASURE + """
import numpy as np

measured, unmeasured, mid = small_circuit(), small_circuit(measure=False), mid_measured(6)
q = cirq.LineQubit.range(6)
observable = cirq.Z(q[0]) * cirq.Z(q[1]) + 0.5 * cirq.X(q[2]) * cirq.Y(q[5])
simulator = KorvelSimulator(seed=3)
resolver = {"theta": 0.3}
noisy = cirq.Circuit(cirq.depolarize(0.1)(q[0]), cirq.measure(q[0]))

cases = {
    "run": (lambda: simulator.run(measured, resolver, repetitions=256), [measured]),
    "run mid-circuit": (lambda: simulator.run(mid, repetitions=256), [mid]),
    "simulate": (lambda: simulator.simulate(unmeasured, resolver).final_state_vector, [unmeasured]),
    "simulate mid-circuit": (lambda: simulator.simulate(mid).final_state_vector, [mid]),
    "compute_amplitudes": (lambda: simulator.compute_amplitudes(unmeasured, [0, 7], resolver),
                           [unmeasured]),
    "expectation values": (lambda: simulator.simulate_expectation_values(
        unmeasured, observable, resolver), [unmeasured, observable]),
    # refusals
    "run noisy": (lambda: simulator.run(noisy), [noisy]),
    "simulate unbound": (lambda: simulator.simulate(unmeasured), [unmeasured]),
}

measure_growth(cases, int(sys.argv[1]), settle=300)
"""

LEAK_CASES = ["run", "run mid-circuit", "simulate", "simulate mid-circuit", "compute_amplitudes",
              "expectation values", "run noisy", "simulate unbound"]


@pytest.fixture(scope="module")
def growth():
    document, _ = run_workload(LEAK_WORKLOAD, args=[RUNS], timeout=1800)
    return document


@pytest.mark.parametrize("case", LEAK_CASES)
def test_thousands_of_runs_leave_nothing_behind(growth, case):
    result = growth[case]
    assert result["refcounts"] == [0] * len(result["refcounts"]), result
    assert abs(result["objects"]) <= 50, result
    if not under_address_sanitizer():
        # A result kept per run (256 shots of records, a 64-amplitude state) is kilobytes:
        # 10,000 runs would add tens of megabytes.
        assert result["rss_kib"] < 2048, result


def test_every_leak_case_was_run(growth):
    assert sorted(growth) == sorted(LEAK_CASES)


FORK_WORKLOAD = CIRCUITS + FORK_HELPERS + """
circuit = cirq.resolve_parameters(small_circuit(), {"theta": 0.7})
mid = mid_measured(8)
simulator = KorvelSimulator()

def draws():
    # Seedless: final measurements (drawn from the state) and mid-circuit ones (trajectories).
    return [simulator.run(circuit, repetitions=64).records["m"].ravel().tolist(),
            simulator.run(mid, repetitions=64).records["m"].ravel().tolist()]

def seeded():
    return KorvelSimulator(seed=9).run(mid, repetitions=32).records["m"].ravel().tolist()

def WORK():
    return {"draws": draws(), "seeded": seeded()}

parent_seeded = seeded()
parent_draws = [draws()]
results = []
for i in range(int(sys.argv[1])):
    results.append(via_os_fork() if i % 2 == 0 else via_multiprocessing())
    parent_draws.append(draws())
report({"results": results, "parent_draws": parent_draws, "seeded": parent_seeded})
"""


def test_forked_children_and_workers_run_circuits_and_draw_anew():
    document, _ = run_workload(FORK_WORKLOAD, args=[6], timeout=600)
    assert len(document["results"]) == 6
    assert_children_sound(document["results"], document["parent_draws"])
    for child in document["results"]:
        assert child["seeded"] == document["seeded"]


def test_eight_threads_on_one_simulator_get_the_runs_of_one_thread():
    q = cirq.LineQubit.range(8)
    mixed = cirq.Circuit(cirq.H.on_each(*q), cirq.measure(q[0], key="a"),
                         cirq.CZ(q[1], q[2]).with_classical_controls("a"), cirq.reset(q[3]),
                         cirq.FSimGate(0.4, 0.2)(q[3], q[4]), cirq.measure(*q, key="m"))
    terminal = cirq.Circuit(cirq.H.on_each(*q), cirq.ISWAP(q[0], q[7]) ** 0.3,
                            cirq.measure(*q, key="m"))
    threads, rounds = 8, 4

    def job(simulator, circuit):
        return tuple(simulator.run(circuit, repetitions=100).records["m"].ravel().tolist())

    for circuit in (mixed, terminal):
        single = KorvelSimulator(seed=21)
        expected = sorted(job(single, circuit) for _ in range(threads * rounds))
        shared = KorvelSimulator(seed=21)
        barrier = threading.Barrier(threads)

        def worker(_):
            barrier.wait()
            return [job(shared, circuit) for _ in range(rounds)]

        with ThreadPoolExecutor(threads) as pool:
            got = sorted(run for runs in pool.map(worker, range(threads)) for run in runs)
        assert got == expected
    # States and expectation values are exact, so every thread gets the same ones.
    body = terminal[:-1]
    observable = cirq.X(q[0]) * cirq.Y(q[7])
    reference = KorvelSimulator().simulate(body).final_state_vector
    with ThreadPoolExecutor(threads) as pool:
        states = list(pool.map(lambda _: KorvelSimulator().simulate(body).final_state_vector,
                               range(threads)))
        values = list(pool.map(
            lambda _: KorvelSimulator().simulate_expectation_values(body, observable),
            range(threads)))
    assert all(np.array_equal(s, reference) for s in states)
    assert len({tuple(v) for v in values}) == 1
