#include "engine/base/stderr_output.hpp"

#include <cerrno>
#include <unistd.h>

namespace korvel {

int write_stderr(std::string_view text) noexcept {
    const char* next = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t written = ::write(STDERR_FILENO, next, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (written == 0) return EIO;  // a regular write never does this; do not spin on it
        next += written;
        left -= static_cast<std::size_t>(written);
    }
    return 0;
}

}  // namespace korvel
