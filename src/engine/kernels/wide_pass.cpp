// The scalar loops of wide gate passes and the dispatch of dense ones to the vector kernels.

#include "engine/kernels/wide_pass.hpp"

#include <algorithm>

#include "engine/kernels/vector_kernel.hpp"

namespace korvel {

namespace {

std::uint32_t lane_bits_of(KernelIsa isa) {
    switch (isa) {
        case KernelIsa::avx512: return avx512_lane_bits;
        case KernelIsa::avx2: return avx2_lane_bits;
        case KernelIsa::scalar: break;
    }
    return 0;
}

template <std::uint32_t D>
void dense_groups(Complex* amplitudes, const SubsetIndices& groups, const std::uint64_t* offsets,
                  const double* pairs, std::uint64_t first, std::uint64_t last) {
    if (first >= last) return;
    std::uint64_t base = groups.at(first);
    for (std::uint64_t u = first; u < last; ++u, base = groups.next(base)) {
        Complex* at = amplitudes + base;
        Complex a[D];
        for (std::uint32_t c = 0; c < D; ++c) a[c] = at[offsets[c]];
        for (std::uint32_t r = 0; r < D; ++r) {
            double re = 0.0, im = 0.0;
            const double* p = pairs + 4 * std::size_t{r} * D;
            for (std::uint32_t c = 0; c < D; ++c, p += 4) {
                re = std::fma(p[0], a[c].real, re);
                re = std::fma(p[2], a[c].imag, re);
                im = std::fma(p[1], a[c].imag, im);
                im = std::fma(p[3], a[c].real, im);
            }
            at[offsets[r]] = {re, im};
        }
    }
}

void dense_scalar(Complex* amplitudes, std::uint32_t width, const SubsetIndices& groups,
                  const std::uint64_t* offsets, const double* pairs, std::uint64_t first, std::uint64_t last) {
    switch (width) {
        case 1: return dense_groups<2>(amplitudes, groups, offsets, pairs, first, last);
        case 2: return dense_groups<4>(amplitudes, groups, offsets, pairs, first, last);
        case 3: return dense_groups<8>(amplitudes, groups, offsets, pairs, first, last);
        case 4: return dense_groups<16>(amplitudes, groups, offsets, pairs, first, last);
        default: return dense_groups<32>(amplitudes, groups, offsets, pairs, first, last);
    }
}

}  // namespace

bool avx2_has_fma() noexcept {
#if KORVEL_VECTOR_KERNELS
    static const bool has_fma = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("fma") != 0;
    }();
    return has_fma;
#else
    return false;
#endif
}

WidePass::WidePass(std::uint32_t qubits, std::span<const std::uint32_t> positions, std::uint64_t controls,
                   WideKind kind, KernelIsa isa)
    : width_(static_cast<std::uint32_t>(positions.size())), kind_(kind), isa_(KernelIsa::scalar),
      layout_(Layout::scalar), lane_bits_(0), units_(0, 0, 0) {
    std::uint64_t targets = 0;
    for (const std::uint32_t p : positions) targets |= std::uint64_t{1} << p;
    for (std::uint32_t c = 0; c < (1u << width_); ++c) {
        std::uint64_t offset = 0;
        for (std::uint32_t j = 0; j < width_; ++j) {
            if ((c >> j) & 1) offset |= std::uint64_t{1} << positions[j];
        }
        offsets_[c] = offset;
    }
    const std::uint64_t fixed = targets | controls;
    // The vector kernels want whole vectors of groups: nothing fixed among the lanes' bits. A
    // diagonal needs no fused multiply-add, so any vector set will do for it.
    // Dense passes fuse multiply-adds: AVX2 without FMA leaves them to the scalar loop.
    if (kind == WideKind::dense && isa == KernelIsa::avx2 && !avx2_has_fma()) isa = KernelIsa::scalar;
    const std::uint32_t lanes_for_kind = lane_bits_of(isa);
    const bool vector = KORVEL_VECTOR_KERNELS && kind != WideKind::permutation && lanes_for_kind > 0 &&
                        (fixed & ((std::uint64_t{1} << lanes_for_kind) - 1)) == 0 && qubits >= lanes_for_kind;
    if (vector) {
        isa_ = isa;
        layout_ = Layout::groups_in_lanes;
        lane_bits_ = lanes_for_kind;
        units_ = SubsetIndices(qubits - lanes_for_kind, fixed >> lanes_for_kind, controls >> lanes_for_kind);
        return;
    }
    // At 24 qubits the scalar loop took 2.7-3.6 sweeps for a diagonal on targets among the
    // lanes' bits, against 0.8-0.9 for the vector kernel elsewhere.
    if (KORVEL_VECTOR_KERNELS && kind == WideKind::diagonal && lanes_for_kind > 0 && qubits >= lanes_for_kind) {
        plan_lane_diagonal(qubits, positions, controls, isa);
        return;
    }
    units_ = SubsetIndices(qubits, fixed, controls);
    // Targets among the lanes' bits: a group's outputs fill the lanes instead, in the widest set
    // whose vectors a group fills (AVX-512 holds 4 rows, AVX2 2). At 22 qubits the scalar loop
    // (std::fma a call each on a baseline build) took 22-26 sweeps for a two-qubit gate on
    // targets 0 or 1, against about 1 for the vector kernels elsewhere.
    if (KORVEL_VECTOR_KERNELS && kind == WideKind::dense && isa != KernelIsa::scalar) {
        if (isa == KernelIsa::avx512 && width_ >= avx512_lane_bits) {
            isa_ = isa;
        } else if (width_ >= avx2_lane_bits && isa >= KernelIsa::avx2) {
            isa_ = KernelIsa::avx2;
        }
        if (isa_ != KernelIsa::scalar) layout_ = Layout::rows_in_lanes;
    }
}

void WidePass::plan_lane_diagonal(std::uint32_t qubits, std::span<const std::uint32_t> positions,
                                  std::uint64_t controls, KernelIsa isa) {
    isa_ = isa;
    layout_ = Layout::diagonal_in_lanes;
    lane_bits_ = lane_bits_of(isa);
    const std::uint64_t lane_mask = (std::uint64_t{1} << lane_bits_) - 1;
    std::uint64_t high_targets = 0;
    std::array<std::uint32_t, max_wide_targets> high{};  // the targets above the lanes, by index
    std::uint32_t high_count = 0;
    for (std::uint32_t j = 0; j < width_; ++j) {
        if (positions[j] >= lane_bits_) {
            high_targets |= std::uint64_t{1} << positions[j];
            high[high_count++] = j;
        }
    }
    units_ = SubsetIndices(qubits - lane_bits_, (high_targets | controls) >> lane_bits_, controls >> lane_bits_);
    lane_combinations_ = 1u << high_count;
    const auto lane_controls = static_cast<std::uint32_t>(controls & lane_mask);
    for (std::uint32_t h = 0; h < lane_combinations_; ++h) {
        std::uint32_t from_high = 0;  // entry bits of the targets above the lanes
        std::uint64_t offset = 0;
        for (std::uint32_t i = 0; i < high_count; ++i) {
            if ((h >> i) & 1) {
                from_high |= 1u << high[i];
                offset |= std::uint64_t{1} << positions[high[i]];
            }
        }
        lane_offsets_[h] = offset;
        for (std::uint32_t l = 0; l <= lane_mask; ++l) {
            if ((l & lane_controls) != lane_controls) {
                lane_entries_[h][l] = -1;
                continue;
            }
            std::uint32_t entry = from_high;
            for (std::uint32_t j = 0; j < width_; ++j) {
                if (positions[j] < lane_bits_ && ((l >> positions[j]) & 1)) entry |= 1u << j;
            }
            lane_entries_[h][l] = static_cast<std::int8_t>(entry);
        }
    }
}

void WidePass::run(Complex* amplitudes, const WideGate& gate, const Complex* diagonal, std::uint64_t first,
                   std::uint64_t last) const {
    if (first >= last) return;
    const std::uint32_t d = 1u << width_;
    switch (kind_) {
        case WideKind::dense: {
#if KORVEL_VECTOR_KERNELS
            if (layout_ != Layout::scalar) {
                const WideVectorShape shape{units_, width_, offsets_};
                const bool wide = isa_ == KernelIsa::avx512;
                if (layout_ == Layout::rows_in_lanes) {
                    const double* columns = gate.column_vectors(wide ? 4 : 2);
                    return wide ? apply_wide_dense_rows_avx512(amplitudes, shape, columns, first, last)
                                : apply_wide_dense_rows_avx2(amplitudes, shape, columns, first, last);
                }
                return wide ? apply_wide_dense_avx512(amplitudes, shape, gate.coefficient_pairs(), first, last)
                            : apply_wide_dense_avx2(amplitudes, shape, gate.coefficient_pairs(), first, last);
            }
#endif
            return dense_scalar(amplitudes, width_, units_, offsets_.data(), gate.coefficient_pairs(), first, last);
        }
        case WideKind::diagonal: {
#if KORVEL_VECTOR_KERNELS
            if (layout_ == Layout::groups_in_lanes) {
                const WideVectorShape shape{units_, width_, offsets_};
                return isa_ == KernelIsa::avx512 ? apply_wide_diagonal_avx512(amplitudes, shape, diagonal, first, last)
                                                 : apply_wide_diagonal_avx2(amplitudes, shape, diagonal, first, last);
            }
            if (layout_ == Layout::diagonal_in_lanes) {
                const WideLaneDiagonalShape shape{units_, lane_combinations_, lane_offsets_, lane_entries_};
                return isa_ == KernelIsa::avx512
                           ? apply_wide_lane_diagonal_avx512(amplitudes, shape, diagonal, first, last)
                           : apply_wide_lane_diagonal_avx2(amplitudes, shape, diagonal, first, last);
            }
#endif
            std::uint64_t base = units_.at(first);
            for (std::uint64_t u = first; u < last; ++u, base = units_.next(base)) {
                Complex* at = amplitudes + base;
                for (std::uint32_t c = 0; c < d; ++c) {
                    if (!exactly_one(diagonal[c])) at[offsets_[c]] = diagonal[c] * at[offsets_[c]];
                }
            }
            return;
        }
        case WideKind::permutation: {
            std::uint64_t base = units_.at(first);
            for (std::uint64_t u = first; u < last; ++u, base = units_.next(base)) {
                Complex* at = amplitudes + base;
                Complex a[std::size_t{1} << max_wide_targets];
                for (std::uint32_t c = 0; c < d; ++c) a[c] = at[offsets_[c]];
                for (std::uint32_t r = 0; r < d; ++r) {
                    const Complex moved = a[gate.source(r)];
                    const Complex phase = gate.phase(r);
                    at[offsets_[r]] = exactly_one(phase) ? moved : phase * moved;
                }
            }
            return;
        }
    }
}

}  // namespace korvel
