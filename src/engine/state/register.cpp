#include "engine/state/register.hpp"

#include <new>

#include "engine/base/failure.hpp"
#include "engine/base/messages.hpp"

namespace korvel {

void fail_poisoned(std::source_location where) {
    fail_unwrap(messages::poison_error, where);
}

StateBlock::StateBlock(std::size_t amplitude_count) : amplitudes_(amplitude_count) {}

StateBlock::~StateBlock() = default;

void StateBlock::settle_pending() const {
    if (!pending_) return;
    // The block itself is never const (registers own theirs through a plain pointer): a const
    // hold only promises its callers that nothing they can observe changes, which settling keeps.
    Complex* amplitudes = const_cast<Complex*>(amplitudes_.data());
    pending_->settle(std::span<Complex>(amplitudes, amplitudes_.size()));
}

Register Register::create(std::uint32_t qubits) {
    if (qubits >= max_qubits_exclusive) {
        fail(messages::too_many_qubits(max_qubits_exclusive));
    }
    const std::size_t count = std::size_t{1} << qubits;
    std::unique_ptr<StateBlock> state;
    try {
        state = std::make_unique<StateBlock>(count);
    } catch (const std::bad_alloc&) {
        // Only the block's own small header can fail this way; the amplitudes report their
        // own size through AllocationFailure.
        throw AllocationFailure(sizeof(StateBlock));
    }
    state->locked([](std::span<Complex> amplitudes) { amplitudes[0] = Complex{1.0, 0.0}; });
    return Register(qubits, std::move(state));
}

}  // namespace korvel
