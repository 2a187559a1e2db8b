// The gate kernel in AVX2: two amplitudes per 256-bit vector. Only called after the processor
// was found to support AVX2 (isa_choice.cpp), the dense wide-gate kernels only with FMA as well (avx2_has_fma());
// the rest of the program is built for the baseline.
#include "engine/kernels/isa_choice.hpp"
#include "engine/kernels/vector_kernel.hpp"
#include "engine/kernels/wide_pass.hpp"

#if KORVEL_VECTOR_KERNELS

#include <cstdint>

#include <immintrin.h>

// Everything below is compiled for AVX2; all headers it relies on were read above, so no
// function shared with other files is compiled for AVX2 here.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,fma"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,fma")
#endif

namespace korvel {
namespace {

struct Avx2 {
    using V = __m256d;
    static constexpr std::uint32_t lane_bits = avx2_lane_bits;
    static constexpr unsigned lanes = 1u << lane_bits;

    static V load(const double* p) { return _mm256_loadu_pd(p); }
    static void store(double* p, V v) { _mm256_storeu_pd(p, v); }
    // p aligned to the vector size; bypasses the caches.
    static void stream(double* p, V v) { _mm256_stream_pd(p, v); }
    static void fence() { _mm_sfence(); }
    static V mul(V a, V b) { return _mm256_mul_pd(a, b); }
    static V zero() { return _mm256_setzero_pd(); }
    static V add(V a, V b) { return _mm256_add_pd(a, b); }
    // Dense wide gates only, on processors with FMA (avx2_has_fma()): the one-qubit kernels never fuse.
    static V fmadd(V a, V b, V c) { return _mm256_fmadd_pd(a, b, c); }
    // The two doubles at p in both halves.
    static V broadcast_pair(const double* p) { return _mm256_broadcast_pd(reinterpret_cast<const __m128d*>(p)); }
    // (re, im) -> (im, re) in every lane.
    static V swap_parts(V a) { return _mm256_permute_pd(a, 0b0101); }
    template <unsigned Target>
    static V swap_pairs(V a) {
        static_assert(Target == 0);
        return _mm256_permute2f128_pd(a, a, 0x01);
    }
    // All bits set in the doubles of the lanes whose index holds every control bit.
    static V lanes_with(std::uint32_t controls) {
        alignas(32) std::int64_t mask[4];
        for (unsigned l = 0; l < lanes; ++l) mask[2 * l] = mask[2 * l + 1] = (l & controls) == controls ? -1 : 0;
        return _mm256_castsi256_pd(_mm256_load_si256(reinterpret_cast<const __m256i*>(mask)));
    }
    // All bits set in the doubles of lane l for each bit l of `lanes`.
    static V lanes_in(std::uint32_t set) {
        alignas(32) std::int64_t mask[4];
        for (unsigned l = 0; l < lanes; ++l) mask[2 * l] = mask[2 * l + 1] = ((set >> l) & 1) != 0 ? -1 : 0;
        return _mm256_castsi256_pd(_mm256_load_si256(reinterpret_cast<const __m256i*>(mask)));
    }
    static V blend(V keep, V old_value, V new_value) { return _mm256_blendv_pd(old_value, new_value, keep); }
};

}  // namespace
}  // namespace korvel

#include "engine/kernels/vector_kernel_body.hpp"
#include "engine/kernels/wide_kernel_body.hpp"

namespace korvel {

void apply_units_avx2(Complex* amplitudes, const GateMatrix& m, GateKind kind, const VectorShape& shape,
                      std::uint64_t first, std::uint64_t last) {
    vector_kernel::apply_units<Avx2>(amplitudes, m, kind, shape, first, last);
}

void apply_wide_dense_avx2(Complex* amplitudes, const WideVectorShape& shape, const double* pairs,
                           std::uint64_t first, std::uint64_t last) {
    wide_kernel::apply_dense<Avx2>(amplitudes, shape, pairs, first, last);
}

void apply_wide_diagonal_avx2(Complex* amplitudes, const WideVectorShape& shape, const Complex* diagonal,
                              std::uint64_t first, std::uint64_t last) {
    wide_kernel::apply_diagonal<Avx2>(amplitudes, shape, diagonal, first, last);
}

void apply_wide_lane_diagonal_avx2(Complex* amplitudes, const WideLaneDiagonalShape& shape, const Complex* diagonal,
                                   std::uint64_t first, std::uint64_t last) {
    wide_kernel::apply_lane_diagonal<Avx2>(amplitudes, shape, diagonal, first, last);
}

void apply_wide_dense_rows_avx2(Complex* amplitudes, const WideVectorShape& shape, const double* columns,
                                std::uint64_t first, std::uint64_t last) {
    wide_kernel::apply_dense_rows<Avx2>(amplitudes, shape, columns, first, last);
}

}  // namespace korvel

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif  // KORVEL_VECTOR_KERNELS
