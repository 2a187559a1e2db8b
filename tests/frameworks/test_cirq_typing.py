"""korvel_cirq as a user's type checker meets it: the installed package passes mypy --strict
(py.typed), and so does the example program written against it."""

from pathlib import Path

import pytest

pytest.importorskip("mypy", reason="mypy is not installed")
pytest.importorskip("cirq")

from support import run_interpreter  # noqa: E402

REPO = Path(__file__).resolve().parents[2]


@pytest.mark.parametrize("target", [["-p", "korvel_cirq"],
                                    [REPO / "examples" / "cirq_bell_and_vqe.py"]],
                         ids=["package", "example"])
def test_passes_mypy_strict(target: list, tmp_path: Path) -> None:
    # sympy ships no type information; everything of ours is checked.
    result = run_interpreter("-m", "mypy", "--strict", "--ignore-missing-imports", "--cache-dir",
                             tmp_path / ".mypy_cache", *target, cwd=tmp_path,
                             env={"MYPYPATH": None}, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
