#pragma once

#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

// Every refused input makes the engine write a failure notice (and, for the unitarity test, a
// diagnostic block) straight to file descriptor 2; millions of them would bury the fuzzer's own
// report. run.sh passes -close_fd_mask=2, which makes libFuzzer keep a duplicate of fd 2 for its
// messages and the sanitizer reports before pointing fd 2 at /dev/null. When a target is started
// by hand without that flag, it does the same itself: sanitizer reports keep the real stream,
// only libFuzzer's progress lines are lost with the engine's notices.
namespace korvel_fuzz {

// A duplicate of the original fd 2, taken before anyone redirects it: the targets write their own
// findings there.
inline int report_fd = 2;

inline void silence_engine_stderr(int argc, char** argv) {
    report_fd = ::dup(2);
    if (report_fd < 0) report_fd = 2;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "-close_fd_mask=", 15) == 0) return;
    }
    int null_fd = ::open("/dev/null", O_WRONLY);
    if (null_fd < 0) return;
    __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<std::intptr_t>(report_fd)));
    ::dup2(null_fd, 2);
    ::close(null_fd);
}

}  // namespace korvel_fuzz
