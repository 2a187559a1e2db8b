// The runner module's exception mapping.

#include "runner/calls.hpp"

#include <cstdarg>

namespace korvel::runner {

void raise_error(PyObject* type, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    PyErr_FormatV(type, format, arguments);
    va_end(arguments);
    throw PythonErrorSet{};
}

void raise_pending() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "a C API call failed without an exception");
    throw PythonErrorSet{};
}

void set_engine_failure(std::exception_ptr failure) noexcept {
    try {
        std::rethrow_exception(failure);
    } catch (const circuit::InvalidInput& refused) {
        PyErr_SetString(PyExc_ValueError, refused.message().c_str());
    } catch (const AllocationFailure& exhausted) {
        PyErr_SetString(PyExc_MemoryError, exhausted.message().c_str());
    } catch (const InternalFailure& failed) {
        PyErr_SetString(PyExc_RuntimeError, failed.message().c_str());
    } catch (const std::bad_alloc&) {
        PyErr_SetString(PyExc_MemoryError, "memory allocation failed");
    } catch (const std::exception& other) {
        PyErr_SetString(PyExc_RuntimeError, other.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
}

}  // namespace korvel::runner
