// The texts the engine fixes: the messages of its internal failures and exhausted memory, and
// the lines it writes to standard error. Plain C++, shared by the engine and both bindings; the
// texts only the korvel module's binding produces are in binding/messages.hpp.
//
// These texts are part of the interface: callers and tests match them byte for byte. Do not
// reword them, not even their spelling or punctuation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <source_location>
#include <span>
#include <string>
#include <string_view>

namespace korvel::messages {

// ---- Internal failures of the engine (PanicException in Python) ----

inline constexpr char matrix_shape[] = "Only support single gate. Matrix size must be 2 by 2";
inline constexpr char matrix_not_unitary[] = "Matrix is not unitary";
inline constexpr char target_outside_range[] = "Target(s) outside qubit range";
inline constexpr char range_overflow[] = "Uniform::new: range overflow";

inline std::string too_many_qubits(std::uint32_t limit) {
    return "Number of qubits must be less than " + std::to_string(limit);
}

inline std::string index_out_of_bounds(std::uint64_t length, std::uint64_t index) {
    return "index out of bounds: the len is " + std::to_string(length) + " but the index is " +
           std::to_string(index);
}

inline std::string stderr_write_failed(std::string_view reason) {
    return std::string("failed printing to stderr: ").append(reason);
}

inline std::string entropy_unavailable(std::string_view reason) {
    return std::string("could not initialize thread_rng: ").append(reason);
}

// A failed unwrap is this prefix followed by the name of the error (fail_unwrap).
inline constexpr char unwrap_failed[] = "called `Result::unwrap()` on an `Err` value: ";
inline constexpr char poison_error[] = "PoisonError { .. }";
inline constexpr char no_item[] = "NoItem";
inline constexpr char invalid_weight[] = "InvalidWeight";
inline constexpr char all_weights_zero[] = "AllWeightsZero";

// ---- Exhausted memory (MemoryError in Python) ----

inline std::string allocation_failed(std::size_t bytes) {
    return "memory allocation of " + std::to_string(bytes) + " bytes failed";
}

// ---- Standard error ----

// The failure notice, one line, written before an internal failure reaches the caller.
inline std::string failure_notice(std::string_view message, std::source_location where) {
    std::string notice;
    notice.reserve(message.size() + 96);
    notice += "thread '<unnamed>' panicked at '";
    notice += message;
    notice += "', ";
    notice += where.file_name();
    notice += ':';
    notice += std::to_string(where.line());
    notice += ':';
    notice += std::to_string(where.column());
    notice += '\n';
    return notice;
}

// After the first notice of the process, and before a requested backtrace.
inline constexpr char backtrace_hint[] =
    "note: set KORVEL_BACKTRACE=1 to print a native backtrace with each failure notice\n";
inline constexpr char backtrace_head[] = "stack backtrace:\n";

// The block written before "Matrix is not unitary": the head line, then each of the four checks
// between the indent and the line end, then the closing line.
inline constexpr char unitarity_block_head[] =
    "[src\\things\\mod:38] (check1, check2, check3.real, check4.real) = (\n";
inline constexpr char unitarity_block_indent[] = "    ";
inline constexpr char unitarity_block_line_end[] = ",\n";
inline constexpr char unitarity_block_tail[] = ")\n";

}  // namespace korvel::messages
