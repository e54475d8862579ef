// The guard of a fast path that stands for Python code.
//
// A fast path computes natively what some Python code (a class's methods
// and properties, a library's functions) would compute, and may be taken
// only while that code would still give the same answer. A `code_guard`
// captures the code at the fast path's first use and proves it unchanged on
// every use, with a check whose cost does not grow with the size of the
// code it stands for, beyond a comparison or three per captured class and
// function.
//
// What the guard looks at:
//  - Classes, by their version tag, which the interpreter renews whenever
//    the class or one of its bases is modified (an attribute set or
//    deleted, the bases replaced) and never hands out twice; and by their
//    metaclass, which assigning `__class__` to a class changes without a
//    new tag. Under a tag the guard has not seen, the class is compared
//    again with its capture: its method resolution order (the tuple), its
//    attribute lookup slot, and the object the order finds under each name
//    the capture recorded (a name absent then must still be absent); a
//    class captured whole records every name its order defines, and the
//    number of names in each namespace on it, so that an added name shows
//    too. A patch thus takes the general path while it lasts; undoing it
//    brings the fast path back, under yet another tag.
//    Where the interpreter can watch classes (3.12 on), the classes are
//    watched: a modification of a class with a tag (or of one of its
//    bases) is announced for that class, and only the guards that captured
//    it compare again, once, at their next use. A class whose metaclass is not `type` can be given one with a
//    custom `mro()`, under which computing its MRO again clears its tag
//    unannounced: its tag and metaclass are compared on every use. Under
//    `type` a class can have no other metaclass (type is immutable).
//  - Functions, by identity of their code, defaults and keyword defaults:
//    all three can be replaced without touching any class. On 3.13, whose
//    function versions are set to 0 whenever one of the three is set and
//    never given again, by the version they were captured with; the three
//    compared when it differs.
//  - Names: every name a captured function's code reads as a global (nested
//    code included; an import reads the builtins' __import__, a class
//    statement their __build_class__; the names it computes at run time
//    excepted, see below), in the function's globals and in its builtins,
//    must still be bound to the same object, or still be unbound.
//    A rebound module global, a rebound builtin and a name added to a
//    module that hides a builtin all show. A fast path adds the other bindings it relies
//    on the same way (a sys.modules entry, a module attribute it reads).
//    Where the interpreter can watch dicts (3.12 on), the namespaces are
//    watched, and a change is announced with the dict and the name: only
//    the guards that bound that name in that dict compare again (all of a
//    dict's guards for a change without a name, such as a clear, or under a
//    key other than an exact str). An import adds a sys.modules entry no
//    guard bound, and no guard compares again. A namespace whose bound
//    names keep changing (`max_namespace_changes` announced changes that
//    concerned a guard) is no longer watched, as the interpreter's own
//    optimiser gives up on such globals: its guards compare on every use
//    from then on. Without watchers (or without a watcher left to the
//    module, or for a static class, which every interpreter shares), on
//    every use.
//
// What it does not look at, and why:
//  - The insides of the objects the names are bound to (a list or a dict
//    changed in place, a closure cell, a default value's contents): the
//    guard proves bindings, not values. A fast path that relies on such a
//    value checks it itself (and says so).
//  - Instances: their types are the fast path's own check (exact type
//    identity), and so are the instance attributes that could shadow what
//    the class provides; both differ from one instance to the next.
//  - Code the captured code calls through objects it is handed (a key's
//    __eq__, a value's __str__): a fast path only stands for code whose
//    callees it captured, or for built-in types it tests exactly.
//  - The interpreter's own machinery below Python code: built-in types' C
//    slots, the regular-expression compiler and its cache, the import
//    system beyond the sys.modules entries a fast path binds.
//  - Tracing and profiling hooks: the fast path runs no Python code, so a
//    tracer sees no events for the code it stands for. That changes what is
//    observed, never an answer.
//  - Names a function computes at run time (through `globals()`, `eval`,
//    `getattr` on a module): only the names the code itself reads are known.
//  - The interpreter's own caches of answers (an `lru_cache` wrapper's
//    entries): an entry made while the code was patched can outlive the
//    patch; the general path would then answer from it, the fast path from
//    the code.
//
// Cost on every use, while watched: one comparison (a relaxed load of the
// guard's own count of changes) for all the classes under `type` and all
// the bindings; two (tag and metaclass) per other class; three per captured
// function (one on 3.13). The first function and the count are read from
// the guard itself, with one branch. Unwatched (3.11, no watcher left), the
// classes and bindings are compared on every use, out of line; so is
// everything after a change.
//
// Threads: a guard is captured (at module creation or at a fast path's
// first use), checked, and compared again after a change only with the GIL
// held, and a fast path reads what a passing check lent it (captured
// classes, functions, namespace values) under the same holding of the GIL,
// with no Python code in between. `code_changes` is atomic because the
// watchers of every interpreter, each with its own GIL, advance it.
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "compat.hpp"
#include "errors.hpp"
#include "ref.hpp"

namespace tavrix {

class code_guard;

namespace guard_detail {

// Announced changes of a watched namespace that concern its guards, after
// which it is no longer watched.
inline constexpr unsigned int max_namespace_changes = 64;

// The count of changes of a guard never sealed: it never moves, and no
// proof matches it.
extern const std::atomic<std::uint64_t> unsealed_changes;

// Guards comparing their classes and bindings out of line (builds with
// assertions; for the checks that steady use makes none).
extern std::atomic<std::uint64_t> comparisons;

// The destructor of the capsule that owns a guard's data.
void release_data(PyObject* capsule) noexcept;

// What a comparison of the tags compares of a class.
struct class_tag {
    PyTypeObject* type;
    PyObject* metaclass;
    unsigned int tag;  // the last tag under which it was as captured

    [[nodiscard]] bool holds() const noexcept {
        return compat::type_version(type) == tag && tag != 0 && reinterpret_cast<PyObject*>(Py_TYPE(type)) == metaclass;
    }
};

// What a comparison after a change compares.
struct captured_class {
    PyTypeObject* type;
    PyObject* metaclass;
    PyObject* mro;
    getattrofunc getattro;
    std::vector<std::pair<PyObject*, PyObject*>> expected;  // (name, original or the absent marker)
    std::vector<Py_ssize_t> sizes;                          // namespace sizes along the MRO, when whole
    unsigned int refused = 0;                               // the last tag under which it was not as captured
};

// No function version equals it: a function captured without one is
// compared field by field.
inline constexpr std::uint64_t no_version = std::uint64_t{1} << 32;

struct captured_function {
    PyFunctionObject* function;
    PyObject* code;
    PyObject* defaults;
    PyObject* kwdefaults;
    std::uint64_t version;  // its version while as captured, or no_version

    // Nonzero when it may not be as captured (compared field by field
    // then), on every use.
    [[nodiscard]] std::uintptr_t moved() const noexcept {
#if TAVRIX_HAS_FINAL_FUNCTION_VERSIONS
        return function->func_version ^ version;
#else
        const auto differ = [](PyObject* a, PyObject* b) {
            return reinterpret_cast<std::uintptr_t>(a) ^ reinterpret_cast<std::uintptr_t>(b);
        };
        return differ(function->func_code, code) | differ(function->func_defaults, defaults) |
               differ(function->func_kwdefaults, kwdefaults);
#endif
    }
    // Whether it is as captured by the compare above.
    [[nodiscard]] bool unmoved() const noexcept { return moved() == 0; }
    // Whether it is as captured, compared field by field.
    [[nodiscard]] bool same() const noexcept {
        return function->func_code == code && function->func_defaults == defaults && function->func_kwdefaults == kwdefaults;
    }
};

// The first function of a guard with none: a stand-in whose fields never
// change (it is never handed to the interpreter).
extern PyFunctionObject unchanging_function;
extern const captured_function no_function;

struct binding {
    PyObject* ns;
    PyObject* name;
    PyObject* value;  // the absent marker for a name that was unbound
};

// What a guard compares, lending the objects its module state keeps.
struct guard_data {
    code_guard* owner = nullptr;  // the guard sealed with it
    // Advanced by every announced change of a watched dict or class this
    // guard depends on (a name it bound, a class it captured).
    std::atomic<std::uint64_t> changes{1};
    int dict_watcher = -1;  // the module's, which watches its namespaces
    std::vector<class_tag> tags;  // in the order of `classes`
    std::vector<captured_class> classes;
    std::vector<captured_function> functions;
    std::vector<const class_tag*> per_use;     // the classes whose tags every use compares, when watched
    std::vector<binding> bindings;
    PyObject* absent = nullptr;
    bool watched = false;       // every class and namespace watched: its change count proves them
    bool more = false;          // classes compared on every use, other functions
    std::uint64_t refused = 0;  // the last under which they were not
};

}  // namespace guard_detail

// How many times guards of this module have compared their classes and
// bindings out of line (0 in builds without assertions).
[[nodiscard]] std::uint64_t code_guard_comparisons() noexcept;

// The check, on every use.
class code_guard {
public:
    code_guard() noexcept = default;

    // Whether the captured code is as captured; false for a guard never
    // captured, or whose module state has been cleared. May throw when a
    // comparison after a change fails (a C API failure).
    [[nodiscard]] bool holds() const {
        // The classes and the bindings: while watched, proven by the count
        // of changes under which they were last compared; otherwise
        // compared on every use, out of line. Then the first function, and
        // what more there is (classes whose tag can go unannounced, other
        // functions) in a loop.
        const std::uint64_t moved = (changes_->load(std::memory_order_relaxed) ^ proven_) | function_.moved();
        if (moved != 0 || (first_class_ != nullptr && !first_class_->holds())) [[unlikely]]
            return holds_otherwise();
        if (more_ == nullptr) [[likely]]
            return true;
        for (const guard_detail::class_tag* const* t = more_->per_use.data() + 1; t < more_->per_use.data() + more_->per_use.size(); ++t)
            if (!(*t)->holds()) [[unlikely]]
                return holds_otherwise();
        for (const guard_detail::captured_function* f = more_->functions.data() + 1; f < more_->functions.data() + more_->functions.size(); ++f)
            if (f->moved() != 0) [[unlikely]]
                return holds_otherwise();
        return true;
    }

    // Whether the guard was captured (and not let go since).
    [[nodiscard]] bool captured() const noexcept { return data_ != nullptr; }
    // Whether what it compares is watched: false where a use compares every
    // binding and class again (no watchers, or none left).
    [[nodiscard]] bool watched() const noexcept;

private:
    friend class code_guard_capture;
    friend void guard_detail::release_data(PyObject*) noexcept;
    TAVRIX_NOINLINE bool holds_otherwise() const;
    bool compared_again() const;
    TAVRIX_COLD TAVRIX_NOINLINE static bool function_moved(guard_detail::captured_function& f) noexcept;
    void reset() noexcept {
        data_ = nullptr;
        changes_ = &guard_detail::unsealed_changes;
        proven_ = 0;
        function_ = guard_detail::no_function;
        first_class_ = nullptr;
        more_ = nullptr;
    }

    // Owned by a capsule in the module state's list of captured objects,
    // which resets the guard when it goes; what every use reads of it is
    // copied here, next to it: the first function and the first class
    // compared on every use, the common shape, with nothing to follow.
    const std::atomic<std::uint64_t>* changes_ = &guard_detail::unsealed_changes;  // `data_`'s count
    mutable std::uint64_t proven_ = 0;  // 0: never (a count starts at 1)
    mutable guard_detail::captured_function function_ = guard_detail::no_function;
    const guard_detail::class_tag* first_class_ = nullptr;  // the first class compared on every use
    const guard_detail::guard_data* more_ = nullptr;  // `data_`, when there is more to compare
    guard_detail::guard_data* data_ = nullptr;
};

// The capture, at the fast path's first use. Each step throws on a C API
// failure; a capture abandoned (by an exception, or dropped unsealed)
// leaves nothing behind.
class code_guard_capture {
public:
    code_guard_capture();

    // A class, with the names whose lookup through it the fast path relies
    // on; with no names, the class whole (every name its MRO defines).
    void add_class(PyTypeObject* type, const std::vector<PyObject*>& names = {});
    // A Python function the fast path stands for: its code, defaults and
    // keyword defaults, and every name its code reads as a global (nested
    // code included), in its globals and builtins.
    void add_function(PyObject* function);
    // `name` in the dict `ns`, bound as it is now (or unbound). With
    // `keep_value` false the object bound is not kept, only its address
    // compared: for a fast path that uses the object only while the guard
    // holds, when the binding still is that very object (alive, since the
    // namespace holds it), so that the guard does not keep alive what the
    // namespace lets go.
    void add_binding(PyObject* ns, PyObject* name, bool keep_value = true);
    // add_function for each Python function the class's own namespace runs:
    // its functions, the functions its classmethods and staticmethods wrap,
    // its properties' accessors. False (and nothing added) when one of them
    // was not defined in `home` (a module's globals; null for any).
    [[nodiscard]] bool add_class_functions(PyTypeObject* type, PyObject* home = nullptr);

    // Ends the capture into `guard`. `keep`, a list of the module state,
    // owns the captured objects from then on (the guard lends them: once the
    // state is cleared the guard no longer holds); `watch` is the module
    // state's slot for the dict watcher of its guards, made at the first seal.
    void seal(code_guard& guard, ref& keep, ref& watch);

private:
    PyObject* kept(PyObject* o);
    PyObject* absent();

    ref objects_;  // the captured objects, then the capsule that owns `data_`
    ref capsule_;
    guard_detail::guard_data* data_ = nullptr;
};

}  // namespace tavrix
