#pragma once

#include <bit>
#include <cstdint>

namespace korvel {

// The indices below 2^bits whose `fixed` bits equal `set` (a subset of `fixed`), numbered
// ascending by a dense u in 0 … count()−1. A pass walks them with next(), which costs a few
// integer operations instead of re-inserting every fixed bit.
class SubsetIndices {
public:
    SubsetIndices(std::uint32_t bits, std::uint64_t fixed, std::uint64_t set) noexcept
        : fixed_(fixed), set_(set),
          count_(std::uint64_t{1} << (bits - static_cast<std::uint32_t>(std::popcount(fixed)))) {}

    std::uint64_t count() const noexcept { return count_; }

    // How many consecutive u map to consecutive indices: the runs below the lowest fixed bit.
    std::uint64_t run_length() const noexcept { return fixed_ == 0 ? count_ : (fixed_ & (~fixed_ + 1)); }

    // u with a 0 bit inserted at every fixed position, lowest first, then the set bits.
    std::uint64_t at(std::uint64_t u) const noexcept {
        for (std::uint64_t rest = fixed_; rest != 0; rest &= rest - 1) {
            const std::uint64_t low = (rest & (~rest + 1)) - 1;
            u = (u & low) | ((u & ~low) << 1);
        }
        return u | set_;
    }

    // at(u + 1) given i = at(u): the carry runs through the fixed bits, held at 1 meanwhile.
    std::uint64_t next(std::uint64_t i) const noexcept {
        return (((i | fixed_) + 1) & ~fixed_) | set_;
    }

private:
    std::uint64_t fixed_;
    std::uint64_t set_;
    std::uint64_t count_;
};

}  // namespace korvel
