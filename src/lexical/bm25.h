// BM25 (k1 = 1.5, b = 0.75) over a tokenized corpus: an immutable index built
// document by document, and top-k search over the query's distinct terms.
#pragma once

#include "lexical/term_table.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kv::lexical {

class Bm25Index {
  public:
    static constexpr double kK1 = 1.5;
    static constexpr double kB = 0.75;

    struct Posting {
        uint32_t doc;
        uint32_t tf;
    };

    std::size_t doc_count() const { return doc_norm_.size(); }
    double avgdl() const { return avgdl_; }
    std::size_t posting_count() const { return postings_.size(); }
    std::size_t term_count() const { return terms_.size(); }
    // idf of a term, or -1.0 when the term does not occur.
    double idf(std::string_view term) const;

    // (position, score) pairs, best first, ties by ascending position.
    std::vector<std::pair<uint64_t, double>> search(std::string_view query, uint64_t top_k) const;

  private:
    friend class Bm25Builder;

    TermTable terms_;
    std::vector<uint64_t> offsets_;  // term id -> first posting; size term_count + 1
    std::vector<Posting> postings_;  // grouped by term, ascending doc within a term
    std::vector<double> idf_;
    // Per document: ((dl * b) / avgdl' + (1 - b)) * k1, the length part of the
    // denominator, computed once with the same operations search would use.
    std::vector<double> doc_norm_;
    double avgdl_ = 0.0;
    // Dense per-document score buffer reused by searches (all zero between
    // searches); searches never overlap because callers hold the GIL.
    mutable std::vector<double> scores_;
};

class Bm25Builder {
  public:
    // Adds the next document (position = number of documents added so far).
    void add_document(std::string_view text);
    Bm25Index finish();

  private:
    struct Entry {
        uint32_t term;
        uint32_t doc;
        uint32_t tf;
    };

    Bm25Index index_;
    std::vector<uint64_t> doc_len_;
    std::vector<Entry> entries_;  // (term, doc, tf) in document order
    std::vector<uint32_t> df_;
    std::vector<uint32_t> last_doc_;     // per term: last document that held it, +1
    std::vector<uint32_t> slot_in_doc_;  // per term: its entry index within the current doc
    std::string scratch_;
};

}  // namespace kv::lexical
