#include "binding/entry_wrapper.hpp"

#include "engine/failure.hpp"

namespace korvel::binding {

void report_foreign_failure(const char* message, std::source_location where) noexcept {
    korvel::write_failure_notice(message, where);
}

}  // namespace korvel::binding
