#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "binding/borrow_flag.hpp"
#include "engine/gate.hpp"
#include "engine/register.hpp"

namespace korvel::binding {

// An instance's layout: the object header, the engine value, the borrow flag. The engine values
// have no default state, so each lives in raw storage and is constructed in place once the
// interpreter has allocated the object.
template <class Value>
struct Instance {
    PyObject_HEAD
    alignas(Value) unsigned char storage[sizeof(Value)];
    BorrowFlag borrow;

    Value& value() noexcept { return *std::launder(reinterpret_cast<Value*>(storage)); }
};

using QGateObject = Instance<korvel::QGate>;
using RegisterObject = Instance<korvel::Register>;

// The class objects, built by module initialisation and kept for the life of the process.
// Throw PythonErrorSet (the interpreter's error pending) if a type cannot be built.
PyTypeObject* qgate_type();
PyTypeObject* register_type();

// Builds the class object from its spec the first time, then returns the same one.
PyTypeObject* type_from_spec_once(PyType_Spec& spec, PyTypeObject*& built);

// Allocates an instance with the type's own allocator, the generic one if it has none.
PyObject* allocate_instance(PyTypeObject* type);

// A new instance of `type` holding `value`, its borrow flag free. Should allocation fail, `value`
// still owns what it holds and releases it on the way out.
template <class Value>
PyObject* new_instance(PyTypeObject* type, Value&& value) {
    PyObject* object = allocate_instance(type);
    auto* instance = reinterpret_cast<Instance<std::remove_cvref_t<Value>>*>(object);
    new (instance->storage) std::remove_cvref_t<Value>(std::forward<Value>(value));
    instance->borrow = BorrowFlag{};
    return object;
}

// tp_dealloc of both classes: destroys the engine value, frees the object and drops the
// instance's reference to its heap type.
template <class Value>
void dealloc_instance(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    std::destroy_at(&reinterpret_cast<Instance<Value>*>(object)->value());
    type->tp_free(object);
    Py_DECREF(type);
}

}  // namespace korvel::binding
