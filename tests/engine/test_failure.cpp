#include <gtest/gtest.h>

#include <cstdlib>
#include <source_location>
#include <string>

#include "engine/base/failure.hpp"
#include "engine/base/stderr_output.hpp"
#include "stderr_capture.hpp"

namespace {

using korvel::InternalFailure;
using korvel::testing::backtrace_hint;
using korvel::testing::RedirectedStderr;
using korvel::testing::without_hint;

std::string expected_notice(const std::string& message, const std::source_location& where) {
    return "thread '<unnamed>' panicked at '" + message + "', " + where.file_name() + ":" +
           std::to_string(where.line()) + ":" + std::to_string(where.column()) + "\n";
}

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

TEST(Fail, WritesNoticeWithProjectRelativePositionThenThrows) {
    RedirectedStderr captured;
    const auto here = std::source_location::current();
    try {
        korvel::fail("Target(s) outside qubit range", here);
        FAIL() << "fail() returned";
    } catch (const InternalFailure& failure) {
        EXPECT_EQ(failure.message(), "Target(s) outside qubit range");
        EXPECT_STREQ(failure.what(), "Target(s) outside qubit range");
    }
    EXPECT_EQ(std::string(here.file_name()), "tests/engine/test_failure.cpp");
    EXPECT_EQ(without_hint(captured.text()), expected_notice("Target(s) outside qubit range", here));
}

TEST(Fail, DefaultPositionIsTheCaller) {
    RedirectedStderr captured;
    const unsigned line = std::source_location::current().line() + 1;
    EXPECT_THROW(korvel::fail("x"), InternalFailure);
    const std::string prefix = "thread '<unnamed>' panicked at 'x', tests/engine/test_failure.cpp:" +
                               std::to_string(line) + ":";
    EXPECT_EQ(without_hint(captured.text()).rfind(prefix, 0), 0u) << captured.text();
}

TEST(Fail, StillThrowsWhenStderrCannotBeWritten) {
    auto unwritable = RedirectedStderr::unwritable();
    EXPECT_THROW(korvel::fail("nowhere to write"), InternalFailure);
}

TEST(FailQuietly, ThrowsWithoutWriting) {
    RedirectedStderr captured;
    try {
        korvel::fail_quietly("resumed");
        FAIL() << "fail_quietly() returned";
    } catch (const InternalFailure& failure) {
        EXPECT_EQ(failure.message(), "resumed");
    }
    EXPECT_EQ(captured.text(), "");
}

TEST(AllocationFailure, CarriesSizeAndMessage) {
    const korvel::AllocationFailure failure(8589934592u);
    EXPECT_EQ(failure.bytes(), 8589934592u);
    EXPECT_EQ(failure.message(), "memory allocation of 8589934592 bytes failed");
    EXPECT_STREQ(failure.what(), "memory allocation of 8589934592 bytes failed");
}

TEST(WriteStderr, WritesEveryByteAndReportsTheError) {
    std::string text(3 << 20, 'k');
    text.back() = '\n';
    {
        RedirectedStderr captured;
        EXPECT_EQ(korvel::write_stderr(text), 0);
        EXPECT_EQ(captured.text(), text);
    }
    auto unwritable = RedirectedStderr::unwritable();
    EXPECT_EQ(korvel::write_stderr("x"), EBADF);
}

// The hint and the backtrace depend on process-wide state (the first failure, the environment),
// so these run in a fresh process of their own.

// Runs two failures with fd 2 captured; returns what was written.
std::string two_failures() {
    RedirectedStderr captured;
    for (const char* message : {"first", "second"}) {
        try {
            korvel::fail(message);
        } catch (const InternalFailure&) {
        }
    }
    return captured.text();
}

class FreshProcess : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(FreshProcess, HintFollowsOnlyTheFirstNotice) {
    EXPECT_EXIT(
        {
            ::unsetenv("KORVEL_BACKTRACE");
            const std::string written = two_failures();
            const std::size_t first_end = written.find('\n') + 1;
            const bool ok = occurrences(written, backtrace_hint) == 1 &&
                            written.compare(first_end, std::string(backtrace_hint).size(),
                                            backtrace_hint) == 0 &&
                            occurrences(written, "panicked at") == 2 &&
                            occurrences(written, "stack backtrace") == 0;
            std::_Exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(FreshProcess, BacktraceVariableMakesTheHintTrue) {
    EXPECT_EXIT(
        {
            ::setenv("KORVEL_BACKTRACE", "1", 1);
            const std::string written = two_failures();
            // Each notice is followed by its own backtrace: frames print as "...[0x...]".
            const bool ok = occurrences(written, "stack backtrace:\n") == 2 &&
                            occurrences(written, "[0x") >= 4 &&
                            written.rfind("thread '<unnamed>' panicked at 'first'", 0) == 0;
            std::_Exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(FreshProcess, BacktraceVariableSetToZeroOrEmptyIsOff) {
    EXPECT_EXIT(
        {
            bool ok = true;
            for (const char* value : {"0", ""}) {
                ::setenv("KORVEL_BACKTRACE", value, 1);
                ok = ok && occurrences(two_failures(), "stack backtrace") == 0;
            }
            std::_Exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
