// run_louvain: community numbers for the nodes of a flat weighted edge list.
#include "graph/label_index.h"
#include "graph/louvain.h"
#include "graph/pyfields.h"
#include "module/frame.h"
#include "module/pyvalues.h"

#include <limits>
#include <new>
#include <vector>

namespace {

using namespace kv;
using namespace kv::graph;

// Node labels as text, with the objects that keep the text alive.
struct Labels {
    std::vector<Ref> owners;
    std::vector<std::string_view> text;
};

// An endpoint's label text ("" for anything but a usable str).
std::string_view label_of(PyObject* obj) {
    std::string_view s;
    if (!usable_str(obj, s)) return {};
    return s;
}

PyObject* run_louvain(ListArg nodes, ListArg edges, double resolution) {
    Labels labels;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(nodes.obj); ++i) {
        Ref item = Ref::steal(PyList_GetItemRef(nodes.obj, i));
        if (!item) throw PyErrorSet{};
        labels.text.push_back(label_of(item.get()));
        labels.owners.push_back(std::move(item));
    }
    const std::size_t n = labels.text.size();
    if (n == 0) return check(PyDict_New()).release();
    if (n >= std::numeric_limits<uint32_t>::max()) throw std::bad_alloc();

    LabelIndex index(n);
    for (std::size_t i = 0; i < n; ++i) index.assign(labels.text[i], static_cast<uint32_t>(i));

    std::vector<WeightedEdge> accepted;
    accepted.reserve(static_cast<std::size_t>(PyList_GET_SIZE(edges.obj)));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(edges.obj); ++i) {
        Ref elem = Ref::steal(PyList_GetItemRef(edges.obj, i));
        if (!elem) throw PyErrorSet{};
        Ref items[3];
        const Py_ssize_t got = sequence_items(elem.get(), items, 3);
        if (got < 2) continue;
        const uint32_t a = index.find(label_of(items[0].get()));
        if (a == LabelIndex::kMissing) continue;
        const uint32_t b = index.find(label_of(items[1].get()));
        if (b == LabelIndex::kMissing) continue;
        // A self-loop counts only when written as a list.
        if (a == b && PyTuple_Check(elem.get())) continue;
        double weight = 1.0;
        if (got == 3 && !float_from_py(items[2].get(), weight)) {
            PyErr_Clear();
            weight = 1.0;
        }
        accepted.push_back({a, b, weight});
    }

    const std::vector<uint32_t> number = louvain_communities(n, accepted, resolution);

    Ref result = check(PyDict_New());
    Ref empty;
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* owner = labels.owners[i].get();
        Ref key;
        if (PyUnicode_CheckExact(owner) && !labels.text[i].empty()) {
            key = labels.owners[i];
        } else if (labels.text[i].empty()) {
            if (!empty) empty = check(PyUnicode_New(0, 0));
            key = empty;
        } else {
            key = make_str(labels.text[i]);
        }
        set_item(result.get(), key.get(), make_uint(number[i]).get());
    }
    return result.release();
}

}  // namespace

KV_FUNCTION(run_louvain, "run_louvain(nodes, edges, resolution=1.0)",
            "Run Louvain community detection on a weighted undirected graph.\n"
            "\n"
            "nodes: list[str]  \u2014 node labels\n"
            "edges: list[tuple[str, str, float]]  \u2014 (source, target, weight)\n"
            "resolution: modularity resolution parameter (1.0 = standard Louvain)\n"
            "\n"
            "Returns dict[str, int] mapping node label \u2192 community ID.\n"
            "Isolated nodes each get their own community.\n"
            "Returns empty dict for an empty graph.");
