#pragma once

// Arguments of the runner's functions: binding a vectorcall's positionals and keywords to named
// parameters, integers with their ranges, and the program and mask buffers.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "engine/circuit/adjoint.hpp"
#include "engine/circuit/program.hpp"
#include "engine/base/complex.hpp"

namespace korvel::runner {

// Binds the arguments of a METH_FASTCALL | METH_KEYWORDS call to `count` parameters, the first
// `required` of them required; an absent optional one is null. The values are borrowed. Raises
// TypeError with the interpreter's wording for a wrong count, an unknown or repeated keyword.
void bind_arguments(const char* function, const char* const* names, std::size_t count, std::size_t required,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** bound);

template <std::size_t N>
std::array<PyObject*, N> bind(const char* function, const std::array<const char*, N>& names, std::size_t required,
                              PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, N> bound{};
    bind_arguments(function, names.data(), N, required, args, nargs, kwnames, bound.data());
    return bound;
}

// An integer argument (int, or anything with __index__) within [low, high]: TypeError naming the
// parameter otherwise, or ValueError "<name> must be between <low> and <high>, got <value>".
std::uint64_t integer_in_range(PyObject* value, const char* name, std::uint64_t low, std::uint64_t high);

std::uint32_t qubit_count(PyObject* value);     // num_qubits, 0 to 29
std::uint32_t clbit_count(PyObject* value);     // num_clbits, 0 to 64
std::uint64_t shot_count(PyObject* value);      // shots, 1 to 2^63 - 1
std::optional<std::uint64_t> seed_value(PyObject* value);
// The `fusion` flag: absent or False is off; True on. Only a bool is taken (TypeError otherwise),
// so that a mistyped argument is not read as a truth value.
bool fusion_flag(PyObject* value);  // None (or absent), or 0 to 2^64 - 1

// Decodes a program from any C-contiguous buffer, holding the interpreter lock (the bytes are read
// once and copied, so nothing can change them meanwhile).
std::vector<circuit::Step> read_program(PyObject* program, std::uint32_t qubits, std::uint32_t clbits,
                                        circuit::Steps allowed = circuit::Steps::any);

// Calls use() with the elements of a one-dimensional C-contiguous complex128 buffer (format 'Zd',
// a NumPy complex128 array), held meanwhile, so use() may read it without the interpreter lock.
// TypeError naming the parameter for any other buffer or object.
void with_complex_buffer(PyObject* buffer, const char* name, const std::function<void(std::span<const Complex>)>& use);

// Pauli masks: a one-dimensional buffer of 64-bit integers (a NumPy array of uint64 or int64),
// or any sequence of ints, each from 0 to 2^64 - 1.
std::vector<std::uint64_t> read_masks(PyObject* masks, const char* name);

// Pauli term records (korvel_programs.PAULI_TERM_DTYPE: 32 bytes each) from any C-contiguous
// buffer, decoded into `groups` sums for a register of `qubits` qubits.
circuit::PauliSums read_pauli_terms(PyObject* terms, const char* name, std::size_t groups, std::uint32_t qubits);

// Real numbers: a one-dimensional buffer of float64, or any sequence of floats.
std::vector<double> read_reals(PyObject* values, const char* name);

}  // namespace korvel::runner
