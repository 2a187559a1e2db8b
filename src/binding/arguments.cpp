// Argument binding: the two call forms, their TypeErrors, and the argument name added to a
// conversion's TypeError.
#include "binding/arguments.hpp"

#include <string>

#include "binding/messages.hpp"
#include "engine/base/messages.hpp"

namespace korvel::binding {
namespace {

constexpr std::size_t max_parameters = 8;

[[noreturn]] void throw_too_many_positional(const Signature& signature, Py_ssize_t given) {
    const std::string message = messages::too_many_positional(
        signature.display, signature.names.size(), static_cast<std::size_t>(given));
    throw_new_error(PyExc_TypeError, message.c_str());
}

[[noreturn]] void throw_keyword_error(const Signature& signature, const char* what, PyObject* name) {
    // %U keeps the name as the caller wrote it, whatever characters it holds.
    const char* format =
        PyUnicode_Check(name) ? messages::keyword_refused_str : messages::keyword_refused_other;
    PyErr_Format(PyExc_TypeError, format, signature.display, what, name);
    throw PythonErrorSet{};
}

[[noreturn]] void throw_missing(const Signature& signature, std::span<const bool> filled) {
    const char* missing_storage[max_parameters];
    std::size_t missing = 0;
    for (std::size_t i = 0; i < filled.size(); ++i) {
        if (!filled[i]) missing_storage[missing++] = signature.names[i];
    }
    const std::span<const char* const> names(missing_storage, missing);
    const std::string message = messages::missing_arguments(signature.display, names);
    throw_new_error(PyExc_TypeError, message.c_str());
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

// Steps shared by both call forms once the positionals are placed: each keyword in call order,
// then the missing-argument check.
template <class Keywords, class Store>
void bind_keywords(const Signature& signature, Py_ssize_t nargs, std::span<bool> filled,
                   Keywords&& for_each_keyword, Store&& store) {
    for_each_keyword([&](PyObject* name, PyObject* value) {
        std::ptrdiff_t index = parameter_index(signature, name);
        if (index < 0) throw_keyword_error(signature, messages::unexpected_keyword, name);
        if (filled[index]) throw_keyword_error(signature, messages::repeated_keyword, name);
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

void remap_argument_error(const char* name) {
    OwnedRef error = take_pending_exception();
    if (!error || Py_TYPE(error.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        throw_exception(std::move(error));
    }
    OwnedRef text = OwnedRef::steal(PyObject_Str(error.get()));
    if (!text) throw_pending_error();
    PyErr_Format(PyExc_TypeError, messages::argument_error, name, text.get());
    OwnedRef remapped = take_pending_exception();
    // The new error takes the old one's cause, not the old error itself: the old error is only
    // the same message without the argument name.
    PyException_SetCause(remapped.get(), PyException_GetCause(error.get()));
    throw_exception(std::move(remapped));
}

}  // namespace korvel::binding
