#include "errors.hpp"

#include <exception>
#include <new>

#include "compat.hpp"

namespace tavrix {

void set_error_from_cpp_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "C++ exception in native code: %.400s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception in native code");
    }
}

// For the C++ runtime's allocators (glibc_floor.cpp).
[[noreturn]] void throw_bad_array_new_length() { throw std::bad_array_new_length(); }

ref type_name(PyObject* value) { return check(PyType_GetName(Py_TYPE(value))); }

namespace {

const char* utf8(const ref& s) {
    const char* text = PyUnicode_AsUTF8(s.get());
    if (text == nullptr) throw_error();
    return text;
}

}  // namespace

void add_note_to_current(PyObject* text) {
    ref exc = compat::take_exception();
    ref add_note = check(PyObject_GetAttrString(exc.get(), "add_note"));
    ref done = check(PyObject_CallOneArg(add_note.get(), text));
    compat::restore_exception(std::move(exc));
}

void raise_argument_type(const char* param, PyTypeObject* expected, PyObject* value) {
    ref got = type_name(value);
    ref want = check(PyType_GetName(expected));
    ref note;
    if (PyObject_TypeCheck(value, expected)) {
        note = check(PyUnicode_FromFormat(
            "'%.200s' is a subclass of %.200s; this parameter takes exactly %.200s, so convert the "
            "value first (for example with %.200s(value))",
            utf8(got), utf8(want), utf8(want), utf8(want)));
    }
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 param, utf8(want), utf8(got));
    if (note) add_note_to_current(note.get());
    throw_error();
}

void raise_int_argument_type(const char* param, PyObject* value) {
    ref got = type_name(value);
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.5s, got %.200s)",
                 param, "int", utf8(got));
    throw_error();
}

void raise_expected_type(const char* expected, PyObject* value) {
    ref got = type_name(value);
    PyErr_Format(PyExc_TypeError, "Expected %.42s, got %.200s", expected, utf8(got));
    throw_error();
}

void raise_message(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw_error();
}

}  // namespace tavrix
