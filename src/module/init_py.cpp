// Module initialisation: single-phase init bound to the first interpreter,
// the same module object on every later initialisation, and __all__ in
// registration order.
#include "module/frame.h"
#include "module/index_types.h"
#include "module/registry.h"

#include <atomic>
#include <memory>
#include <vector>

namespace {

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "kelvo_native",
    nullptr,  // empty module docstring
    0,        // no per-module state
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* g_module = nullptr;
std::atomic<int64_t> g_interpreter{-1};
// Method definitions must outlive the function objects; built once.
std::vector<PyMethodDef>* g_methods = nullptr;

// Appends `name` to __all__ (creating it on first use), then sets the attribute.
bool add_attribute(PyObject* module, const char* name, PyObject* value) {
    kv::Ref all = kv::Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = kv::Ref::steal(PyList_New(0));
        if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return false;
    }
    kv::Ref text = kv::Ref::steal(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) < 0) return false;
    return PyModule_AddObjectRef(module, name, value) == 0;
}

PyObject* create_module() {
    kv::Ref module = kv::Ref::steal(PyModule_Create(&g_module_def));
    if (!module) return nullptr;
    for (kv::IndexKind kind : {kv::IndexKind::Bm25, kv::IndexKind::Symbol}) {
        kv::Ref type = kv::Ref::steal(kv::create_index_type(kind));
        if (!type || !add_attribute(module.get(), kv::index_type_name(kind), type.get()))
            return nullptr;
    }
    if (!g_methods) {
        auto methods = std::make_unique<std::vector<PyMethodDef>>();
        for (const kv::frame::FunctionDef* def : kv::registry()) {
            methods->push_back(
                {def->name,
                 reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(def->fn)),
                 METH_FASTCALL | METH_KEYWORDS, def->doc});
        }
        g_methods = methods.release();
    }
    kv::Ref module_name = kv::Ref::steal(PyUnicode_FromString("kelvo_native"));
    if (!module_name) return nullptr;
    for (PyMethodDef& def : *g_methods) {
        kv::Ref fn = kv::Ref::steal(PyCFunction_NewEx(&def, module.get(), module_name.get()));
        if (!fn || !add_attribute(module.get(), def.ml_name, fn.get())) return nullptr;
    }
    return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit_kelvo_native(void) {
    PyInterpreterState* interp = PyInterpreterState_Get();
    int64_t id = PyInterpreterState_GetID(interp);
    if (id < 0) return nullptr;
    int64_t expected = -1;
    if (!g_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "kelvo_native does not support subinterpreters: it is already "
                        "initialised in another interpreter");
        return nullptr;
    }
    if (g_module) return Py_NewRef(g_module);
    PyObject* module = create_module();
    if (!module) return nullptr;
    g_module = Py_NewRef(module);
    return module;
}
