"""What failures write to standard error, checked in fresh processes so that the once-per-process
hint and the interpreter's own output are seen whole."""

import re
import sys

import pytest

from support import PANIC_EXCEPTION_SOURCE

NOTICE = re.compile(r"^thread '<unnamed>' panicked at '(?P<message>.*)', (?P<path>src/[\w/]+\.cpp):(?P<line>\d+):(?P<column>\d+)$")
BANNER = [
    "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---",
    "Python stack trace below:",
]


def notices(stderr):
    return [m.group("message") for m in map(NOTICE.match, stderr.splitlines()) if m]


def run_ok(python_process, code):
    result = python_process(code)
    assert result.returncode == 0, result.stderr
    return result


PANIC_TYPE = PANIC_EXCEPTION_SOURCE + """
PanicException = panic_exception_type()
import os, sys
os.write(2, b"-- start --\\n")
"""


def after_start(stderr):
    return stderr.split("-- start --\n", 1)[1]


class TestFailureNotices:
    def test_unitarity_failure_writes_the_diagnostic_block_then_the_notice(self, python_process):
        result = run_ok(
            python_process,
            """
            import korvel
            try:
                korvel.QGate([[1, 1], [1, 1]])
            except BaseException as error:
                print(type(error).__name__, error)
            """,
        )
        assert result.stdout == "PanicException Matrix is not unitary\n"
        lines = result.stderr.splitlines()
        notice_at = [i for i, line in enumerate(lines) if NOTICE.match(line)]
        assert len(notice_at) == 1
        assert "check1" in "\n".join(lines[: notice_at[0]])  # the diagnostic block comes first
        match = NOTICE.match(lines[notice_at[0]])
        assert match.group("message") == "Matrix is not unitary"
        assert match.group("path").startswith("src/engine/")

    def test_the_hint_line_comes_once_per_process(self, python_process):
        result = run_ok(
            python_process,
            """
            import korvel
            for qubits in (30, 31, 99):
                try:
                    korvel.Register(qubits)
                except BaseException:
                    pass
            """,
        )
        lines = result.stderr.splitlines()
        assert notices(result.stderr) == ["Number of qubits must be less than 30"] * 3
        assert NOTICE.match(lines[0])
        other = [line for line in lines if not NOTICE.match(line)]
        assert len(other) == 1 and other[0].strip()  # the hint, right after the first notice
        assert lines[1] == other[0]

    @pytest.mark.parametrize(
        "call, message",
        [
            ("korvel.QGate([[1, 0]])", "Only support single gate. Matrix size must be 2 by 2"),
            ("korvel.Register(1).apply_gate(korvel.QGate([[1, 0], [0, 1]]), [0, 1], [])", "Target(s) outside qubit range"),
            ("korvel.Register(1).measure(1)", "index out of bounds: the len is 2 but the index is 2"),
        ],
    )
    def test_one_notice_per_internal_failure(self, python_process, call, message):
        result = run_ok(python_process, "import korvel\ntry:\n    %s\nexcept BaseException as e:\n    print(e)\n" % call)
        assert result.stdout == message + "\n"
        assert notices(result.stderr) == [message]

    def test_python_errors_write_nothing(self, python_process):
        result = run_ok(
            python_process,
            """
            import korvel
            r = korvel.Register(1)
            calls = [lambda: korvel.QGate("x"), lambda: korvel.Register(-1), lambda: r.measure(),
                     lambda: r.apply_gate(r, [0], []), lambda: korvel.QGate([[1, 0], [0, None]])]
            for call in calls:
                try:
                    call()
                except Exception:
                    pass
            """,
        )
        assert result.stdout == "" and result.stderr == ""

    def test_successful_calls_write_nothing(self, python_process):
        result = run_ok(
            python_process,
            """
            import korvel
            r = korvel.Register(3)
            r.apply_gate(korvel.QGate([[0, 1], [1, 0]]), [0, 1], [2])
            r.probabilities(); r.measure(0); r.measure_all()
            """,
        )
        assert result.stdout == "" and result.stderr == ""


class TestResumedPanic:
    def resumed(self, python_process, setup, call):
        code = PANIC_TYPE + setup + (
            "\ntry:\n    %s\nexcept BaseException as error:\n"
            "    print(type(error) is PanicException, error.args)\n" % call
        )
        return run_ok(python_process, code)

    @pytest.mark.parametrize(
        "setup, call, where",
        [
            ("class T:\n    def __index__(self):\n        raise PanicException('boom')\n",
             "korvel.Register(T())", "__index__"),
            ("class S:\n    def __len__(self):\n        return 1\n    def __getitem__(self, i):\n        return 0\n"
             "    def __iter__(self):\n        raise PanicException('boom')\n",
             "korvel.Register(1).apply_gate(korvel.QGate([[1, 0], [0, 1]]), S(), [])", "__iter__"),
            ("class N:\n    real = 1.0\n    @property\n    def imag(self):\n        raise PanicException('boom')\n",
             "korvel.QGate([[N(), 0], [0, 1]])", "imag"),
            # the errors a conversion otherwise discards: the length hint and the str test
            ("class S:\n    def __len__(self):\n        raise PanicException('boom')\n    def __getitem__(self, i):\n        raise IndexError\n",
             "korvel.Register(1).apply_gate(korvel.QGate([[1, 0], [0, 1]]), S(), [])", "__len__"),
            ("class S:\n    @property\n    def __class__(self):\n        raise PanicException('boom')\n"
             "    def __len__(self):\n        return 0\n    def __getitem__(self, i):\n        raise IndexError\n",
             "korvel.Register(1).apply_gate(korvel.QGate([[1, 0], [0, 1]]), S(), [])", "__class__"),
        ],
        ids=["index", "iter", "attribute", "length-hint", "str-test"],
    )
    def test_banner_traceback_and_fixed_message(self, python_process, setup, call, where):
        result = self.resumed(python_process, setup, call)
        assert result.stdout == "True ('Unwrapped panic from Python code',)\n"
        lines = after_start(result.stderr).splitlines()
        assert lines[:3] == BANNER + ["Traceback (most recent call last):"]
        assert lines[-1] == "pyo3_runtime.PanicException: boom"
        assert where in "\n".join(lines)
        assert notices(result.stderr) == ["Number of qubits must be less than 30"]  # none for the resumed one

    def test_a_panic_of_this_module_inside_a_conversion(self, python_process):
        result = self.resumed(
            python_process,
            "class T:\n    def __index__(self):\n        korvel.Register(40)\n",
            "korvel.Register(1).measure(T())",
        )
        # Older interpreters hand the pending value over as the bare message; from 3.12 on
        # every pending exception is an instance, so the fixed text applies.
        expected = "Number of qubits must be less than 30" if sys.version_info < (3, 12) else "Unwrapped panic from Python code"
        assert result.stdout == "True (%r,)\n" % (expected,)
        lines = after_start(result.stderr).splitlines()
        assert notices("\n".join(lines)) == ["Number of qubits must be less than 30"]
        assert lines[1:3] == BANNER
        assert lines[-1] == "pyo3_runtime.PanicException: Number of qubits must be less than 30"

    def test_a_subclass_is_an_ordinary_error(self, python_process):
        result = self.resumed(
            python_process,
            "class Mine(PanicException):\n    pass\nclass T:\n    def __index__(self):\n        raise Mine('x')\n",
            "korvel.Register(T())",
        )
        assert result.stdout == "False ('x',)\n"
        assert after_start(result.stderr) == ""

    def test_an_uncaught_panic_ends_the_interpreter(self, python_process):
        result = python_process("import korvel\nkorvel.Register(30)\nprint('not reached')\n")
        assert result.returncode == 1 and result.stdout == ""
        assert result.stderr.splitlines()[-1] == "pyo3_runtime.PanicException: Number of qubits must be less than 30"
