#include "engine/readout/weighted_draw.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "engine/base/failure.hpp"
#include "engine/base/messages.hpp"
#include "engine/readout/random.hpp"

namespace korvel {

double uniform_scale(double total) {
    if (!std::isfinite(total)) fail(messages::range_overflow);
    // U is at most 1 − 2^−52, so U × S stays below T exactly when S × (1 − 2^−52) does; rounding
    // can carry that product up to T, hence the steps down.
    constexpr double largest_unit = 1.0 - 0x1p-52;
    double scale = total;
    while (scale > 0.0 && scale * largest_unit >= total) scale = std::nextafter(scale, 0.0);
    return scale;
}

namespace {

// The accepted weights' running sums in list order (all but the full total) and the total.
struct CumulativeWeights {
    std::vector<double> bounds;
    double total = 0.0;
};

// Checks the weights in list order and sums them; fails on the first weight that is not
// `>= 0`, then on an all-zero or infinite total.
CumulativeWeights accept_weights(std::span<const double> weights) {
    if (weights.empty()) fail_unwrap(messages::no_item);
    CumulativeWeights cumulative;
    cumulative.bounds.reserve(weights.size() - 1);
    double total = weights[0];
    if (!(total >= 0.0)) fail_unwrap(messages::invalid_weight);
    for (std::size_t j = 1; j < weights.size(); ++j) {
        if (!(weights[j] >= 0.0)) fail_unwrap(messages::invalid_weight);
        cumulative.bounds.push_back(total);
        total = total + weights[j];
    }
    if (total == 0.0) fail_unwrap(messages::all_weights_zero);
    cumulative.total = total;
    return cumulative;
}

std::size_t position_of(const CumulativeWeights& cumulative, double scale, std::uint64_t bits) {
    const double x = unit_from_bits(bits) * scale;
    // Bounds at or below x are passed, so x equal to a bound selects the next position.
    const auto first_above =
        std::upper_bound(cumulative.bounds.begin(), cumulative.bounds.end(), x);
    return static_cast<std::size_t>(first_above - cumulative.bounds.begin());
}

}  // namespace

std::size_t weighted_draw(std::span<const double> weights, RandomSource random) {
    const CumulativeWeights cumulative = accept_weights(weights);
    const double scale = uniform_scale(cumulative.total);
    return position_of(cumulative, scale, random());
}

}  // namespace korvel
