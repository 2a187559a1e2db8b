"""The State object and the module as a Python user meets them: attributes, pickling, threads,
forked children and exhausted memory."""

import concurrent.futures
import json
import os
import pickle

import numpy as np
import pytest

import korvel_runner
from runner_model import HADAMARD, gate, measure, program, run_script


def hadamards(n):
    return program([gate(q, HADAMARD) for q in range(n)])


def test_state_surface():
    state = korvel_runner.simulate(3, hadamards(3))
    assert state.num_qubits == 3 and repr(state) == "<korvel_runner.State of 3 qubits>"
    assert korvel_runner.MAX_QUBITS == 29
    with pytest.raises(AttributeError):
        state.num_qubits = 4
    with pytest.raises(AttributeError):
        state.extra = 1
    for copy in (pickle.dumps, lambda s: __import__("copy").copy(s)):
        with pytest.raises(TypeError, match="cannot pickle 'korvel_runner.State' object"):
            copy(state)
    with pytest.raises(TypeError):
        type("Sub", (korvel_runner.State,), {})
    # Results are fresh arrays owned by the caller.
    first = state.probabilities()
    first[:] = 7.0
    assert state.probabilities()[0] == pytest.approx(0.125)
    assert korvel_runner.simulate(0, b"").amplitudes().tolist() == [1 + 0j]


def test_threads_share_states_and_get_sequential_results():
    """Eight threads on shared and own states, each operation with the interpreter lock released,
    give exactly what one thread gives under the same seeds."""
    shared = korvel_runner.simulate(14, hadamards(14))
    layer = program([gate(q, HADAMARD) for q in range(0, 14, 3)])
    trajectory = program([gate(0, HADAMARD), measure(0, 0), gate(1, HADAMARD, cond=(1, 1)), measure(1, 1)])

    def work(seed):
        own = korvel_runner.simulate(12, hadamards(12))
        own.run(layer[:2])
        return [
            shared.sample(3000, seed=seed),
            *shared.sample_counts(10000, seed=seed),
            shared.expectation_values([1, 0], [0, 3]),
            own.probabilities(),
            korvel_runner.run_shots(2, 2, trajectory, 500, seed=seed),
        ]

    sequential = [work(seed) for seed in range(16)]
    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        concurrent_results = list(pool.map(work, range(16)))
    for one, other in zip(sequential, concurrent_results):
        assert all(np.array_equal(a, b) for a, b in zip(one, other))

    # Concurrent runs on one state are each applied whole: an even number of Hadamard layers.
    state = korvel_runner.simulate(14, b"")
    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        list(pool.map(lambda _: state.run(hadamards(14)), range(8)))
    probabilities = state.probabilities()
    assert probabilities[0] == pytest.approx(1.0) and probabilities[1:].max() < 1e-20


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork()")
def test_forked_children_run_circuits_and_draw_their_own_shots():
    code = """
        import json, os, threading, numpy as np, korvel_runner
        from runner_model import HADAMARD, gate, program
        state = korvel_runner.simulate(18, program([gate(q, HADAMARD) for q in range(18)]))
        parent = state.sample(64).tolist()
        # Another thread keeps the engine busy while the process forks.
        busy = threading.Thread(target=lambda: [state.run(program([gate(0, HADAMARD)] * 2)) for _ in range(30)])
        busy.start()
        children = []
        for _ in range(3):
            read_end, write_end = os.pipe()
            pid = os.fork()
            if pid == 0:
                child = korvel_runner.simulate(18, program([gate(q, HADAMARD) for q in range(18)]))
                document = {"draws": child.sample(64).tolist(),
                            "seeded": child.sample(8, seed=1).tolist()}
                os.write(write_end, json.dumps(document).encode())
                os._exit(0)
            os.close(write_end)
            with os.fdopen(read_end) as pipe:
                children.append(json.loads(pipe.read()))
            os.waitpid(pid, 0)
        busy.join()
        print(json.dumps({"parent": parent, "seeded": state.sample(8, seed=1).tolist(), "children": children}))
    """
    result = run_script(code)
    assert result.returncode == 0, result.stderr
    document = json.loads(result.stdout)
    draws = [document["parent"]] + [child["draws"] for child in document["children"]]
    assert len({tuple(d) for d in draws}) == len(draws)
    assert all(child["seeded"] == document["seeded"] for child in document["children"])


def test_exhausted_memory_raises_memory_error_and_the_interpreter_lives_on():
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("RLIMIT_AS does not work under AddressSanitizer")
    code = """
        import resource, korvel_runner
        from runner_model import HADAMARD, gate, program
        small = korvel_runner.simulate(20, program([gate(0, HADAMARD)]))
        resource.setrlimit(resource.RLIMIT_AS, (2 << 30, resource.RLIM_INFINITY))
        for call in [lambda: korvel_runner.simulate(29, b""), lambda: korvel_runner.run_shots(28, 1, b"", 1),
                     lambda: small.sample(2**29)]:
            try:
                call()
                print("no error")
            except MemoryError as error:
                print(error)
        print(small.probabilities()[:2].tolist())
    """
    result = run_script(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "memory allocation of 8589934592 bytes failed",
        "no error",  # nothing measured: no state is made
        "memory allocation of 4294967296 bytes failed",
        "[0.5000000000000001, 0.5000000000000001]",
    ]
