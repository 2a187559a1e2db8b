# This code is part of Qiskit.
#
# (C) Copyright IBM 2017, 2024.
#
# This code is licensed under the Apache License, Version 2.0. You may
# obtain a copy of this license in the LICENSE.txt file in the root directory
# of this source tree or at https://www.apache.org/licenses/LICENSE-2.0.
#
# Any modifications or derivative works of this code must retain this
# copyright notice, and modified files need to carry a notice indicating
# that they have been altered from the originals.
#
# Altered for korvel: the parts of Qiskit's and Qiskit Aer's test packages (test/__init__.py,
# test/python/legacy_cmaps.py, test/terra/common.py) that the conformance modules beside this
# file import, with plain unittest test cases in place of the fixture-laden base classes.

"""What Qiskit's and Qiskit Aer's primitive test modules import from their test packages."""

import contextlib
import functools
import itertools
import unittest
from unittest import mock

import pytest

pytest.importorskip("qiskit")
pytest.importorskip("ddt")  # Qiskit's test modules generate their cases with it

from ddt import data, unpack  # noqa: E402


class QiskitTestCase(unittest.TestCase):
    """Qiskit's base test case; its logging and warning fixtures are not needed here."""


QiskitAerTestCase = QiskitTestCase


class Case(dict):
    """<no description>"""


def generate_cases(docstring, dsc=None, name=None, **kwargs):
    """Combines kwargs in Cartesian product and creates Case with them"""
    ret = []
    keys = kwargs.keys()
    vals = kwargs.values()
    for values in itertools.product(*vals):
        case = Case(zip(keys, values))
        if docstring is not None:
            setattr(case, "__doc__", docstring.format(**case))
        if dsc is not None:
            setattr(case, "__doc__", dsc.format(**case))
        if name is not None:
            setattr(case, "__name__", name.format(**case))
        ret.append(case)
    return ret


def combine(**kwargs):
    """Decorator to create combinations and tests"""

    def deco(func):
        return data(*generate_cases(docstring=func.__doc__, **kwargs))(unpack(func))

    return deco


LAGOS_CMAP = [
    [0, 1],
    [1, 0],
    [1, 2],
    [1, 3],
    [2, 1],
    [3, 1],
    [3, 5],
    [4, 5],
    [5, 3],
    [5, 4],
    [5, 6],
    [6, 5],
]


def expected_failure(reason):
    """pytest's strict xfail for a test whose failures happen inside subTest blocks.

    A subTest records its failure and lets the test go on, so the test itself would pass and
    a strict xfail would report it as passing; here subTest blocks are plain blocks, so the
    first failure ends the test.
    """

    def wrap(test):
        @functools.wraps(test)
        def run(self, *args, **kwargs):
            with mock.patch.object(self, "subTest",
                                   lambda *a, **k: contextlib.nullcontext()):
                return test(self, *args, **kwargs)

        return pytest.mark.xfail(strict=True, reason=reason)(run)

    return wrap
