#include "binding/interned_names.hpp"

#include "binding/pending_error.hpp"

namespace korvel::binding {
namespace {

PyObject* intern_once(PyObject*& slot, const char* text) {
    if (slot == nullptr) {
        slot = PyUnicode_InternFromString(text);
        if (slot == nullptr) throw_pending_error();
    }
    return slot;
}

PyObject* real_name = nullptr;
PyObject* imag_name = nullptr;

}  // namespace

PyObject* interned_real() { return intern_once(real_name, "real"); }
PyObject* interned_imag() { return intern_once(imag_name, "imag"); }

}  // namespace korvel::binding
