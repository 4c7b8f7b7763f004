#include "lexical/bm25.h"

#include "lexical/tokenizer.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace kv::lexical {

void Bm25Builder::add_document(std::string_view text) {
    const std::size_t d = doc_len_.size();
    if (d >= UINT32_MAX) throw std::length_error("too many documents for one index");
    const uint32_t mark = static_cast<uint32_t>(d) + 1;
    const std::size_t first = entries_.size();
    // Hash every token first, then intern them with the table slots of the
    // tokens a little ahead already requested from memory: a vocabulary
    // larger than the cache makes most lookups of rare words cache misses.
    tokens_.clear();
    for_each_token(text, scratch_,
                   [&](std::string_view token) { tokens_.push_back(TermTable::hashed(token)); });
    const uint64_t length = tokens_.size();
    constexpr std::size_t kAhead = 8;
    ids_.resize(tokens_.size());
    for (std::size_t i = 0; i < tokens_.size(); ++i) {
        if (i + kAhead < tokens_.size()) index_.terms_.prefetch(tokens_[i + kAhead].hash);
        ids_[i] = index_.terms_.intern(tokens_[i]);
    }
    if (index_.terms_.size() > term_state_.size()) term_state_.resize(index_.terms_.size());
    for (std::size_t i = 0; i < ids_.size(); ++i) {
        if (i + kAhead < ids_.size()) __builtin_prefetch(&term_state_[ids_[i + kAhead]]);
        const uint32_t id = ids_[i];
        TermState& st = term_state_[id];
        if (st.last_doc == mark) {
            ++entries_[first + st.slot_in_doc].tf;
        } else {
            st.last_doc = mark;
            st.slot_in_doc = static_cast<uint32_t>(entries_.size() - first);
            ++st.df;
            entries_.push_back({id, static_cast<uint32_t>(d), 1});
        }
    }
    doc_len_.push_back(length);
}

Bm25Index Bm25Builder::finish() {
    Bm25Index& ix = index_;
    const std::size_t n_docs = doc_len_.size();
    const std::size_t n_terms = ix.terms_.size();

    uint64_t total = 0;
    for (uint64_t len : doc_len_) total += len;
    ix.avgdl_ = n_docs ? static_cast<double>(total) / static_cast<double>(n_docs) : 0.0;
    const double avgdl = std::max(ix.avgdl_, 1e-9);

    ix.doc_norm_.resize(n_docs);
    ix.doc_tf1_.resize(n_docs);
    for (std::size_t d = 0; d < n_docs; ++d) {
        const double dl = static_cast<double>(doc_len_[d]);
        const double norm = ((dl * Bm25Index::kB) / avgdl + (1.0 - Bm25Index::kB)) * Bm25Index::kK1;
        ix.doc_norm_[d] = norm;
        ix.doc_tf1_[d] = (Bm25Index::kK1 + 1.0) * 1.0 / (norm + 1.0);
    }

    const double n = static_cast<double>(n_docs);
    ix.idf_.resize(n_terms);
    for (std::size_t t = 0; t < n_terms; ++t) {
        const double df = static_cast<double>(term_state_[t].df);
        ix.idf_[t] = std::log(((n - df) + 0.5) / (df + 0.5) + 1.0);
    }

    // Counting sort of the document-ordered entries by term keeps every
    // group in ascending document order.
    ix.once_offsets_.assign(n_terms + 1, 0);
    ix.multi_offsets_.assign(n_terms + 1, 0);
    for (const Entry& e : entries_)
        ++(e.tf == 1 ? ix.once_offsets_ : ix.multi_offsets_)[e.term + 1];
    for (std::size_t t = 0; t < n_terms; ++t) {
        ix.once_offsets_[t + 1] += ix.once_offsets_[t];
        ix.multi_offsets_[t + 1] += ix.multi_offsets_[t];
    }
    ix.once_.resize(ix.once_offsets_[n_terms]);
    ix.multi_.resize(ix.multi_offsets_[n_terms]);
    {
        std::vector<uint64_t> once_at(ix.once_offsets_.begin(), ix.once_offsets_.end() - 1);
        std::vector<uint64_t> multi_at(ix.multi_offsets_.begin(), ix.multi_offsets_.end() - 1);
        for (const Entry& e : entries_) {
            if (e.tf == 1)
                ix.once_[once_at[e.term]++] = e.doc;
            else
                ix.multi_[multi_at[e.term]++] = {e.doc, e.tf};
        }
    }

    ix.terms_.shrink_to_fit();
    entries_ = {};
    doc_len_ = {};
    term_state_ = {};
    return std::move(ix);
}

double Bm25Index::idf(std::string_view term) const {
    uint32_t id = terms_.find(term);
    return id == TermTable::kNone ? -1.0 : idf_[id];
}

namespace {

using Hit = std::pair<uint64_t, double>;

// Higher score first, then lower position.
inline bool better(const Hit& a, const Hit& b) {
    return a.second > b.second || (a.second == b.second && a.first < b.first);
}

// Keeps the best k hits offered; `heap` top is the worst one kept.
class TopK {
  public:
    explicit TopK(std::size_t k, std::size_t expected) : k_(k) {
        heap_.reserve(std::min(k, expected));
    }
    void offer(uint64_t doc, double score) {
        if (heap_.size() < k_) {
            heap_.emplace_back(doc, score);
            std::push_heap(heap_.begin(), heap_.end(), better);
        } else if (better({doc, score}, heap_.front())) {
            std::pop_heap(heap_.begin(), heap_.end(), better);
            heap_.back() = {doc, score};
            std::push_heap(heap_.begin(), heap_.end(), better);
        }
    }
    // The score a hit must reach to be worth offering (-inf until k are kept).
    double bar() const {
        return heap_.size() < k_ ? -std::numeric_limits<double>::infinity() : heap_.front().second;
    }
    std::vector<Hit> sorted() && {
        std::sort_heap(heap_.begin(), heap_.end(), better);
        return std::move(heap_);
    }

  private:
    std::size_t k_;
    std::vector<Hit> heap_;
};

}  // namespace

std::vector<Hit> Bm25Index::search(std::string_view query, uint64_t top_k) const {
    const std::size_t n_docs = doc_count();
    if (n_docs == 0 || top_k == 0) return {};

    // Distinct query terms in order of first occurrence; unknown terms drop out.
    std::vector<uint32_t> term_ids;
    std::string scratch;
    for_each_token(query, scratch, [&](std::string_view token) {
        uint32_t id = terms_.find(token);
        if (id == TermTable::kNone) return;
        if (std::find(term_ids.begin(), term_ids.end(), id) == term_ids.end())
            term_ids.push_back(id);
    });
    if (term_ids.empty()) return {};

    // Every allocation happens before scoring starts, so the shared score
    // buffer is always returned to all-zero.
    if (scores_.size() != n_docs) scores_.assign(n_docs, 0.0);
    std::size_t total = 0;
    for (uint32_t id : term_ids)
        total += (once_offsets_[id + 1] - once_offsets_[id]) +
                 (multi_offsets_[id + 1] - multi_offsets_[id]);
    // With many postings, one pass over the dense array is cheaper than
    // remembering which documents were touched.
    const bool dense = total >= n_docs / 4;
    std::vector<uint32_t> touched;
    if (!dense) touched.reserve(total);
    TopK best(top_k, dense ? n_docs : total);

    double* scores = scores_.data();
    const double* norm = doc_norm_.data();
    const double* tf1 = doc_tf1_.data();
    for (uint32_t id : term_ids) {
        const double idf = idf_[id];
        if (idf == 0.0) continue;
        const uint32_t* o = once_.data() + once_offsets_[id];
        const uint32_t* o_end = once_.data() + once_offsets_[id + 1];
        const Posting* m = multi_.data() + multi_offsets_[id];
        const Posting* m_end = multi_.data() + multi_offsets_[id + 1];
        if (dense) {
            for (; o < o_end; ++o) scores[*o] += tf1[*o] * idf;
            for (; m < m_end; ++m) {
                const double tf = static_cast<double>(m->tf);
                scores[m->doc] += (kK1 + 1.0) * tf / (norm[m->doc] + tf) * idf;
            }
        } else {
            for (; o < o_end; ++o) {
                if (scores[*o] == 0.0) touched.push_back(*o);
                scores[*o] += tf1[*o] * idf;
            }
            for (; m < m_end; ++m) {
                if (scores[m->doc] == 0.0) touched.push_back(m->doc);
                const double tf = static_cast<double>(m->tf);
                scores[m->doc] += (kK1 + 1.0) * tf / (norm[m->doc] + tf) * idf;
            }
        }
    }

    // Only hits that reach the current bar can enter the top k. The dense
    // scan runs in ascending position, so a later hit with the bar's exact
    // score loses its tie and can be passed over.
    double bar = best.bar();
    if (dense) {
        for (std::size_t d = 0; d < n_docs; ++d) {
            const double s = scores[d];
            scores[d] = 0.0;
            if (s > 0.0 && s > bar) {
                best.offer(d, s);
                bar = best.bar();
            }
        }
    } else {
        for (uint32_t d : touched) {
            const double s = scores[d];
            scores[d] = 0.0;
            if (s > 0.0 && s >= bar) {
                best.offer(d, s);
                bar = best.bar();
            }
        }
    }
    return std::move(best).sorted();
}

}  // namespace kv::lexical
