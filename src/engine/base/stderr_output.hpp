#pragma once

#include <string_view>

namespace korvel {

// Writes the whole text to file descriptor 2 (the process's standard error, not any buffered
// stream of the host), retrying short writes and EINTR. Returns 0 on success, else the errno.
int write_stderr(std::string_view text) noexcept;

}  // namespace korvel
