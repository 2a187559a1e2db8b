"""Qiskit on korvel: a backend, a sampler and an estimator on korvel's circuit runner.

    from korvel_qiskit import KorvelBackend, KorvelSampler, KorvelEstimator

    counts = KorvelBackend().run(circuit, shots=10_000).result().get_counts()
    result = KorvelSampler().run([(ansatz, parameter_values)], shots=4096).result()
    evs = KorvelEstimator().run([(ansatz, observables, parameter_values)]).result()[0].data.evs
    amplitudes = statevector(circuit)   # what Statevector(circuit).data gives
"""

from __future__ import annotations

from korvel_programs import __version__

from .backend import KorvelBackend, KorvelJob
from .estimator import KorvelEstimator
from .gradient import AdjointGradientResult, estimator_gradients
from .lowering import LoweredCircuit, lower
from .sampler import KorvelSampler
from .statevector import statevector

__all__ = [
    "AdjointGradientResult",
    "KorvelBackend",
    "KorvelEstimator",
    "KorvelJob",
    "KorvelSampler",
    "LoweredCircuit",
    "lower",
    "statevector",
    "__version__",
    "estimator_gradients",
]
