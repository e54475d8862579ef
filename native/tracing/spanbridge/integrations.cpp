// The integrations a span reveals (LLM providers, frameworks, retrieval
// sources, embedding models, guardrails, evaluation frameworks, rerankers,
// speech services): `_extract_integrations_from_attrs` and its tables.
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

void append_pair(PyObject* list, PyObject* name, PyObject* category) {
    ref pair = check(PyTuple_Pack(2, name, category));
    append(list, pair.get());
}

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
bool append_prefix_match(const module_view& m, PyObject* list, PyObject* key) {
    const auto& st = state_of(m);
    ref table = global(m, st.ATTR_PREFIX_INTEGRATIONS.get());
    auto try_entry = [&](PyObject* prefix, PyObject* entry) {
        // Every entry is unpacked as the loop reaches it, matching or not.
        ref pair = table_pair(entry);
        if (!starts_with(st, key, prefix)) return false;
        append(list, pair.get());
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

ref extract_integrations_from_attrs_impl(const module_view& m, PyObject* const* args) {
    const auto& st = state_of(m);
    PyObject* const attrs = args[0];
    ref found = new_list();
    PyObject* const list = found.get();

    ref provider = get_or_none(attrs, st.gen_ai_provider_name.get());
    if (truthy(provider.get())) {
        ref lowered = text_lower(st, provider.get());
        ref frameworks = global(m, st.FRAMEWORK_PROVIDERS.get());
        if (contains(frameworks.get(), lowered.get())) {
            ref name = display_name(m, provider.get());
            append_pair(list, name.get(), st.framework.get());
            ref model = first_true(attrs, {st.tavrix_llm_model.get(), st.gen_ai_request_model.get()}, Py_None);
            if (truthy(model.get())) {
                ref derived = derive_llm_provider(m, model.get());
                if (truthy(derived.get())) append_pair(list, derived.get(), st.llm.get());
            }
        } else {
            ref name = display_name(m, provider.get());
            append_pair(list, name.get(), st.llm.get());
        }
    }

    ref framework = get_or_none(attrs, st.tavrix_framework.get());
    if (truthy(framework.get())) {
        ref name = display_name(m, framework.get());
        append_pair(list, name.get(), st.framework.get());
    }

    ref source = first_true(attrs, {st.tavrix_retrieval_source.get(), st.tavrix_retrieval_collection.get()}, Py_None);
    if (truthy(source.get())) {
        ref name = display_name(m, source.get());
        append_pair(list, name.get(), st.retrieval.get());
    }

    // Embedding models and guardrails are named by their own values.
    ref embedding_model = get_or_none(attrs, st.tavrix_embedding_model.get());
    if (truthy(embedding_model.get())) append_pair(list, embedding_model.get(), st.embedding.get());

    ref guardrail = get_or_none(attrs, st.tavrix_guardrail_name.get());
    if (truthy(guardrail.get())) {
        append_pair(list, guardrail.get(), st.safety.get());
    } else {
        ref flagged = get_or_none(attrs, st.tavrix_moderation_flagged.get());
        if (flagged.get() != Py_None) append_pair(list, st.openai_moderation.get(), st.safety.get());
    }

    ref eval_framework = get_or_none(attrs, st.tavrix_eval_framework.get());
    if (truthy(eval_framework.get())) {
        ref name = display_name(m, eval_framework.get());
        append_pair(list, name.get(), st.eval.get());
    }

    ref rerank_system = get_or_none(attrs, st.tavrix_rerank_system.get());
    if (truthy(rerank_system.get())) {
        ref name = display_name(m, rerank_system.get());
        append_pair(list, name.get(), st.reranking.get());
    }

    if (PyList_GET_SIZE(list) != 0) return found;

    // Only the SDK's own keys can name an instrumentor; foreign keys cost one
    // prefix test each, and the first key that matches ends the scan.
    any_item(attrs, [&](PyObject* key, PyObject*) {
        if (!PyUnicode_Check(key) || !starts_with(st, key, st.tavrix_prefix.get())) return false;
        return append_prefix_match(m, list, key);
    });
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

}  // namespace tavrix::spanbridge
