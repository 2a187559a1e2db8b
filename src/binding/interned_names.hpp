#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace korvel::binding {

// The attribute names read from every matrix element, interned once per process.
// Throw PythonErrorSet if the name cannot be created.
PyObject* interned_real();
PyObject* interned_imag();

}  // namespace korvel::binding
