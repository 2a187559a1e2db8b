#pragma once

// A gate on 1 to 5 target qubits, the circuit runner's own: a 2^k × 2^k matrix and the kind
// its exact zeros and ones allow, decided once when the gate is made. The korvel module never
// makes one; its gates stay QGate.

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/base/complex.hpp"

namespace korvel {

inline constexpr std::uint32_t max_wide_targets = 5;

enum class WideKind {
    dense,        // every entry may be non-zero: each new amplitude sums 2^k products
    diagonal,     // every off-diagonal entry exactly zero: each amplitude scaled by its entry
    permutation,  // one non-zero entry per row and column: amplitudes move, scaled by a phase
};

class WideGate {
public:
    // Targets distinct, 1 to max_wide_targets of them; matrix row-major with 4^k finite
    // entries, bit j of a row or column index being the value of targets[j]. Throws
    // std::bad_alloc.
    WideGate(std::span<const std::uint32_t> targets, std::span<const Complex> matrix);

    std::uint32_t width() const noexcept { return width_; }
    std::uint32_t dimension() const noexcept { return 1u << width_; }
    std::uint32_t target(std::uint32_t j) const noexcept { return targets_[j]; }
    std::uint64_t target_mask() const noexcept { return target_mask_; }
    WideKind kind() const noexcept { return kind_; }
    // The permutation with every non-zero entry exactly 1: it only moves amplitudes.
    bool only_moves() const noexcept { return only_moves_; }

    Complex entry(std::uint32_t row, std::uint32_t column) const noexcept {
        return matrix_[(std::size_t{row} << width_) + column];
    }
    // Dense: for entry (r, c) at 4·(r·2^k + c) the doubles (x, x, −y, y) of x + iy, the
    // coefficient pair the vector kernels broadcast.
    const double* coefficient_pairs() const noexcept { return pairs_.data(); }
    // Dense: the columns of the matrix cut into vectors of `lanes` rows (2 or 4), for the
    // kernel that keeps a group's outputs in the lanes: for rows [b·lanes, b·lanes + lanes)
    // and column c, at 4·lanes·(b·2^k + c), the lanes' (x, x) and then their (−y, y).
    const double* column_vectors(std::uint32_t lanes) const noexcept {
        return lanes == 4 ? columns4_.data() : columns2_.data();
    }
    // Diagonal: entry (r, r). Permutation: row r takes column source(r), times phase(r).
    Complex diagonal(std::uint32_t row) const noexcept { return entry(row, row); }
    // Diagonal: the 2^k diagonal entries in order.
    const Complex* diagonal_entries() const noexcept { return diagonal_.data(); }
    std::uint32_t source(std::uint32_t row) const noexcept { return sources_[row]; }
    Complex phase(std::uint32_t row) const noexcept { return entry(row, sources_[row]); }

private:
    // The column of each row's one non-zero entry; empty if the matrix is no permutation.
    std::vector<std::uint32_t> permutation_sources() const;

    std::uint32_t width_;
    std::array<std::uint32_t, max_wide_targets> targets_{};
    std::uint64_t target_mask_ = 0;
    WideKind kind_ = WideKind::dense;
    bool only_moves_ = false;
    std::vector<Complex> matrix_;
    std::vector<double> pairs_;
    std::vector<double> columns2_;
    std::vector<double> columns4_;
    std::vector<Complex> diagonal_;
    std::vector<std::uint32_t> sources_;
};

}  // namespace korvel
