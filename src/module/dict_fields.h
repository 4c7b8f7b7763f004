// Forgiving readers of one field of a result dict, and the shallow dict copy.
#pragma once

#include "module/ref.h"

#include <optional>
#include <string_view>

namespace kv {

// The str value under `key` as UTF-8, or "" when the key is absent, the lookup
// fails, or the value is not a str (or holds lone surrogates). `holder`
// receives the value object, which keeps the returned view alive.
std::string_view get_str_from_dict(PyObject* dict, PyObject* key, Ref& holder);

// The value under "score" converted as a float; 0.0 when absent or unusable.
// `score_key` is a str object "score".
double get_score_from_dict(PyObject* dict, PyObject* score_key);

// The value under `key` converted as a float, or nothing when absent or unusable.
std::optional<double> get_optional_f64_from_dict(PyObject* dict, PyObject* key);

// True for a plain dict whose keys are all exact str: hashing and comparing
// those runs no Python code, so copying it cannot be observed or disturbed.
bool copy_runs_no_python(PyObject* dict);

// A new dict with the same key/value objects in the same order. Throws
// InternalError if the source changes size while it is walked.
Ref copy_pydict(PyObject* dict);

}  // namespace kv
