#include "binding/pending_error.hpp"

#include <string>

#include "binding/panic_exception.hpp"
#include "engine/failure.hpp"
#include "engine/stderr_output.hpp"

namespace korvel::binding {
namespace {

constexpr const char* unwrapped_panic_text = "Unwrapped panic from Python code";

// A PanicException from Python code means native code further up the stack gave up: it is
// shown with its traceback and then continues as an internal failure of this call, never as a
// Python error someone could catch and ignore. The notice for it was written when it first
// arose, so none is written here.
[[noreturn]] void resume_panic() {
    std::string message = unwrapped_panic_text;
#if PY_VERSION_HEX >= 0x030C0000
    // The interpreter keeps only normalised exceptions, so the value is never a bare str.
    OwnedRef exception = OwnedRef::steal(PyErr_GetRaisedException());
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (value != nullptr && PyUnicode_Check(value)) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(value, &size);
        if (text != nullptr) {
            message.assign(text, static_cast<std::size_t>(size));
        } else {
            PyErr_Clear();
        }
    }
#endif
    korvel::write_stderr("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n");
    korvel::write_stderr("Python stack trace below:\n");
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release());
#else
    PyErr_Restore(type, value, traceback);
#endif
    PyErr_PrintEx(0);
    korvel::fail_quietly(std::move(message));
}

bool pending_is_panic(PyObject* pending_type) {
    PyObject* panic_type = existing_panic_exception_type();
    return panic_type != nullptr && pending_type == panic_type;
}

[[noreturn]] void throw_nothing_pending() {
    throw_new_error(PyExc_SystemError, "attempted to fetch exception but none was set");
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

OwnedRef take_pending_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return OwnedRef::steal(PyErr_GetRaisedException());
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    OwnedRef owned_type = OwnedRef::steal(type);
    OwnedRef owned_value = OwnedRef::steal(value);
    OwnedRef owned_traceback = OwnedRef::steal(traceback);
    if (owned_value && owned_traceback) PyException_SetTraceback(owned_value.get(), owned_traceback.get());
    return owned_value;
#endif
}

void throw_exception(OwnedRef exception) {
    if (!exception) throw_nothing_pending();
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release());
#else
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception.get()));
    Py_INCREF(type);
    PyObject* traceback = PyException_GetTraceback(exception.get());
    PyErr_Restore(type, exception.release(), traceback);
#endif
    throw PythonErrorSet{};
}

void throw_new_error(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PythonErrorSet{};
}

}  // namespace korvel::binding
