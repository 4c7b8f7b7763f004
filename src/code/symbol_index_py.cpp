// build_symbol_index, search_symbol_index.
#include "code/fields_py.h"
#include "code/names.h"
#include "code/symbol_index.h"
#include "module/frame.h"
#include "module/pyvalues.h"

#include <memory>

namespace {

using namespace kv;
using SymbolArg = Instance<code::SymbolIndex, IndexKind::Symbol>;

PyObject* build_symbol_index(ListArg corpora) {
    Ref metadata_key = code::key_object("metadata");
    Ref symbol_key = code::key_object("symbol_name");
    Ref qualified_key = code::key_object("qualified_name");
    code::SymbolIndexBuilder builder;
    std::string sym_scratch, qual_scratch;
    code::for_each_chunk(corpora.obj, [&](uint64_t position, PyObject* chunk) {
        Ref meta = code::chunk_metadata(chunk, metadata_key.get());
        if (!meta) return;
        Ref sym_value = code::lookup(meta.get(), symbol_key.get());
        Ref qual_value = code::lookup(meta.get(), qualified_key.get());
        std::string_view sym = code::lowered(code::str_value(sym_value), sym_scratch);
        std::string_view qual = code::lowered(code::str_value(qual_value), qual_scratch);
        if (sym.empty() && qual.empty()) return;
        builder.add(position, sym, qual);
    });
    auto index = std::make_unique<code::SymbolIndex>(builder.finish());
    return make_index(IndexKind::Symbol, index.release());
}

PyObject* search_symbol_index(SymbolArg index, ListArg query_tokens, Count top_k) {
    std::vector<std::string> tokens = code::symbol_query_tokens(query_tokens.obj);
    std::vector<code::SymbolIndex::Hit> hits = index.core->search(tokens, top_k.value);
    Ref field_names[2] = {make_str("symbol_name"), make_str("qualified_name")};
    Ref out = check(PyList_New(static_cast<Py_ssize_t>(hits.size())));
    for (std::size_t i = 0; i < hits.size(); ++i) {
        const auto& h = hits[i];
        Ref pos = make_uint(h.position);
        Ref score = make_float(h.score);
        PyObject* field = field_names[h.field == code::NameField::Symbol ? 0 : 1].get();
        PyObject* tuple = PyTuple_Pack(3, pos.get(), score.get(), field);
        if (!tuple) throw PyErrorSet{};
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), tuple);
    }
    return out.release();
}

}  // namespace

KV_FUNCTION(build_symbol_index, "build_symbol_index(corpora)", "");
KV_FUNCTION(search_symbol_index, "search_symbol_index(index, query_tokens, top_k)", "");
