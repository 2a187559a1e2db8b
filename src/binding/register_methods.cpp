#include "binding/register_methods.hpp"

#include "binding/argument_binding.hpp"
#include "binding/argument_remap.hpp"
#include "binding/conversion.hpp"
#include "binding/entry_wrapper.hpp"
#include "binding/instances.hpp"
#include "binding/result_conversion.hpp"
#include "binding/type_mismatch.hpp"
#include "engine/gate_queue.hpp"
#include "engine/measurement.hpp"

namespace korvel::binding {
namespace {

constexpr const char* apply_gate_parameters[] = {"gate", "targets", "controls"};
constexpr Signature apply_gate_signature{"Register.apply_gate()", apply_gate_parameters};
constexpr const char* measure_parameters[] = {"target"};
constexpr Signature measure_signature{"Register.measure()", measure_parameters};

bool is_instance_of(PyObject* object, PyTypeObject* type) {
    return Py_TYPE(object) == type || PyType_IsSubtype(Py_TYPE(object), type);
}

// The interpreter checks the receiver of a method descriptor already; this guard keeps a call
// through some other road from reading a foreign object as a register.
RegisterObject& receiver(PyObject* self) {
    if (!is_instance_of(self, register_type())) throw_type_mismatch(self, "Register");
    return *reinterpret_cast<RegisterObject*>(self);
}

QGateObject& as_gate(PyObject* object) {
    if (!is_instance_of(object, qgate_type())) throw_type_mismatch(object, "QGate");
    return *reinterpret_cast<QGateObject*>(object);
}

PyObject* apply_gate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_entry([&]() -> PyObject* {
        RegisterObject& reg = receiver(self);
        // Held before binding: Python code run by the conversions must not see or change the
        // register half way through this call.
        ExclusiveHold register_hold(reg.borrow);
        PyObject* bound[3];
        bind_fastcall(apply_gate_signature, args, nargs, kwnames, bound);
        QGateObject& gate = convert_argument("gate", [&]() -> QGateObject& { return as_gate(bound[0]); });
        SharedHold gate_hold(gate.borrow);
        IndexList targets;
        convert_argument("targets", [&] { to_index_list(bound[1], targets); });
        IndexList controls;
        convert_argument("controls", [&] { to_index_list(bound[2], controls); });
        // Queued until the register is next read; checks and failures happen here all the same.
        korvel::apply_gate_deferred(reg.value(), gate.value(), targets.span(), controls.span());
        Py_RETURN_NONE;
    });
}

PyObject* probabilities(PyObject* self, PyObject*) {
    return run_entry([&]() -> PyObject* {
        RegisterObject& reg = receiver(self);
        SharedHold hold(reg.borrow);
        return probabilities_to_python_list(reg.value());
    });
}

PyObject* measure(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_entry([&]() -> PyObject* {
        RegisterObject& reg = receiver(self);
        ExclusiveHold hold(reg.borrow);
        PyObject* bound[1];
        bind_fastcall(measure_signature, args, nargs, kwnames, bound);
        const std::uint32_t target = convert_argument("target", [&] { return to_u32(bound[0]); });
        return to_python_int(korvel::measure(reg.value(), target));
    });
}

PyObject* measure_all(PyObject* self, PyObject*) {
    return run_entry([&]() -> PyObject* {
        RegisterObject& reg = receiver(self);
        SharedHold hold(reg.borrow);
        return to_python_int(korvel::measure_all(reg.value()));
    });
}

template <class Function>
PyCFunction as_method(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function));
}

}  // namespace

PyMethodDef register_method_table[] = {
    {"apply_gate", as_method(apply_gate), METH_FASTCALL | METH_KEYWORDS,
     "apply_gate($self, gate, targets, controls)\n--\n\n"},
    {"probabilities", as_method(probabilities), METH_NOARGS, "probabilities($self)\n--\n\n"},
    {"measure", as_method(measure), METH_FASTCALL | METH_KEYWORDS, "measure($self, target)\n--\n\n"},
    {"measure_all", as_method(measure_all), METH_NOARGS, "measure_all($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace korvel::binding
