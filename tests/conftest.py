"""Fixtures shared by the Python test suites of the korvel module; the plain helpers behind
them live in support.py."""

import pytest

import korvel
from support import HADAMARD_ROWS, panic_exception_type, run_python


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
    return korvel.QGate(HADAMARD_ROWS)


@pytest.fixture(scope="session")
def python_process():
    return run_python
