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

// The other layout, for targets among the lanes' bits: one group at a time, its 2^k outputs in
// the lanes of 2^k / lanes vectors, each input amplitude broadcast to every lane. Lane l of
// vector b is row b·lanes + l of the scalar loop and meets the columns in the same order.
template <class Ops, std::uint32_t D>
void dense_rows(Complex* amplitudes, const WideVectorShape& shape, const double* columns, std::uint64_t first,
                std::uint64_t last) {
    using V = typename Ops::V;
    constexpr std::uint32_t lanes = Ops::lanes;
    constexpr std::uint32_t blocks = D / lanes;
    std::uint64_t base = shape.vectors.at(first);
    for (std::uint64_t u = first; u < last; ++u, base = shape.vectors.next(base)) {
        double* at = reinterpret_cast<double*>(amplitudes + base);
        V acc[blocks];
        for (V& a : acc) a = Ops::zero();
        for (std::uint32_t c = 0; c < D; ++c) {
            const V a = Ops::broadcast_pair(at + 2 * shape.offsets[c]);
            const V swapped = Ops::swap_parts(a);
            const double* column = columns + 4 * lanes * c;
            for (std::uint32_t b = 0; b < blocks; ++b) {
                const double* p = column + 4 * lanes * D * b;
                acc[b] = Ops::fmadd(Ops::load(p), a, acc[b]);
                acc[b] = Ops::fmadd(Ops::load(p + 2 * lanes), swapped, acc[b]);
            }
        }
        for (std::uint32_t b = 0; b < blocks; ++b) {
            alignas(64) double out[2 * lanes];
            Ops::store(out, acc[b]);
            for (std::uint32_t l = 0; l < lanes; ++l) {
                double* to = at + 2 * shape.offsets[b * lanes + l];
                to[0] = out[2 * l];
                to[1] = out[2 * l + 1];
            }
        }
    }
}

template <class Ops>
void apply_dense_rows(Complex* amplitudes, const WideVectorShape& shape, const double* columns, std::uint64_t first,
                      std::uint64_t last) {
    if (first >= last) return;
    switch (shape.width) {
        case 1: if constexpr (Ops::lanes <= 2) return dense_rows<Ops, 2>(amplitudes, shape, columns, first, last);
                break;
        case 2: return dense_rows<Ops, 4>(amplitudes, shape, columns, first, last);
        case 3: return dense_rows<Ops, 8>(amplitudes, shape, columns, first, last);
        case 4: return dense_rows<Ops, 16>(amplitudes, shape, columns, first, last);
        default: return dense_rows<Ops, 32>(amplitudes, shape, columns, first, last);
    }
}

// A diagonal gate on vectors of consecutive groups: each amplitude times its entry, as the
// scalar loop's complex product (x·u − y·v, x·v + y·u) computed as (x, x)·(u, v) + (−y, y)·(v, u),
// whose (−y)·v is exactly −(y·v). Entries of exactly 1 leave their amplitudes untouched.
template <class Ops>
void apply_diagonal(Complex* amplitudes, const WideVectorShape& shape, const Complex* diagonal, std::uint64_t first,
                    std::uint64_t last) {
    using V = typename Ops::V;
    const std::uint32_t d = 1u << shape.width;
    V re[std::size_t{1} << max_wide_targets];
    V ims[std::size_t{1} << max_wide_targets];
    std::uint32_t changing[std::size_t{1} << max_wide_targets];
    std::uint32_t count = 0;
    for (std::uint32_t c = 0; c < d; ++c) {
        if (exactly_one(diagonal[c])) continue;
        alignas(64) double x[2 * Ops::lanes];
        alignas(64) double y[2 * Ops::lanes];
        for (unsigned l = 0; l < Ops::lanes; ++l) {
            x[2 * l] = x[2 * l + 1] = diagonal[c].real;
            y[2 * l] = -diagonal[c].imag;
            y[2 * l + 1] = diagonal[c].imag;
        }
        re[count] = Ops::load(x);
        ims[count] = Ops::load(y);
        changing[count++] = c;
    }
    if (count == 0 || first >= last) return;
    std::uint64_t v = shape.vectors.at(first);
    for (std::uint64_t u = first; u < last; ++u, v = shape.vectors.next(v)) {
        double* at = reinterpret_cast<double*>(amplitudes + (v << Ops::lane_bits));
        for (std::uint32_t i = 0; i < count; ++i) {
            double* p = at + 2 * shape.offsets[changing[i]];
            const V a = Ops::load(p);
            Ops::store(p, Ops::add(Ops::mul(re[i], a), Ops::mul(ims[i], Ops::swap_parts(a))));
        }
    }
}

// The diagonal pass whose lanes take different entries, for targets or controls among the
// lanes' bits. Each lane computes the product as apply_diagonal does; a lane whose entry is
// exactly 1, or whose controls are not all set, keeps its amplitude's bits (blended back), as
// the scalar loop leaves it untouched.
template <class Ops>
void apply_lane_diagonal(Complex* amplitudes, const WideLaneDiagonalShape& shape, const Complex* diagonal,
                         std::uint64_t first, std::uint64_t last) {
    using V = typename Ops::V;
    using Mask = decltype(Ops::lanes_in(0));
    constexpr std::size_t most = std::size_t{1} << max_wide_targets;
    V re[most];
    V ims[most];
    Mask changes[most];
    std::uint64_t offsets[most];
    std::uint32_t count = 0;
    for (std::uint32_t h = 0; h < shape.combinations; ++h) {
        alignas(64) double x[2 * Ops::lanes];
        alignas(64) double y[2 * Ops::lanes];
        std::uint32_t changing = 0;
        for (unsigned l = 0; l < Ops::lanes; ++l) {
            const int entry = shape.entries[h][l];
            const Complex e = entry < 0 ? Complex{1.0, 0.0} : diagonal[entry];
            if (!exactly_one(e)) changing |= 1u << l;
            x[2 * l] = x[2 * l + 1] = e.real;
            y[2 * l] = -e.imag;
            y[2 * l + 1] = e.imag;
        }
        if (changing == 0) continue;
        re[count] = Ops::load(x);
        ims[count] = Ops::load(y);
        changes[count] = Ops::lanes_in(changing);
        offsets[count++] = shape.offsets[h];
    }
    if (count == 0 || first >= last) return;
    std::uint64_t v = shape.vectors.at(first);
    for (std::uint64_t u = first; u < last; ++u, v = shape.vectors.next(v)) {
        double* at = reinterpret_cast<double*>(amplitudes + (v << Ops::lane_bits));
        for (std::uint32_t i = 0; i < count; ++i) {
            double* p = at + 2 * offsets[i];
            const V a = Ops::load(p);
            const V product = Ops::add(Ops::mul(re[i], a), Ops::mul(ims[i], Ops::swap_parts(a)));
            Ops::store(p, Ops::blend(changes[i], a, product));
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
