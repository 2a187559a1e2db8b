"""PennyLane on korvel: the `korvel.qubit` device, with native adjoint gradients.

    import pennylane as qml
    dev = qml.device("korvel.qubit", wires=4, seed=7)

Registered through the ``pennylane.plugins`` entry point; shots go on the QNode
(``qml.set_shots``) as the installed PennyLane expects.
"""

from .device import KorvelQubit

__all__ = ["KorvelQubit"]
