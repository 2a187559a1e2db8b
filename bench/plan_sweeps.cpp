// Prints the number of runs (sweeps of the state) the sequence planner makes of a circuit, as
// one JSON line: for the whole sequence at once (the circuit runner) and as the korvel module
// sees it (the first call on its own, then the queue's chunks).
//
//   plan_sweeps QUBITS < gates
//
// Input: one gate per line, "target controls_mask m00re m00im m01re m01im m10re m10im m11re m11im".

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <vector>

#include "engine/sequence/gate_queue.hpp"
#include "engine/sequence/sequence_plan.hpp"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: plan_sweeps QUBITS < gates\n");
        return 2;
    }
    const auto qubits = static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 10));
    std::vector<korvel::SequenceGate> gates;
    std::uint32_t target;
    std::uint64_t controls;
    double m[8];
    while (std::cin >> target >> controls >> m[0] >> m[1] >> m[2] >> m[3] >> m[4] >> m[5] >> m[6] >> m[7]) {
        gates.push_back({korvel::QGate::from_entries({m[0], m[1]}, {m[2], m[3]}, {m[4], m[5]}, {m[6], m[7]}),
                         target, controls});
    }
    const korvel::BlockShape shape = korvel::block_shape(qubits);
    korvel::SequencePlan plan;
    korvel::plan_sequence(qubits, gates, shape, plan);
    const std::size_t whole = plan.runs.size();
    // The module: the first gate runs in its own call, the rest in chunks of the queue's length.
    const std::size_t chunk = korvel::pending_capacity(qubits);
    std::size_t module = gates.empty() ? 0 : 1;
    for (std::size_t begin = 1; begin < gates.size(); begin += chunk) {
        const std::size_t end = std::min(gates.size(), begin + chunk);
        korvel::plan_sequence(qubits, std::span(gates).subspan(begin, end - begin), shape, plan);
        module += plan.runs.size();
    }
    std::printf("{\"qubits\": %u, \"gates\": %zu, \"block_bits\": %u, \"contiguous_bits\": %u, "
                "\"runner_sweeps\": %zu, \"module_sweeps\": %zu}\n",
                qubits, gates.size(), shape.block_bits, shape.contiguous_bits, whole, module);
    return 0;
}
