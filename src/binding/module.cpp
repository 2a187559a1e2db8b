#include <atomic>

#include "binding/entry_wrapper.hpp"
#include "binding/instances.hpp"
#include "binding/owned_ref.hpp"
#include "binding/pending_error.hpp"
#include "binding/type_mismatch.hpp"

namespace korvel::binding {
namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "korvel",
    "A Python module implemented natively in C++.",
    0,        // no per-module state
    nullptr,  // no module-level functions
    nullptr,  // no slots: single-phase initialisation
    nullptr,
    nullptr,
    nullptr,
};

constexpr int module_api_version = 1013;

// The class objects and the engine's process-wide state exist once per process, so the module
// may be initialised only once, whichever interpreter asks.
std::atomic<bool> initialised{false};

// The module's __all__ list, created empty if the module has none yet.
OwnedRef all_list(PyObject* module) {
    OwnedRef all = OwnedRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_pending_error();
        PyErr_Clear();
        all = OwnedRef::steal(PyList_New(0));
        if (!all) throw_pending_error();
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw_pending_error();
        return all;
    }
    if (!PyList_Check(all.get())) throw_type_mismatch(all.get(), "PyList");
    return all;
}

void add_class(PyObject* module, const char* name, PyTypeObject* type) {
    OwnedRef all = all_list(module);
    OwnedRef name_object = OwnedRef::steal(PyUnicode_FromString(name));
    if (!name_object) throw_pending_error();
    if (PyList_Append(all.get(), name_object.get()) < 0) throw_pending_error();
    if (PyObject_SetAttr(module, name_object.get(), reinterpret_cast<PyObject*>(type)) < 0) throw_pending_error();
}

PyObject* initialise_module() {
    return run_entry([]() -> PyObject* {
        OwnedRef module = OwnedRef::steal(PyModule_Create2(&module_definition, module_api_version));
        if (!module) throw_pending_error();
        if (initialised.exchange(true)) {
            throw_new_error(PyExc_ImportError, "PyO3 modules may only be initialized once per interpreter process");
        }
        add_class(module.get(), "QGate", qgate_type());
        add_class(module.get(), "Register", register_type());
        return module.release();
    });
}

}  // namespace
}  // namespace korvel::binding

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_korvel(void) {
    return korvel::binding::initialise_module();
}
