#pragma once

// Results as NumPy arrays, made by calling numpy.empty at run time (no NumPy headers at build
// time) and filled through the buffer protocol.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <span>

#include "binding/owned_ref.hpp"

namespace korvel::runner {

enum class ElementType { float64, complex128, uint64 };

// A new one-dimensional array, uninitialised, with a writable view of its memory held until the
// object is destroyed. MemoryError("memory allocation of N bytes failed") when it cannot be had.
class NewArray {
public:
    NewArray(std::uint64_t length, ElementType type);
    ~NewArray();
    NewArray(const NewArray&) = delete;
    NewArray& operator=(const NewArray&) = delete;

    template <class T>
    std::span<T> elements() const noexcept {
        return {static_cast<T*>(view_.buf), static_cast<std::size_t>(view_.len) / sizeof(T)};
    }

    // Releases the view and hands the array to the caller.
    PyObject* release() noexcept;

private:
    binding::OwnedRef array_;
    Py_buffer view_{};
    bool viewing_ = false;
};

}  // namespace korvel::runner
