#pragma once

// One gate of a sequence: a single-qubit matrix, its target and its control mask.

#include <cstdint>

#include "engine/gates/gate.hpp"

namespace korvel {

struct SequenceGate {
    QGate gate;              // matrix and its kind
    std::uint32_t target;    // < reg.qubits()
    std::uint64_t controls;  // mask of control qubits, all < reg.qubits(), target bit not set
};

}  // namespace korvel
