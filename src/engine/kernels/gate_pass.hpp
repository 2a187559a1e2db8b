#pragma once

#include <cstdint>

#include "engine/base/complex.hpp"
#include "engine/gates/gate_kind.hpp"
#include "engine/kernels/isa_choice.hpp"
#include "engine/kernels/scalar_kernel.hpp"
#include "engine/kernels/vector_kernel.hpp"

namespace korvel {

// One gate pass (a target, the control bits) over 2^qubits amplitudes, cut into units of work
// for the kernel of one instruction set: amplitude pairs for the scalar loop, vectors or vector
// pairs for the SIMD kernels, each in the kernel for the gate's kind. Every kernel yields the
// same bits but for the signs of zeros.
class GatePass {
public:
    // target < qubits; controls hold neither the target's bit nor bits at or above qubits;
    // kind is that of every matrix run() is given (QGate::kind()).
    GatePass(std::uint32_t qubits, std::uint32_t target, std::uint64_t controls,
             GateKind kind = GateKind::general, KernelIsa isa = active_isa());

    std::uint64_t units() const noexcept;
    // Amplitudes a unit reads and writes, for sizing the pieces a pass is split into.
    std::uint64_t amplitudes_per_unit() const noexcept;

    // The pair updates of units [first, last).
    void run(Complex* amplitudes, const GateMatrix& m, std::uint64_t first, std::uint64_t last) const;

private:
    GateKind kind_;
    KernelIsa isa_;
    PairLayout pairs_;
    VectorShape vectors_;
};

}  // namespace korvel
