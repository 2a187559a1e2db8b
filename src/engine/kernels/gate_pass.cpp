// A gate pass cut into units for the chosen kernel, and the dispatch to that kernel.
#include "engine/kernels/gate_pass.hpp"

namespace korvel {

namespace {

std::uint32_t lane_bits(KernelIsa isa) {
    switch (isa) {
        case KernelIsa::avx512: return avx512_lane_bits;
        case KernelIsa::avx2: return avx2_lane_bits;
        case KernelIsa::scalar: break;
    }
    return 0;
}

// A register smaller than one vector takes the scalar loop, and so does every pass of a build
// without vector kernels: units are counted for the kernel that run() dispatches to.
KernelIsa usable_isa(KernelIsa isa, std::uint32_t qubits) {
    if (!KORVEL_VECTOR_KERNELS) return KernelIsa::scalar;
    if (isa == KernelIsa::avx512 && qubits < avx512_lane_bits) isa = KernelIsa::avx2;
    if (isa == KernelIsa::avx2 && qubits < avx2_lane_bits) isa = KernelIsa::scalar;
    return isa;
}

}  // namespace

GatePass::GatePass(std::uint32_t qubits, std::uint32_t target, std::uint64_t controls, GateKind kind,
                   KernelIsa isa)
    : kind_(kind),
      isa_(usable_isa(isa, qubits)),
      pairs_(qubits, target, controls),
      vectors_(vector_shape(qubits, target, controls, lane_bits(isa_))) {}

std::uint64_t GatePass::units() const noexcept {
    return isa_ == KernelIsa::scalar ? pairs_.count() : vectors_.vectors.count();
}

std::uint64_t GatePass::amplitudes_per_unit() const noexcept {
    if (isa_ == KernelIsa::scalar) return 2;
    const std::uint64_t lanes = std::uint64_t{1} << lane_bits(isa_);
    return vectors_.partner != 0 ? 2 * lanes : lanes;
}

void GatePass::run(Complex* amplitudes, const GateMatrix& m, std::uint64_t first,
                   std::uint64_t last) const {
    switch (isa_) {
#if KORVEL_VECTOR_KERNELS
        case KernelIsa::avx512: return apply_units_avx512(amplitudes, m, kind_, vectors_, first, last);
        case KernelIsa::avx2: return apply_units_avx2(amplitudes, m, kind_, vectors_, first, last);
#endif
        default: return apply_pairs_scalar(amplitudes, m, kind_, pairs_, first, last);
    }
}

}  // namespace korvel
