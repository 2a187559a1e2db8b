#pragma once

#include <string>

namespace korvel {

// Shortest digits that read back as the same double. Zero and magnitudes in [1e-4, 1e16) are
// positional with at least one digit after the point ("1.0", "-0.0", "0.9999999999999997");
// other finite values are scientific ("-5.551115123125783e-17", "5e-323", "1e16");
// non-finite values are "NaN", "inf", "-inf".
std::string format_double(double value);

}  // namespace korvel
