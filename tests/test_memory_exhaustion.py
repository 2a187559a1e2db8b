"""Running out of memory is reported to Python and the interpreter carries on.

Each case runs in its own process under an address-space limit, so that the refused allocation
is real and nothing else in the test session is affected."""

import re

import pytest

from support import ADDRESS_SPACE_LIMIT, needs_plain_address_space

pytestmark = needs_plain_address_space

LIMIT = "import korvel\n" + ADDRESS_SPACE_LIMIT


def test_register_too_large_for_memory_raises_memory_error(python_process):
    result = python_process(
        LIMIT
        + """
limit_headroom(512)
for qubits in (27, 26):
    try:
        korvel.Register(qubits)
    except MemoryError as error:
        print(type(error).__name__, error.args)
register = korvel.Register(3)
register.apply_gate(korvel.QGate([[0, 1], [1, 0]]), [2], [])
print(register.probabilities())
"""
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "MemoryError ('memory allocation of 2147483648 bytes failed',)",
        "MemoryError ('memory allocation of 1073741824 bytes failed',)",
        "[0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0]",
    ]
    assert result.stderr == ""  # not an internal failure: no notice


def test_memory_error_is_an_ordinary_exception(python_process):
    result = python_process(
        LIMIT
        + """
limit_headroom(256)
try:
    korvel.Register(29)
except Exception as error:
    print("caught", type(error).__name__)
"""
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "caught MemoryError\n"


@pytest.mark.parametrize("headroom_mib", [60, 136], ids=["list", "floats"])
def test_result_list_that_cannot_be_built(python_process, headroom_mib):
    # A 22-qubit register: 64 MiB of amplitudes, 32 MiB of probabilities, a 32 MiB list and
    # 96 MiB of floats. The first headroom refuses the list itself, the second a float part way.
    result = python_process(
        LIMIT
        + """
register = korvel.Register(22)
limit_headroom(%d)
try:
    register.probabilities()
except BaseException as error:
    print(type(error).__name__, error.args)
register.apply_gate(korvel.QGate([[0, 1], [1, 0]]), [0], [])
print(register.measure_all())
"""
        % headroom_mib
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["PanicException ('Python API call failed',)", "1"]
    lines = result.stderr.splitlines()
    assert lines[0] == "MemoryError"  # the interpreter's error, printed first
    assert lines[1].startswith("thread '<unnamed>' panicked at 'Python API call failed', src/binding/")


def test_argument_that_exhausts_memory_raises_memory_error_with_its_size(python_process):
    # range(2**62) is an endless sequence to any list built from it: each conversion grows its
    # list until an allocation is refused.
    result = python_process(
        LIMIT
        + """
endless = range(2**62)
register = korvel.Register(2)
X = korvel.QGate([[0, 1], [1, 0]])
register.apply_gate(X, [1], [])
limit_headroom(32)
calls = {
    "targets": lambda: register.apply_gate(X, endless, []),
    "controls": lambda: register.apply_gate(X, [0], endless),
    "matrix row": lambda: korvel.QGate([endless, [0, 1]]),
}
for name, call in calls.items():
    try:
        call()
    except BaseException as error:
        print(name, type(error).__name__, error.args)
print(register.probabilities())
register.apply_gate(X, [0], [])
print(register.probabilities())
"""
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    for line, name in zip(lines, ["targets", "controls", "matrix row"]):
        assert re.fullmatch(r"%s MemoryError \('memory allocation of \d+ bytes failed',\)" % name, line), line
    assert lines[3:] == ["[0.0, 0.0, 1.0, 0.0]", "[0.0, 0.0, 0.0, 1.0]"]
    assert result.stderr == ""
