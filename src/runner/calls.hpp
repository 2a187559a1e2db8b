#pragma once

// How every function of the runner module meets the interpreter: C++ exceptions become Python
// exceptions at the boundary, and engine work runs with the interpreter lock released.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <exception>
#include <new>

#include "engine/circuit/invalid_input.hpp"
#include "engine/base/failure.hpp"

namespace korvel::runner {

// Thrown once a Python exception is set as the current one.
struct PythonErrorSet {};

// Sets a Python exception from a format string (PyErr_Format) and throws PythonErrorSet.
[[noreturn]] void raise_error(PyObject* type, const char* format, ...);

// Throws PythonErrorSet for the exception a failed C API call left; SystemError if none did.
[[noreturn]] void raise_pending();

// Sets the Python exception for an engine failure, by the exception's type: ValueError for a
// refused input, MemoryError for exhausted memory, RuntimeError for any other failure.
void set_engine_failure(std::exception_ptr failure) noexcept;

// Runs the body of an entry point (returning a new reference or throwing) and turns whatever it
// throws into the matching Python exception. A thread ended by the interpreter while it waits
// for the interpreter lock unwinds through here untouched.
template <class Body>
PyObject* run_entry(Body&& body) {
    try {
        return body();
    } catch (const abi::__forced_unwind&) {
        throw;
    } catch (const PythonErrorSet&) {
    } catch (...) {
        set_engine_failure(std::current_exception());
    }
    return nullptr;
}

// Runs work() with the interpreter lock released; what it throws is rethrown once the lock is
// held again. Work must not touch Python objects.
template <class Work>
void without_interpreter_lock(Work&& work) {
    std::exception_ptr failure;
    PyThreadState* saved = PyEval_SaveThread();
    try {
        work();
    } catch (...) {
        failure = std::current_exception();
    }
    PyEval_RestoreThread(saved);
    if (failure) std::rethrow_exception(failure);
}

}  // namespace korvel::runner
