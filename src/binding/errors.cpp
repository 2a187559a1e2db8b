// The interpreter's pending error, PanicException, and the fixed-text errors of the binding.
#include "binding/errors.hpp"

#include <cstdlib>
#include <string>

#include "engine/base/stderr_output.hpp"

namespace korvel::binding {
namespace {

// ---- Fetch and restore of the current exception ----

// The current exception as the interpreter holds it. From 3.12 on it holds only exception
// instances. Before, it may hold a type with a bare value (a str, say) that nothing has made
// into an instance yet, and the traceback beside it.
struct RaisedException {
    OwnedRef type;
    OwnedRef value;
    OwnedRef traceback;
};

RaisedException raised_instance(OwnedRef exception) {
    PyObject* instance = exception.get();
    return {OwnedRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(instance))), std::move(exception),
            OwnedRef::steal(PyException_GetTraceback(instance))};
}

// The only two places that know how each interpreter version stores the current exception.
// fetch_raised_exception takes it out (all null when none is pending); `normalise` asks for the
// value as an instance of its type with the traceback attached. restore_raised_exception puts
// it back as it was taken.
#if PY_VERSION_HEX >= 0x030C0000
RaisedException fetch_raised_exception(bool /* normalise: always so from 3.12 */) {
    OwnedRef exception = OwnedRef::steal(PyErr_GetRaisedException());
    if (!exception) return {};
    return raised_instance(std::move(exception));
}

void restore_raised_exception(RaisedException raised) { PyErr_SetRaisedException(raised.value.release()); }
#else
RaisedException fetch_raised_exception(bool normalise) {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (normalise && type != nullptr) {
        PyErr_NormalizeException(&type, &value, &traceback);
        if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
    }
    return {OwnedRef::steal(type), OwnedRef::steal(value), OwnedRef::steal(traceback)};
}

void restore_raised_exception(RaisedException raised) {
    PyErr_Restore(raised.type.release(), raised.value.release(), raised.traceback.release());
}
#endif

// ---- PanicException ----

constexpr const char* panic_exception_doc =
    "Raised when native code called from Python stops with a failure it cannot recover from.\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it passes\n"
    "through ordinary `except Exception` handlers, propagates through the whole stack and\n"
    "typically ends the interpreter.";

// Created on first need and kept for the life of the process; null until then.
PyObject* panic_exception_type_object = nullptr;

[[noreturn]] void abort_at_boundary(std::source_location where = std::source_location::current()) {
    korvel::write_failure_notice(messages::boundary_abort, where);
    std::abort();
}

PyObject* panic_exception_type() noexcept {
    if (panic_exception_type_object == nullptr) {
        panic_exception_type_object = PyErr_NewExceptionWithDoc(
            "pyo3_runtime.PanicException", panic_exception_doc, PyExc_BaseException, nullptr);
        if (panic_exception_type_object == nullptr) {
            PyErr_Print();
            abort_at_boundary();
        }
    }
    return panic_exception_type_object;
}

// A PanicException from Python code means native code further up the stack gave up: it is
// shown with its traceback and then continues as an internal failure of this call, never as a
// Python error someone could catch and ignore. The notice for it was written when it first
// arose, so none is written here.
[[noreturn]] void resume_panic() {
    std::string message = messages::unwrapped_panic;
    RaisedException raised = fetch_raised_exception(false);
    // A value still held as the bare message (only before 3.12) is the message.
    if (raised.value && PyUnicode_Check(raised.value.get())) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(raised.value.get(), &size);
        if (text != nullptr) {
            message.assign(text, static_cast<std::size_t>(size));
        } else {
            PyErr_Clear();
        }
    }
    korvel::write_stderr(messages::resumed_panic_banner);
    restore_raised_exception(std::move(raised));
    PyErr_PrintEx(0);
    korvel::fail_quietly(std::move(message));
}

bool pending_is_panic(PyObject* pending_type) {
    return panic_exception_type_object != nullptr && pending_type == panic_exception_type_object;
}

[[noreturn]] void throw_nothing_pending() { throw_new_error(PyExc_SystemError, messages::nothing_pending); }

// The type's __qualname__ as UTF-8; a type whose name cannot be read as text still gets a
// message, since the mismatch is what the caller needs to hear about.
std::string type_name_of(PyObject* object) {
    OwnedRef name = OwnedRef::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
    if (!name) {
        discard_pending_error();
        return messages::unreadable_type_name;
    }
    if (!PyUnicode_Check(name.get())) return messages::unreadable_type_name;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (text == nullptr) {
        discard_pending_error();
        return messages::unreadable_type_name;
    }
    return std::string(text, static_cast<std::size_t>(size));
}

}  // namespace

void throw_pending_error() {
    PyObject* pending_type = PyErr_Occurred();
    if (pending_type == nullptr) throw_nothing_pending();
    if (pending_is_panic(pending_type)) resume_panic();
    throw PythonErrorSet{};
}

void discard_pending_error() {
    PyObject* pending_type = PyErr_Occurred();
    if (pending_type != nullptr && pending_is_panic(pending_type)) resume_panic();
    PyErr_Clear();
}

OwnedRef fetch_pending_error() {
    PyObject* pending_type = PyErr_Occurred();
    if (pending_type == nullptr) throw_nothing_pending();
    if (pending_is_panic(pending_type)) resume_panic();
    return take_pending_exception();
}

OwnedRef take_pending_exception() { return std::move(fetch_raised_exception(true).value); }

void throw_exception(OwnedRef exception) {
    if (!exception) throw_nothing_pending();
    restore_raised_exception(raised_instance(std::move(exception)));
    throw PythonErrorSet{};
}

void throw_new_error(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PythonErrorSet{};
}

void throw_type_mismatch(PyObject* object, const char* target) {
    throw_new_error(PyExc_TypeError, messages::type_mismatch(type_name_of(object), target).c_str());
}

void throw_already_borrowed() { throw_new_error(PyExc_RuntimeError, messages::already_borrowed); }

void throw_already_mutably_borrowed() {
    throw_new_error(PyExc_RuntimeError, messages::already_mutably_borrowed);
}

void set_panic_exception(std::string_view message) noexcept {
    PyObject* type = panic_exception_type();
    // Engine messages are ASCII; a resumed message came out of a Python str as UTF-8. Replace
    // rather than fail on anything else, since a failure here could not be reported.
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (text == nullptr) return;  // MemoryError is pending instead, which is still truthful
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

}  // namespace korvel::binding
