"""The runner's step records, and one-qubit matrices computed from parameter values.

A lowered circuit is a template of step records plus, for each step whose matrix depends on
parameters, the factors that recompute that matrix. Evaluation is vectorised over bindings:
every function here maps arrays of shape (B,) to matrices of shape (B, 2, 2).
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Callable, Dict, Mapping, Optional, Sequence, Tuple, Union

import numpy as np
from numpy.typing import NDArray

from korvel_programs import KIND_GATE, KIND_MEASURE, KIND_RESET, STEP_DTYPE, matrix_fields

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


@dataclass(frozen=True)
class ParametricFactor:
    """One gate of a step whose matrix depends on parameters: family and its angles."""

    family: str
    angles: Tuple[Union[float, Angle], ...]

    def evaluate(self, values: FloatArray, parameters: Sequence[object]) -> ComplexMatrices:
        size = values.shape[0]
        arguments = [
            a.evaluate(values, parameters) if isinstance(a, Angle)
            else np.full(size, a, dtype=np.float64)
            for a in self.angles
        ]
        return FORMULAS[self.family](*arguments)


Factor = Union[NDArray[np.complex128], ParametricFactor]


@dataclass(frozen=True)
class ParametricStep:
    """Step `index` of the template has matrix factors[-1] @ ... @ factors[0]."""

    index: int
    factors: Tuple[Factor, ...]

    def evaluate(self, values: FloatArray, parameters: Sequence[object]) -> ComplexMatrices:
        product: Optional[ComplexMatrices] = None
        for factor in self.factors:
            if isinstance(factor, ParametricFactor):
                matrices = factor.evaluate(values, parameters)
                product = matrices if product is None else matrices @ product
            else:
                product = (np.broadcast_to(factor, (values.shape[0], 2, 2)) if product is None
                           else factor @ product)
        assert product is not None
        return product
