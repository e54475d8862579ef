// A test-only extension module over the code guard, built by the
// development build: guards captured from Python (functions, classes,
// bindings), their check, and the count of the comparisons made out of
// line, so that the tests can show which changes make a guard compare again.
#include <deque>

#include "../../native/support/code_guard.hpp"
#include "../../native/support/values.hpp"

using namespace tavrix;

namespace {

// The guards and what they keep: plain C++ state of this test-only module,
// made once and never destroyed (a guard lends what `keep` owns).
struct probe_state {
    std::deque<code_guard> guards;  // never moved once sealed
    ref keep;
    ref watch;
};

probe_state& state() {
    static probe_state* const s = new probe_state();
    return *s;
}

[[noreturn]] void raise_type(const char* usage) {
    PyErr_SetString(PyExc_TypeError, usage);
    throw_error();
}

code_guard& guard_at(PyObject* index) {
    const Py_ssize_t i = PyLong_AsSsize_t(index);
    if (i == -1 && PyErr_Occurred()) throw_error();
    if (i < 0 || static_cast<std::size_t>(i) >= state().guards.size()) raise_type("no such guard");
    return state().guards[static_cast<std::size_t>(i)];
}

// capture(functions, classes, bindings): a guard of the functions, the
// classes whole and the (dict, name) bindings, as they are now; its index.
PyObject* capture(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry_point([&] {
        if (nargs != 3 || !PyList_CheckExact(args[0]) || !PyList_CheckExact(args[1]) || !PyList_CheckExact(args[2]))
            raise_type("capture(functions: list, classes: list, bindings: list)");
        code_guard_capture c;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(args[0]); ++i) c.add_function(PyList_GET_ITEM(args[0], i));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(args[1]); ++i) {
            PyObject* const type = PyList_GET_ITEM(args[1], i);
            if (!PyType_Check(type)) raise_type("classes are types");
            c.add_class(reinterpret_cast<PyTypeObject*>(type));
        }
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(args[2]); ++i) {
            PyObject* const pair = PyList_GET_ITEM(args[2], i);
            if (!PyTuple_CheckExact(pair) || PyTuple_GET_SIZE(pair) != 2 || !PyUnicode_CheckExact(PyTuple_GET_ITEM(pair, 1)))
                raise_type("bindings are (dict, str) tuples");
            PyObject* raw = ref::new_ref(PyTuple_GET_ITEM(pair, 1)).release();
            PyUnicode_InternInPlace(&raw);
            const ref name = ref::steal(raw);
            c.add_binding(PyTuple_GET_ITEM(pair, 0), name.get());
        }
        probe_state& s = state();
        s.guards.emplace_back();
        c.seal(s.guards.back(), s.keep, s.watch);
        return check(PyLong_FromSize_t(s.guards.size() - 1));
    });
}

PyObject* holds(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry_point([&] {
        if (nargs != 1) raise_type("holds(guard)");
        return boolean(guard_at(args[0]).holds());
    });
}

PyObject* watched(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry_point([&] {
        if (nargs != 1) raise_type("watched(guard)");
        return boolean(guard_at(args[0]).watched());
    });
}

// How many times the guards have compared out of line (builds with
// assertions, which the development build is).
PyObject* comparisons(PyObject*, PyObject* const*, Py_ssize_t nargs) {
    return entry_point([&] {
        if (nargs != 0) raise_type("comparisons()");
        return check(PyLong_FromUnsignedLongLong(code_guard_comparisons()));
    });
}

PyMethodDef methods[] = {
    {"capture", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(capture)), METH_FASTCALL, nullptr},
    {"holds", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(holds)), METH_FASTCALL, nullptr},
    {"watched", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(watched)), METH_FASTCALL, nullptr},
    {"comparisons", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(comparisons)), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = {PyModuleDef_HEAD_INIT, "guard_probe", nullptr, 0, methods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_guard_probe(void) { return PyModule_Create(&definition); }
