"""Property tests of korvel_cirq's simulator: random circuits from cirq.testing.random_circuit
with measurements, resets and classical controls spliced in, parameter values that are NaN,
infinite or huge, repetitions and bitstrings out of range. Each call gives well-formed results
or a documented exception (ValueError or TypeError) naming what was wrong; none crashes or
hangs (a watchdog ends a hung run with every thread's traceback)."""

import faulthandler
import os

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

cirq = pytest.importorskip("cirq")
sympy = pytest.importorskip("sympy")

from korvel_cirq import KorvelSimulator  # noqa: E402

EXAMPLES = int(os.environ.get("KORVEL_CIRQ_PROPERTY_EXAMPLES", "60"))
PROPERTY_SETTINGS = settings(max_examples=EXAMPLES, deadline=None,
                             suppress_health_check=[HealthCheck.too_slow])
WATCHDOG_SECONDS = 300  # far above the slowest example: only a hang reaches it
DOCUMENTED = (ValueError, TypeError)


@pytest.fixture(autouse=True)
def watchdog():
    faulthandler.dump_traceback_later(WATCHDOG_SECONDS, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


@st.composite
def circuits(draw):
    n = draw(st.integers(1, 5))
    qubits = cirq.LineQubit.range(n)
    theta = sympy.Symbol("theta")
    domain = {cirq.H: 1, cirq.T: 1, cirq.rx(theta): 1, cirq.CNOT: 2, cirq.ISWAP ** 0.3: 2,
              cirq.FSimGate(theta, 0.2): 2, cirq.CCZ: 3,
              cirq.MatrixGate(cirq.testing.random_unitary(4, random_state=1)): 2}
    domain = {g: k for g, k in domain.items() if k <= n}
    circuit = cirq.testing.random_circuit(qubits, draw(st.integers(1, 6)), 0.7, domain,
                                          random_state=draw(st.integers(0, 2**31)))
    extras = draw(st.lists(st.sampled_from(["measure", "reset", "control", "noise"]), max_size=4))
    keys = []
    for index, extra in enumerate(extras):
        q = qubits[draw(st.integers(0, n - 1))]
        if extra == "measure":
            keys.append(f"k{index}")
            circuit.append(cirq.measure(q, key=keys[-1]))
        elif extra == "reset":
            circuit.append(cirq.reset(q))
        elif extra == "control" and keys:
            circuit.append(cirq.X(q).with_classical_controls(draw(st.sampled_from(keys))))
        elif extra == "noise":
            circuit.append(cirq.bit_flip(0.1)(q))
    if draw(st.booleans()):
        circuit.append(cirq.measure(*qubits, key="final"))
    return circuit


values = st.one_of(st.floats(allow_nan=True, allow_infinity=True), st.just(1e300))


def well_formed_or_documented(call):
    try:
        return call()
    except DOCUMENTED as error:
        assert str(error)
        return None


@PROPERTY_SETTINGS
@given(circuits(), values, st.integers(-2, 300), st.integers(-3, 40))
def test_random_circuits_give_results_or_documented_errors(circuit, theta, repetitions, bitstring):
    simulator = KorvelSimulator(seed=1)
    resolver = {"theta": theta}
    n = len(circuit.all_qubits())
    if circuit.has_measurements():
        result = well_formed_or_documented(
            lambda: simulator.run(circuit, resolver, repetitions=repetitions))
        if result is not None:
            for record in result.records.values():
                assert record.shape[0] == repetitions and set(np.unique(record)) <= {0, 1}
    state = well_formed_or_documented(lambda: simulator.simulate(circuit, resolver))
    if state is not None:
        vector = state.final_state_vector
        assert vector.shape == (1 << n,) and np.isclose(np.vdot(vector, vector).real, 1.0)
    amplitudes = well_formed_or_documented(
        lambda: simulator.compute_amplitudes(circuit, [bitstring], resolver))
    if amplitudes is not None:
        assert len(amplitudes) == 1
    q = cirq.LineQubit(0)  # an empty circuit has no qubit 0: a documented refusal
    values = well_formed_or_documented(lambda: simulator.simulate_expectation_values(
        circuit, cirq.Z(q), resolver, permit_terminal_measurements=True))
    if values is not None:
        assert -1 - 1e-12 <= values[0] <= 1 + 1e-12
