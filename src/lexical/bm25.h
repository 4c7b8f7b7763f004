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
    std::size_t posting_count() const { return once_.size() + multi_.size(); }
    std::size_t term_count() const { return terms_.size(); }
    // idf of a term, or -1.0 when the term does not occur.
    double idf(std::string_view term) const;

    // (position, score) pairs, best first, ties by ascending position.
    std::vector<std::pair<uint64_t, double>> search(std::string_view query, uint64_t top_k) const;

  private:
    friend class Bm25Builder;

    // Postings of one term are split by term frequency: the documents holding
    // it once (the large majority, stored as bare positions) and those holding
    // it more often, each group in ascending document order. A document gets
    // exactly one contribution per term, so visiting the two groups one after
    // the other adds the same values in the same per-document order.
    TermTable terms_;
    std::vector<uint64_t> once_offsets_;   // term id -> first entry of once_
    std::vector<uint32_t> once_;           // documents with tf = 1
    std::vector<uint64_t> multi_offsets_;  // term id -> first entry of multi_
    std::vector<Posting> multi_;           // documents with tf > 1
    std::vector<double> idf_;
    // Per document: ((dl * b) / avgdl' + (1 - b)) * k1, the length part of the
    // denominator, computed once with the same operations search would use.
    std::vector<double> doc_norm_;
    // Per document: (k1 + 1) * 1 / (doc_norm + 1), a term's contribution
    // before idf when it occurs once, exactly as the general formula gives it.
    std::vector<double> doc_tf1_;
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
    struct TermState {
        uint32_t df = 0;
        uint32_t last_doc = 0;     // last document that held the term, +1
        uint32_t slot_in_doc = 0;  // the term's entry index within that document
    };

    Bm25Index index_;
    std::vector<uint64_t> doc_len_;
    std::vector<Entry> entries_;  // (term, doc, tf) in document order
    std::vector<TermState> term_state_;
    std::vector<TermTable::Hashed> tokens_;  // the current document's tokens
    std::vector<uint32_t> ids_;              // and their term ids
    std::string scratch_;
};

}  // namespace kv::lexical
