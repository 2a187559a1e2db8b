"""Children made by fork() after the parent has used the pool and the random generator: they
finish their passes and measurements, keep the full pool, and never repeat anyone's draws.

Each scenario runs in a fresh interpreter with a pool of two threads (the pool thread and one
worker, besides the waiting caller) so that the thread counts are exact on any machine."""

import pytest

from support import run_workload

POOL = {"RAYON_NUM_THREADS": "2", "RAYON_RS_NUM_CPUS": None}

# The child's share: large passes on the parent's 22-qubit register, 64 whole-register draws on
# a 16-qubit uniform superposition, and collapsing measurements. Results travel back as JSON.
CHILD_WORK = """
import json, select, signal, multiprocessing

big = korvel.Register(22)
big.apply_gate(H, range(22), [])
uniform = korvel.Register(16)
uniform.apply_gate(H, range(16), [])
parent_before = [uniform.measure_all() for _ in range(64)]
pool_threads = thread_count()

def child_work():
    big.apply_gate(H, [0, 21], [])
    threads = thread_count()
    draws = [uniform.measure_all() for _ in range(64)]
    small = korvel.Register(3)
    small.apply_gate(H, [0, 1, 2], [])
    outcomes = [small.measure(q) for q in range(3)]
    collapsed_to = [i for i, p in enumerate(small.probabilities()) if p != 0.0]
    return {"threads": threads, "draws": draws, "outcomes": outcomes, "collapsed_to": collapsed_to}

WORK = child_work  # what a child runs; a test may swap it before forking

def guarded_child_work():
    try:
        return WORK()
    except BaseException as error:
        return {"error": repr(error)}

TIMEOUT = 60

def via_os_fork():
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        os.write(write_end, json.dumps(guarded_child_work()).encode())
        os._exit(0)
    os.close(write_end)
    chunks, deadline = [], time.monotonic() + TIMEOUT
    while True:
        ready, _, _ = select.select([read_end], [], [], max(0.0, deadline - time.monotonic()))
        if not ready:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            os.close(read_end)
            return {"error": "hung"}
        chunk = os.read(read_end, 65536)
        if not chunk:
            break
        chunks.append(chunk)
    os.close(read_end)
    _, status = os.waitpid(pid, 0)
    result = json.loads(b"".join(chunks) or b'{"error": "no result"}')
    # os.waitstatus_to_exitcode is 3.9+; this is its meaning, spelled out for 3.8.
    result["exit"] = os.WEXITSTATUS(status) if os.WIFEXITED(status) else -os.WTERMSIG(status)
    return result

def send_child_work(connection):
    connection.send(guarded_child_work())
    connection.close()

def via_multiprocessing():
    context = multiprocessing.get_context("fork")
    receiver, sender = context.Pipe(duplex=False)
    process = context.Process(target=send_child_work, args=(sender,))
    process.start()
    sender.close()
    if receiver.poll(TIMEOUT):
        result = receiver.recv()
    else:
        process.kill()
        result = {"error": "hung"}
    process.join(TIMEOUT)
    result["exit"] = process.exitcode
    return result
"""


def assert_children_sound(document):
    results = document["results"]
    for entry in results:
        child = entry["child"]
        assert "error" not in child, entry
        assert child["exit"] == 0, entry
        assert child["threads"] == document["pool_threads"], entry
        assert all(outcome in (0, 1) for outcome in child["outcomes"])
        outcome_index = sum(bit << q for q, bit in enumerate(child["outcomes"]))
        assert child["collapsed_to"] == [outcome_index]
        # A child must not replay what the parent draws next, nor what it drew before.
        assert child["draws"] != entry["parent_after"]
        assert child["draws"] != document["parent_before"]
    all_draws = [tuple(entry["child"]["draws"]) for entry in results]
    all_draws += [tuple(entry["parent_after"]) for entry in results]
    assert len(set(all_draws)) == len(all_draws), "two processes drew the same 64 values"


def test_children_after_pool_and_generator_use_keep_their_workers_and_draw_anew():
    forks = 32
    document, _ = run_workload(
        CHILD_WORK
        + """
results = []
for i in range(int(sys.argv[1])):
    if i % 2 == 0:
        big.apply_gate(H, [i % 22], [])   # fork right after a large pass
    spawn = via_os_fork if i % 4 < 2 else via_multiprocessing
    child = spawn()
    results.append({"kind": spawn.__name__, "child": child,
                    "parent_after": [uniform.measure_all() for _ in range(64)]})
report({"pool_threads": pool_threads, "parent_threads_after": thread_count(),
        "parent_before": parent_before, "results": results})
""",
        env=POOL,
        args=[forks],
        timeout=300,
    )
    # Caller, pool thread and one worker, in the parent and in every child.
    assert document["pool_threads"] == 3
    assert len(document["results"]) == forks
    assert_children_sound(document)


def test_grandchildren_keep_their_workers():
    document, _ = run_workload(
        CHILD_WORK
        + """
def child_work_then_fork():
    global WORK
    mine = child_work()
    WORK = child_work
    mine["grandchild"] = via_os_fork()
    return mine

results = []
for i in range(4):
    WORK = child_work_then_fork
    child = via_os_fork() if i % 2 == 0 else via_multiprocessing()
    WORK = child_work
    results.append({"child": child, "parent_after": [uniform.measure_all() for _ in range(64)]})
report({"pool_threads": pool_threads, "parent_before": parent_before, "results": results})
""",
        env=POOL,
    )
    assert_children_sound(document)
    for entry in document["results"]:
        grandchild = entry["child"]["grandchild"]
        assert "error" not in grandchild and grandchild["exit"] == 0, grandchild
        assert grandchild["threads"] == 3
        assert grandchild["draws"] != entry["child"]["draws"]


@pytest.mark.parametrize(
    "scenario",
    [
        # fork() from a thread that never ran a pass while the main thread has run them
        "forking_thread",
        # another thread that ran passes is still alive at the fork
        "live_pool_user",
    ],
)
def test_forks_in_threaded_parents_keep_the_full_pool(scenario):
    # oneTBB's scheduler can only be shut down around fork() when no other live thread is
    # registered with it. When the caller's own threads ran the passes, these children waited
    # 2 s for workers that did not exist in them and then ran every pass on one thread.
    document, _ = run_workload(
        CHILD_WORK
        + """
import threading
scenario = sys.argv[1]
results = []
for i in range(4):
    box = {}
    if scenario == "forking_thread":
        worker = threading.Thread(target=lambda: box.update(child=via_os_fork()))
        worker.start()
        worker.join()
    else:
        release = threading.Event()
        def pool_user():
            korvel.Register(20).apply_gate(H, [0], [])
            box["used"] = True
            release.wait()
        user = threading.Thread(target=pool_user)
        user.start()
        while "used" not in box:
            time.sleep(0.01)
        box["child"] = via_os_fork()
        release.set()
        user.join()
    results.append({"child": box["child"],
                    "parent_after": [uniform.measure_all() for _ in range(64)]})
# The parent itself keeps its full pool.
big.apply_gate(H, [3], [])
report({"pool_threads": pool_threads, "parent_threads_after": thread_count(),
        "parent_before": parent_before, "results": results})
""",
        env=POOL,
        args=[scenario],
    )
    assert_children_sound(document)
    assert document["pool_threads"] == 3
    assert document["parent_threads_after"] == 3
