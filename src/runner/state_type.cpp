// The State class and its methods.

#include "runner/state_type.hpp"

#include <algorithm>
#include <memory>

#include "engine/circuit/fusion.hpp"
#include "engine/circuit/streams.hpp"
#include "runner/arguments.hpp"
#include "runner/arrays.hpp"
#include "runner/calls.hpp"

namespace korvel::runner {

using binding::OwnedRef;

namespace {

circuit::CircuitState& state_of(PyObject* self) { return *reinterpret_cast<StateObject*>(self)->state; }

template <class Method>
PyCFunction as_method(Method method) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(method));
}

PyObject* state_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError,
                    "cannot create 'korvel_runner.State' instances directly; use korvel_runner.simulate()");
    return nullptr;
}

void state_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<StateObject*>(self)->state;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* state_repr(PyObject* self) {
    const std::uint32_t qubits = state_of(self).qubits();
    return PyUnicode_FromFormat("<korvel_runner.State of %u qubit%s>", qubits, qubits == 1 ? "" : "s");
}

PyObject* num_qubits(PyObject* self, void*) {
    return PyLong_FromUnsignedLong(state_of(self).qubits());
}

PyObject* run(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_entry([&]() -> PyObject* {
        const auto [program, fusion] = bind<2>("run", {"program", "fusion"}, 1, args, nargs, kwnames);
        circuit::CircuitState& state = state_of(self);
        std::vector<circuit::Step> steps = read_program(program, state.qubits(), 0, circuit::Steps::gates_only);
        const bool fused = fusion_flag(fusion);
        if (fused) steps = circuit::fuse_steps(steps);
        without_interpreter_lock([&] { state.run(steps, circuit::fused_gate_order(fused)); });
        Py_RETURN_NONE;
    });
}

PyObject* probabilities(PyObject* self, PyObject*) {
    return run_entry([&]() -> PyObject* {
        circuit::CircuitState& state = state_of(self);
        NewArray result(state.size(), ElementType::float64);
        without_interpreter_lock([&] { state.probabilities(result.elements<double>()); });
        return result.release();
    });
}

PyObject* amplitudes(PyObject* self, PyObject*) {
    return run_entry([&]() -> PyObject* {
        circuit::CircuitState& state = state_of(self);
        NewArray result(state.size(), ElementType::complex128);
        without_interpreter_lock([&] { state.amplitudes(result.elements<Complex>()); });
        return result.release();
    });
}

PyObject* sample(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_entry([&]() -> PyObject* {
        const auto [shots_argument, seed_argument] = bind<2>("sample", {"shots", "seed"}, 1, args, nargs, kwnames);
        const std::uint64_t shots = shot_count(shots_argument);
        const std::optional<std::uint64_t> seed = seed_value(seed_argument);
        circuit::CircuitState& state = state_of(self);
        NewArray result(shots, ElementType::uint64);
        without_interpreter_lock([&] { state.sample(result.elements<std::uint64_t>(), circuit::call_key(seed)); });
        return result.release();
    });
}

PyObject* sample_counts(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_entry([&]() -> PyObject* {
        const auto [shots_argument, seed_argument] =
            bind<2>("sample_counts", {"shots", "seed"}, 1, args, nargs, kwnames);
        const std::uint64_t shots = shot_count(shots_argument);
        const std::optional<std::uint64_t> seed = seed_value(seed_argument);
        circuit::CircuitState& state = state_of(self);
        circuit::OutcomeCounts drawn;
        without_interpreter_lock([&] { drawn = state.sample_counts(shots, circuit::call_key(seed)); });
        NewArray outcomes(drawn.outcomes.size(), ElementType::uint64);
        NewArray counts(drawn.counts.size(), ElementType::uint64);
        // std::copy, not memcpy: with no shots both vectors are empty and their data() may be null.
        std::copy(drawn.outcomes.begin(), drawn.outcomes.end(), outcomes.elements<std::uint64_t>().begin());
        std::copy(drawn.counts.begin(), drawn.counts.end(), counts.elements<std::uint64_t>().begin());
        OwnedRef outcomes_array = OwnedRef::steal(outcomes.release());
        OwnedRef counts_array = OwnedRef::steal(counts.release());
        PyObject* pair = PyTuple_Pack(2, outcomes_array.get(), counts_array.get());
        if (pair == nullptr) raise_pending();
        return pair;
    });
}

PyObject* expectation_values(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_entry([&]() -> PyObject* {
        const auto [x_argument, z_argument] =
            bind<2>("expectation_values", {"x_masks", "z_masks"}, 2, args, nargs, kwnames);
        const std::vector<std::uint64_t> x_masks = read_masks(x_argument, "x_masks");
        const std::vector<std::uint64_t> z_masks = read_masks(z_argument, "z_masks");
        circuit::CircuitState& state = state_of(self);
        NewArray result(x_masks.size(), ElementType::float64);
        without_interpreter_lock([&] { state.expectation_values(x_masks, z_masks, result.elements<double>()); });
        return result.release();
    });
}

PyObject* reduce(PyObject* self, PyObject*) {
    PyErr_Format(PyExc_TypeError, "cannot pickle '%.200s' object", Py_TYPE(self)->tp_name);
    return nullptr;
}

PyMethodDef methods[] = {
    {"run", as_method(run), METH_FASTCALL | METH_KEYWORDS,
     "run($self, program, fusion=False)\n--\n\n"
     "Applies more unconditional gate steps to the state, in place."},
    {"probabilities", as_method(probabilities), METH_NOARGS,
     "probabilities($self)\n--\n\n"
     "The squared magnitude of every amplitude (float64, 2**num_qubits), not normalised."},
    {"amplitudes", as_method(amplitudes), METH_NOARGS,
     "amplitudes($self)\n--\n\n"
     "A copy of the amplitudes (complex128, 2**num_qubits)."},
    {"sample", as_method(sample), METH_FASTCALL | METH_KEYWORDS,
     "sample($self, shots, seed=None)\n--\n\n"
     "Draws basis-state indices (uint64, one per shot, in random order) without changing the state."},
    {"sample_counts", as_method(sample_counts), METH_FASTCALL | METH_KEYWORDS,
     "sample_counts($self, shots, seed=None)\n--\n\n"
     "Draws shots and returns (outcomes, counts): the drawn basis states ascending and how often each "
     "was drawn (both uint64)."},
    {"expectation_values", as_method(expectation_values), METH_FASTCALL | METH_KEYWORDS,
     "expectation_values($self, x_masks, z_masks)\n--\n\n"
     "<psi|P|psi> for each Pauli string P = i**popcount(x & z) X**x Z**z (float64), computed in place."},
    {"__reduce__", as_method(reduce), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"num_qubits", num_qubits, nullptr, "The number of qubits.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(state_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(state_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(state_repr)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_tp_doc, const_cast<char*>("A state vector owned by the circuit runner; made by simulate() or state_from_amplitudes(). "
                                  "Thread-safe: "
                                  "each operation runs whole, with the interpreter lock released.")},
    {0, nullptr},
};

// Neither subclassed nor changed by assignment to its attributes (the latter from 3.10 on).
#ifdef Py_TPFLAGS_IMMUTABLETYPE
constexpr unsigned int state_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
#else
constexpr unsigned int state_flags = Py_TPFLAGS_DEFAULT;
#endif

PyType_Spec state_type_definition = {
    "korvel_runner.State",
    sizeof(StateObject),
    0,
    state_flags,
    slots,
};

}  // namespace

OwnedRef make_state_type() {
    OwnedRef type = OwnedRef::steal(PyType_FromSpec(&state_type_definition));
    if (!type) raise_pending();
    return type;
}

OwnedRef new_state_object(PyObject* state_type) {
    auto* type = reinterpret_cast<PyTypeObject*>(state_type);
    OwnedRef object = OwnedRef::steal(type->tp_alloc(type, 0));
    if (!object) raise_pending();
    reinterpret_cast<StateObject*>(object.get())->state = nullptr;
    return object;
}

}  // namespace korvel::runner
