"""Fixtures shared by the Python test suites of the korvel module."""

import os
import subprocess
import sys
import textwrap

import pytest

import korvel

SQRT_HALF = 0.7071067811865476


def panic_exception_type():
    """The PanicException class: Python code reaches it only through a caught failure."""
    try:
        korvel.Register(30)
    except BaseException as error:  # noqa: B036 - the point is that it is not an Exception
        return type(error)
    raise AssertionError("Register(30) did not fail")


@pytest.fixture(scope="session")
def PanicException():
    return panic_exception_type()


@pytest.fixture(scope="session")
def identity():
    return korvel.QGate([[1, 0], [0, 1]])


@pytest.fixture(scope="session")
def pauli_x():
    return korvel.QGate([[0, 1], [1, 0]])


@pytest.fixture(scope="session")
def hadamard():
    return korvel.QGate([[SQRT_HALF, SQRT_HALF], [SQRT_HALF, -SQRT_HALF]])


def under_address_sanitizer():
    return "asan" in os.environ.get("LD_PRELOAD", "")


def run_python(code, timeout=120):
    """Runs code in a fresh interpreter with this one's environment; returns the
    CompletedProcess with text stdout and stderr."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=dict(os.environ),
    )


@pytest.fixture(scope="session")
def python_process():
    return run_python


@pytest.fixture
def needs_plain_address_space():
    """Address-space limits cannot be combined with AddressSanitizer's shadow memory."""
    if under_address_sanitizer():
        pytest.skip("RLIMIT_AS does not work under AddressSanitizer")
