// Module state, module-namespace lookups at call time, call-time relative
// imports and multi-phase initialisation, shared by every module.
//
// Threads: module state is changed only with the GIL held: at module
// creation (interned names, classes, tables, the namespace capture) and at
// call time (the relative imports resolved, the import sites' captures, the
// guards' comparisons after a change, the engine's caches). Long native
// work runs with the GIL released over data it owns for the call
// (threads.hpp, which also maps what relies on the GIL for a
// free-threaded build).
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <new>
#include <utility>

#include "code_guard.hpp"
#include "compat.hpp"
#include "errors.hpp"
#include "function.hpp"
#include "ref.hpp"
#include "values.hpp"

namespace tavrix {

// What every module state starts with, the method names the shared value
// operations call (values.hpp) included. Its members are listed once, here:
// their declaration, interning, traversal and clearing all come from the lists.
#define TAVRIX_BASE_STRINGS(S)            \
    S(package_key, "__package__")         \
    S(spec_key, "__spec__")               \
    S(initializing_key, "_initializing")
#define TAVRIX_BASE_OBJECTS(O)                                                           \
    O(function_type)    /* the module's native function type */                         \
    O(builtins)         /* the builtins namespace, for global lookups */                \
    O(resolved_imports) /* relative import name -> (__package__, level, absolute name) */ \
    O(guarded_code)     /* what the guards of fast paths captured */                   \
    O(namespace_watch)  /* the dict watcher of those guards */                         \
    O(lazy_import_type) /* what a name imported lazily is bound to until its first use (3.15) */

#define TAVRIX_STATE_MEMBER(id, ...) ::tavrix::ref id;
#define TAVRIX_STATE_VISIT(id, ...) visit(id);
#define TAVRIX_STATE_INTERN(id, text) id = ::tavrix::intern(text);

// The module namespace as module creation left it, for global lookups
// that cost a pointer comparison while it stays so: every name bound then,
// with its object (lent by the namespace), in a table hashed by
// the name's address (the names the module's code looks up are the interned
// strings it was created with), proven unchanged by one guard of those
// bindings. Only where the namespace is watched: without a watcher the
// guard would compare every binding at every lookup.
class own_namespace {
public:
    // Captures the namespace `globals` as it is now (module.cpp).
    void capture(PyObject* globals, ref& keep, ref& watch);
    // Whether nothing in the namespace has been bound, rebound or deleted
    // since module creation left it (known so only where it is watched):
    // every module attribute is still what the module made.
    [[nodiscard]] bool unchanged() const { return watched_ && guard_.holds(); }
    // What `name` was bound to at the capture while nothing in the namespace
    // has been bound, rebound or deleted since; null otherwise, or for a
    // name the capture did not see.
    [[nodiscard]] PyObject* find(PyObject* name) const {
        if (!unchanged()) return nullptr;
        for (std::size_t i = slot_of(name);; i = (i + 1) % table_size) {
            const auto& [key, value] = table_[i];
            if (key == name || key == nullptr) return value;
        }
    }

private:
    static constexpr std::size_t table_size = 128;  // at most half of it used
    static std::size_t slot_of(PyObject* name) noexcept {
        return (reinterpret_cast<std::uintptr_t>(name) >> 4) % table_size;
    }
    code_guard guard_;
    bool watched_ = false;
    std::array<std::pair<PyObject*, PyObject*>, table_size> table_{};
};

struct state_base : method_names {
    TAVRIX_BASE_STRINGS(TAVRIX_STATE_MEMBER)
    TAVRIX_BASE_OBJECTS(TAVRIX_STATE_MEMBER)
    own_namespace module_namespace;

    void intern_base_strings() {
        TAVRIX_METHOD_NAMES(TAVRIX_STATE_INTERN)
        TAVRIX_BASE_STRINGS(TAVRIX_STATE_INTERN)
    }
    template <class Visit>
    void each_base(Visit&& visit) {
        TAVRIX_METHOD_NAMES(TAVRIX_STATE_VISIT)
        TAVRIX_BASE_STRINGS(TAVRIX_STATE_VISIT)
        TAVRIX_BASE_OBJECTS(TAVRIX_STATE_VISIT)
    }
};

// Declares the members of a module state from two lists: interned strings
// `S(member, "text")` and other objects `O(member)`. Traversal and clearing
// come from the same lists, and from the base's, so nothing can be left out
// of either.
#define TAVRIX_MODULE_STATE(STRINGS, OBJECTS)             \
    STRINGS(TAVRIX_STATE_MEMBER)                          \
    OBJECTS(TAVRIX_STATE_MEMBER)                          \
    void intern_strings() { STRINGS(TAVRIX_STATE_INTERN) } \
    template <class Visit>                                \
    void each(Visit&& visit) {                            \
        each_base(visit);                                 \
        STRINGS(TAVRIX_STATE_VISIT)                       \
        OBJECTS(TAVRIX_STATE_VISIT)                       \
    }

[[nodiscard]] module_view view_of(PyObject* module);

inline state_base& base_of(const module_view& m) { return *static_cast<state_base*>(m.state); }

// The value a Python function of the module would see for a global name:
// the module namespace, then builtins; NameError when neither has it.
[[nodiscard]] ref global(const module_view& m, PyObject* name);

// Looks `name` up in the module namespace and calls it (see `call`).
//
// A module function that another one calls is called through a typed
// wrapper of the same name, declared next to its declaration, so the call
// reads `ref record = span_to_dict(m, span);`. The module attribute
// `_span_to_dict` is the state key `span_to_dict`, declared by
// `span_to_dict_def` and implemented by `span_to_dict_impl`; the wrapper
// `span_to_dict(m, span)` is call_global of that key: rebinding the module
// attribute changes the next call, and while it holds the module's own
// function, `span_to_dict_impl` runs directly (`called` then receives its
// declaration, so a caller can tell the module's own function from
// whatever was bound in its place).
[[nodiscard]] ref call_global(const module_view& m, PyObject* name, std::initializer_list<PyObject*> args,
                              const function_def** called = nullptr);

// `from <dots><module_name> import <attr>` executed in the module's
// namespace: `level` dots, so the package is resolved as Python resolves
// it; ImportError when the module has no such name.
[[nodiscard]] ref import_from(const module_view& m, PyObject* module_name, PyObject* attr, int level);

// import_from for a call site that runs often: `site`, a slot of the module
// state, keeps what the last import there found (the package the name was
// resolved against, the module, its __spec__), so that the next one only checks
// that they are still what the import system would find.
//
// Where namespaces are watched, `watched` (a member of the module state)
// then also holds what the import read to find the value (the package
// name in the module's namespace, the sys.modules entry, the module's
// __spec__ and the name in its namespace), and returns the value at the
// cost of one guard check while none of them has changed since.
struct watched_import {
    code_guard guard;
    PyObject* module = nullptr;  // lent by sys.modules while the guard holds, as `value` by the module
    PyObject* value = nullptr;
    int captures = 0;  // bounded: a site whose module keeps changing is left to `site`
};
[[nodiscard]] ref import_from(const module_view& m, ref& site, watched_import& watched, PyObject* module_name,
                              PyObject* attr, int level);

// `import <name>` of a top-level module, at module creation (through the
// builtins' __import__).
[[nodiscard]] ref import_module(PyObject* name);

// The same, also binding the module attribute `<name>`, as the statement
// at the top of a module does.
ref import_into(const module_view& m, const char* name);

// `import <name>` of a top-level module inside a function of the module, at
// call time: the module's globals go to the import system, and a module
// already in sys.modules is found there.
[[nodiscard]] ref import_at_call(const module_view& m, PyObject* name);

// `<attr> = logging.getLogger(<name>)`, with the module's __name__ when
// `name` is null: the one way a module sets up its logger.
void add_logger(const module_view& m, PyObject* attr, const char* name = nullptr);
void add_logger(const module_view& m, const char* attr, const char* name = nullptr);

// Binds a module attribute (module creation order is attribute order).
void set_attr(const module_view& m, PyObject* name, PyObject* value);
void set_attr(const module_view& m, const char* name, PyObject* value);

// Creates the function of `def` and binds it under its name.
void add_function(const module_view& m, const function_def& def);

// A class created the way a class statement creates it: the metaclass of
// the first base prepares the namespace, which receives __module__,
// __qualname__, the docstring and the methods (native functions, which
// bind as methods), and is then called with name, bases and namespace.
// `bases` may be empty (a plain class derived from object).
struct class_def {
    const char* name;
    const char* doc = nullptr;
    std::initializer_list<PyObject*> bases = {};
    std::initializer_list<const function_def*> methods = {};
};
[[nodiscard]] ref create_class(const module_view& m, const class_def& cls);

// Multi-phase initialisation for a module whose state type is `State`
// (a `state_base` declaring its members with TAVRIX_MODULE_STATE) and
// whose attributes are created by `Exec`.
template <class State, void (*Exec)(const module_view&, State&)>
struct module_slots {
    static State* state_of(PyObject* module) { return static_cast<State*>(PyModule_GetState(module)); }

    static int exec(PyObject* module) noexcept {
        return entry_point_status([&] {
            State* state = new (PyModule_GetState(module)) State();
            state->intern_base_strings();
            state->intern_strings();
            state->function_type = create_function_type(module);
            state->builtins = ref::new_ref(PyEval_GetBuiltins());
            if (!state->builtins) throw_error();
            state->resolved_imports = check(PyDict_New());
            state->lazy_import_type = compat::lazy_import_type();
            const module_view m = view_of(module);
            Exec(m, *state);
            state->module_namespace.capture(m.globals, state->guarded_code, state->namespace_watch);
        });
    }

    static int traverse(PyObject* module, visitproc visit, void* arg) noexcept {
        State* state = state_of(module);
        if (state == nullptr) return 0;
        int status = 0;
        state->each([&](ref& member) {
            if (status == 0 && member) status = visit(member.get(), arg);
        });
        return status;
    }

    static int clear(PyObject* module) noexcept {
        if (State* state = state_of(module)) state->each([](ref& member) { member.reset(); });
        return 0;
    }

    static void free(void* module) noexcept { clear(static_cast<PyObject*>(module)); }

    inline static PyModuleDef_Slot slots[] = {
        {Py_mod_exec, reinterpret_cast<void*>(&exec)},
        TAVRIX_COMPAT_INTERPRETER_SLOT
        TAVRIX_COMPAT_GIL_SLOT
        {0, nullptr},
    };

    static PyModuleDef definition(const char* name, const char* doc) {
        return PyModuleDef{
            PyModuleDef_HEAD_INIT, name, doc, sizeof(State), nullptr, slots, traverse, clear, free,
        };
    }
};

}  // namespace tavrix

// Defines the module's initialisation entry, PyInit_<name>.
#define TAVRIX_MODULE(NAME, DOC, STATE, EXEC)                                         \
    namespace {                                                                       \
    using NAME##_slots = ::tavrix::module_slots<STATE, EXEC>;                         \
    PyModuleDef NAME##_definition = NAME##_slots::definition(#NAME, DOC);             \
    }                                                                                 \
    PyMODINIT_FUNC PyInit_##NAME(void) { return PyModuleDef_Init(&NAME##_definition); }
