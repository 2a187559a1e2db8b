#pragma once

#include "binding/pending_error.hpp"

namespace korvel::binding {

// Called with the failure of the conversion of argument `name` pending: a plain TypeError is
// replaced by one that names the argument; anything else passes through unchanged.
[[noreturn]] void remap_argument_error(const char* name);

// Runs one argument's conversion, naming the argument in its TypeError if it fails.
template <class Convert>
decltype(auto) convert_argument(const char* name, Convert&& convert) {
    try {
        return convert();
    } catch (const PythonErrorSet&) {
        remap_argument_error(name);
    }
}

}  // namespace korvel::binding
