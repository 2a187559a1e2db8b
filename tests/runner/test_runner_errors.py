"""Every malformed program and bad argument is refused with the documented exception naming what
was wrong, before any state is made."""

import math
import re

import numpy as np
import pytest

import korvel_runner
from runner_model import HADAMARD, PAULI_X, STEP_DTYPE, gate, measure, program


def one_step(**fields):
    """A valid gate step on qubit 0 of a 3-qubit register, with some fields overwritten."""
    record = program([gate(0, HADAMARD)])
    for name, value in fields.items():
        record[name] = value
    return record


def with_matrix_entry(index, value):
    record = one_step()
    record["matrix"][0, index] = value
    return record


# (program, num_qubits, num_clbits, message): through run_shots, which accepts every kind.
MALFORMED = [
    (b"\0" * 105, 3, 0, "step 1: incomplete record: the program has 105 bytes, not a multiple of the 104-byte step size"),
    (one_step(kind=3), 3, 0, "step 0: kind must be 0 (gate), 1 (measure) or 2 (reset), got 3"),
    (one_step(target=3), 3, 0, "step 0: target 3 is out of range for 3 qubits"),
    (one_step(target=2**32 - 1), 1, 0, "step 0: target 4294967295 is out of range for 1 qubit"),
    (one_step(target=0), 0, 0, "step 0: target 0 is out of range for 0 qubits"),
    (one_step(controls=0b1000), 3, 0, "step 0: controls 0x8 name qubit 3, out of range for 3 qubits"),
    (one_step(controls=2**63), 3, 0, "step 0: controls 0x8000000000000000 name qubit 63, out of range for 3 qubits"),
    (one_step(controls=0b011), 3, 0, "step 0: controls 0x3 include the target qubit 0"),
    (one_step(cond_mask=1), 3, 0, "step 0: cond_mask 0x1 names classical bit 0, but there are no classical bits"),
    (one_step(cond_mask=0b110), 3, 2, "step 0: cond_mask 0x6 names classical bit 2, but there are 2 classical bits"),
    (one_step(cond_mask=1, cond_value=3), 3, 2, "step 0: cond_value 0x3 has bits outside cond_mask 0x1"),
    (one_step(clbit=1), 3, 2, "step 0: clbit must be 0 for a gate step, got 1"),
    (one_step(reserved=9), 3, 0, "step 0: reserved must be 0, got 9"),
    (with_matrix_entry(0, math.nan), 3, 0, "step 0: matrix entry M00 has a non-finite real part (nan)"),
    (with_matrix_entry(3, math.inf), 3, 0, "step 0: matrix entry M01 has a non-finite imaginary part (inf)"),
    (with_matrix_entry(6, -math.inf), 3, 0, "step 0: matrix entry M11 has a non-finite real part (-inf)"),
    (program([measure(0, 1)]), 3, 1, "step 0: clbit 1 is out of range: there is 1 classical bit"),
    (program([measure(0, 0)]), 3, 0, "step 0: clbit 0 is out of range: there are no classical bits"),
    (np.concatenate([program([gate(1, PAULI_X)]), one_step(kind=1, controls=2)]), 3, 1,
     "step 1: controls must be 0 for a measure step, got 0x2"),
    (np.concatenate([program([gate(1, PAULI_X)] * 4), one_step(kind=2, clbit=1)]), 3, 2,
     "step 4: clbit must be 0 for a reset step, got 1"),
]


@pytest.mark.parametrize("records, qubits, clbits, message", MALFORMED, ids=lambda v: None)
def test_malformed_programs_are_refused_naming_the_step(records, qubits, clbits, message):
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        korvel_runner.run_shots(qubits, clbits, records, 1)


@pytest.mark.parametrize(
    "records, message",
    [
        (program([measure(0, 0)]), "step 0: a measure step cannot run here"),
        (program([gate(0, HADAMARD), ("reset", 1, (0, 0))]), "step 1: a reset step cannot run here"),
        (program([gate(0, HADAMARD, cond=(1, 1))]), "step 0: a conditional step cannot run here"),
    ],
)
def test_a_state_takes_unconditional_gates_only(records, message):
    with pytest.raises(ValueError, match=f"^{re.escape(message)}"):
        korvel_runner.simulate(2, records)
    state = korvel_runner.simulate(2, program([gate(0, HADAMARD)]))
    with pytest.raises(ValueError, match=f"^{re.escape(message)}"):
        state.run(records)
    assert np.array_equal(state.probabilities(), korvel_runner.simulate(2, program([gate(0, HADAMARD)])).probabilities())


STATE = korvel_runner.simulate(2, program([gate(0, HADAMARD)]))
GOOD = program([gate(0, HADAMARD)])
BAD_CALLS = [
    (lambda: korvel_runner.simulate(30, b""), ValueError, "num_qubits must be between 0 and 29, got 30"),
    (lambda: korvel_runner.simulate(-1, b""), ValueError, "num_qubits must be between 0 and 29, got -1"),
    (lambda: korvel_runner.simulate(2**70, b""), ValueError, f"num_qubits must be between 0 and 29, got {2**70}"),
    (lambda: korvel_runner.simulate(2.0, b""), TypeError, "num_qubits must be an integer, not 'float'"),
    (lambda: korvel_runner.simulate(2, [0] * 104), TypeError, "program must be a bytes-like object"),
    (lambda: korvel_runner.simulate(2, GOOD, False, GOOD), TypeError, "simulate() takes at most 3 arguments (4 given)"),
    (lambda: korvel_runner.simulate(2, GOOD, fusion=1), TypeError, "fusion must be True or False, not 'int'"),
    (lambda: korvel_runner.simulate(2), TypeError, "simulate() missing required argument 'program' (pos 2)"),
    (lambda: korvel_runner.simulate(2, GOOD, qubits=3), TypeError, "simulate() got an unexpected keyword argument 'qubits'"),
    (lambda: korvel_runner.simulate(2, num_qubits=2), TypeError, "argument for simulate() given by name ('num_qubits') and position (1)"),
    (lambda: korvel_runner.run_shots(2, 65, GOOD, 1), ValueError, "num_clbits must be between 0 and 64, got 65"),
    (lambda: korvel_runner.run_shots(2, 0, GOOD, 0), ValueError, "shots must be at least 1, got 0"),
    (lambda: STATE.sample(-1), ValueError, "shots must be at least 1, got -1"),
    (lambda: STATE.sample(-(2**70)), ValueError, f"shots must be at least 1, got {-(2**70)}"),
    (lambda: STATE.sample_counts(2**63), ValueError, f"shots must be at most 2**63 - 1, got {2**63}"),
    (lambda: STATE.sample(10.0), TypeError, "shots must be an integer, not 'float'"),
    (lambda: STATE.sample(1, seed=-1), ValueError, "seed must be between 0 and 2**64 - 1, got -1"),
    (lambda: STATE.sample(1, seed=2**64), ValueError, f"seed must be between 0 and 2**64 - 1, got {2**64}"),
    (lambda: STATE.sample_counts(1, seed="1"), TypeError, "seed must be an integer or None, not 'str'"),
    (lambda: STATE.sample(2**62), MemoryError, f"memory allocation of {2**65} bytes failed"),
    (lambda: STATE.expectation_values([1, 2], [1]), ValueError, "x_masks and z_masks differ in length (2 and 1)"),
    (lambda: STATE.expectation_values([4], [0]), ValueError, "x_masks[0] names qubit 2, out of range for 2 qubits"),
    (lambda: STATE.expectation_values(np.array([0, -1]), [0, 0]), ValueError, "x_masks[1] must not be negative, got -1"),
    (lambda: STATE.expectation_values([0], [-1]), ValueError, "z_masks[0] must be between 0 and 2**64 - 1, got -1"),
    (lambda: STATE.expectation_values(np.zeros(2, np.float64), [0, 0]), TypeError, "x_masks must be a one-dimensional array of 64-bit integers"),
    (lambda: STATE.expectation_values(np.zeros((1, 1), np.uint64), [0]), TypeError, "x_masks must be a one-dimensional array"),
    (lambda: STATE.expectation_values(3, [0]), TypeError, "x_masks must be an array or a sequence of integers, not 'int'"),
    (lambda: korvel_runner.State(), TypeError, "cannot create 'korvel_runner.State' instances directly"),
]


@pytest.mark.parametrize("call, error, message", BAD_CALLS, ids=lambda v: None)
def test_bad_arguments_are_refused(call, error, message):
    with pytest.raises(error) as raised:
        call()
    assert str(raised.value).startswith(message)


def test_programs_come_through_the_buffer_protocol():
    records = program([gate(0, HADAMARD), gate(1, PAULI_X, [0])])
    expected = korvel_runner.simulate(2, records).probabilities()
    for buffer in [records.tobytes(), bytearray(records.tobytes()), memoryview(records.tobytes()), records.view(np.uint8)]:
        assert np.array_equal(korvel_runner.simulate(2, buffer).probabilities(), expected)
    # Records at an odd address are read byte by byte.
    shifted = np.frombuffer(b"\0" + records.tobytes(), np.uint8)[1:]
    assert np.array_equal(korvel_runner.simulate(2, shifted).probabilities(), expected)
    with pytest.raises((ValueError, BufferError)):
        korvel_runner.simulate(2, np.repeat(records, 2)[::2])
    assert STEP_DTYPE.itemsize == korvel_runner.STEP_SIZE == 104
