// cosine_similarity, compute_doc_hash, compute_sha256.
#include "module/frame.h"
#include "module/primitives.h"
#include "module/pyvalues.h"
#include "text/unicode.h"

namespace {

using namespace kv;

PyObject* cosine_similarity(FloatList a, FloatList b) {
    return PyFloat_FromDouble(primitives::cosine_similarity(a, b));
}

PyObject* compute_doc_hash(Text text) {
    return make_str(primitives::md5_hex(text.view)).release();
}

PyObject* compute_sha256(Text text) {
    return make_str(primitives::sha256_hex(kv::text::trim_white_space(text.view))).release();
}

}  // namespace

KV_FUNCTION(cosine_similarity, "cosine_similarity(a, b)",
            "Compute cosine similarity between two float vectors.\n"
            "Returns 0.0 for zero-norm vectors (avoids div-by-zero).");

KV_FUNCTION(compute_doc_hash, "compute_doc_hash(text)",
            "Return the MD5 hex digest of `text` \u2014 matches Python "
            "`hashlib.md5(text.encode()).hexdigest()`.");

KV_FUNCTION(compute_sha256, "compute_sha256(text)",
            "Return the SHA-256 hex digest of `text` (UTF-8 encoded, leading/trailing\n"
            "whitespace stripped).\n"
            "\n"
            "Mirrors: `hashlib.sha256(text.strip().encode(\"utf-8\")).hexdigest()`");
