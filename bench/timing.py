"""Small timing helpers shared by the benchmark workers."""

import statistics
import time
import timeit

perf_counter = time.perf_counter


def repeat_times(call, repeats):
    """Wall times of `repeats` separate calls, in seconds."""
    times = []
    for _ in range(repeats):
        start = perf_counter()
        call()
        times.append(perf_counter() - start)
    return times


def per_call_seconds(statement, namespace, rounds=7):
    """Cost of one execution of a cheap statement, timeit-style: the loop count is grown until
    a round lasts 0.2 s, and the best round of `rounds` is divided by it. A statement string
    (not a lambda) keeps the cost of an extra Python call out of the figure."""
    timer = timeit.Timer(statement, globals=namespace)
    loops, _ = timer.autorange()
    return min(timer.repeat(repeat=rounds, number=loops)) / loops


def spread(per_target):
    """Worst and median over a {target: seconds} map, with the worst target and the map."""
    values = list(per_target.values())
    worst_target = max(per_target, key=per_target.get)
    return {
        "worst_s": per_target[worst_target],
        "median_s": statistics.median(values),
        "worst_target": worst_target,
        "per_target_s": {str(t): s for t, s in sorted(per_target.items())},
    }


def single(seconds, **extra):
    """A case with one figure: worst and median are the same number."""
    return {"worst_s": seconds, "median_s": seconds, **extra}
