// The error convention and the barrier at every entry point.
//
// A C API failure leaves a Python exception set; the code then throws
// `error_already_set`, and unwinding carries it to the entry point called
// by the interpreter, which returns NULL / -1 (`entry_point`). No C++
// exception ever reaches the interpreter: `std::bad_alloc` becomes
// MemoryError, any other one SystemError. Raising is kept out of line, so
// the paths that succeed stay small.
#pragma once

#include <cassert>

#include "ref.hpp"
#define TAVRIX_COMPAT_COMPILER_ONLY
#include "compat.hpp"
#undef TAVRIX_COMPAT_COMPILER_ONLY

namespace tavrix {

// A Python exception is set; unwinding carries it to the entry point.
struct error_already_set {};

[[noreturn]] TAVRIX_COLD inline void throw_error() {
    assert(PyErr_Occurred());
    throw error_already_set{};
}

// Take ownership of a new reference returned by the C API; throws when the
// call failed.
[[nodiscard]] inline ref check(PyObject* result) {
    if (result == nullptr) throw_error();
    return ref::steal(result);
}

// For C API calls that return -1 on error (and 0 / 1 otherwise).
inline int check_status(int status) {
    if (status < 0) throw_error();
    return status;
}

// Sets the Python error for the C++ exception being handled, other than
// `error_already_set`: MemoryError for `std::bad_alloc`, SystemError
// (with what() when there is one) for anything else. Call it only inside a
// catch block.
TAVRIX_COLD void set_error_from_cpp_exception() noexcept;

// Runs `body` and turns the error convention into the interpreter's: the
// result's reference is handed over, or NULL with the error set.
template <class Body>
PyObject* entry_point(Body&& body) noexcept {
    try {
        ref result = body();
        assert(result ? !PyErr_Occurred() : PyErr_Occurred() != nullptr);
        return result.release();
    } catch (const error_already_set&) {
        assert(PyErr_Occurred());
    } catch (...) {
        set_error_from_cpp_exception();
    }
    return nullptr;
}

// The same for slots that report failure with -1.
template <class Body>
int entry_point_status(Body&& body) noexcept {
    try {
        body();
        return 0;
    } catch (const error_already_set&) {
        assert(PyErr_Occurred());
    } catch (...) {
        set_error_from_cpp_exception();
    }
    return -1;
}

// type(value).__name__ as a new str.
[[nodiscard]] ref type_name(PyObject* value);

// TypeError "Argument '<param>' has incorrect type (expected <expected>,
// got <type>)"; when `value` is an instance of a subclass of `expected`
// the exception carries a note saying why it was refused.
[[noreturn]] TAVRIX_COLD TAVRIX_NOINLINE void raise_argument_type(
    const char* param, PyTypeObject* expected, PyObject* value);

// TypeError for a parameter declared int given something that is not a
// number.
[[noreturn]] TAVRIX_COLD TAVRIX_NOINLINE void raise_int_argument_type(const char* param,
                                                                           PyObject* value);

// TypeError "Expected <expected>, got <type>", for a declared return type or
// a typed local that received a value of another type.
[[noreturn]] TAVRIX_COLD TAVRIX_NOINLINE void raise_expected_type(const char* expected,
                                                                       PyObject* value);

// Raises `type` with a fixed message.
[[noreturn]] TAVRIX_COLD TAVRIX_NOINLINE void raise_message(PyObject* type, const char* message);

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
