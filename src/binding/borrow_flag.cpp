#include "binding/borrow_flag.hpp"

#include "binding/pending_error.hpp"

namespace korvel::binding {

void throw_already_borrowed() { throw_new_error(PyExc_RuntimeError, "Already borrowed"); }

void throw_already_mutably_borrowed() { throw_new_error(PyExc_RuntimeError, "Already mutably borrowed"); }

}  // namespace korvel::binding
