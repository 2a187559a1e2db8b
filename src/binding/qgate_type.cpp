#include <memory>
#include <span>

#include "binding/argument_binding.hpp"
#include "binding/argument_remap.hpp"
#include "binding/conversion.hpp"
#include "binding/entry_wrapper.hpp"
#include "binding/instances.hpp"

namespace korvel::binding {
namespace {

constexpr const char* new_parameters[] = {"matrix"};
constexpr Signature new_signature{"QGate.__new__()", new_parameters};

PyObject* qgate_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return run_entry([&]() -> PyObject* {
        OwnedRef bound[1];
        bind_tuple_and_dict(new_signature, args, kwargs, bound);
        // The shape and unitarity tests run only after every entry has converted.
        korvel::QGate gate = korvel::QGate::from_rows(
            convert_argument("matrix", [&] { return to_matrix(bound[0].get()); }));
        return new_instance(type, gate);
    });
}

PyType_Slot qgate_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(qgate_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<korvel::QGate>)},
    {0, nullptr},
};

PyType_Spec qgate_spec = {
    "builtins.QGate",
    static_cast<int>(sizeof(QGateObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    qgate_slots,
};

PyTypeObject* qgate_type_object = nullptr;

}  // namespace

PyTypeObject* qgate_type() { return type_from_spec_once(qgate_spec, qgate_type_object); }

}  // namespace korvel::binding
