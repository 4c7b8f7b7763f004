// resolve_entity_alias_groups: groups of embedding rows that are near-duplicates.
#include "graph/alias_groups.h"
#include "graph/pyfields.h"
#include "module/frame.h"
#include "module/pyvalues.h"

namespace {

using namespace kv;
using namespace kv::graph;

// One item as a single-precision float; 0.0 when it does not convert.
float item_value(PyObject* item) {
    double d;
    if (!float_from_py(item, d)) {
        PyErr_Clear();
        return 0.0f;
    }
    return static_cast<float>(d);
}

PyObject* resolve_entity_alias_groups(ListArg embeddings, double threshold) {
    Rows rows;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(embeddings.obj); ++i) {
        Ref row = Ref::steal(PyList_GetItemRef(embeddings.obj, i));
        if (!row) throw PyErrorSet{};
        if (!PyList_Check(row.get())) continue;
        PyObject* r = row.get();
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(r); ++k) {
            PyObject* item = PyList_GET_ITEM(r, k);
            if (PyFloat_CheckExact(item)) {
                rows.values.push_back(static_cast<float>(PyFloat_AS_DOUBLE(item)));
                continue;
            }
            // A conversion may run Python code that changes the row: hold the item.
            Ref held = Ref::borrow(item);
            rows.values.push_back(item_value(held.get()));
        }
        rows.end_row();
    }

    const auto groups = alias_groups(rows, static_cast<float>(threshold));
    Ref out = check(PyList_New(static_cast<Py_ssize_t>(groups.size())));
    for (std::size_t g = 0; g < groups.size(); ++g) {
        Ref group = check(PyList_New(static_cast<Py_ssize_t>(groups[g].size())));
        for (std::size_t j = 0; j < groups[g].size(); ++j)
            PyList_SET_ITEM(group.get(), static_cast<Py_ssize_t>(j),
                            make_uint(groups[g][j]).release());
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(g), group.release());
    }
    return out.release();
}

}  // namespace

KV_FUNCTION(resolve_entity_alias_groups, "resolve_entity_alias_groups(embeddings, threshold)",
            "Group embedding row indices whose cosine similarity exceeds `threshold`.\n"
            "\n"
            "This avoids materializing the full NxN similarity matrix in Python.");
