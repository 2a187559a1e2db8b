#include "binding/panic_exception.hpp"

#include <cstdlib>
#include <source_location>
#include <string>

#include "engine/failure.hpp"

namespace korvel::binding {
namespace {

constexpr const char* panic_exception_doc =
    "Raised when native code called from Python stops with a failure it cannot recover from.\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it passes\n"
    "through ordinary `except Exception` handlers, propagates through the whole stack and\n"
    "typically ends the interpreter.";

PyObject* panic_exception_type_object = nullptr;

[[noreturn]] void abort_at_boundary(std::source_location where = std::source_location::current()) {
    korvel::write_failure_notice("uncaught panic at ffi boundary", where);
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

}  // namespace

PyObject* existing_panic_exception_type() noexcept { return panic_exception_type_object; }

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
