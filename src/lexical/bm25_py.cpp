// preprocess_documents, build_bm25_index, search_bm25.
#include "lexical/bm25.h"
#include "module/dict_fields.h"
#include "module/frame.h"
#include "module/list_items.h"
#include "text/unicode.h"

#include <memory>
#include <string>

namespace {

using namespace kv;
using Bm25Arg = Instance<lexical::Bm25Index, IndexKind::Bm25>;

// True if `s` is already words joined by single spaces.
bool is_normalised(std::string_view s) {
    bool first = true;
    std::size_t words = 0, bytes = 0;
    text::for_each_word(s, [&](std::string_view w) {
        if (!first) ++bytes;
        first = false;
        ++words;
        bytes += w.size();
    });
    return bytes == s.size() && (words > 0 || s.empty()) &&
           s.find_first_of("\t\n\v\f\r") == std::string_view::npos;
}

PyObject* preprocess_documents(ListArg documents, Count /*_batch_size*/) {
    Ref key = check(PyUnicode_FromString("text"));
    Ref out = check(PyList_New(0));
    std::string joined;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(documents.obj); ++i) {
        Ref doc = dict_element(documents.obj, i);
        Ref copy = copy_pydict(doc.get());
        PyObject* raw = nullptr;
        int found = PyDict_GetItemRef(doc.get(), key.get(), &raw);
        Ref value = Ref::steal(raw);
        if (found < 0) {
            PyErr_Clear();  // a failing lookup leaves the copy as it is
        } else if (found > 0 && PyUnicode_Check(value.get())) {
            std::string_view text;
            if (!text_from_py(value.get(), text)) throw PyErrorSet{};
            Ref normalised;
            if (PyUnicode_CheckExact(value.get()) && is_normalised(text)) {
                normalised = value;
            } else {
                joined.clear();
                text::for_each_word(text, [&](std::string_view w) {
                    if (!joined.empty()) joined.push_back(' ');
                    joined.append(w);
                });
                normalised = check(PyUnicode_FromStringAndSize(
                    joined.data(), static_cast<Py_ssize_t>(joined.size())));
            }
            check_status(PyDict_SetItem(copy.get(), key.get(), normalised.get()));
        }
        check_status(PyList_Append(out.get(), copy.get()));
    }
    return out.release();
}

PyObject* build_bm25_index(ListArg corpus) {
    Ref key = check(PyUnicode_FromString("text"));
    lexical::Bm25Builder builder;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(corpus.obj); ++i) {
        Ref doc = dict_element(corpus.obj, i);
        PyObject* raw = nullptr;
        int found = PyDict_GetItemRef(doc.get(), key.get(), &raw);
        Ref value = Ref::steal(raw);
        if (found < 0) throw PyErrorSet{};
        std::string_view text;
        if (found > 0 && PyUnicode_Check(value.get()) && !text_from_py(value.get(), text))
            throw PyErrorSet{};
        builder.add_document(text);
    }
    auto index = std::make_unique<lexical::Bm25Index>(builder.finish());
    return make_index(IndexKind::Bm25, index.release());
}

PyObject* search_bm25(Bm25Arg index, Text query, Count top_k) {
    auto hits = index.core->search(query.view, top_k.value);
    Ref out = check(PyList_New(static_cast<Py_ssize_t>(hits.size())));
    for (std::size_t i = 0; i < hits.size(); ++i) {
        PyObject* pair =
            Py_BuildValue("(Kd)", static_cast<unsigned long long>(hits[i].first), hits[i].second);
        if (!pair) throw PyErrorSet{};
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), pair);
    }
    return out.release();
}

}  // namespace

KV_FUNCTION(preprocess_documents, "preprocess_documents(documents, _batch_size)", "");
KV_FUNCTION(build_bm25_index, "build_bm25_index(corpus)", "");
KV_FUNCTION(search_bm25, "search_bm25(index, query, top_k)", "");
