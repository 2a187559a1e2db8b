#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace korvel::binding {

// TypeError "'{qualname of the object's type}' object cannot be converted to '{target}'".
[[noreturn]] void throw_type_mismatch(PyObject* object, const char* target);

}  // namespace korvel::binding
