#include "module.hpp"

#include "compat.hpp"
#include "errors.hpp"

namespace tavrix {

module_view view_of(PyObject* module) {
    PyObject* globals = PyModule_GetDict(module);
    void* state = PyModule_GetState(module);
    if (globals == nullptr || state == nullptr) throw_error();
    return {module, globals, state};
}

namespace {

[[noreturn]] TAVRIX_COLD TAVRIX_NOINLINE void raise_name_error(PyObject* name) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    throw_error();
}

// The error of `from pkg.mod import name` when `pkg.mod` has no `name`,
// worded as the interpreter words it.
[[noreturn]] TAVRIX_COLD TAVRIX_NOINLINE void raise_cannot_import(PyObject* module, PyObject* attr) {
    ref name_key = intern("__name__");
    ref module_name = compat::optional_attr(module, name_key.get());
    ref shown = module_name && PyUnicode_Check(module_name.get()) ? module_name.copy()
                                                                  : check(PyUnicode_FromString("<unknown module name>"));
    ref path = ref::steal(PyModule_GetFilenameObject(module));
    if (!path) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_error();
        PyErr_Clear();
    }
    ref message;
    if (!path || !PyUnicode_Check(path.get())) {
        message = check(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)", attr, shown.get()));
    } else {
        bool initializing = false;
        ref module_spec_key = intern("__spec__");
        ref module_spec = compat::optional_attr(module, module_spec_key.get());
        if (module_spec && module_spec.get() != Py_None) {
            ref flag_key = intern("_initializing");
            ref flag = compat::optional_attr(module_spec.get(), flag_key.get());
            initializing = flag && truthy(flag.get());
        }
        message = check(PyUnicode_FromFormat(
            initializing ? "cannot import name %R from partially initialized module %R "
                           "(most likely due to a circular import) (%S)"
                         : "cannot import name %R from %R (%S)",
            attr, shown.get(), path.get()));
    }
    PyErr_SetImportError(message.get(), module_name ? module_name.get() : nullptr, path ? path.get() : nullptr);
    throw_error();
}

}  // namespace

void own_namespace::capture(PyObject* globals, ref& keep, ref& watch) {
#if TAVRIX_HAS_DICT_WATCHERS
    ref names = check(PyDict_Keys(globals));
    const Py_ssize_t count = PyList_GET_SIZE(names.get());
    if (count > static_cast<Py_ssize_t>(table_size / 2)) return;
    code_guard_capture capture;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* const name = PyList_GET_ITEM(names.get(), i);
        if (!PyUnicode_CheckExact(name)) return;
        capture.add_binding(globals, name, false);
    }
    capture.seal(guard_, keep, watch);
    watched_ = guard_.watched();
    // The objects as bound now (nothing has run since that could rebind a
    // name), used only while the guard holds, when they are still bound.
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* const name = PyList_GET_ITEM(names.get(), i);
        std::size_t slot = slot_of(name);
        while (table_[slot].first != nullptr) slot = (slot + 1) % table_size;
        table_[slot] = {name, PyDict_GetItemWithError(globals, name)};
        if (table_[slot].second == nullptr) raise_message(PyExc_RuntimeError, "a module namespace changed while captured");
    }
#else
    (void)globals, (void)keep, (void)watch;
#endif
}

ref global(const module_view& m, PyObject* name) {
    if (PyObject* own = base_of(m).module_namespace.find(name)) [[likely]]
        return ref::new_ref(own);
    if (ref value = compat::dict_get(m.globals, name)) [[likely]]
        return value;
    if (ref value = compat::dict_get(base_of(m).builtins.get(), name)) return value;
    raise_name_error(name);
}

ref call_global(const module_view& m, PyObject* name, std::initializer_list<PyObject*> args,
                const function_def** called) {
    ref callable = global(m, name);
    return call(base_of(m).function_type.get(), callable.get(), args, called);
}

namespace {

// The module's __package__, or an empty ref.
ref package_of(const module_view& m) {
    PyObject* const package_key = base_of(m).package_key.get();
    if (PyObject* own = base_of(m).module_namespace.find(package_key)) [[likely]]
        return ref::new_ref(own);
    return compat::dict_get(m.globals, package_key);
}

// The absolute name of `module_name` imported `level` dots deep from the
// module's package (the name itself for an absolute import), resolved as
// the import system resolves it. The result
// is remembered per package object, so a rebound __package__ is honoured;
// an empty ref leaves the case to the import system.
ref absolute_name(const module_view& m, PyObject* module_name, int level) {
    if (level == 0) return ref::new_ref(module_name);
    state_base& st = base_of(m);
    ref package = package_of(m);
    if (!package || !PyUnicode_CheckExact(package.get()) || PyUnicode_GET_LENGTH(package.get()) == 0) return {};
    if (ref cached = compat::dict_get(st.resolved_imports.get(), module_name)) {
        if (PyTuple_GET_ITEM(cached.get(), 0) == package.get() &&
            PyLong_AsLong(PyTuple_GET_ITEM(cached.get(), 1)) == level)
            return ref::new_ref(PyTuple_GET_ITEM(cached.get(), 2));
    }
    Py_ssize_t end = PyUnicode_GET_LENGTH(package.get());
    for (int i = 1; i < level; ++i) {
        end = PyUnicode_FindChar(package.get(), '.', 0, end, -1);
        if (end == -2) throw_error();
        if (end < 0) return {};  // beyond the top-level package: the import system words the error
    }
    ref base = check(PyUnicode_Substring(package.get(), 0, end));
    ref absolute = check(PyUnicode_FromFormat("%U.%U", base.get(), module_name));
    ref entry = check(Py_BuildValue("(OiO)", package.get(), level, absolute.get()));
    check_status(PyDict_SetItem(st.resolved_imports.get(), module_name, entry.get()));
    return absolute;
}

}  // namespace

namespace {

// A module in sys.modules that has finished initialising, with its __spec__: an
// empty ref leaves the case to the import system (a module still
// initialising in another thread is waited for there).
ref initialised_module(const state_base& st, PyObject* absolute, ref& module_spec) {
    PyObject* modules = PyImport_GetModuleDict();
    ref module = modules != nullptr && PyDict_CheckExact(modules) ? compat::dict_get(modules, absolute) : ref();
    if (!module || !Py_IS_TYPE(module.get(), &PyModule_Type)) return {};
    module_spec = compat::dict_get(PyModule_GetDict(module.get()), st.spec_key.get());
    if (module_spec && module_spec.get() != Py_None) {
        ref initializing = compat::optional_attr(module_spec.get(), st.initializing_key.get());
        if (initializing && truthy(initializing.get())) return {};
    }
    return module;
}

// `from <module> import <attr>` of a plain module: its namespace's entry
// (the module type has no attribute of that name); empty when it has none,
// or when it holds a lazy import's placeholder, which the import system's
// own path resolves.
ref namespace_entry(const state_base& st, PyObject* module, PyObject* attr) {
    ref value = compat::dict_get(PyModule_GetDict(module), attr);
    auto* const placeholder = reinterpret_cast<PyTypeObject*>(st.lazy_import_type.get());
    if (placeholder != nullptr && value && Py_IS_TYPE(value.get(), placeholder)) [[unlikely]]
        return {};
    return value;
}

// The package the module's namespace names now, for a relative import.
ref current_package(const module_view& m, int level) { return level == 0 ? none() : package_of(m); }

// The import system's own `from <module> import <attr>`, for every case the
// shortcuts leave to it.
ref import_through_the_system(const module_view& m, PyObject* module_name, PyObject* attr, int level) {
    ref fromlist = check(PyTuple_Pack(1, attr));
    ref module = check(PyImport_ImportModuleLevelObject(module_name, m.globals, nullptr, fromlist.get(), level));
    if (ref value = compat::optional_attr(module.get(), attr)) return value;
    // As the interpreter does, a submodule already in sys.modules serves.
    ref name_key = intern("__name__");
    ref package = compat::optional_attr(module.get(), name_key.get());
    if (package && PyUnicode_Check(package.get())) {
        ref full = check(PyUnicode_FromFormat("%U.%U", package.get(), attr));
        if (ref sub = ref::steal(PyImport_GetModule(full.get()))) return sub;
        if (PyErr_Occurred()) throw_error();
    }
    raise_cannot_import(module.get(), attr);
}

}  // namespace

ref import_from(const module_view& m, PyObject* module_name, PyObject* attr, int level) {
    // The common case: the module is in sys.modules and initialised, and has
    // the name. Everything else takes the import system's own path.
    if (ref absolute = absolute_name(m, module_name, level)) {
        ref module_spec;
        if (ref module = initialised_module(base_of(m), absolute.get(), module_spec))
            if (ref value = namespace_entry(base_of(m), module.get(), attr)) return value;
        ref module = ref::steal(PyImport_GetModule(absolute.get()));
        if (!module && PyErr_Occurred()) throw_error();
        if (module && module.get() != Py_None)
            if (ref value = compat::optional_attr(module.get(), attr)) return value;
    }
    return import_through_the_system(m, module_name, attr, level);
}

namespace {

// Lets `watched` stand for what the import just read, when namespaces are watched.
void watch_import(const module_view& m, watched_import& watched, int level, PyObject* absolute, PyObject* module,
                  PyObject* attr) {
#if TAVRIX_HAS_DICT_WATCHERS
    constexpr int most_captures = 8;
    state_base& st = base_of(m);
    if (watched.captures >= most_captures) return;
    ++watched.captures;
    PyObject* const modules = PyImport_GetModuleDict();
    PyObject* const ns = PyModule_GetDict(module);
    if (modules == nullptr || ns == nullptr) throw_error();
    code_guard_capture capture;
    if (level > 0) capture.add_binding(m.globals, st.package_key.get(), false);
    capture.add_binding(modules, absolute, false);
    capture.add_binding(ns, st.spec_key.get(), false);
    capture.add_binding(ns, attr, false);
    capture.seal(watched.guard, st.guarded_code, st.namespace_watch);
    if (!watched.guard.watched()) {
        watched.captures = most_captures;
        watched.value = nullptr;
        return;
    }
    // Both are bound where the guard looks: used only while it holds.
    watched.module = module;
    watched.value = PyDict_GetItemWithError(ns, attr);
#else
    (void)m, (void)watched, (void)level, (void)absolute, (void)module, (void)attr;
#endif
}

}  // namespace

ref import_from(const module_view& m, ref& site, watched_import& watched, PyObject* module_name, PyObject* attr,
                int level) {
    if (watched.value != nullptr && watched.guard.holds() && Py_IS_TYPE(watched.module, &PyModule_Type)) [[likely]]
        return ref::new_ref(watched.value);
    // The import system executes a module once per module object, marking
    // its __spec__ meanwhile: a module found done, still in sys.modules with the
    // same __spec__, is done. So is the package the name was resolved against.
    if (site) {
        PyObject* const* found = &PyTuple_GET_ITEM(site.get(), 0);  // package, absolute name, module, module_spec
        ref package = current_package(m, level);
        PyObject* modules = PyImport_GetModuleDict();
        if (package.get() == found[0] && modules != nullptr && PyDict_CheckExact(modules)) {
            ref module = compat::dict_get(modules, found[1]);
            if (module.get() == found[2] && Py_IS_TYPE(module.get(), &PyModule_Type)) {
                ref module_spec = compat::dict_get(PyModule_GetDict(module.get()), base_of(m).spec_key.get());
                if ((module_spec ? module_spec.get() : Py_None) == found[3])
                    if (ref value = namespace_entry(base_of(m), module.get(), attr)) {
                        watch_import(m, watched, level, found[1], module.get(), attr);
                        return value;
                    }
            }
        }
    }
    watched.value = nullptr;
    if (ref absolute = absolute_name(m, module_name, level)) {
        ref module_spec;
        if (ref module = initialised_module(base_of(m), absolute.get(), module_spec)) {
            if (ref value = namespace_entry(base_of(m), module.get(), attr)) {
                ref package = current_package(m, level);
                site = check(PyTuple_Pack(4, package ? package.get() : Py_None, absolute.get(), module.get(),
                                          module_spec ? module_spec.get() : Py_None));
                watch_import(m, watched, level, absolute.get(), module.get(), attr);
                return value;
            }
        }
    }
    site.reset();
    return import_from(m, module_name, attr, level);
}

ref import_module(PyObject* name) { return check(PyImport_Import(name)); }

ref import_into(const module_view& m, const char* name) {
    ref key = intern(name);
    ref module = import_module(key.get());
    set_attr(m, key.get(), module.get());
    return module;
}

ref import_at_call(const module_view& m, PyObject* name) {
    return check(PyImport_ImportModuleLevelObject(name, m.globals, nullptr, nullptr, 0));
}

void add_logger(const module_view& m, PyObject* attr, const char* name) {
    ref logging_name = intern("logging");
    ref logging = import_module(logging_name.get());
    ref get_logger = intern("getLogger");
    ref name_key = intern("__name__");
    ref logger_name = name ? check(PyUnicode_FromString(name)) : global(m, name_key.get());
    ref logger = call_method(logging.get(), get_logger.get(), logger_name.get());
    set_attr(m, attr, logger.get());
}

void add_logger(const module_view& m, const char* attr, const char* name) {
    ref key = intern(attr);
    add_logger(m, key.get(), name);
}

void set_attr(const module_view& m, PyObject* name, PyObject* value) {
    check_status(PyDict_SetItem(m.globals, name, value));
}

void set_attr(const module_view& m, const char* name, PyObject* value) {
    check_status(PyDict_SetItemString(m.globals, name, value));
}

void add_function(const module_view& m, const function_def& def) {
    ref function = make_function(m.module, base_of(m).function_type.get(), def);
    set_attr(m, def.name, function.get());
}

ref create_class(const module_view& m, const class_def& cls) {
    ref bases = check(PyTuple_New(static_cast<Py_ssize_t>(cls.bases.size())));
    Py_ssize_t i = 0;
    for (PyObject* base : cls.bases) PyTuple_SET_ITEM(bases.get(), i++, ref::new_ref(base).release());
    ref metaclass = ref::new_ref(cls.bases.size() ? reinterpret_cast<PyObject*>(Py_TYPE(*cls.bases.begin()))
                                                   : reinterpret_cast<PyObject*>(&PyType_Type));
    ref name = intern(cls.name);
    ref prepare_name = intern("__prepare__");
    ref prepare = compat::optional_attr(metaclass.get(), prepare_name.get());
    ref ns = prepare ? check(PyObject_CallFunctionObjArgs(prepare.get(), name.get(), bases.get(), nullptr))
                     : check(PyDict_New());
    ref name_key = intern("__name__"), module_key = intern("__module__"), qualname_key = intern("__qualname__");
    ref module_name = global(m, name_key.get());
    check_status(PyObject_SetItem(ns.get(), module_key.get(), module_name.get()));
    check_status(PyObject_SetItem(ns.get(), qualname_key.get(), name.get()));
    if (cls.doc != nullptr) {
        ref doc_key = intern("__doc__");
        ref doc = check(PyUnicode_FromString(cls.doc));
        check_status(PyObject_SetItem(ns.get(), doc_key.get(), doc.get()));
    }
    for (const function_def* def : cls.methods) {
        ref method = make_function(m.module, base_of(m).function_type.get(), *def);
        ref method_name = intern(def->name);
        check_status(PyObject_SetItem(ns.get(), method_name.get(), method.get()));
    }
    return check(PyObject_CallFunctionObjArgs(metaclass.get(), name.get(), bases.get(), ns.get(), nullptr));
}

}  // namespace tavrix
