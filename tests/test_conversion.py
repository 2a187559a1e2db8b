"""What the conversions accept, and how they read sequences, integers and matrix entries."""

import array
import sys

import pytest

import korvel

from support import SQRT_HALF


def state_after(gate, targets=(0,), controls=(), qubits=1, prepare=None):
    register = korvel.Register(qubits)
    if prepare is not None:
        prepare(register)
    register.apply_gate(gate, targets, controls)
    return register.probabilities()


class Number:
    """A number-like object known only through its real and imag attributes."""

    def __init__(self, real, imag):
        self.real = real
        self.imag = imag


class FloatLike:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Indexable:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Sequence:
    """A sequence by __len__ and __getitem__ only, with a length that may lie."""

    def __init__(self, items, length=None):
        self.items = list(items)
        self.length = len(self.items) if length is None else length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, index):
        return self.items[index]


class TestMatrix:
    @pytest.mark.parametrize(
        "matrix",
        [
            [[1, 0], [0, 1]],
            ((1.0, 0.0), (0.0, 1.0)),
            [[True, False], [False, True]],
            [(1, 0j), [0.0, 1 + 0j]],
            [range(1, -1, -1), range(0, 2)],
            [array.array("d", [1, 0]), array.array("i", [0, 1])],
            Sequence([Sequence([1, 0]), Sequence([0, 1])]),
            # float() reads __index__ from Python 3.8 on
            [[Number(1, 0), Number(0, 0)], [Number(FloatLike(0.0), Indexable(0) if sys.version_info >= (3, 8) else 0), Number(True, 0)]],
        ],
        ids=["lists", "tuples", "bools", "mixed", "ranges", "arrays", "custom-sequences", "custom-numbers"],
    )
    def test_accepted_forms_of_the_identity(self, matrix):
        assert state_after(korvel.QGate(matrix), prepare=lambda r: None) == [1.0, 0.0]

    def test_keyword_form(self):
        assert state_after(korvel.QGate(matrix=[[0, 1], [1, 0]])) == [0.0, 1.0]

    def test_complex_entries_keep_their_imaginary_parts(self):
        # [[0, i], [i, 0]] is unitary only if the imaginary parts are read.
        assert state_after(korvel.QGate([[0, 1j], [1j, 0]])) == [0.0, 1.0]
        assert state_after(korvel.QGate([[Number(0, 0), Number(0, 1)], [Number(0, 1), Number(0, 0)]])) == [0.0, 1.0]

    def test_values_are_read_bit_exactly(self):
        h = korvel.QGate([[Number(SQRT_HALF, 0), SQRT_HALF], [SQRT_HALF, -SQRT_HALF]])
        assert state_after(h) == [SQRT_HALF * SQRT_HALF] * 2

    def test_numpy_matrix(self):
        numpy = pytest.importorskip("numpy")
        assert state_after(korvel.QGate(numpy.array([[0, 1], [1, 0]], dtype=complex))) == [0.0, 1.0]
        assert state_after(korvel.QGate(numpy.eye(2))) == [1.0, 0.0]

    def test_every_entry_is_converted_before_the_shape_test(self):
        # Three rows would fail the shape test, but the bad entry is met first.
        with pytest.raises(AttributeError):
            korvel.QGate([[1, 0], [0, 1], [0, object()]])

    def test_every_entry_is_converted_before_the_unitarity_test(self, capfd):
        with pytest.raises(AttributeError):
            korvel.QGate([[2, 2], [2, None]])
        assert capfd.readouterr().err == ""

    def test_str_subclass_and_str_impostor_are_refused(self):
        class Text(str):
            pass

        class Impostor:
            __class__ = str

            def __len__(self):
                return 2

            def __getitem__(self, index):
                return [1, 0][index]

        for row in (Text("10"), Impostor()):
            with pytest.raises(TypeError, match="^argument 'matrix': Can't extract `str` to `Vec`$"):
                korvel.QGate([row, [0, 1]])


class TestIndexList:
    @pytest.mark.parametrize(
        "targets",
        [[1], (1,), range(1, 2), bytes([1]), bytearray([1]), array.array("B", [1]), [True], [Indexable(1)], Sequence([1])],
        ids=["list", "tuple", "range", "bytes", "bytearray", "array", "bool", "index", "custom"],
    )
    def test_accepted_forms(self, pauli_x, targets):
        assert state_after(pauli_x, targets, qubits=2) == [0.0, 0.0, 1.0, 0.0]

    def test_bytes_of_zero_is_qubit_zero(self, pauli_x):
        assert state_after(pauli_x, bytes(1)) == [0.0, 1.0]

    def test_empty_lists(self, pauli_x):
        assert state_after(pauli_x, [], []) == [1.0, 0.0]
        assert state_after(pauli_x, (), range(0)) == [1.0, 0.0]

    def test_duplicates_are_kept_and_applied_in_order(self, pauli_x):
        assert state_after(pauli_x, [0, 0]) == [1.0, 0.0]
        assert state_after(pauli_x, [0, 0, 0]) == [0.0, 1.0]

    def test_long_lists(self, pauli_x):
        # Past any small inline storage: 101 flips of qubit 0, then a control list of 40.
        assert state_after(pauli_x, [0] * 101) == [0.0, 1.0]
        set_q1 = lambda r: r.apply_gate(pauli_x, [1], [])
        assert state_after(pauli_x, [0], [1] * 40, qubits=2, prepare=set_q1) == [0.0, 0.0, 0.0, 1.0]

    def test_numpy_integers(self, pauli_x):
        numpy = pytest.importorskip("numpy")
        assert state_after(pauli_x, numpy.array([1], dtype=numpy.uint8), qubits=2) == [0.0, 0.0, 1.0, 0.0]
        assert state_after(pauli_x, [numpy.int64(0)]) == [0.0, 1.0]

    def test_largest_accepted_index(self, pauli_x):
        # 2**32 - 1 converts; only the engine then refuses it as a target.
        assert state_after(pauli_x, [0], [2**32 - 1]) == [1.0, 0.0]

    @pytest.mark.parametrize("length", [0, 1, 100, ValueError("no length"), TypeError("no length")], ids=repr)
    def test_length_is_only_a_hint(self, pauli_x, length):
        assert state_after(pauli_x, Sequence([0, 0, 0], length=length)) == [0.0, 1.0]

    def test_a_list_changed_during_conversion_is_read_like_its_iterator(self, pauli_x):
        targets = [0]

        class Grow:
            def __index__(self):
                if len(targets) < 4:
                    targets.append(Grow())
                return 0

        targets.append(Grow())
        reference = [0, 0, 0, 0]  # what `list(targets)` would have yielded
        assert state_after(pauli_x, targets) == state_after(pauli_x, reference)

    def test_a_list_shrunk_during_conversion_stops_early(self, pauli_x):
        targets = [0]

        class Shrink:
            def __index__(self):
                del targets[1:]
                return 0

        targets += [Shrink(), 0, 0]
        assert state_after(pauli_x, targets) == [1.0, 0.0]  # two flips

    def test_an_item_dropped_by_its_own_conversion_stays_alive(self, pauli_x):
        targets = []

        class Vanish:
            def __index__(self):
                targets.clear()
                return 0

        targets.append(Vanish())
        assert state_after(pauli_x, targets) == [0.0, 1.0]

    def test_errors_of_iteration_pass_through(self, pauli_x):
        class Broken:
            def __len__(self):
                return 1

            def __iter__(self):
                raise LookupError("no iteration")

            def __getitem__(self, index):
                return 0

        with pytest.raises(LookupError, match="no iteration"):
            state_after(pauli_x, Broken())

    def test_the_conversions_run_in_parameter_order(self):
        register = korvel.Register(1)
        with pytest.raises(TypeError, match="^argument 'gate'"):
            register.apply_gate(None, None, None)
        with pytest.raises(TypeError, match="^argument 'targets'"):
            register.apply_gate(korvel.QGate([[1, 0], [0, 1]]), None, None)


class TestQubits:
    @pytest.mark.parametrize("qubits, size", [(0, 1), (True, 2), (False, 1), (Indexable(3), 8), (5, 32)])
    def test_accepted(self, qubits, size):
        assert len(korvel.Register(qubits).probabilities()) == size

    def test_keyword(self):
        assert len(korvel.Register(qubits=3).probabilities()) == 8

    def test_measure_target_forms(self):
        register = korvel.Register(2)
        assert register.measure(target=Indexable(1)) == 0
        assert register.measure(True) == 0
