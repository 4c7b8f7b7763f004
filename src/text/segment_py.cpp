// segment_text.
#include "module/frame.h"
#include "text/segment.h"

#include <cstring>

namespace {

using namespace kv;

PyObject* segment_text(Text text, Count min_chars) {
    text::Sentences sentences = text::segment_text(text.view, min_chars.value);
    // Sentences of an ASCII text are ASCII: copy them without decoding.
    const bool ascii = text.obj && PyUnicode_IS_ASCII(text.obj);
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(sentences.size())));
    for (std::size_t i = 0; i < sentences.size(); ++i) {
        std::string_view s = sentences[i];
        PyObject* str;
        if (ascii) {
            str = PyUnicode_New(static_cast<Py_ssize_t>(s.size()), 127);
            if (str) std::memcpy(PyUnicode_DATA(str), s.data(), s.size());
        } else {
            str = PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
        }
        if (!str) throw PyErrorSet{};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), str);
    }
    return list.release();
}

}  // namespace

KV_FUNCTION(segment_text, "segment_text(text, min_chars)",
            "Split text into sentences, merging fragments shorter than `min_chars` into\n"
            "the preceding sentence.\n"
            "\n"
            "Mirrors `sentence_window.segment_text()` exactly.\n"
            "The Python version uses `re.split(r\"(?<=[.!?])\\s+\", text)`.\n"
            "The regex engine here has no look-behind, so the split is done by hand:\n"
            "scan for [.!?] followed by whitespace and split at the whitespace boundary.");
