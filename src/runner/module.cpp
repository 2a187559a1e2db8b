// The korvel_runner module: whole circuits per call on the korvel engine, with results as NumPy
// arrays, for framework packages.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "binding/owned_ref.hpp"
#include "engine/circuit/adjoint.hpp"
#include "engine/circuit/circuit_state.hpp"
#include "engine/circuit/fusion.hpp"
#include "engine/circuit/streams.hpp"
#include "engine/state/register.hpp"
#include "runner/adjoint_functions.hpp"
#include "runner/arguments.hpp"
#include "runner/arrays.hpp"
#include "runner/calls.hpp"
#include "runner/state_type.hpp"

namespace korvel::runner {
namespace {

using binding::OwnedRef;

struct ModuleState {
    PyObject* state_type;
};

ModuleState& module_state(PyObject* module) { return *static_cast<ModuleState*>(PyModule_GetState(module)); }

template <class Function>
PyCFunction as_function(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function));
}

PyObject* simulate(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_entry([&]() -> PyObject* {
        const auto [qubits_argument, program, fusion] =
            bind<3>("simulate", {"num_qubits", "program", "fusion"}, 2, args, nargs, kwnames);
        const std::uint32_t qubits = qubit_count(qubits_argument);
        std::vector<circuit::Step> steps = read_program(program, qubits, 0, circuit::Steps::gates_only);
        const bool fused = fusion_flag(fusion);
        if (fused) steps = circuit::fuse_steps(steps);
        OwnedRef object = new_state_object(module_state(module).state_type);
        std::unique_ptr<circuit::CircuitState> state;
        without_interpreter_lock([&] {
            state = circuit::CircuitState::create(qubits);
            state->run(steps, circuit::fused_gate_order(fused));
        });
        reinterpret_cast<StateObject*>(object.get())->state = state.release();
        return object.release();
    });
}

PyObject* state_from_amplitudes(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_entry([&]() -> PyObject* {
        const auto [amplitudes] = bind<1>("state_from_amplitudes", {"amplitudes"}, 1, args, nargs, kwnames);
        OwnedRef object = new_state_object(module_state(module).state_type);
        std::unique_ptr<circuit::CircuitState> state;
        with_complex_buffer(amplitudes, "amplitudes", [&](std::span<const Complex> elements) {
            without_interpreter_lock([&] { state = circuit::CircuitState::from_amplitudes(elements); });
        });
        reinterpret_cast<StateObject*>(object.get())->state = state.release();
        return object.release();
    });
}

PyObject* run_shots(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_entry([&]() -> PyObject* {
        const auto [qubits_argument, clbits_argument, program, shots_argument, seed_argument, fusion, loops] =
            bind<7>("run_shots",
                    {"num_qubits", "num_clbits", "program", "shots", "seed", "fusion", "max_loop_iterations"}, 4,
                    args, nargs, kwnames);
        const std::uint32_t qubits = qubit_count(qubits_argument);
        const std::uint32_t clbits = clbit_count(clbits_argument);
        std::vector<circuit::Step> steps = read_program(program, qubits, clbits);
        const bool fused = fusion_flag(fusion);
        const std::uint64_t shots = shot_count(shots_argument);
        const std::optional<std::uint64_t> seed = seed_value(seed_argument);
        const std::uint64_t limit = loops == nullptr || loops == Py_None
                                        ? circuit::default_max_loop_iterations
                                        : integer_in_range(loops, "max_loop_iterations", 1, (std::uint64_t{1} << 62));
        if (fused) steps = circuit::fuse_steps(steps);
        NewArray words(shots, ElementType::uint64);
        without_interpreter_lock([&] {
            circuit::run_trajectories(qubits, steps, words.elements<std::uint64_t>(), circuit::call_key(seed), limit,
                                      circuit::fused_gate_order(fused));
        });
        return words.release();
    });
}

PyMethodDef functions[] = {
    {"simulate", as_function(simulate), METH_FASTCALL | METH_KEYWORDS,
     "simulate(num_qubits, program, fusion=False)\n--\n\n"
     "Runs a program of unconditional gate steps from |0...0> and returns the final State."},
    {"state_from_amplitudes", as_function(state_from_amplitudes), METH_FASTCALL | METH_KEYWORDS,
     "state_from_amplitudes(amplitudes)\n--\n\n"
     "A State holding a copy of the amplitudes (a one-dimensional complex128 array of length 2**n, "
     "finite, not normalised by the runner)."},
    {"run_shots", as_function(run_shots), METH_FASTCALL | METH_KEYWORDS,
     "run_shots(num_qubits, num_clbits, program, shots, seed=None, fusion=False, max_loop_iterations=None)\n--\n\n"
     "Runs a program with measurements, resets, conditions, jumps and set steps once per shot and returns each shot's "
     "classical word (uint64; bit c is classical bit c). A shot that goes round one loop more than "
     "max_loop_iterations times in a row (None: 1000) stops the run with a ValueError naming the loop."},
    {"adjoint_jacobian", as_function(adjoint_jacobian), METH_FASTCALL | METH_KEYWORDS,
     "adjoint_jacobian(num_qubits, program, parametrised_steps, generators, observables, num_observables)\n--\n\n"
     "Expectation values of Pauli sums and their derivatives by the parametrised steps, by the adjoint "
     "method: returns (values, jacobian) with shapes (num_observables,) and (num_observables, "
     "len(parametrised_steps))."},
    {"adjoint_vjp", as_function(adjoint_vjp), METH_FASTCALL | METH_KEYWORDS,
     "adjoint_vjp(num_qubits, program, parametrised_steps, generators, observables, cotangent)\n--\n\n"
     "The cotangent-weighted sum of the Jacobian's rows (float64, one per parametrised step), by one "
     "adjoint sweep."},
    {nullptr, nullptr, 0, nullptr},
};

int add_integer(PyObject* module, const char* name, long value) {
    return PyModule_AddIntConstant(module, name, value);
}

int execute_module(PyObject* module) {
    PyObject* result = run_entry([&]() -> PyObject* {
        OwnedRef type = make_state_type();
        module_state(module).state_type = OwnedRef::borrow(type.get()).release();
        if (PyModule_AddObject(module, "State", type.get()) < 0) raise_pending();
        (void)type.release();  // the module holds it now
        if (add_integer(module, "MAX_QUBITS", max_qubits_exclusive - 1) < 0) raise_pending();
        if (add_integer(module, "STEP_SIZE", static_cast<long>(circuit::step_size)) < 0) raise_pending();
        if (add_integer(module, "PAULI_TERM_SIZE", static_cast<long>(circuit::pauli_term_size)) < 0) raise_pending();
        OwnedRef all = OwnedRef::steal(
            Py_BuildValue("[sssssssss]", "MAX_QUBITS", "PAULI_TERM_SIZE", "STEP_SIZE", "State", "adjoint_jacobian",
                          "adjoint_vjp", "run_shots", "simulate", "state_from_amplitudes"));
        if (!all) raise_pending();
        if (PyModule_AddObject(module, "__all__", all.get()) < 0) raise_pending();
        (void)all.release();
        Py_RETURN_NONE;
    });
    if (result == nullptr) return -1;
    Py_DECREF(result);
    return 0;
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
    Py_VISIT(module_state(module).state_type);
    return 0;
}

int clear_module(PyObject* module) {
    Py_CLEAR(module_state(module).state_type);
    return 0;
}

void free_module(void* module) { (void)clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(execute_module)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "korvel_runner",
    "Whole quantum circuits per call on the korvel engine: states, shots, trajectories and Pauli\n"
    "expectation values, with NumPy arrays as results. Programs are buffers of 104-byte step\n"
    "records; the framework packages build them.",
    sizeof(ModuleState),
    functions,
    module_slots,
    traverse_module,
    clear_module,
    free_module,
};

}  // namespace
}  // namespace korvel::runner

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_korvel_runner(void) {
    return PyModuleDef_Init(&korvel::runner::module_definition);
}
