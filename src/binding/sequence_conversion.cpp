#include "binding/sequence_conversion.hpp"

namespace korvel::binding {

void refuse_str(PyObject* object) {
    int is_str = PyUnicode_Check(object) ? 1 : PyObject_IsInstance(object, reinterpret_cast<PyObject*>(&PyUnicode_Type));
    if (is_str < 0) {
        // The test itself failed (a __class__ that raises): carry on as with any non-str.
        discard_pending_error();
        return;
    }
    if (is_str == 1) throw_new_error(PyExc_TypeError, "Can't extract `str` to `Vec`");
}

}  // namespace korvel::binding
