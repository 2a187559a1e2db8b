#include <memory>
#include <utility>

#include "binding/argument_binding.hpp"
#include "binding/argument_remap.hpp"
#include "binding/conversion.hpp"
#include "binding/entry_wrapper.hpp"
#include "binding/instances.hpp"
#include "binding/register_methods.hpp"

namespace korvel::binding {
namespace {

constexpr const char* new_parameters[] = {"qubits"};
constexpr Signature new_signature{"Register.__new__()", new_parameters};

PyObject* register_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return run_entry([&]() -> PyObject* {
        OwnedRef bound[1];
        bind_tuple_and_dict(new_signature, args, kwargs, bound);
        const std::uint32_t qubits = convert_argument("qubits", [&] { return to_u32(bound[0].get()); });
        korvel::Register value = korvel::Register::create(qubits);
        // Should allocation fail, `value` still owns the amplitudes and frees them on the way out.
        return new_instance(type, std::move(value));
    });
}

PyType_Slot register_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(register_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<korvel::Register>)},
    {Py_tp_methods, register_method_table},
    {0, nullptr},
};

PyType_Spec register_spec = {
    "builtins.Register",
    static_cast<int>(sizeof(RegisterObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    register_slots,
};

PyTypeObject* register_type_object = nullptr;

}  // namespace

PyTypeObject* register_type() { return type_from_spec_once(register_spec, register_type_object); }

}  // namespace korvel::binding
