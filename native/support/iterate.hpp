// Loops over containers that stay safe while the loop body runs Python
// code which may change the container.
#pragma once

#include "errors.hpp"
#include "ref.hpp"

namespace tavrix {

// `for key, value in d.items(): if body(key, value): break` on an exact
// dict; tells whether the body stopped the loop. Key and value are owned
// while the body runs; a change of size raises RuntimeError at the next
// step, as Python's own iteration does.
template <class Body>
bool any_item(PyObject* dict, Body&& body) {
    const Py_ssize_t size = PyDict_GET_SIZE(dict);
    Py_ssize_t pos = 0;
    PyObject* k = nullptr;
    PyObject* v = nullptr;
    while (PyDict_Next(dict, &pos, &k, &v)) {
        ref key = ref::new_ref(k);
        ref value = ref::new_ref(v);
        if (body(key.get(), value.get())) return true;
        if (PyDict_GET_SIZE(dict) != size) raise_message(PyExc_RuntimeError, "dictionary changed size during iteration");
    }
    return false;
}

// `for key, value in d.items(): body(key, value)` on an exact dict.
template <class Body>
void for_each_item(PyObject* dict, Body&& body) {
    any_item(dict, [&](PyObject* key, PyObject* value) {
        body(key, value);
        return false;
    });
}

// `for item in iterable: if body(item): break`; tells whether the body
// stopped the loop. Exact lists and tuples are indexed directly (a list's
// length is read afresh at every step), anything else goes through its
// iterator; each item is owned while the body runs.
template <class Body>
bool any_of(PyObject* iterable, Body&& body) {
    if (PyList_CheckExact(iterable)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(iterable); ++i) {
            ref item = ref::new_ref(PyList_GET_ITEM(iterable, i));
            if (body(item.get())) return true;
        }
        return false;
    }
    if (PyTuple_CheckExact(iterable)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(iterable); ++i) {
            ref item = ref::new_ref(PyTuple_GET_ITEM(iterable, i));
            if (body(item.get())) return true;
        }
        return false;
    }
    ref iterator = check(PyObject_GetIter(iterable));
    while (ref item = ref::steal(PyIter_Next(iterator.get())))
        if (body(item.get())) return true;
    if (PyErr_Occurred()) throw_error();
    return false;
}

// `for item in iterable: body(item)`.
template <class Body>
void for_each(PyObject* iterable, Body&& body) {
    any_of(iterable, [&](PyObject* item) {
        body(item);
        return false;
    });
}

// `for item in lst: body(item)` on a list (subclasses included).
template <class Body>
void for_each_in_list(PyObject* list, Body&& body) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        ref item = ref::new_ref(PyList_GET_ITEM(list, i));
        body(item.get());
    }
}

}  // namespace tavrix
