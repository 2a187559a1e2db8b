// Conversion between Python objects and engine values: numbers, sequences, complex numbers and
// matrices from Python; probabilities and outcomes back.
#include "binding/conversion.hpp"

#include <limits>
#include <source_location>

#include "binding/errors.hpp"
#include "binding/owned_ref.hpp"
#include "binding/messages.hpp"
#include "engine/base/messages.hpp"
#include "engine/state/probabilities.hpp"

namespace korvel::binding {
namespace {

// A length hint is only a guess (any __len__ may report it): reserve no more than this many
// items up front, and let the container grow past it if the iteration really yields more.
constexpr std::size_t max_reserved_items = std::size_t{1} << 16;

// Refuses str (and anything claiming to be one) before the sequence test, which str passes.
void refuse_str(PyObject* object) {
    int is_str = PyUnicode_Check(object) ? 1 : PyObject_IsInstance(object, reinterpret_cast<PyObject*>(&PyUnicode_Type));
    if (is_str < 0) {
        // The test itself failed (a __class__ that raises): carry on as with any non-str.
        discard_pending_error();
        return;
    }
    if (is_str == 1) throw_new_error(PyExc_TypeError, messages::str_as_sequence);
}

// Visits the items of a sequence in iteration order: reserve(hint) once, then on_item(item)
// for each item, a borrowed pointer valid for that call. The first failure ends the visit.
template <class Reserve, class OnItem>
void for_each_sequence_item(PyObject* object, Reserve&& reserve, OnItem&& on_item) {
    // Exact lists and tuples: reading the items by position is what their iterators do,
    // without allocating an iterator. The length is re-read each step because converting an
    // item may run Python code that changes the list, exactly as the list iterator sees it.
    if (PyList_CheckExact(object)) {
        reserve(std::min(static_cast<std::size_t>(PyList_GET_SIZE(object)), max_reserved_items));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(object); ++i) {
            OwnedRef item = OwnedRef::borrow(PyList_GET_ITEM(object, i));
            on_item(item.get());
        }
        return;
    }
    if (PyTuple_CheckExact(object)) {
        const Py_ssize_t size = PyTuple_GET_SIZE(object);
        reserve(std::min(static_cast<std::size_t>(size), max_reserved_items));
        for (Py_ssize_t i = 0; i < size; ++i) on_item(PyTuple_GET_ITEM(object, i));
        return;
    }
    refuse_str(object);
    if (!PySequence_Check(object)) throw_type_mismatch(object, messages::sequence_target);
    Py_ssize_t hint = PySequence_Size(object);
    if (hint < 0) {
        discard_pending_error();
        hint = 0;
    }
    reserve(std::min(static_cast<std::size_t>(hint), max_reserved_items));
    OwnedRef iterator = OwnedRef::steal(PyObject_GetIter(object));
    if (!iterator) throw_pending_error();
    while (OwnedRef item = OwnedRef::steal(PyIter_Next(iterator.get()))) on_item(item.get());
    if (PyErr_Occurred() != nullptr) throw_pending_error();
}

// The attribute names read from every matrix element, each made once per process. Made for each
// read instead, they made QGate([[0.6, 0.8], [0.8, -0.6]]) 2.4 to 3.1 times as slow (5.4-6.2 us
// against 2.0-2.2 us, side by side). Throws PythonErrorSet if the name cannot be made.
PyObject* attribute_name(PyObject*& made, const char* text) {
    if (made == nullptr) {
        made = PyUnicode_InternFromString(text);
        if (made == nullptr) throw_pending_error();
    }
    return made;
}

PyObject* real_name = nullptr;
PyObject* imag_name = nullptr;

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

// The interpreter could not make a result object (it is out of memory): show its error, then
// stop the call as an internal failure. The notice names the caller's position.
[[noreturn]] void fail_result_creation(std::source_location where = std::source_location::current()) {
    PyErr_Print();
    korvel::fail(messages::result_creation_failed, where);
}

}  // namespace

std::uint32_t to_u32(PyObject* object) {
    OwnedRef index;
    PyObject* integer = object;
    // An exact int is its own index; skip the call that would hand it straight back.
    if (!PyLong_CheckExact(object)) {
        index = OwnedRef::steal(PyNumber_Index(object));
        if (!index) throw_pending_error();
        integer = index.get();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(integer);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) throw_pending_error();
    if (value > std::numeric_limits<std::uint32_t>::max()) {
        throw_new_error(PyExc_OverflowError, messages::integer_out_of_range);
    }
    return static_cast<std::uint32_t>(value);
}

void to_index_list(PyObject* object, IndexList& out) {
    for_each_sequence_item(
        object, [&](std::size_t hint) { out.reserve(hint); },
        [&](PyObject* item) { out.push_back(to_u32(item)); });
}

korvel::Complex to_complex(PyObject* object) {
    PyObject* real_attribute = attribute_name(real_name, "real");
    PyObject* imag_attribute = attribute_name(imag_name, "imag");
    const double real = complex_field(object, real_attribute, messages::complex_real_failed);
    const double imag = complex_field(object, imag_attribute, messages::complex_imag_failed);
    return {real, imag};
}

std::vector<std::vector<korvel::Complex>> to_matrix(PyObject* object) {
    std::vector<std::vector<korvel::Complex>> rows;
    for_each_sequence_item(
        object, [&](std::size_t hint) { reserve_items(rows, hint); },
        [&](PyObject* row_object) {
            std::vector<korvel::Complex> row;
            for_each_sequence_item(
                row_object, [&](std::size_t hint) { reserve_items(row, hint); },
                [&](PyObject* element) { append_item(row, to_complex(element)); });
            append_item(rows, std::move(row));
        });
    return rows;
}

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
    // The partly built list is already gone, so that printing and the failure notice have
    // memory to work with.
    if (!made.list) fail_result_creation();
    return made.list.release();
}

PyObject* to_python_int(std::uint32_t value) {
    PyObject* integer = PyLong_FromUnsignedLongLong(value);
    if (integer == nullptr) fail_result_creation();
    return integer;
}

}  // namespace korvel::binding
