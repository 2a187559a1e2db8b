#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstddef>

#include "binding/owned_ref.hpp"
#include "binding/pending_error.hpp"
#include "binding/type_mismatch.hpp"

namespace korvel::binding {

// A length hint is only a guess (any __len__ may report it): reserve no more than this many
// items up front, and let the container grow past it if the iteration really yields more.
inline constexpr std::size_t max_reserved_items = std::size_t{1} << 16;

// Refuses str (and anything claiming to be one) before the sequence test, which str passes.
void refuse_str(PyObject* object);

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
    if (!PySequence_Check(object)) throw_type_mismatch(object, "Sequence");
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

}  // namespace korvel::binding
