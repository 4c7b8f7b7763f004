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

int set_builtins_module(PyObject* type) {
    Ref dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(type)));
    Ref name = Ref::steal(PyUnicode_FromString("builtins"));
    if (!dict || !name) return -1;
    if (PyDict_SetItemString(dict.get(), "__module__", name.get()) < 0) return -1;
    PyType_Modified(reinterpret_cast<PyTypeObject*>(type));
    return 0;
}

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
        // A name without a dot places the class in the "builtins" module.
        PyType_Spec spec = {kNames[i], sizeof(HolderObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, kSlots};
        PyObject* type = PyType_FromSpec(&spec);
        if (!type) return nullptr;
        // A dotless name leaves __module__ unset on a heap type; the classes
        // report the "builtins" module, as static types without a module do.
        if (set_builtins_module(type) < 0) {
            Py_DECREF(type);
            return nullptr;
        }
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
