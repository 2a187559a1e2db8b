"""The runner's stub: installed beside the module and as a stub package, faithful to the compiled
module (stubtest), and accepting what the module accepts under mypy --strict."""

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

pytest.importorskip("mypy", reason="mypy is not installed")

import korvel_runner  # noqa: E402

REPO = Path(__file__).resolve().parents[2]

USE = """\
    import numpy as np
    import numpy.typing as npt
    import korvel_runner

    records = np.zeros(2, np.dtype([("kind", "<u4"), ("rest", "u1", (100,))]))
    state: korvel_runner.State = korvel_runner.simulate(2, records)
    state.run(b"")
    probabilities: npt.NDArray[np.float64] = state.probabilities()
    outcomes, counts = state.sample_counts(10, seed=1)
    words: npt.NDArray[np.uint64] = korvel_runner.run_shots(2, 1, bytearray(), 5, seed=None)
    values = state.expectation_values(np.array([1], np.uint64), [3])
    qubits: int = state.num_qubits + korvel_runner.MAX_QUBITS
    korvel_runner.simulate(2.5, [1, 2])  # two errors
"""


def run(args, cwd):
    env = {key: value for key, value in os.environ.items() if key != "MYPYPATH"}
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, env=env, capture_output=True, text=True,
                          timeout=600)


def test_stub_is_installed_and_faithful(tmp_path):
    module_dir = Path(korvel_runner.__file__).parent
    source = (REPO / "korvel_runner.pyi").read_text(encoding="utf-8")
    assert (module_dir / "korvel_runner.pyi").read_text(encoding="utf-8") == source
    assert (module_dir / "korvel_runner-stubs" / "__init__.pyi").read_text(encoding="utf-8") == source
    stubtest = run(["mypy.stubtest", "korvel_runner"], tmp_path)
    assert stubtest.returncode == 0, stubtest.stdout + stubtest.stderr

    (tmp_path / "use.py").write_text(textwrap.dedent(USE), encoding="utf-8")
    checked = run(["mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), "use.py"], tmp_path)
    errors = [line for line in checked.stdout.splitlines() if ": error:" in line]
    assert len(errors) == 2 and all("use.py:13:" in line for line in errors), checked.stdout
