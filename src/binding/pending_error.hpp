#pragma once

#include "binding/owned_ref.hpp"

namespace korvel::binding {

// Thrown once a Python exception has been set as the interpreter's current one; the entry
// wrapper then returns null so the interpreter raises it.
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

// Takes the pending exception out of the interpreter without the checks above. An exception
// must be pending.
OwnedRef take_pending_exception();

// Makes the exception instance the current exception and throws PythonErrorSet.
[[noreturn]] void throw_exception(OwnedRef exception);

// Sets a new exception of the given type with an ASCII message and throws PythonErrorSet.
[[noreturn]] void throw_new_error(PyObject* type, const char* message);

}  // namespace korvel::binding
