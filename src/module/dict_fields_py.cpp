#include "module/dict_fields.h"

#include "module/frame.h"

namespace kv {

namespace {

// The value under key as a strong reference; null when absent or when the
// lookup raised (the error is discarded).
Ref lookup_quietly(PyObject* dict, PyObject* key) {
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(dict, key, &value) < 0) {
        PyErr_Clear();
        return {};
    }
    return Ref::steal(value);
}

}  // namespace

std::string_view get_str_from_dict(PyObject* dict, PyObject* key, Ref& holder) {
    holder = lookup_quietly(dict, key);
    if (!holder || !PyUnicode_Check(holder.get())) return {};
    std::string_view out;
    if (!text_from_py(holder.get(), out)) {
        PyErr_Clear();
        return {};
    }
    return out;
}

std::optional<double> get_optional_f64_from_dict(PyObject* dict, PyObject* key) {
    Ref value = lookup_quietly(dict, key);
    if (!value) return std::nullopt;
    // Values the float conversion is bound to refuse (None, str, ...) are
    // turned away here, without building the TypeError only to discard it.
    if (!PyFloat_Check(value.get())) {
        const PyNumberMethods* nb = Py_TYPE(value.get())->tp_as_number;
        if (!nb || (!nb->nb_float && !nb->nb_index)) return std::nullopt;
    }
    double d;
    if (!float_from_py(value.get(), d)) {
        PyErr_Clear();
        return std::nullopt;
    }
    return d;
}

double get_score_from_dict(PyObject* dict, PyObject* score_key) {
    return get_optional_f64_from_dict(dict, score_key).value_or(0.0);
}

bool copy_runs_no_python(PyObject* dict) {
    if (!PyDict_CheckExact(dict)) return false;
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &pos, &key, &value))
        if (!PyUnicode_CheckExact(key)) return false;
    return true;
}

Ref copy_pydict(PyObject* dict) {
    // A plain dict with str keys: CPython's own copy gives the same dict
    // (same keys and values in the same order), without rehashing each key.
    if (copy_runs_no_python(dict)) return check(PyDict_Copy(dict));
    Ref copy = check(PyDict_New());
    const Py_ssize_t size = PyDict_GET_SIZE(dict);
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        // Setting the item hashes the key and may compare it, which runs
        // Python code: hold both objects across it.
        Ref k = Ref::borrow(key);
        Ref v = Ref::borrow(value);
        check_status(PyDict_SetItem(copy.get(), k.get(), v.get()));
        if (PyDict_GET_SIZE(dict) != size) fault("dict changed size during copy");
    }
    return copy;
}

}  // namespace kv
