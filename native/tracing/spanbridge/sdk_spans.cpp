// Direct reads of the tracing SDK's own span objects.
//
// The tracing SDK hands span processors instances of its own classes: a
// ReadableSpan whose properties return private attributes, its attributes as
// a read-only proxy of a BoundedAttributes mapping whose methods read a plain
// dict, a SpanKind member whose `value` is a Python-level descriptor, a
// SpanContext tuple and a Status. Going through their Python code costs more
// than the rest of a span's conversion; reading the private attributes they
// return costs a dict lookup. A read here stands for the Python-level read
// only while that gives the same answer:
//  - only exact instances of the classes count (a subclass, or any other
//    class, takes the general path);
//  - each read is guarded (support/code_guard.hpp): the classes involved by
//    their version tags, compared again with their capture under a new tag,
//    so a patch takes the general path while it lasts and costs nothing
//    once undone; the functions stood for by their code (which can be
//    replaced without touching the class); the names that code reads as globals, in
//    its globals and builtins (a rebound `iter` or `len`, or a module global
//    that hides one, shows);
//  - a function stood for must run the code its read was written for,
//    compared at import with what its `def` compiles to (releases change the
//    code behind the same names); where it does not, that read is never
//    taken directly;
//  - an instance attribute cannot shadow a property or another data
//    descriptor, but can shadow the mapping's `get` and `keys`: the instance
//    is checked for those names;
//  - what the stood-for code reads of the instances (`self._attributes`,
//    `self._dict`, `self._value_`) is read here the same way, through the
//    generic attribute lookup or the instance's own namespace.
#include "spanbridge.hpp"

#include <algorithm>

namespace tavrix::spanbridge {

namespace {

// --- capture at import ------------------------------------------------------

// The function behind a class attribute: itself, or the getter of a
// property or of an enumeration's property.
ref getter_function(const spanbridge_state& st, PyObject* original) {
    if (PyFunction_Check(original)) return ref::new_ref(original);
    if (Py_IS_TYPE(original, &PyProperty_Type) || PyObject_HasAttr(original, st.fget.get())) {
        ref getter = get_attr(original, st.fget.get());
        if (PyFunction_Check(getter.get())) return getter;
    }
    return {};
}

bool text_is(PyObject* value, const char* text) {
    return value != nullptr && PyUnicode_Check(value) && PyUnicode_CompareWithASCIIString(value, text) == 0;
}

bool same_field(PyObject* a, PyObject* b, const char* field) {
    ref name = intern(field);
    ref in_a = get_attr(a, name.get());
    ref in_b = get_attr(b, name.get());
    return equals(in_a.get(), in_b.get());
}

// Whether `function` runs what `source`, a `def`, compiles to on this
// interpreter: the same instructions, names, arguments and constants, the
// docstring aside. The SDK's functions keep their qualified names across
// releases while their code changes (1.20's `attributes` getter is
// `MappingProxyType(self._attributes)`, which raises for a span without
// attributes), so a qualified name alone proves nothing about behaviour.
bool runs_source(PyObject* function, const char* source) {
    ref module_code = check(Py_CompileString(source, "<expected>", Py_file_input));
    ref co_consts = intern("co_consts");
    ref module_consts = get_attr(module_code.get(), co_consts.get());
    if (!PyTuple_Check(module_consts.get())) return false;
    PyObject* expected = nullptr;
    for (Py_ssize_t i = 0; expected == nullptr && i < PyTuple_GET_SIZE(module_consts.get()); ++i)
        if (PyCode_Check(PyTuple_GET_ITEM(module_consts.get(), i))) expected = PyTuple_GET_ITEM(module_consts.get(), i);
    if (expected == nullptr) return false;
    PyObject* actual = PyFunction_GET_CODE(function);
    for (const char* field : {"co_code", "co_names", "co_varnames", "co_freevars", "co_argcount", "co_kwonlyargcount"})
        if (!same_field(actual, expected, field)) return false;
    // The first constant is the docstring (or None).
    ref actual_consts = get_attr(actual, co_consts.get());
    ref expected_consts = get_attr(expected, co_consts.get());
    ref actual_rest = check(PySequence_GetSlice(actual_consts.get(), 1, PY_SSIZE_T_MAX));
    ref expected_rest = check(PySequence_GetSlice(expected_consts.get(), 1, PY_SSIZE_T_MAX));
    return equals(actual_rest.get(), expected_rest.get());
}

}  // namespace

class_found expect_class(const spanbridge_state& st, PyObject* type,
                         std::initializer_list<expected_attribute> attributes, bool generic_getattr) {
    class_found found;
    if (!PyType_Check(type)) return found;
    auto* cls = reinterpret_cast<PyTypeObject*>(type);
    found.keep = new_list();
    for (const expected_attribute& a : attributes) {
        ref name = intern(a.name);
        append(found.keep.get(), name.get());
        found.names.push_back(name.get());
        ref original = compat::type_lookup(cls, name.get());
        if (a.qualname == nullptr) {
            if (original) return found;
        } else if (a.qualname[0] == '*') {
            if (!original) return found;  // whatever the class has, kept as it is
        } else {
            if (!original) return found;
            ref function = getter_function(st, original.get());
            if (a.module == nullptr) {
                // A builtin the class inherits from object.
                ref builtin = compat::type_lookup(&PyBaseObject_Type, name.get());
                if (original.get() != builtin.get()) return found;
            } else if (function) {
                ref qualname = get_attr(function.get(), st.dunder_qualname.get());
                ref module = get_attr(function.get(), st.dunder_module.get());
                if (!text_is(qualname.get(), a.qualname) || !text_is(module.get(), a.module)) return found;
                // Other code than the fast path stands for: that read is never taken directly.
                found.stale.push_back(a.source != nullptr && !runs_source(function.get(), a.source));
                found.functions.push_back(std::move(function));
            } else {
                return found;
            }
        }
    }
    found.ok = !generic_getattr || cls->tp_getattro == PyObject_GenericGetAttr;
    return found;
}

void add_found(code_guard_capture& capture, PyObject* type, const class_found& found) {
    capture.add_class(reinterpret_cast<PyTypeObject*>(type), found.names);
    for (const ref& function : found.functions) capture.add_function(function.get());
}

namespace {

ref module_attr(const char* module, const char* name) {
    ref module_name = intern(module);
    ref imported = import_module(module_name.get());
    ref attr_name = intern(name);
    return get_attr(imported.get(), attr_name.get());
}

constexpr const char* sdk_trace = "opentelemetry.sdk.trace";
constexpr const char* sdk_attributes = "opentelemetry.attributes";
constexpr const char* abc_module = "collections.abc";

// A class whose every read stands for all of its captured functions.
bool capture_whole(spanbridge_state& st, guarded_class& guarded, PyObject* type,
                   std::initializer_list<expected_attribute> attributes, bool generic_getattr,
                   std::initializer_list<PyObject*> also = {}) {
    class_found found = expect_class(st, type, attributes, generic_getattr);
    if (!found.ok) return false;
    guarded.type = reinterpret_cast<PyTypeObject*>(type);
    // Code other than what the reads stand for: the guard stays one that
    // never holds, and the class is read by its own code.
    if (std::find(found.stale.begin(), found.stale.end(), true) != found.stale.end()) return true;
    code_guard_capture capture;
    add_found(capture, type, found);
    for (PyObject* other : also) capture.add_class(reinterpret_cast<PyTypeObject*>(other));
    capture.seal(guarded.guard, st.guarded_code, st.namespace_watch);
    guarded.type = reinterpret_cast<PyTypeObject*>(type);
    return true;
}

// A span class: a guard for each property, holding the class and the
// property's getter.
bool capture_span_class(spanbridge_state& st, guarded_span_class& guarded, PyObject* type,
                        std::initializer_list<expected_attribute> attributes) {
    class_found found = expect_class(st, type, attributes, true);
    if (!found.ok || found.functions.size() != span_property_count) return false;
    for (std::size_t i = 0; i < span_property_count; ++i) {
        if (found.stale[i]) continue;  // that read goes through the getter's own code
        code_guard_capture capture;
        capture.add_class(reinterpret_cast<PyTypeObject*>(type), found.names);
        capture.add_function(found.functions[i].get());
        capture.seal(guarded.property[i], st.guarded_code, st.namespace_watch);
    }
    guarded.type = reinterpret_cast<PyTypeObject*>(type);
    return true;
}

bool capture(spanbridge_state& st) {
    sdk_classes& sdk = st.sdk;

    const std::initializer_list<expected_attribute> span_properties = {
        {"attributes", "ReadableSpan.attributes", sdk_trace,
         "def f(self):\n return MappingProxyType(self._attributes or {})\n"},
        {"name", "ReadableSpan.name", sdk_trace, "def f(self):\n return self._name\n"},
        {"kind", "ReadableSpan.kind", sdk_trace, "def f(self):\n return self._kind\n"},
        {"context", "ReadableSpan.context", sdk_trace, "def f(self):\n return self._context\n"},
        {"parent", "ReadableSpan.parent", sdk_trace, "def f(self):\n return self._parent\n"},
        {"start_time", "ReadableSpan.start_time", sdk_trace, "def f(self):\n return self._start_time\n"},
        {"end_time", "ReadableSpan.end_time", sdk_trace, "def f(self):\n return self._end_time\n"},
        {"status", "ReadableSpan.status", sdk_trace, "def f(self):\n return self._status\n"},
        // What the getters return, read from the instance's namespace.
        {"_attributes", nullptr, nullptr},                    {"_name", nullptr, nullptr},
        {"_kind", nullptr, nullptr},                          {"_context", nullptr, nullptr},
        {"_parent", nullptr, nullptr},                        {"_start_time", nullptr, nullptr},
        {"_end_time", nullptr, nullptr},                      {"_status", nullptr, nullptr},
    };
    ref readable = module_attr(sdk_trace, "ReadableSpan");
    ref live = module_attr(sdk_trace, "_Span");
    if (!capture_span_class(st, sdk.readable_span, readable.get(), span_properties)) return false;
    if (!capture_span_class(st, sdk.live_span, live.get(), span_properties)) return false;

    ref mapping = module_attr(sdk_attributes, "BoundedAttributes");
    ref keys_view = module_attr(abc_module, "KeysView");
    if (!PyType_Check(keys_view.get())) return false;
    if (!capture_whole(st, sdk.attribute_mapping, mapping.get(),
                       {
                           {"__getitem__", "BoundedAttributes.__getitem__", sdk_attributes,
                            "def f(self, key):\n return self._dict[key]\n"},
                           {"__iter__", "BoundedAttributes.__iter__", sdk_attributes,
                            "def f(self):\n if self._immutable:\n  return iter(self._dict)\n"
                            " with self._lock:\n  return iter(list(self._dict))\n"},
                           {"__len__", "BoundedAttributes.__len__", sdk_attributes,
                            "def f(self):\n return len(self._dict)\n"},
                           {"__contains__", "Mapping.__contains__", abc_module},
                           {"get", "Mapping.get", abc_module},
                           {"keys", "Mapping.keys", abc_module},
                           {"items", "Mapping.items", abc_module},
                           {"__bool__", nullptr, nullptr},
                           {"_dict", nullptr, nullptr},
                           {"_immutable", nullptr, nullptr},
                       },
                       true))
        return false;

    // `Mapping.keys` makes its view from the module global KeysView, by its
    // metaclass's __call__.
    if (!capture_whole(st, sdk.keys_view, keys_view.get(),
                       {
                           {"__iter__", "KeysView.__iter__", abc_module},
                           {"__init__", "MappingView.__init__", abc_module},
                           {"__new__", "object.__new__", nullptr},
                       },
                       false, {reinterpret_cast<PyObject*>(Py_TYPE(keys_view.get()))}))
        return false;
    ref keys_method = compat::type_lookup(sdk.attribute_mapping.type, st.keys.get());
    if (!keys_method || !PyFunction_Check(keys_method.get())) return false;
    PyObject* globals = PyFunction_GetGlobals(keys_method.get());
    // Its code reads the global KeysView, a binding its guard holds from now on.
    ref view_class = compat::dict_get(globals, st.KeysView.get());
    if (view_class.get() != keys_view.get()) return false;

    ref span_kind = module_attr("opentelemetry.trace", "SpanKind");
    if (!PyType_Check(span_kind.get())) return false;
    ref value = compat::type_lookup(reinterpret_cast<PyTypeObject*>(span_kind.get()), st.value.get());
    if (!value) return false;
    ref enum_property = ref::new_ref(reinterpret_cast<PyObject*>(Py_TYPE(value.get())));
    class_found descriptor =
        expect_class(st, enum_property.get(), {{"__get__", "property.__get__", "enum"}, {"fget", nullptr, nullptr}}, true);
    if (!descriptor.ok) return false;
    {
        class_found kind = expect_class(st, span_kind.get(), {{"value", "Enum.value", "enum"}, {"_value_", nullptr, nullptr}}, true);
        if (!kind.ok) return false;
        code_guard_capture capture;
        add_found(capture, span_kind.get(), kind);
        add_found(capture, enum_property.get(), descriptor);
        capture.seal(sdk.span_kind.guard, st.guarded_code, st.namespace_watch);
        sdk.span_kind.type = reinterpret_cast<PyTypeObject*>(span_kind.get());
    }
    ref getter = get_attr(value.get(), st.fget.get());
    for (PyObject* o : {value.get(), getter.get()}) append(st.guarded_code.get(), o);
    sdk.kind_value = value.get();
    sdk.kind_value_getter = getter.get();

    ref span_context = module_attr("opentelemetry.trace.span", "SpanContext");
    if (!capture_whole(st, sdk.span_context, span_context.get(),
                       {
                           {"trace_id", "SpanContext.trace_id", "opentelemetry.trace.span",
                            "def f(self):\n return self[0]\n"},
                           {"span_id", "SpanContext.span_id", "opentelemetry.trace.span",
                            "def f(self):\n return self[1]\n"},
                       },
                       false))
        return false;
    ref status = module_attr("opentelemetry.trace.status", "Status");
    if (!capture_whole(st, sdk.status, status.get(),
                       {{"status_code", "Status.status_code", "opentelemetry.trace.status",
                         "def f(self):\n return self._status_code\n"}},
                       true))
        return false;
    // The enumeration compares as object does, so that `code == ERROR` for
    // one of its members is `code is ERROR`. Read through its metaclass,
    // captured whole too. Laid out otherwise, only the comparison goes
    // without its fast path.
    ref codes = module_attr("opentelemetry.trace.status", "StatusCode");
    if (!PyType_Check(codes.get())) return true;
    ref error = compat::type_lookup(reinterpret_cast<PyTypeObject*>(codes.get()), st.ERROR.get());
    if (!error || Py_TYPE(error.get()) != reinterpret_cast<PyTypeObject*>(codes.get())) return true;
    if (!capture_whole(st, sdk.status_code, codes.get(),
                       {{"ERROR", "*", nullptr}, {"__eq__", "object.__eq__", nullptr}, {"__ne__", "object.__ne__", nullptr}},
                       false, {reinterpret_cast<PyObject*>(Py_TYPE(codes.get()))}))
        return true;
    append(st.guarded_code.get(), error.get());
    sdk.status_error = error.get();
    return true;
}

// --- the checks on every use ------------------------------------------------

// The guarded span class of the span when it is one of the SDK's span
// classes; null otherwise.
const guarded_span_class* span_class(const spanbridge_state& st, PyObject* span) {
    if (!st.sdk.captured) return nullptr;
    PyTypeObject* type = Py_TYPE(span);
    return type == st.sdk.readable_span.type ? &st.sdk.readable_span
           : type == st.sdk.live_span.type   ? &st.sdk.live_span
                                             : nullptr;
}

// Whether `instance` is an exact instance of the guarded class, which is as
// captured.
bool exact_and_holds(const spanbridge_state& st, PyObject* instance, const guarded_class& guarded) {
    return st.sdk.captured && Py_TYPE(instance) == guarded.type && guarded.guard.holds();
}

// Whether `span.<property>` is `span._<property>`: an SDK span whose
// property getter runs the SDK's code.
bool reads_directly(const spanbridge_state& st, PyObject* span, span_property property) {
    const guarded_span_class* guarded = span_class(st, span);
    return guarded != nullptr && guarded->property[static_cast<std::size_t>(property)].holds();
}

// `instance.__dict__`, where `self.<name>` finds what is not a data
// descriptor of its class; empty when the instance has none.
ref instance_namespace(PyObject* instance) {
    ref ns = ref::steal(PyObject_GenericGetDict(instance, nullptr));
    if (!ns) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
        PyErr_Clear();
    }
    return ns;
}

// `span._<name>` of an SDK span (its class has no attribute of that name):
// the instance's own value, read as the getter reads it. The generic lookup
// reads it where the instance keeps it; asking for the instance's __dict__
// would make one of values kept inline, on every new span.
ref span_private(PyObject* span, PyObject* private_name) {
    if (PyObject* value = PyObject_GenericGetAttr(span, private_name)) [[likely]]
        return ref::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
    PyErr_Clear();
    return get_attr(span, private_name);
}

// The dict an SDK attribute mapping reads (`self._dict`), when the mapping's
// class is as captured and the instance shadows neither `get` nor, with
// `keys_too`, `keys`; empty otherwise. `ns` receives the instance namespace.
ref mapping_dict(const spanbridge_state& st, PyObject* mapping, bool keys_too, ref* ns_out = nullptr) {
    if (!exact_and_holds(st, mapping, st.sdk.attribute_mapping)) return {};
    ref ns = instance_namespace(mapping);
    if (!ns || !PyDict_CheckExact(ns.get())) return {};
    if (compat::dict_has(ns.get(), st.get.get())) return {};
    if (keys_too && compat::dict_has(ns.get(), st.keys.get())) return {};
    ref dict = compat::dict_get(ns.get(), st.private_dict.get());
    if (!dict || !PyDict_CheckExact(dict.get())) return {};
    if (ns_out != nullptr) *ns_out = std::move(ns);
    return dict;
}

// What `dict(span.attributes)` copies, when that is exactly a dict the
// mapping behind the attributes holds: the mapping (None for a span without
// attributes) and its dict. `ok` is false when the span does not qualify.
struct attribute_source {
    bool ok = false;
    ref mapping;
    ref dict;  // empty for a span without attributes
};

attribute_source attributes_source(const spanbridge_state& st, PyObject* span) {
    attribute_source source;
    if (!reads_directly(st, span, span_property::attributes)) return source;
    // The property is `MappingProxyType(self._attributes or {})`.
    ref mapping = span_private(span, st.private_attributes.get());
    if (mapping.get() == Py_None) {
        source.ok = true;
        source.mapping = std::move(mapping);
        return source;
    }
    // dict() of the proxy calls the mapping's keys(), iterates the KeysView
    // it makes through its metaclass and the global it finds, and reads
    // each key.
    // The global is the KeysView captured while the mapping's guard holds,
    // which has `keys` and the globals its code reads (mapping_dict).
    if (!st.sdk.keys_view.guard.holds() || Py_TYPE(st.sdk.keys_view.type)->tp_call != PyType_Type.tp_call)
        return source;
    ref ns;
    ref dict = mapping_dict(st, mapping.get(), true, &ns);
    if (!dict) return source;
    // Iterating takes the mapping's lock unless it is immutable, as it is
    // once its span has ended.
    ref immutable = compat::dict_get(ns.get(), st.private_immutable.get());
    if (immutable.get() != Py_True) return source;
    source.ok = true;
    source.mapping = std::move(mapping);
    source.dict = std::move(dict);
    return source;
}

// Whether two dicts hold the same keys and values, the same objects in the
// same order; `str_keys` tells whether every key is an exact str.
bool same_items(PyObject* a, PyObject* b, bool& str_keys) {
    if (PyDict_GET_SIZE(a) != PyDict_GET_SIZE(b)) return false;
    Py_ssize_t pos_a = 0, pos_b = 0;
    PyObject *key_a, *value_a, *key_b, *value_b;
    str_keys = true;
    while (PyDict_Next(a, &pos_a, &key_a, &value_a)) {
        if (!PyDict_Next(b, &pos_b, &key_b, &value_b)) return false;
        if (key_a != key_b || value_a != value_b) return false;
        str_keys = str_keys && PyUnicode_CheckExact(key_a);
    }
    return true;
}

// See attributes_copy::plain.
bool plain_items(PyObject* dict) noexcept {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return false;
        if (!plain_value(value)) return false;
    }
    return true;
}

}  // namespace

void capture_sdk_classes(spanbridge_state& st) {
    // A tracing SDK laid out otherwise only goes without the fast paths.
    bool captured = false;
    swallow_exceptions([&] { captured = capture(st); });
    if (!captured) {
        st.sdk = sdk_classes{};
        return;
    }
    st.sdk.captured = true;
}

ref span_field(const spanbridge_state& st, PyObject* span, span_property property) {
    PyObject* public_name = nullptr;
    PyObject* private_name = nullptr;
    switch (property) {
        case span_property::attributes:
            public_name = st.attributes.get(), private_name = nullptr;
            break;
        case span_property::name:
            public_name = st.name.get(), private_name = st.private_name.get();
            break;
        case span_property::kind:
            public_name = st.kind.get(), private_name = st.private_kind.get();
            break;
        case span_property::context:
            public_name = st.context.get(), private_name = st.private_context.get();
            break;
        case span_property::parent:
            public_name = st.parent.get(), private_name = st.private_parent.get();
            break;
        case span_property::start_time:
            public_name = st.start_time.get(), private_name = st.private_start_time.get();
            break;
        case span_property::end_time:
            public_name = st.end_time.get(), private_name = st.private_end_time.get();
            break;
        case span_property::status:
            public_name = st.status.get(), private_name = st.private_status.get();
            break;
    }
    // Each of these getters is `return self._<name>`.
    if (private_name != nullptr && reads_directly(st, span, property)) [[likely]]
        return span_private(span, private_name);
    return get_attr(span, public_name);
}

attributes_copy copy_span_attributes(const spanbridge_state& st, PyObject* span, attribute_index* index) {
    attributes_copy made;
    attribute_source source = attributes_source(st, span);
    if (!source.ok) return made;
    // A mapping without items gives `{}` to the proxy: an empty copy either way.
    made.copy = source.dict ? check(PyDict_Copy(source.dict.get())) : check(PyDict_New());
    made.mapping = std::move(source.mapping);
    made.source = std::move(source.dict);
    made.plain = index != nullptr ? index->build(made.copy.get()) && index->plain() : plain_items(made.copy.get());
    return made;
}

bool copy_still_current(const spanbridge_state& st, PyObject* span, attributes_copy& made) {
    if (!made.copy || !PyDict_CheckExact(made.copy.get())) return false;
    attribute_source now = attributes_source(st, span);
    if (!now.ok || now.mapping.get() != made.mapping.get() || now.dict.get() != made.source.get()) return false;
    if (!now.dict) return made.str_keys = PyDict_GET_SIZE(made.copy.get()) == 0;
    return same_items(made.copy.get(), now.dict.get(), made.str_keys);
}

bool span_attribute_reader::open(const spanbridge_state& st, PyObject* span) {
    st_ = &st;
    if (!reads_directly(st, span, span_property::attributes)) return false;
    ref mapping = span_private(span, st.private_attributes.get());
    if (mapping.get() == Py_None) {
        empty_ = true;
        return true;
    }
    // `self._attributes or {}`: the mapping's truth is the length of its dict.
    ref dict = mapping_dict(st, mapping.get(), false);
    if (!dict) return false;
    empty_ = PyDict_GET_SIZE(dict.get()) == 0;
    mapping_ = std::move(mapping);
    if (str_keys_only(dict.get())) dict_ = std::move(dict);
    return true;
}

void span_attribute_reader::assume(const spanbridge_state& st, const attributes_copy& made,
                                   const attribute_index* index) {
    st_ = &st;
    if (made.mapping.get() == Py_None || PyDict_GET_SIZE(made.copy.get()) == 0) {
        empty_ = true;
        return;
    }
    mapping_ = made.mapping.copy();
    dict_ = made.copy.copy();
    index_ = index != nullptr && index->dict() == dict_.get() ? index : nullptr;
}

ref span_attribute_reader::get(PyObject* key, PyObject* dflt) {
    PyObject* dflt_or_none = dflt != nullptr ? dflt : Py_None;
    if (empty_) return ref::new_ref(dflt_or_none);
    // `proxy.get(key, dflt)` is `mapping.get(key, dflt)`, which the SDK's
    // mapping answers from `self._dict`. Nothing can have changed since the
    // last look unless Python code ran in between.
    if (!dict_) {
        dict_ = mapping_dict(*st_, mapping_.get(), false);
        if (dict_ && !str_keys_only(dict_.get())) dict_.reset();
    }
    if (dict_) [[likely]] {
        ref value = compat::dict_get(dict_.get(), key);
        return value ? std::move(value) : ref::new_ref(dflt_or_none);
    }
    return call_method(mapping_.get(), st_->get.get(), key, dflt_or_none);
}

ref span_attribute_reader::get(attr_key key, PyObject* dflt) {
    if (empty_ || index_ == nullptr) return get(key_object(*st_, key), dflt);
    PyObject* const value = index_->value(key);
    return ref::new_ref(value != nullptr ? value : dflt != nullptr ? dflt : Py_None);
}

void span_attribute_reader::may_have_changed() {
    dict_.reset();
    index_ = nullptr;
}

ref kind_value(const spanbridge_state& st, PyObject* kind) {
    const sdk_classes& sdk = st.sdk;
    if (exact_and_holds(st, kind, sdk.span_kind)) {
        // The descriptor's __get__ calls `self.fget(instance)`, which is
        // `return self._value_`: both read from the instances' namespaces,
        // their classes having no attribute of those names.
        ref descriptor_ns = instance_namespace(sdk.kind_value);
        ref getter = descriptor_ns ? compat::dict_get(descriptor_ns.get(), st.fget.get()) : ref();
        ref member_ns = instance_namespace(kind);
        if (getter.get() == sdk.kind_value_getter && member_ns) [[likely]]
            if (ref value = compat::dict_get(member_ns.get(), st.private_value.get())) return value;
    }
    // `kind.value if hasattr(kind, "value") else kind`
    if (ref value = compat::optional_attr(kind, st.value.get())) return value;
    return ref::new_ref(kind);
}

ref context_id(const spanbridge_state& st, PyObject* context, bool trace, bool optional) {
    const guarded_class& guard = st.sdk.span_context;
    // The properties are `return self[0]` and `return self[1]`, tuple items.
    if (exact_and_holds(st, context, guard) &&
        guard.type->tp_as_mapping != nullptr &&
        guard.type->tp_as_mapping->mp_subscript == PyTuple_Type.tp_as_mapping->mp_subscript &&
        PyTuple_GET_SIZE(context) >= 2) [[likely]]
        return ref::new_ref(PyTuple_GET_ITEM(context, trace ? 0 : 1));
    PyObject* name = trace ? st.trace_id.get() : st.span_id.get();
    return optional ? compat::optional_attr(context, name) : get_attr(context, name);
}

std::optional<bool> is_error_code(const spanbridge_state& st, PyObject* codes, PyObject* code) {
    const guarded_class& guard = st.sdk.status_code;
    // The member's class is checked as well: a member can be given another.
    PyObject* const error = st.sdk.status_error;
    if (codes == reinterpret_cast<PyObject*>(guard.type) && error != nullptr && Py_TYPE(error) == guard.type &&
        exact_and_holds(st, code, guard)) [[likely]]
        return code == error;
    return std::nullopt;
}

ref status_code(const spanbridge_state& st, PyObject* status) {
    const guarded_class& guard = st.sdk.status;
    if (exact_and_holds(st, status, guard)) [[likely]]
        return get_attr(status, st.private_status_code.get());
    return get_attr(status, st.status_code.get());
}

}  // namespace tavrix::spanbridge
