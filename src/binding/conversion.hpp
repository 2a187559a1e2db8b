// Conversion between Python objects and engine values: integers, qubit lists, complex numbers,
// matrices, and the results that go back to Python.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <utility>
#include <vector>

#include "engine/base/complex.hpp"
#include "engine/base/failure.hpp"
#include "engine/state/register.hpp"

namespace korvel::binding {

// Room for `count` items. An argument that runs the process out of memory is reported like
// every other exhausted allocation, naming the bytes that were refused.
template <class T>
void reserve_items(std::vector<T>& items, std::size_t count) {
    try {
        items.reserve(count);
    } catch (const std::bad_alloc&) {
        throw korvel::AllocationFailure(count * sizeof(T));
    }
}

// push_back, with the growth (doubling) made by reserve_items so that a refusal names its size.
template <class T, class Item>
void append_item(std::vector<T>& items, Item&& item) {
    if (items.size() == items.capacity()) reserve_items(items, std::max<std::size_t>(1, 2 * items.size()));
    items.push_back(std::forward<Item>(item));
}

// The qubit numbers of `targets` or `controls`. Almost every call names a handful of qubits,
// so those stay in the object itself and a call allocates nothing; longer lists move to the heap.
class IndexList {
public:
    static constexpr std::size_t inline_capacity = 16;

    void reserve(std::size_t count) {
        if (count > inline_capacity && !on_heap_) move_to_heap(count);
    }

    void push_back(std::uint32_t index) {
        if (!on_heap_) {
            if (inline_size_ < inline_capacity) {
                inline_[inline_size_++] = index;
                return;
            }
            move_to_heap(2 * inline_capacity);
        }
        append_item(heap_, index);
    }

    std::span<const std::uint32_t> span() const noexcept {
        if (on_heap_) return {heap_.data(), heap_.size()};
        return {inline_.data(), inline_size_};
    }

private:
    void move_to_heap(std::size_t capacity) {
        reserve_items(heap_, capacity);
        heap_.assign(inline_.begin(), inline_.begin() + static_cast<std::ptrdiff_t>(inline_size_));
        on_heap_ = true;
    }

    std::array<std::uint32_t, inline_capacity> inline_;
    std::size_t inline_size_ = 0;
    bool on_heap_ = false;
    std::vector<std::uint32_t> heap_;
};

// Each conversion from Python leaves a Python exception pending and throws PythonErrorSet on
// failure; the caller names the argument (convert_argument).

// An integer-like object (ints, bools, anything with __index__) from 0 to 2^32 - 1.
std::uint32_t to_u32(PyObject* object);

// A sequence of integer-like objects, in iteration order, duplicates kept.
void to_index_list(PyObject* object, IndexList& out);

// A number-like object, read through its `real` and `imag` attributes.
korvel::Complex to_complex(PyObject* object);

// A sequence of sequences of number-like objects, of any lengths.
std::vector<std::vector<korvel::Complex>> to_matrix(PyObject* object);

// A new list of the register's probabilities, each float made straight from its amplitude
// under the state lock, in index order: no copy of the probabilities is ever held.
PyObject* probabilities_to_python_list(const Register& reg);

// A new int.
PyObject* to_python_int(std::uint32_t value);

}  // namespace korvel::binding
