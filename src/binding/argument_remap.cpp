#include "binding/argument_remap.hpp"

namespace korvel::binding {

void remap_argument_error(const char* name) {
    OwnedRef error = take_pending_exception();
    if (!error || Py_TYPE(error.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        throw_exception(std::move(error));
    }
    OwnedRef text = OwnedRef::steal(PyObject_Str(error.get()));
    if (!text) throw_pending_error();
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text.get());
    OwnedRef remapped = take_pending_exception();
    // The new error takes the old one's cause, not the old error itself: the old error is only
    // the same message without the argument name.
    PyException_SetCause(remapped.get(), PyException_GetCause(error.get()));
    throw_exception(std::move(remapped));
}

}  // namespace korvel::binding
