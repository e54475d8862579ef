// Error raising kept out of line, so the paths that succeed stay small.
#pragma once

#include "ref.hpp"

namespace tavrix {

// type(value).__name__ as a new str.
[[nodiscard]] ref type_name(PyObject* value);

// TypeError "Argument '<param>' has incorrect type (expected <expected>,
// got <type>)"; when `value` is an instance of a subclass of `expected`
// the exception carries a note saying why it was refused.
[[noreturn]] [[gnu::cold]] [[gnu::noinline]] void raise_argument_type(
    const char* param, PyTypeObject* expected, PyObject* value);

// TypeError for a parameter declared int given something that is not a
// number.
[[noreturn]] [[gnu::cold]] [[gnu::noinline]] void raise_int_argument_type(const char* param,
                                                                           PyObject* value);

// TypeError "Expected <expected>, got <type>", for a declared return type or
// a typed local that received a value of another type.
[[noreturn]] [[gnu::cold]] [[gnu::noinline]] void raise_expected_type(const char* expected,
                                                                       PyObject* value);

// Raises `type` with a fixed message.
[[noreturn]] [[gnu::cold]] [[gnu::noinline]] void raise_message(PyObject* type, const char* message);

// Adds a note to the exception being raised (BaseException.add_note).
void add_note_to_current(PyObject* note);

// Expects exactly `type` (not a subclass): the declared parameter types.
inline PyObject* exact_arg(PyObject* value, PyTypeObject* type, const char* param) {
    if (Py_IS_TYPE(value, type)) [[likely]] return value;
    raise_argument_type(param, type, value);
}

// Expects exactly a dict or None in a typed local ("Expected dict, got ...").
inline PyObject* dict_or_none(PyObject* value) {
    if (value == Py_None || PyDict_CheckExact(value)) [[likely]] return value;
    raise_expected_type("dict", value);
}

}  // namespace tavrix
