#pragma once

// The comma-separated numbers of the benchmark programs' options, e.g. "--qubits 16,20,24".

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

// The decimal numbers in `text`, in order; nullopt when an item is empty ("16,,20").
inline std::optional<std::vector<long>> parse_number_list(const char* text) {
    std::vector<long> values;
    std::string item;
    for (const char* p = text;; ++p) {
        if (*p == ',' || *p == '\0') {
            if (item.empty()) return std::nullopt;
            values.push_back(std::strtol(item.c_str(), nullptr, 10));
            item.clear();
            if (*p == '\0') break;
        } else {
            item.push_back(*p);
        }
    }
    return values;
}
