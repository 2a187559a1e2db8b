"""Qiskit's and Aer's primitive test modules import Qiskit, Aer and ddt at the top, as upstream
writes them: where any of them is missing (Python below 3.9 has no Qiskit 2), none is collected."""

import importlib.util

_NEEDED = ("qiskit", "qiskit_aer", "ddt")
collect_ignore_glob = [] if all(importlib.util.find_spec(m) for m in _NEEDED) else ["test_*.py"]
