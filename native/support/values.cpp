#include "values.hpp"

namespace tavrix {

ref intern(const char* text) { return check(PyUnicode_InternFromString(text)); }

ref concat(std::initializer_list<PyObject*> pieces) {
    if (pieces.size() <= 2) {
        ref result;
        for (PyObject* piece : pieces) {
            ref text = formatted(piece);
            result = result ? check(PyUnicode_Concat(result.get(), text.get())) : std::move(text);
        }
        return result;
    }
    // Joined at once, as an f-string builds its result: concatenating in
    // turn would copy a long piece again at every step.
    ref parts = check(PyTuple_New(static_cast<Py_ssize_t>(pieces.size())));
    Py_ssize_t i = 0;
    for (PyObject* piece : pieces) PyTuple_SET_ITEM(parts.get(), i++, formatted(piece).release());
    ref empty = check(PyUnicode_New(0, 0));
    return check(PyUnicode_Join(empty.get(), parts.get()));
}

ref mapping_get(const method_names& names, PyObject* mapping, PyObject* key, PyObject* dflt) {
    if (PyDict_CheckExact(mapping)) [[likely]]
        return dflt ? get_or(mapping, key, dflt) : get_or_none(mapping, key);
    PyObject* args[] = {mapping, key, dflt};
    return check(PyObject_VectorcallMethod(names.get.get(), args, dflt ? 3 : 2, nullptr));
}

namespace {

// A new ASCII str: `text` with each character mapped by `change`.
template <class Change>
ref ascii_case(PyObject* text, Change&& change) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    ref result = check(PyUnicode_New(length, 127));
    const Py_UCS1* from = PyUnicode_1BYTE_DATA(text);
    Py_UCS1* to = PyUnicode_1BYTE_DATA(result.get());
    for (Py_ssize_t i = 0; i < length; ++i) to[i] = change(from[i]);
    return result;
}

}  // namespace

ref text_lower(const method_names& names, PyObject* value) {
    if (PyUnicode_CheckExact(value) && PyUnicode_IS_ASCII(value)) [[likely]]
        return ascii_case(value, [](Py_UCS1 c) {
            return static_cast<Py_UCS1>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
        });
    return call_method(value, names.lower.get());
}

ref text_upper(const method_names& names, PyObject* value) {
    if (PyUnicode_CheckExact(value) && PyUnicode_IS_ASCII(value)) [[likely]]
        return ascii_case(value, [](Py_UCS1 c) {
            return static_cast<Py_UCS1>(c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c);
        });
    return call_method(value, names.upper.get());
}

bool starts_with_ascii(PyObject* text, const char* prefix) noexcept {
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    for (Py_ssize_t i = 0; prefix[i] != '\0'; ++i) {
        if (i >= length) return false;
        if (PyUnicode_READ(kind, data, i) != static_cast<Py_UCS4>(static_cast<unsigned char>(prefix[i]))) return false;
    }
    return true;
}

bool contains(PyObject* container, PyObject* item) {
    if (PyUnicode_CheckExact(container) && PyUnicode_CheckExact(item)) [[likely]]
        return check_status(PyUnicode_Contains(container, item)) != 0;
    if (PyDict_CheckExact(container)) return check_status(PyDict_Contains(container, item)) != 0;
    if (PyFrozenSet_CheckExact(container) || PySet_CheckExact(container))
        return check_status(PySet_Contains(container, item)) != 0;
    return check_status(PySequence_Contains(container, item)) != 0;
}

bool starts_with(const method_names& names, PyObject* text, PyObject* prefix) {
    if (PyUnicode_CheckExact(text) && PyUnicode_CheckExact(prefix)) [[likely]] {
        const Py_ssize_t hit = PyUnicode_Tailmatch(text, prefix, 0, PY_SSIZE_T_MAX, -1);
        return check_status(static_cast<int>(hit)) != 0;
    }
    ref result = call_method(text, names.startswith.get(), prefix);
    return truthy(result.get());
}

}  // namespace tavrix
