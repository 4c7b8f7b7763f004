// mmr_rerank.
#include "fusion/mmr.h"
#include "fusion/result_dicts_py.h"
#include "module/dict_fields.h"

#include <vector>

namespace {

using namespace kv;

PyObject* mmr_rerank(ListArg results, double lambda_mult, double dup_threshold) {
    PyObject* list = results.obj;
    // Zero or one result: nothing to reorder, and nothing is read.
    if (PyList_GET_SIZE(list) < 2) return check(PyList_GetSlice(list, 0, PY_SSIZE_T_MAX)).release();

    const Ref score_key = fusion::key("score");
    const Ref text_key = fusion::key("text");
    std::vector<Ref> items;
    std::vector<double> relevance;
    std::vector<fusion::TokenSet> sets;
    const auto n = static_cast<std::size_t>(PyList_GET_SIZE(list));
    items.reserve(n);
    relevance.reserve(n);
    sets.reserve(n);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        Ref item = fusion::dict_element(list, i);
        relevance.push_back(get_score_from_dict(item.get(), score_key.get()));
        Ref holder;
        sets.push_back(fusion::token_set(get_str_from_dict(item.get(), text_key.get(), holder)));
        items.push_back(std::move(item));
    }

    const std::vector<std::size_t> kept =
        fusion::mmr_select(relevance, sets, lambda_mult, dup_threshold);
    std::vector<Ref> out;
    out.reserve(kept.size());
    for (std::size_t p : kept) out.push_back(items[p]);
    return fusion::list_of(out).release();
}

}  // namespace

KV_FUNCTION(mmr_rerank, "mmr_rerank(results, lambda_mult=0.5, dup_threshold=0.85)",
            "Rerank results using Maximal Marginal Relevance (Jaccard text similarity).\n"
            "\n"
            "Iteratively selects the next document maximising:\n"
            "  lambda_mult * relevance_score - (1-lambda_mult) * max_jaccard_to_selected\n"
            "\n"
            "Documents with Jaccard >= dup_threshold to any already-selected document\n"
            "are dropped as near-duplicates.\n"
            "\n"
            "Returns a reordered + deduplicated list of the original dicts.");
