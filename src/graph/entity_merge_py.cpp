// merge_entities_into_graph: folds per-chunk entity extraction results into the
// caller's entity graph, in place.
#include "graph/normalise.h"
#include "graph/pyfields.h"
#include "module/frame.h"
#include "module/pyvalues.h"

#include <string>

namespace {

using namespace kv;
using namespace kv::graph;

// Key objects used for every record, created once per call.
struct EntityKeys {
    Ref name = interned("name");
    Ref description = interned("description");
    Ref type = interned("type");
    Ref chunk_ids = interned("chunk_ids");
    Ref frequency = interned("frequency");
    Ref degree = interned("degree");
    Ref unknown = interned("UNKNOWN");
    Ref empty = check(PyUnicode_New(0, 0));
    std::string buf;  // lower-casing scratch
};

// A str field of an extracted entity as a plain str object, or null when it is
// absent, its lookup raised, or it is not a usable str.
Ref str_field(PyObject* item, PyObject* key) {
    Ref value = lookup_quietly(item, key);
    std::string_view s;
    if (!usable_str(value.get(), s)) return {};
    if (PyUnicode_CheckExact(value.get())) return value;
    return make_str(s);
}

bool is_empty_or_unknown(std::string_view s) {
    return s.empty() || s == "UNKNOWN";
}

// A new record {description, type, chunk_ids, frequency, degree}.
Ref new_record(EntityKeys& keys, PyObject* item, PyObject* doc_id) {
    Ref description = str_field(item, keys.description.get());
    Ref type = str_field(item, keys.type.get());
    Ref record = new_dict(5);
    set_item(record.get(), keys.description.get(),
             description ? description.get() : keys.empty.get());
    set_item(record.get(), keys.type.get(), type ? type.get() : keys.unknown.get());
    Ref chunks = list_of_one(doc_id);
    set_item(record.get(), keys.chunk_ids.get(), chunks.get());
    set_item(record.get(), keys.frequency.get(), make_int(1).get());
    set_item(record.get(), keys.degree.get(), make_int(0).get());
    return record;
}

// Repeat of a known entity: type fill-in, chunk list, frequency.
void update_record(EntityKeys& keys, PyObject* record, PyObject* item, PyObject* doc_id) {
    Ref current = lookup_quietly(record, keys.type.get());
    std::string_view current_type;
    const bool replaceable =
        !usable_str(current.get(), current_type) || is_empty_or_unknown(current_type);
    if (replaceable) {
        Ref type = str_field(item, keys.type.get());
        std::string_view t;
        if (type && usable_str(type.get(), t) && !is_empty_or_unknown(t))
            set_item(record, keys.type.get(), type.get());
    }

    Ref chunks = lookup_quietly(record, keys.chunk_ids.get());
    if (!chunks) {
        Ref fresh = list_of_one(doc_id);
        set_item(record, keys.chunk_ids.get(), fresh.get());
        // Storing may have run Python code (a colliding key's __eq__): read it again.
        chunks = lookup_quietly(record, keys.chunk_ids.get());
    } else if (PyList_Check(chunks.get())) {
        // The scan and append run no Python code, so "chunk_ids" still holds this list.
        append_once(chunks.get(), doc_id);
    }

    Py_ssize_t frequency = 1;
    if (chunks && PyList_Check(chunks.get())) frequency = PyList_GET_SIZE(chunks.get());
    set_item(record, keys.frequency.get(), make_int(frequency).get());
}

// The per-chunk step: merges every extracted entity of one chunk.
void merge_chunk_entities(EntityKeys& keys, PyObject* graph, PyObject* doc_id, PyObject* entities,
                          unsigned long long& inserted) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entities); ++i) {
        prefetch_records(entities, i);
        Ref item = Ref::steal(PyList_GetItemRef(entities, i));
        if (!item) throw PyErrorSet{};
        if (!PyDict_Check(item.get())) continue;

        PyObject* raw = nullptr;
        const int found = PyDict_GetItemRef(item.get(), keys.name.get(), &raw);
        Ref name = Ref::steal(raw);
        if (found < 0) {
            PyErr_Clear();
            continue;
        }
        if (found == 0) continue;
        std::string_view name_text;
        if (!usable_str(name.get(), name_text)) continue;  // reads as "", which is skipped
        const std::string_view key_text = normalise_key(name_text, keys.buf);
        if (key_text.empty()) continue;
        Ref key = reuse_or_make_str(name.get(), name_text, key_text);

        Ref existing = lookup_quietly(graph, key.get());
        if (!existing) {
            Ref record = new_record(keys, item.get(), doc_id);
            set_item(graph, key.get(), record.get());
            ++inserted;
        } else if (PyDict_Check(existing.get())) {
            update_record(keys, existing.get(), item.get(), doc_id);
        }
    }
}

PyObject* merge_entities_into_graph(DictArg entity_graph, ListArg results) {
    EntityKeys keys;
    unsigned long long inserted = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(results.obj); ++i) {
        Ref elem = Ref::steal(PyList_GetItemRef(results.obj, i));
        if (!elem) throw PyErrorSet{};
        Ref items[2];
        if (sequence_items(elem.get(), items, 2) < 2) continue;
        if (!PyList_Check(items[1].get())) continue;
        std::string_view doc_text;
        Ref doc_id;
        if (!usable_str(items[0].get(), doc_text))
            doc_id = keys.empty;
        else if (PyUnicode_CheckExact(items[0].get()))
            doc_id = items[0];
        else
            doc_id = make_str(doc_text);
        merge_chunk_entities(keys, entity_graph.obj, doc_id.get(), items[1].get(), inserted);
    }
    return make_uint(inserted).release();
}

}  // namespace

KV_FUNCTION(merge_entities_into_graph, "merge_entities_into_graph(entity_graph, results)",
            "Merge a batch of per-chunk entity extraction results into the existing entity "
            "graph.\n"
            "\n"
            "entity_graph: dict[str, dict] \u2014 the existing entity graph (mutated in-place)\n"
            "results: list of (doc_id: str, entities: list[dict]) \u2014 same as what "
            "executor.map returns\n"
            "\n"
            "For each entity dict (must have \"name\" key):\n"
            "  - Normalised key = name.lower().strip()\n"
            "  - If new: insert {description, type, chunk_ids=[doc_id], frequency=1, degree=0}\n"
            "  - If exists: append doc_id to chunk_ids (if not already present), update type if "
            "UNKNOWN\n"
            "\n"
            "Returns count of new entity keys inserted.");
