#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace korvel::binding {

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
        heap_.push_back(index);
    }

    std::span<const std::uint32_t> span() const noexcept {
        if (on_heap_) return {heap_.data(), heap_.size()};
        return {inline_.data(), inline_size_};
    }

private:
    void move_to_heap(std::size_t capacity) {
        heap_.reserve(capacity);
        heap_.assign(inline_.begin(), inline_.begin() + static_cast<std::ptrdiff_t>(inline_size_));
        on_heap_ = true;
    }

    std::array<std::uint32_t, inline_capacity> inline_;
    std::size_t inline_size_ = 0;
    bool on_heap_ = false;
    std::vector<std::uint32_t> heap_;
};

}  // namespace korvel::binding
