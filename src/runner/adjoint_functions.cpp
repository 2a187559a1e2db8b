// adjoint_jacobian and adjoint_vjp: arguments read and checked with the interpreter lock held,
// the forward run and the sweeps without it.

#include "runner/adjoint_functions.hpp"

#include <vector>

#include "binding/owned_ref.hpp"
#include "engine/circuit/adjoint.hpp"
#include "runner/arguments.hpp"
#include "runner/arrays.hpp"
#include "runner/calls.hpp"

namespace korvel::runner {

using binding::OwnedRef;

namespace {

// At most this many observables or parametrised steps: far beyond any use, and low enough that
// the Jacobian's element count cannot overflow.
constexpr std::uint64_t max_count = std::uint64_t{1} << 32;

circuit::AdjointProgram read_adjoint_program(PyObject* qubits_argument, PyObject* program,
                                             PyObject* parametrised_argument, PyObject* generators_argument) {
    circuit::AdjointProgram out;
    out.qubits = qubit_count(qubits_argument);
    out.steps = read_program(program, out.qubits, 0, circuit::Steps::gates_only);
    out.parametrised = read_masks(parametrised_argument, "parametrised_steps");
    out.generators = read_pauli_terms(generators_argument, "generators", out.parametrised.size(), out.qubits);
    circuit::check_adjoint_program(out);
    return out;
}

}  // namespace

PyObject* adjoint_jacobian(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_entry([&]() -> PyObject* {
        const auto [qubits, program, parametrised, generators, observables_argument, count_argument] =
            bind<6>("adjoint_jacobian",
                    {"num_qubits", "program", "parametrised_steps", "generators", "observables", "num_observables"}, 6,
                    args, nargs, kwnames);
        const circuit::AdjointProgram adjoint = read_adjoint_program(qubits, program, parametrised, generators);
        const std::uint64_t count = integer_in_range(count_argument, "num_observables", 0, max_count);
        const circuit::PauliSums observables =
            read_pauli_terms(observables_argument, "observables", static_cast<std::size_t>(count), adjoint.qubits);
        const std::uint64_t width = adjoint.parametrised.size();
        NewArray values(count, ElementType::float64);
        NewArray jacobian(count * width, ElementType::float64);
        without_interpreter_lock([&] {
            circuit::adjoint_jacobian(adjoint, observables, values.elements<double>(), jacobian.elements<double>());
        });
        OwnedRef flat = OwnedRef::steal(jacobian.release());
        OwnedRef shaped = OwnedRef::steal(PyObject_CallMethod(flat.get(), "reshape", "(KK)",
                                                              static_cast<unsigned long long>(count),
                                                              static_cast<unsigned long long>(width)));
        if (!shaped) raise_pending();
        OwnedRef value_array = OwnedRef::steal(values.release());
        PyObject* pair = PyTuple_Pack(2, value_array.get(), shaped.get());
        if (pair == nullptr) raise_pending();
        return pair;
    });
}

PyObject* adjoint_vjp(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_entry([&]() -> PyObject* {
        const auto [qubits, program, parametrised, generators, observables_argument, cotangent_argument] =
            bind<6>("adjoint_vjp",
                    {"num_qubits", "program", "parametrised_steps", "generators", "observables", "cotangent"}, 6, args,
                    nargs, kwnames);
        const circuit::AdjointProgram adjoint = read_adjoint_program(qubits, program, parametrised, generators);
        const std::vector<double> cotangent = read_reals(cotangent_argument, "cotangent");
        if (cotangent.size() > max_count) {
            raise_error(PyExc_ValueError, "cotangent must have at most 2**32 elements, got %zu", cotangent.size());
        }
        const circuit::PauliSums observables =
            read_pauli_terms(observables_argument, "observables", cotangent.size(), adjoint.qubits);
        NewArray out(adjoint.parametrised.size(), ElementType::float64);
        without_interpreter_lock(
            [&] { circuit::adjoint_vjp(adjoint, observables, cotangent, out.elements<double>()); });
        return out.release();
    });
}

}  // namespace korvel::runner
