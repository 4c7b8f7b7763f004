// score_fusion_weighted, score_fusion_rrf.
#include "fusion/result_dicts_py.h"
#include "fusion/score_fusion.h"
#include "module/dict_fields.h"
#include "module/pyvalues.h"

#include <cmath>
#include <string_view>
#include <vector>

namespace {

using namespace kv;

// The result dicts of one list with their ids (the id views live in
// id_holders) and, where asked for, their "score" values.
struct ResultList {
    std::vector<Ref> items;
    std::vector<Ref> id_holders;
    std::vector<std::string_view> ids;
    std::vector<double> scores;

    void reserve(std::size_t n) {
        items.reserve(n);
        id_holders.reserve(n);
        ids.reserve(n);
        scores.reserve(n);
    }

    void add_id(PyObject* item, PyObject* id_key) {
        Ref holder;
        ids.push_back(get_str_from_dict(item, id_key, holder));
        id_holders.push_back(std::move(holder));
    }
};

// Every element, which must be a dict, with its id and (with score_key) score.
void read_results(PyObject* list, PyObject* id_key, PyObject* score_key, ResultList& out) {
    out.reserve(static_cast<std::size_t>(PyList_GET_SIZE(list)));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        Ref item = fusion::dict_element(list, i);
        out.add_id(item.get(), id_key);
        if (score_key) out.scores.push_back(get_score_from_dict(item.get(), score_key));
        out.items.push_back(std::move(item));
    }
}

PyObject* score_fusion_rrf(ListArg vector_results, ListArg bm25_results, int64_t k) {
    const double kf = static_cast<double>(k);
    const Ref id_key = fusion::key("id");
    const Ref score_key = fusion::key("score");
    const Ref vector_score_key = fusion::key("vector_score");

    ResultList vec, bm25;
    read_results(vector_results.obj, id_key.get(), score_key.get(), vec);
    read_results(bm25_results.obj, id_key.get(), nullptr, bm25);

    const std::vector<fusion::RrfEntry> entries =
        fusion::rrf_fuse(vec.ids, vec.scores, bm25.ids, kf);
    std::vector<Ref> out;
    out.reserve(entries.size());
    const Ref zero = make_float(0.0);
    for (const fusion::RrfEntry& e : entries) {
        const std::size_t rep = e.representative;
        const Ref& source =
            rep < vec.items.size() ? vec.items[rep] : bm25.items[rep - vec.items.size()];
        Ref copy = copy_pydict(source.get());
        set_item(copy.get(), score_key.get(), make_float(e.score).get());
        set_item(copy.get(), vector_score_key.get(),
                 e.vector_score == 0.0 && !std::signbit(e.vector_score)
                     ? zero.get()
                     : make_float(e.vector_score).get());
        out.push_back(std::move(copy));
    }
    return fusion::list_of(out).release();
}

// Every element with its "score" (0.0 for an element that is not a dict; such
// elements are refused once the ids are read).
void read_raw_scores(PyObject* list, PyObject* score_key, ResultList& out) {
    out.reserve(static_cast<std::size_t>(PyList_GET_SIZE(list)));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        Ref item = fusion::list_element(list, i);
        out.scores.push_back(PyDict_Check(item.get()) ? get_score_from_dict(item.get(), score_key)
                                                      : 0.0);
        out.items.push_back(std::move(item));
    }
}

void read_ids(PyObject* id_key, ResultList& list) {
    for (const Ref& item : list.items) {
        if (!PyDict_Check(item.get())) {
            set_conversion_error(item.get(), "PyDict");
            throw PyErrorSet{};
        }
        list.add_id(item.get(), id_key);
    }
}

PyObject* score_fusion_weighted(ListArg vector_results, ListArg bm25_results, double weight) {
    const Ref id_key = fusion::key("id");
    const Ref score_key = fusion::key("score");
    const Ref vector_score_key = fusion::key("vector_score");
    const Ref fused_only_key = fusion::key("fused_only");

    // Scores of both lists first (they are normalised per list), then ids.
    // The elements are held from the first walk on, so Python code run by a
    // lookup cannot change what the second walk sees.
    ResultList vec, bm25;
    read_raw_scores(vector_results.obj, score_key.get(), vec);
    read_raw_scores(bm25_results.obj, score_key.get(), bm25);
    read_ids(id_key.get(), vec);
    read_ids(id_key.get(), bm25);

    const fusion::WeightedFusion fused =
        fusion::weighted_fuse(vec.ids, vec.scores, bm25.ids, bm25.scores, weight);

    // Output dicts in slot order: vector items in list order, then BM25-only
    // ids in the order of their first occurrence.
    std::vector<Ref> dicts;
    dicts.reserve(fused.slots.size());
    const Ref zero = make_float(0.0);
    for (const fusion::WeightedSlot& slot : fused.slots) {
        Ref copy;
        if (!slot.bm25_only) {
            copy = copy_pydict(vec.items[slot.item].get());
            set_item(copy.get(), vector_score_key.get(), make_float(vec.scores[slot.item]).get());
        } else {
            copy = copy_pydict(bm25.items[slot.item - vec.items.size()].get());
            set_item(copy.get(), vector_score_key.get(), zero.get());
            set_item(copy.get(), fused_only_key.get(), Py_True);
        }
        dicts.push_back(std::move(copy));
    }
    for (std::size_t s = 0; s < dicts.size(); ++s)
        set_item(dicts[s].get(), score_key.get(), make_float(fused.slots[s].score).get());

    std::vector<Ref> out;
    out.reserve(fused.order.size());
    for (std::size_t s : fused.order) out.push_back(std::move(dicts[s]));
    return fusion::list_of(out).release();
}

}  // namespace

KV_FUNCTION(score_fusion_weighted,
            "score_fusion_weighted(vector_results, bm25_results, weight=0.7)",
            "Merge vector + BM25 results using weighted normalized score fusion.\n"
            "weight: 1.0 = pure semantic, 0.0 = pure lexical.\n"
            "Returns a combined list sorted by fused score descending.");
KV_FUNCTION(score_fusion_rrf, "score_fusion_rrf(vector_results, bm25_results, k=60)",
            "Merge vector + BM25 results using Reciprocal Rank Fusion.\n"
            "k: RRF smoothing constant (default 60).\n"
            "Preserves original vector score in \"vector_score\" field.");
