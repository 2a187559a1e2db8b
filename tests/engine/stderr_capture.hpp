#pragma once

#include <cstdio>
#include <fcntl.h>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace korvel::testing {

// Points file descriptor 2 somewhere else for the lifetime of the object, so a test can see the
// exact bytes the engine writes there (or make those writes fail), then puts it back.
class RedirectedStderr {
public:
    // Captures into an anonymous temporary file.
    RedirectedStderr() : RedirectedStderr(std::tmpfile()) {}

    // Makes every write to fd 2 fail with EBADF, as on a stream that cannot be written.
    static RedirectedStderr unwritable() {
        return RedirectedStderr(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    }

    RedirectedStderr(const RedirectedStderr&) = delete;
    RedirectedStderr& operator=(const RedirectedStderr&) = delete;
    RedirectedStderr(RedirectedStderr&& other) noexcept
        : saved_(other.saved_), file_(other.file_), fd_(other.fd_) {
        other.saved_ = -1;
        other.file_ = nullptr;
        other.fd_ = -1;
    }

    ~RedirectedStderr() {
        restore();
        if (file_ != nullptr) std::fclose(file_);
        else if (fd_ >= 0) ::close(fd_);
    }

    // Everything written to fd 2 so far; the redirection stays in place.
    std::string text() const {
        std::string out;
        if (file_ == nullptr) return out;
        const off_t end = ::lseek(fd_, 0, SEEK_END);
        out.resize(static_cast<std::size_t>(end));
        std::size_t done = 0;
        while (done < out.size()) {
            const ssize_t n = ::pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(done));
            if (n <= 0) throw std::runtime_error("reading captured stderr failed");
            done += static_cast<std::size_t>(n);
        }
        return out;
    }

    void restore() {
        if (saved_ < 0) return;
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
        saved_ = -1;
    }

private:
    explicit RedirectedStderr(std::FILE* file) : RedirectedStderr(file ? ::fileno(file) : -1) {
        file_ = file;
    }
    explicit RedirectedStderr(int fd) : fd_(fd) {
        if (fd_ < 0) throw std::runtime_error("cannot open a stand-in for stderr");
        std::fflush(stderr);
        saved_ = ::dup(STDERR_FILENO);
        ::dup2(fd_, STDERR_FILENO);
    }

    int saved_ = -1;
    std::FILE* file_ = nullptr;
    int fd_ = -1;
};

// The line the engine adds after the first failure notice of the process.
inline constexpr const char* backtrace_hint =
    "note: set KORVEL_BACKTRACE=1 to print a native backtrace with each failure notice\n";

// Captured text with the one-time hint removed, since which test sees it depends on test order.
inline std::string without_hint(std::string text) {
    const std::string hint = backtrace_hint;
    if (const auto at = text.find(hint); at != std::string::npos) text.erase(at, hint.size());
    return text;
}

}  // namespace korvel::testing
