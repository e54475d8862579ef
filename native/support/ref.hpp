// The owner of a Python reference.
//
// `ref` is the only owner of a Python reference in this code base. It is
// move-only, never converts to a raw pointer implicitly, and is created
// either by stealing a new reference (`ref::steal`) or by taking one
// (`ref::new_ref`). `get()` lends the pointer, `release()` hands it on.
// What to do with a C API failure is errors.hpp's concern.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tavrix {

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

}  // namespace tavrix
