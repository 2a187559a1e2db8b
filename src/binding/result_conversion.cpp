#include "binding/result_conversion.hpp"

#include "binding/owned_ref.hpp"
#include "engine/failure.hpp"

namespace korvel::binding {
namespace {

// The interpreter could not make a result object (it is out of memory): show its error, then
// stop the call as an internal failure. What was built so far goes first, so that printing
// and the failure notice have memory to work with.
[[noreturn]] void fail_result_creation(OwnedRef partial = OwnedRef(),
                                       std::source_location where = std::source_location::current()) {
    partial.reset();
    PyErr_Print();
    korvel::fail("Python API call failed", where);
}

}  // namespace

PyObject* to_python_list(std::span<const double> values) {
    OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) fail_result_creation();
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = PyFloat_FromDouble(values[i]);
        if (item == nullptr) fail_result_creation(std::move(list));
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

PyObject* to_python_int(std::uint32_t value) {
    PyObject* integer = PyLong_FromUnsignedLongLong(value);
    if (integer == nullptr) fail_result_creation();
    return integer;
}

}  // namespace korvel::binding
