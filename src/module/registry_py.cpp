// The registration table: the exported functions in registration order (which
// is also the order of __all__). Each row's definition sits next to its
// implementation; src/module/functions.h says in which file.
#include "module/registry.h"

#include "module/functions.h"

namespace kv {

namespace {

const frame::FunctionDef* const kRegistry[] = {
    &kv_def_preprocess_documents,  &kv_def_build_bm25_index,          &kv_def_search_bm25,
    &kv_def_symbol_channel_search, &kv_def_build_symbol_index,        &kv_def_search_symbol_index,
    &kv_def_compute_doc_hash,      &kv_def_extract_code_query_tokens, &kv_def_code_lexical_scores,
    &kv_def_compute_sha256,        &kv_def_cosine_similarity,
};

}  // namespace

std::span<const frame::FunctionDef* const> registry() {
    return kRegistry;
}

}  // namespace kv
