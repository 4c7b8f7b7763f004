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
