#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "engine/register.hpp"

namespace korvel::binding {

// A new list of the register's probabilities, each float made straight from its amplitude
// under the state lock, in index order: no copy of the probabilities is ever held.
PyObject* probabilities_to_python_list(const Register& reg);

// A new int.
PyObject* to_python_int(std::uint32_t value);

}  // namespace korvel::binding
