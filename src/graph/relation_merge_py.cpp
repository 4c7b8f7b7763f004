// merge_relations_into_graph: folds per-chunk relation triples into the
// caller's relation graph, in place.
#include "graph/normalise.h"
#include "graph/pyfields.h"
#include "module/frame.h"
#include "module/pyvalues.h"

#include <cstdint>
#include <string>

namespace {

using namespace kv;
using namespace kv::graph;

constexpr uint64_t kDefaultStrength = 5;

struct RelationKeys {
    Ref subject = interned("subject");
    Ref source = interned("source");
    Ref relation = interned("relation");
    Ref object = interned("object");
    Ref target = interned("target");
    Ref description = interned("description");
    Ref strength = interned("strength");
    Ref chunk_id = interned("chunk_id");
    Ref weight = interned("weight");
    Ref support_count = interned("support_count");
    Ref text_unit_ids = interned("text_unit_ids");
    std::string subject_buf, object_buf;  // lower-casing scratch
};

// One triple's fields, each text with the object it was read from (null when
// it reads as "").
struct Triple {
    Ref subject_obj, relation_obj, object_obj, description_obj;
    std::string_view subject, relation, object, description;
    uint64_t strength = kDefaultStrength;
};

// Reads `key` as a str; `present` tells whether the key was there at all.
void read_str(PyObject* dict, PyObject* key, Ref& obj, std::string_view& text, bool* present) {
    Ref value = lookup_quietly(dict, key);
    if (present) *present = static_cast<bool>(value);
    if (usable_str(value.get(), text))
        obj = std::move(value);
    else
        text = {};
}

// The value read like a count: a non-negative int below 2**64, or an object
// whose __index__ gives one. Nothing for anything else.
bool read_count(PyObject* value, uint64_t& out) {
    if (!value) return false;
    if (!frame::count_from_py(value, out)) {
        PyErr_Clear();
        return false;
    }
    return true;
}

bool read_dict_triple(RelationKeys& keys, PyObject* d, Triple& t) {
    bool present = false;
    read_str(d, keys.subject.get(), t.subject_obj, t.subject, &present);
    if (!present) read_str(d, keys.source.get(), t.subject_obj, t.subject, nullptr);
    read_str(d, keys.relation.get(), t.relation_obj, t.relation, nullptr);
    read_str(d, keys.object.get(), t.object_obj, t.object, &present);
    if (!present) read_str(d, keys.target.get(), t.object_obj, t.object, nullptr);
    read_str(d, keys.description.get(), t.description_obj, t.description, nullptr);
    Ref strength = lookup_quietly(d, keys.strength.get());
    if (!read_count(strength.get(), t.strength)) t.strength = kDefaultStrength;
    return true;
}

bool read_tuple_triple(PyObject* tup, Triple& t) {
    if (PyTuple_GET_SIZE(tup) < 3) return false;
    Ref items[3];
    for (int i = 0; i < 3; ++i) items[i] = Ref::borrow(PyTuple_GET_ITEM(tup, i));
    if (!usable_str(items[0].get(), t.subject)) return false;
    t.subject_obj = items[0];
    if (usable_str(items[1].get(), t.relation)) t.relation_obj = items[1];
    if (usable_str(items[2].get(), t.object)) t.object_obj = items[2];
    return true;
}

// support_count + 1 as a Python int (also past 2**64 - 1).
Ref incremented(uint64_t v) {
    if (v != UINT64_MAX) return make_uint(v + 1);
    Ref big = make_uint(v);
    Ref one = make_int(1);
    return check(PyNumber_Add(big.get(), one.get()));
}

void strengthen(RelationKeys& keys, PyObject* record, uint64_t strength, PyObject* doc_id) {
    double weight = 1.0;
    if (Ref w = lookup_quietly(record, keys.weight.get())) {
        if (!float_from_py(w.get(), weight)) {
            PyErr_Clear();
            weight = 1.0;
        }
    }
    set_item(record, keys.weight.get(), make_float(weight + static_cast<double>(strength)).get());

    Ref support = lookup_quietly(record, keys.support_count.get());
    uint64_t count = 0;
    Ref next = read_count(support.get(), count) ? incremented(count) : make_int(2);
    set_item(record, keys.support_count.get(), next.get());

    Ref units = lookup_quietly(record, keys.text_unit_ids.get());
    if (!units) {
        Ref fresh = list_of_one(doc_id);
        set_item(record, keys.text_unit_ids.get(), fresh.get());
    } else if (PyList_Check(units.get())) {
        append_once(units.get(), doc_id);
    }
}

// Merges one triple; returns whether a new record was appended.
bool merge_triple(RelationKeys& keys, PyObject* graph, PyObject* doc_id, Triple& t) {
    if (t.subject.empty()) return false;
    const std::string_view src = normalise_key(t.subject, keys.subject_buf);
    if (src.empty()) return false;
    const std::string_view tgt = normalise_key(t.object, keys.object_buf);
    const std::string_view rel = text::trim_white_space(t.relation);

    Ref src_key = reuse_or_make_str(t.subject_obj.get(), t.subject, src);

    Ref edges = lookup_quietly(graph, src_key.get());
    if (!edges || !PyList_Check(edges.get())) {
        edges = check(PyList_New(0));
        set_item(graph, src_key.get(), edges.get());
    }

    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(edges.get()); ++i) {
        prefetch_records(edges.get(), i);
        Ref item = Ref::steal(PyList_GetItemRef(edges.get(), i));
        if (!item) throw PyErrorSet{};
        if (!PyDict_Check(item.get())) continue;
        Ref stored_target = lookup_quietly(item.get(), keys.target.get());
        if (!field_reads_as_text(stored_target.get(), tgt)) continue;
        Ref stored_relation = lookup_quietly(item.get(), keys.relation.get());
        if (!field_reads_as_text(stored_relation.get(), rel)) continue;
        strengthen(keys, item.get(), t.strength, doc_id);
        return false;
    }

    Ref tgt_key = reuse_or_make_str(t.object_obj.get(), t.object, tgt);
    Ref rel_str = reuse_or_make_str(t.relation_obj.get(), t.relation, rel);
    const std::string_view desc = text::trim_white_space(t.description);
    Ref desc_str = reuse_or_make_str(t.description_obj.get(), t.description, desc);
    Ref record = new_dict(8);
    set_item(record.get(), keys.target.get(), tgt_key.get());
    set_item(record.get(), keys.relation.get(), rel_str.get());
    set_item(record.get(), keys.chunk_id.get(), doc_id);
    set_item(record.get(), keys.description.get(), desc_str.get());
    set_item(record.get(), keys.strength.get(), make_uint(t.strength).get());
    set_item(record.get(), keys.weight.get(), make_float(static_cast<double>(t.strength)).get());
    set_item(record.get(), keys.support_count.get(), make_int(1).get());
    Ref units = list_of_one(doc_id);
    set_item(record.get(), keys.text_unit_ids.get(), units.get());
    list_append(edges.get(), record.get());
    return true;
}

PyObject* merge_relations_into_graph(DictArg relation_graph, ListArg results) {
    RelationKeys keys;
    unsigned long long appended = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(results.obj); ++i) {
        Ref elem = Ref::steal(PyList_GetItemRef(results.obj, i));
        if (!elem) throw PyErrorSet{};
        Ref items[2];
        if (sequence_items(elem.get(), items, 2) < 2) continue;
        if (!PyList_Check(items[1].get())) continue;
        std::string_view doc_text;
        if (!usable_str(items[0].get(), doc_text)) continue;
        Ref doc_id = PyUnicode_CheckExact(items[0].get()) ? items[0] : make_str(doc_text);
        PyObject* triples = items[1].get();

        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(triples); ++j) {
            prefetch_records(triples, j);
            Ref triple = Ref::steal(PyList_GetItemRef(triples, j));
            if (!triple) throw PyErrorSet{};
            Triple t;
            bool ok = false;
            if (PyDict_Check(triple.get()))
                ok = read_dict_triple(keys, triple.get(), t);
            else if (PyTuple_Check(triple.get()))
                ok = read_tuple_triple(triple.get(), t);
            if (ok && merge_triple(keys, relation_graph.obj, doc_id.get(), t)) ++appended;
        }
    }
    return make_uint(appended).release();
}

}  // namespace

KV_FUNCTION(merge_relations_into_graph, "merge_relations_into_graph(relation_graph, results)",
            "Merge per-chunk relation extraction results into the existing relation graph.\n"
            "\n"
            "relation_graph: dict[str, list[dict]] \u2014 the existing relation graph (mutated "
            "in-place)\n"
            "  Structure: {src_lower: [{target, relation, chunk_id, description, weight, "
            "support_count, ...}]}\n"
            "results: list of (doc_id: str, triples: list[dict|tuple]) \u2014 same as "
            "rel_results from executor.map\n"
            "  Each triple is either:\n"
            "    - dict with {subject/source, relation, object/target, description}\n"
            "    - tuple (subject, relation, object)\n"
            "\n"
            "For each triple:\n"
            "  - If (src, tgt, relation) already exists: increment weight + support_count\n"
            "  - Else: append new entry\n"
            "\n"
            "Returns count of new relation entries inserted.");
