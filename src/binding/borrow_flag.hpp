#pragma once

#include <cstdint>

namespace korvel::binding {

// Who is using an instance right now: 0 free, -1 one operation that changes it, n > 0 that
// many operations that only read it. A plain counter: the interpreter lock guards it.
struct BorrowFlag {
    std::int64_t value = 0;
};

[[noreturn]] void throw_already_borrowed();
[[noreturn]] void throw_already_mutably_borrowed();

// Holds an instance for an operation that changes it; refused unless the instance is free.
class ExclusiveHold {
public:
    explicit ExclusiveHold(BorrowFlag& flag) : flag_(flag) {
        if (flag_.value != 0) throw_already_borrowed();
        flag_.value = -1;
    }
    ~ExclusiveHold() { flag_.value = 0; }
    ExclusiveHold(const ExclusiveHold&) = delete;
    ExclusiveHold& operator=(const ExclusiveHold&) = delete;

private:
    BorrowFlag& flag_;
};

// Holds an instance for an operation that only reads it; refused while it is held exclusively.
class SharedHold {
public:
    explicit SharedHold(BorrowFlag& flag) : flag_(flag) {
        if (flag_.value == -1) throw_already_mutably_borrowed();
        ++flag_.value;
    }
    ~SharedHold() { --flag_.value; }
    SharedHold(const SharedHold&) = delete;
    SharedHold& operator=(const SharedHold&) = delete;

private:
    BorrowFlag& flag_;
};

}  // namespace korvel::binding
