#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <span>

namespace korvel::binding {

// A new list of float, created at its final length and filled in place.
PyObject* to_python_list(std::span<const double> values);

// A new int.
PyObject* to_python_int(std::uint32_t value);

}  // namespace korvel::binding
