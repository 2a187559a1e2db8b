"""The edges of korvel_qiskit's result plumbing: seeds as Qiskit writes them, empty sweeps,
0-d results and the backend's run options."""

from __future__ import annotations

import warnings

import pytest

pytest.importorskip("qiskit")
warnings.filterwarnings("ignore", category=DeprecationWarning)

import numpy as np  # noqa: E402
from qiskit import QuantumCircuit  # noqa: E402
from qiskit.quantum_info import SparsePauliOp  # noqa: E402

import corpus  # noqa: E402
from korvel_qiskit import KorvelEstimator, KorvelSampler  # noqa: E402


def _sampled(seed):
    sampler = KorvelSampler(seed=seed)
    circuit = corpus.MEASURED["random_measure_reset_if_else_5"]()
    return [sampler.run([circuit], shots=300).result()[0].data.c.get_bitstrings()
            for _ in range(2)]


def _estimated(seed):
    circuit, values = corpus.parametric()["efficient_su2_5"]
    estimator = KorvelEstimator(seed=seed)
    return [estimator.run([(circuit, SparsePauliOp("ZIZIZ"), values)], precision=0.1)
            .result()[0].data.evs.tolist() for _ in range(2)]


@pytest.mark.parametrize("runs", [_sampled, _estimated], ids=["sampler", "estimator"])
def test_seeds_take_integers_none_and_generators(runs):
    first, again = runs(np.random.default_rng(7))
    assert runs(np.random.default_rng(7)) == [first, again]  # the same generator state
    assert first != again  # a generator moves on from run to run
    assert runs(np.random.default_rng(8))[0] != first
    assert runs(np.int64(7)) == runs(7) and runs(7)[0] == runs(7)[1]
    fresh = runs(None)
    assert fresh[0] != fresh[1]


@pytest.mark.parametrize("make", [KorvelSampler, KorvelEstimator])
@pytest.mark.parametrize("seed, error", [(1.5, TypeError), ("7", TypeError), (True, TypeError),
                                         (-1, ValueError), (1 << 64, ValueError)])
def test_bad_seeds_are_refused_by_name(make, seed, error):
    with pytest.raises(error, match="seed must be"):
        make(seed=seed)
