// The two opaque index classes: heap types without constructor, methods,
// attributes or __dict__, holding a core index object owned by the instance.
#include "module/frame.h"
#include "module/index_types.h"

namespace kv {

namespace {

struct HolderObject {
    PyObject_HEAD void* core;
    void (*destroy)(void*) noexcept;
};

PyTypeObject* g_types[2] = {nullptr, nullptr};
const char* const kNames[2] = {"Bm25Index", "SymbolIndex"};
// The dotted names set __module__ to "builtins" at creation.
const char* const kSpecNames[2] = {"builtins.Bm25Index", "builtins.SymbolIndex"};

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
    PyErr_Format(PyExc_TypeError, "No constructor defined for %s", type->tp_name);
    return nullptr;
}

void holder_dealloc(PyObject* self) {
    auto* h = reinterpret_cast<HolderObject*>(self);
    if (h->core && h->destroy) h->destroy(h->core);
    h->core = nullptr;
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(holder_dealloc)},
    {0, nullptr},
};

}  // namespace

const char* index_type_name(IndexKind kind) {
    return kNames[static_cast<int>(kind)];
}

PyTypeObject* index_type(IndexKind kind) {
    return g_types[static_cast<int>(kind)];
}

PyObject* create_index_type(IndexKind kind) {
    int i = static_cast<int>(kind);
    if (!g_types[i]) {
        PyType_Spec type_spec = {kSpecNames[i], sizeof(HolderObject), 0,
                                 Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, kSlots};
        PyObject* type = PyType_FromSpec(&type_spec);
        if (!type) return nullptr;
        // Messages built from tp_name then read "Bm25Index", like those of a
        // static builtin type. The heap type frees its own copy of the creation
        // name, not tp_name, so pointing at a static string is safe.
        reinterpret_cast<PyTypeObject*>(type)->tp_name = kNames[i];
        g_types[i] = reinterpret_cast<PyTypeObject*>(type);
    }
    return Py_NewRef(reinterpret_cast<PyObject*>(g_types[i]));
}

PyObject* make_index_object(IndexKind kind, void* core, void (*destroy)(void*) noexcept) {
    PyTypeObject* type = index_type(kind);
    PyObject* obj = type ? type->tp_alloc(type, 0) : nullptr;
    if (!obj) {
        destroy(core);
        if (!PyErr_Occurred()) PyErr_NoMemory();
        throw PyErrorSet{};
    }
    auto* h = reinterpret_cast<HolderObject*>(obj);
    h->core = core;
    h->destroy = destroy;
    return obj;
}

const void* index_core(PyObject* obj) {
    return reinterpret_cast<HolderObject*>(obj)->core;
}

}  // namespace kv
