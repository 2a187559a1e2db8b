"""Matrices computed from parameter values, for the steps of a lowered circuit.

A lowered circuit is a template program plus, for each step whose matrix depends on
parameters, the factors that recompute that matrix. Evaluation is vectorised over bindings:
every formula here maps arrays of shape (B,) to matrices of shape (B, d, d).
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Callable, Dict, Mapping, Optional, Sequence, Tuple, Union

import numpy as np
from numpy.typing import NDArray


ComplexMatrices = NDArray[np.complex128]
FloatArray = NDArray[np.float64]


@dataclass(frozen=True)
class Angle:
    """A gate parameter as a function of the circuit's parameter values.

    Most parameters are a circuit parameter itself or an affine form of several (the
    definitions of two-qubit rotations and evolution gates scale their angles), which
    evaluates for all bindings at once as one matrix product. Anything else keeps its
    expression and is bound binding by binding.
    """

    coefficients: Tuple[Tuple[int, float], ...]
    constant: float
    expression: Optional[object] = None  # a ParameterExpression that is not affine

    def evaluate(self, values: FloatArray, parameters: Sequence[object]) -> FloatArray:
        """`values` has shape (B, P), its columns in the order of `parameters`."""
        if self.expression is None:
            out = np.full(values.shape[0], self.constant, dtype=np.float64)
            for column, coefficient in self.coefficients:
                out += coefficient * values[:, column]
            return out
        expression = self.expression
        used = [(parameters[i], i) for i in range(len(parameters))
                if parameters[i] in expression.parameters]  # type: ignore[attr-defined]
        result = np.empty(values.shape[0], dtype=np.float64)
        for row in range(values.shape[0]):
            bound = expression.bind_all(  # type: ignore[attr-defined]
                {parameter: float(values[row, column]) for parameter, column in used})
            result[row] = float(np.real(complex(bound)))
        return result


def angle_from(value: object, index: Mapping[object, int]) -> Union[float, Angle]:
    """A number when `value` is bound, else an Angle over the parameters in `index`."""
    parameters = getattr(value, "parameters", None)
    if not parameters:
        return float(np.real(complex(value)))  # type: ignore[call-overload]
    if getattr(value, "is_symbol", lambda: False)():
        return Angle(((index[value], 1.0),), 0.0)
    coefficients = []
    for parameter in parameters:
        slope = value.gradient(parameter)  # type: ignore[attr-defined]
        if getattr(slope, "parameters", None):
            return Angle((), 0.0, value)
        slope = complex(slope)
        if slope.imag != 0.0:
            return Angle((), 0.0, value)
        coefficients.append((index[parameter], slope.real))
    offset = complex(value.bind({p: 0.0 for p in parameters}))  # type: ignore[attr-defined]
    if offset.imag != 0.0:
        return Angle((), 0.0, value)
    coefficients.sort()
    return Angle(tuple(coefficients), offset.real)


def _cis(angle: FloatArray) -> NDArray[np.complex128]:
    return np.cos(angle) + 1j * np.sin(angle)


def _stack(m00: Any, m01: Any, m10: Any, m11: Any, size: int) -> ComplexMatrices:
    out = np.empty((size, 2, 2), dtype=np.complex128)
    out[:, 0, 0] = m00
    out[:, 0, 1] = m01
    out[:, 1, 0] = m10
    out[:, 1, 1] = m11
    return out


def _rx(theta: FloatArray) -> ComplexMatrices:
    c, s = np.cos(theta / 2), np.sin(theta / 2)
    return _stack(c, -1j * s, -1j * s, c, theta.shape[0])


def _ry(theta: FloatArray) -> ComplexMatrices:
    c, s = np.cos(theta / 2), np.sin(theta / 2)
    return _stack(c, -s, s, c, theta.shape[0])


def _rz(theta: FloatArray) -> ComplexMatrices:
    # Off-diagonal zeros stay exact, so the runner keeps treating the step as diagonal.
    return _stack(_cis(-theta / 2), 0.0, 0.0, _cis(theta / 2), theta.shape[0])


def _phase(lam: FloatArray) -> ComplexMatrices:
    return _stack(1.0, 0.0, 0.0, _cis(lam), lam.shape[0])


def _u(theta: FloatArray, phi: FloatArray, lam: FloatArray) -> ComplexMatrices:
    c, s = np.cos(theta / 2), np.sin(theta / 2)
    return _stack(c, -_cis(lam) * s, _cis(phi) * s, _cis(phi + lam) * c, theta.shape[0])


def _u2(phi: FloatArray, lam: FloatArray) -> ComplexMatrices:
    r = 1.0 / np.sqrt(2.0)
    return _stack(r, -_cis(lam) * r, _cis(phi) * r, _cis(phi + lam) * r, phi.shape[0])


def _r(theta: FloatArray, phi: FloatArray) -> ComplexMatrices:
    c, s = np.cos(theta / 2), np.sin(theta / 2)
    return _stack(c, -1j * _cis(-phi) * s, -1j * _cis(phi) * s, c, theta.shape[0])


def _cu(theta: FloatArray, phi: FloatArray, lam: FloatArray, gamma: FloatArray) -> ComplexMatrices:
    # The controlled U carries its own phase gamma on the controlled subspace.
    return _u(theta, phi, lam) * _cis(gamma)[:, None, None]


# One-qubit gate families whose matrix is recomputed from parameter values per binding, by
# the name of the gate (or of the base gate of a controlled gate) in Qiskit's standard library.
FORMULAS: Dict[str, Callable[..., ComplexMatrices]] = {
    "rx": _rx,
    "ry": _ry,
    "rz": _rz,
    "p": _phase,
    "u1": _phase,
    "u": _u,
    "u3": _u,
    "u2": _u2,
    "r": _r,
    "cu": _cu,
}


def _pauli_rotation(pauli: ComplexMatrices, theta: FloatArray) -> ComplexMatrices:
    """exp(-i theta/2 P) = cos(theta/2) I - i sin(theta/2) P, for a Pauli word's matrix P."""
    c, s = np.cos(theta / 2), np.sin(theta / 2)
    identity = np.eye(pauli.shape[0], dtype=np.complex128)
    return c[:, None, None] * identity - 1j * s[:, None, None] * pauli


def _xx_plus_yy(_: None, theta: FloatArray, beta: FloatArray) -> ComplexMatrices:
    c, s = np.cos(theta / 2), np.sin(theta / 2)
    out = np.zeros((theta.shape[0], 4, 4), dtype=np.complex128)
    out[:, 0, 0] = out[:, 3, 3] = 1.0
    out[:, 1, 1] = out[:, 2, 2] = c
    out[:, 1, 2] = -1j * s * _cis(-beta)
    out[:, 2, 1] = -1j * s * _cis(beta)
    return out


def _xx_minus_yy(_: None, theta: FloatArray, beta: FloatArray) -> ComplexMatrices:
    c, s = np.cos(theta / 2), np.sin(theta / 2)
    out = np.zeros((theta.shape[0], 4, 4), dtype=np.complex128)
    out[:, 1, 1] = out[:, 2, 2] = 1.0
    out[:, 0, 0] = out[:, 3, 3] = c
    out[:, 0, 3] = -1j * s * _cis(-beta)
    out[:, 3, 0] = -1j * s * _cis(beta)
    return out


def evolution_matrices(eigen: Tuple[NDArray[np.float64], ComplexMatrices], time: FloatArray
               ) -> ComplexMatrices:
    """exp(-i t H) from the eigendecomposition H = V diag(w) V^dagger."""
    w, v = eigen
    phases = np.exp(-1j * time[:, None] * w[None, :])
    out: ComplexMatrices = np.einsum("ij,bj,kj->bik", v, phases, v.conj())
    return out


def _bound(gate: Any, *angles: FloatArray) -> ComplexMatrices:
    """Any other gate: its own matrix, binding by binding."""
    size = angles[0].shape[0] if angles else 1
    out = []
    for row in range(size):
        bound = gate.copy()
        bound.params = [float(a[row]) for a in angles]
        out.append(gate_matrix(bound))
    return np.stack(out)


def gate_matrix(gate: Any) -> ComplexMatrices:
    try:
        return np.asarray(gate.to_matrix(), dtype=np.complex128)
    except Exception:  # no closed form: its definition has one
        from qiskit.quantum_info import Operator

        return np.asarray(Operator(gate).data, dtype=np.complex128)


# Families of gates on several qubits, each formula taking its constant data first.
WIDE_FORMULAS: Dict[str, Callable[..., ComplexMatrices]] = {
    "pauli_rotation": _pauli_rotation,
    "xx_plus_yy": _xx_plus_yy,
    "xx_minus_yy": _xx_minus_yy,
    "evolution": evolution_matrices,
    "bound": _bound,
}


@dataclass(frozen=True)
class ParametricFactor:
    """One gate of a step whose matrix depends on parameters: family and its angles, and for
    a family of WIDE_FORMULAS the constant data its formula starts from."""

    family: str
    angles: Tuple[Union[float, Angle], ...]
    data: Any = field(default=None, compare=False)

    def evaluate(self, values: FloatArray, parameters: Sequence[object]) -> ComplexMatrices:
        size = values.shape[0]
        arguments = [
            a.evaluate(values, parameters) if isinstance(a, Angle)
            else np.full(size, a, dtype=np.float64)
            for a in self.angles
        ]
        if self.family in WIDE_FORMULAS:
            return WIDE_FORMULAS[self.family](self.data, *arguments)
        return FORMULAS[self.family](*arguments)


Factor = Union[NDArray[np.complex128], ParametricFactor]


@dataclass(frozen=True)
class ParametricStep:
    """Step `index` of the template, whose matrix at entries [first, first + dimension^2) is
    factors[-1] @ ... @ factors[0]."""

    index: int
    first: int
    dimension: int
    factors: Tuple[Factor, ...]

    def evaluate(self, values: FloatArray, parameters: Sequence[object]) -> ComplexMatrices:
        product: Optional[ComplexMatrices] = None
        for factor in self.factors:
            if isinstance(factor, ParametricFactor):
                matrices = factor.evaluate(values, parameters)
                product = matrices if product is None else matrices @ product
            else:
                product = (np.broadcast_to(factor, (values.shape[0],) + factor.shape)
                           if product is None else factor @ product)
        assert product is not None
        return product
