"""Every failure a caller can meet: exception type and exact message, one row per situation."""

import pytest

import korvel

IDENTITY = [[1, 0], [0, 1]]


def gate():
    return korvel.QGate(IDENTITY)


def register(qubits=2):
    return korvel.Register(qubits)


def raised(call):
    with pytest.raises(BaseException) as info:
        call()
    return info.value


# (call, exception type, exact message)
BINDING_FAILURES = [
    # too many positionals: "arguments" is always plural, "was" only for one
    (lambda: korvel.QGate(IDENTITY, 1), "QGate.__new__() takes 1 positional arguments but 2 were given"),
    (lambda: korvel.Register(1, 2, 3), "Register.__new__() takes 1 positional arguments but 3 were given"),
    (lambda: register().measure(0, 1), "Register.measure() takes 1 positional arguments but 2 were given"),
    (lambda: register().apply_gate(gate(), [0], [], []), "Register.apply_gate() takes 3 positional arguments but 4 were given"),
    # a keyword repeating a positional
    (lambda: register().measure(0, target=0), "Register.measure() got multiple values for argument 'target'"),
    (lambda: korvel.QGate(IDENTITY, matrix=IDENTITY), "QGate.__new__() got multiple values for argument 'matrix'"),
    (lambda: register().apply_gate(gate(), [0], targets=[0]), "Register.apply_gate() got multiple values for argument 'targets'"),
    # a keyword naming no parameter
    (lambda: korvel.Register(qubit=1), "Register.__new__() got an unexpected keyword argument 'qubit'"),
    (lambda: register().measure(targets=0), "Register.measure() got an unexpected keyword argument 'targets'"),
    (lambda: register().apply_gate(gate(), [0], [], self=1), "Register.apply_gate() got an unexpected keyword argument 'self'"),
    (lambda: korvel.QGate(**{"mätrix": IDENTITY}), "QGate.__new__() got an unexpected keyword argument 'mätrix'"),
    # missing arguments, listed in parameter order
    (lambda: korvel.QGate(), "QGate.__new__() missing 1 required positional argument: 'matrix'"),
    (lambda: korvel.Register(), "Register.__new__() missing 1 required positional argument: 'qubits'"),
    (lambda: register().measure(), "Register.measure() missing 1 required positional argument: 'target'"),
    (lambda: register().apply_gate(gate()), "Register.apply_gate() missing 2 required positional arguments: 'targets' and 'controls'"),
    (lambda: register().apply_gate(targets=[0]), "Register.apply_gate() missing 2 required positional arguments: 'gate' and 'controls'"),
    (lambda: register().apply_gate(), "Register.apply_gate() missing 3 required positional arguments: 'gate', 'targets', and 'controls'"),
    (lambda: register().apply_gate(gate(), controls=[]), "Register.apply_gate() missing 1 required positional argument: 'targets'"),
]


@pytest.mark.parametrize("call, message", BINDING_FAILURES)
def test_binding_failures(call, message):
    error = raised(call)
    assert type(error) is TypeError
    assert str(error) == message


def test_too_many_positionals_are_counted_before_keywords():
    error = raised(lambda: register().measure(0, 1, bogus=2))
    assert str(error) == "Register.measure() takes 1 positional arguments but 2 were given"


def test_the_first_offending_keyword_is_reported():
    error = raised(lambda: register().apply_gate(gate(), [0], [], zz=1, aa=2))
    assert str(error) == "Register.apply_gate() got an unexpected keyword argument 'zz'"


def test_binding_fails_before_any_conversion_runs_caller_code():
    touched = []

    class Watched:
        def __len__(self):
            touched.append("len")
            return 0

        def __getitem__(self, index):
            touched.append("item")
            raise IndexError

    with pytest.raises(TypeError, match="unexpected keyword"):
        register().apply_gate(gate(), Watched(), Watched(), extra=1)
    assert touched == []


class NoReal:
    imag = 0.0


class BadReal:
    real = "one"
    imag = 0.0


class BadImag:
    real = 1.0
    imag = None


# (call, exception type, exact message)
CONVERSION_FAILURES = [
    (lambda: korvel.QGate("ab"), TypeError, "argument 'matrix': Can't extract `str` to `Vec`"),
    (lambda: korvel.QGate(["10", "01"]), TypeError, "argument 'matrix': Can't extract `str` to `Vec`"),
    (lambda: register().apply_gate(gate(), "0", []), TypeError, "argument 'targets': Can't extract `str` to `Vec`"),
    (lambda: register().apply_gate(gate(), [], ""), TypeError, "argument 'controls': Can't extract `str` to `Vec`"),
    (lambda: korvel.QGate(5), TypeError, "argument 'matrix': 'int' object cannot be converted to 'Sequence'"),
    (lambda: korvel.QGate([[1, 0], None]), TypeError, "argument 'matrix': 'NoneType' object cannot be converted to 'Sequence'"),
    (lambda: register().apply_gate(gate(), {0}, []), TypeError, "argument 'targets': 'set' object cannot be converted to 'Sequence'"),
    (lambda: register().apply_gate(gate(), iter([0]), []), TypeError, "argument 'targets': 'list_iterator' object cannot be converted to 'Sequence'"),
    (lambda: register().apply_gate(gate(), [], {0: 0}), TypeError, "argument 'controls': 'dict' object cannot be converted to 'Sequence'"),
    (lambda: register().apply_gate(gate(), (i for i in [0]), []), TypeError, "argument 'targets': 'generator' object cannot be converted to 'Sequence'"),
    (lambda: korvel.QGate([[1, 0], [0, None]]), AttributeError, "'NoneType' object has no attribute 'real'"),
    (lambda: korvel.QGate([[1, 0], [0, NoReal()]]), AttributeError, "'NoReal' object has no attribute 'real'"),
    (lambda: korvel.QGate([[1, 0], [0, "1"]]), AttributeError, "'str' object has no attribute 'real'"),
    (lambda: korvel.Register(3.0), TypeError, "argument 'qubits': 'float' object cannot be interpreted as an integer"),
    (lambda: korvel.Register("3"), TypeError, "argument 'qubits': 'str' object cannot be interpreted as an integer"),
    (lambda: register().measure(None), TypeError, "argument 'target': 'NoneType' object cannot be interpreted as an integer"),
    (lambda: register().apply_gate(gate(), [0.0], []), TypeError, "argument 'targets': 'float' object cannot be interpreted as an integer"),
    (lambda: register().apply_gate(gate(), [0], [1j]), TypeError, "argument 'controls': 'complex' object cannot be interpreted as an integer"),
    (lambda: korvel.Register(2**32), OverflowError, "out of range integral type conversion attempted"),
    (lambda: korvel.Register(2**64 - 1), OverflowError, "out of range integral type conversion attempted"),
    (lambda: register().measure(2**32), OverflowError, "out of range integral type conversion attempted"),
    (lambda: register().apply_gate(gate(), [0, 2**40], []), OverflowError, "out of range integral type conversion attempted"),
    (lambda: register().apply_gate(register(), [0], []), TypeError, "argument 'gate': 'Register' object cannot be converted to 'QGate'"),
    (lambda: register().apply_gate(None, [0], []), TypeError, "argument 'gate': 'NoneType' object cannot be converted to 'QGate'"),
    (lambda: register().apply_gate(IDENTITY, [0], []), TypeError, "argument 'gate': 'list' object cannot be converted to 'QGate'"),
]


@pytest.mark.parametrize("call, kind, message", CONVERSION_FAILURES)
def test_conversion_failures(call, kind, message):
    error = raised(call)
    assert type(error) is kind
    assert str(error) == message


@pytest.mark.parametrize("call", [lambda: korvel.Register(-1), lambda: korvel.Register(2**64), lambda: register().measure(-5), lambda: register().apply_gate(gate(), [], [-1])])
def test_interpreter_overflow_errors_pass_without_the_argument_name(call):
    error = raised(call)
    assert type(error) is OverflowError
    assert "argument" not in str(error)
    assert str(error) in ("can't convert negative int to unsigned", "int too big to convert")


@pytest.mark.parametrize("element, field", [(BadReal(), "real"), (BadImag(), "imag")])
def test_unconvertible_complex_field_names_the_field_and_keeps_the_cause(element, field):
    error = raised(lambda: korvel.QGate([[1, 0], [0, element]]))
    assert type(error) is TypeError
    assert str(error) == "argument 'matrix': failed to extract field Complex.%s" % field
    assert type(error.__cause__) is TypeError
    assert str(error.__cause__).startswith("must be real number")


def test_remapped_type_error_carries_the_original_cause_not_itself():
    class Index:
        def __index__(self):
            raise TypeError("no index here") from KeyError("why")

    error = raised(lambda: register().apply_gate(gate(), [Index()], []))
    assert type(error) is TypeError
    assert str(error) == "argument 'targets': no index here"
    assert type(error.__cause__) is KeyError
    assert error.__suppress_context__


def test_remapped_type_error_without_cause_has_none():
    error = raised(lambda: korvel.Register(3.0))
    assert error.__cause__ is None


@pytest.mark.parametrize(
    "raised_error",
    [ValueError("v"), RuntimeError("r"), OverflowError("o"), KeyError("k"), ZeroDivisionError("z")],
    ids=lambda e: type(e).__name__,
)
def test_other_python_errors_from_caller_code_pass_unchanged(raised_error):
    class Index:
        def __index__(self):
            raise raised_error

    error = raised(lambda: register().measure(Index()))
    assert error is raised_error


def test_type_error_subclasses_are_not_remapped():
    class SpecialTypeError(TypeError):
        pass

    original = SpecialTypeError("special")

    class Sequence:
        def __len__(self):
            return 1

        def __getitem__(self, index):
            raise original

    assert raised(lambda: register().apply_gate(gate(), [], Sequence())) is original


@pytest.mark.parametrize("qualname", [RuntimeError("no name"), 42], ids=["raises", "not-str"])
def test_unreadable_type_name_in_a_type_mismatch(qualname):
    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                if isinstance(qualname, BaseException):
                    raise qualname
                return qualname
            return super().__getattribute__(name)

    class Odd(metaclass=Meta):
        pass

    error = raised(lambda: korvel.QGate(Odd()))
    assert str(error) == "argument 'matrix': '<failed to extract type name>' object cannot be converted to 'Sequence'"


def test_constructors_through_dunder_new(identity):
    gate = korvel.QGate.__new__(korvel.QGate, matrix=IDENTITY)
    assert type(gate) is korvel.QGate
    assert len(korvel.Register.__new__(korvel.Register, 1).probabilities()) == 2
    with pytest.raises(TypeError):
        korvel.QGate.__new__(korvel.Register, IDENTITY)


@pytest.mark.parametrize("name", ["probabilities", "measure_all"])
@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"x": 1})])
def test_argumentless_methods_refuse_arguments_with_the_interpreters_error(name, args, kwargs):
    error = raised(lambda: getattr(register(), name)(*args, **kwargs))
    assert type(error) is TypeError
    assert "takes no" in str(error) and name in str(error)


@pytest.mark.parametrize(
    "name, args",
    [("apply_gate", (gate(), [0], [])), ("probabilities", ()), ("measure", (0,)), ("measure_all", ())],
)
def test_foreign_receiver_is_refused_by_the_interpreter(name, args):
    error = raised(lambda: getattr(korvel.Register, name)(gate(), *args))
    assert type(error) is TypeError
    assert "descriptor '%s'" % name in str(error)


class TestInternalFailures:
    SHAPES = [[[1, 0]], [[1, 0], [0]], [[1, 0], [0, 1], [0, 0]], [], [[], []], [[1, 0, 0], [0, 1, 0]]]

    @pytest.mark.parametrize("matrix", SHAPES, ids=repr)
    def test_shape(self, matrix, PanicException):
        error = raised(lambda: korvel.QGate(matrix))
        assert type(error) is PanicException
        assert error.args == ("Only support single gate. Matrix size must be 2 by 2",)

    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda: korvel.QGate([[1, 1], [1, 1]]), "Matrix is not unitary"),
            (lambda: korvel.QGate([[float("nan"), 0], [0, 1]]), "Matrix is not unitary"),
            (lambda: korvel.Register(30), "Number of qubits must be less than 30"),
            (lambda: korvel.Register(2**32 - 1), "Number of qubits must be less than 30"),
            (lambda: register(2).apply_gate(gate(), [2], []), "Target(s) outside qubit range"),
            (lambda: register(2).measure(2), "index out of bounds: the len is 4 but the index is 4"),
            (lambda: register(2).measure(33), "Target(s) outside qubit range"),
        ],
    )
    def test_engine_failures(self, call, message, PanicException):
        error = raised(call)
        assert type(error) is PanicException
        assert error.args == (message,)
        assert str(error) == message

    def test_panic_exception_type(self, PanicException):
        assert PanicException.__module__ == "pyo3_runtime"
        assert PanicException.__qualname__ == "PanicException"
        assert PanicException.__bases__ == (BaseException,)
        assert not issubclass(PanicException, Exception)
        doc = PanicException.__doc__
        assert "BaseException" in doc and "SystemExit" in doc

    def test_one_type_for_every_failure(self, PanicException):
        assert type(raised(lambda: korvel.QGate([[1]]))) is PanicException
        assert type(raised(lambda: register(1).apply_gate(gate(), [1], []))) is PanicException

    def test_not_caught_by_except_exception(self, PanicException):
        with pytest.raises(PanicException):
            try:
                korvel.Register(31)
            except Exception:
                pytest.fail("PanicException was caught as an Exception")
