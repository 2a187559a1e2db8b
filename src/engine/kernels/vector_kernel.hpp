#pragma once

#include <array>
#include <cstdint>

#include "engine/base/complex.hpp"
#include "engine/gates/gate_kind.hpp"
#include "engine/kernels/subset_indices.hpp"

namespace korvel {

// A gate pass laid out for vectors of 2^lane_bits amplitudes. A unit of work is one vector,
// holding whole pairs, when the target lies below lane_bits, else a vector and its partner
// vector (the same lanes with the target bit set), two streams through memory.
struct VectorShape {
    SubsetIndices vectors;        // vector index of each unit's (first) vector
    std::uint64_t partner;        // offset to the partner vector; 0 for pairs inside a vector
    std::uint32_t target;
    std::uint32_t lane_controls;  // control bits below lane_bits: lanes lacking one keep their value
    bool stream_zeros;            // zeros written over whole cache lines bypass the caches
    bool prefetch;                // the state is larger than a core's caches: fetch ahead
};

// A half that becomes zero (a measurement collapse) is written with streaming stores when the
// state is larger than the caches and its runs cover whole 4 KiB pages: the lines are then not
// read first. Measured at 24 qubits, the collapse at targets 12 and 23 fell from 0.9-1.2 to
// 0.76-0.93 sweeps; with runs of single lines (target 2), interleaved with the surviving half,
// the lines beside those read were fetched and then evicted, 1.3-1.5 sweeps against 1.15.
// Passes over smaller states (and over cache-sized blocks) keep their lines in cache for the
// next pass.
inline constexpr std::uint32_t streaming_qubits = 21;
inline constexpr std::uint64_t amplitudes_per_page = 256;

// Passes over 2^16 amplitudes (1 MiB) and more fetch ahead of the hardware's prefetcher (see
// PrefetchAhead). Smaller states, and the cache-sized blocks of a gate sequence, are in a
// core's caches already: there the fetches and the per-unit index steps were the cost. Walked
// run by run without them, a real gate on 2^11 amplitudes went from 0.41-0.48 to 0.24-0.31 ns
// per amplitude, and on 2^15 from 0.36-0.43 to 0.34 (one thread, AVX-512, Xeon 2.6 GHz).
inline constexpr std::uint32_t prefetch_qubits = 16;

// qubits >= lane_bits; target < qubits; controls hold neither the target nor bits >= qubits.
inline VectorShape vector_shape(std::uint32_t qubits, std::uint32_t target,
                                std::uint64_t controls, std::uint32_t lane_bits) {
    const std::uint64_t high_controls = controls >> lane_bits;
    const std::uint64_t partner = target >= lane_bits ? std::uint64_t{1} << (target - lane_bits) : 0;
    const auto lane_controls = static_cast<std::uint32_t>(controls & ((std::uint64_t{1} << lane_bits) - 1));
    const bool whole_pages = (partner << lane_bits) >= amplitudes_per_page && lane_controls == 0;
    return {SubsetIndices(qubits - lane_bits, partner | high_controls, high_controls), partner,
            target, lane_controls, whole_pages && qubits >= streaming_qubits, qubits >= prefetch_qubits};
}

using GateMatrix = std::array<Complex, 4>;

// The pair updates of units [first, last) in the kernel for `kind`, bit for bit those of
// apply_pairs_scalar but for the signs of zeros. Call only when supported_isa() allows it.
inline constexpr std::uint32_t avx2_lane_bits = 1;
inline constexpr std::uint32_t avx512_lane_bits = 2;
void apply_units_avx2(Complex* amplitudes, const GateMatrix& m, GateKind kind, const VectorShape& shape,
                      std::uint64_t first, std::uint64_t last);
void apply_units_avx512(Complex* amplitudes, const GateMatrix& m, GateKind kind, const VectorShape& shape,
                        std::uint64_t first, std::uint64_t last);

}  // namespace korvel
