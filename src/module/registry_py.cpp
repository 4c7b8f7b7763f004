// The registration table: the exported functions in registration order (which
// is also the order of __all__). Each row's definition sits next to its
// implementation; src/module/functions.h says in which file.
#include "module/registry.h"

#include "module/functions.h"

namespace kv {

namespace {

// clang-format off
const frame::FunctionDef* const kRegistry[] = {
    &kv_def_preprocess_documents,
    &kv_def_build_bm25_index,
    &kv_def_search_bm25,
    &kv_def_symbol_channel_search,
    &kv_def_build_symbol_index,
    &kv_def_search_symbol_index,
    &kv_def_compute_doc_hash,
    &kv_def_extract_code_query_tokens,
    &kv_def_code_lexical_scores,
    &kv_def_decode_corpus_json,
    &kv_def_encode_corpus_msgpack,
    &kv_def_decode_corpus_msgpack,
    &kv_def_compute_sha256,
    &kv_def_save_hash_store_binary,
    &kv_def_load_hash_store_binary,
    &kv_def_probe_hash_store,
    &kv_def_encode_sentence_index,
    &kv_def_decode_sentence_index,
    &kv_def_encode_sentence_meta,
    &kv_def_decode_sentence_meta,
    &kv_def_segment_text,
    &kv_def_cosine_similarity,
    &kv_def_score_fusion_weighted,
    &kv_def_score_fusion_rrf,
    &kv_def_dedupe_best_by_id,
    &kv_def_filter_results_by_threshold,
    &kv_def_mmr_rerank,
    &kv_def_build_code_doc_bridge_edges,
    &kv_def_encode_entity_graph,
    &kv_def_decode_entity_graph,
    &kv_def_encode_relation_graph,
    &kv_def_decode_relation_graph,
    &kv_def_encode_entity_embeddings,
    &kv_def_decode_entity_embeddings,
    &kv_def_build_dedup_corpus_payload,
    &kv_def_build_graph_edges,
    &kv_def_run_louvain,
    &kv_def_merge_entities_into_graph,
    &kv_def_merge_relations_into_graph,
    &kv_def_resolve_entity_alias_groups,
};
// clang-format on

}  // namespace

std::span<const frame::FunctionDef* const> registry() {
    return kRegistry;
}

}  // namespace kv
