// `a, b = value`: unpacking into a fixed number of targets, with the
// ValueError messages of compiled Python code.
#pragma once

#include <array>
#include <cstddef>

#include "ref.hpp"

namespace tavrix {

[[noreturn]] [[gnu::cold]] [[gnu::noinline]] inline void raise_too_many_values(Py_ssize_t expected) {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
    throw_error();
}

[[noreturn]] [[gnu::cold]] [[gnu::noinline]] inline void raise_need_more_values(Py_ssize_t got) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got, got == 1 ? "" : "s");
    throw_error();
}

// The N items of `value`, owned. Exact tuples and lists are indexed; any
// other iterable is iterated, and must end right after its N-th item.
template <std::size_t N>
[[nodiscard]] std::array<ref, N> unpack(PyObject* value) {
    constexpr auto expected = static_cast<Py_ssize_t>(N);
    std::array<ref, N> items;
    if (PyTuple_CheckExact(value) || PyList_CheckExact(value)) [[likely]] {
        const bool is_tuple = PyTuple_CheckExact(value);
        const Py_ssize_t size = is_tuple ? PyTuple_GET_SIZE(value) : PyList_GET_SIZE(value);
        if (size > expected) raise_too_many_values(expected);
        if (size < expected) raise_need_more_values(size);
        for (std::size_t i = 0; i < N; ++i) {
            const auto at = static_cast<Py_ssize_t>(i);
            items[i] = ref::new_ref(is_tuple ? PyTuple_GET_ITEM(value, at) : PyList_GET_ITEM(value, at));
        }
        return items;
    }
    ref iterator = check(PyObject_GetIter(value));
    for (std::size_t i = 0; i < N; ++i) {
        items[i] = ref::steal(PyIter_Next(iterator.get()));
        if (!items[i]) {
            if (PyErr_Occurred()) throw_error();
            raise_need_more_values(static_cast<Py_ssize_t>(i));
        }
    }
    if (ref extra = ref::steal(PyIter_Next(iterator.get()))) raise_too_many_values(expected);
    if (PyErr_Occurred()) throw_error();
    return items;
}

}  // namespace tavrix
