#pragma once

// A circuit program: the steps the runner executes, decoded and validated from the little-endian
// bytes its callers build, in either of two forms (see decode_program for both layouts).

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "engine/gates/gate.hpp"
#include "engine/gates/wide_gate.hpp"

namespace korvel::circuit {

inline constexpr std::size_t step_size = 104;

// The self-describing form: a header, then records of wide_step_size bytes, then the matrix
// entries they point into.
inline constexpr std::uint32_t wide_program_magic = 0x4C56524B;  // "KRVL"
inline constexpr std::uint32_t wide_program_version = 2;
inline constexpr std::size_t wide_header_size = 16;
inline constexpr std::size_t wide_step_size = 64;
inline constexpr std::uint32_t max_clbits = 64;

enum class StepKind : std::uint32_t { gate = 0, measure = 1, reset = 2, jump = 3, set = 4 };

// Iterations of one loop a shot may run before the run is refused, unless a caller says
// otherwise: a loop that never ends stops with an error instead of hanging.
inline constexpr std::uint64_t default_max_loop_iterations = 1000;

struct Step {
    StepKind kind;
    std::uint32_t target;      // the first (for a one-qubit gate, the only) target
    std::uint64_t controls;    // gate steps only
    std::uint64_t cond_mask;   // the step runs when (clbits & cond_mask) == cond_value
    std::uint64_t cond_value;
    std::uint32_t clbit;       // measure and set steps only
    QGate gate;                // one-qubit gate steps; the identity elsewhere
    std::shared_ptr<const WideGate> wide;  // gate steps on two or more targets; null elsewhere
    std::uint64_t jump_to = 0;  // jump steps: the step a shot continues at (up to the step count)
    std::uint32_t loop = 0;     // jump steps: the loop whose iterations the jump counts or ends
    std::uint32_t value = 0;    // set steps: the value, 0 or 1, written into `clbit`

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
// The self-describing form starts with a 16-byte header:
//
//   offset  0  u32  magic       0x4C56524B ("KRVL" in memory order)
//           4  u32  version     2
//           8  u32  steps       S
//          12  u32  entries     E, the matrix entries after the records
//
// then S records of 64 bytes, then E complex entries of 16 bytes (real, imaginary), and nothing
// after them. Record k, at 16 + 64k:
//
//   offset  0  u32  kind        0 gate, 1 measure, 2 reset, 3 jump, 4 set
//           4  u32  width       gate: number of targets, 1 to 5; measure and reset: 1; jump, set: 0
//           8  8 × u8 targets   targets[j] < qubits for j < width, distinct; the rest 0. Bit j of
//                               a row or column of the matrix is the value of qubit targets[j]
//          16  u64  controls    gate: mask below 2^qubits, no target bit; 0 for other kinds
//          24  u64  cond_mask   as above
//          32  u64  cond_value
//          40  u32  clbit       measure, set: < clbits; jump: its loop, < S; 0 for other kinds
//          44  u32  reserved    0
//          48  u64  matrix      gate: its 4^width entries are entries [matrix, matrix + 4^width),
//                               row-major, all finite; jump: the step J it continues at, J <= S
//                               and J != k; set: the value written, 0 or 1; 0 for other kinds
//          56  u64  reserved    0
//
// A step may share its entries with others; parameter sweeps rewrite the entries alone.
//
// A jump step whose condition holds moves the shot to step J (J = S: past the last step)
// instead of the next one. Going back (J < k) is an iteration of its loop, which counts
// against the shot's limit for that loop; going forward past the last backward jump of its
// loop leaves the loop and sets its count back to 0. Its targets and controls are 0. Only the
// self-describing form has jumps.
//
// A set step whose condition holds writes its value into classical bit `clbit`, so a program can
// compute classical values at run time (a loop's variables, a condition taken once). Its targets
// and controls are 0. Only the self-describing form has set steps; they came after version 2's
// jumps without a new version number, since a reader of version 2 that predates them refuses
// kind 4 by name rather than misreading it.
//
// Matrices are taken as given (no unitarity test). With `gates_only`, for entry points that
// evolve one state without classical bits, a measure, reset, jump or set step and a condition are refused
// too. Throws InvalidInput("step K: ...") naming the first record and field at fault
// ("header: ..." for the header), or AllocationFailure. Any byte string is a valid input to this
// function.
enum class Steps { any, gates_only };
std::vector<Step> decode_program(std::span<const std::byte> bytes, std::uint32_t qubits,
                                 std::uint32_t clbits, Steps allowed = Steps::any);

}  // namespace korvel::circuit
