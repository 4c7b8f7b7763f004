// extract_code_query_tokens.
#include "code/query_tokens.h"
#include "module/frame.h"
#include "module/pyvalues.h"

namespace {

using namespace kv;

PyObject* extract_code_query_tokens(Text query) {
    std::vector<std::string> tokens = code::extract_code_query_tokens(query.view);
    Ref out = check(PyList_New(static_cast<Py_ssize_t>(tokens.size())));
    Py_ssize_t i = 0;
    for (const std::string& t : tokens) PyList_SET_ITEM(out.get(), i++, make_str(t).release());
    return out.release();
}

}  // namespace

KV_FUNCTION(extract_code_query_tokens, "extract_code_query_tokens(query)",
            "Extract identifier-like tokens from a code query.\n"
            "\n"
            "Mirrors `code_retrieval._extract_code_query_tokens`:\n"
            "- Basename stems (strips known extensions)\n"
            "- Qualified names: `foo.bar` \u2192 {\"foo\", \"bar\", \"foo.bar\"}\n"
            "- All identifiers \u2265"
            "4 chars; CamelCase and snake_case split; min part len 3\n"
            "\n"
            "Returns a list of lowercase tokens; the Python side wraps it in `frozenset`.");
