#include "module/json_value.h"

namespace kv {

Ref JsonToPy::key(std::string_view s) {
    if (s.size() <= StrCache::kMaxKeyBytes) return check(keys_.get(s));
    return check(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr));
}

Ref JsonToPy::convert(json::Element value, std::size_t depth) {
    using simdjson::dom::element_type;
    switch (value.type()) {
        case element_type::NULL_VALUE:
            return Ref::borrow(Py_None);
        case element_type::BOOL:
            return Ref::borrow(value.get_bool().value_unsafe() ? Py_True : Py_False);
        case element_type::INT64:
            return check(PyLong_FromLongLong(value.get_int64().value_unsafe()));
        case element_type::UINT64:
            // Only values above the signed range are held unsigned.
            return check(
                PyFloat_FromDouble(static_cast<double>(value.get_uint64().value_unsafe())));
        case element_type::DOUBLE:
            return check(PyFloat_FromDouble(value.get_double().value_unsafe()));
        case element_type::STRING: {
            std::string_view s = value.get_string().value_unsafe();
            return check(
                PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr));
        }
        case element_type::ARRAY: {
            simdjson::dom::array arr = value.get_array().value_unsafe();
            Ref list = check(PyList_New(static_cast<Py_ssize_t>(json::array_length(arr))));
            Py_ssize_t i = 0;
            for (json::Element item : arr) {
                Ref converted = convert(item, depth + 1);
                PyList_SET_ITEM(list.get(), i++, converted.release());
            }
            return list;
        }
        case element_type::OBJECT: {
            if (depth >= members_.size()) fault("JSON nesting beyond the parser's limit");
            std::vector<json::Member>& members = members_[depth];
            json::sorted_members(value.get_object().value_unsafe(), members);
            Ref dict = check(PyDict_New());
            // Converting a value reuses deeper buffers only, so `members`
            // stays intact while it is walked.
            for (const json::Member& m : members) {
                Ref key = this->key(m.first);
                Ref item = convert(m.second, depth + 1);
                check_status(PyDict_SetItem(dict.get(), key.get(), item.get()));
            }
            return dict;
        }
    }
    fault("unknown JSON value type");
}

}  // namespace kv
