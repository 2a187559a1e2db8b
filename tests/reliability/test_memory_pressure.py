"""Running out of memory: registers too large for an address-space limit raise MemoryError and
everything else keeps working; the pool's threads cannot be started halfway through a pass; and
measurement and gate passes allocate nothing in proportion to the state."""

import pytest

from support import ADDRESS_SPACE_LIMIT, needs_plain_address_space, run_workload

LIMIT = ADDRESS_SPACE_LIMIT + """
def outcome(call):
    try:
        return ["ok", call()]
    except BaseException as error:
        return [type(error).__name__, str(error)]
"""


@needs_plain_address_space
def test_too_large_registers_raise_memory_error_and_the_rest_keeps_working():
    document, _ = run_workload(
        LIMIT
        + """
keeper = korvel.Register(20)
keeper.apply_gate(H, range(20), [])
limit_headroom(400)
results = {q: outcome(lambda: [korvel.Register(q), "made"][1]) for q in (26, 27, 28, 29)}
# The survivor still computes, measures and reports.
keeper.apply_gate(H, range(20), [])
results["keeper_draw"] = keeper.measure_all()
results["keeper_measure"] = keeper.measure(3)
# Smaller registers fit, one after the other and with the failures in between.
for round_ in range(3):
    big = korvel.Register(24)
    big.apply_gate(H, [0, 23], [])
    results["big_draw_%d" % round_] = big.measure_all() & ~((1 << 23) | 1)
    del big
    results["too_big_%d" % round_] = outcome(lambda: korvel.Register(27))
report(results)
""",
    )
    for qubits in (26, 27, 28, 29):
        assert document[str(qubits)] == [
            "MemoryError",
            "memory allocation of %d bytes failed" % (16 << qubits),
        ]
    assert document["keeper_draw"] == 0
    assert document["keeper_measure"] == 0
    for round_ in range(3):
        assert document["big_draw_%d" % round_] == 0
        assert document["too_big_%d" % round_][0] == "MemoryError"


@needs_plain_address_space
def test_probabilities_out_of_memory_leaves_the_register_usable():
    # 24 qubits: 256 MiB of amplitudes fit, the 128 MiB probability vector does not.
    document, _ = run_workload(
        LIMIT
        + """
register = korvel.Register(24)
register.apply_gate(H, [0], [])
limit_headroom(96)
results = {"probabilities": outcome(lambda: len(register.probabilities()))}
register.apply_gate(H, [0], [])
results["draw"] = register.measure_all()
results["measure"] = register.measure(0)
report(results)
""",
    )
    assert document["probabilities"] == ["MemoryError", "memory allocation of 134217728 bytes failed"]
    assert document["draw"] == 0
    assert document["measure"] == 0


@needs_plain_address_space
@pytest.mark.parametrize("headroom_mib", [2, 4, 6, 8, 9, 10, 12, 16, 24])
def test_first_pass_with_little_room_for_worker_threads(headroom_mib):
    # oneTBB starts its workers lazily; a thread that could not be created used to abandon the
    # first pass (PanicException, register poisoned for good) or, when a worker was starting
    # another, end the process in std::terminate. The pool now starts the workers it can before
    # the pass and runs with those.
    document, process = run_workload(
        LIMIT
        + """
register = korvel.Register(17)   # above the size a pass keeps on the calling thread
limit_headroom(int(sys.argv[1]))
results = {"first": outcome(lambda: register.apply_gate(H, range(17), []))}
results["second"] = outcome(lambda: register.apply_gate(H, range(17), []))
results["draws"] = [register.measure_all() for _ in range(8)]
results["threads"] = thread_count()
report(results)
""",
        env={"RAYON_NUM_THREADS": "4", "RAYON_RS_NUM_CPUS": None},
        args=[headroom_mib],
        timeout=60,
    )
    assert document["first"] == ["ok", None]
    assert document["second"] == ["ok", None]
    # H on every qubit twice is the identity: the state is back at |0...0>.
    assert document["draws"] == [0] * 8
    # The caller, waiting, and at most the pool's four threads.
    assert 1 <= document["threads"] <= 5
    assert "panicked" not in process.stderr


@needs_plain_address_space
@pytest.mark.parametrize("pool", ["1", "4"])
@pytest.mark.parametrize("headroom_kib", [0, 512, 1024])
def test_first_pass_with_no_room_for_the_pool_itself(pool, headroom_kib):
    # oneTBB used to spin for ever when its first allocation failed while it set up its
    # scheduler. The passes now run on the calling thread until the pool can be started.
    document, _ = run_workload(
        LIMIT
        + """
x = korvel.QGate([[0, 1], [1, 0]])
register = korvel.Register(16)
hard = resource.getrlimit(resource.RLIMIT_AS)[1]
resource.setrlimit(resource.RLIMIT_AS, (address_space() + (int(sys.argv[1]) << 10), hard))
results = {"gate": outcome(lambda: register.apply_gate(x, [15], []))}
results["draw"] = outcome(register.measure_all)
results["measure"] = outcome(lambda: register.measure(15))
report(results)
""",
        env={"RAYON_NUM_THREADS": pool, "RAYON_RS_NUM_CPUS": None},
        args=[headroom_kib],
        timeout=60,
    )
    assert document == {"gate": ["ok", None], "draw": ["ok", 1 << 15], "measure": ["ok", 1]}


@needs_plain_address_space
@pytest.mark.parametrize("pool, headroom_mib", [("100000", 24), ("100000", 512), ("1000", 512)])
def test_very_large_pools_start_what_they_can_and_end_cleanly(pool, headroom_mib):
    # Each failed before: oneTBB hung sizing its scheduler for the pool asked for; it crashed
    # releasing an arena of more than 65,534 slots; and the trial of worker threads left no room
    # for their malloc arenas, so a worker starting another ended in std::terminate. The limit
    # also keeps the number of threads actually made small.
    document, _ = run_workload(
        LIMIT
        + """
register = korvel.Register(17)
limit_headroom(int(sys.argv[1]))
register.apply_gate(H, range(17), [])
register.apply_gate(H, range(17), [])
report({"draws": [register.measure_all() for _ in range(4)]})
""",
        env={"RAYON_NUM_THREADS": pool, "RAYON_RS_NUM_CPUS": None},
        args=[headroom_mib],
        timeout=60,
    )
    assert document["draws"] == [0] * 4


def test_measurement_and_gate_passes_allocate_nothing_proportional_to_the_state():
    # 24 qubits: 256 MiB of amplitudes. Peak resident memory once the state is touched, against
    # the peak after many passes, collapses and draws: a copy of the state or of its
    # probabilities (128 MiB) would show.
    document, _ = run_workload(
        """
import resource

def peak_mib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024

register = korvel.Register(24)
register.apply_gate(H, range(24), [])
touched = peak_mib()
x = korvel.QGate([[0, 1], [1, 0]])
for round_ in range(2):
    register.apply_gate(H, [0, 5, 23], [1])
    register.apply_gate(x, [7], [2, 3])
    outcomes = [register.measure(q) for q in (0, 12, 23)]
    draws = [register.measure_all() for _ in range(4)]
after = peak_mib()
report({"touched": touched, "after": after, "outcomes": outcomes, "draws": draws})
""",
        timeout=300,
    )
    assert document["touched"] >= 256
    assert document["after"] - document["touched"] < 24, document
