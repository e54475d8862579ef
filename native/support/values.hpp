// Operations on Python values, written once for every module: truth tests
// and comparisons, attributes and method calls, str and list building, and
// dict and mapping reads. Where a fast path pays, it is taken for the exact
// built-in types only; anything else gets the value's own Python operation,
// so that subclasses and foreign mappings behave as they would in Python.
#pragma once

#include <initializer_list>

#include "compat.hpp"
#include "errors.hpp"
#include "ref.hpp"

namespace tavrix {

// The interned method names the general paths below call. Every module
// state is one (module.hpp), so a state can be passed where these are
// asked for.
#define TAVRIX_METHOD_NAMES(S) \
    S(get, "get")              \
    S(lower, "lower")          \
    S(upper, "upper")          \
    S(startswith, "startswith")
#define TAVRIX_METHOD_NAME_MEMBER(id, text) ref id;
struct method_names {
    TAVRIX_METHOD_NAMES(TAVRIX_METHOD_NAME_MEMBER)
};
#undef TAVRIX_METHOD_NAME_MEMBER

// A new interned str.
[[nodiscard]] ref intern(const char* text);

// --- truth and constants ------------------------------------------------

// Truth test as `if value:` performs it.
[[nodiscard]] inline bool truthy(PyObject* value) {
    if (value == Py_True) return true;
    if (value == Py_False || value == Py_None) return false;
    if (PyUnicode_CheckExact(value)) return PyUnicode_GET_LENGTH(value) != 0;
    return check_status(PyObject_IsTrue(value)) != 0;
}

[[nodiscard]] inline ref none() noexcept { return ref::new_ref(Py_None); }
[[nodiscard]] inline ref boolean(bool v) noexcept { return ref::new_ref(v ? Py_True : Py_False); }

// --- comparisons --------------------------------------------------------

// a == b as containment tests it: identical objects are equal without a
// call of __eq__.
[[nodiscard]] inline bool equals(PyObject* a, PyObject* b) {
    return check_status(PyObject_RichCompareBool(a, b, Py_EQ)) != 0;
}

// bool(a <op> b): the comparison's own result, truth-tested, as
// `if a != b:` evaluates it (no shortcut for identical objects).
[[nodiscard]] inline bool compares(PyObject* a, int op, PyObject* b) {
    ref result = check(PyObject_RichCompare(a, b, op));
    return truthy(result.get());
}

// `if a != b:`
[[nodiscard]] inline bool differs(PyObject* a, PyObject* b) { return compares(a, Py_NE, b); }

// len(value), exact strs read directly.
[[nodiscard]] inline Py_ssize_t length(PyObject* value) {
    const Py_ssize_t n = PyUnicode_CheckExact(value) ? PyUnicode_GET_LENGTH(value) : PyObject_Length(value);
    if (n < 0) throw_error();
    return n;
}

// --- attributes and methods ---------------------------------------------

// obj.name
[[nodiscard]] inline ref get_attr(PyObject* obj, PyObject* name) { return check(PyObject_GetAttr(obj, name)); }

// obj.name(), obj.name(a), obj.name(a, b)
[[nodiscard]] inline ref call_method(PyObject* obj, PyObject* name) {
    return check(PyObject_CallMethodNoArgs(obj, name));
}
[[nodiscard]] inline ref call_method(PyObject* obj, PyObject* name, PyObject* a) {
    return check(PyObject_CallMethodOneArg(obj, name, a));
}
[[nodiscard]] inline ref call_method(PyObject* obj, PyObject* name, PyObject* a, PyObject* b) {
    PyObject* args[] = {obj, a, b};
    return check(PyObject_VectorcallMethod(name, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// --- str ----------------------------------------------------------------

// f"{value}": exact strs as they are, anything else through format().
[[nodiscard]] inline ref formatted(PyObject* value) {
    if (PyUnicode_CheckExact(value)) [[likely]]
        return ref::new_ref(value);
    return check(PyObject_Format(value, nullptr));
}

// The concatenation of the f-string pieces (each formatted).
[[nodiscard]] ref concat(std::initializer_list<PyObject*> pieces);

// `"sep".join(iterable)`
[[nodiscard]] inline ref join(PyObject* separator, PyObject* iterable) {
    return check(PyUnicode_Join(separator, iterable));
}

// value.lower() / value.upper(): computed here for an ASCII str, through
// the value's own method otherwise.
[[nodiscard]] ref text_lower(const method_names& names, PyObject* value);
[[nodiscard]] ref text_upper(const method_names& names, PyObject* value);

// Whether the exact str `text` starts with the ASCII text `prefix`.
[[nodiscard]] bool starts_with_ascii(PyObject* text, const char* prefix) noexcept;

// `text.startswith(prefix)`, with the str fast path.
[[nodiscard]] bool starts_with(const method_names& names, PyObject* text, PyObject* prefix);

// `item in container`, with the str-in-str fast path.
[[nodiscard]] bool contains(PyObject* container, PyObject* item);

// --- lists --------------------------------------------------------------

// A new empty list / the list's append.
[[nodiscard]] inline ref new_list() { return check(PyList_New(0)); }
inline void append(PyObject* list, PyObject* item) { check_status(PyList_Append(list, item)); }

// --- dicts and mappings -------------------------------------------------

// dict(mapping): a new plain dict with the items; exact dicts are copied
// directly.
[[nodiscard]] inline ref dict_of(PyObject* mapping) {
    if (PyDict_CheckExact(mapping)) [[likely]]
        return check(PyDict_Copy(mapping));
    return check(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), mapping));
}

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
[[nodiscard]] ref mapping_get(const method_names& names, PyObject* mapping, PyObject* key,
                              PyObject* dflt = nullptr);

// Whether every key of the dict is an exact str: then a lookup with a str
// key runs no Python code (no key's __eq__ or __hash__).
[[nodiscard]] inline bool str_keys_only(PyObject* dict) noexcept {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value))
        if (!PyUnicode_CheckExact(key)) return false;
    return true;
}

}  // namespace tavrix
