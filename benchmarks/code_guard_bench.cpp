// The code guard's cost on every use, for the shapes of guard the fast
// paths capture: nanoseconds per `code_guard::holds()`, the median of
// several rounds, each a loop of calls that the compiler may neither hoist
// nor fold (the barrier makes every call read the guard and the objects it
// looks at again, as a call from a fast path would).
//
// The classes are plain-Python stand-ins with the shapes of the SDK's (a
// span class and one property getter; an attribute mapping captured whole
// with its functions), and the library's own urllib.parse, re and difflib,
// captured as the fast paths capture them. Built with the development
// build (not a ctest test: it times, and proves nothing):
//   cmake --build build/.venv/dev-OFF --target code_guard_bench && build/.venv/dev-OFF/code_guard_bench
#include <Python.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "../native/support/code_guard.hpp"
#include "../native/support/values.hpp"

using namespace tavrix;

namespace {

constexpr const char* stand_ins = R"(
import abc, collections.abc

class Span:
    def __init__(self):
        self._name = "op"
    @property
    def name(self):
        return self._name
    @property
    def attributes(self):
        return MappingProxyType(self._attributes or {})

class AbstractSpan(abc.ABC):
    pass

class LiveSpan(AbstractSpan, Span):
    pass

class Attributes(collections.abc.MutableMapping):
    def __init__(self):
        self._dict = {}
        self._immutable = True
    def __getitem__(self, key):
        return self._dict[key]
    def __setitem__(self, key, value):
        self._dict[key] = value
    def __delitem__(self, key):
        del self._dict[key]
    def __iter__(self):
        if self._immutable:
            return iter(self._dict)
        return iter(list(self._dict))
    def __len__(self):
        return len(self._dict)
)";

struct shape {
    std::string name;
    code_guard guard;
};

ref global(PyObject* ns, const char* name) {
    ref key = intern(name);
    ref value = compat::dict_get(ns, key.get());
    if (!value) raise_message(PyExc_LookupError, name);
    return value;
}

ref attr(PyObject* o, const char* name) {
    ref key = intern(name);
    return get_attr(o, key.get());
}

std::vector<PyObject*> names_of(std::vector<ref>& keep, std::initializer_list<const char*> names) {
    std::vector<PyObject*> out;
    for (const char* n : names) {
        keep.push_back(intern(n));
        out.push_back(keep.back().get());
    }
    return out;
}

// The function a module binds under `name`, through an lru_cache wrapper.
ref module_function(PyObject* ns, const char* name) {
    ref value = global(ns, name);
    if (!PyFunction_Check(value.get())) value = attr(value.get(), "__wrapped__");
    return value;
}

double ns_per_use(const code_guard& guard, long calls) {
    std::vector<double> rounds;
    for (int r = 0; r < 7; ++r) {
        long held = 0;
        const auto start = std::chrono::steady_clock::now();
        for (long i = 0; i < calls; ++i) {
            const code_guard* g = &guard;
            asm volatile("" : "+r"(g) : : "memory");
            held += g->holds();
        }
        const auto end = std::chrono::steady_clock::now();
        if (held != calls) {
            std::fprintf(stderr, "the guard did not hold\n");
            std::exit(1);
        }
        rounds.push_back(std::chrono::duration<double, std::nano>(end - start).count() / static_cast<double>(calls));
    }
    std::sort(rounds.begin(), rounds.end());
    return rounds[rounds.size() / 2];
}

int run(long calls) {
    ref keep, watch;
    std::vector<ref> objects;
    std::vector<shape> shapes(7);

    PyObject* main_module = PyImport_AddModule("__main__");  // borrowed
    if (main_module == nullptr) throw_error();
    PyObject* ns = PyModule_GetDict(main_module);
    ref done = check(PyRun_String(stand_ins, Py_file_input, ns, ns));
    ref span = global(ns, "Span"), live = global(ns, "LiveSpan"), mapping = global(ns, "Attributes");
    const std::vector<PyObject*> span_names = names_of(objects, {"name", "attributes", "_name", "_attributes"});
    // A library module's namespace, its sys.modules entry bound in `c`.
    auto library_namespace = [&](code_guard_capture& c, const char* name) {
        ref module = check(PyImport_ImportModule(name));
        objects.push_back(module.copy());
        ref module_name = intern(name);
        c.add_binding(PyImport_GetModuleDict(), module_name.get());
        return PyModule_GetDict(module.get());
    };
    // A span property read: its class, with the names the read relies on, and the getter.
    auto property_shape = [&](shape& into, const char* label, PyObject* cls, const char* property) {
        into.name = label;
        code_guard_capture c;
        c.add_class(reinterpret_cast<PyTypeObject*>(cls), span_names);
        ref getter = attr(attr(cls, property).get(), "fget");
        c.add_function(getter.get());
        c.seal(into.guard, keep, watch);
    };
    property_shape(shapes[0], "span property (class of type)", span.get(), "name");
    property_shape(shapes[1], "span property (class of ABCMeta)", live.get(), "name");
    property_shape(shapes[2], "span property reading a global", span.get(), "attributes");
    {
        shapes[3].name = "attribute mapping, whole class";
        code_guard_capture c;
        const std::vector<PyObject*> names = names_of(
            objects, {"__getitem__", "__iter__", "__len__", "__contains__", "get", "keys", "items", "__bool__", "_dict",
                      "_immutable"});
        c.add_class(reinterpret_cast<PyTypeObject*>(mapping.get()), names);
        for (const char* f : {"__getitem__", "__iter__", "__len__", "__contains__", "get", "keys", "items"}) {
            ref function = attr(mapping.get(), f);
            c.add_function(function.get());
        }
        c.seal(shapes[3].guard, keep, watch);
    }
    {
        shapes[4].name = "urllib.parse";
        code_guard_capture c;
        PyObject* mns = library_namespace(c, "urllib.parse");
        for (const char* n : {"ParseResult", "SplitResult", "scheme_chars", "_WHATWG_C0_CONTROL_OR_SPACE",
                              "_UNSAFE_URL_BYTES_TO_REMOVE", "urlparse", "urlsplit", "_coerce_args", "_noop",
                              "_splitnetloc", "_checknetloc"}) {
            ref key = intern(n);
            c.add_binding(mns, key.get());
        }
        for (const char* f : {"urlparse", "urlsplit", "_coerce_args", "_noop", "_splitnetloc", "_checknetloc"}) {
            ref function = module_function(mns, f);
            c.add_function(function.get());
        }
        ref parse_result = global(mns, "ParseResult"), split_result = global(mns, "SplitResult");
        c.add_class(reinterpret_cast<PyTypeObject*>(parse_result.get()),
                    names_of(objects, {"hostname", "_hostinfo", "netloc", "__new__", "__init__"}));
        for (const char* p : {"hostname", "_hostinfo"}) {
            ref getter = attr(attr(parse_result.get(), p).get(), "fget");
            c.add_function(getter.get());
        }
        c.add_class(reinterpret_cast<PyTypeObject*>(split_result.get()),
                    names_of(objects, {"__new__", "__init__", "__iter__"}));
        c.seal(shapes[4].guard, keep, watch);
    }
    {
        shapes[5].name = "re";
        code_guard_capture c;
        PyObject* mns = library_namespace(c, "re");
        for (const char* f : {"match", "_compile"}) {
            ref key = intern(f);
            c.add_binding(mns, key.get());
            ref function = module_function(mns, f);
            c.add_function(function.get());
        }
        c.seal(shapes[5].guard, keep, watch);
    }
    {
        shapes[6].name = "difflib";
        ref module = check(PyImport_ImportModule("difflib"));
        PyObject* mns = PyModule_GetDict(module.get());
        ref matcher = global(mns, "SequenceMatcher"), match = global(mns, "Match");
        code_guard_capture c;
        c.add_class(reinterpret_cast<PyTypeObject*>(matcher.get()));
        c.add_class(reinterpret_cast<PyTypeObject*>(match.get()));
        if (!c.add_class_functions(reinterpret_cast<PyTypeObject*>(matcher.get()), mns) ||
            !c.add_class_functions(reinterpret_cast<PyTypeObject*>(match.get())))
            raise_message(PyExc_RuntimeError, "difflib's classes are not its own");
        c.seal(shapes[6].guard, keep, watch);
    }
    std::printf("%-36s %s\n", "guard", "ns per use (median of 7 rounds)");
    for (const shape& s : shapes) {
        if (!s.guard.holds()) raise_message(PyExc_RuntimeError, "a guard does not hold after its capture");
        std::printf("%-36s %.2f\n", s.name.c_str(), ns_per_use(s.guard, calls));
    }
    keep.reset();
    watch.reset();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const long calls = argc > 1 ? std::atol(argv[1]) : 20'000'000;
    Py_Initialize();
    int status = 1;
    try {
        status = run(calls);
    } catch (const error_already_set&) {
        PyErr_Print();
    }
    if (Py_FinalizeEx() < 0) status = 1;
    return status;
}
