// Ownership checks of the `ref` owner type and checks of the error
// convention, run in an embedded interpreter: every move, assignment and
// reset path must leave the reference counts exactly where they belong, and
// no C++ exception may get past an entry point.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

#include "../../native/support/errors.hpp"
#include "../../native/support/except.hpp"
#include "../../native/support/ref.hpp"

using tavrix::ref;

namespace {

int failures = 0;

void expect(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "FAILED: %s\n", what);
        ++failures;
    }
}

void ownership() {
    PyObject* obj = PyList_New(0);  // refcount 1, owned by this test
    const Py_ssize_t base = Py_REFCNT(obj);
    {
        ref a = ref::new_ref(obj);
        expect(Py_REFCNT(obj) == base + 1, "new_ref takes a reference");
        ref b = std::move(a);
        expect(!a && b.get() == obj && Py_REFCNT(obj) == base + 1, "move construction transfers");
        ref c;
        c = std::move(b);
        expect(!b && c.get() == obj && Py_REFCNT(obj) == base + 1, "move assignment transfers");
        ref& alias = c;
        c = std::move(alias);
        expect(c.get() == obj && Py_REFCNT(obj) == base + 1, "self move-assignment keeps the reference");
        ref d = ref::new_ref(obj);
        c = std::move(d);  // c's old reference must be released
        expect(Py_REFCNT(obj) == base + 1, "assignment over a live reference releases the old one");
        ref e = c.copy();
        expect(Py_REFCNT(obj) == base + 2, "copy takes a new reference");
        e.reset();
        expect(!e && Py_REFCNT(obj) == base + 1, "reset releases");
        PyObject* raw = c.release();
        expect(!c && raw == obj && Py_REFCNT(obj) == base + 1, "release hands the reference on");
        ref f = ref::steal(raw);
    }
    expect(Py_REFCNT(obj) == base, "destruction releases");
    ref owned = ref::steal(obj);
    expect(!ref::new_ref(nullptr), "new_ref of NULL is empty");
}

void error_convention() {
    bool thrown = false;
    try {
        ref r = tavrix::check(PyNumber_Add(Py_None, Py_None));
    } catch (const tavrix::error_already_set&) {
        thrown = PyErr_ExceptionMatches(PyExc_TypeError);
    }
    expect(thrown, "check throws with the Python error set");
    PyErr_Clear();

    PyObject* none = tavrix::entry_point([] { return tavrix::check(PyLong_FromLong(-1)); });
    expect(none != nullptr && !PyErr_Occurred(), "entry_point hands the result over");
    ref owned = ref::steal(none);

    PyObject* failed = tavrix::entry_point([]() -> ref { throw std::bad_alloc(); });
    expect(failed == nullptr && PyErr_ExceptionMatches(PyExc_MemoryError), "bad_alloc becomes MemoryError");
    PyErr_Clear();

    const bool completed = tavrix::swallow_exceptions([] {
        PyErr_SetString(PyExc_ValueError, "swallowed");
        tavrix::throw_error();
    });
    expect(!completed && !PyErr_Occurred(), "an Exception is swallowed");

    bool propagated = false;
    try {
        tavrix::swallow_exceptions([] {
            PyErr_SetNone(PyExc_KeyboardInterrupt);
            tavrix::throw_error();
        });
    } catch (const tavrix::error_already_set&) {
        propagated = PyErr_ExceptionMatches(PyExc_KeyboardInterrupt);
    }
    expect(propagated, "KeyboardInterrupt passes through swallow_exceptions");
    PyErr_Clear();
}

// The message of the exception being raised, as UTF-8 (copied).
bool raised_message_contains(const char* text) {
    ref exc = tavrix::compat::take_exception();
    ref message = ref::steal(PyObject_Str(exc.get()));
    const char* utf8 = message ? PyUnicode_AsUTF8(message.get()) : nullptr;
    return utf8 != nullptr && std::strstr(utf8, text) != nullptr;
}

void barrier() {
    PyObject* failed = tavrix::entry_point([]() -> ref { throw std::runtime_error("table index out of range"); });
    expect(failed == nullptr && PyErr_ExceptionMatches(PyExc_SystemError),
           "a std::exception becomes SystemError at an entry point");
    expect(raised_message_contains("table index out of range"), "the SystemError carries what()");

    failed = tavrix::entry_point([]() -> ref { throw 42; });
    expect(failed == nullptr && PyErr_ExceptionMatches(PyExc_SystemError),
           "any other C++ exception becomes SystemError at an entry point");
    PyErr_Clear();

    const int status = tavrix::entry_point_status([] { throw std::length_error("too long"); });
    expect(status == -1 && PyErr_ExceptionMatches(PyExc_SystemError), "slots that return -1 translate too");
    PyErr_Clear();

    const int allocation = tavrix::entry_point_status([] { throw std::bad_alloc(); });
    expect(allocation == -1 && PyErr_ExceptionMatches(PyExc_MemoryError), "bad_alloc becomes MemoryError in slots");
    PyErr_Clear();

    // SystemError derives from Exception, so `except Exception` takes it.
    const bool completed = tavrix::swallow_exceptions([] { throw std::runtime_error("x"); });
    expect(!completed && !PyErr_Occurred(), "a C++ exception is swallowed as the SystemError it stands for");

    bool handled = false;
    tavrix::catch_exception([] { throw 7; },
                            [&](ref exc) { handled = PyErr_GivenExceptionMatches(exc.get(), PyExc_SystemError); });
    expect(handled && !PyErr_Occurred(), "catch_exception hands the SystemError to its handler");
}

}  // namespace

int main() {
    Py_Initialize();
    ownership();
    error_convention();
    barrier();
    Py_Finalize();
    if (failures == 0) std::puts("ok");
    return failures == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
