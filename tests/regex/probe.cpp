// A test-only extension module over the regular-expression engine, built
// by the tests: compiles an re.Pattern with the engine and answers search,
// substitution and scan questions, so that they can be compared with `re`
// directly.
#include <memory>

#include "../../native/regex/engine.hpp"
#include "../../native/support/values.hpp"
#include "../../native/regex/front_end.hpp"
#include "../../native/regex/table_scan.hpp"

using namespace tavrix;
using namespace tavrix::regex;

namespace {

[[noreturn]] void raise_type(const char* usage) {
    PyErr_SetString(PyExc_TypeError, usage);
    throw_error();
}

ref pattern_type() {
    ref re = check(PyImport_ImportModule("re"));
    return check(PyObject_GetAttrString(re.get(), "Pattern"));
}

// Whether the probe's programs try backtracking first whatever their size
// (the differential tests run both ways): plain C++ state of this
// test-only module, set by backtrack_first(flag).
bool force_backtracking = false;

std::shared_ptr<const program> program_of(PyObject* pattern) {
    ref type = pattern_type();
    front_end_result r = compile_pattern(type.get(), pattern);
    if (!r.prog) {
        PyErr_Format(PyExc_ValueError, "refused: %s", r.refusal.c_str());
        throw_error();
    }
    if (!force_backtracking) return r.prog;
    auto copy = std::make_shared<program>(*r.prog);
    copy->backtracks_first = true;
    return copy;
}

PyObject* backtrack_first(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry_point([&] {
        if (nargs != 1) raise_type("backtrack_first(flag)");
        force_backtracking = PyObject_IsTrue(args[0]) == 1;
        return none();
    });
}

ref span_or_none(const std::optional<match_span>& span) {
    if (!span) return none();
    return check(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(span->start), static_cast<Py_ssize_t>(span->end)));
}

PyObject* refusal(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry_point([&] {
        if (nargs != 1) raise_type("refusal(pattern)");
        ref type = pattern_type();
        front_end_result r = compile_pattern(type.get(), args[0]);
        if (r.prog) return none();
        return check(PyUnicode_FromString(r.refusal.c_str()));
    });
}

PyObject* filter_kind(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry_point([&] {
        if (nargs != 1) raise_type("filter_kind(pattern)");
        auto prog = program_of(args[0]);
        static constexpr const char* names[] = {"anywhere", "anchored", "prefix", "gate"};
        return check(PyUnicode_FromString(names[static_cast<int>(prog->filter.type)]));
    });
}

// The strategy the program's searches take, as its listing names it.
PyObject* strategy_of(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry_point([&] {
        if (nargs != 1) raise_type("strategy(pattern)");
        auto prog = program_of(args[0]);
        return check(PyUnicode_FromString(strategy_name(*prog)));
    });
}

// The literals every match contains, folded, and where matches start from
// them: ([literal, ...], lead_min, lead_max or None), or None.
PyObject* literals(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry_point([&] {
        if (nargs != 1) raise_type("literals(pattern)");
        auto prog = program_of(args[0]);
        const required_literals& r = prog->literal;
        if (!r.known()) return none();
        ref strings = check(PyList_New(0));
        for (const literal& l : r.strings) {
            std::string text;
            for (const literal_position& p : l) text += static_cast<char>(p.fold);
            ref item = check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
            check_status(PyList_Append(strings.get(), item.get()));
        }
        ref lead_max = r.lead_max == unbounded ? none() : check(PyLong_FromUnsignedLong(r.lead_max));
        return check(Py_BuildValue("(OkO)", strings.get(), static_cast<unsigned long>(r.lead_min), lead_max.get()));
    });
}

PyObject* search_span(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry_point([&] {
        if (nargs < 2 || nargs > 4 || !PyUnicode_CheckExact(args[1])) raise_type("search(pattern, text, pos=0, must_advance=False)");
        auto prog = program_of(args[0]);
        Py_ssize_t pos = 0;
        if (nargs > 2) {
            pos = PyLong_AsSsize_t(args[2]);
            if (pos == -1 && PyErr_Occurred()) throw_error();
        }
        const bool must_advance = nargs > 3 && PyObject_IsTrue(args[3]) == 1;
        return span_or_none(search(*prog, args[1], signal_thread{}, static_cast<std::size_t>(pos), must_advance));
    });
}

PyObject* exists_in(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry_point([&] {
        if (nargs != 2 || !PyUnicode_CheckExact(args[1])) raise_type("exists(pattern, text)");
        auto prog = program_of(args[0]);
        return boolean(exists(*prog, args[1], signal_thread{}));
    });
}

PyObject* substitute_all(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry_point([&] {
        if (nargs != 3 || !PyUnicode_CheckExact(args[1]) || !PyUnicode_CheckExact(args[2]))
            raise_type("sub(pattern, repl, text)");
        auto prog = program_of(args[0]);
        return substitute(*prog, args[1], args[2], signal_thread{});
    });
}

// non_members(pattern) -> the code points, in order, that the class of a
// one-character pattern does not contain (what re's `sub('', every code
// point)` leaves).
PyObject* non_members(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry_point([&] {
        if (nargs != 1) raise_type("non_members(pattern)");
        auto prog = program_of(args[0]);
        if (prog->classes.size() != 1) raise_type("non_members needs a one-character pattern");
        const char_class& cls = prog->classes[0];
        std::vector<Py_UCS4> out;
        for (code_point c = 0; c < 0x110000; ++c)
            if (!cls.contains(c)) out.push_back(c);
        return check(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(), static_cast<Py_ssize_t>(out.size())));
    });
}

std::vector<std::shared_ptr<const program>> programs_of(PyObject* patterns) {
    std::vector<std::shared_ptr<const program>> programs;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(patterns); ++i) programs.push_back(program_of(PyList_GET_ITEM(patterns, i)));
    return programs;
}

// The largest table scanned in grouped passes alone (a test lowers it so
// that small tables reach the literal pass).
std::size_t grouped_at_most(PyObject* const* args, Py_ssize_t nargs, Py_ssize_t at) {
    if (nargs <= at) return table_scanner::one_grouped_pass;
    const Py_ssize_t v = PyLong_AsSsize_t(args[at]);
    if (v == -1 && PyErr_Occurred()) throw_error();
    return static_cast<std::size_t>(v);
}

// scan(patterns, text, first, grouped_at_most=64) -> list of None / True /
// (start, end): the table scan over several patterns at once; with
// `first`, the leftmost match of each, otherwise only whether each matches.
PyObject* scan(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry_point([&] {
        if (nargs < 3 || nargs > 4 || !PyList_CheckExact(args[0]) || !PyUnicode_CheckExact(args[1]))
            raise_type("scan(patterns, text, first, grouped_at_most=64)");
        const bool first = PyObject_IsTrue(args[2]) == 1;
        table_scanner scanner(programs_of(args[0]), grouped_at_most(args, nargs, 3));
        std::vector<scan_result> results = scan_table(scanner, args[1], first ? scan_mode::first_match : scan_mode::exists, signal_thread{});
        ref out = check(PyList_New(0));
        for (const scan_result& r : results) {
            ref item = !r.found ? none() : first ? span_or_none(r.span) : boolean(true);
            check_status(PyList_Append(out.get(), item.get()));
        }
        return out;
    });
}

// redact(patterns, text, repl, grouped_at_most=64) -> (text, rescans):
// `for p in patterns: text = p.sub(repl, text)` as the guard's redaction
// does it: one substitution scan, each match substituted within its
// windows, and after each substitution a scan carrying over what the
// replacements cannot have changed. A pattern that tells only whether it
// matches is substituted by its own `sub`, after which the next scan
// starts afresh. `rescans` counts the scans that carried results over.
PyObject* redact(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry_point([&] {
        if (nargs < 3 || nargs > 4 || !PyList_CheckExact(args[0]) || !PyUnicode_CheckExact(args[1]) ||
            !PyUnicode_CheckExact(args[2]))
            raise_type("redact(patterns, text, repl, grouped_at_most=64)");
        table_scanner scanner(programs_of(args[0]), grouped_at_most(args, nargs, 3));
        ref text = ref::new_ref(args[1]);
        std::vector<scan_result> results;
        std::size_t scanned_first = 0;
        bool stale = true, carry = false;
        std::vector<match_span> changed, replaced;
        std::size_t rescans = 0;
        for (std::size_t i = 0; i < scanner.programs().size(); ++i) {
            if (stale) {
                const rescan_hint hint{&results, scanned_first, &changed, &replaced};
                rescans += carry;
                std::vector<scan_result> now = scan_table(scanner, text.get(), scan_mode::substitution,
                                                          signal_thread{}, i, carry ? &hint : nullptr);
                results = std::move(now);
                scanned_first = i;
                stale = false;
            }
            const scan_result& r = results[i];
            if (!r.found) continue;
            const program& prog = *scanner.programs()[i];
            changed.clear();
            replaced.clear();
            ref result = prog.exists_only
                             ? check(PyObject_CallMethod(PyList_GET_ITEM(args[0], static_cast<Py_ssize_t>(i)), "sub",
                                                         "OO", args[2], text.get()))
                             : substitute(prog, args[2], text.get(), signal_thread{}, r.floor, r.windows.get(),
                                          &changed, &replaced);
            if (result.get() == text.get()) continue;
            text = std::move(result);
            stale = true;
            carry = !prog.exists_only;
        }
        return check(Py_BuildValue("(On)", text.get(), static_cast<Py_ssize_t>(rescans)));
    });
}

// scanner(patterns) -> an opaque scanner, for timing the scan alone;
// scan_with(scanner, text, first) as scan().
void free_scanner(PyObject* capsule) {
    delete static_cast<table_scanner*>(PyCapsule_GetPointer(capsule, "regex_probe.scanner"));
}

PyObject* make_scanner(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry_point([&] {
        if (nargs != 1 || !PyList_CheckExact(args[0])) raise_type("scanner(patterns)");
        std::vector<std::shared_ptr<const program>> programs;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(args[0]); ++i) programs.push_back(program_of(PyList_GET_ITEM(args[0], i)));
        auto scanner = std::make_unique<table_scanner>(std::move(programs));
        ref capsule = check(PyCapsule_New(scanner.get(), "regex_probe.scanner", free_scanner));
        scanner.release();
        return capsule;
    });
}

PyObject* scan_with(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry_point([&] {
        if (nargs != 3 || !PyUnicode_CheckExact(args[1])) raise_type("scan_with(scanner, text, first)");
        auto* scanner = static_cast<table_scanner*>(PyCapsule_GetPointer(args[0], "regex_probe.scanner"));
        if (scanner == nullptr) throw_error();
        const bool first = PyObject_IsTrue(args[2]) == 1;
        std::vector<scan_result> results = scan_table(*scanner, args[1], first ? scan_mode::first_match : scan_mode::exists, signal_thread{});
        ref out = check(PyList_New(0));
        for (const scan_result& r : results) {
            ref item = !r.found ? none() : first ? span_or_none(r.span) : boolean(true);
            check_status(PyList_Append(out.get(), item.get()));
        }
        return out;
    });
}

// scanner_dump(patterns) -> the scanner's listing: each program's path.
PyObject* scanner_dump(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry_point([&] {
        if (nargs != 1 || !PyList_CheckExact(args[0])) raise_type("scanner_dump(patterns)");
        const std::string text = table_scanner(programs_of(args[0])).dump();
        return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    });
}

PyMethodDef methods[] = {
    {"scanner_dump", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(scanner_dump)), METH_FASTCALL, nullptr},
    {"non_members", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(non_members)), METH_FASTCALL, nullptr},
    {"scanner", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(make_scanner)), METH_FASTCALL, nullptr},
    {"scan_with", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(scan_with)), METH_FASTCALL, nullptr},
    {"refusal", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(refusal)), METH_FASTCALL, nullptr},
    {"filter_kind", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(filter_kind)), METH_FASTCALL, nullptr},
    {"search", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(search_span)), METH_FASTCALL, nullptr},
    {"strategy", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(strategy_of)), METH_FASTCALL, nullptr},
    {"literals", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(literals)), METH_FASTCALL, nullptr},
    {"backtrack_first", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(backtrack_first)), METH_FASTCALL,
     nullptr},
    {"exists", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(exists_in)), METH_FASTCALL, nullptr},
    {"sub", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(substitute_all)), METH_FASTCALL, nullptr},
    {"scan", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(scan)), METH_FASTCALL, nullptr},
    {"redact", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(redact)), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = {PyModuleDef_HEAD_INIT, "regex_probe", nullptr, 0, methods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_regex_probe(void) { return PyModule_Create(&definition); }
