"""The type stub as a user's type checker meets it.

mypy must find the installed stub from a directory outside the source tree, accept every
argument form the module accepts, report misuse, pass the examples under --strict, and
stubtest must find the stub faithful to the compiled module.
"""

import re
import subprocess
import textwrap
from pathlib import Path
from typing import Dict, List

import pytest

pytest.importorskip("mypy", reason="mypy is not installed")

import korvel  # noqa: E402
from support import run_interpreter  # noqa: E402

REPO = Path(__file__).resolve().parent.parent


# MYPYPATH would let mypy read the stub from the source tree instead of the installed one.
WITHOUT_MYPYPATH = {"MYPYPATH": None}


def run_mypy(args: List[str], cwd: Path) -> "subprocess.CompletedProcess[str]":
    return run_interpreter(
        "-m", "mypy", "--strict", "--cache-dir", cwd / ".mypy_cache", *args, cwd=cwd, env=WITHOUT_MYPYPATH, timeout=300
    )


def test_stub_is_installed_beside_the_module_and_as_a_stub_package() -> None:
    module_dir = Path(korvel.__file__).parent
    source = (REPO / "korvel.pyi").read_text(encoding="utf-8")
    assert (module_dir / "korvel.pyi").read_text(encoding="utf-8") == source
    assert (module_dir / "korvel-stubs" / "__init__.pyi").read_text(encoding="utf-8") == source


ACCEPTED = """\
    from __future__ import annotations

    from decimal import Decimal
    from fractions import Fraction

    import korvel

    total: int = korvel.Register(3).measure(0) + 1
    korvel.QGate([[1, 0], [0, 1]])
    korvel.QGate(((1.0, 0.0), (0.0, 1.0)))
    korvel.QGate([[0, 1j], [1j, 0]])
    korvel.QGate(matrix=[[True, False], [Fraction(0), Decimal(1)]])
    register = korvel.Register(qubits=True)
    gate = korvel.QGate([[0, 1], [1, 0]])
    register.apply_gate(gate=gate, targets=range(1), controls=bytes(0))
    register.apply_gate(gate, (0,), [])
    probabilities: list[float] = register.probabilities()
    outcome: int = register.measure_all() + register.measure(target=0)
"""


def test_every_accepted_argument_form_type_checks(tmp_path: Path) -> None:
    (tmp_path / "accepted.py").write_text(textwrap.dedent(ACCEPTED))
    result = run_mypy(["accepted.py"], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


MISUSE = {
    "qubits as str": 'korvel.Register("3")',
    "qubits as float": "korvel.Register(3.0)",
    "matrix as str": 'korvel.QGate("ab")',
    "matrix element without real and imag": "korvel.QGate([[1, 0], [0, None]])",
    "targets as str": 'register.apply_gate(gate, "01", [])',
    "float target": "register.apply_gate(gate, [0.5], [])",
    "controls as a set": "register.apply_gate(gate, [0], {1})",
    "register as gate": "register.apply_gate(register, [0], [])",
    "controls missing": "register.apply_gate(gate, [0])",
    "measure with float": "register.measure(1.0)",
    "misspelt keyword": "register.measure(targt=0)",
    "argument to probabilities": "register.probabilities(1)",
    "result treated as str": 'register.measure_all() + ""',
    "subclass": "class Sub(korvel.Register): pass",
}


@pytest.fixture(scope="module")
def misuse_errors(tmp_path_factory: pytest.TempPathFactory) -> Dict[str, str]:
    directory = tmp_path_factory.mktemp("misuse")
    header = ["import korvel", "gate = korvel.QGate([[1, 0], [0, 1]])", "register = korvel.Register(2)"]
    lines = header + list(MISUSE.values())
    (directory / "misuse.py").write_text("\n".join(lines) + "\n")
    result = run_mypy(["misuse.py"], directory)
    errors: Dict[int, str] = {}
    for line in result.stdout.splitlines():
        found = re.match(r"misuse\.py:(\d+): error: (.*)", line)
        if found:
            errors[int(found.group(1))] = found.group(2)
    assert not any(number <= len(header) for number in errors), result.stdout
    return {case: errors.get(number, "") for number, case in enumerate(MISUSE, start=len(header) + 1)}


@pytest.mark.parametrize("case", MISUSE)
def test_misuse_is_reported(case: str, misuse_errors: Dict[str, str]) -> None:
    assert misuse_errors[case], f"mypy accepted: {MISUSE[case]}"


def test_examples_pass_strict_type_checking(tmp_path: Path) -> None:
    examples = sorted(str(path) for path in (REPO / "examples").glob("*.py"))
    assert examples
    result = run_mypy(examples, tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_stub_matches_the_compiled_module(tmp_path: Path) -> None:
    result = run_interpreter("-m", "mypy.stubtest", "korvel", cwd=tmp_path, env=WITHOUT_MYPYPATH, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
