#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>

namespace korvel::binding {

// The type that stands for an internal failure in Python, created on first need and kept for
// the life of the process. Null until then.
PyObject* existing_panic_exception_type() noexcept;

// Sets a PanicException carrying the message as the current exception. Should the type itself
// not be creatable, there is no way left to report the failure, and the process ends.
void set_panic_exception(std::string_view message) noexcept;

}  // namespace korvel::binding
