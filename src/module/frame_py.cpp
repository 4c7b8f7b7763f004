// Argument binding, parameter-kind conversion and error translation.
#include "module/frame.h"

#include <string>

namespace kv {

namespace {

// The refusal for a str passed where a list of text or floats is expected.
constexpr const char* kStrForList = "a 'str' object cannot be converted to a list of items";

// The number of items worth reserving for a sequence of unknown honesty.
std::size_t reserve_hint(PyObject* seq) {
    Py_ssize_t n = PySequence_Size(seq);
    if (n < 0) {
        PyErr_Clear();
        return 0;
    }
    // A list or tuple reports its real length; other sequences only hint at it.
    if (PyList_Check(seq) || PyTuple_Check(seq)) return static_cast<std::size_t>(n);
    return static_cast<std::size_t>(n < 4096 ? n : 4096);
}

// Refuses str and non-sequences, then calls each(item) for every element.
template <class F>
bool walk_sequence(PyObject* seq, F&& each) {
    if (PyUnicode_Check(seq)) {
        PyErr_SetString(PyExc_TypeError, kStrForList);
        return false;
    }
    if (!PySequence_Check(seq)) {
        set_conversion_error(seq, "Sequence");
        return false;
    }
    Ref it = Ref::steal(PyObject_GetIter(seq));
    if (!it) return false;
    while (true) {
        Ref item = Ref::steal(PyIter_Next(it.get()));
        if (!item) return !PyErr_Occurred();
        if (!each(std::move(item))) return false;
    }
}

}  // namespace

PyObject* internal_fault_type() {
    // Created on first use; the GIL serialises callers. Creating the type can
    // run a garbage collection (and so other threads), hence the re-check.
    static PyObject* type = nullptr;
    if (!type) {
        PyObject* t =
            PyErr_NewException("kelvo_native.InternalFault", PyExc_BaseException, nullptr);
        if (!type)
            type = t;
        else
            Py_XDECREF(t);
    }
    return type;
}

void set_conversion_error(PyObject* obj, const char* target) {
    Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (!qualname) return;
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", qualname.get(),
                 target);
}

bool text_from_py(PyObject* obj, std::string_view& out) {
    if (!PyUnicode_Check(obj)) {
        set_conversion_error(obj, "PyString");
        return false;
    }
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(obj, &n);
    if (!s) return false;
    out = {s, static_cast<std::size_t>(n)};
    return true;
}

bool float_from_py(PyObject* obj, double& out) {
    if (PyFloat_CheckExact(obj)) {
        out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    out = PyFloat_AsDouble(obj);
    return !(out == -1.0 && PyErr_Occurred());
}

namespace frame {

bool count_from_py(PyObject* o, uint64_t& out) {
    Ref owned;
    if (!PyLong_Check(o)) {
        owned = Ref::steal(PyNumber_Index(o));
        if (!owned) return false;
        o = owned.get();
    }
    unsigned long long v = PyLong_AsUnsignedLongLong(o);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool int_from_py(PyObject* o, int64_t& out) {
    long long v = PyLong_AsLongLong(o);
    if (v == -1 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool text_list_from_py(PyObject* o, TextList& out) {
    if (PySequence_Check(o) && !PyUnicode_Check(o)) {
        std::size_t hint = reserve_hint(o);
        out.owners.reserve(hint);
        out.items.reserve(hint);
    }
    return walk_sequence(o, [&](Ref item) {
        std::string_view v;
        if (!text_from_py(item.get(), v)) return false;
        out.items.push_back(v);
        out.owners.push_back(std::move(item));
        return true;
    });
}

bool float_list_from_py(PyObject* o, FloatList& out) {
    if (PySequence_Check(o) && !PyUnicode_Check(o)) out.reserve(reserve_hint(o));
    return walk_sequence(o, [&](Ref item) {
        double d;
        if (!float_from_py(item.get(), d)) return false;
        out.push_back(d);
        return true;
    });
}

Signature parse_signature(const char* doc) {
    Signature sig;
    std::string_view text(doc);
    std::size_t open = text.find('(');
    std::size_t close = text.find(')');
    sig.name = text.substr(0, open);
    std::string_view inner = text.substr(open + 1, close - open - 1);
    while (!inner.empty()) {
        std::size_t comma = inner.find(", ");
        std::string_view part = inner.substr(0, comma);
        std::size_t eq = part.find('=');
        if (eq == std::string_view::npos) {
            sig.params.push_back(part);
            sig.defaults.emplace_back();
            ++sig.required;
        } else {
            sig.params.push_back(part.substr(0, eq));
            sig.defaults.push_back(part.substr(eq + 1));
        }
        if (comma == std::string_view::npos) break;
        inner.remove_prefix(comma + 2);
    }
    return sig;
}

namespace {

std::string fname(const Signature& sig) {
    return std::string(sig.name) + "()";
}

void raise_type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
}

void raise_too_many(const Signature& sig, Py_ssize_t given) {
    std::size_t n = sig.params.size();
    std::string msg = fname(sig) + " takes ";
    if (sig.required == n)
        msg += std::to_string(n);
    else
        msg += "from " + std::to_string(sig.required) + " to " + std::to_string(n);
    msg += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") +
           " given";
    raise_type_error(msg);
}

void raise_missing(const Signature& sig, const std::vector<std::string_view>& missing) {
    std::string msg = fname(sig) + " missing " + std::to_string(missing.size()) +
                      " required positional argument" + (missing.size() == 1 ? "" : "s") + ": ";
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) {
            if (missing.size() == 2)
                msg += " and ";
            else
                msg += (i + 1 == missing.size()) ? ", and " : ", ";
        }
        msg.push_back('\'');
        msg.append(missing[i]);
        msg.push_back('\'');
    }
    raise_type_error(msg);
}

}  // namespace

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** slots) {
    const std::size_t n = sig.params.size();
    nargs = PyVectorcall_NARGS(nargs);
    if (static_cast<std::size_t>(nargs) > n) {
        raise_too_many(sig, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];

    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            std::size_t slot = n;
            for (std::size_t p = 0; p < n; ++p) {
                if (PyUnicode_EqualToUTF8AndSize(key, sig.params[p].data(),
                                                 static_cast<Py_ssize_t>(sig.params[p].size()))) {
                    slot = p;
                    break;
                }
            }
            if (slot == n) {
                PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'",
                             fname(sig).c_str(), key);
                return false;
            }
            if (slots[slot]) {
                PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                             fname(sig).c_str(), std::string(sig.params[slot]).c_str());
                return false;
            }
            slots[slot] = args[nargs + k];
        }
    }

    if (static_cast<std::size_t>(nargs) < sig.required) {
        std::vector<std::string_view> missing;
        for (std::size_t p = 0; p < sig.required; ++p)
            if (!slots[p]) missing.push_back(sig.params[p]);
        if (!missing.empty()) {
            raise_missing(sig, missing);
            return false;
        }
    }
    return true;
}

void wrap_conversion_error(std::string_view param) {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc || !Py_IS_TYPE(exc, reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
        PyErr_SetRaisedException(exc);
        return;
    }
    Ref original = Ref::steal(exc);
    Ref text = Ref::steal(PyObject_Str(exc));
    if (!text) return;
    Ref message = Ref::steal(
        PyUnicode_FromFormat("argument '%s': %U", std::string(param).c_str(), text.get()));
    if (!message) return;
    Ref wrapped = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!wrapped) return;
    PyException_SetCause(wrapped.get(), PyException_GetCause(exc));
    PyErr_SetRaisedException(wrapped.release());
}

void raise_internal_fault(std::string_view message) {
    PyObject* type = internal_fault_type();
    if (!type) return;
    Ref text = Ref::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return;
    PyErr_SetObject(type, text.get());
}

}  // namespace frame
}  // namespace kv
