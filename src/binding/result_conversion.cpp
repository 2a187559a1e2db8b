#include "binding/result_conversion.hpp"

#include "binding/owned_ref.hpp"
#include "engine/failure.hpp"
#include "engine/probabilities.hpp"

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

PyObject* probabilities_to_python_list(const Register& reg) {
    // Nothing under the lock may throw (that would poison the register): a failure is carried
    // out of it and reported once the lock is released.
    struct Outcome {
        OwnedRef list;
        std::size_t refused_bytes = 0;  // the list itself could not be had
    };
    Outcome made = korvel::with_probabilities(reg, [](const korvel::ProbabilityView& values) {
        Outcome outcome{OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())))};
        if (!outcome.list) {
            outcome.refused_bytes = values.size() * sizeof(PyObject*);
            return outcome;
        }
        for (std::size_t i = 0; i < values.size(); ++i) {
            PyObject* item = PyFloat_FromDouble(values[i]);
            if (item == nullptr) return Outcome{};
            PyList_SET_ITEM(outcome.list.get(), static_cast<Py_ssize_t>(i), item);
        }
        return outcome;
    });
    if (made.refused_bytes != 0) {
        // As large as the probability vector: reported like every exhausted allocation.
        PyErr_Clear();
        throw korvel::AllocationFailure(made.refused_bytes);
    }
    if (!made.list) fail_result_creation();
    return made.list.release();
}

PyObject* to_python_int(std::uint32_t value) {
    PyObject* integer = PyLong_FromUnsignedLongLong(value);
    if (integer == nullptr) fail_result_creation();
    return integer;
}

}  // namespace korvel::binding
