// Classifying a wide gate's matrix by its exact zeros and ones.

#include "engine/gates/wide_gate.hpp"

#include <utility>

#include "engine/gates/gate_kind.hpp"

namespace korvel {

std::vector<std::uint32_t> WideGate::permutation_sources() const {
    const std::uint32_t d = dimension();
    std::vector<std::uint32_t> sources(d, 0);
    std::vector<bool> column_used(d, false);
    for (std::uint32_t r = 0; r < d; ++r) {
        std::uint32_t nonzero = 0;
        for (std::uint32_t c = 0; c < d; ++c) {
            if (exactly_zero(entry(r, c))) continue;
            sources[r] = c;
            ++nonzero;
        }
        if (nonzero != 1 || column_used[sources[r]]) return {};
        column_used[sources[r]] = true;
    }
    return sources;
}

WideGate::WideGate(std::span<const std::uint32_t> targets, std::span<const Complex> matrix)
    : width_(static_cast<std::uint32_t>(targets.size())), matrix_(matrix.begin(), matrix.end()) {
    for (std::uint32_t j = 0; j < width_; ++j) {
        targets_[j] = targets[j];
        target_mask_ |= std::uint64_t{1} << targets[j];
    }
    const std::uint32_t d = dimension();
    bool diagonal = true;
    for (std::uint32_t r = 0; r < d; ++r) {
        for (std::uint32_t c = 0; c < d; ++c) diagonal = diagonal && (c == r || exactly_zero(entry(r, c)));
    }
    if (diagonal) {
        // A zero on the diagonal (a projector) leaves it diagonal all the same.
        kind_ = WideKind::diagonal;
        diagonal_.resize(d);
        for (std::uint32_t r = 0; r < d; ++r) diagonal_[r] = entry(r, r);
    } else if (std::vector<std::uint32_t> sources = permutation_sources(); !sources.empty()) {
        kind_ = WideKind::permutation;
        sources_ = std::move(sources);
        only_moves_ = true;
        for (std::uint32_t r = 0; r < d; ++r) only_moves_ = only_moves_ && exactly_one(phase(r));
    }
    if (kind_ == WideKind::dense) {
        pairs_.resize(std::size_t{4} * d * d);
        for (std::size_t e = 0; e < std::size_t{d} * d; ++e) {
            pairs_[4 * e] = pairs_[4 * e + 1] = matrix_[e].real;
            pairs_[4 * e + 2] = -matrix_[e].imag;
            pairs_[4 * e + 3] = matrix_[e].imag;
        }
        for (auto [lanes, columns] : {std::pair{2u, &columns2_}, std::pair{4u, &columns4_}}) {
            if (d < lanes) continue;
            columns->resize(std::size_t{4} * d * d);
            double* out = columns->data();
            for (std::uint32_t b = 0; b < d / lanes; ++b) {
                for (std::uint32_t c = 0; c < d; ++c, out += 4 * lanes) {
                    for (std::uint32_t l = 0; l < lanes; ++l) {
                        const Complex x = entry(b * lanes + l, c);
                        out[2 * l] = out[2 * l + 1] = x.real;
                        out[2 * lanes + 2 * l] = -x.imag;
                        out[2 * lanes + 2 * l + 1] = x.imag;
                    }
                }
            }
        }
    }
}

}  // namespace korvel
