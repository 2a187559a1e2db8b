#include "binding/argument_binding.hpp"

#include <string>

#include "binding/pending_error.hpp"

namespace korvel::binding {
namespace {

[[noreturn]] void throw_type_error(const std::string& message) {
    throw_new_error(PyExc_TypeError, message.c_str());
}

[[noreturn]] void throw_too_many_positional(const Signature& signature, Py_ssize_t given) {
    std::string message = signature.display;
    message += " takes " + std::to_string(signature.names.size()) + " positional arguments but " +
               std::to_string(given) + (given == 1 ? " was given" : " were given");
    throw_type_error(message);
}

[[noreturn]] void throw_keyword_error(const Signature& signature, const char* what, PyObject* name) {
    // %U keeps the name as the caller wrote it, whatever characters it holds.
    if (PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "%s %s '%U'", signature.display, what, name);
    } else {
        PyErr_Format(PyExc_TypeError, "%s %s '%S'", signature.display, what, name);
    }
    throw PythonErrorSet{};
}

[[noreturn]] void throw_missing(const Signature& signature, std::span<const bool> filled) {
    std::size_t missing = 0;
    for (bool f : filled) missing += f ? 0 : 1;
    std::string names;
    std::size_t listed = 0;
    for (std::size_t i = 0; i < filled.size(); ++i) {
        if (filled[i]) continue;
        if (listed > 0) {
            if (listed + 1 < missing) {
                names += ", ";
            } else {
                names += missing == 2 ? " and " : ", and ";
            }
        }
        names += '\'';
        names += signature.names[i];
        names += '\'';
        ++listed;
    }
    std::string message = signature.display;
    message += " missing " + std::to_string(missing) + " required positional " +
               (missing == 1 ? "argument: " : "arguments: ") + names;
    throw_type_error(message);
}

// The parameter a keyword names, or -1. Names are compared by value: a str subclass or a
// name built at run time matches like the literal would.
std::ptrdiff_t parameter_index(const Signature& signature, PyObject* name) {
    if (!PyUnicode_Check(name)) return -1;
    for (std::size_t i = 0; i < signature.names.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(name, signature.names[i]) == 0) {
            return static_cast<std::ptrdiff_t>(i);
        }
    }
    return -1;
}

constexpr std::size_t max_parameters = 8;

// Steps shared by both call forms once the positionals are placed: each keyword in call order,
// then the missing-argument check.
template <class Keywords, class Store>
void bind_keywords(const Signature& signature, Py_ssize_t nargs, std::span<bool> filled,
                   Keywords&& for_each_keyword, Store&& store) {
    for_each_keyword([&](PyObject* name, PyObject* value) {
        std::ptrdiff_t index = parameter_index(signature, name);
        if (index < 0) throw_keyword_error(signature, "got an unexpected keyword argument", name);
        if (filled[index]) throw_keyword_error(signature, "got multiple values for argument", name);
        filled[index] = true;
        store(static_cast<std::size_t>(index), value);
    });
    if (static_cast<std::size_t>(nargs) < signature.names.size()) {
        for (bool f : filled) {
            if (!f) throw_missing(signature, filled);
        }
    }
}

}  // namespace

void bind_tuple_and_dict(const Signature& signature, PyObject* args, PyObject* kwargs,
                         std::span<OwnedRef> out) {
    const std::size_t count = signature.names.size();
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (static_cast<std::size_t>(nargs) > count) throw_too_many_positional(signature, nargs);
    bool filled_storage[max_parameters] = {};
    std::span<bool> filled(filled_storage, count);
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        out[i] = OwnedRef::borrow(PyTuple_GET_ITEM(args, i));
        filled[i] = true;
    }
    bind_keywords(
        signature, nargs, filled,
        [&](auto&& visit) {
            if (kwargs == nullptr) return;
            Py_ssize_t position = 0;
            PyObject* name = nullptr;
            PyObject* value = nullptr;
            while (PyDict_Next(kwargs, &position, &name, &value)) visit(name, value);
        },
        [&](std::size_t index, PyObject* value) { out[index] = OwnedRef::borrow(value); });
}

void bind_fastcall_slow(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, std::span<PyObject*> out) {
    const std::size_t count = signature.names.size();
    if (static_cast<std::size_t>(nargs) > count) throw_too_many_positional(signature, nargs);
    bool filled_storage[max_parameters] = {};
    std::span<bool> filled(filled_storage, count);
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        out[i] = args[i];
        filled[i] = true;
    }
    bind_keywords(
        signature, nargs, filled,
        [&](auto&& visit) {
            if (kwnames == nullptr) return;
            const Py_ssize_t keyword_count = PyTuple_GET_SIZE(kwnames);
            for (Py_ssize_t i = 0; i < keyword_count; ++i) visit(PyTuple_GET_ITEM(kwnames, i), args[nargs + i]);
        },
        [&](std::size_t index, PyObject* value) { out[index] = value; });
}

}  // namespace korvel::binding
