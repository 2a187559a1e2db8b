"""The module object, its two classes and their instances, as Python sees them."""

import gc
import inspect
import re
import sys
import weakref

import pytest

import korvel

Py_TPFLAGS_BASETYPE = 1 << 10
Py_TPFLAGS_HAVE_GC = 1 << 14


@pytest.fixture(params=["QGate", "Register"])
def cls_and_instance(request):
    if request.param == "QGate":
        return korvel.QGate, korvel.QGate([[1, 0], [0, 1]])
    return korvel.Register, korvel.Register(2)


def test_module_exports_exactly_the_two_classes():
    assert korvel.__all__ == ["QGate", "Register"]
    assert type(korvel.__all__) is list
    public = {name for name in vars(korvel) if not name.startswith("_")}
    assert public == {"QGate", "Register"}


def test_module_docstring_is_one_sentence():
    doc = korvel.__doc__
    assert isinstance(doc, str) and doc.endswith(".")
    assert doc.count(".") == 1 and "\n" not in doc


def test_panic_exception_is_not_a_module_attribute(PanicException):
    assert not hasattr(korvel, "PanicException")
    assert PanicException not in vars(korvel).values()


class TestClassProperties:
    def test_names(self, cls_and_instance):
        cls, _ = cls_and_instance
        assert cls.__module__ == "builtins"
        assert cls.__qualname__ == cls.__name__
        assert repr(cls) == "<class 'builtins.%s'>" % cls.__name__

    def test_plain_object_base_and_default_flags(self, cls_and_instance):
        cls, _ = cls_and_instance
        assert cls.__bases__ == (object,)
        assert cls.__mro__ == (cls, object)
        assert not cls.__flags__ & Py_TPFLAGS_BASETYPE
        assert not cls.__flags__ & Py_TPFLAGS_HAVE_GC

    def test_no_docstring_and_no_constructor_signature(self, cls_and_instance):
        cls, _ = cls_and_instance
        assert cls.__doc__ is None
        assert cls.__text_signature__ is None

    def test_subclassing_is_refused(self, cls_and_instance):
        cls, _ = cls_and_instance
        with pytest.raises(TypeError, match="is not an acceptable base type"):
            type("Sub", (cls,), {})

    def test_instances_take_no_attributes(self, cls_and_instance):
        _, instance = cls_and_instance
        assert not hasattr(instance, "__dict__")
        with pytest.raises(AttributeError):
            instance.anything = 1

    def test_instances_take_no_weak_references(self, cls_and_instance):
        _, instance = cls_and_instance
        with pytest.raises(TypeError):
            weakref.ref(instance)

    def test_identity_equality_hash_and_default_repr(self, cls_and_instance):
        cls, instance = cls_and_instance
        assert instance == instance
        assert hash(instance) == object.__hash__(instance)
        assert re.fullmatch(r"<builtins\.%s object at 0x[0-9a-f]+>" % cls.__name__, repr(instance))

    def test_instances_are_not_tracked_by_the_collector(self, cls_and_instance):
        _, instance = cls_and_instance
        assert not gc.is_tracked(instance)

    def test_no_readable_attributes(self, cls_and_instance):
        cls, instance = cls_and_instance
        own = set(vars(cls)) - {"__new__", "__doc__", "__module__"}
        expected = {"apply_gate", "probabilities", "measure", "measure_all"} if cls is korvel.Register else set()
        assert own == expected


def test_equal_matrices_give_distinct_gates():
    a = korvel.QGate([[1, 0], [0, 1]])
    b = korvel.QGate([[1, 0], [0, 1]])
    assert a != b and hash(a) != hash(b)


def test_register_method_table_order_and_text_signatures():
    methods = [name for name in vars(korvel.Register) if not name.startswith("__")]
    assert methods == ["apply_gate", "probabilities", "measure", "measure_all"]


@pytest.mark.parametrize(
    "name, signature",
    [
        ("apply_gate", "($self, gate, targets, controls)"),
        ("probabilities", "($self)"),
        ("measure", "($self, target)"),
        ("measure_all", "($self)"),
    ],
)
def test_method_text_signature_and_empty_docstring(name, signature):
    method = getattr(korvel.Register, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ is None
    parameters = list(inspect.signature(getattr(korvel.Register(1), name)).parameters)
    assert parameters == [p.strip() for p in signature[1:-1].split(",")][1:]


class TestLifetime:
    def test_instances_release_their_type_reference(self):
        for cls, make in [(korvel.QGate, lambda: korvel.QGate([[1, 0], [0, 1]])), (korvel.Register, lambda: korvel.Register(1))]:
            make()  # warm any caches
            before = sys.getrefcount(cls)
            instances = [make() for _ in range(100)]
            assert sys.getrefcount(cls) == before + 100
            del instances
            assert sys.getrefcount(cls) == before

    def test_failed_constructions_leak_no_references(self, PanicException):
        matrix = [[1, 1], [1, 1]]
        qubits = 2**32
        before = (sys.getrefcount(matrix), sys.getrefcount(qubits), sys.getrefcount(korvel.QGate), sys.getrefcount(korvel.Register))
        for _ in range(200):
            with pytest.raises(BaseException):
                korvel.QGate(matrix=matrix)
            with pytest.raises(OverflowError):
                korvel.Register(qubits=qubits)
        after = (sys.getrefcount(matrix), sys.getrefcount(qubits), sys.getrefcount(korvel.QGate), sys.getrefcount(korvel.Register))
        assert after == before

    def test_deleting_a_register_frees_its_amplitudes(self):
        def resident_bytes():
            with open("/proc/self/statm") as statm:
                return int(statm.read().split()[1]) * 4096

        korvel.Register(22).probabilities()
        baseline = resident_bytes()
        for _ in range(20):
            register = korvel.Register(22)  # 64 MiB of amplitudes
            register.apply_gate(korvel.QGate([[0, 1], [1, 0]]), [0, 21], [])  # touch the pages
            del register
        assert resident_bytes() - baseline < 64 * 2**20

    def test_a_gate_outlives_the_registers_it_served(self, pauli_x):
        gate = korvel.QGate([[0, 1], [1, 0]])
        registers = [korvel.Register(1) for _ in range(3)]
        for register in registers:
            register.apply_gate(gate, [0], [])
        del registers
        gc.collect()
        fresh = korvel.Register(1)
        fresh.apply_gate(gate, [0], [])
        assert fresh.probabilities() == [0.0, 1.0]


class TestSingleInitialisation:
    MESSAGE = "PyO3 modules may only be initialized once per interpreter process"

    def test_import_after_removal_from_sys_modules_fails(self, python_process):
        result = python_process(
            """
            import sys
            import korvel
            first = korvel
            del sys.modules["korvel"]
            for attempt in range(2):
                try:
                    import korvel
                except ImportError as error:
                    print(type(error).__name__, error)
                else:
                    print("imported")
            # The first module object still works.
            first.Register(1).apply_gate(first.QGate([[0, 1], [1, 0]]), [0], [])
            print("first still works")
            """
        )
        assert result.returncode == 0, result.stderr
        assert result.stdout.splitlines() == ["ImportError " + self.MESSAGE] * 2 + ["first still works"]

    def test_a_fresh_process_imports_once(self, python_process):
        result = python_process("import korvel; print(sorted(korvel.__all__))")
        assert result.returncode == 0 and result.stdout == "['QGate', 'Register']\n"
