// The native function type.
//
// A function is declared once, as a `function_def` (name, parameters with
// their declared types, defaults and annotations, return type, docstring).
// From that declaration the shared code binds arguments exactly as a Python
// function of the same signature would, enforces the declared types,
// checks the declared return type, and exposes __name__, __qualname__,
// __module__, __doc__, __annotations__, __defaults__, __text_signature__
// and __signature__. Stored on a class, a function binds as a method.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>

#include "ref.hpp"

namespace tavrix {

// Lent view of the module a function belongs to.
struct module_view {
    PyObject* module;   // the module object
    PyObject* globals;  // its namespace
    void* state;        // its state (see module.hpp)

    template <class State>
    State& get() const noexcept {
        return *static_cast<State*>(state);
    }
};

// Declared parameter types. `str`, `list` and `dict` accept exactly that
// built-in type; `integer` accepts any number and converts it as int()
// does; `object` accepts anything.
enum class arg_type : std::uint8_t { object, str, list, dict, integer };

// The value a parameter takes when the caller leaves it out.
struct default_value {
    enum class kind : std::uint8_t { required, none, false_, true_, integer, string };
    kind k = kind::required;
    long long integer = 0;
    const char* text = nullptr;
};
inline constexpr default_value no_default{};
inline constexpr default_value default_none{default_value::kind::none};
inline constexpr default_value default_false{default_value::kind::false_};
constexpr default_value default_int(long long v) { return {default_value::kind::integer, v, nullptr}; }
constexpr default_value default_str(const char* s) { return {default_value::kind::string, 0, s}; }

struct param {
    const char* name;
    arg_type type = arg_type::object;
    bool none_ok = false;  // None accepted besides the declared type
    default_value dflt = no_default;
    const char* annotation = nullptr;  // the annotation text, or none
};

enum class return_type : std::uint8_t { object, str, dict };

using impl_fn = ref (*)(const module_view& m, PyObject* const* args);

struct function_def {
    const char* name;
    const char* qualname = nullptr;  // defaults to `name`
    const char* doc = nullptr;
    std::span<const param> params = {};
    return_type returns = return_type::object;
    const char* return_annotation = nullptr;
    // Receives one argument per parameter, bound and checked.
    impl_fn impl = nullptr;
    // The implementation calls no function through `call` or `call_global`:
    // nothing can recurse through it without passing through a guarded call
    // or through Python code, which the interpreter counts, so calling it
    // needs no recursion guard of its own.
    bool leaf = false;
};

// Creates the function type for a module (kept in its state).
[[nodiscard]] ref create_function_type(PyObject* module);

// A new function object of `def`, belonging to `module`.
[[nodiscard]] ref make_function(PyObject* module, PyObject* function_type, const function_def& def);

// The declaration of `callable` when it is a native function of this kind
// (the module's own function, not one rebound in its place), else null.
[[nodiscard]] const function_def* definition_of(PyObject* function_type, PyObject* callable) noexcept;

// What a call of a native function declared by `def` does with what its
// implementation returned: TypeError when it is not of the declared type.
// For a caller that runs a typed implementation itself, with arguments of
// the declared types.
void check_declared_return(const function_def& def, PyObject* value);

// Calls `callable` with positional arguments. When it is a native function
// of this kind, its implementation is run directly: the arguments are only
// checked against the declared types, not bound again. The call is counted
// by the recursion guard unless it runs a leaf; `called` (when given)
// receives the declaration of the native function run, or null.
[[nodiscard]] ref call(PyObject* function_type, PyObject* callable, std::initializer_list<PyObject*> args,
                       const function_def** called = nullptr);

}  // namespace tavrix
