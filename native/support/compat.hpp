// Newer C API calls behind version checks, in one place. Supported
// interpreters: CPython 3.11, 3.12 and 3.13.
#pragma once

#include "errors.hpp"
#include "ref.hpp"

#if PY_VERSION_HEX < 0x030B0000
#error "tavrix_observe needs CPython 3.11 or newer"
#endif

// Dict watchers (PyDict_AddWatcher, PyDict_Watch, PyDict_ClearWatcher),
// which the guards of fast paths use where there are any (code_guard.cpp).
#if PY_VERSION_HEX >= 0x030C0000
#define TAVRIX_HAS_DICT_WATCHERS 1
#else
#define TAVRIX_HAS_DICT_WATCHERS 0
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

// `value`, an int known to be at least 2**63, as 128 bits: true when it is
// below 2**128. `two_to_the_64` is that int, for versions without a call
// that writes an int's bits out.
[[nodiscard]] inline bool uint128_of(PyObject* value, unsigned long long& high, unsigned long long& low,
                                     PyObject* two_to_the_64) {
#if PY_VERSION_HEX >= 0x030D0000
    (void)two_to_the_64;
    unsigned char bytes[16];
    const Py_ssize_t needed = PyLong_AsNativeBytes(
        value, bytes, sizeof bytes, Py_ASNATIVEBYTES_LITTLE_ENDIAN | Py_ASNATIVEBYTES_UNSIGNED_BUFFER);
    if (needed < 0) throw_error();
    if (needed > static_cast<Py_ssize_t>(sizeof bytes)) return false;
    low = high = 0;
    for (int i = 7; i >= 0; --i) low = low << 8 | bytes[i], high = high << 8 | bytes[i + 8];
    return true;
#else
    (void)two_to_the_64;
    low = PyLong_AsUnsignedLongLongMask(value);
    if (low == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_error();
    // The shift gives 0 below 2**64: no comparison first.
    ref shift = check(PyLong_FromLong(64));
    ref upper = check(PyNumber_Rshift(value, shift.get()));
    high = PyLong_AsUnsignedLongLong(upper.get());
    if (high == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw_error();
        PyErr_Clear();
        return false;
    }
    return true;
#endif
}

// --- type version tags -----------------------------------------------------
//
// The interpreter gives a type a new version tag whenever the type or one of
// its bases is modified (an attribute set or deleted, the bases changed),
// and never gives out the same tag twice: an unchanged tag proves an
// unchanged class. A type has no tag until a lookup through it needs one.

// The type's tag, or 0 when it has none at the moment.
[[nodiscard]] inline unsigned int type_version(PyTypeObject* type) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return type->tp_version_tag;
#else
    return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
#endif
}

// Gives the type a tag when it has none; 0 when the interpreter has none to
// give. `probe` names an attribute that every class has (an attribute
// lookup through the type assigns the tag where there is no call for it).
[[nodiscard]] inline unsigned int assign_type_version(PyTypeObject* type, PyObject* probe) {
#if PY_VERSION_HEX >= 0x030D0000
    (void)probe;
    PyUnstable_Type_AssignVersionTag(type);
#else
    ref found = check(PyObject_GetAttr(reinterpret_cast<PyObject*>(type), probe));
#endif
    return type_version(type);
}

// What the type's method resolution order finds under `name`, without
// calling a descriptor: an empty ref when no class on it has the name.
[[nodiscard]] inline ref type_lookup(PyTypeObject* type, PyObject* name) {
    PyObject* mro = type->tp_mro;
    if (mro == nullptr) return {};
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
#if PY_VERSION_HEX >= 0x030C0000
        ref namespace_ = ref::steal(PyType_GetDict(base));
#else
        ref namespace_ = ref::new_ref(base->tp_dict);
#endif
        if (!namespace_) continue;
        if (ref found = dict_get(namespace_.get(), name)) return found;
    }
    return {};
}

}  // namespace tavrix::compat
