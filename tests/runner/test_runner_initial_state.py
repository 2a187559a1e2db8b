"""state_from_amplitudes: a State copied from a complex128 array, which runs on as any other,
and the refusals that name the argument."""

import numpy as np
import pytest

import korvel_runner
from runner_model import HADAMARD, gate, program


def test_a_state_from_amplitudes_is_a_copy_that_runs_on():
    rng = np.random.default_rng(3)
    amplitudes = rng.normal(size=16) + 1j * rng.normal(size=16)
    state = korvel_runner.state_from_amplitudes(amplitudes)
    amplitudes[:] = 0  # the state holds its own copy
    assert state.num_qubits == 4
    rng = np.random.default_rng(3)
    given = rng.normal(size=16) + 1j * rng.normal(size=16)
    assert np.array_equal(state.amplitudes(), given)
    state.run(program([gate(0, HADAMARD)]))
    h = np.array(HADAMARD, dtype=np.complex128)
    expected = np.einsum("ab,xb->xa", h, given.reshape(8, 2)).reshape(16)
    np.testing.assert_allclose(state.amplitudes(), expected, atol=1e-15)
    assert korvel_runner.state_from_amplitudes(np.ones(1, np.complex128)).num_qubits == 0


@pytest.mark.parametrize("amplitudes, error, message", [
    (np.zeros(3, np.complex128), ValueError, "length of 2\\*\\*n .* got 3"),
    (np.zeros(0, np.complex128), ValueError, "got 0"),
    (np.array([1, np.nan, 0, 0], np.complex128), ValueError, "amplitudes\\[1\\] is not finite"),
    (np.array([1, 0, 0, np.inf * 1j], np.complex128), ValueError, "amplitudes\\[3\\]"),
    (np.zeros(4), TypeError, "complex128 array \\(format 'Zd'\\), got format 'd'"),
    (np.zeros((2, 2), np.complex128), TypeError, "2 dimensions"),
    (np.zeros(8, np.complex128)[::2], ValueError, "C-contiguous"),
    ([1, 0], TypeError, "amplitudes must be a one-dimensional complex128 array, not 'list'"),
])
def test_refusals_name_the_argument(amplitudes, error, message):
    with pytest.raises(error, match=message):
        korvel_runner.state_from_amplitudes(amplitudes)

