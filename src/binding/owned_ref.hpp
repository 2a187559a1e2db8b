#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

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

}  // namespace korvel::binding
