// The call frame shared by every exported function.
//
// A function is written as a plain C++ function whose parameter types name the
// parameter kinds (Text, Bytes, double, Count, int64_t, TextList, FloatList,
// DictArg, ListArg, Instance<...>, ObjectArg) and declared once with
// KV_FUNCTION(name, "name(a, b=0.5)", "docstring body"). The text signature is
// the single source of the parameter names and defaults; the generic binder
// below does positional/keyword binding, conversion, error texts and the
// translation of C++ exceptions into Python exceptions.
#pragma once

#include "module/ref.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace kv {

// ---- parameter kinds -------------------------------------------------------

// text: a str (or subclass) read as UTF-8. The view lives as long as `obj`
// (the caller's argument), or is static for a default.
struct Text {
    PyObject* obj = nullptr;
    std::string_view view;
};

// bytes: a bytes (or subclass); the view points into the caller's object.
struct Bytes {
    PyObject* obj = nullptr;
    std::string_view view;
};

// count: an unsigned 64-bit integer taken through __index__.
struct Count {
    uint64_t value = 0;
};

// list of text: each element held by a strong reference for the whole call.
struct TextList {
    std::vector<Ref> owners;
    std::vector<std::string_view> items;
};

// list of floats.
using FloatList = std::vector<double>;

// dict / list / object: borrowed from the caller's arguments, which outlive the call.
struct DictArg {
    PyObject* obj = nullptr;
};
struct ListArg {
    PyObject* obj = nullptr;
};
struct ObjectArg {
    PyObject* obj = nullptr;
};

// class instance of one of the two index types.
enum class IndexKind { Bm25, Symbol };
template <class Core, IndexKind K>
struct Instance {
    const Core* core = nullptr;
};

// ---- shared helpers used by converters and by the areas -------------------

// Sets TypeError "'T' object cannot be converted to 'TARGET'" (T = type's qualname).
void set_conversion_error(PyObject* obj, const char* target);

// Converts one object as text; false with a Python error set on failure.
bool text_from_py(PyObject* obj, std::string_view& out);
// Float conversion of the C API (exact float fast path); false with an error set.
bool float_from_py(PyObject* obj, double& out);

// ---- index instances --------------------------------------------------------

PyTypeObject* index_type(IndexKind kind);  // created at module initialisation
const char* index_type_name(IndexKind kind);
// Wraps an owned core object into a new instance of the index type.
PyObject* make_index_object(IndexKind kind, void* core, void (*destroy)(void*) noexcept);
const void* index_core(PyObject* obj);

template <class Core>
PyObject* make_index(IndexKind kind, Core* core) {
    return make_index_object(kind, core, [](void* p) noexcept { delete static_cast<Core*>(p); });
}

namespace frame {

// ---- converters -------------------------------------------------------------

template <class T>
struct Convert;

template <>
struct Convert<Text> {
    static bool from_py(PyObject* o, Text& out) {
        out.obj = o;
        return text_from_py(o, out.view);
    }
    // Defaults are written as "..." in the text signature.
    static Text from_default(std::string_view lit) {
        return {nullptr, lit.substr(1, lit.size() - 2)};
    }
};

template <>
struct Convert<Bytes> {
    static bool from_py(PyObject* o, Bytes& out) {
        if (!PyBytes_Check(o)) {
            set_conversion_error(o, "PyBytes");
            return false;
        }
        out.obj = o;
        out.view = {PyBytes_AS_STRING(o), static_cast<std::size_t>(PyBytes_GET_SIZE(o))};
        return true;
    }
};

template <>
struct Convert<double> {
    static bool from_py(PyObject* o, double& out) { return float_from_py(o, out); }
    static double from_default(std::string_view lit) {
        return std::strtod(std::string(lit).c_str(), nullptr);
    }
};

bool count_from_py(PyObject* o, uint64_t& out);
bool int_from_py(PyObject* o, int64_t& out);

template <>
struct Convert<Count> {
    static bool from_py(PyObject* o, Count& out) { return count_from_py(o, out.value); }
    static Count from_default(std::string_view lit) {
        return {std::strtoull(std::string(lit).c_str(), nullptr, 10)};
    }
};

template <>
struct Convert<int64_t> {
    static bool from_py(PyObject* o, int64_t& out) { return int_from_py(o, out); }
    static int64_t from_default(std::string_view lit) {
        return std::strtoll(std::string(lit).c_str(), nullptr, 10);
    }
};

bool text_list_from_py(PyObject* o, TextList& out);
bool float_list_from_py(PyObject* o, FloatList& out);

template <>
struct Convert<TextList> {
    static bool from_py(PyObject* o, TextList& out) { return text_list_from_py(o, out); }
};
template <>
struct Convert<FloatList> {
    static bool from_py(PyObject* o, FloatList& out) { return float_list_from_py(o, out); }
};

template <>
struct Convert<DictArg> {
    static bool from_py(PyObject* o, DictArg& out) {
        if (!PyDict_Check(o)) {
            set_conversion_error(o, "PyDict");
            return false;
        }
        out.obj = o;
        return true;
    }
};

template <>
struct Convert<ListArg> {
    static bool from_py(PyObject* o, ListArg& out) {
        if (!PyList_Check(o)) {
            set_conversion_error(o, "PyList");
            return false;
        }
        out.obj = o;
        return true;
    }
};

template <>
struct Convert<ObjectArg> {
    static bool from_py(PyObject* o, ObjectArg& out) {
        out.obj = o;
        return true;
    }
    // The only object default is None.
    static ObjectArg from_default(std::string_view) { return {Py_None}; }
};

template <class Core, IndexKind K>
struct Convert<Instance<Core, K>> {
    static bool from_py(PyObject* o, Instance<Core, K>& out) {
        if (Py_TYPE(o) != index_type(K)) {
            set_conversion_error(o, index_type_name(K));
            return false;
        }
        out.core = static_cast<const Core*>(index_core(o));
        return true;
    }
};

// ---- signature and binding ----------------------------------------------------

// Parameter names and default literals, parsed once from the text signature.
struct Signature {
    std::string_view name;
    std::vector<std::string_view> params;
    std::vector<std::string_view> defaults;  // empty view: required
    std::size_t required = 0;
};

Signature parse_signature(const char* doc);

// Binds positional and keyword arguments to slots (null = absent). Raises the
// binding TypeError and returns false on failure.
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** slots);

// Rewrites a pending conversion TypeError as "argument 'X': ..." (other types unchanged).
void wrap_conversion_error(std::string_view param);

// Raises InternalFault with the message.
void raise_internal_fault(std::string_view message);

// Runs `f` and turns C++ exceptions into Python exceptions.
template <class F>
PyObject* guarded(F&& f) noexcept {
    try {
        PyObject* r = f();
        if (!r && !PyErr_Occurred())
            raise_internal_fault("function returned no result and no error");
        return r;
    } catch (const PyErrorSet&) {
        if (!PyErr_Occurred()) raise_internal_fault("error signalled without a Python exception");
    } catch (const InternalError& e) {
        raise_internal_fault(e.message);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_internal_fault(e.what());
    } catch (...) {
        raise_internal_fault("unexpected C++ exception");
    }
    return nullptr;
}

template <class T>
concept HasDefault = requires(std::string_view lit) {
    Convert<T>::from_default(lit);
};

template <class T>
bool convert_slot(const Signature& sig, std::size_t i, PyObject* slot, T& out) {
    if (!slot) {
        if constexpr (HasDefault<T>) {
            out = Convert<T>::from_default(sig.defaults[i]);
            return true;
        } else {
            raise_internal_fault("parameter without a usable default was left empty");
            return false;
        }
    }
    if (Convert<T>::from_py(slot, out)) return true;
    wrap_conversion_error(sig.params[i]);
    return false;
}

template <class Fn>
struct FnTraits;
template <class... A>
struct FnTraits<PyObject* (*)(A...)> {
    using Args = std::tuple<std::decay_t<A>...>;
    static constexpr std::size_t arity = sizeof...(A);
};

template <auto Fn, const char* Doc, std::size_t... I>
PyObject* call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               std::index_sequence<I...>) {
    using Tr = FnTraits<decltype(Fn)>;
    return guarded([&]() -> PyObject* {
        static const Signature sig = parse_signature(Doc);
        PyObject* slots[Tr::arity] = {};
        if (!bind(sig, args, nargs, kwnames, slots)) return nullptr;
        typename Tr::Args values;
        if (!(convert_slot(sig, I, slots[I], std::get<I>(values)) && ...)) return nullptr;
        return std::apply(Fn, std::move(values));
    });
}

template <auto Fn, const char* Doc>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    using Tr = FnTraits<decltype(Fn)>;
    return call<Fn, Doc>(args, nargs, kwnames, std::make_index_sequence<Tr::arity>{});
}

// One row of the registration table.
struct FunctionDef {
    const char* name;
    PyObject* (*fn)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
    const char* doc;
    std::size_t arity;
};

}  // namespace frame
}  // namespace kv

// Declares an exported function: IMPL is the C++ function, SIGNATURE its text
// signature (which must start with the exported name), BODY the docstring body
// ("" for none). Defines the registration-table row `kv_def_<IMPL>`.
#define KV_FUNCTION(IMPL, SIGNATURE, BODY)                             \
    static constexpr char kv_doc_##IMPL[] = SIGNATURE "\n--\n\n" BODY; \
    extern const kv::frame::FunctionDef kv_def_##IMPL;                 \
    constinit const kv::frame::FunctionDef kv_def_##IMPL = {           \
        #IMPL, &kv::frame::entry<&IMPL, kv_doc_##IMPL>, kv_doc_##IMPL, \
        kv::frame::FnTraits<decltype(&IMPL)>::arity}
