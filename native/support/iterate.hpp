// Loops over containers that stay safe while the loop body runs Python
// code which may change the container.
#pragma once

#include "errors.hpp"
#include "ref.hpp"

namespace tavrix {

// `for key, value in d.items(): body(key, value)` on an exact dict. Key and
// value are owned for the body's duration; a change of size while the loop
// runs raises RuntimeError, as Python's own iteration does.
template <class Body>
void for_each_item(PyObject* dict, Body&& body) {
    const Py_ssize_t size = PyDict_GET_SIZE(dict);
    Py_ssize_t pos = 0;
    PyObject* k = nullptr;
    PyObject* v = nullptr;
    while (PyDict_Next(dict, &pos, &k, &v)) {
        ref key = ref::new_ref(k);
        ref value = ref::new_ref(v);
        body(key.get(), value.get());
        if (PyDict_GET_SIZE(dict) != size) raise_message(PyExc_RuntimeError, "dictionary changed size during iteration");
    }
}

// `for item in lst: body(item)` on a list: the length is read afresh at
// every step, and each item is owned while the body runs.
template <class Body>
void for_each_in_list(PyObject* list, Body&& body) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        ref item = ref::new_ref(PyList_GET_ITEM(list, i));
        body(item.get());
    }
}

// `for item in iterable: body(item)`; exact lists and tuples are indexed
// directly, anything else goes through its iterator.
template <class Body>
void for_each(PyObject* iterable, Body&& body) {
    if (PyList_CheckExact(iterable)) return for_each_in_list(iterable, body);
    if (PyTuple_CheckExact(iterable)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(iterable); ++i) {
            ref item = ref::new_ref(PyTuple_GET_ITEM(iterable, i));
            body(item.get());
        }
        return;
    }
    ref iterator = check(PyObject_GetIter(iterable));
    while (ref item = ref::steal(PyIter_Next(iterator.get()))) body(item.get());
    if (PyErr_Occurred()) throw_error();
}

}  // namespace tavrix
