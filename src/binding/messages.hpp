// The texts only the korvel module's binding produces: its own internal failures and the Python
// errors of argument binding and conversion. The engine's texts are in engine/base/messages.hpp.
//
// These texts are part of the interface: callers and tests match them byte for byte. Do not
// reword them, not even their spelling or punctuation.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace korvel::messages {

// Written before the traceback of a PanicException that Python code passed back to the module.
inline constexpr char resumed_panic_banner[] =
    "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
    "Python stack trace below:\n";

// ---- Internal failures of the binding ----

inline constexpr char result_creation_failed[] = "Python API call failed";
inline constexpr char unknown_exception[] = "unknown C++ exception";
inline constexpr char boundary_abort[] = "uncaught panic at ffi boundary";
// A resumed PanicException whose value is not a bare str.
inline constexpr char unwrapped_panic[] = "Unwrapped panic from Python code";

// ---- Python errors of the binding ----

// RuntimeError: the instance is in use by another operation.
inline constexpr char already_borrowed[] = "Already borrowed";
inline constexpr char already_mutably_borrowed[] = "Already mutably borrowed";
// TypeError
inline constexpr char str_as_sequence[] = "Can't extract `str` to `Vec`";
inline constexpr char complex_real_failed[] = "failed to extract field Complex.real";
inline constexpr char complex_imag_failed[] = "failed to extract field Complex.imag";
// OverflowError
inline constexpr char integer_out_of_range[] = "out of range integral type conversion attempted";
// SystemError
inline constexpr char nothing_pending[] = "attempted to fetch exception but none was set";
// ImportError
inline constexpr char initialised_twice[] =
    "PyO3 modules may only be initialized once per interpreter process";

// TypeError for an object of the wrong type; the type's name when it cannot be read.
inline std::string type_mismatch(std::string_view type_name, std::string_view target) {
    std::string text = "'";
    text += type_name;
    text += "' object cannot be converted to '";
    text += target;
    text += '\'';
    return text;
}
inline constexpr char unreadable_type_name[] = "<failed to extract type name>";
// The targets a mismatch names.
inline constexpr char sequence_target[] = "Sequence";
inline constexpr char register_target[] = "Register";
inline constexpr char qgate_target[] = "QGate";
inline constexpr char list_target[] = "PyList";

// TypeErrors of argument binding; `display` names the operation ("Register.measure()").
inline std::string too_many_positional(std::string_view display, std::size_t parameters,
                                       std::size_t given) {
    return std::string(display) + " takes " + std::to_string(parameters) +
           " positional arguments but " + std::to_string(given) +
           (given == 1 ? " was given" : " were given");
}

inline std::string missing_arguments(std::string_view display, std::span<const char* const> missing) {
    std::string names;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) {
            if (i + 1 < missing.size()) {
                names += ", ";
            } else {
                names += missing.size() == 2 ? " and " : ", and ";
            }
        }
        names += '\'';
        names += missing[i];
        names += '\'';
    }
    return std::string(display) + " missing " + std::to_string(missing.size()) +
           " required positional " + (missing.size() == 1 ? "argument: " : "arguments: ") + names;
}

// Formats for PyUnicode_FromFormat, since they carry a Python object as the caller gave it.
// Keyword errors: the display, then what is wrong, then the keyword (%U: a str, shown as
// written; %S: anything else).
inline constexpr char keyword_refused_str[] = "%s %s '%U'";
inline constexpr char keyword_refused_other[] = "%s %s '%S'";
inline constexpr char unexpected_keyword[] = "got an unexpected keyword argument";
inline constexpr char repeated_keyword[] = "got multiple values for argument";
// A conversion's TypeError, prefixed with the argument's name.
inline constexpr char argument_error[] = "argument '%s': %U";

}  // namespace korvel::messages
