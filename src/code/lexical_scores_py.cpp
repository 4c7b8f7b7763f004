// code_lexical_scores.
#include "code/fields_py.h"
#include "code/lexical_scores.h"
#include "code/names.h"
#include "module/frame.h"
#include "module/pyvalues.h"

#include <algorithm>
#include <optional>

namespace {

using namespace kv;

// An int (or subclass) within signed 64 bits; anything else counts as absent.
std::optional<int64_t> line_value(const Ref& v) {
    if (!v || !PyLong_Check(v.get())) return std::nullopt;
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(v.get(), &overflow);
    if (overflow != 0) return std::nullopt;
    if (n == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    return n;
}

PyObject* code_lexical_scores(ListArg results, ListArg query_tokens) {
    code::LexicalTokens tokens;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(query_tokens.obj); ++i) {
        Ref item = Ref::steal(PyList_GetItemRef(query_tokens.obj, i));
        if (!item) throw PyErrorSet{};
        if (!PyUnicode_Check(item.get())) continue;
        Py_ssize_t n = 0;
        const char* s = PyUnicode_AsUTF8AndSize(item.get(), &n);
        if (!s) {  // a str without a UTF-8 form is a token that matches nothing
            PyErr_Clear();
            tokens.add_unmatchable();
            continue;
        }
        tokens.add({s, static_cast<std::size_t>(n)});
    }

    std::vector<double> scores;
    if (tokens.empty()) {
        scores.assign(static_cast<std::size_t>(PyList_GET_SIZE(results.obj)), 0.0);
    } else {
        Ref metadata_key = code::key_object("metadata");
        Ref source_class_key = code::key_object("source_class");
        Ref symbol_name_key = code::key_object("symbol_name");
        Ref symbol_type_key = code::key_object("symbol_type");
        Ref file_path_key = code::key_object("file_path");
        Ref source_key = code::key_object("source");
        Ref start_key = code::key_object("start_line");
        Ref end_key = code::key_object("end_line");
        Ref text_key = code::key_object("text");
        code::LexicalScorer scorer(tokens);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(results.obj); ++i) {
            Ref result = code::typed_item(
                results.obj, i, [](PyObject* o) { return PyDict_Check(o) != 0; }, "PyDict");
            Ref meta = code::chunk_metadata(result.get(), metadata_key.get());
            if (!meta) {
                scores.push_back(0.0);
                continue;
            }
            Ref source_class = code::lookup(meta.get(), source_class_key.get());
            if (!source_class || !PyUnicode_Check(source_class.get()) ||
                !PyUnicode_EqualToUTF8AndSize(source_class.get(), "code", 4)) {
                scores.push_back(0.0);
                continue;
            }
            Ref name_value = code::lookup(meta.get(), symbol_name_key.get());
            Ref type_value = code::lookup(meta.get(), symbol_type_key.get());
            Ref path_value = code::lookup(meta.get(), file_path_key.get());
            bool path_is_text = path_value && PyUnicode_Check(path_value.get());
            std::string_view path = code::str_value(path_value);
            if (!path_is_text) {
                // A failing lookup of "source" just means no path.
                PyObject* raw = nullptr;
                if (PyDict_GetItemRef(meta.get(), source_key.get(), &raw) < 0) PyErr_Clear();
                path_value = Ref::steal(raw);
                path = code::str_value(path_value);
            }
            Ref start_value = code::lookup(meta.get(), start_key.get());
            Ref end_value = code::lookup(meta.get(), end_key.get());
            Ref text_value = code::lookup(result.get(), text_key.get());

            code::CodeResultFields fields{
                code::str_value(name_value), code::str_value(type_value), path,
                code::str_value(text_value), line_value(start_value),     line_value(end_value)};
            scores.push_back(scorer.score(fields));
        }
    }

    double max_lex = 0.0;
    for (double s : scores) max_lex = std::max(max_lex, s);
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(scores.size())));
    for (std::size_t i = 0; i < scores.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), make_float(scores[i]).release());
    Ref max_obj = make_float(max_lex);
    return check(PyTuple_Pack(2, list.get(), max_obj.get())).release();
}

}  // namespace

KV_FUNCTION(code_lexical_scores, "code_lexical_scores(results, query_tokens)",
            "Compute per-result lexical boost scores for code retrieval.\n"
            "\n"
            "Mirrors the scoring kernel inside `_apply_code_lexical_boost` (excludes "
            "diagnostics/trace\n"
            "fill-in and the per-file diversity cap \u2014 those stay in Python).\n"
            "\n"
            "Returns `(lex_scores, max_lex)` where `lex_scores[i]` corresponds to `results[i]`.\n"
            "`max_lex` is 0.0 when no result matched any token.");
