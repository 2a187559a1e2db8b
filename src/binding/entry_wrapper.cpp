#include "binding/entry_wrapper.hpp"

#include <string>

#include "engine/stderr_output.hpp"

namespace korvel::binding {

void report_foreign_failure(const char* message, std::source_location where) noexcept {
    try {
        std::string notice = "thread '<unnamed>' panicked at '";
        notice += message;
        notice += "', ";
        notice += where.file_name();
        notice += ':';
        notice += std::to_string(where.line());
        notice += ':';
        notice += std::to_string(where.column());
        notice += '\n';
        korvel::write_stderr(notice);
    } catch (...) {
        // Out of memory for the notice itself: the exception still reaches Python.
    }
}

}  // namespace korvel::binding
