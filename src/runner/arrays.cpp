// NumPy arrays for the runner's results.

#include "runner/arrays.hpp"

#include <limits>
#include <string>

#include "runner/calls.hpp"

namespace korvel::runner {

using binding::OwnedRef;

namespace {

struct TypeInfo {
    const char* dtype;
    std::size_t itemsize;
};

TypeInfo info(ElementType type) {
    switch (type) {
        case ElementType::float64: return {"float64", 8};
        case ElementType::complex128: return {"complex128", 16};
        case ElementType::uint64: return {"uint64", 8};
    }
    return {"uint64", 8};
}

[[noreturn]] void allocation_failed(std::uint64_t length, std::size_t itemsize) {
    const unsigned __int128 bytes = static_cast<unsigned __int128>(length) * itemsize;
    std::string digits;
    unsigned __int128 rest = bytes;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(rest % 10)));
        rest /= 10;
    } while (rest != 0);
    raise_error(PyExc_MemoryError, "memory allocation of %s bytes failed", digits.c_str());
}

}  // namespace

NewArray::NewArray(std::uint64_t length, ElementType type) {
    const TypeInfo element = info(type);
    if (length > static_cast<std::uint64_t>(std::numeric_limits<Py_ssize_t>::max()) / element.itemsize) {
        allocation_failed(length, element.itemsize);
    }
    OwnedRef numpy = OwnedRef::steal(PyImport_ImportModule("numpy"));
    if (!numpy) raise_pending();
    OwnedRef empty = OwnedRef::steal(PyObject_GetAttrString(numpy.get(), "empty"));
    if (!empty) raise_pending();
    OwnedRef shape = OwnedRef::steal(PyLong_FromUnsignedLongLong(length));
    if (!shape) raise_pending();
    OwnedRef dtype = OwnedRef::steal(PyUnicode_FromString(element.dtype));
    if (!dtype) raise_pending();
    array_ = OwnedRef::steal(PyObject_CallFunctionObjArgs(empty.get(), shape.get(), dtype.get(), nullptr));
    if (!array_) {
        // NumPy's own message names a shape and a type; ours says how much memory.
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
            PyErr_Clear();
            allocation_failed(length, element.itemsize);
        }
        raise_pending();
    }
    if (PyObject_GetBuffer(array_.get(), &view_, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) raise_pending();
    viewing_ = true;
}

NewArray::~NewArray() {
    if (viewing_) PyBuffer_Release(&view_);
}

PyObject* NewArray::release() noexcept {
    if (viewing_) {
        PyBuffer_Release(&view_);
        viewing_ = false;
    }
    return array_.release();
}

}  // namespace korvel::runner
