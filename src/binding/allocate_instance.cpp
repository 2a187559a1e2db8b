#include "binding/instances.hpp"
#include "binding/pending_error.hpp"

namespace korvel::binding {

PyObject* allocate_instance(PyTypeObject* type) {
    allocfunc allocate = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
    PyObject* object = allocate(type, 0);
    if (object == nullptr) throw_pending_error();
    return object;
}

}  // namespace korvel::binding
