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
//  - each class is checked on every use by its version tag, which the
//    interpreter renews whenever the class or one of its bases is modified.
//    Under a new tag the class is compared again with the originals captured
//    at import, so a patch takes the general path while it lasts and costs
//    nothing once undone;
//  - the functions stood for must run the code each read was written for,
//    compared at import with what its `def` compiles to (releases change
//    the code behind the same names), and still run it (a function's code
//    can be replaced without touching its class);
//  - an instance attribute cannot shadow a property or another data
//    descriptor, but can shadow the mapping's `get` and `keys`: the instance
//    is checked for those names;
//  - what the stood-for code reads of the instances (`self._attributes`,
//    `self._dict`, `self._value_`) is read here the same way, through the
//    generic attribute lookup or the instance's own namespace.
// Rebinding a builtin such as `len` or `iter` is not looked for.
#include "spanbridge.hpp"

namespace tavrix::spanbridge {

namespace {

// --- capture at import ------------------------------------------------------

// The function behind an original: itself, or the getter of a property or
// of an enumeration's property.
PyObject* function_of(const spanbridge_state& st, PyObject* original, ref& holder) {
    if (PyFunction_Check(original)) return original;
    if (Py_IS_TYPE(original, &PyProperty_Type) || PyObject_HasAttr(original, st.fget.get())) {
        holder = get_attr(original, st.fget.get());
        if (PyFunction_Check(holder.get())) return holder.get();
    }
    return nullptr;
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

bool capture_class(spanbridge_state& st, PyObject* keep, guarded_class& guard, PyObject* type,
                   std::initializer_list<expected_attribute> attributes, bool generic_getattr) {
    if (!PyType_Check(type)) return false;
    auto* cls = reinterpret_cast<PyTypeObject*>(type);
    ref expected = check(PyTuple_New(static_cast<Py_ssize_t>(attributes.size())));
    ref functions = new_list();
    Py_ssize_t i = 0;
    for (const expected_attribute& a : attributes) {
        ref name = intern(a.name);
        ref original = compat::type_lookup(cls, name.get());
        if (a.qualname == nullptr) {
            if (original) return false;
            original = ref::new_ref(st.absent.get());
        } else if (a.qualname[0] == '*') {
            if (!original) return false;  // whatever the class has, kept as it is
        } else {
            if (!original) return false;
            ref getter_holder;
            PyObject* function = function_of(st, original.get(), getter_holder);
            if (a.module == nullptr) {
                // A builtin the class inherits from object.
                ref builtin = compat::type_lookup(&PyBaseObject_Type, name.get());
                if (original.get() != builtin.get()) return false;
            } else if (function != nullptr) {
                ref qualname = get_attr(function, st.dunder_qualname.get());
                ref module = get_attr(function, st.dunder_module.get());
                if (!text_is(qualname.get(), a.qualname) || !text_is(module.get(), a.module)) return false;
                // Other code than the fast path stands for: that path is never taken.
                PyObject* code = a.source == nullptr || runs_source(function, a.source) ? PyFunction_GET_CODE(function)
                                                                                         : Py_None;
                ref pair = check(PyTuple_Pack(2, function, code));
                append(functions.get(), pair.get());
            } else {
                return false;
            }
        }
        PyTuple_SET_ITEM(expected.get(), i++, check(PyTuple_Pack(2, name.get(), original.get())).release());
    }
    if (generic_getattr && cls->tp_getattro != PyObject_GenericGetAttr) return false;
    ref function_tuple = check(PyList_AsTuple(functions.get()));
    for (PyObject* o : {type, expected.get(), function_tuple.get()}) append(keep, o);
    guard.type = cls;
    guard.expected = expected.get();
    guard.functions = function_tuple.get();
    guard.generic_getattr = generic_getattr;
    return true;
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

bool capture(spanbridge_state& st, PyObject* keep) {
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
    if (!capture_class(st, keep, sdk.readable_span, readable.get(), span_properties, true)) return false;
    if (!capture_class(st, keep, sdk.live_span, live.get(), span_properties, true)) return false;

    ref mapping = module_attr(sdk_attributes, "BoundedAttributes");
    if (!capture_class(st, keep, sdk.attribute_mapping, mapping.get(),
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

    ref keys_view = module_attr(abc_module, "KeysView");
    if (!capture_class(st, keep, sdk.keys_view, keys_view.get(),
                       {
                           {"__iter__", "KeysView.__iter__", abc_module},
                           {"__init__", "MappingView.__init__", abc_module},
                           {"__new__", "object.__new__", nullptr},
                       },
                       false))
        return false;
    // `Mapping.keys` makes its view from the module global KeysView.
    ref keys_method = compat::type_lookup(sdk.attribute_mapping.type, st.keys.get());
    if (!keys_method || !PyFunction_Check(keys_method.get())) return false;
    PyObject* globals = PyFunction_GetGlobals(keys_method.get());
    append(keep, globals);
    sdk.keys_globals = globals;

    ref span_kind = module_attr("opentelemetry.trace", "SpanKind");
    if (!capture_class(st, keep, sdk.span_kind, span_kind.get(),
                       {{"value", "Enum.value", "enum"}, {"_value_", nullptr, nullptr}}, true))
        return false;
    ref value = compat::type_lookup(sdk.span_kind.type, st.value.get());
    ref enum_property = ref::new_ref(reinterpret_cast<PyObject*>(Py_TYPE(value.get())));
    if (!capture_class(st, keep, sdk.enum_property, enum_property.get(),
                       {{"__get__", "property.__get__", "enum"}, {"fget", nullptr, nullptr}}, true))
        return false;
    ref getter = get_attr(value.get(), st.fget.get());
    append(keep, getter.get());
    sdk.kind_value = value.get();
    sdk.kind_value_getter = getter.get();

    ref span_context = module_attr("opentelemetry.trace.span", "SpanContext");
    if (!capture_class(st, keep, sdk.span_context, span_context.get(),
                       {
                           {"trace_id", "SpanContext.trace_id", "opentelemetry.trace.span",
                            "def f(self):\n return self[0]\n"},
                           {"span_id", "SpanContext.span_id", "opentelemetry.trace.span",
                            "def f(self):\n return self[1]\n"},
                       },
                       false))
        return false;
    ref status = module_attr("opentelemetry.trace.status", "Status");
    if (!capture_class(st, keep, sdk.status, status.get(),
                       {{"status_code", "Status.status_code", "opentelemetry.trace.status",
                         "def f(self):\n return self._status_code\n"}}, true))
        return false;
    return true;
}

// --- the checks on every use ------------------------------------------------

// Whether the Python function at `index` of the class's functions still runs
// the code it had.
inline bool function_unchanged(const guarded_class& guard, Py_ssize_t index) {
    PyObject* pair = PyTuple_GET_ITEM(guard.functions, index);
    return PyFunction_GET_CODE(PyTuple_GET_ITEM(pair, 0)) == PyTuple_GET_ITEM(pair, 1);
}

bool functions_unchanged(const guarded_class& guard) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(guard.functions); ++i)
        if (!function_unchanged(guard, i)) return false;
    return true;
}

// The class under a tag it has not been looked at under: as captured?
TAVRIX_COLD TAVRIX_NOINLINE bool look_again(const spanbridge_state& st, const guarded_class& guard) {
    unsigned int tag = compat::type_version(guard.type);
    if (tag == 0) tag = compat::assign_type_version(guard.type, st.dunder_init.get());
    if (tag == 0 || tag == guard.refused) return false;
    bool same = !guard.generic_getattr || guard.type->tp_getattro == PyObject_GenericGetAttr;
    PyObject* expected = guard.expected;
    for (Py_ssize_t i = 0; same && i < PyTuple_GET_SIZE(expected); ++i) {
        PyObject* pair = PyTuple_GET_ITEM(expected, i);
        ref found = compat::type_lookup(guard.type, PyTuple_GET_ITEM(pair, 0));
        PyObject* original = PyTuple_GET_ITEM(pair, 1);
        same = original == st.absent.get() ? !found : found.get() == original;
    }
    // The lookups run no Python code; still, a tag that moved meanwhile
    // proves nothing about the class.
    if (compat::type_version(guard.type) != tag) return false;
    (same ? guard.tag : guard.refused) = tag;
    return same;
}

// Whether `guard`'s class is as captured (its functions' code aside).
inline bool holds(const spanbridge_state& st, const guarded_class& guard) {
    const unsigned int tag = compat::type_version(guard.type);
    if (tag != 0 && tag == guard.tag) [[likely]]
        return true;
    return look_again(st, guard);
}

}  // namespace

bool holds_entirely(const spanbridge_state& st, const guarded_class& guard) {
    return holds(st, guard) && functions_unchanged(guard);
}

namespace {

// The guard of the span's class when it is one of the SDK's span classes,
// as captured; null otherwise.
const guarded_class* span_guard(const spanbridge_state& st, PyObject* span) {
    if (!st.sdk.captured) return nullptr;
    PyTypeObject* type = Py_TYPE(span);
    const guarded_class* guard = type == st.sdk.readable_span.type ? &st.sdk.readable_span
                                 : type == st.sdk.live_span.type   ? &st.sdk.live_span
                                                                   : nullptr;
    return guard != nullptr && holds(st, *guard) ? guard : nullptr;
}

// Whether `span.<property>` is `span._<property>`: an SDK span whose
// property getter runs the SDK's code.
bool reads_directly(const spanbridge_state& st, PyObject* span, span_property property) {
    const guarded_class* guard = span_guard(st, span);
    return guard != nullptr && function_unchanged(*guard, static_cast<Py_ssize_t>(property));
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
// the instance namespace's entry, read as the getter reads it.
ref span_private(PyObject* span, PyObject* private_name) {
    ref ns = instance_namespace(span);
    if (ns) [[likely]]
        if (ref value = compat::dict_get(ns.get(), private_name)) return value;
    return get_attr(span, private_name);
}

// The dict an SDK attribute mapping reads (`self._dict`), when the mapping's
// class is as captured and the instance shadows neither `get` nor, with
// `keys_too`, `keys`; empty otherwise. `ns` receives the instance namespace.
ref mapping_dict(const spanbridge_state& st, PyObject* mapping, bool keys_too, ref* ns_out = nullptr) {
    if (Py_TYPE(mapping) != st.sdk.attribute_mapping.type || !holds_entirely(st, st.sdk.attribute_mapping)) return {};
    ref ns = instance_namespace(mapping);
    if (!ns || !PyDict_CheckExact(ns.get())) return {};
    if (compat::dict_get(ns.get(), st.get.get())) return {};
    if (keys_too && compat::dict_get(ns.get(), st.keys.get())) return {};
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
    if (!holds_entirely(st, st.sdk.keys_view) || Py_TYPE(st.sdk.keys_view.type)->tp_call != PyType_Type.tp_call)
        return source;
    ref view_class = compat::dict_get(st.sdk.keys_globals, st.KeysView.get());
    if (view_class.get() != reinterpret_cast<PyObject*>(st.sdk.keys_view.type)) return source;
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

}  // namespace

void capture_sdk_classes(spanbridge_state& st) {
    // A tracing SDK laid out otherwise only goes without the fast paths.
    ref keep = new_list();
    bool captured = false;
    swallow_exceptions([&] { captured = capture(st, keep.get()); });
    if (!captured) {
        st.sdk = sdk_classes{};
        return;
    }
    st.sdk_originals = std::move(keep);
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

attributes_copy copy_span_attributes(const spanbridge_state& st, PyObject* span) {
    attributes_copy made;
    attribute_source source = attributes_source(st, span);
    if (!source.ok) return made;
    // A mapping without items gives `{}` to the proxy: an empty copy either way.
    made.copy = source.dict ? check(PyDict_Copy(source.dict.get())) : check(PyDict_New());
    made.mapping = std::move(source.mapping);
    made.source = std::move(source.dict);
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

void span_attribute_reader::assume(const spanbridge_state& st, const attributes_copy& made) {
    st_ = &st;
    if (made.mapping.get() == Py_None || PyDict_GET_SIZE(made.copy.get()) == 0) {
        empty_ = true;
        return;
    }
    mapping_ = made.mapping.copy();
    dict_ = made.copy.copy();
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

void span_attribute_reader::may_have_changed() { dict_.reset(); }

ref kind_value(const spanbridge_state& st, PyObject* kind) {
    const sdk_classes& sdk = st.sdk;
    if (sdk.captured && Py_TYPE(kind) == sdk.span_kind.type && holds_entirely(st, sdk.span_kind) &&
        holds_entirely(st, sdk.enum_property)) {
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
    if (st.sdk.captured && Py_TYPE(context) == guard.type && holds_entirely(st, guard) &&
        guard.type->tp_as_mapping != nullptr &&
        guard.type->tp_as_mapping->mp_subscript == PyTuple_Type.tp_as_mapping->mp_subscript &&
        PyTuple_GET_SIZE(context) >= 2) [[likely]]
        return ref::new_ref(PyTuple_GET_ITEM(context, trace ? 0 : 1));
    PyObject* name = trace ? st.trace_id.get() : st.span_id.get();
    return optional ? compat::optional_attr(context, name) : get_attr(context, name);
}

ref status_code(const spanbridge_state& st, PyObject* status) {
    const guarded_class& guard = st.sdk.status;
    if (st.sdk.captured && Py_TYPE(status) == guard.type && holds_entirely(st, guard)) [[likely]]
        return get_attr(status, st.private_status_code.get());
    return get_attr(status, st.status_code.get());
}

}  // namespace tavrix::spanbridge
