#pragma once

#include <cstdint>

#include "engine/random.hpp"
#include "engine/register.hpp"

namespace korvel {

// Measures one qubit, returns 0 or 1 and collapses the register onto that outcome.
std::uint32_t measure(Register& reg, std::uint32_t target);

// Draws a basis state from the whole distribution; the register is left unchanged.
std::uint32_t measure_all(const Register& reg);

// The same operations taking their one random value from `random` instead of the calling
// thread's generator, for tests.
std::uint32_t measure(Register& reg, std::uint32_t target, RandomSource random);
std::uint32_t measure_all(const Register& reg, RandomSource random);

}  // namespace korvel
