// dedupe_best_by_id, filter_results_by_threshold.
#include "fusion/filters.h"
#include "fusion/result_dicts_py.h"
#include "module/dict_fields.h"

#include <string_view>
#include <vector>

namespace {

using namespace kv;

PyObject* dedupe_best_by_id(ListArg results) {
    const Ref id_key = fusion::key("id");
    const Ref score_key = fusion::key("score");
    PyObject* list = results.obj;
    fusion::BestById table(static_cast<std::size_t>(PyList_GET_SIZE(list)));
    std::vector<Ref> id_holders;  // the first occurrence of each id, which the table refers to
    std::vector<Ref> best;        // per id in first-occurrence order: the copy of its best item
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        Ref item = fusion::dict_element(list, i);
        Ref holder;
        const std::string_view id = get_str_from_dict(item.get(), id_key.get(), holder);
        if (id.empty()) continue;
        const double score = get_score_from_dict(item.get(), score_key.get());
        // Every item is copied as it is met; the copy of an item that does not
        // become its id's best is skipped where nobody could notice.
        Ref copy;
        if (!copy_runs_no_python(item.get())) copy = copy_pydict(item.get());
        const fusion::BestById::Offer offer = table.offer(id, score);
        if (offer.slot == best.size()) {
            id_holders.push_back(std::move(holder));
            best.emplace_back();
        }
        if (offer.best) best[offer.slot] = copy ? std::move(copy) : copy_pydict(item.get());
    }
    return fusion::list_of(best).release();
}

// Whether "fused_only" holds a true bool (or NumPy boolean). A failing lookup
// or truth test counts as not set.
bool fused_only_set(PyObject* dict, PyObject* key) {
    PyObject* raw = nullptr;
    const int found = PyDict_GetItemRef(dict, key, &raw);
    Ref value = Ref::steal(raw);
    if (found < 0) {
        PyErr_Clear();
        return false;
    }
    if (found == 0) return false;
    if (PyBool_Check(value.get())) return value.get() == Py_True;
    PyTypeObject* type = Py_TYPE(value.get());
    if (!is_numpy_bool_type(type)) return false;
    if (!type->tp_as_number || !type->tp_as_number->nb_bool) return false;
    const int truth = type->tp_as_number->nb_bool(value.get());
    if (truth < 0) {
        PyErr_Clear();
        return false;
    }
    return truth == 1;
}

PyObject* filter_results_by_threshold(ListArg results, double threshold, Text score_field) {
    const Ref fused_only_key = fusion::key("fused_only");
    const bool field_is_score = score_field.view == "score";
    const Ref field_key = check(PyUnicode_FromStringAndSize(
        score_field.view.data(), static_cast<Py_ssize_t>(score_field.view.size())));
    const Ref fallback_key = fusion::key(field_is_score ? "vector_score" : "score");
    PyObject* list = results.obj;
    std::vector<Ref> out;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        Ref item = fusion::dict_element(list, i);
        bool keep = fused_only_set(item.get(), fused_only_key.get());
        if (!keep) {
            std::optional<double> score = get_optional_f64_from_dict(item.get(), field_key.get());
            if (!score) score = get_optional_f64_from_dict(item.get(), fallback_key.get());
            keep = score.value_or(0.0) >= threshold;
        }
        if (keep) out.push_back(copy_pydict(item.get()));
    }
    return fusion::list_of(out).release();
}

}  // namespace

KV_FUNCTION(dedupe_best_by_id, "dedupe_best_by_id(results)", "");
KV_FUNCTION(filter_results_by_threshold,
            "filter_results_by_threshold(results, threshold, score_field=\"vector_score\")", "");
