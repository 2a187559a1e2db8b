#pragma once

// The pass of a gate on several target qubits (WideGate) over 2^qubits amplitudes, a register's
// or a gathered block's: groups of 2^k amplitudes, one amplitude per combination of the
// targets' values, every control set. A dense gate on targets that all lie above a vector's
// lanes runs in the vector kernel (a vector holds the same amplitude of consecutive groups);
// everything else takes the scalar loops here, which are the reference.
//
// Reproducibility, not the korvel module's exactness: each new amplitude of a dense gate is the
// sum over columns c = 0 … 2^k−1, in that order, of fused multiply-adds of entry x + iy and
// amplitude u + iv: re = fma(x, u, re); re = fma(−y, v, re); im = fma(x, v, im);
// im = fma(y, u, im), from re = im = +0. Every instruction set computes these same roundings.

#include <array>
#include <cmath>
#include <cstdint>
#include <span>

#include "engine/base/complex.hpp"
#include "engine/gates/gate_kind.hpp"
#include "engine/gates/wide_gate.hpp"
#include "engine/kernels/isa_choice.hpp"
#include "engine/kernels/subset_indices.hpp"

namespace korvel {

// What a vector kernel needs of a dense wide pass: group bases as vector indices, the offsets of
// a group's amplitudes, and the coefficient pairs of the matrix.
struct WideVectorShape {
    SubsetIndices vectors;
    std::uint32_t width;
    std::array<std::uint64_t, std::size_t{1} << max_wide_targets> offsets;
};

void apply_wide_dense_avx2(Complex* amplitudes, const WideVectorShape& shape, const double* pairs,
                           std::uint64_t first, std::uint64_t last);
void apply_wide_dense_avx512(Complex* amplitudes, const WideVectorShape& shape, const double* pairs,
                             std::uint64_t first, std::uint64_t last);
void apply_wide_diagonal_avx2(Complex* amplitudes, const WideVectorShape& shape, const Complex* diagonal,
                              std::uint64_t first, std::uint64_t last);
void apply_wide_diagonal_avx512(Complex* amplitudes, const WideVectorShape& shape, const Complex* diagonal,
                                std::uint64_t first, std::uint64_t last);
// The same pass a group at a time with its outputs in the lanes, for targets among the lanes'
// bits; `vectors` then holds group bases and `columns` is WideGate::column_vectors(lanes).
void apply_wide_dense_rows_avx2(Complex* amplitudes, const WideVectorShape& shape, const double* columns,
                                std::uint64_t first, std::uint64_t last);
void apply_wide_dense_rows_avx512(Complex* amplitudes, const WideVectorShape& shape, const double* columns,
                                  std::uint64_t first, std::uint64_t last);

// A diagonal pass on targets or controls among the lanes' bits: `vectors` holds the vector
// indices of group bases over the bits above the lanes, `offsets[h]` the amplitude offset of
// combination h of the targets above the lanes, and `entries[h][l]` the diagonal entry that lane
// l of that vector takes, or -1 where the lane's controls are not all set.
struct WideLaneDiagonalShape {
    SubsetIndices vectors;
    std::uint32_t combinations;
    std::array<std::uint64_t, std::size_t{1} << max_wide_targets> offsets;
    std::array<std::array<std::int8_t, 8>, std::size_t{1} << max_wide_targets> entries;
};

void apply_wide_lane_diagonal_avx2(Complex* amplitudes, const WideLaneDiagonalShape& shape, const Complex* diagonal,
                                   std::uint64_t first, std::uint64_t last);
void apply_wide_lane_diagonal_avx512(Complex* amplitudes, const WideLaneDiagonalShape& shape,
                                     const Complex* diagonal, std::uint64_t first, std::uint64_t last);

// Whether this processor's AVX2 comes with fused multiply-add, which the dense wide kernels need
// (AVX-512F always has it); without, dense passes take the scalar loop.
bool avx2_has_fma() noexcept;

class WidePass {
public:
    // positions[j]: the qubit (below `qubits`) holding target j, all distinct; controls: a mask
    // below 2^qubits without those bits.
    WidePass(std::uint32_t qubits, std::span<const std::uint32_t> positions, std::uint64_t controls,
             WideKind kind, KernelIsa isa = active_isa());

    std::uint64_t units() const noexcept { return units_.count(); }
    std::uint64_t amplitudes_per_unit() const noexcept { return std::uint64_t{1} << (width_ + lane_bits_); }

    // Units [first, last). `diagonal` holds 2^k entries for a diagonal pass (the gate's own, or
    // a table reduced to the targets a block holds); the other kinds read the gate.
    void run(Complex* amplitudes, const WideGate& gate, const Complex* diagonal, std::uint64_t first,
             std::uint64_t last) const;

private:
    // How a pass runs: the scalar loop, vectors of consecutive groups, one group's outputs in
    // the lanes (dense), or vectors whose lanes take different entries (diagonal).
    enum class Layout { scalar, groups_in_lanes, rows_in_lanes, diagonal_in_lanes };

    void plan_lane_diagonal(std::uint32_t qubits, std::span<const std::uint32_t> positions, std::uint64_t controls,
                            KernelIsa isa);

    std::uint32_t width_;
    WideKind kind_;
    KernelIsa isa_;
    Layout layout_;
    std::uint32_t lane_bits_;
    SubsetIndices units_;
    std::array<std::uint64_t, std::size_t{1} << max_wide_targets> offsets_{};
    // diagonal_in_lanes only; the rest of the pass's shape is units_ and lane_bits_.
    std::uint32_t lane_combinations_ = 0;
    std::array<std::uint64_t, std::size_t{1} << max_wide_targets> lane_offsets_{};
    std::array<std::array<std::int8_t, 8>, std::size_t{1} << max_wide_targets> lane_entries_{};
};

}  // namespace korvel
