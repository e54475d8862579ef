// Newer C API calls behind version checks, in one place. Supported
// interpreters: CPython 3.11, 3.12 and 3.13.
#pragma once

#include "errors.hpp"
#include "ref.hpp"

#if PY_VERSION_HEX < 0x030B0000
#error "tavrix_observe needs CPython 3.11 or newer"
#endif

namespace tavrix::compat {

// d[key] as a new reference; an empty ref when the key is absent. Throws
// on a lookup error (a key's __eq__ or __hash__ raising).
[[nodiscard]] inline ref dict_get(PyObject* dict, PyObject* key) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(dict, key, &value) < 0) throw_error();
    return ref::steal(value);
#else
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (value == nullptr && PyErr_Occurred()) throw_error();
    return ref::new_ref(value);
#endif
}

// getattr(obj, name) with AttributeError meaning "absent" (an empty ref);
// any other error is thrown.
[[nodiscard]] inline ref optional_attr(PyObject* obj, PyObject* name) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttr(obj, name, &value) < 0) throw_error();
    return ref::steal(value);
#else
    PyObject* value = PyObject_GetAttr(obj, name);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
        PyErr_Clear();
    }
    return ref::steal(value);
#endif
}

// The namespace of a class (its __dict__ without the proxy), as a new
// reference.
[[nodiscard]] inline ref type_dict(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
    return check(PyType_GetDict(type));
#else
    return ref::new_ref(type->tp_dict);
#endif
}

// The exception being raised, normalised, taken out of the thread state.
[[nodiscard]] inline ref take_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return ref::steal(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    ref owned_type = ref::steal(type), owned_value = ref::steal(value), owned_tb = ref::steal(tb);
    if (owned_tb && owned_value) PyException_SetTraceback(owned_value.get(), owned_tb.get());
    return owned_value;
#endif
}

// Sets `exc` (an exception instance) as the exception being raised.
inline void restore_exception(ref exc) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc.release());
#else
    ref type = ref::new_ref(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())));
    PyObject* tb = PyException_GetTraceback(exc.get());
    PyErr_Restore(type.release(), exc.release(), tb);
#endif
}

}  // namespace tavrix::compat
