#include "binding/instances.hpp"
#include "binding/pending_error.hpp"

namespace korvel::binding {

PyTypeObject* type_from_spec_once(PyType_Spec& spec, PyTypeObject*& built) {
    if (built == nullptr) {
        PyObject* type = PyType_FromSpec(&spec);
        if (type == nullptr) throw_pending_error();
        built = reinterpret_cast<PyTypeObject*>(type);
    }
    return built;
}

PyObject* allocate_instance(PyTypeObject* type) {
    allocfunc allocate = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
    PyObject* object = allocate(type, 0);
    if (object == nullptr) throw_pending_error();
    return object;
}

}  // namespace korvel::binding
