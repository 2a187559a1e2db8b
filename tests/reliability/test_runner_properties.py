"""Property tests of the circuit runner's entry points: programs of arbitrary records (fields in
and out of range, NaN, infinite and huge matrix entries), odd qubit and classical bit counts,
shots of 0, -1, 2^63 and non-integers, seeds out of range and Pauli masks on qubits outside the
state. Every call returns a well-formed result or raises a documented exception naming what was
wrong; none crashes or hangs (a watchdog ends a hung run with every thread's traceback)."""

import faulthandler
import math
import os

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

korvel_runner = pytest.importorskip("korvel_runner")

STEP_DTYPE = np.dtype([
    ("kind", "<u4"), ("target", "<u4"), ("controls", "<u8"), ("cond_mask", "<u8"),
    ("cond_value", "<u8"), ("clbit", "<u4"), ("reserved", "<u4"), ("matrix", "<f8", (8,)),
])

EXAMPLES = int(os.environ.get("KORVEL_PROPERTY_EXAMPLES", "300"))
PROPERTY_SETTINGS = settings(max_examples=EXAMPLES, deadline=None,
                             suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
# Far above the slowest example (a few ms): only a hang reaches it.
WATCHDOG_SECONDS = 120


@pytest.fixture(autouse=True)
def watchdog():
    faulthandler.dump_traceback_later(WATCHDOG_SECONDS, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


H = math.sqrt(0.5)
MATRICES = [
    [H, 0, H, 0, H, 0, -H, 0], [0, 0, 1, 0, 1, 0, 0, 0], [1, 0, 0, 0, 0, 0, 0, 1],
    [0] * 8, [1e300, 0, 0, 0, 0, 0, 1e300, 0], [1e-300, 0, 0, 0, 0, 0, 1, 0],
    [math.nan, 0, 0, 0, 0, 0, 1, 0], [1, 0, 0, 0, 0, 0, math.inf, 0], [1, -math.inf, 0, 0, 0, 0, 1, 0],
    [2, 0, 0, 0, 0, 0, 0.5, 0],
]
UNITARY = MATRICES[:3]
# Few qubits for programs that are run; the counts outside 0..29 are refused before any work.
RUN_QUBITS = st.integers(0, 6)
BAD_QUBITS = st.sampled_from([-1, 30, 31, 2 ** 32, 2 ** 64, -(2 ** 70)])
CLBITS = st.one_of(st.integers(0, 8), st.integers(0, 8), st.sampled_from([63, 64, 65, -1, 2 ** 64]))
SHOTS = st.one_of(st.integers(1, 40), st.integers(1, 40), st.sampled_from(
    [0, -1, 2 ** 63, 2 ** 63 - 1, 2 ** 62, 2 ** 64, -(2 ** 64), 1.0, 1.5, math.nan, "3", None, True,
     np.int64(5), np.uint64(2 ** 63), np.float64(2.0)]))
SEEDS = st.one_of(st.none(), st.integers(0, 2 ** 64 - 1), st.integers(0, 2 ** 64 - 1),
                  st.sampled_from([-1, 2 ** 64, 1.5, "1", np.int32(7), np.uint64(2 ** 64 - 1)]))
SMALL = st.integers(0, 9)
FIELD_64 = st.one_of(SMALL, st.sampled_from([2 ** 63, 2 ** 64 - 1, 0xFF, 1 << 40]))


@st.composite
def records(draw, count=st.integers(0, 12)):
    n = draw(count)
    program = np.zeros(n, dtype=STEP_DTYPE)
    for k in range(n):
        program[k]["kind"] = draw(st.one_of(st.sampled_from([0, 0, 0, 1, 2]), st.integers(3, 2 ** 32 - 1)))
        program[k]["target"] = draw(st.one_of(SMALL, st.sampled_from([31, 32, 63, 64, 2 ** 32 - 1])))
        program[k]["controls"] = draw(FIELD_64)
        program[k]["cond_mask"] = draw(FIELD_64)
        program[k]["cond_value"] = draw(FIELD_64)
        program[k]["clbit"] = draw(st.one_of(SMALL, st.sampled_from([63, 64, 2 ** 32 - 1])))
        program[k]["reserved"] = draw(st.sampled_from([0, 0, 0, 0, 1]))
        program[k]["matrix"] = draw(st.sampled_from(MATRICES))
    return program


@st.composite
def valid_programs(draw, qubits, clbits=0, gates_only=True):
    """Records valid for the counts but for the odd non-finite matrix: gates (mostly unitary), and
    unless gates_only, measurements, resets and conditions."""
    n = draw(st.integers(0, 10)) if qubits else 0
    program = np.zeros(n, dtype=STEP_DTYPE)
    kinds = [0] if gates_only or not 0 < clbits <= 64 else [0, 0, 1, 2]
    for k in range(n):
        kind = draw(st.sampled_from(kinds))
        target = draw(st.integers(0, qubits - 1))
        program[k]["kind"] = kind
        program[k]["target"] = target
        if kind == 0:
            program[k]["controls"] = draw(st.integers(0, 2 ** qubits - 1)) & ~(1 << target)
            program[k]["matrix"] = draw(st.sampled_from(MATRICES + UNITARY * 6))
        if kind == 1:
            program[k]["clbit"] = draw(st.integers(0, clbits - 1))
        if not gates_only and 0 < clbits <= 64 and draw(st.booleans()):
            mask = draw(st.integers(1, 2 ** clbits - 1))
            program[k]["cond_mask"] = mask
            program[k]["cond_value"] = draw(st.integers(0, 2 ** clbits - 1)) & mask
    return program


def program_buffers(program):
    """The same program as the buffer types a caller may pass, and a few malformed buffers."""
    raw = program.tobytes()
    return st.sampled_from([program] * 8 + [raw, bytearray(raw), memoryview(raw), raw + b"\0",
                            program.view(np.uint8)[: max(0, len(raw) - 1)],
                            np.frombuffer(raw, dtype=np.uint8)[::2], [1, 2, 3], None, 7])


VALUE_PREFIXES = ("num_qubits ", "num_clbits ", "shots ", "seed ", "step ", "cannot draw shots",
                  "x_masks", "z_masks", "program must be a C-contiguous buffer")
TYPE_NAMES = ("num_qubits", "num_clbits", "shots", "seed", "program", "buffer", "x_masks",
              "z_masks", "contiguous", "argument")


def assert_documented(error):
    """The error is one the runner documents, and its message says what was wrong."""
    message = str(error)
    if isinstance(error, MemoryError):
        assert message.startswith("memory allocation of ") and message.endswith(" bytes failed"), message
    elif isinstance(error, ValueError):
        assert message.startswith(VALUE_PREFIXES), message
    elif isinstance(error, (TypeError, BufferError)):
        assert any(name in message for name in TYPE_NAMES), message
    else:
        raise AssertionError("undocumented %s: %s" % (type(error).__name__, message))


def attempt(call):
    try:
        result = call()
    except Exception as error:  # noqa: BLE001 - judged by assert_documented
        assert_documented(error)
        event(type(error).__name__)
        return None
    event("result")
    return result


@PROPERTY_SETTINGS
@given(st.data(), st.one_of(RUN_QUBITS, RUN_QUBITS, BAD_QUBITS), CLBITS, SHOTS, SEEDS)
def test_run_shots_of_arbitrary_programs(data, qubits, clbits, shots, seed):
    program = data.draw(st.one_of(valid_programs(qubits, clbits, gates_only=False),
                                  valid_programs(qubits, clbits, gates_only=False), records())
                        if isinstance(qubits, int) and 0 <= qubits <= 6 else records())
    buffer = data.draw(program_buffers(program))
    words = attempt(lambda: korvel_runner.run_shots(qubits, clbits, buffer, shots, seed))
    if words is not None:
        assert words.dtype == np.uint64 and words.shape == (int(shots),)
        measured = 0
        for record in np.atleast_1d(np.frombuffer(bytes(memoryview(buffer)), dtype=STEP_DTYPE)):
            if record["kind"] == 1:
                measured |= 1 << int(record["clbit"])
        assert all(int(w) & ~measured == 0 for w in words), "a bit no measurement writes is set"


@PROPERTY_SETTINGS
@given(st.data(), RUN_QUBITS, SHOTS, SEEDS)
def test_state_methods_of_arbitrary_valid_programs(data, qubits, shots, seed):
    program = data.draw(st.one_of(valid_programs(qubits), records()))
    state = attempt(lambda: korvel_runner.simulate(qubits, data.draw(program_buffers(program))))
    if state is None:
        return
    size = 1 << qubits
    attempt(lambda: state.run(data.draw(program_buffers(data.draw(valid_programs(qubits))))))
    probabilities = state.probabilities()
    amplitudes = state.amplitudes()
    assert probabilities.shape == amplitudes.shape == (size,)
    drawn = attempt(lambda: state.sample(shots, seed))
    if drawn is not None:
        assert drawn.shape == (int(shots),) and all(probabilities[k] > 0 for k in drawn.tolist())
    counts = attempt(lambda: state.sample_counts(shots, seed))
    if counts is not None:
        outcomes, totals = counts
        assert int(totals.sum()) == int(shots) and all(probabilities[k] > 0 for k in outcomes.tolist())
    masks = st.one_of(st.integers(0, size - 1), st.sampled_from([size, 1 << 63, 2 ** 64 - 1, 2 ** 64, -1]))
    x = data.draw(st.lists(masks, max_size=4))
    z = data.draw(st.one_of(st.lists(masks, min_size=len(x), max_size=len(x)), st.lists(masks, max_size=4)))
    values = attempt(lambda: state.expectation_values(x, z))
    if values is not None:
        assert values.shape == (len(x),) and values.dtype == np.float64
    # The state is still whole after every refusal.
    assert np.array_equal(state.probabilities(), probabilities, equal_nan=True)


@pytest.mark.parametrize("qubits", [-1, 30, 2 ** 64])
def test_qubit_counts_outside_the_range_are_named(qubits):
    for call in (lambda: korvel_runner.simulate(qubits, b""),
                 lambda: korvel_runner.run_shots(qubits, 1, b"", 1)):
        with pytest.raises(ValueError, match=r"^num_qubits must be between 0 and 29, got %d$" % qubits):
            call()
