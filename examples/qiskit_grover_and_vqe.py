# Qiskit ships no type information; korvel_qiskit and the rest of this file are checked.
# mypy: disable-error-code="import-untyped, import-not-found"
"""Qiskit circuits on korvel: Grover search counted on the backend, a parameter sweep on the
sampler, and exact energies from the estimator.

Needs the Qiskit extra: python -m pip install '.[qiskit]'
"""

import sys

import numpy as np
from qiskit import QuantumCircuit
from qiskit.circuit.library import MCXGate, efficient_su2, grover_operator
from qiskit.primitives import StatevectorEstimator
from qiskit.quantum_info import SparsePauliOp

from korvel_qiskit import KorvelBackend, KorvelEstimator, KorvelSampler

failures = []

# Grover search for 10110 among 32 states, four iterations. The oracle flips the sign of the
# marked state: a Z on qubit 4 (H X H), controlled by qubits 3..0 being 0110 (open controls).
n, marked = 5, "10110"
oracle = QuantumCircuit(n)
oracle.h(n - 1)
oracle.append(MCXGate(n - 1, ctrl_state=marked[1:]), range(n))
oracle.h(n - 1)
search = QuantumCircuit(n)
search.h(range(n))
for _ in range(4):
    search.compose(grover_operator(oracle), inplace=True)
search.measure_all()

counts = KorvelBackend().run(search, shots=10_000, seed_simulator=7).result().get_counts()
best = max(counts, key=counts.get)
print(f"Grover, {n} qubits, 4 iterations: {best} found in {counts[best]} of 10000 shots")
if best != marked or counts[best] < 9_000:
    failures.append("Grover did not find the marked state")

# A sweep of one ansatz over 100 parameter sets: lowered once, matrices patched per binding.
ansatz = efficient_su2(4, reps=2)
values = np.random.default_rng(1).uniform(-np.pi, np.pi, (100, ansatz.num_parameters))
sweep = KorvelSampler(seed=3).run([(ansatz.measure_all(inplace=False), values)], shots=1000)
bits = sweep.result()[0].data.meas
print(f"Sampler: {bits.shape[0]} bindings x {bits.num_shots} shots of {bits.num_bits} bits")
if bits.shape != (100,) or bits.num_shots != 1000:
    failures.append("sampler result has the wrong shape")

# Exact energies of a small Hamiltonian over the same sweep, checked against Qiskit's own.
hamiltonian = SparsePauliOp.from_list([("ZZII", 1.0), ("IZZI", 1.0), ("IIZZ", 1.0),
                                       ("XIII", 0.5), ("IXII", 0.5), ("IIXI", 0.5),
                                       ("IIIX", 0.5)])
energies = KorvelEstimator().run([(ansatz, hamiltonian, values)]).result()[0].data.evs
reference = StatevectorEstimator().run([(ansatz, hamiltonian, values)]).result()[0].data.evs
lowest = int(np.argmin(energies))
print(f"Estimator: lowest energy {energies[lowest]:.6f} at binding {lowest}; largest difference "
      f"from Qiskit's Statevector {np.max(np.abs(energies - reference)):.1e}")
if not np.allclose(energies, reference, rtol=0, atol=1e-12):
    failures.append("energies differ from Qiskit's Statevector")

for failure in failures:
    print("FAILED:", failure)
sys.exit(1 if failures else 0)
