// Argument binding: places the positional and keyword arguments of a call by parameter, with the
// interpreter's messages for every misfit, and names the argument whose conversion failed.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <span>

#include "binding/errors.hpp"
#include "binding/owned_ref.hpp"

namespace korvel::binding {

// The parameters of one Python-visible operation. Every parameter is positional-or-keyword
// and required.
struct Signature {
    const char* display;                   // "Register.apply_gate()": the start of every message
    std::span<const char* const> names;    // in parameter order
};

// Binds a constructor call (argument tuple and keyword dict). The keyword dict may be the
// caller's own and change while arguments are converted, so the values are held here.
void bind_tuple_and_dict(const Signature& signature, PyObject* args, PyObject* kwargs,
                         std::span<OwnedRef> out);

// Binds a vectorcall-style method call. The values stay alive in the caller's frame for the
// whole call, so plain pointers suffice.
void bind_fastcall_slow(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, std::span<PyObject*> out);

inline void bind_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames, std::span<PyObject*> out) {
    if (kwnames == nullptr && static_cast<std::size_t>(nargs) == out.size()) {
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = args[i];
        return;
    }
    bind_fastcall_slow(signature, args, nargs, kwnames, out);
}

// Called with the failure of the conversion of argument `name` pending: a plain TypeError is
// replaced by one that names the argument; anything else passes through unchanged.
[[noreturn]] void remap_argument_error(const char* name);

// Runs one argument's conversion, naming the argument in its TypeError if it fails.
template <class Convert>
decltype(auto) convert_argument(const char* name, Convert&& convert) {
    try {
        return convert();
    } catch (const PythonErrorSet&) {
        remap_argument_error(name);
    }
}

}  // namespace korvel::binding
