#pragma once

#include <cstdint>

#include "engine/register.hpp"

namespace korvel {

// Measures one qubit, returns 0 or 1 and collapses the register onto that outcome.
std::uint32_t measure(Register& reg, std::uint32_t target);

// Draws a basis state from the whole distribution; the register is left unchanged.
std::uint32_t measure_all(const Register& reg);

}  // namespace korvel
