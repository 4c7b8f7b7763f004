// build_graph_edges: flattens the entity and relation graphs into node and
// weighted edge lists.
#include "graph/pyfields.h"
#include "module/frame.h"
#include "module/pyvalues.h"

#include <utility>
#include <vector>

namespace {

using namespace kv;
using namespace kv::graph;

// The dict's (key, value) pairs, held, so that Python code run by later
// lookups cannot free them or disturb the walk.
std::vector<std::pair<Ref, Ref>> snapshot(PyObject* dict) {
    std::vector<std::pair<Ref, Ref>> out;
    out.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(dict)));
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &pos, &key, &value))
        out.emplace_back(Ref::borrow(key), Ref::borrow(value));
    return out;
}

PyObject* build_graph_edges(DictArg entity_graph, DictArg relation_graph) {
    Ref nodes = check(PyList_New(0));
    {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        // Appending runs no Python code, so the walk cannot be disturbed.
        while (PyDict_Next(entity_graph.obj, &pos, &key, &value)) list_append(nodes.get(), key);
    }

    Ref target_key = interned("target");
    Ref weight_key = interned("weight");
    Ref edges = check(PyList_New(0));
    for (auto& [key, value] : snapshot(relation_graph.obj)) {
        std::string_view source_text;
        if (!usable_str(key.get(), source_text)) continue;
        if (!PyList_Check(value.get())) continue;
        Ref source;  // one new str per source key, shared by its edges
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value.get()); ++i) {
            Ref item = Ref::steal(PyList_GetItemRef(value.get(), i));
            if (!item) throw PyErrorSet{};
            if (!PyDict_Check(item.get())) continue;
            Ref target_obj = lookup_quietly(item.get(), target_key.get());
            std::string_view target_text;
            if (!usable_str(target_obj.get(), target_text) || target_text.empty()) continue;
            double weight = 1.0;
            if (Ref w = lookup_quietly(item.get(), weight_key.get())) {
                if (!float_from_py(w.get(), weight)) {
                    PyErr_Clear();
                    weight = 1.0;
                }
            }
            if (!source) source = make_str(source_text);
            Ref target = make_str(target_text);
            Ref w = make_float(weight);
            Ref edge = check(PyTuple_Pack(3, source.get(), target.get(), w.get()));
            // Two str and a float cannot form a cycle: leave the tuple out of the
            // cyclic collector's lists, as the collector itself would on its first visit.
            PyObject_GC_UnTrack(edge.get());
            list_append(edges.get(), edge.get());
        }
    }
    return check(PyTuple_Pack(2, nodes.get(), edges.get())).release();
}

}  // namespace

KV_FUNCTION(build_graph_edges, "build_graph_edges(entity_graph, relation_graph)",
            "Convert entity_graph and relation_graph Python dicts into flat node/edge lists\n"
            "suitable for graph algorithms (e.g., Louvain community detection).\n"
            "\n"
            "entity_graph: dict[str, any]  \u2014 keys are entity names (nodes)\n"
            "relation_graph: dict[str, list[dict]] \u2014 keys are source entities; each entry "
            "has\n"
            "  \"target\" (str) and optionally \"weight\" (float, default 1.0)\n"
            "\n"
            "Returns (nodes: list[str], edges: list[tuple[str, str, float]])");
