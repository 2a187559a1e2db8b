#include "engine/probabilities.hpp"

#include <new>
#include <optional>

#include "engine/failure.hpp"
#include "engine/gate_queue.hpp"
#include "engine/pool/worker_pool.hpp"

namespace korvel {

std::vector<double> probabilities(const Register& reg) {
    // The allocation happens under the lock, after the poison test, but a failed one must not
    // poison the register: it is carried out of the lock as a size and reported there.
    std::optional<std::size_t> failed_bytes;
    std::vector<double> result = reg.state().locked([&](std::span<Complex> amplitudes) {
        settle_pending(reg, amplitudes);
        std::vector<double> out;
        try {
            out.resize(amplitudes.size());
        } catch (const std::bad_alloc&) {
            failed_bytes = amplitudes.size() * sizeof(double);
            return out;
        }
        const Complex* in = amplitudes.data();
        double* values = out.data();
        parallel_for_ranges(0, amplitudes.size(), serial_grain,
                            [&](std::uint64_t first, std::uint64_t last) {
                                for (std::uint64_t k = first; k < last; ++k) {
                                    values[k] = norm_sqr(in[k]);
                                }
                            });
        return out;
    });
    if (failed_bytes) throw AllocationFailure(*failed_bytes);
    return result;
}

}  // namespace korvel
