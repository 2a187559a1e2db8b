#include "engine/base/failure.hpp"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <execinfo.h>
#include <string_view>
#include <unistd.h>

#include "engine/base/messages.hpp"
#include "engine/base/stderr_output.hpp"

namespace korvel {

namespace {

constexpr std::string_view backtrace_variable = "KORVEL_BACKTRACE";

std::atomic<bool> hint_written{false};

bool backtrace_requested() {
    const char* value = std::getenv(backtrace_variable.data());
    return value != nullptr && value[0] != '\0' && std::strcmp(value, "0") != 0;
}

void write_backtrace() {
    constexpr int max_frames = 128;
    void* frames[max_frames];
    const int count = ::backtrace(frames, max_frames);
    // The first frame is this function; the caller wants to see where fail() was called from.
    write_stderr(messages::backtrace_head);
    if (count > 1) ::backtrace_symbols_fd(frames + 1, count - 1, STDERR_FILENO);
}

}  // namespace

AllocationFailure::AllocationFailure(std::size_t bytes)
    : bytes_(bytes), message_(messages::allocation_failed(bytes)) {}

void write_failure_notice(std::string_view message, std::source_location where) noexcept {
    try {
        std::string notice = messages::failure_notice(message, where);
        if (!hint_written.exchange(true, std::memory_order_relaxed)) notice += messages::backtrace_hint;
        // If standard error itself cannot be written there is nowhere left to report that; the
        // failure still reaches the caller.
        (void)write_stderr(notice);
        if (backtrace_requested()) write_backtrace();
    } catch (...) {
        // No memory for the notice: the failure itself still reaches the caller.
    }
}

void fail(std::string message, std::source_location where) {
    write_failure_notice(message, where);
    throw InternalFailure(std::move(message));
}

void fail_unwrap(std::string_view error, std::source_location where) {
    fail(std::string(messages::unwrap_failed).append(error), where);
}

void fail_quietly(std::string message) { throw InternalFailure(std::move(message)); }

}  // namespace korvel
