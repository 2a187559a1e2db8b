"""Resident memory growth over 100,000 failing constructor calls of each kind.

A failing call must release everything it took (bound arguments, converted lists, the
exception's parts), so the resident set should stay flat however often it fails. Prints one
line per kind: the growth in KiB after a warm-up. Failure notices and diagnostic blocks go to
standard error by design; they are sent to /dev/null for the run.

    python bench/constructor_failure_memory.py [calls]
"""

import os
import resource
import sys

import korvel

CALLS = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000


class NoReal:
    imag = 0.0


class BadReal:
    real = "x"
    imag = 0.0


class PanicIndex:
    def __index__(self):
        raise PANIC("from Python")


PANIC = None  # PanicException, reachable only through a failure: found in main()

FAILURES = {
    "too many positionals": lambda: korvel.QGate([[1, 0], [0, 1]], 2),
    "unexpected keyword": lambda: korvel.Register(qubit=3),
    "multiple values": lambda: korvel.Register(3, qubits=3),
    "missing argument": lambda: korvel.QGate(),
    "str as matrix": lambda: korvel.QGate("ab"),
    "not a sequence": lambda: korvel.QGate(5),
    "element without real": lambda: korvel.QGate([[1, 0], [0, NoReal()]]),
    "real not a number": lambda: korvel.QGate([[1, 0], [0, BadReal()]]),
    "qubits not an integer": lambda: korvel.Register(3.0),
    "qubits negative": lambda: korvel.Register(-1),
    "qubits 2**32": lambda: korvel.Register(2**32),
    "shape (panic)": lambda: korvel.QGate([[1, 0]]),
    "not unitary (panic)": lambda: korvel.QGate([[1, 1], [1, 1]]),
    "too many qubits (panic)": lambda: korvel.Register(30),
    "panic resumed from Python": lambda: korvel.Register(PanicIndex()),
    "out of memory": lambda: korvel.Register(29),
}


def resident_kib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def run(call, count):
    for _ in range(count):
        try:
            call()
        except BaseException:
            pass


def main():
    # Make Register(29) (8 GiB) fail for want of address space on any machine.
    limit = 4 * 2**30
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    saved_stderr = os.dup(2)
    devnull = os.open(os.devnull, os.O_WRONLY)
    results = []
    try:
        os.dup2(devnull, 2)
        global PANIC
        try:
            korvel.Register(30)
        except BaseException as error:
            PANIC = type(error)
        for name, call in FAILURES.items():
            run(call, 1000)  # warm-up: caches, free lists, the one-time hint
            before = resident_kib()
            run(call, CALLS)
            results.append((name, resident_kib() - before))
    finally:
        os.dup2(saved_stderr, 2)
    width = max(len(name) for name in FAILURES)
    print("resident memory growth over %d failing calls (KiB)" % CALLS)
    for name, growth in results:
        print("  %-*s %6d" % (width, name, growth))


if __name__ == "__main__":
    main()
