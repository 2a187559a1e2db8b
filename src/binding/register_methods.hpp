#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace korvel::binding {

// apply_gate, probabilities, measure, measure_all, in this order; null-terminated.
extern PyMethodDef register_method_table[];

}  // namespace korvel::binding
