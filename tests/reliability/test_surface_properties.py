"""Property tests of the Python surface: arbitrary argument values and shapes for both constructors
and all four methods, including objects whose conversion callbacks raise (ordinary exceptions,
BaseException subclasses, PanicException) or call back into the register. Whatever happens, the
call raises only the documented exception types or what the caller's own code raised, never
crashes, and a method that fails before the engine runs leaves the register as it was."""

import os

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import korvel

from support import HADAMARD_ROWS, SQRT_HALF, panic_exception_type

PanicException = panic_exception_type()

EXAMPLES = int(os.environ.get("KORVEL_PROPERTY_EXAMPLES", "300"))
PROPERTY_SETTINGS = settings(
    max_examples=EXAMPLES,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

DOCUMENTED_PANICS = {
    "Only support single gate. Matrix size must be 2 by 2",
    "Matrix is not unitary",
    "Number of qubits must be less than 30",
    "Target(s) outside qubit range",
    "Unwrapped panic from Python code",
}
BORROW_ERRORS = {"Already borrowed", "Already mutably borrowed"}


class CustomBase(BaseException):
    """Not an Exception: like KeyboardInterrupt, it must pass through untouched."""


class TypeErrorSubclass(TypeError):
    """Only TypeError itself is renamed after the argument; subclasses pass through."""


class Scene:
    """What one example's callbacks raised and did, for judging the outcome."""

    def __init__(self, register):
        self.register = register
        self.raised = []          # exception instances our callbacks raised
        self.panic_texts = set()  # str messages of PanicExceptions our callbacks raised
        self.refusals = []        # borrow errors the callbacks met when calling back in

    def raise_(self, kind):
        if kind == "panic_str":
            error = PanicException("raised by a callback")
            self.panic_texts.add("raised by a callback")
        elif kind == "panic_tuple":
            error = PanicException(1, 2)
        else:
            error = {
                "value": ValueError("callback"),
                "type": TypeError("callback"),
                "type_sub": TypeErrorSubclass("callback"),
                "custom_base": CustomBase("callback"),
                "system_exit": SystemExit(3),
                "generator_exit": GeneratorExit(),
                "zero": ZeroDivisionError("callback"),
                "memory": MemoryError("callback"),
                "overflow": OverflowError("callback"),
            }[kind]
        self.raised.append(error)
        raise error

    def call_back_in(self, how):
        """A callback that uses the register being called. During apply_gate and measure it is
        held exclusively, so this must be refused; during a constructor it just works."""
        register = self.register
        actions = {
            "probabilities": lambda: register.probabilities(),
            "measure_all": lambda: register.measure_all(),
            "measure": lambda: register.measure(0),
            "apply": lambda: register.apply_gate(korvel.QGate(HADAMARD_ROWS), [0], []),
        }
        try:
            actions[how]()
        except RuntimeError as error:
            self.refusals.append(str(error))


RAISE_KINDS = ["panic_str", "panic_tuple", "value", "type", "type_sub", "custom_base",
               "system_exit", "generator_exit", "zero", "memory", "overflow"]
CALLBACK_KINDS = ["probabilities", "measure_all", "measure", "apply"]

# A behaviour of one callback: return normally, raise one of RAISE_KINDS, or call back into the
# register first and then return.
behaviours = st.one_of(
    st.just(("return", None)),
    st.tuples(st.just("raise"), st.sampled_from(RAISE_KINDS)),
    st.tuples(st.just("call_back"), st.sampled_from(CALLBACK_KINDS)),
)


def act(scene, behaviour):
    kind, detail = behaviour
    if kind == "raise":
        scene.raise_(detail)
    elif kind == "call_back":
        scene.call_back_in(detail)


# --- Objects built from a plan: (kind, parameters); made fresh for each call with its scene. ---

class HostileIndex:
    def __init__(self, scene, behaviour, value):
        self.scene, self.behaviour, self.value = scene, behaviour, value

    def __index__(self):
        act(self.scene, self.behaviour)
        return self.value


class HostileNumber:
    def __init__(self, scene, real_behaviour, imag_behaviour, real, imag):
        self.scene = scene
        self.real_behaviour, self.imag_behaviour = real_behaviour, imag_behaviour
        self._real, self._imag = real, imag

    @property
    def real(self):
        act(self.scene, self.real_behaviour)
        return self._real

    @property
    def imag(self):
        act(self.scene, self.imag_behaviour)
        return self._imag


class HostileSequence:
    """A sequence by __len__/__getitem__/__iter__, each of which may misbehave; __len__ may lie
    and iteration may stop early or run long."""

    def __init__(self, scene, items, length, len_behaviour, iter_behaviour, fail_at, next_behaviour):
        self.scene, self.items, self.length = scene, items, length
        self.len_behaviour, self.iter_behaviour = len_behaviour, iter_behaviour
        self.fail_at, self.next_behaviour = fail_at, next_behaviour

    def __len__(self):
        act(self.scene, self.len_behaviour)
        return self.length

    def __getitem__(self, index):
        return self.items[index]

    def __iter__(self):
        act(self.scene, self.iter_behaviour)
        for position, item in enumerate(self.items):
            if position == self.fail_at:
                act(self.scene, self.next_behaviour)
            yield item


def build(plan, scene):
    kind, parameters = plan
    if kind == "plain":
        return parameters
    if kind == "index":
        behaviour, value = parameters
        return HostileIndex(scene, behaviour, value)
    if kind == "number":
        real_behaviour, imag_behaviour, real, imag = parameters
        return HostileNumber(scene, real_behaviour, imag_behaviour, real, imag)
    if kind in ("list", "tuple"):
        items = [build(item, scene) for item in parameters]
        return items if kind == "list" else tuple(items)
    if kind == "sequence":
        items, length, len_behaviour, iter_behaviour, fail_at, next_behaviour = parameters
        return HostileSequence(scene, [build(item, scene) for item in items], length,
                               len_behaviour, iter_behaviour, fail_at, next_behaviour)
    if kind == "generator":
        return (build(item, scene) for item in parameters)
    if kind == "set":
        return {0, 1}
    if kind == "dict":
        return {0: 1}
    if kind == "register":
        return scene.register
    if kind == "gate":
        return korvel.QGate(parameters)
    raise AssertionError(kind)


def mostly(usual, other, percent=70):
    """usual in about percent % of the examples, other in the rest."""
    return st.integers(min_value=0, max_value=99).flatmap(
        lambda roll: usual if roll < percent else other)


def plain(strategy):
    return strategy.map(lambda value: ("plain", value))


huge_ints = st.one_of(
    st.integers(min_value=-3, max_value=40),
    st.integers(min_value=-(2 ** 70), max_value=2 ** 70),
    st.sampled_from([2 ** 32 - 1, 2 ** 32, 2 ** 64 - 1, 2 ** 64, -(2 ** 63), 2 ** 31]),
)
odd_scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.floats(allow_nan=True, allow_infinity=True),
    st.complex_numbers(allow_nan=True, allow_infinity=True),
    st.text(max_size=3),
    st.binary(max_size=3),
)
index_value = st.one_of(huge_ints, st.floats(allow_nan=False), st.none())

small_index = st.integers(min_value=0, max_value=3)
index_plans = st.one_of(
    plain(small_index),
    plain(huge_ints),
    plain(odd_scalars),
    st.tuples(behaviours, st.one_of(small_index, index_value)).map(lambda p: ("index", p)),
)
unitary_entries = st.sampled_from([0, 1, -1, SQRT_HALF, -SQRT_HALF, 1j, -1j, True])
number_value = st.one_of(
    unitary_entries,
    st.floats(allow_nan=True, allow_infinity=True),
    st.integers(min_value=-(2 ** 1100), max_value=2 ** 1100),
    st.none(),
    st.text(max_size=2),
)
number_plans = st.one_of(
    plain(unitary_entries),
    plain(odd_scalars),
    plain(st.integers(min_value=-(2 ** 1100), max_value=2 ** 1100)),
    st.tuples(behaviours, behaviours, number_value, number_value).map(lambda p: ("number", p)),
)


def sequence_plans(element_plans, min_size=0, max_size=4):
    items = st.lists(element_plans, min_size=min_size, max_size=max_size)
    any_items = st.lists(element_plans, max_size=max_size)
    return st.one_of(
        items.map(lambda p: ("list", p)),
        items.map(lambda p: ("tuple", p)),
        st.tuples(items, st.integers(min_value=-2, max_value=6), behaviours, behaviours,
                  st.integers(min_value=0, max_value=4), behaviours).map(lambda p: ("sequence", p)),
        any_items.map(lambda p: ("list", p)),
        any_items.map(lambda p: ("generator", p)),
        plain(st.sampled_from([range(3), range(0), b"\x00\x01", bytes(1), "ab", "", 5, None])),
        st.sampled_from([("set", None), ("dict", None), ("register", None)]),
    )


# Mostly well-formed lists whose elements may misbehave, so that calls get past the first
# argument often enough; then every other shape.
friendly_index_plans = st.one_of(
    plain(small_index),
    st.tuples(behaviours, small_index).map(lambda p: ("index", p)),
)
index_list_plans = mostly(
    st.lists(friendly_index_plans, max_size=3).map(lambda p: ("list", p)),
    st.one_of(sequence_plans(friendly_index_plans, max_size=3), sequence_plans(index_plans)),
)
friendly_number_plans = st.one_of(
    plain(unitary_entries),
    st.tuples(behaviours, behaviours, unitary_entries, unitary_entries).map(lambda p: ("number", p)),
)
matrix_plans = mostly(
    st.lists(st.lists(friendly_number_plans, min_size=2, max_size=2).map(lambda p: ("list", p)),
             min_size=2, max_size=2).map(lambda p: ("list", p)),
    st.one_of(
        sequence_plans(sequence_plans(friendly_number_plans, min_size=2, max_size=2),
                       min_size=2, max_size=2),
        sequence_plans(sequence_plans(number_plans, min_size=2, max_size=2), min_size=2,
                       max_size=2),
        sequence_plans(sequence_plans(number_plans, max_size=3), max_size=3),
        plain(st.just([[1, 0], [0, 1]])),
        plain(st.just(HADAMARD_ROWS)),
    ),
    percent=50,
)
gate_plans = mostly(
    st.sampled_from([("gate", [[1, 0], [0, 1]]), ("gate", HADAMARD_ROWS), ("gate", [[0, 1], [1, 0]])]),
    st.one_of(st.just(("register", None)), plain(odd_scalars), matrix_plans),
    percent=80,
)


def prepared_register():
    register = korvel.Register(3)
    register.apply_gate(korvel.QGate(HADAMARD_ROWS), [0, 2], [])
    register.apply_gate(korvel.QGate([[0, 1], [1, 0]]), [1], [0])
    return register


def judge(scene, call, *, state_must_hold):
    """Makes the call and checks the outcome; returns the exception or None. state_must_hold:
    the call holds the register, so a failure before the engine must leave it unchanged."""
    register = scene.register
    before = register.probabilities()
    try:
        call()
    except BaseException as error:  # noqa: B036 - every kind must be judged
        failure = error
    else:
        failure = None

    for refusal in scene.refusals:
        assert refusal in BORROW_ERRORS, refusal
    if failure is None:
        return None

    kind = type(failure)
    own = any(failure is raised for raised in scene.raised)
    if kind is PanicException:
        message = str(failure)
        assert (
            message in DOCUMENTED_PANICS
            or message in scene.panic_texts
            or message.startswith("index out of bounds: the len is ")
        ), message
    elif kind is TypeError:
        # Ours, renamed after the argument, or the binding's and interpreter's own.
        assert own or str(failure) or failure.__cause__ is not None
    elif kind is RuntimeError:
        assert str(failure) in BORROW_ERRORS, str(failure)
    elif kind in (OverflowError, AttributeError, MemoryError, SystemError):
        pass
    else:
        # Anything else must be exactly what a callback raised, passed through unchanged.
        assert own, repr(failure)

    # Gate application tests each target just before its pass: earlier targets stay applied.
    touched_engine = kind is PanicException and str(failure) == "Target(s) outside qubit range"
    if state_must_hold and not touched_engine:
        assert register.probabilities() == before, repr(failure)
    else:
        register.probabilities()  # still usable: never poisoned by a refused call
    return failure


@PROPERTY_SETTINGS
@given(gate=gate_plans, targets=index_list_plans, controls=index_list_plans,
       style=st.sampled_from(["positional", "keywords", "mixed"]))
def test_apply_gate_with_arbitrary_arguments(gate, targets, controls, style):
    scene = Scene(prepared_register())
    arguments = [build(plan, scene) for plan in (gate, targets, controls)]
    register = scene.register
    if style == "positional":
        call = lambda: register.apply_gate(*arguments)  # noqa: E731
    elif style == "keywords":
        call = lambda: register.apply_gate(  # noqa: E731
            gate=arguments[0], targets=arguments[1], controls=arguments[2])
    else:
        call = lambda: register.apply_gate(arguments[0], controls=arguments[2],  # noqa: E731
                                           targets=arguments[1])
    judge(scene, call, state_must_hold=True)


@PROPERTY_SETTINGS
@given(target=mostly(friendly_index_plans, index_plans, percent=50), by_keyword=st.booleans())
def test_measure_with_arbitrary_target(target, by_keyword):
    scene = Scene(prepared_register())
    value = build(target, scene)
    register = scene.register
    before = register.probabilities()
    failure = judge(
        scene,
        (lambda: register.measure(target=value)) if by_keyword else (lambda: register.measure(value)),
        state_must_hold=True,
    )
    if failure is None:
        # A measurement collapses onto the outcome: a sub-distribution of what was there.
        after = register.probabilities()
        assert all(b != 0.0 or a == 0.0 for a, b in zip(after, before))


@PROPERTY_SETTINGS
@given(arguments=st.lists(st.one_of(odd_scalars, huge_ints), max_size=3),
       keywords=st.dictionaries(st.sampled_from(["target", "x", "self"]), huge_ints, max_size=2),
       method=st.sampled_from(["probabilities", "measure_all", "measure", "apply_gate"]))
def test_methods_with_wrong_argument_counts(arguments, keywords, method):
    scene = Scene(prepared_register())
    bound = getattr(scene.register, method)
    failure = judge(scene, lambda: bound(*arguments, **keywords), state_must_hold=True)
    if method in ("probabilities", "measure_all") and (arguments or keywords):
        assert type(failure) is TypeError


@PROPERTY_SETTINGS
@given(receiver=st.one_of(odd_scalars, huge_ints, st.just(object())),
       method=st.sampled_from(["probabilities", "measure_all", "measure", "apply_gate"]))
def test_methods_called_on_other_receivers(receiver, method):
    with pytest.raises(TypeError):
        getattr(korvel.Register, method)(receiver)


@PROPERTY_SETTINGS
@given(matrix=matrix_plans, extra=st.lists(odd_scalars, max_size=2),
       style=st.sampled_from(["positional", "keyword"]))
def test_qgate_from_arbitrary_matrices(matrix, extra, style):
    scene = Scene(prepared_register())
    value = build(matrix, scene)
    made = []
    if style == "positional":
        call = lambda: made.append(korvel.QGate(value, *extra))  # noqa: E731
    else:
        call = lambda: made.append(korvel.QGate(matrix=value))  # noqa: E731
    # Nothing holds the register during a constructor, so callbacks may change it: only the
    # outcome's kind is judged.
    if judge(scene, call, state_must_hold=False) is None:
        assert (style == "keyword" or not extra) and isinstance(made[0], korvel.QGate)


@PROPERTY_SETTINGS
@given(qubits=mostly(friendly_index_plans, index_plans, percent=40).filter(
    lambda plan: not (plan[0] == "plain" and isinstance(plan[1], int) and 21 <= plan[1] <= 29)
    and not (plan[0] == "index" and isinstance(plan[1][1], int) and 21 <= plan[1][1] <= 29)))
def test_register_from_arbitrary_qubit_counts(qubits):
    scene = Scene(prepared_register())
    value = build(qubits, scene)
    outcome = {}
    failure = judge(scene, lambda: outcome.setdefault("register", korvel.Register(value)),
                    state_must_hold=False)
    if failure is None:
        probabilities = outcome["register"].probabilities()
        assert probabilities[0] == 1.0 and sum(probabilities) == 1.0
        assert len(probabilities) & (len(probabilities) - 1) == 0
