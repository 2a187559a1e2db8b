"""The circuit runner's resources: ten thousand calls of every entry point leave resident memory,
the collector's objects and the arguments' reference counts flat; forked children and
multiprocessing workers finish their circuits and draw shots of their own; eight threads run a
while_loop program at once with the results of one; circuits too large for the memory there is
raise MemoryError and leave the interpreter working."""

import threading

import pytest

from fork_tools import FORK_HELPERS, assert_children_sound
from support import GROWTH_MEASURE, ADDRESS_SPACE_LIMIT, needs_plain_address_space, run_workload, under_address_sanitizer

pytest.importorskip("korvel_runner")

CALLS_PER_CASE = 10000

# Programs as the Qiskit package builds them: H on every qubit, a ladder of controlled X, and for
# run_shots a mid-circuit measurement, a reset, a conditional X and final measurements.
PROGRAMS = """
import numpy as np
import korvel_runner as kr

STEP = np.dtype([("kind", "<u4"), ("target", "<u4"), ("controls", "<u8"), ("cond_mask", "<u8"),
                 ("cond_value", "<u8"), ("clbit", "<u4"), ("reserved", "<u4"), ("matrix", "<f8", (8,))])
HM = [0.7071067811865476, 0, 0.7071067811865476, 0, 0.7071067811865476, 0, -0.7071067811865476, 0]
XM = [0, 0, 1, 0, 1, 0, 0, 0]

def steps(*records):
    program = np.zeros(len(records), dtype=STEP)
    for k, fields in enumerate(records):
        for name, value in fields.items():
            program[k][name] = value
    return program

def hadamards(n):
    return steps(*[{"target": q, "matrix": HM} for q in range(n)])

def entangling(n, depth=1):
    records = [{"target": q, "matrix": HM} for q in range(n)]
    for _ in range(depth):
        records += [{"target": q + 1, "controls": 1 << q, "matrix": XM} for q in range(n - 1)]
    return steps(*records)

def measured(n):
    records = [{"target": q, "matrix": HM} for q in range(n)]
    records += [{"kind": 1, "target": 0, "clbit": 0}, {"kind": 2, "target": 0},
                {"target": 1, "cond_mask": 1, "cond_value": 1, "matrix": XM}]
    records += [{"kind": 1, "target": q, "clbit": q} for q in range(n)]
    return steps(*records)

from korvel_programs import ProgramBuilder

H2 = np.array(HM).view(complex).reshape(2, 2)

def looped(n):
    # A while_loop in the jump form: H and a measurement of qubit 0 until it reads 1; a flag in
    # bit 1, set before the loop and cleared by set steps on a pass that reads 0, then H on the
    # other qubits where the flag holds and final measurements.
    b = ProgramBuilder()
    b.set(1, 1)
    b.gate((0,), H2)
    b.measure(0, 0)
    b.set(1, 0, (1, 0))
    b.jump(6, 0, (1, 1))
    b.jump(1, 0)
    for q in range(1, n):
        b.gate((q,), H2, condition=(2, 2))
    for q in range(2, n):
        b.measure(q, q)
    return b.program()

def never_ending():
    b = ProgramBuilder()
    b.measure(0, 0)
    b.jump(0, 0, (1, 0))
    return b.program()
"""

LEAK_WORKLOAD = PROGRAMS + GROWTH_MEASURE + """
import pickle

devnull = os.open(os.devnull, os.O_WRONLY)
os.dup2(devnull, 2)


# 10 qubits: 16 KiB of amplitudes, so that a result or state kept by mistake shows in RSS.
program = entangling(10, depth=5)
shots_program = measured(10)
bad_program = np.concatenate([program, steps({"reserved": 1})])
zeroing = np.concatenate([steps({"matrix": [0] * 8}), shots_program])
loop_program, spinning = looped(10), never_ending()
state = kr.simulate(10, program)
x_masks = np.arange(64, dtype=np.uint64) % 1024
z_masks = (np.arange(64, dtype=np.uint64) * 7) % 1024
x_list, outside = x_masks.tolist(), [0, 1 << 12]
program_bytes = program.tobytes()

cases = {
    "simulate": (lambda: kr.simulate(10, program), [program]),
    "simulate from bytes": (lambda: kr.simulate(10, program_bytes), [program_bytes]),
    "State.run": (lambda: state.run(program), [state, program]),
    "State.probabilities": (lambda: state.probabilities(), [state]),
    "State.amplitudes": (lambda: state.amplitudes(), [state]),
    "State.sample seeded": (lambda: state.sample(512, 7), [state]),
    "State.sample seedless": (lambda: state.sample(512), [state]),
    "State.sample_counts": (lambda: state.sample_counts(512, 7), [state]),
    "State.expectation_values": (lambda: state.expectation_values(x_masks, z_masks),
                                 [state, x_masks, z_masks]),
    "State.expectation_values lists": (lambda: state.expectation_values(x_list, x_list), [x_list]),
    "run_shots": (lambda: kr.run_shots(10, 10, shots_program, 16, 3), [shots_program]),
    "run_shots seedless": (lambda: kr.run_shots(10, 10, shots_program, 16), [shots_program]),
    "run_shots jumps and set steps": (lambda: kr.run_shots(10, 10, loop_program, 16, 3, True),
                                      [loop_program]),
    # refusals
    "simulate malformed step": (lambda: kr.simulate(10, bad_program), [bad_program]),
    "simulate 30 qubits": (lambda: kr.simulate(30, program), [program]),
    "run_shots 0 shots": (lambda: kr.run_shots(10, 10, shots_program, 0), [shots_program]),
    "run_shots zeroed state": (lambda: kr.run_shots(10, 10, zeroing, 8, 1), [zeroing]),
    "run_shots past the loop limit": (lambda: kr.run_shots(1, 1, spinning, 2, 1, False, 3), [spinning]),
    "State.sample 2**40 shots": (lambda: state.sample(1 << 40), [state]),
    "State.expectation_values outside": (lambda: state.expectation_values(outside, [0, 0]), [outside]),
    "State pickled": (lambda: pickle.dumps(state), [state]),
}

measure_growth(cases, int(sys.argv[1]), settle=200)
"""

LEAK_CASES = [
    "simulate", "simulate from bytes", "State.run", "State.probabilities", "State.amplitudes",
    "State.sample seeded", "State.sample seedless", "State.sample_counts", "State.expectation_values",
    "State.expectation_values lists", "run_shots", "run_shots seedless", "run_shots jumps and set steps",
    "simulate malformed step", "simulate 30 qubits", "run_shots 0 shots", "run_shots zeroed state",
    "run_shots past the loop limit", "State.sample 2**40 shots",
    "State.expectation_values outside", "State pickled",
]


@pytest.fixture(scope="module")
def growth():
    document, _ = run_workload(LEAK_WORKLOAD, args=[CALLS_PER_CASE], timeout=900)
    return document


@pytest.mark.parametrize("case", LEAK_CASES)
def test_ten_thousand_calls_leave_nothing_behind(growth, case):
    result = growth[case]
    assert result["refcounts"] == [0] * len(result["refcounts"]), result
    assert result["objects"] <= 20, result  # growth only: the first case may free warm-up objects
    if not under_address_sanitizer():  # its quarantine holds freed memory back on purpose
        # A result or state kept per call would be >= 8 KiB a call here: 80 MB.
        assert result["rss_kib"] < 1024, result


def test_every_leak_case_was_run(growth):
    assert sorted(growth) == sorted(LEAK_CASES)


FORK_WORKLOAD = PROGRAMS + FORK_HELPERS + """
import threading

uniform = kr.simulate(16, hadamards(16))
shots_program = measured(12)

def draws():
    # Seedless: a 16-qubit uniform draw and trajectories with a measurement mid-way.
    return [uniform.sample(32).tolist(), kr.run_shots(12, 12, shots_program, 32).tolist()]

def WORK():
    big = kr.simulate(20, entangling(20))  # passes on the pool in the child
    return {"draws": draws(), "norm": float(big.probabilities().sum()),
            "seeded": kr.run_shots(12, 12, shots_program, 16, 5).tolist(),
            "looped": kr.run_shots(12, 12, looped(12), 16, 5, True).tolist()}

seeded = kr.run_shots(12, 12, shots_program, 16, 5).tolist()
looped_seeded = kr.run_shots(12, 12, looped(12), 16, 5, True).tolist()
parent_draws = [draws()]

# Another thread keeps the runner busy (the interpreter lock released) while the main thread
# forks: the fork must wait for its pass, and the child must still find a working pool.
stop = threading.Event()
def busy():
    while not stop.is_set():
        kr.simulate(18, entangling(18)).sample(64)
busy_thread = threading.Thread(target=busy)

results, forks = [], int(sys.argv[1])
for i in range(forks):
    if i == forks // 2:
        busy_thread.start()
    results.append(via_os_fork() if i % 2 == 0 else via_multiprocessing())
    parent_draws.append(draws())
stop.set()
busy_thread.join()
report({"results": results, "parent_draws": parent_draws, "seeded": seeded, "looped": looped_seeded})
"""


def test_forked_children_and_pool_workers_run_circuits_and_draw_anew():
    forks = 16  # 8 by os.fork, 8 multiprocessing pool workers; the second half with a busy thread
    document, _ = run_workload(FORK_WORKLOAD, args=[forks], timeout=600)
    results = document["results"]
    assert len(results) == forks
    assert_children_sound(results, document["parent_draws"])
    for child in results:
        assert abs(child["norm"] - 1.0) < 1e-9
        assert child["seeded"] == document["seeded"]  # a seed means the same shots everywhere
        assert child["looped"] == document["looped"]


def test_eight_threads_run_a_while_loop_program_with_the_results_of_one():
    import numpy as np

    namespace = {}
    exec(PROGRAMS, namespace)
    program = namespace["looped"](12)
    import korvel_runner as kr

    expected = [kr.run_shots(12, 12, program, 64, seed).tolist() for seed in range(8)]
    got = [None] * 8
    errors = []

    def work(k):
        try:
            got[k] = [kr.run_shots(12, 12, program, 64, k).tolist() for _ in range(20)]
        except BaseException as error:  # noqa: B036 - reported below
            errors.append(error)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(120)
    assert not errors and not any(thread.is_alive() for thread in threads)
    for k in range(8):
        assert got[k] == [expected[k]] * 20
    words = np.array(expected, dtype=np.uint64)
    # The loop leaves bit 0 at 1 in every shot, the flag cleared wherever a pass read 0.
    assert np.all(words & 1 == 1)


MEMORY_WORKLOAD = PROGRAMS + ADDRESS_SPACE_LIMIT + """
def outcome(call):
    try:
        call()
        return ["ok"]
    except BaseException as error:
        return [type(error).__name__, str(error)]

kr.simulate(20, hadamards(20)).probabilities()  # the pool's threads exist before the limit
keeper = kr.simulate(12, entangling(12))
limit_headroom(700)
results = {
    # Refused before anything is allocated: the state, or the shots' words.
    "simulate 27": outcome(lambda: kr.simulate(27, hadamards(27))),
    "simulate 29": outcome(lambda: kr.simulate(29, hadamards(2))),
    "sample 2**36": outcome(lambda: keeper.sample(1 << 36, 1)),
    "run_shots 2**36": outcome(lambda: kr.run_shots(12, 12, measured(12), 1 << 36, 1)),
    # 512 MiB for the state every shot shares fit; the second register a shot runs on does not.
    "run_shots 25": outcome(lambda: kr.run_shots(25, 25, measured(25), 2, 1)),
}
big = kr.simulate(25, hadamards(2))
# The state fits, its 256 MiB of probabilities do not.
results["probabilities 25"] = outcome(big.probabilities)
results["big after"] = int(big.sample(1, 1)[0]) < 4
del big
results["keeper after"] = float(keeper.probabilities().sum())
results["run_shots 24 after"] = outcome(lambda: kr.run_shots(24, 24, measured(24), 2, 1))
report(results)
"""


@needs_plain_address_space
def test_circuits_larger_than_memory_raise_memory_error_and_the_interpreter_goes_on():
    document, _ = run_workload(MEMORY_WORKLOAD, timeout=300)
    refused = "memory allocation of %d bytes failed"
    assert document["simulate 27"] == ["MemoryError", refused % (16 << 27)]
    assert document["simulate 29"] == ["MemoryError", refused % (16 << 29)]
    assert document["sample 2**36"] == ["MemoryError", refused % (8 << 36)]
    assert document["run_shots 2**36"] == ["MemoryError", refused % (8 << 36)]
    assert document["run_shots 25"] == ["MemoryError", refused % (16 << 25)]
    assert document["probabilities 25"] == ["MemoryError", refused % (8 << 25)]
    assert document["big after"] is True
    assert abs(document["keeper after"] - 1.0) < 1e-9
    assert document["run_shots 24 after"] == ["ok"]


BOTH_MODULES_WORKLOAD = PROGRAMS + """
import threading

def work():
    register = korvel.Register(20)
    register.apply_gate(H, range(20), [])
    register.probabilities()
    kr.simulate(20, hadamards(20)).probabilities()

# A live thread that has used both modules, as in a threaded service that forks workers.
done = threading.Event()
helper = threading.Thread(target=lambda: (work(), done.set(), time.sleep(60)), daemon=True)
helper.start()
done.wait()
work()
read_end, write_end = os.pipe()
pid = os.fork()
if pid == 0:
    start = time.monotonic()
    work()
    os.write(write_end, json.dumps([time.monotonic() - start, thread_count()]).encode())
    os._exit(0)
os.close(write_end)
os.waitpid(pid, 0)
first_pass, threads = json.loads(os.read(read_end, 4096))
report({"first_pass": first_pass, "threads": threads})
"""


def test_both_modules_share_one_pool_that_a_forked_child_gets_whole():
    # Two copies of the engine would each hold the pool's scheduler, so neither could shut it
    # down around the fork: the child waited 2 s for workers it does not have, then ran alone.
    document, _ = run_workload(BOTH_MODULES_WORKLOAD, env={"RAYON_NUM_THREADS": "2"})
    assert document["threads"] == 3  # the caller, the pool thread and one worker
    assert document["first_pass"] < 1.5
