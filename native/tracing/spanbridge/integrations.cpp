// The integrations a span reveals (LLM providers, frameworks, retrieval
// sources, embedding models, guardrails, evaluation frameworks, rerankers,
// speech services): `_extract_integrations_from_attrs` and its tables.

#include "../../support/recursion.hpp"
#include "spanbridge.hpp"

namespace tavrix::spanbridge {

ref build_framework_providers() {
    static constexpr const char* names[] = {
        "langchain", "crewai", "autogen", "llamaindex", "pydanticai", "smolagents", "agno",     "langroid",
        "composio",  "camel",  "letta",   "mirascope",  "dspy",       "instructor", "magentic",
    };
    ref set = check(PyFrozenSet_New(nullptr));
    for (const char* name : names) check_status(PySet_Add(set.get(), intern(name).get()));
    return set;
}

ref build_attr_prefix_integrations() {
    struct row {
        const char* prefix;
        const char* name;
        const char* category;
    };
    static constexpr row rows[] = {
        {"tavrix.deepgram.", "Deepgram", "speech"},
        {"tavrix.assemblyai.", "AssemblyAI", "speech"},
        {"tavrix.google_cloud_stt.", "Google Cloud STT", "speech"},
        {"tavrix.google_cloud_tts.", "Google Cloud TTS", "speech"},
        {"tavrix.azure_speech.", "Azure Speech", "speech"},
        {"tavrix.azure_tts.", "Azure TTS", "speech"},
        {"tavrix.elevenlabs.", "ElevenLabs", "speech"},
        {"tavrix.aws_transcribe.", "AWS Transcribe", "speech"},
        {"tavrix.aws_polly.", "AWS Polly", "speech"},
        {"tavrix.whisper.", "Whisper", "speech"},
        {"tavrix.playht.", "PlayHT", "speech"},
        {"tavrix.cartesia.", "Cartesia", "speech"},
        {"tavrix.coqui_tts.", "Coqui TTS", "speech"},
        {"tavrix.langchain.", "LangChain", "framework"},
        {"tavrix.crewai.", "CrewAI", "framework"},
        {"tavrix.autogen.", "AutoGen", "framework"},
        {"tavrix.agno.", "Agno", "framework"},
        {"tavrix.langroid.", "Langroid", "framework"},
        {"tavrix.composio.", "Composio", "framework"},
        {"tavrix.camel.", "CAMEL", "framework"},
        {"tavrix.pydanticai.", "PydanticAI", "framework"},
        {"tavrix.smolagents.", "SmolAgents", "framework"},
        {"tavrix.letta.", "Letta", "framework"},
    };
    ref table = check(PyDict_New());
    for (const row& r : rows) {
        ref prefix = intern(r.prefix);
        ref pair = check(Py_BuildValue("(NN)", intern(r.name).release(), intern(r.category).release()));
        check_status(PyDict_SetItem(table.get(), prefix.get(), pair.get()));
    }
    return table;
}

namespace {

// Where the rules put the pairs they find: the module function's new list,
// or the processor's pairs, handed over without a list (at most 8: two from
// the provider rule and one from each other rule, or the prefix scan's one).
class pair_sink {
public:
    explicit pair_sink(PyObject* list) : list_(list) {}
    pair_sink() = default;

    void add(PyObject* name, PyObject* category) {
        if (list_ != nullptr) {
            ref pair = check(PyTuple_Pack(2, name, category));
            append(list_, pair.get());
            return;
        }
        names_[count_] = ref::new_ref(name);
        categories_[count_++] = ref::new_ref(category);
    }
    // A pair of the prefix table, which the list holds as it is.
    void add_pair(PyObject* pair) {
        if (list_ != nullptr) return append(list_, pair);
        add(PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1));
    }
    [[nodiscard]] bool empty() const { return list_ != nullptr ? PyList_GET_SIZE(list_) == 0 : count_ == 0; }

    template <class Record>
    void each(Record&& record) const {
        for (int i = 0; i < count_; ++i) record(names_[i].get(), categories_[i].get());
    }

private:
    PyObject* list_ = nullptr;
    ref names_[8], categories_[8];
    int count_ = 0;
};

void append_pair(pair_sink& sink, PyObject* name, PyObject* category) { sink.add(name, category); }

// An entry of the prefix table as a (name, category) pair: the entry itself
// when it is one, else a new pair of its two values.
ref table_pair(PyObject* entry) {
    if (PyTuple_CheckExact(entry) && PyTuple_GET_SIZE(entry) == 2) [[likely]]
        return ref::new_ref(entry);
    auto [name, category] = unpack<2>(entry);
    return check(PyTuple_Pack(2, name.get(), category.get()));
}

// The pair of the first prefix of `_ATTR_PREFIX_INTEGRATIONS` that `key`
// starts with, appended; tells whether there was one.
bool append_prefix_match(const module_view& m, pair_sink& list, PyObject* key) {
    const auto& st = state_of(m);
    ref table = global(m, st.ATTR_PREFIX_INTEGRATIONS.get());
    auto try_entry = [&](PyObject* prefix, PyObject* entry) {
        // Every entry is unpacked as the loop reaches it, matching or not.
        ref pair = table_pair(entry);
        if (!starts_with(st, key, prefix)) return false;
        list.add_pair(pair.get());
        return true;
    };
    if (PyDict_CheckExact(table.get())) [[likely]]
        return any_item(table.get(), try_entry);
    ref items = call_method(table.get(), st.items.get());
    return any_of(items.get(), [&](PyObject* item) {
        auto [prefix, entry] = unpack<2>(item);
        return try_entry(prefix.get(), entry.get());
    });
}

// What the rules read of the attributes, `attrs.get(key)` for each of their
// keys. When every key of `attrs` is an exact str, the attributes are
// indexed (the processor's copy already is, `index`): one pass finds every key by
// its text, as lookups would (a str key meets only str keys, so no Python
// code runs); once Python code may have run, the rules read by lookups
// again.
class rule_reader {
public:
    rule_reader(const spanbridge_state& st, PyObject* attrs, const attribute_index* index)
        : st_(st), attrs_(attrs), index_(index) {
        if (index_ == nullptr && own_index_.build(attrs)) index_ = &own_index_;
    }

    // `attrs.get(<key>)`
    ref get(attr_key key) {
        if (index_ != nullptr) {
            PyObject* const value = index_->value(key);
            return ref::new_ref(value != nullptr ? value : Py_None);
        }
        return get_or_none(attrs_, key_object(st_, key));
    }

    // `if value:`, noting a truth test that may run Python code.
    bool test(PyObject* value) {
        if (!truth_runs_no_code(value)) index_ = nullptr;
        return truthy(value);
    }

    // Python code may have run: the attributes may have changed.
    void may_have_changed() { index_ = nullptr; }

    // Whether the attributes, unchanged since they were indexed, have no key
    // of the SDK's own ("tavrix.").
    [[nodiscard]] bool no_own_key() const { return index_ != nullptr && !index_->own_key(); }

    // Whether the attributes, unchanged since they were indexed, have none
    // of the keys the rules read: every rule but the provider's reads a key
    // of the SDK's own, and finds nothing where its key is absent.
    [[nodiscard]] bool no_rule_key() const {
        return no_own_key() && index_->value(attr_key::gen_ai_provider_name) == nullptr;
    }

private:
    const spanbridge_state& st_;
    PyObject* attrs_;
    const attribute_index* index_;  // of `attrs`, while nothing can have changed it
    attribute_index own_index_;
};

// The rules, putting what they find into `list`; true when no Python code
// can have run (nothing was found, and only exact types were read). `index`
// is that of `attrs`, or null.
bool collect_integrations(const module_view& m, PyObject* attrs, const attribute_index* index, pair_sink& list) {
    const auto& st = state_of(m);
    rule_reader read(st, attrs, index);
    // Neither a rule nor the scan of the SDK's keys can find anything.
    if (read.no_rule_key()) return true;
    // A display name or provider from the module's own function runs no
    // Python code; anything bound in its place may.
    const function_def* called = nullptr;
    auto named = [&](PyObject* raw) {
        ref name = display_name(m, raw, &called);
        if (called != &display_name_def) read.may_have_changed();
        return name;
    };

    ref provider = read.get(attr_key::gen_ai_provider_name);
    if (read.test(provider.get())) {
        ref lowered = text_lower(st, provider.get());
        if (!PyUnicode_CheckExact(provider.get())) read.may_have_changed();
        ref frameworks = global(m, st.FRAMEWORK_PROVIDERS.get());
        if (frameworks.get() != st.own_framework_providers.get()) read.may_have_changed();
        if (contains(frameworks.get(), lowered.get())) {
            ref name = named(provider.get());
            append_pair(list, name.get(), st.framework.get());
            // `attrs.get("tavrix.llm.model") or attrs.get("gen_ai.request.model")`
            ref model = read.get(attr_key::tavrix_llm_model);
            if (!read.test(model.get())) model = read.get(attr_key::gen_ai_request_model);
            if (read.test(model.get())) {
                ref derived = derive_llm_provider(m, model.get(), &called);
                if (called != &derive_llm_provider_def) read.may_have_changed();
                if (read.test(derived.get())) append_pair(list, derived.get(), st.llm.get());
            }
        } else {
            ref name = named(provider.get());
            append_pair(list, name.get(), st.llm.get());
        }
    }

    ref framework = read.get(attr_key::tavrix_framework);
    if (read.test(framework.get())) {
        ref name = named(framework.get());
        append_pair(list, name.get(), st.framework.get());
    }

    ref source = read.get(attr_key::tavrix_retrieval_source);
    if (!read.test(source.get())) source = read.get(attr_key::tavrix_retrieval_collection);
    if (read.test(source.get())) {
        ref name = named(source.get());
        append_pair(list, name.get(), st.retrieval.get());
    }

    // Embedding models and guardrails are named by their own values.
    ref embedding_model = read.get(attr_key::tavrix_embedding_model);
    if (read.test(embedding_model.get())) append_pair(list, embedding_model.get(), st.embedding.get());

    ref guardrail = read.get(attr_key::tavrix_guardrail_name);
    if (read.test(guardrail.get())) {
        append_pair(list, guardrail.get(), st.safety.get());
    } else {
        ref flagged = read.get(attr_key::tavrix_moderation_flagged);
        if (flagged.get() != Py_None) append_pair(list, st.openai_moderation.get(), st.safety.get());
    }

    ref eval_framework = read.get(attr_key::tavrix_eval_framework);
    if (read.test(eval_framework.get())) {
        ref name = named(eval_framework.get());
        append_pair(list, name.get(), st.eval.get());
    }

    ref rerank = read.get(attr_key::tavrix_rerank_system);
    if (read.test(rerank.get())) {
        ref name = named(rerank.get());
        append_pair(list, name.get(), st.reranking.get());
    }

    if (!list.empty()) return false;
    if (read.no_own_key()) return true;

    // Only the SDK's own keys can name an instrumentor; foreign keys cost one
    // prefix test each, and the first key that matches ends the scan.
    any_item(attrs, [&](PyObject* key, PyObject*) {
        if (!PyUnicode_Check(key) || !starts_with(st, key, st.tavrix_prefix.get())) return false;
        return append_prefix_match(m, list, key);
    });
    return false;
}

ref extract_integrations_from_attrs_impl(const module_view& m, PyObject* const* args) {
    ref found = new_list();
    pair_sink list(found.get());
    collect_integrations(m, args[0], nullptr, list);
    return found;
}

constexpr param attrs_param[] = {
    {.name = "attrs", .type = arg_type::dict, .annotation = "dict"},
};

}  // namespace

const function_def extract_integrations_from_attrs_def{
    .name = "_extract_integrations_from_attrs",
    .doc = "The integrations a span's attributes reveal, as a new list of\n"
           "(display name, category) pairs in the order found, repeats included.\n\n"
           "A fixed set of keys is read first; only when none of them names an\n"
           "integration are the keys scanned for a prefix of _ATTR_PREFIX_INTEGRATIONS,\n"
           "and the first key that matches gives the one pair.",
    .params = attrs_param,
    .return_annotation = "list[tuple[str, str]]",
    .impl = extract_integrations_from_attrs_impl,
};

ref extract_integrations_from_attrs(const module_view& m, PyObject* attrs, const function_def** called) {
    return call_global(m, state_of(m).extract_integrations_from_attrs.get(), {attrs}, called);
}

bool each_integration(const module_view& m, PyObject* attrs, copy_facts facts, const integration_visitor& visit,
                      bool* quiet) {
    const auto& st = state_of(m);
    // The wrapper's lookup; the module's own function runs here, counted as
    // a call is, and hands over its pairs as they would be unpacked.
    ref extractor = global(m, st.extract_integrations_from_attrs.get());
    PyObject* const function_type = base_of(m).function_type.get();
    if (definition_of(function_type, extractor.get()) == &extract_integrations_from_attrs_def) {
        pair_sink pairs;
        bool found_nothing_quietly = false;
        {
            nesting_guard depth(" while calling a Python object");
            found_nothing_quietly = collect_integrations(m, attrs, facts.index_of(attrs), pairs);
        }
        if (quiet != nullptr) *quiet = found_nothing_quietly;
        pairs.each([&](PyObject* name, PyObject* category) { visit(name, category); });
        return true;
    }
    if (quiet != nullptr) *quiet = false;
    ref integrations = call(function_type, extractor.get(), {attrs});
    for_each(integrations.get(), [&](PyObject* pair) {
        auto [name, category] = unpack<2>(pair);
        visit(name.get(), category.get());
    });
    return false;
}

}  // namespace tavrix::spanbridge
