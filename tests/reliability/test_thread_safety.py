"""Several Python threads at once, on registers of their own and on one shared register: no crash,
no deadlock, the same results as one thread doing everything in turn, and on the shared register
only the documented refusals while another call is held up inside a conversion callback.

The shared register's threads each work on qubits of their own with Pauli gates, whose arithmetic
is exact (entries 0, ±1, ±i); their operations therefore commute bit for bit, and every
interleaving must end in the very same probabilities."""

import hashlib
import random
import struct
import sys
import threading
import time

import pytest

import korvel

from support import HADAMARD_ROWS

H = korvel.QGate(HADAMARD_ROWS)
PAULIS = [
    korvel.QGate([[0, 1], [1, 0]]),
    korvel.QGate([[0, -1j], [1j, 0]]),
    korvel.QGate([[1, 0], [0, -1]]),
]
BORROW_ERRORS = {"Already borrowed", "Already mutably borrowed"}
QUBITS = 16  # 2^15 pairs: every pass goes to the pool
JOIN_TIMEOUT = 120


def fingerprint(register):
    values = register.probabilities()
    return hashlib.sha256(struct.pack("<%dd" % len(values), *values)).hexdigest()


def private_circuit(seed):
    rng = random.Random(seed)
    steps = []
    for _ in range(60):
        gate = rng.choice(PAULIS + [H])
        targets = rng.sample(range(QUBITS), rng.randint(1, 3))
        controls = rng.sample([q for q in range(QUBITS) if q not in targets], rng.randint(0, 2))
        steps.append((gate, targets, controls))
    return steps


def shared_circuit(seed, own_qubits):
    rng = random.Random(seed)
    steps = []
    for _ in range(150):
        target = rng.choice(own_qubits)
        controls = rng.sample([q for q in own_qubits if q != target], rng.randint(0, 2))
        steps.append((rng.choice(PAULIS), [target], controls))
    return steps


def fresh_shared_register():
    register = korvel.Register(QUBITS)
    register.apply_gate(H, range(QUBITS), [])
    return register


class SlowTargets:
    """A target list whose iteration sleeps, releasing the interpreter lock while the call that
    iterates it holds the register exclusively."""

    def __init__(self, targets, pause):
        self.targets, self.pause = targets, pause

    def __len__(self):
        return len(self.targets)

    def __getitem__(self, index):
        return self.targets[index]

    def __iter__(self):
        time.sleep(self.pause)
        return iter(self.targets)


class SelfReentrantTargets(SlowTargets):
    """Iterating it calls back into the register being called, from the same thread."""

    def __init__(self, register, targets, seen):
        super().__init__(targets, 0)
        self.register, self.seen = register, seen

    def __iter__(self):
        for attempt in (self.register.probabilities, self.register.measure_all,
                        lambda: self.register.measure(0),
                        lambda: self.register.apply_gate(H, [0], [])):
            try:
                attempt()
            except RuntimeError as error:
                self.seen.append(str(error))
            else:
                self.seen.append("not refused")
        return iter(self.targets)


@pytest.fixture
def busy_switching():
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(previous)


@pytest.mark.parametrize("round_", range(5))
def test_threads_on_own_and_shared_registers_match_a_sequential_run(busy_switching, round_):
    private_seeds = [round_ * 10 + k for k in range(4)]
    own_qubits = [[0, 1, 2, 3], [4, 5, 6, 7], [8, 9, 10, 11]]
    slow_qubit = 12
    slow_calls = 40

    # The sequential run.
    expected_private = {}
    for seed in private_seeds:
        register = korvel.Register(QUBITS)
        for step in private_circuit(seed):
            register.apply_gate(*step)
        expected_private[seed] = fingerprint(register)
    sequential = fresh_shared_register()
    for index, qubits in enumerate(own_qubits):
        for step in shared_circuit(1000 * round_ + index, qubits):
            sequential.apply_gate(*step)
    for _ in range(slow_calls):
        sequential.apply_gate(PAULIS[2], [slow_qubit], [])
    expected_shared = fingerprint(sequential)

    # The same work from eight threads at once.
    shared = fresh_shared_register()
    results, refusals, failures, self_refusals = {}, [], [], []

    def guarded(work):
        def run():
            try:
                work()
            except BaseException as error:  # noqa: B036 - any escape is a failure
                failures.append(repr(error))
        return run

    def retrying(call):
        while True:
            try:
                return call()
            except RuntimeError as error:
                refusals.append(str(error))
                time.sleep(0)

    def private_worker(seed):
        register = korvel.Register(QUBITS)
        for step in private_circuit(seed):
            register.apply_gate(*step)
            register.measure_all()
        results[seed] = fingerprint(register)

    def shared_worker(index, qubits):
        for number, step in enumerate(shared_circuit(1000 * round_ + index, qubits)):
            retrying(lambda: shared.apply_gate(*step))
            if number % 10 == 0:
                retrying(shared.probabilities)
                assert 0 <= retrying(shared.measure_all) < 2 ** QUBITS

    def slow_worker():
        for number in range(slow_calls):
            if number % 8 == 0:
                targets = SelfReentrantTargets(shared, [slow_qubit], self_refusals)
            else:
                targets = SlowTargets([slow_qubit], 0.002)
            retrying(lambda: shared.apply_gate(PAULIS[2], targets, []))
            time.sleep(0.001)

    threads = [threading.Thread(target=guarded(lambda s=s: private_worker(s)), daemon=True)
               for s in private_seeds]
    threads += [threading.Thread(target=guarded(lambda i=i, q=q: shared_worker(i, q)), daemon=True)
                for i, q in enumerate(own_qubits)]
    threads.append(threading.Thread(target=guarded(slow_worker), daemon=True))
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(JOIN_TIMEOUT)
    assert not any(thread.is_alive() for thread in threads), "a thread is stuck"

    assert failures == []
    assert results == expected_private
    assert fingerprint(shared) == expected_shared
    # Refusals come only with the documented texts: calls that met the register while the slow
    # thread's call held it, asleep in its callback.
    assert set(refusals) <= BORROW_ERRORS
    assert refusals, "no call ever met the held register: the test did not interleave"
    # From the callback on its own thread: refused, every time, with the texts for each method.
    assert self_refusals == ["Already mutably borrowed", "Already mutably borrowed",
                             "Already borrowed", "Already borrowed"] * ((slow_calls + 7) // 8)
