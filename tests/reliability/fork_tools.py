"""Source text for workloads that fork: running a function in a child made by os.fork() or by a
multiprocessing worker, with its JSON-able result or error carried back and a hung child killed.
Workloads define WORK() before calling via_os_fork() or via_multiprocessing()."""

FORK_HELPERS = """
import json, multiprocessing, select, signal

TIMEOUT = 120

def guarded_work():
    try:
        return WORK()
    except BaseException as error:
        return {"error": repr(error)}

def via_os_fork():
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        os.write(write_end, json.dumps(guarded_work()).encode())
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
    result["exit"] = os.WEXITSTATUS(status) if os.WIFEXITED(status) else -os.WTERMSIG(status)
    return result

def _pool_task(_):
    return guarded_work()

def via_multiprocessing():
    # A pool worker made by fork, as multiprocessing gives on Linux.
    with multiprocessing.get_context("fork").Pool(1) as pool:
        pending = pool.map_async(_pool_task, [0])
        try:
            result = pending.get(TIMEOUT)[0]
        except multiprocessing.TimeoutError:
            pool.terminate()
            return {"error": "hung"}
    result["exit"] = 0
    return result
"""


def assert_children_sound(results, parent_draws):
    """Every child finished without error and drew differently from the parent and each other."""
    for child in results:
        assert "error" not in child and child["exit"] == 0, child
    draws = [tuple(map(tuple, child["draws"])) for child in results] + [tuple(map(tuple, d)) for d in parent_draws]
    assert len(set(draws)) == len(draws), "two processes drew the same shots"
