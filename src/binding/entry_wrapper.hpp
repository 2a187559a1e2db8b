#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <source_location>

#include "binding/panic_exception.hpp"
#include "binding/pending_error.hpp"
#include "engine/failure.hpp"

namespace korvel::binding {

// A C++ exception the engine does not raise itself (a library's, say) still stops the call as
// an internal failure; it gets the failure notice here, where it is first seen.
void report_foreign_failure(const char* message, std::source_location where) noexcept;

// The one road out of every Python-visible function: runs the body and turns whatever it
// throws into the matching Python exception, so no C++ exception ever reaches the interpreter.
// Body returns a new reference, or throws.
template <class Body>
PyObject* run_entry(Body&& body, std::source_location where = std::source_location::current()) noexcept {
    try {
        return body();
    } catch (const PythonErrorSet&) {
        // already set as the current exception
    } catch (const korvel::InternalFailure& failure) {
        set_panic_exception(failure.message());
    } catch (const korvel::AllocationFailure& failure) {
        PyErr_SetString(PyExc_MemoryError, failure.message().c_str());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& failure) {
        report_foreign_failure(failure.what(), where);
        set_panic_exception(failure.what());
    } catch (...) {
        report_foreign_failure("unknown C++ exception", where);
        set_panic_exception("unknown C++ exception");
    }
    return nullptr;
}

}  // namespace korvel::binding
