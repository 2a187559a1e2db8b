#pragma once

#include <vector>

#include "engine/register.hpp"

namespace korvel {

// Element k = real*real + imag*imag of amplitude k, in index order; not normalised.
std::vector<double> probabilities(const Register& reg);

}  // namespace korvel
