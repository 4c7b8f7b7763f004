// symbol_channel_search.
#include "code/fields_py.h"
#include "code/names.h"
#include "code/symbol_channel.h"
#include "module/frame.h"
#include "module/pyvalues.h"

#include <vector>

namespace {

using namespace kv;

// str(obj) as a strong reference; an exact str is its own text and runs no code.
Ref str_of(PyObject* obj) {
    if (PyUnicode_CheckExact(obj)) return Ref::borrow(obj);
    return check(PyObject_Str(obj));
}

// Whether the metadata passes every filter: the metadata holds each filter key
// and str() of its value equals str() of the filter value.
bool passes_filters(PyObject* filters, PyObject* meta) {
    const Py_ssize_t size = PyDict_GET_SIZE(filters);
    Py_ssize_t pos = 0;
    PyObject* k = nullptr;
    PyObject* v = nullptr;
    while (PyDict_Next(filters, &pos, &k, &v)) {
        // Lookups and str() can run Python code that changes the filters.
        Ref key = Ref::borrow(k);
        Ref wanted = Ref::borrow(v);
        Ref have = code::lookup(meta, key.get());
        if (PyDict_GET_SIZE(filters) != size) fault("filters dict changed size during iteration");
        if (!have) return false;
        Ref have_text = str_of(have.get());
        if (PyDict_GET_SIZE(filters) != size) fault("filters dict changed size during iteration");
        Ref wanted_text = str_of(wanted.get());
        if (PyDict_GET_SIZE(filters) != size) fault("filters dict changed size during iteration");
        if (have_text.get() != wanted_text.get() &&
            PyUnicode_Compare(have_text.get(), wanted_text.get()) != 0) {
            if (PyErr_Occurred()) throw PyErrorSet{};
            return false;
        }
    }
    return true;
}

PyObject* symbol_channel_search(ListArg corpora, ListArg query_tokens, Count top_k,
                                ObjectArg filters) {
    if (filters.obj != Py_None && !PyDict_Check(filters.obj)) {
        set_conversion_error(filters.obj, "PyDict");
        frame::wrap_conversion_error("filters");
        throw PyErrorSet{};
    }
    PyObject* filter_dict = filters.obj == Py_None ? nullptr : filters.obj;
    bool unmatchable = false;
    const code::ChannelTokens tokens(code::symbol_query_tokens(query_tokens.obj, &unmatchable));
    // Without tokens nothing is read; a token that matches nothing still
    // makes the walk (and its checks of the corpora) happen.
    if (tokens.empty() && !unmatchable) return check(PyList_New(0)).release();

    Ref metadata_key = code::key_object("metadata");
    Ref symbol_key = code::key_object("symbol_name");
    Ref qualified_key = code::key_object("qualified_name");
    std::vector<code::ChannelCandidate> candidates;
    code::PaddedName sym, qual;
    code::ChunkPrefetcher prefetcher(metadata_key.get(), symbol_key.get(), qualified_key.get());
    code::for_each_chunk(
        corpora.obj,
        [&](uint64_t position, PyObject* chunk) {
            Ref meta = code::chunk_metadata(chunk, metadata_key.get());
            if (!meta) return;
            if (filter_dict && !passes_filters(filter_dict, meta.get())) return;
            code::read_text(meta.get(), symbol_key.get(), [&](std::string_view s) { sym.load(s); });
            code::read_text(meta.get(), qualified_key.get(),
                            [&](std::string_view s) { qual.load(s); });
            if (sym.empty() && qual.empty()) return;
            code::ChannelCandidate c = tokens.score(position, sym, qual);
            if (c.score > 0.0) candidates.push_back(c);
        },
        &prefetcher);
    code::rank_channel_candidates(candidates, top_k.value);

    Ref index_key = code::key_object("index");
    Ref score_key = code::key_object("score");
    Ref channel_key = code::key_object("channel");
    Ref field_names[2] = {make_str("symbol_name"), make_str("qualified_name")};
    Ref out = check(PyList_New(static_cast<Py_ssize_t>(candidates.size())));
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        const auto& c = candidates[i];
        Ref d = check(PyDict_New());
        set_item(d.get(), index_key.get(), make_uint(c.position).get());
        set_item(d.get(), score_key.get(), make_float(c.score).get());
        set_item(d.get(), channel_key.get(),
                 field_names[c.field == code::NameField::Symbol ? 0 : 1].get());
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), d.release());
    }
    return out.release();
}

}  // namespace

KV_FUNCTION(symbol_channel_search,
            "symbol_channel_search(corpora, query_tokens, top_k, filters=None)", "");
