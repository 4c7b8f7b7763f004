// Registration-table rows, one per exported function. Each row is defined by
// KV_FUNCTION next to the function's implementation, in the file named here.
#pragma once

#include "module/frame.h"

// lexical/bm25_py.cpp
extern const kv::frame::FunctionDef kv_def_preprocess_documents;
extern const kv::frame::FunctionDef kv_def_build_bm25_index;
extern const kv::frame::FunctionDef kv_def_search_bm25;
// code/symbol_channel_py.cpp
extern const kv::frame::FunctionDef kv_def_symbol_channel_search;
// code/symbol_index_py.cpp
extern const kv::frame::FunctionDef kv_def_build_symbol_index;
extern const kv::frame::FunctionDef kv_def_search_symbol_index;
// code/query_tokens_py.cpp
extern const kv::frame::FunctionDef kv_def_extract_code_query_tokens;
// code/lexical_scores_py.cpp
extern const kv::frame::FunctionDef kv_def_code_lexical_scores;
// module/primitives_py.cpp
extern const kv::frame::FunctionDef kv_def_compute_doc_hash;
extern const kv::frame::FunctionDef kv_def_compute_sha256;
extern const kv::frame::FunctionDef kv_def_cosine_similarity;
// persist/hash_store_py.cpp
extern const kv::frame::FunctionDef kv_def_save_hash_store_binary;
extern const kv::frame::FunctionDef kv_def_load_hash_store_binary;
extern const kv::frame::FunctionDef kv_def_probe_hash_store;
// text/segment_py.cpp
extern const kv::frame::FunctionDef kv_def_segment_text;
// fusion/score_fusion_py.cpp
extern const kv::frame::FunctionDef kv_def_score_fusion_weighted;
extern const kv::frame::FunctionDef kv_def_score_fusion_rrf;
// fusion/filters_py.cpp
extern const kv::frame::FunctionDef kv_def_dedupe_best_by_id;
extern const kv::frame::FunctionDef kv_def_filter_results_by_threshold;
// fusion/mmr_py.cpp
extern const kv::frame::FunctionDef kv_def_mmr_rerank;
// graph/bridge_edges_py.cpp
extern const kv::frame::FunctionDef kv_def_build_code_doc_bridge_edges;
// graph/graph_edges_py.cpp
extern const kv::frame::FunctionDef kv_def_build_graph_edges;
// graph/louvain_py.cpp
extern const kv::frame::FunctionDef kv_def_run_louvain;
// graph/entity_merge_py.cpp
extern const kv::frame::FunctionDef kv_def_merge_entities_into_graph;
// graph/relation_merge_py.cpp
extern const kv::frame::FunctionDef kv_def_merge_relations_into_graph;
// graph/alias_groups_py.cpp
extern const kv::frame::FunctionDef kv_def_resolve_entity_alias_groups;
// lexical/corpus_codecs_py.cpp
extern const kv::frame::FunctionDef kv_def_decode_corpus_json;
extern const kv::frame::FunctionDef kv_def_encode_corpus_msgpack;
extern const kv::frame::FunctionDef kv_def_decode_corpus_msgpack;
extern const kv::frame::FunctionDef kv_def_build_dedup_corpus_payload;
// persist/sentence_codecs_py.cpp
extern const kv::frame::FunctionDef kv_def_encode_sentence_index;
extern const kv::frame::FunctionDef kv_def_decode_sentence_index;
extern const kv::frame::FunctionDef kv_def_encode_sentence_meta;
extern const kv::frame::FunctionDef kv_def_decode_sentence_meta;
// persist/graph_codecs_py.cpp
extern const kv::frame::FunctionDef kv_def_encode_entity_graph;
extern const kv::frame::FunctionDef kv_def_decode_entity_graph;
extern const kv::frame::FunctionDef kv_def_encode_relation_graph;
extern const kv::frame::FunctionDef kv_def_decode_relation_graph;
extern const kv::frame::FunctionDef kv_def_encode_entity_embeddings;
extern const kv::frame::FunctionDef kv_def_decode_entity_embeddings;
