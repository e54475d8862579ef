// Owned references and the error convention shared by every module.
//
// `ref` is the only owner of a Python reference in this code base. It is
// move-only, never converts to a raw pointer implicitly, and is created
// either by stealing a new reference (`ref::steal`) or by taking one
// (`ref::new_ref`). `get()` lends the pointer, `release()` hands it on.
//
// Errors: a C API failure leaves a Python exception set; the code then
// throws `error_already_set`, and every entry point called by the
// interpreter catches it and returns NULL / -1 (see `entry_point`).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cassert>
#include <new>
#include <utility>

namespace tavrix {

// A Python exception is set; unwinding carries it to the entry point.
struct error_already_set {};

[[noreturn]] [[gnu::cold]] inline void throw_error() {
    assert(PyErr_Occurred());
    throw error_already_set{};
}

class ref {
public:
    constexpr ref() noexcept = default;

    [[nodiscard]] static ref steal(PyObject* o) noexcept { return ref(o); }
    [[nodiscard]] static ref new_ref(PyObject* o) noexcept {
        Py_XINCREF(o);
        return ref(o);
    }

    ref(ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ref& operator=(ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ref(const ref&) = delete;
    ref& operator=(const ref&) = delete;
    ~ref() { Py_XDECREF(p_); }

    [[nodiscard]] PyObject* get() const noexcept { return p_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    [[nodiscard]] ref copy() const noexcept { return new_ref(p_); }
    void reset() noexcept {
        // Clear before the decref: a finaliser may look at this slot.
        PyObject* old = std::exchange(p_, nullptr);
        Py_XDECREF(old);
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit ref(PyObject* o) noexcept : p_(o) {}
    PyObject* p_ = nullptr;
};

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

// Truth test as `if value:` performs it.
[[nodiscard]] inline bool truthy(PyObject* value) {
    if (value == Py_True) return true;
    if (value == Py_False || value == Py_None) return false;
    return check_status(PyObject_IsTrue(value)) != 0;
}

[[nodiscard]] inline ref none() noexcept { return ref::new_ref(Py_None); }
[[nodiscard]] inline ref boolean(bool v) noexcept { return ref::new_ref(v ? Py_True : Py_False); }

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
        return nullptr;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    }
}

// The same for slots that report failure with -1.
template <class Body>
int entry_point_status(Body&& body) noexcept {
    try {
        body();
        return 0;
    } catch (const error_already_set&) {
        assert(PyErr_Occurred());
        return -1;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
}

// Runs `body` as `try: body() except Exception:` would: returns true when
// it ran to the end, false when it raised an exception derived from
// Exception (which is still set). Other exceptions (KeyboardInterrupt,
// SystemExit) keep propagating.
template <class Body>
bool run_except_exception(Body&& body) {
    try {
        body();
        return true;
    } catch (const error_already_set&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_error();
    return false;
}

// `try: body() except Exception: pass`. Returns true when the body ran to
// the end.
template <class Body>
bool swallow_exceptions(Body&& body) {
    if (run_except_exception(body)) return true;
    PyErr_Clear();
    return false;
}

}  // namespace tavrix
