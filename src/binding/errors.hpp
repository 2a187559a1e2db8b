// Failures on their way to Python: the interpreter's pending error, PanicException for internal
// failures, the type-mismatch TypeError, and run_entry, the one road out of every entry point.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <source_location>
#include <string_view>

#include "binding/owned_ref.hpp"
#include "engine/base/failure.hpp"
#include "binding/messages.hpp"
#include "engine/base/messages.hpp"

namespace korvel::binding {

// Thrown once a Python exception has been set as the interpreter's current one; run_entry then
// returns null so the interpreter raises it.
struct PythonErrorSet {};

// After a C API call reported failure. The pending exception stays in place and PythonErrorSet
// is thrown. Two exceptions to that: with nothing pending, SystemError takes its place; and a
// PanicException raised by Python code is never passed on as an ordinary error but resumed as an
// internal failure (banner and traceback on stderr first).
[[noreturn]] void throw_pending_error();

// For errors a conversion deliberately ignores: clears the pending exception, except that a
// PanicException is resumed exactly as in throw_pending_error().
void discard_pending_error();

// Like throw_pending_error(), but hands the pending exception to the caller (as a normalised
// exception instance, traceback attached) instead of throwing.
OwnedRef fetch_pending_error();

// Takes the pending exception out of the interpreter without the checks above, as a normalised
// exception instance with its traceback attached. An exception must be pending.
OwnedRef take_pending_exception();

// Makes the exception instance the current exception and throws PythonErrorSet.
[[noreturn]] void throw_exception(OwnedRef exception);

// Sets a new exception of the given type with an ASCII message and throws PythonErrorSet.
[[noreturn]] void throw_new_error(PyObject* type, const char* message);

// TypeError "'{qualname of the object's type}' object cannot be converted to '{target}'".
[[noreturn]] void throw_type_mismatch(PyObject* object, const char* target);

// Sets a PanicException carrying the message as the current exception. Should the type itself
// not be creatable, there is no way left to report the failure, and the process ends.
void set_panic_exception(std::string_view message) noexcept;

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
        // A C++ exception the engine does not raise itself (a library's, say) still stops the
        // call as an internal failure; it gets its failure notice here, where it is first seen.
        korvel::write_failure_notice(failure.what(), where);
        set_panic_exception(failure.what());
    } catch (...) {
        korvel::write_failure_notice(korvel::messages::unknown_exception, where);
        set_panic_exception(korvel::messages::unknown_exception);
    }
    return nullptr;
}

}  // namespace korvel::binding
