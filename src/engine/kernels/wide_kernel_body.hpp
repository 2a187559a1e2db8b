#pragma once

// The dense wide-gate kernel, written once over an instruction set's operations (Ops) and
// included by kernels/avx2.cpp and kernels/avx512.cpp after they switch the compiler to that
// set. A vector holds the same amplitude of 2^lane_bits consecutive groups, so each lane runs
// the scalar loop's fused multiply-adds (wide_pass.hpp) in the same order: lane (re) computes
// fma(x, u, re) then fma(−y, v, re), lane (im) fma(x, v, im) then fma(y, u, im).

#include "engine/kernels/wide_pass.hpp"

namespace korvel::wide_kernel {
namespace {

template <class Ops, std::uint32_t D>
void dense_units(Complex* amplitudes, const WideVectorShape& shape, const double* pairs, std::uint64_t first,
                 std::uint64_t last) {
    using V = typename Ops::V;
    std::uint64_t v = shape.vectors.at(first);
    for (std::uint64_t u = first; u < last; ++u, v = shape.vectors.next(v)) {
        double* at = reinterpret_cast<double*>(amplitudes + (v << Ops::lane_bits));
        V a[D];
        V swapped[D];
        for (std::uint32_t c = 0; c < D; ++c) {
            a[c] = Ops::load(at + 2 * shape.offsets[c]);
            swapped[c] = Ops::swap_parts(a[c]);
        }
        for (std::uint32_t r = 0; r < D; ++r) {
            V acc = Ops::zero();
            const double* p = pairs + 4 * std::size_t{r} * D;
            for (std::uint32_t c = 0; c < D; ++c, p += 4) {
                acc = Ops::fmadd(Ops::broadcast_pair(p), a[c], acc);
                acc = Ops::fmadd(Ops::broadcast_pair(p + 2), swapped[c], acc);
            }
            Ops::store(at + 2 * shape.offsets[r], acc);
        }
    }
}

template <class Ops>
void apply_dense(Complex* amplitudes, const WideVectorShape& shape, const double* pairs, std::uint64_t first,
                 std::uint64_t last) {
    if (first >= last) return;
    switch (shape.width) {
        case 1: return dense_units<Ops, 2>(amplitudes, shape, pairs, first, last);
        case 2: return dense_units<Ops, 4>(amplitudes, shape, pairs, first, last);
        case 3: return dense_units<Ops, 8>(amplitudes, shape, pairs, first, last);
        case 4: return dense_units<Ops, 16>(amplitudes, shape, pairs, first, last);
        default: return dense_units<Ops, 32>(amplitudes, shape, pairs, first, last);
    }
}

}  // namespace
}  // namespace korvel::wide_kernel
