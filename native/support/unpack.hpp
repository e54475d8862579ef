// `a, b = value`: unpacking into a fixed number of targets.
#pragma once

#include <array>
#include <cstddef>

#include "errors.hpp"
#include "ref.hpp"

namespace tavrix {

// The wording of the errors. `interpreter`: the interpreter's own ("not
// enough values to unpack (expected 2, got 1)", "cannot unpack
// non-iterable int object"); `compact`: "need more than 1 value to
// unpack", and the iterator protocol's own error for a non-iterable.
enum class unpack_wording { interpreter, compact };

namespace detail {

[[noreturn]] TAVRIX_COLD TAVRIX_NOINLINE inline void raise_too_many_values(Py_ssize_t expected) {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
    throw_error();
}

[[noreturn]] TAVRIX_COLD TAVRIX_NOINLINE inline void raise_too_few_values(unpack_wording wording,
                                                                              Py_ssize_t expected, Py_ssize_t got) {
    if (wording == unpack_wording::interpreter)
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", expected, got);
    else
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got, got == 1 ? "" : "s");
    throw_error();
}

[[nodiscard]] inline ref iterate_for_unpack(PyObject* value, unpack_wording wording) {
    ref iterator = ref::steal(PyObject_GetIter(value));
    if (iterator) return iterator;
    if (wording == unpack_wording::compact || !PyErr_ExceptionMatches(PyExc_TypeError)) throw_error();
    PyErr_Clear();
    ref type = type_name(value);
    PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %U object", type.get());
    throw_error();
}

}  // namespace detail

// The N items of `value`, owned. Exact tuples and lists are indexed; any
// other iterable is iterated, and must end right after its N-th item.
template <std::size_t N, unpack_wording Wording = unpack_wording::interpreter>
[[nodiscard]] std::array<ref, N> unpack(PyObject* value) {
    constexpr auto expected = static_cast<Py_ssize_t>(N);
    std::array<ref, N> items;
    if (PyTuple_CheckExact(value) || PyList_CheckExact(value)) [[likely]] {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(value);
        if (size > expected) detail::raise_too_many_values(expected);
        if (size < expected) detail::raise_too_few_values(Wording, expected, size);
        for (std::size_t i = 0; i < N; ++i)
            items[i] = ref::new_ref(PySequence_Fast_GET_ITEM(value, static_cast<Py_ssize_t>(i)));
        return items;
    }
    ref iterator = detail::iterate_for_unpack(value, Wording);
    for (std::size_t i = 0; i < N; ++i) {
        items[i] = ref::steal(PyIter_Next(iterator.get()));
        if (!items[i]) {
            if (PyErr_Occurred()) throw_error();
            detail::raise_too_few_values(Wording, expected, static_cast<Py_ssize_t>(i));
        }
    }
    if (ref extra = ref::steal(PyIter_Next(iterator.get()))) detail::raise_too_many_values(expected);
    if (PyErr_Occurred()) throw_error();
    return items;
}

}  // namespace tavrix
