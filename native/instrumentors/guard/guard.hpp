// tavrix_observe.instrumentors._guard: the client-side prompt guard.
#pragma once

#include "../../contract/collaborators.hpp"
#include "../../contract/run_context.hpp"
#include "../../support/code_guard.hpp"
#include "../../support/compat.hpp"
#include "../../support/errors.hpp"
#include "../../support/function.hpp"
#include "../../support/iterate.hpp"
#include "../../support/module.hpp"
#include "../../support/threads.hpp"
#include "../../support/unpack.hpp"
#include "../../support/values.hpp"

namespace tavrix::guard {

#define TAVRIX_GUARD_STRINGS(S)                                                     \
    TAVRIX_RUN_CONTEXT_STRINGS(S)                                                   \
    TAVRIX_COLLABORATOR_STRINGS(S)                                                  \
    /* module attributes, looked up at every use */                                 \
    S(logger, "logger")                                                             \
    S(enabled, "_enabled")                                                          \
    S(server_check, "_server_check")                                                \
    S(action_setting, "_action")                                                    \
    S(PII_PATTERNS, "_PII_PATTERNS")                                                \
    S(CREDENTIAL_PATTERNS, "_CREDENTIAL_PATTERNS")                                  \
    S(INJECTION_PATTERNS, "_INJECTION_PATTERNS")                                    \
    S(extract_text, "_extract_text")                                                \
    S(detect_pii, "_detect_pii")                                                    \
    S(detect_credentials, "_detect_credentials")                                    \
    S(detect_injection, "_detect_injection")                                        \
    S(redact_text, "_redact_text")                                                  \
    S(redact_messages, "_redact_messages")                                          \
    S(server_check_prompt, "_server_check_prompt")                                  \
    S(surface_gate_llm_before, "_surface_gate_llm_before")                          \
    S(ml_substitutions, "_ml_substitutions")                                        \
    S(apply_substitutions, "_apply_substitutions")                                  \
    S(redact_messages_ml, "_redact_messages_ml")                                    \
    /* actions and sources */                                                       \
    S(block, "block")                                                               \
    S(warn, "warn")                                                                 \
    S(redact, "redact")                                                             \
    S(allow, "allow")                                                               \
    S(local, "local")                                                               \
    S(both, "both")                                                                 \
    S(server, "server")                                                             \
    S(policy, "policy")                                                             \
    /* message shapes and server answers */                                         \
    S(content, "content")                                                           \
    S(type, "type")                                                                 \
    S(detail, "detail")                                                             \
    S(redacted_text, "redacted_text")                                               \
    /* methods */                                                                   \
    S(items, "items")                                                               \
    S(search, "search")                                                             \
    S(sub, "sub")                                                                   \
    S(group, "group")                                                               \
    S(strip, "strip")                                                               \
    S(replace, "replace")                                                           \
    S(backslash, "\\")                                                              \
    S(two_backslashes, "\\\\")                                                      \
    S(debug, "debug")                                                               \
    S(warning, "warning")                                                           \
    S(init, "__init__")                                                             \
    S(extend, "extend")                                                             \
    /* texts */                                                                     \
    S(empty, "")                                                                    \
    S(newline, "\n")                                                                \
    S(separator, "; ")                                                              \
    S(tag_mark, "##")                                                               \
    S(quote, "'")                                                                   \
    S(pii_prefix, "PII detected: ")                                                 \
    S(credential_prefix, "Credential detected: ")                                   \
    S(injection_prefix, "Prompt injection pattern: '")                              \
    S(server_prefix, "[server] ")                                                   \
    S(blocked_prefix, "Prompt blocked by guard: ")                                  \
    S(configured_message, "Prompt guard configured: enabled=%s server=%s action=%s") \
    S(warn_message, "Prompt guard violations (warn mode): %s")                      \
    S(server_failed_message, "Server-side prompt guard failed: %s")                 \
    /* the surface gate */                                                          \
    S(os, "os")                                                                     \
    S(environ, "environ")                                                           \
    S(gate_switch, "TAVRIX_SURFACE_GATE")                                           \
    S(off_zero, "0")                                                                \
    S(off_false, "false")                                                           \
    S(off_no, "no")                                                                 \
    S(off_off, "off")                                                               \
    S(llm_before, "llm.before")                                                     \
    S(blocked_by_policy, "blocked by governance policy")                            \
    S(redacted_by_policy, "redacted by policy")                                     \
    /* the server-redaction diff */                                                 \
    S(difflib, "difflib")                                                           \
    S(sequence_matcher, "SequenceMatcher")                                          \
    S(autojunk, "autojunk")                                                         \
    S(get_opcodes, "get_opcodes")                                                   \
    S(match_class_name, "Match")                                                    \
    S(delete_tag, "delete")                                                         \
    S(insert_tag, "insert")                                                         \
    S(equal_tag, "equal")                                                           \
    /* PromptGuardError */                                                          \
    S(result_attr, "result")

#define TAVRIX_GUARD_OBJECTS(O) \
    TAVRIX_COLLABORATOR_OBJECTS(O) \
    O(error_class)              \
    O(autojunk_kwnames)         \
    O(first_five)               \
    /* the engine's programs of the tables' patterns (pattern_matching.cpp) */ \
    O(regex_cache)

// Changed only with the GIL held: `regex_cache` at every scan (its entries
// and their recency order), the import sites at call time, the rest at
// module creation. The scans and the replay diff release the GIL over what
// they own for the call, never over the state.
struct guard_state : state_base {
    TAVRIX_MODULE_STATE(TAVRIX_GUARD_STRINGS, TAVRIX_GUARD_OBJECTS)
    // difflib's SequenceMatcher as imported with the module, and the guard
    // of the native diff that stands for it (ml_redaction.cpp); lent by
    // `guarded_code`.
    PyObject* matcher_class = nullptr;
    code_guard matcher_guard;
    // The thread whose long native work stops for signal handlers
    // (support/threads.hpp); set at module creation, never changed.
    signal_thread signals;
};

inline const guard_state& state_of(const module_view& m) { return m.get<guard_state>(); }

// --- walks over tables and messages, shared by the files of the module --

// `for key, value in table.items(): body(key, value)`: exact dicts are
// walked directly (a change of size raises RuntimeError), other mappings
// through their `items()`.
template <class Body>
void for_each_pair(const guard_state& st, PyObject* table, Body&& body) {
    if (PyDict_CheckExact(table)) [[likely]]
        return for_each_item(table, body);
    ref items = call_method(table, st.items.get());
    for_each(items.get(), [&](PyObject* item) {
        auto [key, value] = unpack<2, unpack_wording::compact>(item);
        body(key.get(), value.get());
    });
}

// A new plain dict with the items of a text block and "text" replaced:
// {**block, "text": rewrite(block.get("text", ""))}.
template <class Rewrite>
ref rewrite_block(const guard_state& st, PyObject* block, Rewrite&& rewrite) {
    ref copy = check(PyDict_New());
    check_status(PyDict_Update(copy.get(), block));
    ref text = mapping_get(st, block, st.text.get(), st.empty.get());
    ref rewritten = rewrite(text.get());
    check_status(PyDict_SetItem(copy.get(), st.text.get(), rewritten.get()));
    return copy;
}

// The messages with every text rewritten, on copies: each dict message is
// copied, its str content replaced by rewrite(content) (a message without
// content gains ""), its block list by a new list in which text blocks are
// new dicts with rewrite(text); non-dict messages, other blocks and other
// content are shared with the input.
template <class Rewrite>
ref rewrite_messages(const guard_state& st, PyObject* messages, Rewrite&& rewrite) {
    ref rewritten = new_list();
    for_each(messages, [&](PyObject* msg) {
        if (!PyDict_Check(msg)) return append(rewritten.get(), msg);
        ref copy = dict_of(msg);
        ref content = mapping_get(st, copy.get(), st.content.get(), st.empty.get());
        if (PyUnicode_Check(content.get())) {
            ref text = rewrite(content.get());
            check_status(PyDict_SetItem(copy.get(), st.content.get(), text.get()));
        } else if (PyList_Check(content.get())) {
            ref blocks = new_list();
            for_each(content.get(), [&](PyObject* block) {
                if (PyDict_Check(block)) {
                    ref type = mapping_get(st, block, st.type.get(), nullptr);
                    if (equals(type.get(), st.text.get())) {
                        ref new_block = rewrite_block(st, block, rewrite);
                        return append(blocks.get(), new_block.get());
                    }
                }
                append(blocks.get(), block);
            });
            check_status(PyDict_SetItem(copy.get(), st.content.get(), blocks.get()));
        }
        append(rewritten.get(), copy.get());
    });
    return rewritten;
}

// --- the module's functions ----------------------------------------------
//
// Each is declared by `<name>_def`, in the file of its concern. A function
// that another one calls also has a typed wrapper `<name>(m, ...)`, which
// calls whatever the module attribute `_<name>` holds (see call_global).

extern const function_def configure_def;     // module.cpp
extern const function_def check_prompt_def;  // check_prompt.cpp
extern const function_def error_init_def;    // check_prompt.cpp, PromptGuardError.__init__

// detectors.cpp
extern const function_def extract_text_def;
[[nodiscard]] ref extract_text(const module_view& m, PyObject* messages, PyObject* system);
extern const function_def detect_pii_def;
[[nodiscard]] ref detect_pii(const module_view& m, PyObject* text);
extern const function_def detect_credentials_def;
[[nodiscard]] ref detect_credentials(const module_view& m, PyObject* text);
extern const function_def detect_injection_def;
[[nodiscard]] ref detect_injection(const module_view& m, PyObject* text);

// redaction.cpp
extern const function_def redact_text_def;
[[nodiscard]] ref redact_text(const module_view& m, PyObject* text);
extern const function_def redact_messages_def;
[[nodiscard]] ref redact_messages(const module_view& m, PyObject* messages, PyObject* system);

// server_check.cpp
extern const function_def server_check_prompt_def;
[[nodiscard]] ref server_check_prompt(const module_view& m, PyObject* text, PyObject* model);

// surface_gate.cpp
extern const function_def surface_gate_llm_before_def;
[[nodiscard]] ref surface_gate_llm_before(const module_view& m, PyObject* messages, PyObject* model,
                                          PyObject* system);

// ml_redaction.cpp
extern const function_def ml_substitutions_def;
[[nodiscard]] ref ml_substitutions(const module_view& m, PyObject* original, PyObject* redacted);
extern const function_def apply_substitutions_def;
[[nodiscard]] ref apply_substitutions(const module_view& m, PyObject* text, PyObject* pairs);
extern const function_def redact_messages_ml_def;
[[nodiscard]] ref redact_messages_ml(const module_view& m, PyObject* messages, PyObject* system, PyObject* pairs);
extern const function_def token_opcodes_def;  // called by no other function

// Keeps difflib's SequenceMatcher as it is when the module is created, so
// that the diff can tell the genuine class from a replaced or modified one.
void capture_sequence_matcher(guard_state& st);

// The pattern tables, compiled with the interpreter's re (detectors.cpp).
[[nodiscard]] ref build_pii_patterns(PyObject* re);
[[nodiscard]] ref build_credential_patterns(PyObject* re);
[[nodiscard]] ref build_injection_patterns(PyObject* re);

}  // namespace tavrix::guard
