// build_code_doc_bridge_edges: "MENTIONED_IN" edges from code symbols to the
// prose chunks that name them.
#include "graph/label_index.h"
#include "graph/name_search.h"
#include "graph/pyfields.h"
#include "module/dict_fields.h"
#include "module/frame.h"
#include "module/pyvalues.h"

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace {

using namespace kv;
using namespace kv::graph;

constexpr std::string_view kEdgeType = "MENTIONED_IN";

struct Symbol {
    Ref name_obj, node_obj;
    std::string_view name, node;
    uint32_t node_number = 0;  // equal node ids share a number
};

struct StringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept {
        return static_cast<std::size_t>(hash_bytes(s));
    }
};

PyObject* build_code_doc_bridge_edges(DictArg sym_lookup, ListArg prose_chunks,
                                      ListArg existing_edge_tuples) {
    // Symbol list, in dict order; node ids numbered so that known edges can
    // be kept per chunk id as sets of numbers.
    std::vector<Symbol> symbols;
    std::unordered_map<std::string_view, uint32_t, StringHash, std::equal_to<>> node_numbers;
    {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(sym_lookup.obj, &pos, &key, &value)) {
            Symbol s;
            if (!usable_str(key, s.name) || s.name.empty()) continue;
            if (!usable_str(value, s.node) || s.node.empty()) continue;
            s.name_obj = Ref::borrow(key);
            s.node_obj = Ref::borrow(value);
            auto [it, added] =
                node_numbers.try_emplace(s.node, static_cast<uint32_t>(node_numbers.size()));
            s.node_number = it->second;
            symbols.push_back(std::move(s));
        }
    }

    // Known edges: chunk id -> node numbers already linked to it. Only
    // "MENTIONED_IN" triples whose source is a symbol's node id can matter.
    std::unordered_map<std::string, std::unordered_set<uint32_t>, StringHash, std::equal_to<>>
        known;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(existing_edge_tuples.obj); ++i) {
        Ref elem = Ref::steal(PyList_GetItemRef(existing_edge_tuples.obj, i));
        if (!elem) throw PyErrorSet{};
        if (!PyTuple_Check(elem.get()) || PyTuple_GET_SIZE(elem.get()) < 3) continue;
        std::string_view source, target, type;
        usable_str(PyTuple_GET_ITEM(elem.get(), 0), source);
        usable_str(PyTuple_GET_ITEM(elem.get(), 1), target);
        usable_str(PyTuple_GET_ITEM(elem.get(), 2), type);
        if (type != kEdgeType) continue;
        auto node = node_numbers.find(source);
        if (node == node_numbers.end()) continue;
        auto it = known.find(target);
        if (it == known.end())
            it = known.emplace(std::string(target), std::unordered_set<uint32_t>{}).first;
        it->second.insert(node->second);
    }

    std::vector<std::string_view> names;
    names.reserve(symbols.size());
    for (const auto& s : symbols) names.push_back(s.name);
    NameSearch search(names);

    Ref source_key = interned("source");
    Ref target_key = interned("target");
    Ref type_key = interned("edge_type");
    Ref chunk_key = interned("chunk_id");
    Ref id_key = interned("id");
    Ref text_key = interned("text");
    Ref edge_type = make_str(kEdgeType);
    std::vector<Ref> node_strs(symbols.size());

    Ref out = check(PyList_New(0));
    std::vector<uint32_t> found;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(prose_chunks.obj); ++i) {
        Ref chunk = Ref::steal(PyList_GetItemRef(prose_chunks.obj, i));
        if (!chunk) throw PyErrorSet{};
        if (!PyDict_Check(chunk.get())) {
            set_conversion_error(chunk.get(), "PyDict");
            throw PyErrorSet{};
        }
        Ref id_holder, text_holder;
        const std::string_view id = get_str_from_dict(chunk.get(), id_key.get(), id_holder);
        const std::string_view text = get_str_from_dict(chunk.get(), text_key.get(), text_holder);
        if (id.empty() || text.empty() || symbols.empty()) continue;

        search.find(text, found);
        if (found.empty()) continue;
        auto it = known.find(id);
        if (it == known.end())
            it = known.emplace(std::string(id), std::unordered_set<uint32_t>{}).first;
        auto& linked = it->second;
        Ref id_str;
        for (uint32_t s : found) {
            if (!linked.insert(symbols[s].node_number).second) continue;
            if (!id_str) id_str = reuse_or_make_str(id_holder.get(), id, id);
            Ref& node = node_strs[s];
            if (!node)
                node =
                    reuse_or_make_str(symbols[s].node_obj.get(), symbols[s].node, symbols[s].node);
            Ref edge = check(PyDict_New());
            set_item(edge.get(), source_key.get(), node.get());
            set_item(edge.get(), target_key.get(), id_str.get());
            set_item(edge.get(), type_key.get(), edge_type.get());
            set_item(edge.get(), chunk_key.get(), id_str.get());
            list_append(out.get(), edge.get());
        }
    }
    return out.release();
}

}  // namespace

KV_FUNCTION(build_code_doc_bridge_edges,
            "build_code_doc_bridge_edges(sym_lookup, prose_chunks, existing_edge_tuples)",
            "Scan prose chunks for occurrences of code symbol names and emit new MENTIONED_IN "
            "edges.\n"
            "\n"
            "Arguments:\n"
            "  sym_lookup: dict[str, str]  \u2014 symbol_name \u2192 node_id (names >= 4 chars)\n"
            "  prose_chunks: list[dict]    \u2014 each dict has \"id\" and \"text\" keys\n"
            "  existing_edge_tuples: list[tuple[str, str, str]]  \u2014 (source, target, "
            "edge_type)\n"
            "\n"
            "Returns list[dict] of new edge dicts (not already in existing_edge_tuples).");
