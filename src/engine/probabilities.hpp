#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "engine/complex.hpp"
#include "engine/gate_queue.hpp"
#include "engine/register.hpp"

namespace korvel {

// Element k = real*real + imag*imag of amplitude k, in index order; not normalised.
std::vector<double> probabilities(const Register& reg);

// The probabilities read straight from the amplitudes, element k computed when asked for, as
// in probabilities(). Valid only inside with_probabilities().
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
    return reg.state().locked([&](std::span<Complex> amplitudes) {
        settle_pending(reg, amplitudes);
        return std::forward<Work>(work)(ProbabilityView(amplitudes));
    });
}

}  // namespace korvel
