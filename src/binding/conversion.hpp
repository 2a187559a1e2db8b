#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <vector>

#include "binding/index_list.hpp"
#include "engine/complex.hpp"

namespace korvel::binding {

// Each of these leaves a Python exception pending and throws PythonErrorSet on failure; the
// caller names the argument (convert_argument).

// An integer-like object (ints, bools, anything with __index__) from 0 to 2^32 - 1.
std::uint32_t to_u32(PyObject* object);

// A sequence of integer-like objects, in iteration order, duplicates kept.
void to_index_list(PyObject* object, IndexList& out);

// A number-like object, read through its `real` and `imag` attributes.
korvel::Complex to_complex(PyObject* object);

// A sequence of sequences of number-like objects, of any lengths.
std::vector<std::vector<korvel::Complex>> to_matrix(PyObject* object);

}  // namespace korvel::binding
