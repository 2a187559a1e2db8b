#pragma once

#include <cstddef>
#include <exception>
#include <source_location>
#include <string>
#include <string_view>

namespace korvel {

// An operation abandoned with a message. Raised only through fail(), which has already written
// the failure notice by the time the exception exists; whoever catches it (a parallel pass
// carrying it to the caller, the Python entry wrapper) writes nothing more.
class InternalFailure : public std::exception {
public:
    explicit InternalFailure(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

// The amplitudes (or another large block) could not be allocated. Not an internal failure:
// no notice is written, and the binding raises MemoryError with message().
class AllocationFailure : public std::exception {
public:
    explicit AllocationFailure(std::size_t bytes);
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    std::size_t bytes() const noexcept { return bytes_; }

private:
    std::size_t bytes_;
    std::string message_;
};

// Writes the failure notice (messages::failure_notice) to fd 2, with the one-time backtrace hint
// and, when KORVEL_BACKTRACE asks for it, a backtrace.
// Never throws: a notice that cannot be written (no memory, no stderr) is dropped.
void write_failure_notice(std::string_view message, std::source_location where) noexcept;

// Writes the failure notice, then throws InternalFailure(message).
[[noreturn]] void fail(std::string message,
                       std::source_location where = std::source_location::current());

// fail() with the message of a failed unwrap: messages::unwrap_failed, then the error's name.
[[noreturn]] void fail_unwrap(std::string_view error,
                              std::source_location where = std::source_location::current());

// Throws InternalFailure(message) without writing a notice: for a failure whose notice was
// already written elsewhere (a failure resumed from Python code).
[[noreturn]] void fail_quietly(std::string message);

}  // namespace korvel
