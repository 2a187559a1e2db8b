"""A variational eigensolver on korvel.qubit, trained with adjoint gradients.

Finds the ground-state energy of a four-spin transverse-field Ising chain with a layered ansatz
and plain gradient descent, then checks it against the exact lowest eigenvalue.
"""

import sys
from typing import Any

import numpy as np
import pennylane as qml  # type: ignore[import-untyped,import-not-found,unused-ignore]
from pennylane import numpy as pnp  # type: ignore[import-untyped,import-not-found,unused-ignore]

WIRES = 4
hamiltonian = qml.Hamiltonian(
    [-1.0] * (WIRES - 1) + [-0.5] * WIRES,
    [qml.Z(w) @ qml.Z(w + 1) for w in range(WIRES - 1)] + [qml.X(w) for w in range(WIRES)],
)

device = qml.device("korvel.qubit", wires=WIRES, seed=7)


def layered_energy(weights: Any) -> Any:
    qml.StronglyEntanglingLayers(weights, wires=range(WIRES))
    return qml.expval(hamiltonian)


energy = qml.QNode(layered_energy, device, diff_method="adjoint")


shape = qml.StronglyEntanglingLayers.shape(n_layers=3, n_wires=WIRES)
weights = pnp.array(np.random.default_rng(0).uniform(0, 2 * np.pi, shape), requires_grad=True)
optimizer = qml.AdamOptimizer(stepsize=0.1)
for step in range(120):
    weights, value = optimizer.step_and_cost(energy, weights)
    if step % 40 == 0:
        print(f"step {step:3d}: energy {value:.6f}")

found = float(energy(weights))
exact = float(np.linalg.eigvalsh(qml.matrix(hamiltonian, wire_order=range(WIRES)))[0])
print(f"trained energy {found:.6f}, exact ground-state energy {exact:.6f}")
if not abs(found - exact) < 1e-3:
    sys.exit(f"the trained energy is {found - exact:.2e} above the ground state")
