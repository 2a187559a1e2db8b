"""Checks that a built wheel carries every module, stub and marker file an install needs."""

import sys
import zipfile

names = zipfile.ZipFile(sys.argv[1]).namelist()
print("\n".join(names))
wanted = [
    "korvel.pyi",
    "korvel-stubs/__init__.pyi",
    "korvel_runner.pyi",
    "korvel_runner-stubs/__init__.pyi",
    "libkorvel_engine.so",
    "korvel_qiskit/__init__.py",
    "korvel_qiskit/py.typed",
    "korvel_cirq/__init__.py",
    "korvel_cirq/py.typed",
    "korvel_programs/__init__.py",
    "korvel_programs/classical.py",
    "korvel_programs/py.typed",
    "korvel_pennylane/__init__.py",
    "korvel_pennylane/py.typed",
]
modules = ["korvel", "korvel_runner"]
missing = [name for name in wanted if name not in names]
for module in modules:
    if not any(name.startswith(module + ".") and name.endswith(".so") for name in names):
        missing.append("the extension module %s.*.so" % module)
entry_points = [name for name in names if name.endswith(".dist-info/entry_points.txt")]
if not entry_points or b"korvel.qubit = korvel_pennylane:KorvelQubit" not in zipfile.ZipFile(
        sys.argv[1]).read(entry_points[0]):
    missing.append("the pennylane.plugins entry point korvel.qubit")
if missing:
    sys.exit("the wheel lacks: " + ", ".join(missing))
