// Reading attribute values: mapping lookups, case changes, substring and
// prefix tests, hexadecimal ids and pair unpacking, each with a fast path
// for the exact built-in types and Python's own operation otherwise.
#include <cstdio>

#include "spanbridge.hpp"

namespace tavrix::spanbridge {

ref mapping_get(const spanbridge_state& st, PyObject* mapping, PyObject* key, PyObject* dflt) {
    if (PyDict_CheckExact(mapping)) [[likely]]
        return dflt ? get_or(mapping, key, dflt) : get_or_none(mapping, key);
    PyObject* args[] = {mapping, key, dflt};
    return check(PyObject_VectorcallMethod(st.get.get(), args, dflt ? 3 : 2, nullptr));
}

namespace {

// A new ASCII str: `text` with each letter mapped by `change`.
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

ref text_lower(const spanbridge_state& st, PyObject* value) {
    if (PyUnicode_CheckExact(value) && PyUnicode_IS_ASCII(value)) [[likely]]
        return ascii_case(value, [](Py_UCS1 c) {
            return static_cast<Py_UCS1>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
        });
    return check(PyObject_CallMethodNoArgs(value, st.lower.get()));
}

ref text_upper(const spanbridge_state& st, PyObject* value) {
    if (PyUnicode_CheckExact(value) && PyUnicode_IS_ASCII(value)) [[likely]]
        return ascii_case(value, [](Py_UCS1 c) {
            return static_cast<Py_UCS1>(c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c);
        });
    return check(PyObject_CallMethodNoArgs(value, st.upper.get()));
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
    return check_status(PySequence_Contains(container, item)) != 0;
}

bool starts_with(const spanbridge_state& st, PyObject* text, PyObject* prefix) {
    if (PyUnicode_CheckExact(text) && PyUnicode_CheckExact(prefix)) [[likely]] {
        const Py_ssize_t hit = PyUnicode_Tailmatch(text, prefix, 0, PY_SSIZE_T_MAX, -1);
        return check_status(static_cast<int>(hit)) != 0;
    }
    ref result = check(PyObject_CallMethodOneArg(text, st.startswith.get(), prefix));
    return truthy(result.get());
}

namespace {

ref zero_padded(const char* digits, int length, int width) {
    char buffer[80];
    int pad = width > length ? width - length : 0;
    for (int i = 0; i < pad; ++i) buffer[i] = '0';
    for (int i = 0; i < length; ++i) buffer[pad + i] = digits[i];
    return check(PyUnicode_FromStringAndSize(buffer, pad + length));
}

}  // namespace

ref hex_id(const spanbridge_state& st, PyObject* value, int width) {
    // Ids are non-negative ints of at most 128 bits: printed here. Anything
    // else (negative, larger, another type) goes through format().
    if (PyLong_CheckExact(value)) [[likely]] {
        int overflow = 0;
        const long long small = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (small == -1 && PyErr_Occurred()) throw_error();
        char digits[40];
        if (overflow == 0 && small >= 0) {
            const int length = std::snprintf(digits, sizeof digits, "%llx", static_cast<unsigned long long>(small));
            return zero_padded(digits, length, width);
        }
        if (overflow > 0) {
            const unsigned long long low = PyLong_AsUnsignedLongLongMask(value);
            if (low == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_error();
            ref high_part = check(PyNumber_Rshift(value, st.sixty_four.get()));
            const unsigned long long high = PyLong_AsUnsignedLongLong(high_part.get());
            if (high == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
                if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw_error();
                PyErr_Clear();
            } else {
                const int length = high != 0 ? std::snprintf(digits, sizeof digits, "%llx%016llx", high, low)
                                             : std::snprintf(digits, sizeof digits, "%llx", low);
                return zero_padded(digits, length, width);
            }
        }
    }
    return check(PyObject_Format(value, width == 32 ? st.hex32.get() : st.hex16.get()));
}

namespace {

[[noreturn]] [[gnu::cold]] void raise_not_enough(Py_ssize_t got) {
    PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", got);
    throw_error();
}

}  // namespace

void unpack_pair(PyObject* item, ref& first, ref& second) {
    if (PyTuple_CheckExact(item) || PyList_CheckExact(item)) [[likely]] {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(item);
        if (size == 2) {
            first = ref::new_ref(PySequence_Fast_GET_ITEM(item, 0));
            second = ref::new_ref(PySequence_Fast_GET_ITEM(item, 1));
            return;
        }
        if (size < 2) raise_not_enough(size);
        raise_message(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    ref iterator = ref::steal(PyObject_GetIter(item));
    if (!iterator) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_error();
        PyErr_Clear();
        ref type = type_name(item);
        PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %U object", type.get());
        throw_error();
    }
    ref* slots[] = {&first, &second};
    for (Py_ssize_t i = 0; i < 2; ++i) {
        *slots[i] = ref::steal(PyIter_Next(iterator.get()));
        if (!*slots[i]) {
            if (PyErr_Occurred()) throw_error();
            raise_not_enough(i);
        }
    }
    ref extra = ref::steal(PyIter_Next(iterator.get()));
    if (extra) raise_message(PyExc_ValueError, "too many values to unpack (expected 2)");
    if (PyErr_Occurred()) throw_error();
}

}  // namespace tavrix::spanbridge
