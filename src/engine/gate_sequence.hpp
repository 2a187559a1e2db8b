#pragma once

// A whole run of gates applied to one register in a single call: the circuit runner's unitary
// steps, and the place where gates can be applied block by block instead of one sweep each.

#include <cstdint>
#include <span>

#include "engine/gate.hpp"
#include "engine/register.hpp"

namespace korvel {

struct SequenceGate {
    QGate gate;              // matrix (and, once gate kinds exist, its kind)
    std::uint32_t target;    // < reg.qubits()
    std::uint64_t controls;  // mask of control qubits, all < reg.qubits(), target bit not set
};

// Applies the gates in order; identical results to one apply_gate pass per gate.
// The caller has validated every field.
void apply_gate_sequence(Register& reg, std::span<const SequenceGate> gates);

}  // namespace korvel
