#include "function.hpp"

#include <algorithm>
#include <cstddef>
#include <string>

#include "compat.hpp"
#include "errors.hpp"
#include "keyword_suggestion.hpp"
#include "module.hpp"
#include "recursion.hpp"

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#define Py_T_PYSSIZET T_PYSSIZET
#define Py_READONLY READONLY
#endif

namespace tavrix {

namespace {

// No declared function has more parameters than this.
constexpr std::size_t max_params = 8;

// What a call does to the bound arguments before the implementation runs.
enum class call_work : std::uint8_t {
    none,     // every parameter takes any object
    check,    // some take exactly str, list or dict
    convert,  // some take an int, converted as int() does
};

struct native_function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const function_def* def;
    // The module's namespace and state, lent by `module`, which the function
    // owns: they live as long as the function does.
    module_view view;
    Py_ssize_t count;  // number of parameters
    call_work work;    // what binding leaves to do, decided from the declaration
    ref module;
    ref name;
    ref qualname;
    ref doc;
    ref annotations;
    ref defaults;     // tuple for the trailing parameters that have defaults, or none
    ref param_names;  // tuple of interned str
    ref dict;
    PyObject* weakrefs;  // list head kept by the weakref machinery; not a reference
};
static_assert(std::is_standard_layout_v<native_function>);

native_function* as_function(PyObject* o) { return reinterpret_cast<native_function*>(o); }

ref to_int(PyObject* value, const char* param) {
    PyNumberMethods* nb = Py_TYPE(value)->tp_as_number;
    if (nb == nullptr || (nb->nb_int == nullptr && nb->nb_index == nullptr)) raise_int_argument_type(param, value);
    return check(PyNumber_Long(value));
}

PyTypeObject* declared_type(arg_type type) {
    switch (type) {
        case arg_type::str:
            return &PyUnicode_Type;
        case arg_type::list:
            return &PyList_Type;
        case arg_type::dict:
            return &PyDict_Type;
        case arg_type::object:
        case arg_type::integer:
            break;
    }
    return nullptr;
}

void check_return(return_type type, PyObject* value) {
    if (value == Py_None) return;
    switch (type) {
        case return_type::object:
            return;
        case return_type::str:
            if (!PyUnicode_CheckExact(value)) raise_expected_type("str", value);
            return;
        case return_type::dict:
            if (!PyDict_CheckExact(value)) raise_expected_type("dict", value);
            return;
    }
}

// The declared types of the arguments, in one pass over the parameters:
// str, list and dict parameters take exactly that type, int parameters any
// number, converted as int() does into `converted`. Number conversions may
// call back into Python and run first, in the interpreter's order, so a
// refused type is reported only once every number has been converted.
void check_args(native_function* f, PyObject* const* bound, PyObject** checked, ref* converted) {
    const function_def& def = *f->def;
    Py_ssize_t refused = -1;
    for (Py_ssize_t i = 0; i < f->count; ++i) {
        const param& p = def.params[static_cast<std::size_t>(i)];
        PyObject* value = bound[i];
        if (checked != nullptr) checked[i] = value;
        if (p.type == arg_type::object || (p.none_ok && value == Py_None)) continue;
        if (p.type == arg_type::integer) {
            assert(checked != nullptr);  // only calls with call_work::convert have int parameters
            if (!PyLong_CheckExact(value)) {
                converted[i] = to_int(value, p.name);
                checked[i] = converted[i].get();
            }
            continue;
        }
        if (refused < 0 && !Py_IS_TYPE(value, declared_type(p.type))) refused = i;
    }
    if (refused >= 0) [[unlikely]] {
        const param& p = def.params[static_cast<std::size_t>(refused)];
        raise_argument_type(p.name, declared_type(p.type), bound[refused]);
    }
}

ref run(native_function* f, PyObject* const* args) {
    ref result = f->def->impl(f->view, args);
    check_declared_return(*f->def, result.get());
    return result;
}

// A call with int parameters, whose converted values need holding.
TAVRIX_NOINLINE ref run_converting(native_function* f, PyObject* const* bound) {
    PyObject* checked[max_params];
    ref converted[max_params];
    check_args(f, bound, checked, converted);
    return run(f, checked);
}

// Runs the implementation on one argument per parameter. The caller keeps
// the function, and with it the module, alive for the call: the interpreter
// holds the callable of a vectorcall, and `call` is given an owned one.
ref invoke(native_function* f, PyObject* const* bound) {
    if (f->work == call_work::convert) return run_converting(f, bound);
    if (f->work == call_work::check) check_args(f, bound, nullptr, nullptr);
    return run(f, bound);
}

Py_ssize_t defaults_count(native_function* f) {
    return f->defaults ? PyTuple_GET_SIZE(f->defaults.get()) : 0;
}

// --- argument binding errors, worded as the interpreter words them -----

[[noreturn]] TAVRIX_COLD void raise_too_many_positional(native_function* f, Py_ssize_t given) {
    const auto count = static_cast<Py_ssize_t>(f->def->params.size());
    const Py_ssize_t ndefaults = defaults_count(f);
    ref sig;
    bool plural;
    if (ndefaults) {
        plural = true;
        sig = check(PyUnicode_FromFormat("from %zd to %zd", count - ndefaults, count));
    } else {
        plural = count != 1;
        sig = check(PyUnicode_FromFormat("%zd", count));
    }
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given", f->qualname.get(),
                 sig.get(), plural ? "s" : "", given, given == 1 ? "was" : "were");
    throw_error();
}

[[noreturn]] TAVRIX_COLD void raise_missing(native_function* f, PyObject* const* bound, Py_ssize_t required) {
    ref names = new_list();
    for (Py_ssize_t i = 0; i < required; ++i) {
        if (bound[i] != nullptr) continue;
        ref name = check(PyObject_Repr(PyTuple_GET_ITEM(f->param_names.get(), i)));
        append(names.get(), name.get());
    }
    const Py_ssize_t len = PyList_GET_SIZE(names.get());
    ref text;
    if (len == 1) {
        text = ref::new_ref(PyList_GET_ITEM(names.get(), 0));
    } else if (len == 2) {
        text = check(PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(names.get(), 0), PyList_GET_ITEM(names.get(), 1)));
    } else {
        ref tail = check(PyUnicode_FromFormat(", %U, and %U", PyList_GET_ITEM(names.get(), len - 2),
                                              PyList_GET_ITEM(names.get(), len - 1)));
        check_status(PyList_SetSlice(names.get(), len - 2, len, nullptr));
        ref comma = check(PyUnicode_FromString(", "));
        ref head = join(comma.get(), names.get());
        text = check(PyUnicode_Concat(head.get(), tail.get()));
    }
    PyErr_Format(PyExc_TypeError, "%U() missing %i required positional argument%s: %U", f->qualname.get(),
                 static_cast<int>(len), len == 1 ? "" : "s", text.get());
    throw_error();
}


[[noreturn]] TAVRIX_COLD void raise_unexpected_keyword(native_function* f, PyObject* keyword) {
#if PY_VERSION_HEX >= 0x030D0000
    if (PyObject* suggestion = suggest_keyword(keyword, f->param_names.get())) {
        PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                     f->qualname.get(), keyword, suggestion);
        throw_error();
    }
#endif
    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname.get(), keyword);
    throw_error();
}

[[noreturn]] TAVRIX_COLD void raise_multiple_values(native_function* f, PyObject* keyword) {
    PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname.get(), keyword);
    throw_error();
}

Py_ssize_t find_keyword(native_function* f, PyObject* keyword) {
    PyObject* names = f->param_names.get();
    const Py_ssize_t n = PyTuple_GET_SIZE(names);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyTuple_GET_ITEM(names, i) == keyword) return i;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const int same = PyObject_RichCompareBool(keyword, PyTuple_GET_ITEM(names, i), Py_EQ);
        if (check_status(same)) return i;
    }
    return -1;
}

// Binds positional and keyword arguments to parameters, in the order and
// with the errors of the interpreter's own binding of Python functions.
void bind(native_function* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** bound) {
    const auto count = static_cast<Py_ssize_t>(f->def->params.size());
    const Py_ssize_t npositional = std::min(nargs, count);
    for (Py_ssize_t i = 0; i < count; ++i) bound[i] = i < npositional ? args[i] : nullptr;
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
            const Py_ssize_t j = find_keyword(f, keyword);
            if (j < 0) raise_unexpected_keyword(f, keyword);
            if (bound[j] != nullptr) raise_multiple_values(f, keyword);
            bound[j] = args[nargs + k];
        }
    }
    if (nargs > count) raise_too_many_positional(f, nargs);
    const Py_ssize_t ndefaults = defaults_count(f);
    const Py_ssize_t required = count - ndefaults;
    for (Py_ssize_t i = 0; i < required; ++i)
        if (bound[i] == nullptr) raise_missing(f, bound, required);
    for (Py_ssize_t i = required; i < count; ++i)
        if (bound[i] == nullptr) bound[i] = PyTuple_GET_ITEM(f->defaults.get(), i - required);
}

// Positional arguments, then the defaults of the parameters they leave out.
void fill_defaults(native_function* f, PyObject* const* args, Py_ssize_t nargs, PyObject** bound) {
    const Py_ssize_t required = f->count - defaults_count(f);
    std::copy(args, args + nargs, bound);
    for (Py_ssize_t i = nargs; i < f->count; ++i) bound[i] = PyTuple_GET_ITEM(f->defaults.get(), i - required);
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept {
    return entry_point([&] {
        native_function* f = as_function(self);
        const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        // A call from the interpreter is not counted as a guard counts: the
        // Python code that recurses through it is counted by the interpreter,
        // and native calls of native functions by `call`. The interpreter
        // does not measure the stack, though, and a thread's can be small:
        // its headroom is checked (a comparison).
        if (stack::nearly_exhausted()) [[unlikely]] raise_recursion_depth(" while calling a Python object");
        const bool positional = kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0;
        if (nargs == f->count && positional) [[likely]]
            return invoke(f, args);
        PyObject* bound[max_params];
        if (positional && nargs < f->count && nargs >= f->count - defaults_count(f))
            fill_defaults(f, args, nargs, bound);
        else
            bind(f, args, nargs, kwnames, bound);
        return invoke(f, bound);
    });
}

// --- the type's slots ------------------------------------------------

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    native_function* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->module.get());
    Py_VISIT(f->name.get());
    Py_VISIT(f->qualname.get());
    Py_VISIT(f->doc.get());
    Py_VISIT(f->annotations.get());
    Py_VISIT(f->defaults.get());
    Py_VISIT(f->dict.get());
    return 0;
}

int function_clear(PyObject* self) noexcept {
    native_function* f = as_function(self);
    f->module.reset();
    f->doc.reset();
    f->annotations.reset();
    f->defaults.reset();
    f->dict.reset();
    return 0;
}

void function_dealloc(PyObject* self) noexcept {
    native_function* f = as_function(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    function_clear(self);
    f->name.reset();
    f->qualname.reset();
    f->param_names.reset();
    type->tp_free(self);
    ref owned_type = ref::steal(reinterpret_cast<PyObject*>(type));
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (obj == nullptr || obj == Py_None) return ref::new_ref(self).release();
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname.get(), self);
}

PyObject* function_reduce(PyObject* self, PyObject*) noexcept {
    // Pickled by reference, as Python functions are: module and qualname.
    return ref::new_ref(as_function(self)->qualname.get()).release();
}

int set_name_attr(ref& slot, PyObject* value, const char* attr) noexcept {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", attr);
        return -1;
    }
    slot = ref::new_ref(value);
    return 0;
}

PyObject* get_name(PyObject* self, void*) noexcept { return as_function(self)->name.copy().release(); }
int set_name(PyObject* self, PyObject* value, void*) noexcept {
    return set_name_attr(as_function(self)->name, value, "__name__");
}
PyObject* get_qualname(PyObject* self, void*) noexcept { return as_function(self)->qualname.copy().release(); }
int set_qualname(PyObject* self, PyObject* value, void*) noexcept {
    return set_name_attr(as_function(self)->qualname, value, "__qualname__");
}

PyObject* get_annotations(PyObject* self, void*) noexcept {
    native_function* f = as_function(self);
    if (!f->annotations) {
        f->annotations = ref::steal(PyDict_New());
        if (!f->annotations) return nullptr;
    }
    return f->annotations.copy().release();
}
int set_annotations(PyObject* self, PyObject* value, void*) noexcept {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    as_function(self)->annotations = ref::new_ref(value);
    return 0;
}

// "(a, b='x')": the parameters with the reprs of their defaults.
PyObject* get_text_signature(PyObject* self, void*) noexcept {
    return entry_point([&] {
        native_function* f = as_function(self);
        const auto count = static_cast<Py_ssize_t>(f->def->params.size());
        const Py_ssize_t first_default = count - defaults_count(f);
        ref parts = new_list();
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* name = PyTuple_GET_ITEM(f->param_names.get(), i);
            ref part = i < first_default
                           ? ref::new_ref(name)
                           : check(PyUnicode_FromFormat("%U=%R", name,
                                                        PyTuple_GET_ITEM(f->defaults.get(), i - first_default)));
            append(parts.get(), part.get());
        }
        ref comma = check(PyUnicode_FromString(", "));
        ref joined = join(comma.get(), parts.get());
        return check(PyUnicode_FromFormat("(%U)", joined.get()));
    });
}

// An inspect.Signature built from the declaration, with the annotations
// the function carries now.
PyObject* get_signature(PyObject* self, void*) noexcept {
    return entry_point([&] {
        native_function* f = as_function(self);
        ref inspect = check(PyImport_ImportModule("inspect"));
        ref parameter = check(PyObject_GetAttrString(inspect.get(), "Parameter"));
        ref signature = check(PyObject_GetAttrString(inspect.get(), "Signature"));
        ref kind = check(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD"));
        ref empty = check(PyObject_GetAttrString(parameter.get(), "empty"));
        ref annotations = check(get_annotations(self, nullptr));
        const auto count = static_cast<Py_ssize_t>(f->def->params.size());
        const Py_ssize_t first_default = count - defaults_count(f);
        ref params = new_list();
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* name = PyTuple_GET_ITEM(f->param_names.get(), i);
            ref annotation = compat::dict_get(annotations.get(), name);
            ref kwargs = check(PyDict_New());
            if (i >= first_default)
                check_status(PyDict_SetItemString(kwargs.get(), "default",
                                                  PyTuple_GET_ITEM(f->defaults.get(), i - first_default)));
            check_status(PyDict_SetItemString(kwargs.get(), "annotation", annotation ? annotation.get() : empty.get()));
            ref args = check(PyTuple_Pack(2, name, kind.get()));
            ref p = check(PyObject_Call(parameter.get(), args.get(), kwargs.get()));
            append(params.get(), p.get());
        }
        ref return_key = check(PyUnicode_FromString("return"));
        ref returns = compat::dict_get(annotations.get(), return_key.get());
        ref args = check(PyTuple_Pack(1, params.get()));
        ref kwargs = check(PyDict_New());
        check_status(PyDict_SetItemString(kwargs.get(), "return_annotation", returns ? returns.get() : empty.get()));
        return check(PyObject_Call(signature.get(), args.get(), kwargs.get()));
    });
}

PyObject* get_doc(PyObject* self, void*) noexcept {
    native_function* f = as_function(self);
    return f->doc ? f->doc.copy().release() : none().release();
}
int set_doc(PyObject* self, PyObject* value, void*) noexcept {
    as_function(self)->doc = ref::new_ref(value ? value : Py_None);
    return 0;
}

PyObject* get_defaults(PyObject* self, void*) noexcept {
    native_function* f = as_function(self);
    return f->defaults ? f->defaults.copy().release() : ref::new_ref(Py_None).release();
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(native_function, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(native_function, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(native_function, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

ref make_default(const default_value& d) {
    switch (d.k) {
        case default_value::kind::required:
        case default_value::kind::none:
            return none();
        case default_value::kind::false_:
            return boolean(false);
        case default_value::kind::true_:
            return boolean(true);
        case default_value::kind::integer:
            return check(PyLong_FromLongLong(d.integer));
        case default_value::kind::string:
            return check(PyUnicode_InternFromString(d.text));
    }
    return none();
}

}  // namespace

ref create_function_type(PyObject* module) {
    const char* module_name = PyModule_GetName(module);
    if (module_name == nullptr) throw_error();
    // The type takes a copy of this name; it only has to live until then.
    const std::string name = std::string(module_name) + ".native_function";
    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
        {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
        {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
        {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
        {Py_tp_methods, function_methods},
        {Py_tp_members, function_members},
        {Py_tp_getset, function_getset},
        {0, nullptr},
    };
    PyType_Spec type_shape = {
        name.c_str(),
        sizeof(native_function),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
            Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
        slots,
    };
    return check(PyType_FromModuleAndSpec(module, &type_shape, nullptr));
}

ref make_function(PyObject* module, PyObject* function_type, const function_def& def) {
    assert(def.params.size() <= max_params && def.impl != nullptr);
    ref names = check(PyTuple_New(static_cast<Py_ssize_t>(def.params.size())));
    std::size_t first_default = def.params.size();
    for (std::size_t i = 0; i < def.params.size(); ++i) {
        PyObject* name = PyUnicode_InternFromString(def.params[i].name);
        if (name == nullptr) throw_error();
        PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), name);
        if (def.params[i].dflt.k != default_value::kind::required && first_default == def.params.size())
            first_default = i;
        // As in Python, parameters after one with a default have defaults too.
        assert(first_default == def.params.size() || def.params[i].dflt.k != default_value::kind::required);
    }
    ref defaults;
    if (first_default < def.params.size()) {
        defaults = check(PyTuple_New(static_cast<Py_ssize_t>(def.params.size() - first_default)));
        for (std::size_t i = first_default; i < def.params.size(); ++i)
            PyTuple_SET_ITEM(defaults.get(), static_cast<Py_ssize_t>(i - first_default),
                             make_default(def.params[i].dflt).release());
    }
    ref annotations = check(PyDict_New());
    for (const param& p : def.params) {
        if (p.annotation == nullptr) continue;
        ref text = check(PyUnicode_FromString(p.annotation));
        check_status(PyDict_SetItemString(annotations.get(), p.name, text.get()));
    }
    if (def.return_annotation != nullptr) {
        ref text = check(PyUnicode_FromString(def.return_annotation));
        check_status(PyDict_SetItemString(annotations.get(), "return", text.get()));
    }
    ref name = check(PyUnicode_InternFromString(def.name));
    ref qualname = def.qualname ? check(PyUnicode_InternFromString(def.qualname)) : name.copy();
    ref doc = def.doc ? check(PyUnicode_FromString(def.doc)) : none();

    const module_view view = view_of(module);
    auto* f = PyObject_GC_New(native_function, reinterpret_cast<PyTypeObject*>(function_type));
    if (f == nullptr) throw_error();
    f->vectorcall = function_vectorcall;
    f->def = &def;
    f->view = view;
    f->count = static_cast<Py_ssize_t>(def.params.size());
    f->work = call_work::none;
    for (const param& p : def.params) {
        if (p.type == arg_type::integer) f->work = call_work::convert;
        else if (p.type != arg_type::object && f->work == call_work::none) f->work = call_work::check;
    }
    for (ref* slot : {&f->module, &f->name, &f->qualname, &f->doc, &f->annotations, &f->defaults, &f->param_names,
                      &f->dict})
        new (slot) ref();
    f->weakrefs = nullptr;
    f->module = ref::new_ref(module);
    f->name = std::move(name);
    f->qualname = std::move(qualname);
    f->doc = std::move(doc);
    f->annotations = std::move(annotations);
    f->defaults = std::move(defaults);
    f->param_names = std::move(names);
    PyObject_GC_Track(f);
    return ref::steal(reinterpret_cast<PyObject*>(f));
}

void check_declared_return(const function_def& def, PyObject* value) {
    if (def.returns != return_type::object) check_return(def.returns, value);
}

const function_def* definition_of(PyObject* function_type, PyObject* callable) noexcept {
    if (!Py_IS_TYPE(callable, reinterpret_cast<PyTypeObject*>(function_type))) return nullptr;
    return as_function(callable)->def;
}

ref call(PyObject* function_type, PyObject* callable, std::initializer_list<PyObject*> args,
         const function_def** called) {
    const auto nargs = static_cast<Py_ssize_t>(args.size());
    if (called != nullptr) *called = nullptr;
    native_function* f = Py_IS_TYPE(callable, reinterpret_cast<PyTypeObject*>(function_type)) ? as_function(callable)
                                                                                                : nullptr;
    const bool positional_fit = f != nullptr && nargs <= f->count && nargs >= f->count - defaults_count(f);
    if (positional_fit && f->def->leaf) {
        if (called != nullptr) *called = f->def;
        if (nargs == f->count) return invoke(f, args.begin());
        PyObject* bound[max_params];
        fill_defaults(f, args.begin(), nargs, bound);
        return invoke(f, bound);
    }
    // Native code calling native code recurses without the interpreter
    // seeing it (a function rebound to a partial of itself): counted here.
    nesting_guard depth(" while calling a Python object");
    if (positional_fit) {
        if (called != nullptr) *called = f->def;
        if (nargs == f->count) return invoke(f, args.begin());
        PyObject* bound[max_params];
        fill_defaults(f, args.begin(), nargs, bound);
        return invoke(f, bound);
    }
    return check(PyObject_Vectorcall(callable, args.begin(), static_cast<std::size_t>(nargs), nullptr));
}

}  // namespace tavrix
