#pragma once

// The runner module's gradient functions: adjoint Jacobians and vector-Jacobian products of
// Pauli-sum expectation values (engine/circuit/adjoint.hpp).

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace korvel::runner {

PyObject* adjoint_jacobian(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* adjoint_vjp(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace korvel::runner
