#pragma once

#include <cstdint>
#include <span>

#include "engine/gate.hpp"
#include "engine/register.hpp"

namespace korvel {

// Applies the gate to each target in list order, on the pairs whose control bits are all set.
// Each target is range-tested just before its pass ("Target(s) outside qubit range"), so earlier
// targets stay applied when a later one is refused.
void apply_gate(Register& reg, const QGate& gate, std::span<const std::uint32_t> targets,
                std::span<const std::uint32_t> controls);

}  // namespace korvel
