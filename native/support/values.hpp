// Operations on Python values with a fast path for the exact built-in
// types and the value's own Python operation otherwise, so that
// subclasses and foreign mappings behave as they would in Python.
#pragma once

#include "compat.hpp"
#include "module.hpp"
#include "ref.hpp"

namespace tavrix {

// d.get(key) on an exact dict: None when absent.
[[nodiscard]] inline ref get_or_none(PyObject* dict, PyObject* key) {
    ref value = compat::dict_get(dict, key);
    return value ? std::move(value) : none();
}

// d.get(key, dflt) on an exact dict.
[[nodiscard]] inline ref get_or(PyObject* dict, PyObject* key, PyObject* dflt) {
    ref value = compat::dict_get(dict, key);
    return value ? std::move(value) : ref::new_ref(dflt);
}

// mapping.get(key, dflt), or mapping.get(key) when `dflt` is null, for any
// mapping with a get method; exact dicts are read directly.
[[nodiscard]] ref mapping_get(const state_base& st, PyObject* mapping, PyObject* key, PyObject* dflt = nullptr);

// value.lower() / value.upper(): computed here for an ASCII str, through
// the value's own method otherwise.
[[nodiscard]] ref text_lower(const state_base& st, PyObject* value);
[[nodiscard]] ref text_upper(const state_base& st, PyObject* value);

// Whether the exact str `text` starts with the ASCII text `prefix`.
[[nodiscard]] bool starts_with_ascii(PyObject* text, const char* prefix) noexcept;

// `item in container`, with the str-in-str fast path.
[[nodiscard]] bool contains(PyObject* container, PyObject* item);

// `text.startswith(prefix)`, with the str fast path.
[[nodiscard]] bool starts_with(const state_base& st, PyObject* text, PyObject* prefix);

}  // namespace tavrix
