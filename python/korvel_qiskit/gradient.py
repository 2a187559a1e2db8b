"""Adjoint gradients of estimator pubs on korvel's circuit runner.

`estimator_gradients` takes the pubs `KorvelEstimator.run` takes and returns, per pub, the
expectation values and their derivatives by every circuit parameter, from one forward run and
one backward sweep per observable of each binding. Parameters may feed one-angle rotations
(rx, ry, rz, p, u1 and their controlled forms) through affine expressions; circuits with other
parametrised gates are transpiled onto those first.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Dict, Iterable, List, Tuple

import numpy as np
from numpy.typing import NDArray
from qiskit.circuit import Parameter
from qiskit.primitives.containers.estimator_pub import EstimatorPub, EstimatorPubLike

from korvel_programs import PauliTerms, controlled_generator, term_records

from .estimator import _observable_terms, bind_pub
from .lowering import LoweredCircuit, lower
from .program import Angle, ParametricFactor

# G with dU/dθ = -i G U for U the rotation on qubit 0, as (x, z, coefficient) terms; a qubit in
# both masks carries Y. p(λ) = diag(1, e^{iλ}) = e^{iλ|1><1|}, so G = -|1><1| = (Z - I)/2.
_BASE_GENERATORS: Dict[str, PauliTerms] = {
    "rx": [(1, 0, 0.5)],
    "ry": [(1, 1, 0.5)],
    "rz": [(0, 1, 0.5)],
    "p": [(0, 0, -0.5), (0, 1, 0.5)],
    "u1": [(0, 0, -0.5), (0, 1, 0.5)],
}


@dataclass(frozen=True)
class AdjointGradientResult:
    """evs has the pub's shape; gradients that shape plus one axis over `parameters`."""

    evs: NDArray[np.float64]
    gradients: NDArray[np.float64]
    parameters: Tuple[Parameter, ...]


def _one_angle_circuit(circuit: Any) -> LoweredCircuit:
    lowered = lower(circuit, fuse=False)
    if all(_usable(step.factors) for step in lowered.parametric):
        return lowered
    from qiskit import transpile

    basis = ["rx", "ry", "rz", "p", "crx", "cry", "crz", "cp", "cx", "cz", "cy", "h", "x", "y", "z", "s",
             "sdg", "t", "tdg", "sx", "sxdg", "swap", "ccx", "id"]
    lowered = lower(transpile(circuit, basis_gates=basis, optimization_level=0), fuse=False)
    for step in lowered.parametric:
        if not _usable(step.factors):
            names = "/".join(f.family for f in step.factors if isinstance(f, ParametricFactor))
            raise ValueError(f"circuit '{circuit.name}': the adjoint gradient takes parameters in "
                             f"one-angle rotations with affine angles, got a '{names}' gate")
    return lowered


def _usable(factors: Tuple[Any, ...]) -> bool:
    if len(factors) != 1 or not isinstance(factors[0], ParametricFactor):
        return False
    factor = factors[0]
    return (factor.family in _BASE_GENERATORS and len(factor.angles) == 1
            and isinstance(factor.angles[0], Angle) and factor.angles[0].expression is None)


def _step_generators(lowered: LoweredCircuit) -> Tuple[NDArray[np.uint64], NDArray[Any], NDArray[np.float64]]:
    """Parametrised step positions, their generators, and d(angle of step s)/d(parameter p)."""
    positions, generators = [], []
    slopes = np.zeros((len(lowered.parametric), len(lowered.parameters)))
    for row, step in enumerate(lowered.parametric):
        factor = step.factors[0]
        assert isinstance(factor, ParametricFactor)
        record = lowered.steps[step.index]
        target, controls = int(record["targets"][0]), int(record["controls"])
        base = [(x << target, z << target, c) for x, z, c in _BASE_GENERATORS[factor.family]]
        positions.append(step.index)
        generators.append(controlled_generator(base, controls))
        angle = factor.angles[0]
        assert isinstance(angle, Angle)
        for column, coefficient in angle.coefficients:
            slopes[row, column] += coefficient
    return np.array(positions, dtype=np.uint64), term_records(generators), slopes


def estimator_gradients(pubs: Iterable[EstimatorPubLike]) -> List[AdjointGradientResult]:
    """Exact expectation values and their parameter gradients, per pub, by the adjoint method."""
    import korvel_runner

    results = []
    for pub_like in pubs:
        pub = EstimatorPub.coerce(pub_like)
        lowered = _one_angle_circuit(pub.circuit)
        bindings, fields, binding_of, observable_of = bind_pub(pub, lowered, "adjoint gradient")
        positions, generators, slopes = _step_generators(lowered)
        terms, (x_all, z_all) = _observable_terms(pub.observables, lowered.qubit_slots)
        sums: List[PauliTerms] = [
            [(int(x_all[i]), int(z_all[i]), float(c)) for i, c in zip(ids.tolist(), coefficients.tolist())]
            for ids, coefficients in terms]
        records = term_records(sums)
        values = np.empty((bindings, len(sums)))
        gradients = np.empty((bindings, len(sums), len(lowered.parameters)))
        for b in range(bindings):
            program = lowered.program(None if fields is None else fields[b])
            values[b], step_jacobian = korvel_runner.adjoint_jacobian(
                lowered.num_qubits, program, positions, generators, records, len(sums))
            gradients[b] = step_jacobian @ slopes
        evs = values[binding_of, observable_of].reshape(pub.shape)
        grads = gradients[binding_of, observable_of].reshape(pub.shape + (len(lowered.parameters),))
        results.append(AdjointGradientResult(evs, grads, lowered.parameters))
    return results


__all__ = ["AdjointGradientResult", "estimator_gradients"]
