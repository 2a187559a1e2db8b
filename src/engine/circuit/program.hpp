#pragma once

// A circuit program: the steps the runner executes, decoded and validated from the 104-byte
// little-endian records its callers build (see decode_program for the layout).

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/gates/gate.hpp"

namespace korvel::circuit {

inline constexpr std::size_t step_size = 104;
inline constexpr std::uint32_t max_clbits = 64;

enum class StepKind : std::uint32_t { gate = 0, measure = 1, reset = 2 };

struct Step {
    StepKind kind;
    std::uint32_t target;
    std::uint64_t controls;    // gate steps only
    std::uint64_t cond_mask;   // the step runs when (clbits & cond_mask) == cond_value
    std::uint64_t cond_value;
    std::uint32_t clbit;       // measure steps only
    QGate gate;                // gate steps only; the identity elsewhere

    bool runs_on(std::uint64_t clbits) const noexcept { return (clbits & cond_mask) == cond_value; }
    bool conditional() const noexcept { return cond_mask != 0; }
};

// Decodes and validates a program for a register of `qubits` qubits (at most 29) and `clbits`
// classical bits (at most 64). Record k occupies bytes [104k, 104k + 104):
//
//   offset  0  u32  kind        0 gate, 1 measure, 2 reset
//           4  u32  target      < qubits
//           8  u64  controls    gate: mask of control qubits, below 2^qubits, target bit clear;
//                               0 for other kinds
//          16  u64  cond_mask   classical bits the step is conditioned on, below 2^clbits
//          24  u64  cond_value  no bit outside cond_mask
//          32  u32  clbit       measure: < clbits; 0 for other kinds
//          36  u32  reserved    0
//          40  8 × f64          gate: M00, M01, M10, M11 as (real, imaginary), all finite
//
// Matrices are taken as given (no unitarity test). With `gates_only`, for entry points that
// evolve one state without classical bits, a measure or reset step and a condition are refused
// too. Throws InvalidInput("step K: ...") naming the first record and field at fault, or
// AllocationFailure. Any byte string is a valid input to this function.
enum class Steps { any, gates_only };
std::vector<Step> decode_program(std::span<const std::byte> bytes, std::uint32_t qubits,
                                 std::uint32_t clbits, Steps allowed = Steps::any);

}  // namespace korvel::circuit
