"""The four methods of Register: results, call forms and the holds they take on the register."""

import threading

import pytest

import korvel
from support import SQRT_HALF


class TestResults:
    def test_apply_gate_returns_none(self, pauli_x):
        assert korvel.Register(1).apply_gate(pauli_x, [0], []) is None

    @pytest.mark.parametrize("qubits", range(0, 7))
    def test_probabilities_is_a_fresh_list_of_floats(self, qubits):
        register = korvel.Register(qubits)
        values = register.probabilities()
        assert type(values) is list and len(values) == 2**qubits
        assert all(type(v) is float for v in values)
        assert values == [1.0] + [0.0] * (2**qubits - 1)
        assert register.probabilities() is not values

    @pytest.mark.parametrize("prepared", [False, True])
    def test_measurements_return_int_never_bool(self, pauli_x, prepared):
        register = korvel.Register(2)
        if prepared:
            register.apply_gate(pauli_x, [0, 1], [])
        expected = 1 if prepared else 0
        outcome = register.measure(0)
        assert type(outcome) is int and outcome == expected
        outcome = register.measure_all()
        assert type(outcome) is int and outcome == 3 * expected

    def test_ghz_state(self, hadamard, pauli_x):
        register = korvel.Register(3)
        register.apply_gate(hadamard, [0], [])
        register.apply_gate(pauli_x, [1, 2], [0])
        half = SQRT_HALF**2
        assert register.probabilities() == [half, 0, 0, 0, 0, 0, 0, half]
        assert register.measure_all() in (0, 7)
        first = register.measure(0)
        assert register.probabilities()[7 * first] == 1.0
        assert register.measure_all() == 7 * first

    def test_measure_all_leaves_the_state_unchanged(self, hadamard):
        register = korvel.Register(2)
        register.apply_gate(hadamard, [0, 1], [])
        before = register.probabilities()
        outcomes = {register.measure_all() for _ in range(200)}
        assert register.probabilities() == before
        assert outcomes == {0, 1, 2, 3}


class TestCallForms:
    def test_keywords_and_positionals_are_the_same_call(self, pauli_x):
        a, b, c = korvel.Register(2), korvel.Register(2), korvel.Register(2)
        a.apply_gate(pauli_x, [0], [])
        b.apply_gate(gate=pauli_x, targets=[0], controls=[])
        c.apply_gate(pauli_x, controls=[], targets=[0])
        assert a.probabilities() == b.probabilities() == c.probabilities() == [0.0, 1.0, 0.0, 0.0]
        assert a.measure(target=0) == a.measure(0) == 1

    def test_call_through_the_class(self, pauli_x):
        register = korvel.Register(1)
        korvel.Register.apply_gate(register, pauli_x, [0], [])
        assert korvel.Register.probabilities(register) == [0.0, 1.0]
        assert korvel.Register.measure(register, 0) == 1
        assert korvel.Register.measure_all(register) == 1

    def test_one_gate_serves_many_registers(self, pauli_x):
        registers = [korvel.Register(n) for n in range(1, 5)]
        for register in registers:
            register.apply_gate(pauli_x, [0], [])
        assert [r.measure_all() for r in registers] == [1] * 4


class CallBack:
    """A sequence whose iteration runs `action` once, then yields `items`."""

    def __init__(self, action, items=(0,)):
        self.action = action
        self.items = list(items)
        self.seen = []

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):  # makes it a sequence; iteration goes through __iter__
        return self.items[index]

    def __iter__(self):
        try:
            self.seen.append(self.action())
        except BaseException as error:  # recorded, then raised on to the conversion
            self.seen.append(error)
            raise
        return iter(self.items)


class TestHolds:
    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda r, g: r.probabilities(), "Already mutably borrowed"),
            (lambda r, g: r.measure_all(), "Already mutably borrowed"),
            (lambda r, g: r.apply_gate(g, [0], []), "Already borrowed"),
            (lambda r, g: r.measure(0), "Already borrowed"),
        ],
        ids=["probabilities", "measure_all", "apply_gate", "measure"],
    )
    @pytest.mark.parametrize("position", ["targets", "controls"])
    def test_calls_back_into_a_register_held_by_apply_gate(self, pauli_x, hadamard, call, message, position):
        register = korvel.Register(2)
        register.apply_gate(hadamard, [0], [])
        before = register.probabilities()
        callback = CallBack(lambda: call(register, pauli_x))
        arguments = {"targets": [1], "controls": []}
        arguments[position] = callback
        with pytest.raises(RuntimeError) as info:
            register.apply_gate(pauli_x, **arguments)
        assert str(info.value) == message
        assert info.value is callback.seen[0]
        assert register.probabilities() == before
        # Both holds were released: the register and the gate are usable again.
        register.apply_gate(pauli_x, [1], [])
        assert register.probabilities() != before

    @pytest.mark.parametrize(
        "call, message",
        [(lambda r: r.probabilities(), "Already mutably borrowed"), (lambda r: r.measure(1), "Already borrowed")],
    )
    def test_calls_back_into_a_register_held_by_measure(self, call, message):
        register = korvel.Register(2)

        class Target:
            def __index__(self):
                call(register)
                return 0

        with pytest.raises(RuntimeError, match="^%s$" % message):
            register.measure(Target())
        assert register.measure(0) == 0

    def test_other_registers_and_the_same_gate_stay_usable_during_conversion(self, pauli_x):
        register, other = korvel.Register(1), korvel.Register(1)
        callback = CallBack(lambda: (other.apply_gate(pauli_x, [0], []), other.probabilities()))
        register.apply_gate(pauli_x, callback, [])
        assert callback.seen == [(None, [0.0, 1.0])]
        assert register.probabilities() == [0.0, 1.0]

    def test_holds_are_released_after_every_kind_of_failure(self, pauli_x, PanicException):
        register = korvel.Register(1)
        failures = [
            (lambda: register.apply_gate(pauli_x, [5], []), PanicException),
            (lambda: register.apply_gate(pauli_x, None, []), TypeError),
            (lambda: register.apply_gate(pauli_x), TypeError),
            (lambda: register.measure(2**33), OverflowError),
            (lambda: register.measure(3), PanicException),
            (lambda: register.measure(bogus=1), TypeError),
        ]
        for call, kind in failures:
            with pytest.raises(kind):
                call()
            register.apply_gate(pauli_x, [0], [])
            assert register.measure_all() == register.measure(0)
            assert len(register.probabilities()) == 2

    def test_another_thread_is_refused_while_the_register_is_held(self, pauli_x):
        register = korvel.Register(1)
        results = []

        def other_thread():
            try:
                register.probabilities()
                results.append("ran")
            except RuntimeError as error:
                results.append(str(error))

        def start_and_join():
            thread = threading.Thread(target=other_thread)
            thread.start()
            thread.join()  # the conversion gives up the interpreter lock here
            return None

        register.apply_gate(pauli_x, CallBack(start_and_join), [])
        assert results == ["Already mutably borrowed"]
        assert register.probabilities() == [0.0, 1.0]


def test_calls_leak_no_references(pauli_x, PanicException):
    import sys

    register = korvel.Register(2)
    element = 2**40  # an int object of its own, refused after conversion
    targets = [0, 1]
    bad_targets = [1, element]
    controls = (3,)
    tracked = [pauli_x, register, targets, bad_targets, controls, element, korvel.Register, korvel.QGate]
    before = [sys.getrefcount(o) for o in tracked]
    for _ in range(300):
        register.apply_gate(pauli_x, targets, controls)
        register.apply_gate(gate=pauli_x, targets=targets, controls=controls)
        for call, kind in [
            (lambda: register.apply_gate(pauli_x, bad_targets, controls), OverflowError),
            (lambda: register.apply_gate(pauli_x, targets, [element, "x"]), OverflowError),
            (lambda: register.apply_gate(pauli_x, [9], controls), PanicException),
            (lambda: register.apply_gate(register, targets, controls), TypeError),
            (lambda: register.measure(element), OverflowError),
        ]:
            try:
                call()
            except kind:
                pass
        register.probabilities()
        register.measure_all()
    assert [sys.getrefcount(o) for o in tracked] == before
