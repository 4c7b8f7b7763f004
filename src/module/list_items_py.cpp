// Element readers shared by the Python-facing layers.
#include "module/list_items.h"

#include <string_view>

namespace kv {

bool is_numpy_bool_type(PyTypeObject* type) {
    std::string_view tp_name(type->tp_name);
    if (!tp_name.ends_with("bool") && !tp_name.ends_with("bool_")) return false;
    Ref name = Ref::steal(PyType_GetName(type));
    if (!name) {
        PyErr_Clear();
        return false;
    }
    if (!PyUnicode_EqualToUTF8(name.get(), "bool") && !PyUnicode_EqualToUTF8(name.get(), "bool_"))
        return false;
    Ref module = Ref::steal(PyType_GetModuleName(type));
    if (!module) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(module.get()) && PyUnicode_EqualToUTF8(module.get(), "numpy");
}

}  // namespace kv
