#include <cstdint>
#include <limits>

#include "binding/conversion.hpp"
#include "binding/owned_ref.hpp"
#include "binding/pending_error.hpp"
#include "binding/sequence_conversion.hpp"

namespace korvel::binding {

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
        throw_new_error(PyExc_OverflowError, "out of range integral type conversion attempted");
    }
    return static_cast<std::uint32_t>(value);
}

void to_index_list(PyObject* object, IndexList& out) {
    for_each_sequence_item(
        object, [&](std::size_t hint) { out.reserve(hint); },
        [&](PyObject* item) { out.push_back(to_u32(item)); });
}

}  // namespace korvel::binding
