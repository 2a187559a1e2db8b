#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/gates/gate.hpp"
#include "engine/state/register.hpp"

namespace korvel {

// The controls as one bit mask. A control at or above the qubit count names a bit that is 0 in
// every index, so no pair can pass it: `refused` then says every pass of the call is empty.
struct ControlMask {
    std::uint64_t bits = 0;
    bool refused = false;

    // A control on the target itself is 0 in every i0: such a pass touches nothing, so it does
    // not take the lock (and so returns normally on a poisoned register).
    bool empties(std::uint32_t target) const { return refused || ((bits >> target) & 1) != 0; }
};

ControlMask control_mask(std::uint32_t qubits, std::span<const std::uint32_t> controls);

// How many targets from the start of the list lie inside the register.
std::size_t valid_target_count(std::uint32_t qubits, std::span<const std::uint32_t> targets);

// Applies the gate to each target in list order, on the pairs whose control bits are all set.
// Each target is range-tested in turn ("Target(s) outside qubit range"), so earlier targets stay
// applied when a later one is refused.
void apply_gate(Register& reg, const QGate& gate, std::span<const std::uint32_t> targets,
                std::span<const std::uint32_t> controls);

}  // namespace korvel
