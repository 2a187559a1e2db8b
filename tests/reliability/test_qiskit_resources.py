"""korvel_qiskit's faces under load: thousands of runs of a small circuit leave resident memory,
the collector's objects and reference counts flat; forked children, multiprocessing workers and
process-pool executors finish their circuits and draw shots of their own; eight threads sharing
a sampler and a backend get what one thread gets in turn; circuits too large for the memory there
is raise MemoryError and leave the interpreter working."""

import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from fork_tools import FORK_HELPERS, assert_children_sound
from support import GROWTH_MEASURE, ADDRESS_SPACE_LIMIT, needs_plain_address_space, run_workload, under_address_sanitizer

pytest.importorskip("qiskit")

from qiskit import QuantumCircuit  # noqa: E402
from qiskit.circuit import Parameter  # noqa: E402
from qiskit.circuit.random import random_circuit  # noqa: E402

from korvel_qiskit import KorvelBackend, KorvelSampler  # noqa: E402

# Qiskit's own work per call (pub coercion, Result and BitArray construction, a job thread for
# the primitives) is 1.3 to 1.8 ms here against tens of microseconds in the runner, so the faces
# get 10,000 runs only outside the sanitizer, where they take about a minute; under it, 1,000.
RUNS = 1000 if under_address_sanitizer() else 10000

CIRCUITS = """
from qiskit import QuantumCircuit
from qiskit.circuit import Parameter
from qiskit.quantum_info import SparsePauliOp
from korvel_qiskit import KorvelBackend, KorvelSampler, KorvelEstimator

def small_circuit(measure=True):
    theta = Parameter("theta")
    circuit = QuantumCircuit(6)
    circuit.h(range(6))
    for q in range(5):
        circuit.cx(q, q + 1)
    circuit.ry(theta, 2)
    if measure:
        circuit.measure_all()
    return circuit

def mid_measured(n):
    circuit = QuantumCircuit(n, n)
    circuit.h(range(n))
    circuit.measure(0, 0)
    with circuit.if_test((circuit.clbits[0], 1)):
        circuit.x(1)
    circuit.measure(range(n), range(n))
    return circuit
"""

LEAK_WORKLOAD = CIRCUITS + GROWTH_MEASURE + """
import math


measured = small_circuit()
bound = measured.assign_parameters([0.3])
unmeasured = small_circuit(measure=False)
dynamic = mid_measured(6)
observable = SparsePauliOp(["ZZIIII", "XIXIIY", "IIIZZZ"])
backend, sampler, estimator = KorvelBackend(), KorvelSampler(seed=3), KorvelEstimator()
values = np.linspace(0, 1, 4).reshape(4, 1)

cases = {
    "KorvelBackend.run counts": (lambda: backend.run(bound, shots=256, seed_simulator=1).result(), [bound]),
    "KorvelBackend.run memory": (lambda: backend.run(bound, shots=256, memory=True).result(), [bound]),
    "KorvelSampler.run": (lambda: sampler.run([(measured, values)], shots=256).result(), [measured, values]),
    "KorvelEstimator.run": (lambda: estimator.run([(unmeasured, observable, values)]).result(),
                            [unmeasured, observable, values]),
    # every branch of a circuit that measures, resets and branches mid-way
    "KorvelEstimator.run measured": (lambda: estimator.run([(dynamic, observable)]).result(),
                                     [dynamic]),
    # refusals
    "KorvelBackend.run unbound": (lambda: backend.run(measured), [measured]),
    "KorvelSampler.run nan": (lambda: sampler.run([(measured, [math.nan])]), [measured]),
}

measure_growth(cases, int(sys.argv[1]), settle=300)
"""

LEAK_CASES = ["KorvelBackend.run counts", "KorvelBackend.run memory", "KorvelSampler.run",
              "KorvelEstimator.run", "KorvelBackend.run unbound", "KorvelSampler.run nan",
              "KorvelEstimator.run measured"]


@pytest.fixture(scope="module")
def growth():
    document, _ = run_workload("import numpy as np\n" + LEAK_WORKLOAD, args=[RUNS], timeout=1200)
    return document


@pytest.mark.parametrize("case", LEAK_CASES)
def test_thousands_of_runs_leave_nothing_behind(growth, case):
    result = growth[case]
    assert result["refcounts"] == [0] * len(result["refcounts"]), result
    assert abs(result["objects"]) <= 50, result
    if not under_address_sanitizer():
        # A result kept per run (256 shots of counts, BitArrays or memory strings, and the
        # 64-amplitude state) is kilobytes: 10,000 runs would add tens of megabytes.
        assert result["rss_kib"] < 2048, result


def test_every_leak_case_was_run(growth):
    assert sorted(growth) == sorted(LEAK_CASES)


FORK_WORKLOAD = "import numpy as np\n" + CIRCUITS + FORK_HELPERS + """
from concurrent.futures import ProcessPoolExecutor

circuit = small_circuit().assign_parameters([0.7])
mid = mid_measured(8)
sampler, backend = KorvelSampler(), KorvelBackend(memory=True)

def draws():
    # Seedless: final measurements (drawn from the state) and mid-circuit ones (trajectories).
    return [sampler.run([circuit], shots=64).result()[0].data.meas.array.ravel().tolist(),
            backend.run(mid, shots=64).result().get_memory()]

def WORK():
    return {"draws": draws(),
            "seeded": KorvelSampler(seed=9).run([mid], shots=32).result()[0].data.c.array.ravel().tolist()}

seeded = KorvelSampler(seed=9).run([mid], shots=32).result()[0].data.c.array.ravel().tolist()
parent_draws = [draws()]
results = []
for i in range(int(sys.argv[1])):
    results.append(via_os_fork() if i % 2 == 0 else via_multiprocessing())
    parent_draws.append(draws())

# The package's own way out of the process: a fork-based process pool as the executor.
context = multiprocessing.get_context("fork")
with ProcessPoolExecutor(2, mp_context=context) as pool:
    spread = KorvelSampler(executor=pool).run([circuit] * 4, shots=64).result()
    spread_seeded = KorvelSampler(seed=9, executor=pool).run([mid], shots=32).result()
for pub in spread:
    results.append({"draws": [pub.data.meas.array.ravel().tolist()], "exit": 0})
report({"results": results, "parent_draws": parent_draws, "seeded": seeded,
        "spread_seeded": spread_seeded[0].data.c.array.ravel().tolist()})
"""


def test_forked_children_workers_and_process_pools_run_circuits_and_draw_anew():
    forks = 8  # 4 by os.fork, 4 multiprocessing pool workers, then 4 pubs on a process pool
    document, _ = run_workload(FORK_WORKLOAD, args=[forks], timeout=600)
    results = document["results"]
    assert len(results) == forks + 4
    parent = [[draw[0]] for draw in document["parent_draws"]]
    assert_children_sound(results[forks:], parent)
    assert_children_sound(results[:forks], document["parent_draws"])
    for child in results[:forks]:
        assert child["seeded"] == document["seeded"]
    assert document["spread_seeded"] == document["seeded"]


# -- eight threads at once -------------------------------------------------------------------

THREADS = 8
ROUNDS = 3


def thread_circuits():
    """Per thread: a random circuit that measures, resets and branches, and a parametric one."""
    theta = Parameter("theta")
    work = []
    for t in range(THREADS):
        mixed = random_circuit(5, 5, max_operands=3, measure=True, conditional=True, reset=True, seed=100 + t)
        sweep = random_circuit(6, 4, max_operands=2, seed=200 + t)
        sweep.ry(theta, t % 6)
        sweep.measure_all()
        work.append((mixed, sweep))
    return work


def sampler_job(sampler, circuits):
    mixed, sweep = circuits
    values = np.linspace(-np.pi, np.pi, 5).reshape(5, 1)
    result = sampler.run([mixed, (sweep, values)], shots=200).result()
    return [np.asarray(getattr(pub.data, name).array).tolist()
            for pub in result for name in sorted(pub.data.keys())]


def backend_job(backend, circuits, seed):
    mixed, sweep = circuits
    bound = sweep.assign_parameters([0.4])
    result = backend.run([mixed, bound], shots=200, seed_simulator=seed, memory=True).result()
    return [result.get_memory(0), result.get_memory(1)]


def all_at_once(job, count):
    barrier = threading.Barrier(count)

    def started(index):
        barrier.wait()
        return job(index)

    with ThreadPoolExecutor(count) as pool:
        futures = [pool.submit(started, i) for i in range(count)]
        return [future.result(timeout=300) for future in futures]


def test_sampler_and_backend_from_eight_threads_equal_a_sequential_run():
    work = thread_circuits()
    shared_sampler, shared_backend = KorvelSampler(seed=17), KorvelBackend()

    def sampler_of(t):
        # Threads share one sampler, or bring their own of another seed.
        return shared_sampler if t % 2 == 0 else KorvelSampler(seed=1000 + t)

    expected_samples = [sampler_job(sampler_of(t), work[t]) for t in range(THREADS)]
    expected_memory = [backend_job(shared_backend, work[t], 50 + t) for t in range(THREADS)]
    for _ in range(ROUNDS):
        assert all_at_once(lambda t: sampler_job(sampler_of(t), work[t]), THREADS) == expected_samples
        assert all_at_once(lambda t: backend_job(shared_backend, work[t], 50 + t), THREADS) == expected_memory
        # Both faces at once, four threads each.
        mixed = all_at_once(lambda i: (sampler_job(sampler_of(i), work[i]) if i % 2 == 0
                                       else backend_job(shared_backend, work[i], 50 + i)), THREADS)
        assert mixed == [expected_samples[i] if i % 2 == 0 else expected_memory[i] for i in range(THREADS)]


# -- memory --------------------------------------------------------------------------------

MEMORY_WORKLOAD = CIRCUITS + ADDRESS_SPACE_LIMIT + """
def outcome(call):
    try:
        call()
        return ["ok"]
    except BaseException as error:
        return [type(error).__name__, str(error)]

def hadamards(n, measure=True):
    circuit = QuantumCircuit(n)
    circuit.h(range(n))
    if measure:
        circuit.measure_all()
    return circuit

small = small_circuit().assign_parameters([0.2])
KorvelSampler().run([hadamards(20)], shots=4).result()  # the pool's threads exist before the limit
limit_headroom(700)
results = {
    "backend 27": outcome(lambda: KorvelBackend().run(hadamards(27), shots=8).result()),
    "sampler 29": outcome(lambda: KorvelSampler().run([hadamards(29)], shots=8).result()),
    "estimator 26": outcome(lambda: KorvelEstimator().run(
        [(hadamards(26, measure=False), SparsePauliOp("Z" * 26))]).result()),
    # 512 MiB for the state the shots share fit; the register a shot runs on does not.
    "sampler 25 mid-circuit": outcome(lambda: KorvelSampler().run([mid_measured(25)], shots=2).result()),
    "backend 30": outcome(lambda: KorvelBackend().run(hadamards(30), shots=8)),
}
results["after"] = {
    "backend": sum(KorvelBackend().run(small, shots=16).result().get_counts().values()),
    "sampler": KorvelSampler().run([mid_measured(24)], shots=2).result()[0].data.c.num_shots,
    "estimator": float(KorvelEstimator().run(
        [(hadamards(3, measure=False), SparsePauliOp("XXX"))]).result()[0].data.evs),
}
report(results)
"""


@needs_plain_address_space
def test_circuits_larger_than_memory_raise_memory_error_and_the_interpreter_goes_on():
    document, _ = run_workload(MEMORY_WORKLOAD, timeout=300)
    refused = "memory allocation of %d bytes failed"
    assert document["backend 27"] == ["MemoryError", refused % (16 << 27)]
    assert document["sampler 29"] == ["MemoryError", refused % (16 << 29)]
    assert document["estimator 26"] == ["MemoryError", refused % (16 << 26)]
    assert document["sampler 25 mid-circuit"] == ["MemoryError", refused % (16 << 25)]
    assert document["backend 30"][0] == "ValueError" and "30 qubits" in document["backend 30"][1]
    after = document["after"]
    assert after["backend"] == 16 and after["sampler"] == 2 and after["estimator"] == pytest.approx(1.0)
