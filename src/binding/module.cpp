// The `korvel` module: its initialisation, the QGate and Register types, and Register's methods.
// Every entry point binds its arguments, converts them, calls one engine operation and converts
// the result, all inside run_entry.
#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "binding/arguments.hpp"
#include "binding/conversion.hpp"
#include "binding/errors.hpp"
#include "binding/owned_ref.hpp"
#include "engine/sequence/gate_queue.hpp"
#include "engine/gates/gate.hpp"
#include "engine/readout/measurement.hpp"
#include "binding/messages.hpp"
#include "engine/base/messages.hpp"
#include "engine/state/register.hpp"

namespace korvel::binding {
namespace {

// ---- Instances of both types ----

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

// A new instance of `type` holding `value`, its borrow flag free, allocated with the type's own
// allocator (the generic one if it has none). Should allocation fail, `value` still owns what
// it holds and releases it on the way out.
template <class Value>
PyObject* new_instance(PyTypeObject* type, Value&& value) {
    allocfunc allocate = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
    PyObject* object = allocate(type, 0);
    if (object == nullptr) throw_pending_error();
    auto* instance = reinterpret_cast<Instance<std::remove_cvref_t<Value>>*>(object);
    new (instance->storage) std::remove_cvref_t<Value>(std::forward<Value>(value));
    instance->borrow = BorrowFlag{};
    return object;
}

// tp_dealloc of both types: destroys the engine value, frees the object and drops the
// instance's reference to its heap type.
template <class Value>
void dealloc_instance(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    std::destroy_at(&reinterpret_cast<Instance<Value>*>(object)->value());
    type->tp_free(object);
    Py_DECREF(type);
}

// Builds the class object the first time, then returns the same one, kept for the life of the
// process. Throws PythonErrorSet (the interpreter's error pending) if it cannot be built. The
// interpreter copies what it needs from the spec and its slots; `name` and `methods` must last.
template <class Value>
PyTypeObject* instance_type(PyTypeObject*& built, const char* name, newfunc construct, PyMethodDef* methods) {
    if (built == nullptr) {
        PyType_Slot slots[] = {
            {Py_tp_new, reinterpret_cast<void*>(construct)},
            {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<Value>)},
            {methods != nullptr ? Py_tp_methods : 0, methods},  // without methods, the end
            {0, nullptr},
        };
        PyType_Spec spec = {name, static_cast<int>(sizeof(Instance<Value>)), 0, Py_TPFLAGS_DEFAULT, slots};
        PyObject* type = PyType_FromSpec(&spec);
        if (type == nullptr) throw_pending_error();
        built = reinterpret_cast<PyTypeObject*>(type);
    }
    return built;
}

bool is_instance_of(PyObject* object, PyTypeObject* type) {
    return Py_TYPE(object) == type || PyType_IsSubtype(Py_TYPE(object), type);
}

template <class Function>
PyCFunction as_method(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function));
}

// ---- QGate ----

constexpr const char* qgate_new_parameters[] = {"matrix"};
constexpr Signature qgate_new_signature{"QGate.__new__()", qgate_new_parameters};

PyObject* qgate_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return run_entry([&]() -> PyObject* {
        OwnedRef bound[1];
        bind_tuple_and_dict(qgate_new_signature, args, kwargs, bound);
        // The shape and unitarity tests run only after every entry has converted.
        korvel::QGate gate = korvel::QGate::from_rows(
            convert_argument("matrix", [&] { return to_matrix(bound[0].get()); }));
        return new_instance(type, gate);
    });
}

PyTypeObject* qgate_type_object = nullptr;

PyTypeObject* qgate_type() {
    return instance_type<korvel::QGate>(qgate_type_object, "builtins.QGate", qgate_new, nullptr);
}

// ---- Register ----

PyTypeObject* register_type();

// The interpreter checks the receiver of a method descriptor already; this guard keeps a call
// through some other road from reading a foreign object as a register.
RegisterObject& receiver(PyObject* self) {
    if (!is_instance_of(self, register_type())) throw_type_mismatch(self, messages::register_target);
    return *reinterpret_cast<RegisterObject*>(self);
}

QGateObject& as_gate(PyObject* object) {
    if (!is_instance_of(object, qgate_type())) throw_type_mismatch(object, messages::qgate_target);
    return *reinterpret_cast<QGateObject*>(object);
}

constexpr const char* register_new_parameters[] = {"qubits"};
constexpr Signature register_new_signature{"Register.__new__()", register_new_parameters};

PyObject* register_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return run_entry([&]() -> PyObject* {
        OwnedRef bound[1];
        bind_tuple_and_dict(register_new_signature, args, kwargs, bound);
        const std::uint32_t qubits = convert_argument("qubits", [&] { return to_u32(bound[0].get()); });
        korvel::Register value = korvel::Register::create(qubits);
        // Should allocation fail, `value` still owns the amplitudes and frees them on the way out.
        return new_instance(type, std::move(value));
    });
}

constexpr const char* apply_gate_parameters[] = {"gate", "targets", "controls"};
constexpr Signature apply_gate_signature{"Register.apply_gate()", apply_gate_parameters};
constexpr const char* measure_parameters[] = {"target"};
constexpr Signature measure_signature{"Register.measure()", measure_parameters};

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
        // Queued until the register is next held; checks and failures happen here all the same.
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

PyMethodDef register_methods[] = {
    {"apply_gate", as_method(apply_gate), METH_FASTCALL | METH_KEYWORDS,
     "apply_gate($self, gate, targets, controls)\n--\n\n"},
    {"probabilities", as_method(probabilities), METH_NOARGS, "probabilities($self)\n--\n\n"},
    {"measure", as_method(measure), METH_FASTCALL | METH_KEYWORDS, "measure($self, target)\n--\n\n"},
    {"measure_all", as_method(measure_all), METH_NOARGS, "measure_all($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject* register_type_object = nullptr;

PyTypeObject* register_type() {
    return instance_type<korvel::Register>(register_type_object, "builtins.Register", register_new,
                                           register_methods);
}

// ---- The module ----

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
    if (!PyList_Check(all.get())) throw_type_mismatch(all.get(), messages::list_target);
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
        if (initialised.exchange(true)) throw_new_error(PyExc_ImportError, messages::initialised_twice);
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
