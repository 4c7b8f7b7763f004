// Registration-table rows, one per exported function. Each row is defined by
// KV_FUNCTION next to the function's implementation, in the file named here.
#pragma once

#include "module/frame.h"

// lexical/bm25_py.cpp
extern const kv::frame::FunctionDef kv_def_preprocess_documents;
extern const kv::frame::FunctionDef kv_def_build_bm25_index;
extern const kv::frame::FunctionDef kv_def_search_bm25;
// module/primitives_py.cpp
extern const kv::frame::FunctionDef kv_def_compute_doc_hash;
extern const kv::frame::FunctionDef kv_def_compute_sha256;
extern const kv::frame::FunctionDef kv_def_cosine_similarity;
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
