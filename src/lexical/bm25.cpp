#include "lexical/bm25.h"

#include "lexical/tokenizer.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace kv::lexical {

void Bm25Builder::add_document(std::string_view text) {
    const std::size_t d = doc_len_.size();
    if (d >= UINT32_MAX) throw std::length_error("too many documents for one index");
    const uint32_t mark = static_cast<uint32_t>(d) + 1;
    const std::size_t first = entries_.size();
    uint64_t length = 0;
    for_each_token(text, scratch_, [&](std::string_view token) {
        ++length;
        uint32_t id = index_.terms_.intern(token);
        if (id >= last_doc_.size()) {
            last_doc_.push_back(0);
            slot_in_doc_.push_back(0);
            df_.push_back(0);
        }
        if (last_doc_[id] == mark) {
            ++entries_[first + slot_in_doc_[id]].tf;
        } else {
            last_doc_[id] = mark;
            slot_in_doc_[id] = static_cast<uint32_t>(entries_.size() - first);
            ++df_[id];
            entries_.push_back({id, static_cast<uint32_t>(d), 1});
        }
    });
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
    for (std::size_t d = 0; d < n_docs; ++d) {
        const double dl = static_cast<double>(doc_len_[d]);
        ix.doc_norm_[d] = ((dl * Bm25Index::kB) / avgdl + (1.0 - Bm25Index::kB)) * Bm25Index::kK1;
    }

    const double n = static_cast<double>(n_docs);
    ix.idf_.resize(n_terms);
    ix.offsets_.assign(n_terms + 1, 0);
    for (std::size_t t = 0; t < n_terms; ++t) {
        const double df = static_cast<double>(df_[t]);
        ix.idf_[t] = std::log(((n - df) + 0.5) / (df + 0.5) + 1.0);
        ix.offsets_[t + 1] = ix.offsets_[t] + df_[t];
    }

    // Counting sort of the document-ordered entries by term keeps every
    // term's postings in ascending document order.
    ix.postings_.resize(entries_.size());
    {
        std::vector<uint64_t> cursor(ix.offsets_.begin(), ix.offsets_.end() - 1);
        for (const Entry& e : entries_) ix.postings_[cursor[e.term]++] = {e.doc, e.tf};
    }

    ix.terms_.shrink_to_fit();
    entries_ = {};
    doc_len_ = {};
    df_ = {};
    last_doc_ = {};
    slot_in_doc_ = {};
    return std::move(ix);
}

double Bm25Index::idf(std::string_view term) const {
    uint32_t id = terms_.find(term);
    return id == TermTable::kNone ? -1.0 : idf_[id];
}

std::vector<std::pair<uint64_t, double>> Bm25Index::search(std::string_view query,
                                                           uint64_t top_k) const {
    std::vector<std::pair<uint64_t, double>> out;
    const std::size_t n_docs = doc_count();
    if (n_docs == 0) return out;

    // Distinct query terms in order of first occurrence; unknown terms drop out.
    std::vector<uint32_t> term_ids;
    std::string scratch;
    bool any_token = false;
    for_each_token(query, scratch, [&](std::string_view token) {
        any_token = true;
        uint32_t id = terms_.find(token);
        if (id == TermTable::kNone) return;
        if (std::find(term_ids.begin(), term_ids.end(), id) == term_ids.end())
            term_ids.push_back(id);
    });
    if (!any_token || term_ids.empty() || top_k == 0) return out;

    // Every allocation happens before scoring starts, so the shared score
    // buffer is always returned to all-zero.
    if (scores_.size() != n_docs) scores_.assign(n_docs, 0.0);
    std::size_t total = 0;
    for (uint32_t id : term_ids) total += offsets_[id + 1] - offsets_[id];
    std::vector<uint32_t> touched;
    touched.reserve(total);
    out.reserve(std::min(total, n_docs));
    double* scores = scores_.data();
    const double* norm = doc_norm_.data();
    for (uint32_t id : term_ids) {
        const double idf = idf_[id];
        if (idf == 0.0) continue;
        const Posting* p = postings_.data() + offsets_[id];
        const Posting* end = postings_.data() + offsets_[id + 1];
        for (; p < end; ++p) {
            const uint32_t d = p->doc;
            const double tf = static_cast<double>(p->tf);
            if (scores[d] == 0.0) touched.push_back(d);
            scores[d] += (kK1 + 1.0) * tf / (norm[d] + tf) * idf;
        }
    }

    for (uint32_t d : touched) {
        if (scores[d] > 0.0) out.emplace_back(d, scores[d]);
        scores[d] = 0.0;
    }
    auto better = [](const std::pair<uint64_t, double>& a, const std::pair<uint64_t, double>& b) {
        return a.second > b.second || (a.second == b.second && a.first < b.first);
    };
    if (top_k < out.size()) {
        std::partial_sort(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(top_k), out.end(),
                          better);
        out.resize(top_k);
    } else {
        std::sort(out.begin(), out.end(), better);
    }
    return out;
}

}  // namespace kv::lexical
