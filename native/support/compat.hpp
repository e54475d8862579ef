// What differs between compilers, and newer C API calls behind version
// checks, in one place. Supported interpreters: CPython 3.11 to 3.15;
// compilers: GCC and Clang.
//
// Three parts, each included once. The compiler's part comes first and
// needs nothing; errors.hpp, which the C API part needs, includes this
// header for the compiler's part alone (TAVRIX_COMPAT_COMPILER_ONLY). The
// part on what the interpreter's `re` answers by version needs only the
// interpreter's version macros.
//
// What of the interpreter the modules rely on beyond its stable calls, and
// how each version answers (checked on 3.11 to 3.15):
// - Function fields (func_code, func_globals, func_builtins, func_defaults,
//   func_kwdefaults, func_version), read by the code guard (code_guard.cpp).
//   Unchanged in layout through 3.15. func_version proves a function's code
//   and defaults only on 3.13 (TAVRIX_HAS_FINAL_FUNCTION_VERSIONS): 3.14 and
//   3.15 mark a changed function with 1 (a "cleared" version) rather than 0
//   and keep a cache of functions by version, neither of which the test
//   there assumes, so there, as on 3.11 and 3.12, the fields themselves are
//   compared.
// - Type version tags (tp_version_tag, Py_TPFLAGS_VALID_VERSION_TAG before
//   3.13, PyUnstable_Type_AssignVersionTag from 3.13): unchanged in 3.14 and
//   3.15; a tag is still never reused and 0 means none.
// - Dict and type watchers (3.12 on): the same calls and events through 3.15.
//   3.15's lazy imports leave a placeholder in a module's dict until the name
//   is first used, and the first use replaces it there: a dict event like
//   any other rebinding, so a guard over that name compares again and then
//   holds (the code guard's tests run under -X lazy_imports=all on 3.15).
// - The bytecode the code guard reads through `dis` for the globals a
//   function reads: LOAD_GLOBAL, LOAD_NAME, LOAD_FROM_DICT_OR_GLOBALS (3.12
//   on), IMPORT_NAME and LOAD_BUILD_CLASS, with the same names and argval
//   through 3.15. 3.14's LOAD_COMMON_CONSTANT (AssertionError,
//   NotImplementedError, and the builtins all, any, tuple that a generator
//   call is inlined against) reads no namespace: where it stands for a
//   builtin the compiled code also loads the global and compares, which the
//   guard sees.
// - The regular-expression compiler's modules re._parser, re._constants and
//   re._compiler (front_end.cpp), whose opcode and assertion names are the
//   same through 3.15. Two answers differ by version (the third part below):
//   \B on an empty text (3.14), and re.match's function renamed prefixmatch
//   (3.15; match stays bound to it).
// - The interpreter's recursion check: from 3.14 it measures the C stack
//   too, and can raise its own RecursionError ("Stack overflow ...") before
//   the modules' headroom guard does (recursion.hpp); either way deep input
//   raises RecursionError.

#ifndef TAVRIX_COMPAT_COMPILER_PART
#define TAVRIX_COMPAT_COMPILER_PART

#include <cstdint>

// TAVRIX_COLD            a function on an error path: kept out of the hot code
// TAVRIX_NOINLINE        a function never inlined into its callers
// TAVRIX_ALWAYS_INLINE   a function always inlined, even without optimisation
// TAVRIX_TLS_INITIAL_EXEC a thread_local of a module that the loader places
//                        with the process's own (no call per use)
// tavrix::compat::frame_address()  the address of the calling frame, to
//                        measure the stack's headroom (recursion.hpp)
#if defined(__GNUC__)  // GCC, and Clang, which defines it too
#define TAVRIX_COLD [[gnu::cold]]
#define TAVRIX_NOINLINE [[gnu::noinline]]
#define TAVRIX_ALWAYS_INLINE [[gnu::always_inline]]
#define TAVRIX_TLS_INITIAL_EXEC [[gnu::tls_model("initial-exec")]]
namespace tavrix::compat {
[[gnu::always_inline]] inline std::uintptr_t frame_address() noexcept {
    return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
}
}  // namespace tavrix::compat
#else
// Another compiler needs a branch here, and nothing elsewhere. For MSVC
// (untested): TAVRIX_COLD empty, TAVRIX_NOINLINE __declspec(noinline),
// TAVRIX_ALWAYS_INLINE [[msvc::forceinline]], TAVRIX_TLS_INITIAL_EXEC empty
// (a DLL's thread_local is already static TLS), frame_address() from
// _AddressOfReturnAddress() in <intrin.h>.
#error "tavrix_observe is built with GCC or Clang; see compat.hpp for what another compiler needs"
#endif

#endif  // TAVRIX_COMPAT_COMPILER_PART

// What the interpreter's own regular-expression matcher answers differently
// by version, for the guard's engine, which reads nothing else of the C API
// here: it needs only the version, so the interpreter's headers come first.
#if defined(PY_VERSION_HEX) && !defined(TAVRIX_COMPAT_RE_PART)
#define TAVRIX_COMPAT_RE_PART
// \B on an empty text: 3.14 holds it there (the negation of \b at every
// position); 3.11 to 3.13 hold neither \b nor \B on an empty text.
#define TAVRIX_NON_BOUNDARY_HOLDS_ON_EMPTY_TEXT (PY_VERSION_HEX >= 0x030E0000)
// The qualified name of the function re.match is bound to: 3.15 renamed it
// prefixmatch and keeps match as a second name of the same function.
#define TAVRIX_RE_MATCH_QUALNAME (PY_VERSION_HEX >= 0x030F0000 ? "prefixmatch" : "match")
#endif

#if !defined(TAVRIX_COMPAT_COMPILER_ONLY) && !defined(TAVRIX_COMPAT_API_PART)
#define TAVRIX_COMPAT_API_PART

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

// Type watchers (PyType_AddWatcher, PyType_Watch, PyType_ClearWatcher),
// called from PyType_Modified for a watched type (and when one of its bases
// is modified) while it has a valid version tag; the same guards use them.
#if PY_VERSION_HEX >= 0x030C0000
#define TAVRIX_HAS_TYPE_WATCHERS 1
#else
#define TAVRIX_HAS_TYPE_WATCHERS 0
#endif

// A function's version (PyFunctionObject::func_version) as a proof of its
// code, defaults and keyword defaults: 3.13 gives a function its code's
// version when it is made, sets 0 whenever one of the three is set, and
// never gives it another. 3.11 and 3.12 give a version later, 3.12 from a
// counter apart from the one the code's versions come from, so a later
// version may equal the first: there the three are compared instead.
#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000
#define TAVRIX_HAS_FINAL_FUNCTION_VERSIONS 1
#else
#define TAVRIX_HAS_FINAL_FUNCTION_VERSIONS 0
#endif

// The slots that declare how a module may be loaded, for the interpreters
// that know them: once in every interpreter of the process, each with a GIL
// of its own (3.12 and later; every Python object a module keeps is in its
// module state, and process-wide C++ state is immutable once made); and
// that it needs the GIL (3.13 and later, whose free-threaded builds would
// otherwise ask).
#if defined(Py_mod_multiple_interpreters)
#define TAVRIX_COMPAT_INTERPRETER_SLOT {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#else
#define TAVRIX_COMPAT_INTERPRETER_SLOT
#endif
#if defined(Py_mod_gil)
#define TAVRIX_COMPAT_GIL_SLOT {Py_mod_gil, Py_MOD_GIL_USED},
#else
#define TAVRIX_COMPAT_GIL_SLOT
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

// key in d, for an exact dict. Throws on a lookup error.
[[nodiscard]] inline bool dict_has(PyObject* dict, PyObject* key) {
    const int found = PyDict_Contains(dict, key);
    if (found < 0) throw_error();
    return found != 0;
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

// `value`, a non-negative exact int, as 128 bits: true when it is below 2**128.
[[nodiscard]] inline bool uint128_of(PyObject* value, unsigned long long& high, unsigned long long& low) {
    unsigned char bytes[16];
#if PY_VERSION_HEX >= 0x030D0000
    const Py_ssize_t needed = PyLong_AsNativeBytes(
        value, bytes, sizeof bytes, Py_ASNATIVEBYTES_LITTLE_ENDIAN | Py_ASNATIVEBYTES_UNSIGNED_BUFFER);
    if (needed < 0) throw_error();
    if (needed > static_cast<Py_ssize_t>(sizeof bytes)) return false;
#else
    // The interpreter's own byte writer: OverflowError at 2**128 and above.
    if (_PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(value), bytes, sizeof bytes, 1, 0) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw_error();
        PyErr_Clear();
        return false;
    }
#endif
    low = high = 0;
    for (int i = 7; i >= 0; --i) low = low << 8 | bytes[i], high = high << 8 | bytes[i + 8];
    return true;
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

// The class of the placeholder a name imported lazily is bound to in its
// module's namespace until its first use (3.15's lazy imports); an empty ref
// before 3.15. A placeholder read from a namespace directly is not the value:
// an attribute read through the module resolves it.
[[nodiscard]] inline ref lazy_import_type() {
#if PY_VERSION_HEX >= 0x030F0000
    ref types = check(PyImport_ImportModule("types"));
    return check(PyObject_GetAttrString(types.get(), "LazyImportType"));
#else
    return {};
#endif
}

}  // namespace tavrix::compat

#endif  // TAVRIX_COMPAT_API_PART
