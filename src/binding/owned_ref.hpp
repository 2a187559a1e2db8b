// The binding's RAII holds: OwnedRef, the owner of one Python reference, and the borrow flag
// with its two holds, which keep an instance from being changed while another operation uses it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <utility>

namespace korvel::binding {

// Sole owner of one strong reference (or of nothing). Borrowed references stay plain pointers;
// everything the binding creates or receives as a new reference lives in one of these, so every
// way out of a call, a C++ exception included, drops what it holds.
class OwnedRef {
public:
    OwnedRef() noexcept = default;
    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    OwnedRef(OwnedRef&& other) noexcept : ptr_(other.release()) {}
    OwnedRef& operator=(OwnedRef&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~OwnedRef() { Py_XDECREF(ptr_); }

    // Takes over a new reference (as returned by most C API calls); null is allowed.
    static OwnedRef steal(PyObject* ptr) noexcept { return OwnedRef(ptr); }
    // Adds a reference of its own to a borrowed pointer.
    static OwnedRef borrow(PyObject* ptr) noexcept {
        Py_XINCREF(ptr);
        return OwnedRef(ptr);
    }

    PyObject* get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

    // Hands the reference to the caller (for functions that steal, and for return values).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }

    void reset(PyObject* ptr = nullptr) noexcept {
        PyObject* old = std::exchange(ptr_, ptr);
        Py_XDECREF(old);
    }

private:
    explicit OwnedRef(PyObject* ptr) noexcept : ptr_(ptr) {}
    PyObject* ptr_ = nullptr;
};

// Who is using an instance right now: 0 free, -1 one operation that changes it, n > 0 that
// many operations that only read it. A plain counter: the interpreter lock guards it.
struct BorrowFlag {
    std::int64_t value = 0;
};

// RuntimeError with the fixed texts, thrown as PythonErrorSet (errors.cpp).
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
