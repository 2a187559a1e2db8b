#pragma once

// The State class: a runner-owned state vector with its readings.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "binding/owned_ref.hpp"
#include "engine/circuit/circuit_state.hpp"

namespace korvel::runner {

struct StateObject {
    PyObject_HEAD
    circuit::CircuitState* state;  // owned; null only while simulate() builds it
};

// Creates the class object (a new reference), for the module to hold.
binding::OwnedRef make_state_type();

// A new, empty instance of the class, for simulate() to fill.
binding::OwnedRef new_state_object(PyObject* state_type);

}  // namespace korvel::runner
