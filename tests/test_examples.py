"""Every program in examples/ runs to completion and passes its own checks.

Each example compares what it computed with what it should be and exits non-zero when they
differ, so running it is the test; stderr must stay empty because failure notices go there.
"""

import re
from pathlib import Path

import pytest

from support import run_interpreter

REPO = Path(__file__).resolve().parent.parent
EXAMPLES = sorted((REPO / "examples").glob("*.py"))
NEEDS_NUMPY = {"qft.py"}
# Examples of the Qiskit extra, korvel[qiskit].
NEEDS_QISKIT = {path.name for path in EXAMPLES if path.name.startswith("qiskit_")}
NEEDS_PENNYLANE = {path.name for path in EXAMPLES if path.name.startswith("pennylane_")}
# Examples of the Cirq extra, korvel[cirq].
NEEDS_CIRQ = {path.name for path in EXAMPLES if path.name.startswith("cirq_")}


def test_examples_are_present() -> None:
    names = {path.name for path in EXAMPLES}
    assert {"bell_pair.py", "ghz_20.py", "bernstein_vazirani.py", "qft.py"} <= names


def test_readme_first_command_runs_an_existing_example() -> None:
    readme = (REPO / "README.md").read_text(encoding="utf-8")
    first = re.search(r"python examples/(\w+\.py)", readme)
    assert first is not None, "the README does not start with an example to run"
    assert (REPO / "examples" / first.group(1)).is_file()


@pytest.mark.parametrize("example", EXAMPLES, ids=lambda path: path.name)
def test_example_runs_and_passes_its_checks(example: Path, tmp_path: Path) -> None:
    if example.name in NEEDS_NUMPY:
        pytest.importorskip("numpy")
    if example.name in NEEDS_QISKIT:
        pytest.importorskip("qiskit")
    if example.name in NEEDS_PENNYLANE:
        pytest.importorskip("pennylane")
    if example.name in NEEDS_CIRQ:
        pytest.importorskip("cirq")
    result = run_interpreter(example, cwd=tmp_path, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stderr == ""
    assert result.stdout.strip()
