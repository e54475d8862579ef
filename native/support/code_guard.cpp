#include "code_guard.hpp"

#include <algorithm>
#include <mutex>
#include <set>
#include <unordered_map>
#include <utility>

#include "values.hpp"

namespace tavrix {

namespace guard_detail {

const std::atomic<std::uint64_t> unsealed_changes{1};
std::atomic<std::uint64_t> comparisons{0};

PyFunctionObject unchanging_function{};
const captured_function no_function{&unchanging_function, nullptr, nullptr, nullptr, 0};  // its version is 0

namespace {
constexpr const char* data_capsule = "tavrix.code_guard";
}  // namespace

// With the module state's list of captured objects, the guard's data goes:
// its guard no longer holds.
namespace {

// What depends on one watched dict or class: the guards that bound a name
// in it (`name`) or captured it (`name` null), and how many announced
// changes concerned one of them.
struct dependent {
    guard_data* guard;
    PyObject* name;
};
struct watched_object {
    std::vector<dependent> dependents;
    unsigned int changes = 0;
    bool given_up = false;  // a namespace no longer watched
};

// The guards' dependencies, by watched object (whose guards keep it alive).
// The watchers are called in whichever interpreter changes an object,
// each under its own lock where interpreters have their own: the registry
// has a lock of its own, held only here, never across Python code. Made
// once and never destroyed: watchers may still run at exit.
struct watch_registry {
    std::mutex lock;
    std::unordered_map<PyObject*, watched_object> objects;
};

watch_registry& registry() {
    static watch_registry* const r = new watch_registry();
    return *r;
}

void forget(guard_data* data) noexcept {
    watch_registry& r = registry();
    const std::lock_guard<std::mutex> held(r.lock);
    auto drop = [&](PyObject* object) {
        auto it = r.objects.find(object);
        if (it == r.objects.end()) return;
        std::erase_if(it->second.dependents, [&](const dependent& d) { return d.guard == data; });
        if (it->second.dependents.empty()) r.objects.erase(it);
    };
    for (const binding& b : data->bindings) drop(b.ns);
    for (const captured_class& c : data->classes) drop(reinterpret_cast<PyObject*>(c.type));
}

}  // namespace

void release_data(PyObject* capsule) noexcept {
    auto* data = static_cast<guard_data*>(PyCapsule_GetPointer(capsule, data_capsule));
    if (data == nullptr) return;
    if (data->owner != nullptr && data->owner->data_ == data) data->owner->reset();
    // Whether watched or not now: a guard whose namespace was given up is
    // still a dependent of its other namespaces and of its classes.
    forget(data);
    delete data;
}

namespace {

// The module's watchers of dicts and of classes, each -1 when there is none.
struct watcher_ids {
    int dicts = -1;
    int types = -1;
};

constexpr const char* watcher_capsule = "tavrix.code_watchers";

#if TAVRIX_HAS_DICT_WATCHERS
// Whether a change of `key` (null: of the whole dict) can rebind `name`,
// an exact str: a key of another type may compare equal to it.
bool concerns(PyObject* key, PyObject* name) noexcept {
    if (key == nullptr || key == name || name == nullptr) return true;
    if (!PyUnicode_CheckExact(key)) return true;
    return PyUnicode_GET_LENGTH(key) == PyUnicode_GET_LENGTH(name) && PyUnicode_Compare(key, name) == 0;
}

// Called before every change of a watched dict (and when one is freed),
// with the key changed: the guards that bound that name in it compare
// again at their next use. A namespace whose bound names keep changing is
// given up: no longer watched, its guards compare on every use.
int on_namespace_change(PyDict_WatchEvent, PyObject* dict, PyObject* key, PyObject*) noexcept {
    watch_registry& r = registry();
    const std::lock_guard<std::mutex> held(r.lock);
    auto it = r.objects.find(dict);
    if (it == r.objects.end() || it->second.given_up) return 0;
    watched_object& w = it->second;
    bool concerned = false;
    for (const dependent& d : w.dependents)
        if (concerns(key, d.name)) {
            d.guard->changes.fetch_add(1, std::memory_order_relaxed);
            concerned = true;
        }
    if (!concerned || ++w.changes <= max_namespace_changes) return 0;
    w.given_up = true;
    ref pending = compat::take_exception();
    for (const dependent& d : w.dependents) {
        d.guard->watched = false;
        d.guard->changes.fetch_add(1, std::memory_order_relaxed);
        if (d.guard->dict_watcher >= 0 && PyDict_Unwatch(d.guard->dict_watcher, dict) < 0) PyErr_Clear();
    }
    if (pending) compat::restore_exception(std::move(pending));
    return 0;
}
#endif

#if TAVRIX_HAS_TYPE_WATCHERS
// Called when a watched class, or one of its bases, is modified while it
// has a tag: the guards that captured it compare again at their next use.
int on_class_change(PyTypeObject* type) noexcept {
    watch_registry& r = registry();
    const std::lock_guard<std::mutex> held(r.lock);
    auto it = r.objects.find(reinterpret_cast<PyObject*>(type));
    if (it == r.objects.end()) return 0;
    for (const dependent& d : it->second.dependents) d.guard->changes.fetch_add(1, std::memory_order_relaxed);
    return 0;
}
#endif

void release_watchers(PyObject* capsule) noexcept {
    auto* ids = static_cast<watcher_ids*>(PyCapsule_GetPointer(capsule, watcher_capsule));
    if (ids == nullptr) {
        PyErr_WriteUnraisable(capsule);
        return;
    }
    ref pending = compat::take_exception();
#if TAVRIX_HAS_DICT_WATCHERS
    if (ids->dicts >= 0 && PyDict_ClearWatcher(ids->dicts) < 0) PyErr_WriteUnraisable(capsule);
#endif
#if TAVRIX_HAS_TYPE_WATCHERS
    if (ids->types >= 0 && PyType_ClearWatcher(ids->types) < 0) PyErr_WriteUnraisable(capsule);
#endif
    if (pending) compat::restore_exception(std::move(pending));
    delete ids;
}

// A watcher's id from `add` (PyDict_AddWatcher or PyType_AddWatcher), or -1
// when all the interpreter's watchers of that kind are taken.
template <class Add>
int new_watcher(Add add) {
    const int id = add();
    if (id >= 0) return id;
    if (!PyErr_ExceptionMatches(PyExc_RuntimeError) && !PyErr_ExceptionMatches(PyExc_ValueError)) throw_error();
    PyErr_Clear();
    return -1;
}

// The module's watchers, made at the first use of `slot` (where there are
// any to make: a guard whose classes or bindings have none is compared on
// every use).
watcher_ids watchers_of(ref& slot) {
    if (!slot) {
        auto* ids = new watcher_ids();
        ref capsule = ref::steal(PyCapsule_New(ids, watcher_capsule, nullptr));
        if (!capsule) {
            delete ids;
            throw_error();
        }
        // From here the capsule's destructor clears what is made.
        if (PyCapsule_SetDestructor(capsule.get(), release_watchers) < 0) {
            delete ids;
            throw_error();
        }
#if TAVRIX_HAS_DICT_WATCHERS
        ids->dicts = new_watcher([] { return PyDict_AddWatcher(on_namespace_change); });
#endif
#if TAVRIX_HAS_TYPE_WATCHERS
        ids->types = new_watcher([] { return PyType_AddWatcher(on_class_change); });
#endif
        slot = std::move(capsule);
    }
    auto* ids = static_cast<watcher_ids*>(PyCapsule_GetPointer(slot.get(), watcher_capsule));
    if (ids == nullptr) throw_error();
    return *ids;
}

ref init_probe() { return intern("__init__"); }

// Whether the class's method resolution order holds the captured one's
// classes: reassigning `__bases__` makes a new tuple even when the order
// comes back, and the fast path comes back with it.
bool same_mro(PyObject* mro, PyObject* captured) noexcept {
    if (mro == captured) return true;
    if (mro == nullptr || !PyTuple_CheckExact(mro) || PyTuple_GET_SIZE(mro) != PyTuple_GET_SIZE(captured)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i)
        if (PyTuple_GET_ITEM(mro, i) != PyTuple_GET_ITEM(captured, i)) return false;
    return true;
}

bool class_as_captured(const captured_class& c, PyObject* absent) {
    if (reinterpret_cast<PyObject*>(Py_TYPE(c.type)) != c.metaclass || !same_mro(c.type->tp_mro, c.mro) ||
        c.type->tp_getattro != c.getattro)
        return false;
    for (std::size_t i = 0; i < c.sizes.size(); ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(c.mro, static_cast<Py_ssize_t>(i)));
        ref ns = compat::type_dict(base);
        if (PyDict_GET_SIZE(ns.get()) != c.sizes[i]) return false;
    }
    for (const auto& [name, original] : c.expected) {
        ref found = compat::type_lookup(c.type, name);
        if ((found ? found.get() : absent) != original) return false;
    }
    return true;
}

}  // namespace

}  // namespace guard_detail

using namespace guard_detail;

// --- every use, out of line --------------------------------------------------

bool code_guard::compared_again() const {
    if (data_ == nullptr) return false;
    guard_data& d = *data_;
    // Read first: a change from here on moves the count past it, and the
    // next use compares again.
    const std::uint64_t now = d.changes.load(std::memory_order_relaxed);
    if (d.watched && now == d.refused) return false;
#ifndef NDEBUG
    comparisons.fetch_add(1, std::memory_order_relaxed);
#endif
    const auto refuse = [&] {
        d.refused = now;
        return false;
    };
    for (std::size_t i = 0; i < d.classes.size(); ++i) {
        class_tag& t = d.tags[i];
        captured_class& c = d.classes[i];
        // Another metaclass, assigned without a change announced: compared
        // on every use, and nothing recorded, so that its return shows.
        if (reinterpret_cast<PyObject*>(Py_TYPE(c.type)) != c.metaclass) return false;
        unsigned int tag = compat::type_version(c.type);
        if (tag != 0 && tag == t.tag) continue;
        if (tag == 0) {
            ref probe = init_probe();
            tag = compat::assign_type_version(c.type, probe.get());
        }
        if (tag == 0 || tag == c.refused) return refuse();
        const bool same = class_as_captured(c, d.absent);
        // The lookups run no Python code; still, a tag that moved meanwhile
        // proves nothing about the class.
        if (compat::type_version(c.type) != tag) return false;
        (same ? t.tag : c.refused) = tag;
        if (!same) return refuse();
    }
    for (const binding& b : d.bindings) {
        ref bound = compat::dict_get(b.ns, b.name);
        if ((bound ? bound.get() : d.absent) != b.value) return refuse();
    }
    if (d.watched) proven_ = now;
    return true;
}

bool code_guard::holds_otherwise() const {
    if (data_ == nullptr) return false;
    const guard_data& d = *data_;
    if (changes_->load(std::memory_order_relaxed) != proven_ && !compared_again()) return false;
    if (!function_.unmoved() && !function_moved(function_)) return false;
    for (const class_tag* t : d.per_use)
        if (!t->holds() && !compared_again()) return false;
    for (std::size_t i = 1; i < d.functions.size(); ++i) {
        captured_function& f = data_->functions[i];
        if (!f.unmoved() && !function_moved(f)) return false;
    }
    return true;
}

bool code_guard::function_moved(captured_function& f) noexcept {
    if (!f.same()) return false;
    // As captured, under a version it did not have then (one was given
    // since, where versions are final): that version proves it from now on.
    if (f.function->func_version != 0) f.version = f.function->func_version;
    return true;
}

// --- the capture ------------------------------------------------------------

code_guard_capture::code_guard_capture() {
    objects_ = new_list();
    auto* data = new guard_data();
    capsule_ = ref::steal(PyCapsule_New(data, data_capsule, release_data));
    if (!capsule_) {
        delete data;
        throw_error();
    }
    data_ = data;
}

PyObject* code_guard_capture::kept(PyObject* o) {
    append(objects_.get(), o);
    return o;
}

PyObject* code_guard_capture::absent() {
    if (data_->absent == nullptr) {
        ref marker = check(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
        data_->absent = kept(marker.get());
    }
    return data_->absent;
}

void code_guard_capture::add_class(PyTypeObject* type, const std::vector<PyObject*>& names) {
    captured_class c{};
    c.type = reinterpret_cast<PyTypeObject*>(kept(reinterpret_cast<PyObject*>(type)));
    c.metaclass = kept(reinterpret_cast<PyObject*>(Py_TYPE(type)));
    if (type->tp_mro == nullptr || !PyTuple_CheckExact(type->tp_mro))
        raise_message(PyExc_TypeError, "a class without its method resolution order");
    c.mro = kept(type->tp_mro);
    c.getattro = type->tp_getattro;
    std::vector<PyObject*> recorded = names;
    if (names.empty()) {
        // The class whole: every name along the MRO, once, and how many
        // each namespace holds.
        std::set<PyObject*> seen;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(c.mro); ++i) {
            auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(c.mro, i));
            ref ns = check(PyDict_Copy(compat::type_dict(base).get()));
            c.sizes.push_back(PyDict_GET_SIZE(ns.get()));
            Py_ssize_t pos = 0;
            PyObject *name = nullptr, *value = nullptr;
            while (PyDict_Next(ns.get(), &pos, &name, &value))
                if (seen.insert(name).second) recorded.push_back(kept(name));
        }
    }
    for (PyObject* name : recorded) {
        ref original = compat::type_lookup(type, name);
        c.expected.emplace_back(kept(name), original ? kept(original.get()) : absent());
    }
    data_->classes.push_back(std::move(c));
}

void code_guard_capture::add_function(PyObject* function) {
    if (!PyFunction_Check(function)) raise_message(PyExc_TypeError, "a guard captures Python functions");
    auto* const fn = reinterpret_cast<PyFunctionObject*>(function);
    captured_function f{reinterpret_cast<PyFunctionObject*>(kept(function)), kept(fn->func_code), fn->func_defaults,
                        fn->func_kwdefaults,
                        fn->func_version != 0 ? fn->func_version : no_version};
    if (f.defaults != nullptr) kept(f.defaults);
    if (f.kwdefaults != nullptr) kept(f.kwdefaults);
    data_->functions.push_back(f);
    // The names its code reads as globals, nested code included: in its
    // globals and in its builtins. An import reads the builtins'
    // __import__, a class statement their __build_class__.
    PyObject* const globals = fn->func_globals;
    PyObject* const builtins = fn->func_builtins;
    ref dis = check(PyImport_ImportModule("dis"));
    ref get_instructions = check(PyObject_GetAttrString(dis.get(), "get_instructions"));
    ref opname_key = intern("opname"), argval_key = intern("argval");
    std::vector<ref> codes;
    codes.push_back(ref::new_ref(fn->func_code));
    while (!codes.empty()) {
        const ref code = std::move(codes.back());
        codes.pop_back();
        ref consts = check(PyObject_GetAttrString(code.get(), "co_consts"));
        if (!PyTuple_CheckExact(consts.get())) raise_message(PyExc_SystemError, "a code object without its constants");
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts.get()); ++i)
            if (PyCode_Check(PyTuple_GET_ITEM(consts.get(), i)))
                codes.push_back(ref::new_ref(PyTuple_GET_ITEM(consts.get(), i)));
        ref instructions = check(PyObject_CallOneArg(get_instructions.get(), code.get()));
        ref iterator = check(PyObject_GetIter(instructions.get()));
        while (ref instruction = ref::steal(PyIter_Next(iterator.get()))) {
            ref opname = check(PyObject_GetAttr(instruction.get(), opname_key.get()));
            auto is = [&](const char* name) { return PyUnicode_CompareWithASCIIString(opname.get(), name) == 0; };
            if (is("LOAD_GLOBAL") || is("LOAD_NAME") || is("LOAD_FROM_DICT_OR_GLOBALS")) {
                ref name = check(PyObject_GetAttr(instruction.get(), argval_key.get()));
                if (!PyUnicode_Check(name.get())) raise_message(PyExc_SystemError, "a global read without its name");
                ref interned = ref::new_ref(name.get());
                PyObject* raw = interned.release();
                PyUnicode_InternInPlace(&raw);
                interned = ref::steal(raw);
                for (PyObject* ns : {globals, builtins})
                    if (ns != nullptr) add_binding(ns, interned.get());
            } else if ((is("IMPORT_NAME") || is("LOAD_BUILD_CLASS")) && builtins != nullptr) {
                ref name = intern(is("IMPORT_NAME") ? "__import__" : "__build_class__");
                add_binding(builtins, name.get());
            }
        }
        if (PyErr_Occurred()) throw_error();
    }
}

bool code_guard_capture::add_class_functions(PyTypeObject* type, PyObject* home) {
    ref ns = check(PyDict_Copy(compat::type_dict(type).get()));
    std::vector<ref> functions;
    auto take = [&](PyObject* holder, const char* attribute) {
        ref key = intern(attribute);
        ref inner = compat::optional_attr(holder, key.get());
        if (inner && PyFunction_Check(inner.get())) functions.push_back(std::move(inner));
    };
    Py_ssize_t pos = 0;
    PyObject *name = nullptr, *value = nullptr;
    // The copy is the capture's own: nothing changes it while it is walked.
    while (PyDict_Next(ns.get(), &pos, &name, &value)) {
        if (PyFunction_Check(value)) {
            functions.push_back(ref::new_ref(value));
        } else if (Py_IS_TYPE(value, &PyClassMethod_Type) || Py_IS_TYPE(value, &PyStaticMethod_Type)) {
            take(value, "__func__");
        } else if (Py_IS_TYPE(value, &PyProperty_Type)) {
            for (const char* accessor : {"fget", "fset", "fdel"}) take(value, accessor);
        }
    }
    for (const ref& f : functions)
        if (home != nullptr && PyFunction_GET_GLOBALS(f.get()) != home) return false;
    for (const ref& f : functions) add_function(f.get());
    return true;
}

void code_guard_capture::add_binding(PyObject* ns, PyObject* name, bool keep_value) {
    if (!PyDict_Check(ns)) raise_message(PyExc_TypeError, "a guard binds names in dicts");
    for (const binding& b : data_->bindings)
        if (b.ns == ns && b.name == name) return;
    ref value = compat::dict_get(ns, name);
    PyObject* const bound = !value ? absent() : keep_value ? kept(value.get()) : value.get();
    data_->bindings.push_back({kept(ns), kept(name), bound});
}

bool code_guard::watched() const noexcept { return data_ != nullptr && data_->watched; }

std::uint64_t code_guard_comparisons() noexcept { return comparisons.load(std::memory_order_relaxed); }

void code_guard_capture::seal(code_guard& guard, ref& keep, ref& watch) {
    const watcher_ids watchers = watchers_of(watch);
    // Static classes are shared by every interpreter, and watcher ids are
    // each interpreter's own: a guard of one is compared on every use.
    bool watched = (watchers.dicts >= 0 || data_->bindings.empty()) && (watchers.types >= 0 || data_->classes.empty());
    for (const captured_class& c : data_->classes) watched = watched && (c.type->tp_flags & Py_TPFLAGS_HEAPTYPE) != 0;
    data_->dict_watcher = watchers.dicts;
    // Every class gets its tag now.
    ref probe = init_probe();
    for (const captured_class& c : data_->classes) {
        const unsigned int tag = compat::assign_type_version(c.type, probe.get());
        if (!class_as_captured(c, data_->absent)) raise_message(PyExc_RuntimeError, "a class changed while captured");
        // A class of another metaclass than `type` can be given one whose
        // `mro()` is its own, and computing its MRO again then clears its
        // tag unannounced: its tag is compared on every use. Under `type`
        // it cannot (type is immutable, so its classes' `__class__` is too).
        data_->tags.push_back({c.type, c.metaclass, tag});
    }
    for (std::size_t i = 0; watched && i < data_->classes.size(); ++i) {
        if (Py_TYPE(data_->classes[i].type) != &PyType_Type) data_->per_use.push_back(&data_->tags[i]);
    }
    if (watched) {
        // Registered first (a namespace given up leaves the guard
        // unwatched), then watched; the registry's entries go with the data.
        watch_registry& r = registry();
        {
            const std::lock_guard<std::mutex> held(r.lock);
            for (const binding& b : data_->bindings) {
                watched_object& w = r.objects[b.ns];
                watched = watched && !w.given_up;
                w.dependents.push_back({data_, b.name});
            }
            for (const captured_class& c : data_->classes)
                r.objects[reinterpret_cast<PyObject*>(c.type)].dependents.push_back({data_, nullptr});
        }
        data_->watched = true;
        if (!watched) {
            forget(data_);
            data_->watched = false;
        }
    }
    if (watched) {
#if TAVRIX_HAS_DICT_WATCHERS
        for (const binding& b : data_->bindings) check_status(PyDict_Watch(watchers.dicts, b.ns));
#endif
#if TAVRIX_HAS_TYPE_WATCHERS
        for (const captured_class& c : data_->classes)
            check_status(PyType_Watch(watchers.types, reinterpret_cast<PyObject*>(c.type)));
#endif
    }
    data_->watched = watched;
    if (!keep) keep = new_list();
    append(objects_.get(), capsule_.get());
    const Py_ssize_t end = PyList_GET_SIZE(keep.get());
    check_status(PyList_SetSlice(keep.get(), end, end, objects_.get()));
    if (guard.data_ != nullptr) guard.data_->owner = nullptr;
    guard.reset();
    // The first use compares the classes and the bindings (a change before
    // the watching began shows there), and while watched the change count
    // proves them from then on.
    guard.data_ = data_;
    guard.changes_ = &data_->changes;
    if (!data_->functions.empty()) guard.function_ = data_->functions.front();
    // The other functions, the classes compared on every use, and a first
    // function without a version to compare (where versions are compared)
    // are compared out of line.
    if (!data_->per_use.empty()) guard.first_class_ = data_->per_use.front();
    data_->more = data_->per_use.size() > 1 || data_->functions.size() > 1;
    if (data_->more) guard.more_ = data_;

    data_->owner = &guard;
    objects_.reset();
    capsule_.reset();
    data_ = nullptr;
}

}  // namespace tavrix
