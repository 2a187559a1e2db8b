// The gate kernel in AVX-512: four amplitudes per 512-bit vector. Only called after the
// processor was found to support AVX-512F (isa_choice.cpp).
#include "engine/kernels/isa_choice.hpp"
#include "engine/kernels/vector_kernel.hpp"
#include "engine/kernels/wide_pass.hpp"

#if KORVEL_VECTOR_KERNELS

#include <cstdint>

#include <immintrin.h>

// As in avx2.cpp: only this file's own functions are compiled for AVX-512.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f")
// GCC 12 warns about the deliberately undefined vectors inside its own AVX-512 intrinsics.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace korvel {
namespace {

struct Avx512 {
    using V = __m512d;
    static constexpr std::uint32_t lane_bits = avx512_lane_bits;
    static constexpr unsigned lanes = 1u << lane_bits;

    static V load(const double* p) { return _mm512_loadu_pd(p); }
    static void store(double* p, V v) { _mm512_storeu_pd(p, v); }
    // p aligned to the vector size; bypasses the caches.
    static void stream(double* p, V v) { _mm512_stream_pd(p, v); }
    static void fence() { _mm_sfence(); }
    static V mul(V a, V b) { return _mm512_mul_pd(a, b); }
    static V zero() { return _mm512_setzero_pd(); }
    static V add(V a, V b) { return _mm512_add_pd(a, b); }
    // Wide gates only: the one-qubit kernels never fuse.
    static V fmadd(V a, V b, V c) { return _mm512_fmadd_pd(a, b, c); }
    // The two doubles at p in every 128-bit quarter.
    static V broadcast_pair(const double* p) {
        return _mm512_castps_pd(_mm512_broadcast_f32x4(_mm_loadu_ps(reinterpret_cast<const float*>(p))));
    }
    static V swap_parts(V a) { return _mm512_permute_pd(a, 0b01010101); }
    // Lane l and lane l ^ 2^Target trade places.
    template <unsigned Target>
    static V swap_pairs(V a) {
        static_assert(Target <= 1);
        if constexpr (Target == 0) return _mm512_permutex_pd(a, 0x4E);
        else return _mm512_shuffle_f64x2(a, a, 0x4E);
    }
    static __mmask8 lanes_with(std::uint32_t controls) {
        unsigned mask = 0;
        for (unsigned l = 0; l < lanes; ++l) {
            if ((l & controls) == controls) mask |= 3u << (2 * l);
        }
        return static_cast<__mmask8>(mask);
    }
    static __mmask8 lanes_in(std::uint32_t set) {
        unsigned mask = 0;
        for (unsigned l = 0; l < lanes; ++l) {
            if ((set >> l) & 1) mask |= 3u << (2 * l);
        }
        return static_cast<__mmask8>(mask);
    }
    static V blend(__mmask8 keep, V old_value, V new_value) {
        return _mm512_mask_blend_pd(keep, old_value, new_value);
    }
};

}  // namespace
}  // namespace korvel

#include "engine/kernels/vector_kernel_body.hpp"
#include "engine/kernels/wide_kernel_body.hpp"

namespace korvel {

void apply_units_avx512(Complex* amplitudes, const GateMatrix& m, GateKind kind, const VectorShape& shape,
                        std::uint64_t first, std::uint64_t last) {
    vector_kernel::apply_units<Avx512>(amplitudes, m, kind, shape, first, last);
}

void apply_wide_dense_avx512(Complex* amplitudes, const WideVectorShape& shape, const double* pairs,
                             std::uint64_t first, std::uint64_t last) {
    wide_kernel::apply_dense<Avx512>(amplitudes, shape, pairs, first, last);
}

void apply_wide_diagonal_avx512(Complex* amplitudes, const WideVectorShape& shape, const Complex* diagonal,
                              std::uint64_t first, std::uint64_t last) {
    wide_kernel::apply_diagonal<Avx512>(amplitudes, shape, diagonal, first, last);
}

void apply_wide_lane_diagonal_avx512(Complex* amplitudes, const WideLaneDiagonalShape& shape, const Complex* diagonal,
                                     std::uint64_t first, std::uint64_t last) {
    wide_kernel::apply_lane_diagonal<Avx512>(amplitudes, shape, diagonal, first, last);
}

void apply_wide_dense_rows_avx512(Complex* amplitudes, const WideVectorShape& shape, const double* columns,
                                std::uint64_t first, std::uint64_t last) {
    wide_kernel::apply_dense_rows<Avx512>(amplitudes, shape, columns, first, last);
}

}  // namespace korvel

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC diagnostic pop
#pragma GCC pop_options
#endif

#endif  // KORVEL_VECTOR_KERNELS
