#pragma once

// A sequence of gates applied as one operation: whole circuits from the circuit runner, the
// targets of one apply_gate call, the passes a register has queued.

#include <cstdint>
#include <span>

#include "engine/sequence/sequence_gate.hpp"
#include "engine/sequence/sequence_plan.hpp"
#include "engine/state/register.hpp"

namespace korvel {

// Applies the gates in order; with GateOrder::exact, identical results to one apply_gate pass
// per gate. The caller has validated every field.
void apply_gate_sequence(Register& reg, std::span<const SequenceGate> gates, GateOrder order = GateOrder::exact);

}  // namespace korvel
