#include "binding/conversion.hpp"
#include "binding/interned_names.hpp"
#include "binding/owned_ref.hpp"
#include "binding/pending_error.hpp"
#include "binding/sequence_conversion.hpp"

namespace korvel::binding {
namespace {

double complex_field(PyObject* object, PyObject* name, const char* failure_text) {
    OwnedRef field = OwnedRef::steal(PyObject_GetAttr(object, name));
    if (!field) throw_pending_error();  // typically AttributeError, passed on as it is
    const double value = PyFloat_AsDouble(field.get());
    if (value == -1.0 && PyErr_Occurred() != nullptr) {
        OwnedRef cause = fetch_pending_error();
        PyErr_SetString(PyExc_TypeError, failure_text);
        OwnedRef failure = take_pending_exception();
        PyException_SetCause(failure.get(), cause.release());
        throw_exception(std::move(failure));
    }
    return value;
}

}  // namespace

korvel::Complex to_complex(PyObject* object) {
    const double real = complex_field(object, interned_real(), "failed to extract field Complex.real");
    const double imag = complex_field(object, interned_imag(), "failed to extract field Complex.imag");
    return {real, imag};
}

std::vector<std::vector<korvel::Complex>> to_matrix(PyObject* object) {
    std::vector<std::vector<korvel::Complex>> rows;
    for_each_sequence_item(
        object, [&](std::size_t hint) { rows.reserve(hint); },
        [&](PyObject* row_object) {
            std::vector<korvel::Complex> row;
            for_each_sequence_item(
                row_object, [&](std::size_t hint) { row.reserve(hint); },
                [&](PyObject* element) { row.push_back(to_complex(element)); });
            rows.push_back(std::move(row));
        });
    return rows;
}

}  // namespace korvel::binding
