"""Qiskit's classical expressions and variables as conditions over the runner's slots.

The runner tests a step's condition as alternatives (mask, value) over the slots of a shot's
word, so every expression the lowering meets becomes such cubes while the circuit is walked:
equalities of bits and registers directly, anything else through its truth table over the
bits it reads (at most MAX_EXPRESSION_BITS of them), split bit by bit into exclusive cubes
and merged. A classical variable (`expr.Var` declared with `add_var`, written by `store`)
is tracked symbolically: each of its bits is the condition under which it is 1, so reading
it composes like reading a circuit bit, and a `store` under a branch's condition c makes a
bit (c and new) or (not c and old). Inside a while_loop a variable the loop stores into lives in
slots of its own instead (`place`), each bit the literal "its slot reads 1", and the lowering
writes those slots with set steps.
"""

from __future__ import annotations

from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, TypeVar, Union

import numpy as np
from numpy.typing import NDArray
from qiskit.circuit import Clbit, ClassicalRegister
from qiskit.circuit.classical import expr, types

from korvel_programs.classical import ALWAYS, NEVER, Condition, conjoin, negate, simplify

from .classical import ClassicalBits

# Bits one expression may read when it goes through its truth table: 2^20 assignments are a
# few megabytes of NumPy work; past that the cubes would exceed MAX_ALTERNATIVES anyway for
# most expressions that need every bit.
MAX_EXPRESSION_BITS = 20

# An atom is one bit an expression reads: ("clbit", None, circuit bit) or ("var", variable,
# bit of it).
Atom = Tuple[str, Optional[expr.Var], int]
_T = TypeVar("_T")
_Op = expr.Binary.Op
_Compare = Callable[[NDArray[np.uint64], NDArray[np.uint64]], NDArray[np.bool_]]
_COMPARISONS: Dict[object, _Compare] = {
    _Op.EQUAL: np.equal, _Op.NOT_EQUAL: np.not_equal, _Op.LESS: np.less,
    _Op.LESS_EQUAL: np.less_equal, _Op.GREATER: np.greater, _Op.GREATER_EQUAL: np.greater_equal,
}
_BITWISE = {_Op.BIT_AND: np.bitwise_and, _Op.BIT_OR: np.bitwise_or, _Op.BIT_XOR: np.bitwise_xor}


def _u64(values: Any) -> NDArray[np.uint64]:
    return np.asarray(values, dtype=np.uint64)


def _width(kind: types.Type) -> int:
    if isinstance(kind, types.Bool):
        return 1
    if isinstance(kind, types.Uint):
        return int(kind.width)
    raise _Unsupported(f"values of type {kind}")


class _Unsupported(Exception):
    """Part of an expression korvel does not evaluate; the message says which."""


class ClassicalExpressions:
    """Conditions over slots for expressions of one circuit, and its variables' bits."""

    def __init__(self, bits: ClassicalBits, circuit_name: str) -> None:
        self.bits = bits
        self.circuit_name = circuit_name
        # Per variable, the condition under which each bit (least significant first) is 1;
        # None for an input variable nothing has stored into yet.
        self.variables: Dict[expr.Var, Optional[List[Condition]]] = {}

    # -- variables ------------------------------------------------------------------------

    def declare_input(self, var: expr.Var) -> None:
        self.variables.setdefault(var, None)

    def store_target(self, lvalue: expr.Expr) -> Tuple[expr.Var, List[int]]:
        """The variable a store writes and the positions of the bits it writes."""
        if isinstance(lvalue, expr.Index) and isinstance(lvalue.target, expr.Var) \
                and lvalue.target.standalone and isinstance(lvalue.index, expr.Value):
            var, positions = lvalue.target, [int(lvalue.index.value)]
        elif isinstance(lvalue, expr.Var) and lvalue.standalone:
            var, positions = lvalue, list(range(self._var_width(lvalue)))
        else:
            raise ValueError(f"circuit '{self.circuit_name}': store into {lvalue} is not "
                             "supported: korvel stores into classical variables (add_var) "
                             "and their bits, not into classical bits or registers")
        width = self._var_width(var)
        if any(not 0 <= p < width for p in positions):
            raise ValueError(f"circuit '{self.circuit_name}': store into {lvalue} is out of range")
        return var, positions

    def store(self, lvalue: expr.Expr, rvalue: expr.Expr, condition: Condition,
              clbit_index: Dict[Clbit, int]) -> None:
        """`lvalue = rvalue` in the shots where `condition` holds."""
        var, positions = self.store_target(lvalue)
        width = self._var_width(var)
        new = self.value_bits(rvalue, len(positions), clbit_index)
        if var in self.variables and self.variables[var] is None \
                and (len(positions) < width or condition != ALWAYS):
            # The bits this store leaves alone would keep an input's value, never bound.
            self._refuse_unbound(var)
        old = self.variables.get(var) or [NEVER] * width
        bits = list(old)
        otherwise = negate(condition) if condition != ALWAYS else NEVER
        for position, value in zip(positions, new):
            if condition == ALWAYS:
                bits[position] = value
            else:
                bits[position] = simplify(conjoin(condition, value)
                                          + conjoin(otherwise, old[position]))
        self.variables[var] = bits

    def slots_of(self, var: expr.Var) -> Optional[List[int]]:
        """The slots `var` lives in when each of its bits is the literal of a slot of its own."""
        bits = self.variables.get(var)
        if not bits:
            return None
        slots = []
        for condition in bits:
            if len(condition) != 1 or condition[0][0] != condition[0][1] \
                    or bin(condition[0][0]).count("1") != 1:
                return None
            slots.append(condition[0][0].bit_length() - 1)
        return slots if len(set(slots)) == len(slots) else None

    def bits_of(self, var: expr.Var) -> List[Condition]:
        """Per bit of `var`, where it is 1 (a variable not stored yet reads 0)."""
        if var in self.variables and self.variables[var] is None:
            self._refuse_unbound(var)
        return list(self.variables.get(var) or [NEVER] * self._var_width(var))

    def place(self, var: expr.Var, slots: Sequence[int]) -> None:
        """Each bit of `var` is in its slot of `slots` from now on."""
        self.variables[var] = [((1 << s, 1 << s),) for s in slots]

    def held_slots(self, leaving: Optional[expr.Var] = None) -> int:
        """Slots the variables' bits are read from, which a measurement must not overwrite;
        those of `leaving` left out."""
        mask = 0
        for var, bits in self.variables.items():
            if leaving is not None and var == leaving:
                continue
            for condition in bits or ():
                for cube_mask, _ in condition:
                    mask |= cube_mask
        return mask

    def _var_width(self, var: expr.Var) -> int:
        try:
            return _width(var.type)
        except _Unsupported:
            raise ValueError(f"circuit '{self.circuit_name}': variable '{var.name}' of type "
                             f"{var.type} is not supported: korvel runs Bool and Uint "
                             "variables") from None

    def _refuse_unbound(self, var: expr.Var) -> None:
        raise ValueError(f"circuit '{self.circuit_name}' reads input variable '{var.name}', "
                         "which korvel cannot bind: declare it with add_var and an initial "
                         "value instead of add_input")

    # -- conditions -----------------------------------------------------------------------

    def truth(self, node: object, clbit_index: Dict[Clbit, int]) -> Condition:
        """Where the Bool expression (or legacy (target, value) condition) `node` holds."""
        if isinstance(node, tuple):
            target, value = node
            return self.member(expr.lift(target), [int(value)], clbit_index)
        return self._guarded(lambda: self._truth(node, clbit_index), node)

    def member(self, node: expr.Expr, values: Sequence[int],
               clbit_index: Dict[Clbit, int]) -> Condition:
        """Where the value of `node` is one of `values`."""
        return self._guarded(lambda: self._member(node, values, clbit_index), node)

    def value_bits(self, node: expr.Expr, width: int,
                   clbit_index: Dict[Clbit, int]) -> List[Condition]:
        """Per bit of `node`'s value (the lowest `width`), where it is 1."""
        def bits() -> List[Condition]:
            if isinstance(node, expr.Value):
                return [ALWAYS if (int(node.value) >> i) & 1 else NEVER for i in range(width)]
            if isinstance(node, expr.Var):
                read = self._atoms_of_var(node, clbit_index)
                return [self._literal(read[i], True) if i < len(read) else NEVER
                        for i in range(width)]
            atoms: List[Atom] = []
            self._collect(node, clbit_index, atoms)
            values = self._evaluate(node, atoms, clbit_index)
            one = np.uint64(1)
            return [self._cubes((values >> np.uint64(i)) & one != 0, atoms) if i < 64 else NEVER
                    for i in range(width)]
        return self._guarded(bits, node)

    def _guarded(self, compute: Callable[[], _T], node: object) -> _T:
        try:
            return compute()
        except _Unsupported as error:
            raise ValueError(f"circuit '{self.circuit_name}': classical expression {node} is "
                             f"not supported: {error}") from None

    def _truth(self, node: object, clbit_index: Dict[Clbit, int]) -> Condition:
        # Structure first, so equalities of wide registers need no truth table.
        if isinstance(node, expr.Var) and isinstance(node.type, types.Bool):
            return self._literal(self._atoms_of_var(node, clbit_index)[0], True)
        if isinstance(node, expr.Value) and isinstance(node.type, types.Bool):
            return ALWAYS if node.value else NEVER
        if isinstance(node, expr.Unary) and isinstance(node.type, types.Bool) \
                and node.op in (expr.Unary.Op.LOGIC_NOT, expr.Unary.Op.BIT_NOT):
            return negate(self._truth(node.operand, clbit_index))
        if isinstance(node, expr.Cast) and isinstance(node.type, types.Bool) \
                and isinstance(node.operand.type, types.Bool):
            return self._truth(node.operand, clbit_index)
        if isinstance(node, expr.Binary) and isinstance(node.left.type, types.Bool) \
                and isinstance(node.right.type, types.Bool) and node.op in (
                    _Op.LOGIC_AND, _Op.LOGIC_OR, _Op.BIT_AND, _Op.BIT_OR, _Op.BIT_XOR,
                    _Op.EQUAL, _Op.NOT_EQUAL):
            left = self._truth(node.left, clbit_index)
            right = self._truth(node.right, clbit_index)
            if node.op in (_Op.LOGIC_AND, _Op.BIT_AND):
                return conjoin(left, right)
            if node.op in (_Op.LOGIC_OR, _Op.BIT_OR):
                return simplify(left + conjoin(negate(left), right))
            differ = simplify(conjoin(left, negate(right)) + conjoin(negate(left), right))
            return negate(differ) if node.op is _Op.EQUAL else differ
        if isinstance(node, expr.Binary) and node.op in (_Op.EQUAL, _Op.NOT_EQUAL):
            var, value = node.left, node.right
            if isinstance(var, expr.Value):
                var, value = value, var
            if isinstance(var, expr.Var) and isinstance(value, expr.Value):
                equal = self._member(var, [int(value.value)], clbit_index)
                return equal if node.op is _Op.EQUAL else negate(equal)
        if not isinstance(getattr(node, "type", None), types.Bool):
            raise _Unsupported("a condition must be of type Bool")
        atoms: List[Atom] = []
        self._collect(node, clbit_index, atoms)
        return self._cubes(self._evaluate(node, atoms, clbit_index) != 0, atoms)

    def _member(self, node: expr.Expr, values: Sequence[int],
                clbit_index: Dict[Clbit, int]) -> Condition:
        width = _width(node.type)
        values = sorted({int(v) for v in values if 0 <= int(v) < (1 << width)})
        if isinstance(node, expr.Var):
            # Exclusive values: their equalities are exclusive alternatives.
            atoms = self._atoms_of_var(node, clbit_index)
            out: List[Tuple[int, int]] = []
            for value in values:
                cubes = ALWAYS
                for i, atom in enumerate(atoms):
                    cubes = conjoin(cubes, self._literal(atom, bool((value >> i) & 1)))
                    if not cubes:
                        break
                out.extend(cubes)
            return simplify(tuple(out))
        atoms = []
        self._collect(node, clbit_index, atoms)
        table = np.isin(self._evaluate(node, atoms, clbit_index), np.array(values, dtype=np.uint64))
        return self._cubes(table, atoms)

    # -- atoms ----------------------------------------------------------------------------

    def _atoms_of_var(self, node: expr.Var, clbit_index: Dict[Clbit, int]) -> List[Atom]:
        if not node.standalone:
            target = node.var
            members = [target] if isinstance(target, Clbit) else list(target)
            return [("clbit", None, clbit_index[bit]) for bit in members]
        if not isinstance(node.type, (types.Bool, types.Uint)):
            raise _Unsupported(f"variable '{node.name}' of type {node.type}")
        if node not in self.variables:
            raise _Unsupported(f"variable '{node.name}' is read before anything is stored in it")
        if self.variables[node] is None:
            self._refuse_unbound(node)
        return [("var", node, i) for i in range(_width(node.type))]

    def _literal(self, atom: Atom, one: bool) -> Condition:
        _, var, bit = atom
        if var is None:
            return self.bits.literal(bit, one)
        bits = self.variables[var]
        assert bits is not None
        holds = bits[bit]
        return holds if one else negate(holds)

    def _collect(self, node: expr.Expr, clbit_index: Dict[Clbit, int], atoms: List[Atom]) -> None:
        if isinstance(node, expr.Var):
            for atom in self._atoms_of_var(node, clbit_index):
                if atom not in atoms:
                    atoms.append(atom)
        elif isinstance(node, (expr.Unary, expr.Cast)):
            self._collect(node.operand, clbit_index, atoms)
        elif isinstance(node, expr.Binary):
            self._collect(node.left, clbit_index, atoms)
            self._collect(node.right, clbit_index, atoms)
        elif isinstance(node, expr.Index):
            self._collect(node.target, clbit_index, atoms)
            self._collect(node.index, clbit_index, atoms)
        elif not isinstance(node, expr.Value):
            raise _Unsupported(f"{type(node).__name__} nodes")
        if len(atoms) > MAX_EXPRESSION_BITS:
            raise _Unsupported(f"it reads more than {MAX_EXPRESSION_BITS} classical bits, the "
                               "most korvel evaluates in one expression")

    # -- truth tables ---------------------------------------------------------------------

    def _evaluate(self, node: expr.Expr, atoms: List[Atom],
                  clbit_index: Dict[Clbit, int]) -> NDArray[np.uint64]:
        """The value of `node` in each assignment of `atoms` (assignment a gives atom j the
        value of bit j of a), as unsigned integers."""
        count = 1 << len(atoms)
        assignments = np.arange(count, dtype=np.uint64)
        position = {atom: j for j, atom in enumerate(atoms)}

        def value(node: expr.Expr) -> NDArray[np.uint64]:
            width = _width(node.type)
            if width > 64:
                raise _Unsupported("values wider than 64 bits")
            mask = np.uint64((1 << width) - 1)
            if isinstance(node, expr.Value):
                return np.full(count, int(node.value) & int(mask), dtype=np.uint64)
            if isinstance(node, expr.Var):
                out = np.zeros(count, dtype=np.uint64)
                for i, atom in enumerate(self._atoms_of_var(node, clbit_index)):
                    bit = (assignments >> np.uint64(position[atom])) & np.uint64(1)
                    out |= bit << np.uint64(i)
                return out
            if isinstance(node, expr.Cast):
                operand = value(node.operand)
                if isinstance(node.type, types.Bool):
                    return _u64(operand != 0)
                return _u64(operand & mask)
            if isinstance(node, expr.Unary):
                operand = value(node.operand)
                if node.op is expr.Unary.Op.LOGIC_NOT:
                    return _u64(operand == 0)
                if node.op is expr.Unary.Op.BIT_NOT:
                    return _u64(~operand & mask)
                raise _Unsupported(f"the operator {node.op.name}")
            if isinstance(node, expr.Index):
                target, index = value(node.target), value(node.index)
                inside = index < np.uint64(_width(node.target.type))
                shifted = target >> np.minimum(index, np.uint64(63))
                return _u64(np.where(inside, shifted & np.uint64(1), np.uint64(0)))
            if isinstance(node, expr.Binary):
                left, right = value(node.left), value(node.right)
                if node.op in _COMPARISONS:
                    return _u64(_COMPARISONS[node.op](left, right))
                if node.op in _BITWISE:
                    return _u64(_BITWISE[node.op](left, right) & mask)
                if node.op is _Op.LOGIC_AND:
                    return _u64((left != 0) & (right != 0))
                if node.op is _Op.LOGIC_OR:
                    return _u64((left != 0) | (right != 0))
                if node.op in (_Op.SHIFT_LEFT, _Op.SHIFT_RIGHT):
                    # Shifts by the width or more leave nothing.
                    inside = right < np.uint64(width)
                    amount = np.minimum(right, np.uint64(63))
                    moved = left << amount if node.op is _Op.SHIFT_LEFT else left >> amount
                    return _u64(np.where(inside, moved & mask, np.uint64(0)))
                raise _Unsupported(f"the operator {node.op.name}; korvel evaluates the bitwise, "
                                   "logical, comparison and shift operators")
            raise _Unsupported(f"{type(node).__name__} nodes")

        return value(node)

    def _cubes(self, table: NDArray[np.bool_], atoms: List[Atom]) -> Condition:
        """The assignments where `table` holds as exclusive cubes over slots, splitting on the
        last atom first (it selects the upper half of the table)."""
        literals: Dict[Tuple[int, bool], Condition] = {}

        def literal(j: int, one: bool) -> Condition:
            if (j, one) not in literals:
                literals[(j, one)] = self._literal(atoms[j], one)
            return literals[(j, one)]

        def split(part: NDArray[np.bool_], j: int) -> Condition:
            if part.all():
                return ALWAYS
            if not part.any():
                return NEVER
            half = len(part) // 2
            low, high = split(part[:half], j - 1), split(part[half:], j - 1)
            if low == high:
                return low
            return simplify(conjoin(literal(j, False), low) + conjoin(literal(j, True), high))

        return split(np.asarray(table, dtype=np.bool_), len(atoms) - 1)



def lifted(target: Union[Clbit, ClassicalRegister, expr.Expr]) -> expr.Expr:
    """A switch's target as an expression."""
    return target if isinstance(target, expr.Expr) else expr.lift(target)
