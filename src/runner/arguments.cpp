// Argument binding and conversion for the runner module.

#include "runner/arguments.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "binding/owned_ref.hpp"
#include "engine/state/register.hpp"
#include "runner/calls.hpp"

namespace korvel::runner {

using binding::OwnedRef;

void bind_arguments(const char* function, const char* const* names, std::size_t count, std::size_t required,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** bound) {
    const auto positional = static_cast<std::size_t>(nargs);
    if (positional > count) {
        raise_error(PyExc_TypeError, "%s() takes at most %zu argument%s (%zd given)", function, count,
                    count == 1 ? "" : "s", nargs);
    }
    for (std::size_t i = 0; i < positional; ++i) bound[i] = args[i];
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        std::size_t i = 0;
        while (i < count && PyUnicode_CompareWithASCIIString(keyword, names[i]) != 0) ++i;
        if (i == count) {
            raise_error(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, keyword);
        }
        if (bound[i] != nullptr) {
            raise_error(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zu)", function,
                        names[i], i + 1);
        }
        bound[i] = args[nargs + k];
    }
    for (std::size_t i = 0; i < required; ++i) {
        if (bound[i] == nullptr) {
            raise_error(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", function, names[i], i + 1);
        }
    }
}

namespace {

// The value as an exact int through __index__; TypeError naming the parameter for anything else.
OwnedRef as_index(PyObject* value, const char* name, const char* expected) {
    if (!PyIndex_Check(value)) {
        raise_error(PyExc_TypeError, "%s must be %s, not '%.200s'", name, expected, Py_TYPE(value)->tp_name);
    }
    OwnedRef index = OwnedRef::steal(PyNumber_Index(value));
    if (!index) raise_pending();
    return index;
}

// The int's value when it lies in [0, 2^64); nullopt when it lies outside.
std::optional<std::uint64_t> as_u64(PyObject* index) {
    int overflow = 0;
    const long long small = PyLong_AsLongLongAndOverflow(index, &overflow);
    if (small == -1 && PyErr_Occurred()) raise_pending();
    if (overflow == 0) {
        if (small < 0) return std::nullopt;
        return static_cast<std::uint64_t>(small);
    }
    if (overflow < 0) return std::nullopt;
    const unsigned long long large = PyLong_AsUnsignedLongLong(index);
    if (large == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) raise_pending();
        PyErr_Clear();
        return std::nullopt;
    }
    return large;
}

std::uint64_t checked_integer(PyObject* value, const char* name, const char* expected, std::uint64_t low,
                              std::uint64_t high, const char* range) {
    OwnedRef index = as_index(value, name, expected);
    const std::optional<std::uint64_t> number = as_u64(index.get());
    if (!number || *number < low || *number > high) {
        raise_error(PyExc_ValueError, "%s must be %s, got %S", name, range, index.get());
    }
    return *number;
}

}  // namespace

std::uint64_t integer_in_range(PyObject* value, const char* name, std::uint64_t low, std::uint64_t high) {
    const std::string range = "between " + std::to_string(low) + " and " + std::to_string(high);
    return checked_integer(value, name, "an integer", low, high, range.c_str());
}

std::uint32_t qubit_count(PyObject* value) {
    return static_cast<std::uint32_t>(integer_in_range(value, "num_qubits", 0, max_qubits_exclusive - 1));
}

std::uint32_t clbit_count(PyObject* value) {
    return static_cast<std::uint32_t>(integer_in_range(value, "num_clbits", 0, circuit::max_clbits));
}

std::uint64_t shot_count(PyObject* value) {
    OwnedRef index = as_index(value, "shots", "an integer");
    const std::optional<std::uint64_t> number = as_u64(index.get());
    constexpr std::uint64_t most = (std::uint64_t{1} << 63) - 1;
    if (number && *number > most) {
        raise_error(PyExc_ValueError, "shots must be at most 2**63 - 1, got %S", index.get());
    }
    if (!number || *number < 1) {
        // Negative, or positive beyond 2^64 (then "at most" is what went wrong).
        OwnedRef zero = OwnedRef::steal(PyLong_FromLong(0));
        if (!zero) raise_pending();
        const int positive = PyObject_RichCompareBool(index.get(), zero.get(), Py_GT);
        if (positive < 0) raise_pending();
        if (positive == 1) {
            raise_error(PyExc_ValueError, "shots must be at most 2**63 - 1, got %S", index.get());
        }
        raise_error(PyExc_ValueError, "shots must be at least 1, got %S", index.get());
    }
    return *number;
}

std::optional<std::uint64_t> seed_value(PyObject* value) {
    if (value == nullptr || value == Py_None) return std::nullopt;
    return checked_integer(value, "seed", "an integer or None", 0, ~std::uint64_t{0},
                           "between 0 and 2**64 - 1");
}

namespace {

// A buffer view released on every way out. An exporter's refusal of the request (NumPy's "ndarray
// is not C-contiguous" for a strided array) names no argument, so the argument's name is put in
// front of it, with the exception's type kept.
class BufferView {
public:
    BufferView(PyObject* exporter, int flags, const char* name) {
        if (PyObject_GetBuffer(exporter, &view_, flags) == 0) return;
        if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_BufferError)) {
            raise_pending();
        }
        PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        const OwnedRef owned_type = OwnedRef::steal(type), owned_value = OwnedRef::steal(value),
                       owned_traceback = OwnedRef::steal(traceback);
        raise_error(owned_type.get(), "%s must be a C-contiguous buffer: %S", name, owned_value.get());
    }
    ~BufferView() { PyBuffer_Release(&view_); }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    const Py_buffer& operator*() const noexcept { return view_; }
    const Py_buffer* operator->() const noexcept { return &view_; }

private:
    Py_buffer view_{};
};

}  // namespace

bool fusion_flag(PyObject* value) {
    if (value == nullptr || value == Py_False) return false;
    if (value == Py_True) return true;
    raise_error(PyExc_TypeError, "fusion must be True or False, not '%.200s'", Py_TYPE(value)->tp_name);
}

std::vector<circuit::Step> read_program(PyObject* program, std::uint32_t qubits, std::uint32_t clbits,
                                        circuit::Steps allowed) {
    if (!PyObject_CheckBuffer(program)) {
        raise_error(PyExc_TypeError,
                    "program must be a bytes-like object (C-contiguous records of %zu bytes), not '%.200s'",
                    circuit::step_size, Py_TYPE(program)->tp_name);
    }
    const BufferView view(program, PyBUF_C_CONTIGUOUS, "program");
    const std::span<const std::byte> bytes(static_cast<const std::byte*>(view->buf),
                                           static_cast<std::size_t>(view->len));
    return circuit::decode_program(bytes, qubits, clbits, allowed);
}

namespace {

// The struct-module format of a native or little-endian 8-byte integer, and whether it is signed.
std::optional<bool> eight_byte_integer(const char* format, Py_ssize_t itemsize) {
    if (format == nullptr || itemsize != 8) return std::nullopt;
    if (*format == '@' || *format == '=' || *format == '<') ++format;
    if (std::strlen(format) != 1) return std::nullopt;
    switch (*format) {
        case 'q': case 'l': return true;
        case 'Q': case 'L': return false;
        default: return std::nullopt;
    }
}

}  // namespace

void with_complex_buffer(PyObject* buffer, const char* name, const std::function<void(std::span<const Complex>)>& use) {
    if (!PyObject_CheckBuffer(buffer)) {
        raise_error(PyExc_TypeError, "%s must be a one-dimensional complex128 array, not '%.200s'", name,
                    Py_TYPE(buffer)->tp_name);
    }
    const BufferView view(buffer, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS, name);
    const char* format = view->format == nullptr ? "B" : view->format;
    const char* code = format;
    if (*code == '@' || *code == '=' || *code == '<') ++code;
    if (std::strcmp(code, "Zd") != 0 || view->itemsize != 16 || view->ndim != 1) {
        raise_error(PyExc_TypeError,
                    "%s must be a one-dimensional complex128 array (format 'Zd'), got format '%s' with %d "
                    "dimension%s",
                    name, format, view->ndim, view->ndim == 1 ? "" : "s");
    }
    use(std::span<const Complex>(static_cast<const Complex*>(view->buf), static_cast<std::size_t>(view->shape[0])));
}

std::vector<std::uint64_t> read_masks(PyObject* masks, const char* name) {
    std::vector<std::uint64_t> values;
    if (PyObject_CheckBuffer(masks)) {
        const BufferView view(masks, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS, name);
        const std::optional<bool> is_signed = eight_byte_integer(view->format, view->itemsize);
        if (!is_signed || view->ndim != 1) {
            raise_error(PyExc_TypeError,
                        "%s must be a one-dimensional array of 64-bit integers (format 'Q' or 'q'), got "
                        "format '%s' with %d dimension%s",
                        name, view->format == nullptr ? "B" : view->format, view->ndim, view->ndim == 1 ? "" : "s");
        }
        const auto count = static_cast<std::size_t>(view->shape[0]);
        values.resize(count);
        // std::copy_n, not memcpy: an empty vector's data() may be null, which memcpy may not take.
        std::copy_n(static_cast<const std::uint64_t*>(view->buf), count, values.begin());
        if (*is_signed) {
            for (std::size_t j = 0; j < count; ++j) {
                if (static_cast<std::int64_t>(values[j]) < 0) {
                    raise_error(PyExc_ValueError, "%s[%zu] must not be negative, got %lld", name, j,
                                static_cast<long long>(values[j]));
                }
            }
        }
        return values;
    }
    OwnedRef items = OwnedRef::steal(PySequence_Fast(masks, ""));
    if (!items) {
        PyErr_Clear();
        raise_error(PyExc_TypeError, "%s must be an array or a sequence of integers, not '%.200s'", name,
                    Py_TYPE(masks)->tp_name);
    }
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    values.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t j = 0; j < count; ++j) {
        PyObject* item = PySequence_Fast_GET_ITEM(items.get(), j);
        const std::string item_name = std::string(name) + "[" + std::to_string(j) + "]";
        values.push_back(checked_integer(item, item_name.c_str(), "an integer", 0, ~std::uint64_t{0},
                                         "between 0 and 2**64 - 1"));
    }
    return values;
}

circuit::PauliSums read_pauli_terms(PyObject* terms, const char* name, std::size_t groups, std::uint32_t qubits) {
    if (!PyObject_CheckBuffer(terms)) {
        raise_error(PyExc_TypeError,
                    "%s must be a bytes-like object (C-contiguous records of %zu bytes), not '%.200s'", name,
                    circuit::pauli_term_size, Py_TYPE(terms)->tp_name);
    }
    const BufferView view(terms, PyBUF_C_CONTIGUOUS, name);
    const std::span<const std::byte> bytes(static_cast<const std::byte*>(view->buf),
                                           static_cast<std::size_t>(view->len));
    return circuit::decode_pauli_terms(bytes, name, groups, qubits);
}

std::vector<double> read_reals(PyObject* values, const char* name) {
    std::vector<double> out;
    if (PyObject_CheckBuffer(values)) {
        const BufferView view(values, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS, name);
        const char* format = view->format == nullptr ? "B" : view->format;
        const char* code = (*format == '@' || *format == '=' || *format == '<') ? format + 1 : format;
        if (std::strcmp(code, "d") != 0 || view->itemsize != 8 || view->ndim != 1) {
            raise_error(PyExc_TypeError,
                        "%s must be a one-dimensional array of float64 (format 'd'), got format '%s' with %d "
                        "dimension%s",
                        name, format, view->ndim, view->ndim == 1 ? "" : "s");
        }
        out.resize(static_cast<std::size_t>(view->shape[0]));
        std::copy_n(static_cast<const double*>(view->buf), out.size(), out.begin());
        return out;
    }
    OwnedRef items = OwnedRef::steal(PySequence_Fast(values, ""));
    if (!items) {
        PyErr_Clear();
        raise_error(PyExc_TypeError, "%s must be an array or a sequence of floats, not '%.200s'", name,
                    Py_TYPE(values)->tp_name);
    }
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    out.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t j = 0; j < count; ++j) {
        PyObject* item = PySequence_Fast_GET_ITEM(items.get(), j);
        const double value = PyFloat_AsDouble(item);
        if (value == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            raise_error(PyExc_TypeError, "%s[%zd] must be a real number, not '%.200s'", name, j,
                        Py_TYPE(item)->tp_name);
        }
        out.push_back(value);
    }
    return out;
}

}  // namespace korvel::runner
