#include "front_end.hpp"

#include <map>
#include <optional>
#include <vector>

#include "../support/recursion.hpp"

namespace tavrix::regex {

namespace {

// What the engine knows of the interpreter's opcodes, by name (their
// numbers differ between interpreter versions).
enum class sre_op : std::uint8_t {
    unknown, failure, any, any_all, at, branch, category, charset, bigcharset, in, in_ignore,
    in_uni_ignore, literal, literal_ignore, literal_uni_ignore, not_literal, not_literal_ignore,
    not_literal_uni_ignore, negate, range, range_uni_ignore, subpattern, max_repeat, min_repeat,
};

constexpr std::pair<const char*, sre_op> op_names[] = {
    {"FAILURE", sre_op::failure},
    {"ANY", sre_op::any},
    {"ANY_ALL", sre_op::any_all},
    {"AT", sre_op::at},
    {"BRANCH", sre_op::branch},
    {"CATEGORY", sre_op::category},
    {"CHARSET", sre_op::charset},
    {"BIGCHARSET", sre_op::bigcharset},
    {"IN", sre_op::in},
    {"IN_IGNORE", sre_op::in_ignore},
    {"IN_UNI_IGNORE", sre_op::in_uni_ignore},
    {"LITERAL", sre_op::literal},
    {"LITERAL_IGNORE", sre_op::literal_ignore},
    {"LITERAL_UNI_IGNORE", sre_op::literal_uni_ignore},
    {"NOT_LITERAL", sre_op::not_literal},
    {"NOT_LITERAL_IGNORE", sre_op::not_literal_ignore},
    {"NOT_LITERAL_UNI_IGNORE", sre_op::not_literal_uni_ignore},
    {"NEGATE", sre_op::negate},
    {"RANGE", sre_op::range},
    {"RANGE_UNI_IGNORE", sre_op::range_uni_ignore},
    {"SUBPATTERN", sre_op::subpattern},
    {"MAX_REPEAT", sre_op::max_repeat},
    {"MIN_REPEAT", sre_op::min_repeat},
};

constexpr std::pair<const char*, assertion> at_names[] = {
    {"AT_BEGINNING", assertion::beginning},
    {"AT_BEGINNING_STRING", assertion::beginning},
    {"AT_BEGINNING_LINE", assertion::beginning_line},
    {"AT_END", assertion::end},
    {"AT_END_LINE", assertion::end_line},
    {"AT_END_STRING", assertion::end_string},
    {"AT_BOUNDARY", assertion::boundary},
    {"AT_NON_BOUNDARY", assertion::non_boundary},
    {"AT_UNI_BOUNDARY", assertion::uni_boundary},
    {"AT_UNI_NON_BOUNDARY", assertion::uni_non_boundary},
};

constexpr std::pair<const char*, category> category_names[] = {
    {"CATEGORY_DIGIT", category::digit},
    {"CATEGORY_NOT_DIGIT", category::not_digit},
    {"CATEGORY_SPACE", category::space},
    {"CATEGORY_NOT_SPACE", category::not_space},
    {"CATEGORY_WORD", category::word},
    {"CATEGORY_NOT_WORD", category::not_word},
    {"CATEGORY_LINEBREAK", category::linebreak},
    {"CATEGORY_NOT_LINEBREAK", category::not_linebreak},
    {"CATEGORY_UNI_DIGIT", category::uni_digit},
    {"CATEGORY_UNI_NOT_DIGIT", category::uni_not_digit},
    {"CATEGORY_UNI_SPACE", category::uni_space},
    {"CATEGORY_UNI_NOT_SPACE", category::uni_not_space},
    {"CATEGORY_UNI_WORD", category::uni_word},
    {"CATEGORY_UNI_NOT_WORD", category::uni_not_word},
    {"CATEGORY_UNI_LINEBREAK", category::uni_linebreak},
    {"CATEGORY_UNI_NOT_LINEBREAK", category::uni_not_linebreak},
};

// A pattern outside what the engine runs; carries the reason.
struct refused {
    std::string why;
};

// Deeper nesting than this is left to the interpreter (and the native
// recursion guard stops a walk long before the C stack would run out).
constexpr int max_depth = 100;
constexpr unsigned long max_code = 0xFFFFFFFFul;

ref attr(PyObject* obj, const char* name) { return check(PyObject_GetAttrString(obj, name)); }

std::string text_of(PyObject* value) {
    ref text = check(PyObject_Str(value));
    const char* utf8 = PyUnicode_AsUTF8(text.get());
    if (utf8 == nullptr) throw_error();
    return utf8;
}

long as_long(PyObject* value) {
    if (!PyLong_Check(value)) throw refused{"an unexpected value in the parse"};
    const long v = PyLong_AsLong(value);
    if (v == -1 && PyErr_Occurred()) throw_error();
    return v;
}

std::uint32_t as_code(PyObject* value) {
    if (!PyLong_Check(value)) throw refused{"an unexpected value in the compiled code"};
    const unsigned long v = PyLong_AsUnsignedLong(value);
    if (v == static_cast<unsigned long>(-1) && PyErr_Occurred()) throw_error();
    if (v > max_code) throw refused{"a code word out of range"};
    return static_cast<std::uint32_t>(v);
}

}  // namespace

// The interpreter's vocabulary for this run: opcode, at-code and category
// numbers, the flags, and the two compiler functions used per item.
class vocabulary {
public:
    vocabulary() {
        ref constants = check(PyImport_ImportModule("re._constants"));
        ref compiler = check(PyImport_ImportModule("re._compiler"));
        parser_ = check(PyImport_ImportModule("re._parser"));
        compile_ = attr(compiler.get(), "_compile");
        compile_info_ = attr(compiler.get(), "_compile_info");
        combine_flags_ = attr(compiler.get(), "_combine_flags");
        type_flags_ = as_long(attr(parser_.get(), "TYPE_FLAGS").get());
        info_charset_ = as_long(attr(constants.get(), "SRE_INFO_CHARSET").get());
        maxrepeat_ = as_long(attr(constants.get(), "MAXREPEAT").get());
        read_names(constants.get(), op_names, ops_);
        read_names(constants.get(), at_names, ats_);
        read_names(constants.get(), category_names, categories_);
        ignorecase_ = as_long(attr(constants.get(), "SRE_FLAG_IGNORECASE").get());
        for (const char* name : {"SRE_FLAG_IGNORECASE", "SRE_FLAG_MULTILINE", "SRE_FLAG_DOTALL", "SRE_FLAG_UNICODE",
                                 "SRE_FLAG_VERBOSE", "SRE_FLAG_DEBUG", "SRE_FLAG_ASCII"})
            supported_flags_ |= as_long(attr(constants.get(), name).get());
    }

    [[nodiscard]] PyObject* parser() const noexcept { return parser_.get(); }
    [[nodiscard]] long maxrepeat() const noexcept { return maxrepeat_; }
    [[nodiscard]] bool flags_supported(long flags) const noexcept { return (flags & ~supported_flags_) == 0; }

    [[nodiscard]] long type_flags() const noexcept { return type_flags_; }
    [[nodiscard]] bool ignores_case(long flags) const noexcept { return (flags & ignorecase_) != 0; }
    [[nodiscard]] long info_charset() const noexcept { return info_charset_; }
    [[nodiscard]] long code_of(sre_op wanted) const {
        for (const auto& [code, op] : ops_)
            if (op == wanted) return code;
        throw refused{"an opcode the interpreter lacks"};
    }

    // `_compile_info(code, parsed, flags)`: the information block re puts
    // before a pattern's code.
    [[nodiscard]] ref compile_info(PyObject* parsed, long flags) const {
        ref code = check(PyList_New(0));
        ref flag_value = check(PyLong_FromLong(flags));
        PyObject* args[] = {code.get(), parsed, flag_value.get()};
        ref ignored = check(PyObject_Vectorcall(compile_info_.get(), args, 3, nullptr));
        return code;
    }

    [[nodiscard]] sre_op op(long code) const noexcept {
        const auto it = ops_.find(code);
        return it == ops_.end() ? sre_op::unknown : it->second;
    }
    [[nodiscard]] std::optional<assertion> at(long code) const {
        const auto it = ats_.find(code);
        if (it == ats_.end()) return std::nullopt;
        return it->second;
    }
    [[nodiscard]] std::optional<category> cat(long code) const {
        const auto it = categories_.find(code);
        if (it == categories_.end()) return std::nullopt;
        return it->second;
    }

    // `_compile(code, [item], flags)`: what the interpreter emits for one item.
    [[nodiscard]] ref compile_item(PyObject* item, long flags) const {
        ref code = check(PyList_New(0));
        ref items = check(PyList_New(1));
        PyList_SET_ITEM(items.get(), 0, ref::new_ref(item).release());
        ref flag_value = check(PyLong_FromLong(flags));
        PyObject* args[] = {code.get(), items.get(), flag_value.get()};
        ref ignored = check(PyObject_Vectorcall(compile_.get(), args, 3, nullptr));
        return code;
    }

    // The flags inside a group with inline flags.
    [[nodiscard]] long combine(long flags, PyObject* add, PyObject* del) const {
        ref flag_value = check(PyLong_FromLong(flags));
        PyObject* args[] = {flag_value.get(), add, del};
        ref combined = check(PyObject_Vectorcall(combine_flags_.get(), args, 3, nullptr));
        return as_long(combined.get());
    }

private:
    // The numbers of the named constants of `re._constants` this engine
    // knows (a name the interpreter lacks is simply never seen).
    template <class T, std::size_t N>
    static void read_names(PyObject* constants, const std::pair<const char*, T> (&names)[N], std::map<long, T>& out) {
        for (const auto& [name, value] : names) {
            ref constant = check(PyObject_GetAttrString(constants, name));
            out.emplace(as_long(constant.get()), value);
        }
    }

    ref parser_, compile_, compile_info_, combine_flags_;
    long maxrepeat_ = 0;
    long type_flags_ = 0;
    long info_charset_ = 0;
    long supported_flags_ = 0;
    long ignorecase_ = 0;
    std::map<long, sre_op> ops_;
    std::map<long, assertion> ats_;
    std::map<long, category> categories_;
};

namespace {

class reader {
public:
    explicit reader(const vocabulary& v) : v_(v) {}

    node read(PyObject* subpattern, long flags, int depth) {
        nesting_guard guard(" while reading a regular expression");
        if (depth > max_depth) throw refused{"the pattern nests too deeply"};
        ref data = PyList_Check(subpattern) ? ref::new_ref(subpattern) : attr(subpattern, "data");
        if (!PyList_CheckExact(data.get())) throw refused{"an unexpected parse shape"};
        std::vector<node> items;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(data.get()); ++i) {
            ref item = ref::new_ref(PyList_GET_ITEM(data.get(), i));
            items.push_back(read_item(item.get(), flags, depth));
        }
        if (items.size() == 1) return std::move(items[0]);
        return node::sequence(node::kind::concat, std::move(items));
    }

    std::vector<char_class> take_classes() { return std::move(classes_); }

    // re's search only starts where the first character is in the set of
    // its information block, a set compiled with the global flags even
    // when the first item sits in a group whose local flags choose ASCII
    // or Unicode otherwise; that set then becomes a class every start
    // must pass (see program::start_class); no_class when none is needed.
    std::uint32_t start_class(PyObject* parsed, long flags) {
        constexpr std::uint32_t none = no_class;
        long inner = flags;
        ref sub = ref::new_ref(parsed);
        for (;;) {
            ref data = attr(sub.get(), "data");
            if (!PyList_CheckExact(data.get()) || PyList_GET_SIZE(data.get()) == 0) return none;
            PyObject* first = PyList_GET_ITEM(data.get(), 0);
            if (!PyTuple_CheckExact(first) || PyTuple_GET_SIZE(first) != 2) return none;
            if (v_.op(as_long(PyTuple_GET_ITEM(first, 0))) != sre_op::subpattern) break;
            PyObject* av = PyTuple_GET_ITEM(first, 1);
            if (!PyTuple_Check(av) || PyTuple_GET_SIZE(av) != 4) return none;
            inner = v_.combine(inner, PyTuple_GET_ITEM(av, 1), PyTuple_GET_ITEM(av, 2));
            ref next = ref::new_ref(PyTuple_GET_ITEM(av, 3));
            sub = std::move(next);
        }
        if ((inner & v_.type_flags()) == (flags & v_.type_flags())) return none;
        // <INFO> <skip> <mask> <min> <max> <charset ... FAILURE>
        ref info = v_.compile_info(parsed, flags);
        std::vector<std::uint32_t> raw;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(info.get()); ++i) raw.push_back(as_code(PyList_GET_ITEM(info.get(), i)));
        if (raw.size() < 5 || !(raw[2] & static_cast<std::uint32_t>(v_.info_charset()))) return none;
        if (raw[1] + 1u != raw.size()) throw refused{"an unexpected information block"};
        std::vector<std::uint32_t> set{static_cast<std::uint32_t>(v_.code_of(sre_op::in)),
                                       static_cast<std::uint32_t>(raw.size() - 5 + 1)};
        set.insert(set.end(), raw.begin() + 5, raw.end());
        return add_class(translate(set));
    }

private:
    std::uint32_t add_class(std::vector<std::uint32_t> code) {
        const auto known = index_.find(code);
        if (known != index_.end()) return known->second;
        std::optional<char_class> cls = char_class::make(code);
        if (!cls) throw refused{"an unexpected character item"};
        const auto index = static_cast<std::uint32_t>(classes_.size());
        classes_.push_back(std::move(*cls));
        index_.emplace(std::move(code), index);
        return index;
    }

    node read_item(PyObject* item, long flags, int depth) {
        if (!PyTuple_CheckExact(item) || PyTuple_GET_SIZE(item) != 2) throw refused{"an unexpected parse shape"};
        PyObject* av = PyTuple_GET_ITEM(item, 1);
        switch (v_.op(as_long(PyTuple_GET_ITEM(item, 0)))) {
            case sre_op::literal:
            case sre_op::not_literal:
            case sre_op::in:
            case sre_op::any:
            case sre_op::category: return node::character(character_class(item, flags));
            case sre_op::at: return node::assert_at(assertion_of(item, flags));
            case sre_op::subpattern: {
                // (group, add_flags, del_flags, subpattern)
                if (!PyTuple_Check(av) || PyTuple_GET_SIZE(av) != 4) throw refused{"an unexpected group shape"};
                const long inner = v_.combine(flags, PyTuple_GET_ITEM(av, 1), PyTuple_GET_ITEM(av, 2));
                if (!v_.flags_supported(inner)) throw refused{"unsupported flags in a group"};
                return read(PyTuple_GET_ITEM(av, 3), inner, depth + 1);
            }
            case sre_op::branch: {
                // (None, [subpattern, ...])
                if (!PyTuple_Check(av) || PyTuple_GET_SIZE(av) != 2 || !PyList_Check(PyTuple_GET_ITEM(av, 1)))
                    throw refused{"an unexpected alternation shape"};
                ref branches = ref::new_ref(PyTuple_GET_ITEM(av, 1));
                std::vector<node> alternatives;
                for (Py_ssize_t i = 0; i < PyList_GET_SIZE(branches.get()); ++i) {
                    ref branch = ref::new_ref(PyList_GET_ITEM(branches.get(), i));
                    alternatives.push_back(read(branch.get(), flags, depth + 1));
                }
                return node::sequence(node::kind::alternate, std::move(alternatives));
            }
            case sre_op::max_repeat:
            case sre_op::min_repeat: {
                // (min, max, subpattern)
                if (!PyTuple_Check(av) || PyTuple_GET_SIZE(av) != 3) throw refused{"an unexpected repeat shape"};
                const long min = as_long(PyTuple_GET_ITEM(av, 0));
                const long max = as_long(PyTuple_GET_ITEM(av, 1));
                if (min < 0 || max < min || min >= v_.maxrepeat()) throw refused{"unexpected repeat bounds"};
                const bool greedy = v_.op(as_long(PyTuple_GET_ITEM(item, 0))) == sre_op::max_repeat;
                node body = read(PyTuple_GET_ITEM(av, 2), flags, depth + 1);
                return node::repeat(std::move(body), static_cast<std::uint32_t>(min),
                                    max >= v_.maxrepeat() ? unbounded : static_cast<std::uint32_t>(max), greedy);
            }
            default: throw refused{"an unsupported construct: " + text_of(PyTuple_GET_ITEM(item, 0))};
        }
    }

    // The class of a character item, from the interpreter's code for it.
    std::uint32_t character_class(PyObject* item, long flags) {
        // A literal matched with its case is emitted as it is parsed: the
        // opcode and the character (no call needed for the commonest item).
        const sre_op op = v_.op(as_long(PyTuple_GET_ITEM(item, 0)));
        if ((op == sre_op::literal || op == sre_op::not_literal) && !v_.ignores_case(flags))
            return add_class(translate({as_code(PyTuple_GET_ITEM(item, 0)), as_code(PyTuple_GET_ITEM(item, 1))}));
        ref code_list = v_.compile_item(item, flags);
        std::vector<std::uint32_t> raw;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(code_list.get()); ++i)
            raw.push_back(as_code(PyList_GET_ITEM(code_list.get(), i)));
        return add_class(translate(raw));
    }

    assertion assertion_of(PyObject* item, long flags) {
        ref code_list = v_.compile_item(item, flags);
        if (PyList_GET_SIZE(code_list.get()) != 2 ||
            v_.op(as_long(PyList_GET_ITEM(code_list.get(), 0))) != sre_op::at)
            throw refused{"an unexpected assertion"};
        const auto at = v_.at(as_long(PyList_GET_ITEM(code_list.get(), 1)));
        if (!at) throw refused{"an unsupported assertion"};
        return *at;
    }

    static void need(std::size_t available, std::size_t words) {
        if (available < words) throw refused{"truncated item code"};
    }

    // The interpreter's code for one character item in this engine's numbering.
    std::vector<std::uint32_t> translate(const std::vector<std::uint32_t>& raw) const {
        auto as = [](class_op op) { return static_cast<std::uint32_t>(op); };
        need(raw.size(), 1);
        std::vector<std::uint32_t> out;
        auto one_operand = [&](class_op op) {
            need(raw.size(), 2);
            if (raw.size() != 2) throw refused{"unexpected item code"};
            out = {as(op), raw[1]};
        };
        switch (v_.op(raw[0])) {
            case sre_op::literal: one_operand(class_op::literal); return out;
            case sre_op::not_literal: one_operand(class_op::not_literal); return out;
            case sre_op::literal_ignore: one_operand(class_op::literal_lower_ascii); return out;
            case sre_op::not_literal_ignore: one_operand(class_op::not_literal_lower_ascii); return out;
            case sre_op::literal_uni_ignore: one_operand(class_op::literal_lower); return out;
            case sre_op::not_literal_uni_ignore: one_operand(class_op::not_literal_lower); return out;
            case sre_op::any:
            case sre_op::any_all:
                if (raw.size() != 1) throw refused{"unexpected item code"};
                return {as(v_.op(raw[0]) == sre_op::any ? class_op::any : class_op::any_all)};
            case sre_op::category: {
                one_operand(class_op::category);
                const auto cat = v_.cat(raw[1]);
                if (!cat) throw refused{"an unsupported category"};
                out[1] = static_cast<std::uint32_t>(*cat);
                return out;
            }
            case sre_op::in: out.push_back(as(class_op::in)); break;
            case sre_op::in_ignore: out.push_back(as(class_op::in_lower_ascii)); break;
            case sre_op::in_uni_ignore: out.push_back(as(class_op::in_lower)); break;
            default: throw refused{"an unsupported character item"};
        }
        // <IN*> <skip> set... <FAILURE>, the skip counting from itself.
        need(raw.size(), 2);
        if (raw[1] + 1u != raw.size()) throw refused{"unexpected set length"};
        std::size_t i = 2;
        for (;;) {
            need(raw.size(), i + 1);
            const sre_op item = v_.op(raw[i++]);
            std::size_t words = 0;
            switch (item) {
                case sre_op::failure:
                    out.push_back(as(class_op::set_end));
                    if (i != raw.size()) throw refused{"unexpected set length"};
                    return out;
                case sre_op::literal: out.push_back(as(class_op::set_literal)); words = 1; break;
                case sre_op::category: {
                    need(raw.size(), i + 1);
                    const auto cat = v_.cat(raw[i++]);
                    if (!cat) throw refused{"an unsupported category"};
                    out.insert(out.end(), {as(class_op::set_category), static_cast<std::uint32_t>(*cat)});
                    continue;
                }
                case sre_op::charset: out.push_back(as(class_op::set_charset)); words = 8; break;
                case sre_op::range: out.push_back(as(class_op::set_range)); words = 2; break;
                case sre_op::range_uni_ignore: out.push_back(as(class_op::set_range_lower)); words = 2; break;
                case sre_op::negate: out.push_back(as(class_op::set_negate)); break;
                case sre_op::bigcharset:
                    need(raw.size(), i + 1);
                    out.push_back(as(class_op::set_bigcharset));
                    words = 1 + 64 + std::size_t{raw[i]} * 8;
                    break;
                default: throw refused{"an unsupported set member"};
            }
            need(raw.size(), i + words);
            out.insert(out.end(), raw.begin() + static_cast<std::ptrdiff_t>(i),
                       raw.begin() + static_cast<std::ptrdiff_t>(i + words));
            i += words;
        }
    }

    const vocabulary& v_;
    std::vector<char_class> classes_;
    std::map<std::vector<std::uint32_t>, std::uint32_t> index_;
};

// The opening parentheses of a pattern's source, escaped ones aside: at
// least how deep its parse can nest, counted without parsing.
Py_ssize_t open_parentheses(PyObject* source) {
    const Py_ssize_t size = PyUnicode_GET_LENGTH(source);
    const int kind = PyUnicode_KIND(source);
    const void* data = PyUnicode_DATA(source);
    Py_ssize_t count = 0;
    for (Py_ssize_t i = 0; i < size; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c == '\\') {
            ++i;
        } else if (c == '(') {
            ++count;
        }
    }
    return count;
}

// Whether this thread's stack has room for parsing a pattern with that
// many parentheses: the parse tree nests about as deep, and the
// interpreter frees it recursively, a few frames per level, on the thread
// that made it (which re itself never does after compiling).
bool parse_fits_stack(Py_ssize_t parentheses) {
    const std::uintptr_t lowest = stack::lowest_address();
    if (lowest == 0) return true;  // unknown here: the interpreter's limits decide
    const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    if (here < lowest) return true;  // not on this thread's own stack
    constexpr std::uintptr_t per_level = stack::margin / 32;  // 1.5 KiB, 3 KiB in the sanitizer build
    return here - lowest > stack::margin + static_cast<std::uintptr_t>(parentheses) * per_level;
}

// Patterns with more groups than this are left to re without a parse.
constexpr Py_ssize_t max_parentheses = 100;

front_end_result compile_checked(PyObject* pattern_type, PyObject* pattern, std::unique_ptr<vocabulary>& known) {
    if (!Py_IS_TYPE(pattern, reinterpret_cast<PyTypeObject*>(pattern_type))) return {nullptr, "not an re.Pattern"};
    ref source = attr(pattern, "pattern");
    if (!PyUnicode_CheckExact(source.get())) return {nullptr, "not a str pattern"};
    const Py_ssize_t parentheses = open_parentheses(source.get());
    if (parentheses > max_parentheses) return {nullptr, "too many groups"};
    if (!parse_fits_stack(parentheses)) return {nullptr, "too little stack on this thread to read it", false};
    ref flag_value = attr(pattern, "flags");
    if (!known) known = std::make_unique<vocabulary>();
    const vocabulary& v = *known;
    ref parsed = check(PyObject_CallMethod(v.parser(), "parse", "OO", source.get(), flag_value.get()));
    ref state = attr(parsed.get(), "state");
    ref state_flags = attr(state.get(), "flags");
    const long flags = as_long(state_flags.get()) | as_long(flag_value.get());
    if (!v.flags_supported(flags)) return {nullptr, "unsupported flags"};
    reader r(v);
    node structure = r.read(parsed.get(), flags, 0);
    const std::uint32_t start_class = r.start_class(parsed.get(), flags);
    std::vector<char_class> classes = r.take_classes();
    compile_result compiled = compile(structure, classes, {}, start_class);
    node core;
    if (!compiled.ok && start_class == no_class && strip_empty_lead(structure, core)) {
        // Too large whole (a wide counted repeat in front, say): whether it
        // matches is still answered by what follows that part.
        compile_result rest = compile(core, std::move(classes));
        if (rest.ok) {
            rest.prog.exists_only = true;
            // Its strategies answer where matches are: the core one only.
            rest.prog.strategy = strategy_kind::core;
            rest.prog.lead = {};
            rest.prog.starts.reset();
            return {std::make_shared<const program>(std::move(rest.prog)), {}};
        }
    }
    if (!compiled.ok) return {nullptr, std::move(compiled.refusal)};
    return {std::make_shared<const program>(std::move(compiled.prog)), {}};
}

}  // namespace

pattern_reader::pattern_reader(PyObject* pattern_type) : pattern_type_(ref::new_ref(pattern_type)) {}

pattern_reader::~pattern_reader() = default;

front_end_result compile_pattern(PyObject* pattern_type, PyObject* pattern) {
    return pattern_reader(pattern_type).compile(pattern);
}

front_end_result pattern_reader::compile(PyObject* pattern) {
    try {
        return compile_checked(pattern_type_.get(), pattern, words_);
    } catch (const refused& r) {
        return {nullptr, r.why};
    } catch (const error_already_set&) {
        // The pattern is served by `re` instead, which reports its own
        // errors; only what must not be swallowed goes on. A RecursionError
        // says as much about this thread as about the pattern.
        if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) throw;
        const bool lasting = !PyErr_ExceptionMatches(PyExc_RecursionError);
        PyErr_Clear();
        return {nullptr, "the interpreter could not read the pattern again", lasting};
    }
}

}  // namespace tavrix::regex
