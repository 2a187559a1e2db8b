"""Property tests of korvel_qiskit's faces (KorvelBackend, KorvelSampler, KorvelEstimator): random
circuits from Qiskit's random_circuit with measurements, resets and conditionals; parameter
values that are NaN, infinite or huge; shots of 0, -1, 2^63 and non-integers; observables on
qubits outside the circuit. Each call gives well-formed results or a documented exception naming
what was wrong; none crashes or hangs (a watchdog ends a hung run with every thread's traceback).
Runs in this process, with few examples: each one lowers and runs several circuits."""

import faulthandler
import math
import os

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

pytest.importorskip("qiskit")

from qiskit import QuantumCircuit  # noqa: E402
from qiskit.circuit import Parameter  # noqa: E402
from qiskit.circuit.random import random_circuit  # noqa: E402
from qiskit.quantum_info import SparsePauliOp, Statevector  # noqa: E402

from korvel_qiskit import KorvelBackend, KorvelEstimator, KorvelSampler  # noqa: E402

EXAMPLES = int(os.environ.get("KORVEL_QISKIT_PROPERTY_EXAMPLES", "60"))
PROPERTY_SETTINGS = settings(max_examples=EXAMPLES, deadline=None,
                             suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
WATCHDOG_SECONDS = 300  # far above the slowest example: only a hang reaches it


@pytest.fixture(autouse=True)
def watchdog():
    faulthandler.dump_traceback_later(WATCHDOG_SECONDS, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


@st.composite
def random_circuits(draw, measure=None):
    qubits = draw(st.integers(1, 5))
    return random_circuit(
        qubits, draw(st.integers(1, 6)), max_operands=draw(st.integers(1, min(4, qubits))),
        measure=draw(st.booleans()) if measure is None else measure,
        conditional=draw(st.booleans()) if measure is None else False,
        reset=draw(st.booleans()) if measure is None else False,
        seed=draw(st.integers(0, 2 ** 32 - 1)))


def mostly(valid, odd):
    """`valid` four times in five, else `odd`: most examples then run a circuit to the end."""
    return st.integers(0, 4).flatmap(lambda k: odd if k == 0 else valid)


SHOTS = mostly(st.integers(1, 64), st.sampled_from(
    [0, -1, 2 ** 63, 2 ** 64, -(2 ** 63), 1.0, 1.5, math.nan, "8", True, np.int64(16), np.uint8(3),
     np.float64(4.0)]))
SEEDS = mostly(st.one_of(st.none(), st.integers(0, 2 ** 64 - 1)), st.sampled_from([-1, 2 ** 64, 0.5, "3"]))
VALUES = st.one_of(st.floats(-10, 10), st.sampled_from(
    [math.nan, math.inf, -math.inf, 1e308, -1e308, 1.7976931348623157e308, 1e16, 5e-324, -0.0]))


def judged(call, names):
    """The call's result, or None after checking its exception is documented and mentions one
    of `names` (what the caller may have got wrong)."""
    try:
        result = call()
    except (ValueError, TypeError) as error:
        message = str(error)
        assert any(name in message for name in names), "%s: %s" % (type(error).__name__, message)
        event("%s (%s)" % (type(error).__name__, next(n for n in names if n in message)))
        return None
    except MemoryError as error:
        # The runner's message, or NumPy's for a result array (circuits that measure nothing).
        assert str(error).startswith(("memory allocation of ", "Unable to allocate ")), error
        event("MemoryError")
        return None
    event("result")
    return result


def plain_shots(shots):
    """The shot count a documented face accepts as valid, or None."""
    if isinstance(shots, (bool, float, str, np.floating)) or shots is None:
        return None
    shots = int(shots)
    return shots if 1 <= shots < 2 ** 63 else None


@PROPERTY_SETTINGS
@given(random_circuits(), SHOTS, SEEDS, st.booleans())
def test_backend_runs_random_circuits(circuit, shots, seed, memory):
    result = judged(lambda: KorvelBackend().run(circuit, shots=shots, seed_simulator=seed,
                                                memory=memory).result(),
                    ["shots", "seed", "circuit", "instruction", "if_else"])
    if result is None:
        return
    counts = result.get_counts()
    assert sum(counts.values()) == plain_shots(shots)
    assert all(len(key.replace(" ", "")) == max(1, circuit.num_clbits) for key in counts)
    if memory:
        assert len(result.get_memory()) == plain_shots(shots)


@PROPERTY_SETTINGS
@given(random_circuits(), SHOTS, SEEDS)
def test_sampler_runs_random_circuits(circuit, shots, seed):
    sampler = judged(lambda: KorvelSampler(seed=seed), ["seed"])
    if sampler is None:
        return
    result = judged(lambda: sampler.run([circuit], shots=shots).result(),
                    ["shots", "circuit", "instruction", "if_else"])
    if result is None:
        return
    data = result[0].data
    for creg in circuit.cregs:
        bits = getattr(data, creg.name)
        assert bits.num_shots == plain_shots(shots) and bits.num_bits == creg.size


@PROPERTY_SETTINGS
@given(st.one_of(random_circuits(measure=False), random_circuits()), st.sampled_from([0, 0, 0, 1, 3, -1]),
       st.text("IXYZ", min_size=8, max_size=8))
def test_estimator_on_random_circuits_and_observables_beyond_them(circuit, extra, paulis):
    """Circuits whose measurements are all final give Statevector's value without them; those
    that measure, reset or branch mid-way a value of a Pauli string; observables on qubits
    beyond the circuit are refused by name."""
    width = max(1, circuit.num_qubits + extra)
    observable = SparsePauliOp(paulis[:width])
    evs = judged(lambda: KorvelEstimator().run([(circuit, observable)]).result()[0].data.evs,
                 ["number of qubits", "instruction"])
    if evs is None:
        return
    assert width == circuit.num_qubits
    gates = circuit.remove_final_measurements(inplace=False)
    if any(i.operation.name in ("measure", "reset", "if_else") for i in gates.data):
        assert abs(evs) <= 1 + 1e-12
        return
    np.testing.assert_allclose(evs, Statevector(gates).expectation_value(observable).real, atol=1e-9)


def parametric_circuit():
    a, b, c = Parameter("a"), Parameter("b"), Parameter("c")
    circuit = QuantumCircuit(3)
    circuit.h(0)
    circuit.rx(a, 0)
    circuit.cry(2 * b, 0, 1)
    circuit.u(a, b, c, 2)
    circuit.crz(a + c, 2, 1)
    circuit.rzz(b, 0, 2)
    circuit.p(-c, 1)
    return circuit


PARAMETRIC = parametric_circuit()
MEASURED = PARAMETRIC.measure_all(inplace=False)


@PROPERTY_SETTINGS
@given(st.lists(st.tuples(VALUES, VALUES, VALUES), min_size=1, max_size=4))
def test_parameter_values_nan_infinite_and_huge(rows):
    values = np.array(rows)
    finite = bool(np.isfinite(values).all())
    names = ["parameter '", "overflow in a gate's matrix"]
    samples = judged(lambda: KorvelSampler(seed=5).run([(MEASURED, values)], shots=16).result(), names)
    evs = judged(lambda: KorvelEstimator().run(
        [(PARAMETRIC, SparsePauliOp(["ZZI", "XIY"]), values)]).result()[0].data.evs, names)
    if not finite:
        assert samples is None and evs is None
        return
    # The same gates: the two faces accept or refuse the same values.
    assert (samples is None) == (evs is None)
    if evs is not None:
        expected = [Statevector(PARAMETRIC.assign_parameters(row)).expectation_value(
            SparsePauliOp(["ZZI", "XIY"])).real for row in values]
        np.testing.assert_allclose(evs, expected, atol=1e-9)
        assert samples[0].data.meas.num_shots == 16


@pytest.mark.parametrize("shots", [0, -1, 2 ** 63, 1.5, "8", True])
def test_refused_shot_counts_name_shots_on_every_face(shots):
    circuit = QuantumCircuit(1, 1)
    circuit.measure(0, 0)
    faces = [lambda: KorvelBackend().run(circuit, shots=shots),
             lambda: KorvelSampler().run([circuit], shots=shots),
             lambda: KorvelSampler(default_shots=shots)]
    for face in faces:
        with pytest.raises((ValueError, TypeError), match="shots"):
            face()


def test_shot_counts_beyond_2_to_the_53_add_up():
    circuit = QuantumCircuit(3, 2)
    circuit.h(range(3))
    circuit.measure([0, 2], [0, 1])
    for shots in (2 ** 53 + 1, 2 ** 62, 2 ** 63 - 1):
        counts = KorvelBackend().run(circuit, shots=shots, seed_simulator=1).result().get_counts()
        assert sum(counts.values()) == shots
