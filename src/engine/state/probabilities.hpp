#pragma once

// The probability of every basis state, read from the amplitudes under the state lock.

#include <cstddef>
#include <span>
#include <utility>

#include "engine/base/complex.hpp"
#include "engine/state/register.hpp"

namespace korvel {

// The probabilities read straight from the amplitudes: element k is real*real + imag*imag of
// amplitude k, not normalised, computed when asked for. Valid only inside with_probabilities().
class ProbabilityView {
public:
    explicit ProbabilityView(std::span<const Complex> amplitudes) : amplitudes_(amplitudes) {}
    std::size_t size() const noexcept { return amplitudes_.size(); }
    double operator[](std::size_t k) const noexcept { return norm_sqr(amplitudes_[k]); }

private:
    std::span<const Complex> amplitudes_;
};

// Runs work(ProbabilityView) under the state lock and returns its result: for a caller that
// turns the probabilities into something else element by element with no copy in between.
// Fails on a poisoned register; work must report its own failures by its result, since one
// thrown under the lock poisons the register.
template <class Work>
decltype(auto) with_probabilities(const Register& reg, Work&& work) {
    return reg.state().locked_read([&](std::span<const Complex> amplitudes) {
        return std::forward<Work>(work)(ProbabilityView(amplitudes));
    });
}

}  // namespace korvel
