#include "binding/type_mismatch.hpp"

#include <string>

#include "binding/owned_ref.hpp"
#include "binding/pending_error.hpp"

namespace korvel::binding {
namespace {

// The type's __qualname__ as UTF-8; a type whose name cannot be read as text still gets a
// message, since the mismatch is what the caller needs to hear about.
std::string type_name_of(PyObject* object) {
    static constexpr const char* unreadable = "<failed to extract type name>";
    OwnedRef name = OwnedRef::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
    if (!name) {
        discard_pending_error();
        return unreadable;
    }
    if (!PyUnicode_Check(name.get())) return unreadable;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (text == nullptr) {
        discard_pending_error();
        return unreadable;
    }
    return std::string(text, static_cast<std::size_t>(size));
}

}  // namespace

void throw_type_mismatch(PyObject* object, const char* target) {
    std::string message = "'";
    message += type_name_of(object);
    message += "' object cannot be converted to '";
    message += target;
    message += '\'';
    throw_new_error(PyExc_TypeError, message.c_str());
}

}  // namespace korvel::binding
