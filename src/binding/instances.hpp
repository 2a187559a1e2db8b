#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>

#include "binding/borrow_flag.hpp"
#include "engine/gate.hpp"
#include "engine/register.hpp"

namespace korvel::binding {

// Instance layouts: the object header, the engine value, the borrow flag. The engine values
// have no default state, so each lives in raw storage and is constructed in place once the
// interpreter has allocated the object.

struct QGateObject {
    PyObject_HEAD
    alignas(korvel::QGate) unsigned char gate_storage[sizeof(korvel::QGate)];
    BorrowFlag borrow;

    korvel::QGate& gate() noexcept { return *std::launder(reinterpret_cast<korvel::QGate*>(gate_storage)); }
};

struct RegisterObject {
    PyObject_HEAD
    alignas(korvel::Register) unsigned char register_storage[sizeof(korvel::Register)];
    BorrowFlag borrow;

    korvel::Register& value() noexcept {
        return *std::launder(reinterpret_cast<korvel::Register*>(register_storage));
    }
};

// The class objects, built by module initialisation and kept for the life of the process.
// Throw PythonErrorSet (the interpreter's error pending) if a type cannot be built.
PyTypeObject* qgate_type();
PyTypeObject* register_type();

// Allocates an instance with the type's own allocator, the generic one if it has none.
PyObject* allocate_instance(PyTypeObject* type);

}  // namespace korvel::binding
