// Checks of the regular-expression engine's compiler, matcher, prefilters
// and table scan on hand-built patterns, without the interpreter's parser.
// Every expected span below is what Python's `re` answers for the pattern
// written in the comment next to it.
#include <cstdio>
#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "../../native/regex/literal_search.hpp"
#include "../../native/regex/matcher.hpp"
#include "../../native/regex/table_scan.hpp"

using namespace tavrix::regex;

namespace {

int failures = 0;

void expect(bool ok, const std::string& what) {
    if (!ok) {
        std::fprintf(stderr, "FAILED: %s\n", what.c_str());
        ++failures;
    }
}

// Builds patterns: classes are collected as the nodes are made.
struct builder {
    std::vector<char_class> classes;

    node cls(char_class c) {
        classes.push_back(std::move(c));
        return node::character(static_cast<std::uint32_t>(classes.size() - 1));
    }
    node lit(code_point c) { return cls(char_class::of_literal(c)); }
    node str(const std::u32string& s) {
        std::vector<node> items;
        for (char32_t c : s) items.push_back(lit(c));
        return seq(std::move(items));
    }
    static node seq(std::vector<node> items) { return node::sequence(node::kind::concat, std::move(items)); }
    static node alt(std::vector<node> items) { return node::sequence(node::kind::alternate, std::move(items)); }
    static node rep(node body, std::uint32_t min, std::uint32_t max, bool greedy = true) {
        return node::repeat(std::move(body), min, max, greedy);
    }
    static node at(assertion a) { return node::assert_at(a); }
    static node empty() { return node{}; }

    program compile(const node& n, const compile_limits& limits = {}) {
        compile_result r = tavrix::regex::compile(n, classes, limits);
        expect(r.ok, "compiles: " + r.refusal);
        return std::move(r.prog);
    }
};

using span = std::optional<std::pair<std::size_t, std::size_t>>;

std::string show(const span& s) {
    if (!s) return "None";
    return "(" + std::to_string(s->first) + ", " + std::to_string(s->second) + ")";
}

std::string narrow(const std::u32string& s) {
    std::string out;
    for (char32_t c : s) out += c < 128 ? static_cast<char>(c) : '?';
    return out;
}

// The search, in every storage width the text fits.
span search(const program& prog, const std::u32string& text, std::size_t from = 0, bool must_advance = false) {
    workspace ws;
    auto in = [&](auto view) -> span {
        auto m = matcher(prog, view, ws).search(from, must_advance);
        if (!m) return std::nullopt;
        return std::make_pair(m->start, m->end);
    };
    const span wide = in(text_view<char32_t>{text.data(), text.size()});
    char32_t widest = 0;
    for (char32_t c : text) widest = std::max(widest, c);
    if (widest < 0x10000) {
        std::u16string narrow16(text.begin(), text.end());
        expect(in(text_view<char16_t>{narrow16.data(), narrow16.size()}) == wide, "same answer in two-byte storage");
    }
    if (widest < 0x100) {
        std::string narrow8(text.begin(), text.end());
        const auto* bytes = reinterpret_cast<const unsigned char*>(narrow8.data());
        expect(in(text_view<unsigned char>{bytes, narrow8.size()}) == wide, "same answer in one-byte storage");
    }
    return wide;
}

std::vector<std::pair<std::size_t, std::size_t>> all_matches(const program& prog, const std::u32string& text) {
    workspace ws;
    std::vector<std::pair<std::size_t, std::size_t>> out;
    matcher(prog, text_view<char32_t>{text.data(), text.size()}, ws).each_match(0, [&](match_span m) {
        out.emplace_back(m.start, m.end);
    });
    return out;
}

void check_search(const char* pattern, const program& prog, const std::u32string& text, span want) {
    const span got = search(prog, text);
    expect(got == want, std::string(pattern) + " on '" + narrow(text) + "': " + show(got) + ", want " + show(want));
}

span at_(std::size_t a, std::size_t b) { return std::make_pair(a, b); }

void priorities() {
    {
        builder b;  // a|ab
        auto p = b.compile(b.alt({b.lit('a'), b.str(U"ab")}));
        check_search("a|ab", p, U"ab", at_(0, 1));
    }
    {
        builder b;  // ab|a
        auto p = b.compile(b.alt({b.str(U"ab"), b.lit('a')}));
        check_search("ab|a", p, U"ab", at_(0, 2));
    }
    {
        builder b;  // a*  a*?  a+?
        auto star = b.compile(b.rep(b.lit('a'), 0, unbounded));
        auto lazy = b.compile(b.rep(b.lit('a'), 0, unbounded, false));
        auto lazy_plus = b.compile(b.rep(b.lit('a'), 1, unbounded, false));
        check_search("a*", star, U"aaa", at_(0, 3));
        check_search("a*?", lazy, U"aaa", at_(0, 0));
        check_search("a+?", lazy_plus, U"aaa", at_(0, 1));
    }
    {
        builder b;  // (?:a|ab)(?:c|bcd)
        auto p = b.compile(b.seq({b.alt({b.lit('a'), b.str(U"ab")}), b.alt({b.lit('c'), b.str(U"bcd")})}));
        check_search("(?:a|ab)(?:c|bcd)", p, U"abcd", at_(0, 4));
    }
    {
        builder b;  // a{2,3}  a{2,3}?  (?:ab){2}
        auto greedy = b.compile(b.rep(b.lit('a'), 2, 3));
        auto lazy = b.compile(b.rep(b.lit('a'), 2, 3, false));
        auto twice = b.compile(b.rep(b.str(U"ab"), 2, 2));
        check_search("a{2,3}", greedy, U"aaaa", at_(0, 3));
        check_search("a{2,3}?", lazy, U"aaaa", at_(0, 2));
        check_search("(?:ab){2}", twice, U"xababab", at_(1, 5));
        check_search("a{2,3}", greedy, U"a", std::nullopt);
    }
}

// The interpreter's rule for repeats whose body can match empty: an
// optional iteration never starts where the previous optional iteration
// started; mandatory iterations always run.
void zero_width_iterations() {
    builder b;
    auto empty_or_a = [&] { return b.alt({b.empty(), b.lit('a')}); };
    auto a_or_empty = [&] { return b.alt({b.lit('a'), b.empty()}); };
    auto p1 = b.compile(b.rep(empty_or_a(), 0, unbounded));                          // (?:|a)*
    auto p2 = b.compile(b.rep(a_or_empty(), 0, unbounded));                          // (?:a|)*
    auto p3 = b.compile(b.rep(empty_or_a(), 2, unbounded));                          // (?:|a){2,}
    auto p4 = b.compile(b.seq({b.rep(empty_or_a(), 2, unbounded), b.lit('b')}));     // (?:|a){2,}b
    auto p5 = b.compile(b.seq({b.rep(b.rep(b.lit('a'), 0, 1), 0, unbounded, false), b.lit('b')}));  // (?:a?)*?b
    auto p6 = b.compile(b.rep(b.rep(empty_or_a(), 0, unbounded), 0, unbounded));    // (?:(?:|a)*)*
    auto p7 = b.compile(b.rep(b.seq({b.rep(empty_or_a(), 0, unbounded), b.lit('b')}), 0, unbounded));  // (?:(?:|a)*b)*
    auto p8 = b.compile(b.seq({b.rep(empty_or_a(), 0, unbounded, false), b.lit('b')}));  // (?:|a)*?b
    auto p9 = b.compile(b.rep(a_or_empty(), 1, unbounded, false));                  // (?:a|)+?
    auto p10 = b.compile(b.rep(empty_or_a(), 1, unbounded));                        // (?:|a)+
    auto p11 = b.compile(b.rep(empty_or_a(), 1, 3));                                // (?:(?:)|a){1,3}
    check_search("(?:|a)*", p1, U"aa", at_(0, 0));
    check_search("(?:a|)*", p2, U"aa", at_(0, 2));
    check_search("(?:|a){2,}", p3, U"aa", at_(0, 0));
    check_search("(?:|a){2,}b", p4, U"aab", at_(0, 3));
    check_search("(?:a?)*?b", p5, U"aab", at_(0, 3));
    check_search("(?:(?:|a)*)*", p6, U"aa", at_(0, 0));
    check_search("(?:(?:|a)*b)*", p7, U"abab", at_(0, 4));
    check_search("(?:|a)*?b", p8, U"ab", at_(0, 2));
    check_search("(?:a|)+?", p9, U"aa", at_(0, 1));
    check_search("(?:|a)+", p10, U"aa", at_(0, 0));
    check_search("(?:(?:)|a){1,3}", p11, U"aaa", at_(0, 0));
}

void assertions() {
    builder b;
    auto boundary = b.compile(b.at(assertion::uni_boundary));
    auto non_boundary = b.compile(b.at(assertion::uni_non_boundary));
    auto end = b.compile(b.at(assertion::end));
    auto a_end = b.compile(b.seq({b.lit('a'), b.at(assertion::end)}));
    auto line_b = b.compile(b.seq({b.at(assertion::beginning_line), b.lit('b')}));
    auto end_string = b.compile(b.at(assertion::end_string));
    auto word_x = b.compile(b.seq({b.at(assertion::uni_boundary), b.lit('x')}));
    auto x_inside = b.compile(b.seq({b.lit('x'), b.at(assertion::uni_non_boundary)}));
    auto ascii_b = b.compile(b.seq({b.at(assertion::boundary), b.lit('x')}));
    check_search("\\b", boundary, U"", std::nullopt);  // no boundary in an empty text; \B as the version's re says
    check_search("\\B", non_boundary, U"",
                 TAVRIX_NON_BOUNDARY_HOLDS_ON_EMPTY_TEXT ? std::optional(at_(0, 0)) : std::nullopt);
    check_search("\\B", non_boundary, U"a", std::nullopt);
    check_search("$", end, U"a\n", at_(1, 1));
    check_search("a$", a_end, U"a\n", at_(0, 1));
    check_search("(?m)^b", line_b, U"a\nb", at_(2, 3));
    check_search("\\Z", end_string, U"a\n", at_(2, 2));
    check_search("\\bx", word_x, U"ax x", at_(3, 4));
    check_search("x\\B", x_inside, U"xx", at_(0, 1));
    // U+00E9 is a word character in Unicode, not in ASCII.
    check_search("\\bx", word_x, U"\u00e9x", std::nullopt);
    check_search("(?a)\\bx", ascii_b, U"\u00e9x", at_(1, 2));
}

// Substitution's sequence of matches, with sre's rule after an empty match.
void successive_matches() {
    builder b;
    auto x_star = b.compile(b.rep(b.lit('x'), 0, unbounded));
    auto a_star = b.compile(b.rep(b.lit('a'), 0, unbounded));
    auto empty_or_a = b.compile(b.rep(b.alt({b.empty(), b.lit('a')}), 0, unbounded));
    auto a_or_empty = b.compile(b.alt({b.lit('a'), b.empty()}));
    using spans = std::vector<std::pair<std::size_t, std::size_t>>;
    expect(all_matches(x_star, U"abc") == spans{{0, 0}, {1, 1}, {2, 2}, {3, 3}}, "x* over abc");
    expect(all_matches(a_star, U"baaa") == spans{{0, 0}, {1, 4}, {4, 4}}, "a* over baaa");
    // After an empty match the best non-empty match at the same place counts.
    expect(all_matches(empty_or_a, U"aa") == spans{{0, 0}, {0, 1}, {1, 1}, {1, 2}, {2, 2}}, "(?:|a)* over aa");
    expect(all_matches(a_or_empty, U"bab") == spans{{0, 0}, {1, 2}, {2, 2}, {3, 3}}, "a| over bab");
    expect(search(empty_or_a, U"aa", 0, true) == at_(0, 1), "must_advance takes the best non-empty match");
}

// A search that runs past its match leaves dead ends behind; the next
// search must still find every match.
void dead_ends_after_overrun() {
    builder b;  // (?:a*b)|a over "aaaa": every search runs to the end in vain
    auto p = b.compile(b.alt({b.seq({b.rep(b.lit('a'), 0, unbounded), b.lit('b')}), b.lit('a')}));
    std::u32string text(2000, U'a');
    auto spans = all_matches(p, text);
    bool ok = spans.size() == text.size();
    for (std::size_t i = 0; ok && i < spans.size(); ++i) ok = spans[i] == std::make_pair(i, i + 1);
    expect(ok, "(?:a*b)|a finds every a");
    text += U"b";
    spans = all_matches(p, text);
    expect(spans.size() == 1 && spans[0] == std::make_pair(std::size_t{0}, text.size()), "(?:a*b)|a takes a*b when it can");

    // The match grows after threads past the first one were recorded:
    // (?:ab*c)|a over "abbbc" then "abbb": (0,5), then the lone a at 5.
    builder b2;
    auto q = b2.compile(b2.alt({b2.seq({b2.lit('a'), b2.rep(b2.lit('b'), 0, unbounded), b2.lit('c')}), b2.lit('a')}));
    expect(all_matches(q, U"abbbcabbb") == std::vector<std::pair<std::size_t, std::size_t>>{{0, 5}, {5, 6}}, "(?:ab*c)|a after a longer match");
    expect(all_matches(q, U"abbbabbbc") == std::vector<std::pair<std::size_t, std::size_t>>{{0, 1}, {4, 9}}, "(?:ab*c)|a after an overrun");
}

void character_classes() {
    // A bigcharset: 2 blocks, block 1 (U+0100..U+01FF) holds U+017F only.
    std::vector<std::uint32_t> code{static_cast<std::uint32_t>(class_op::in), static_cast<std::uint32_t>(class_op::set_bigcharset), 2};
    std::vector<std::uint32_t> blocks(64, 0);
    reinterpret_cast<unsigned char*>(blocks.data())[1] = 1;
    code.insert(code.end(), blocks.begin(), blocks.end());
    std::vector<std::uint32_t> maps(16, 0);
    maps[8 + 0x7F / 32] = 1u << (0x7F % 32);
    code.insert(code.end(), maps.begin(), maps.end());
    code.push_back(static_cast<std::uint32_t>(class_op::set_end));
    auto big = char_class::make(code);
    expect(big.has_value(), "a well-formed big charset");
    if (big) {
        expect(big->contains(0x17F) && !big->contains(0x7F) && !big->contains(0x27F) && !big->contains(0x1017F),
               "big charset membership by block");
    }
    // Malformed codes are refused: a block number beyond the maps, a
    // truncated set, an unknown category, trailing words.
    auto bad_block = code;
    reinterpret_cast<unsigned char*>(bad_block.data() + 3)[2] = 5;
    expect(!char_class::make(bad_block), "block number out of range");
    expect(!char_class::make({static_cast<std::uint32_t>(class_op::in), static_cast<std::uint32_t>(class_op::set_range), 1}),
           "truncated set");
    expect(!char_class::make({static_cast<std::uint32_t>(class_op::category), 99}), "unknown category");
    expect(!char_class::make({static_cast<std::uint32_t>(class_op::any), 0}), "trailing words");
    expect(!char_class::make({}), "empty code");

    const auto upper_only = char_class::of_range('A', 'Z');
    const auto not_upper = char_class::of_range('A', 'Z', true);
    const auto dot = char_class::of_any(false);
    const auto digit = char_class::of_category(category::uni_digit);
    expect(upper_only.contains('Q') && !upper_only.contains('q') && !upper_only.contains(0x410), "a range");
    expect(!not_upper.contains('Q') && not_upper.contains(0x410) && not_upper.may_contain_wide(), "a negated range");
    expect(!dot.contains('\n') && dot.contains(0x10FFFF), "dot");
    expect(digit.contains(0x663) && !digit.contains(0xB2) && digit.contains('7'), "Unicode decimal digits");
    expect(upper_only.latin1_count() == 26, "bitmap count");
}

void refusals() {
    builder b;
    node deep = b.lit('a');
    for (int i = 0; i < 300; ++i) deep = builder::seq({std::move(deep)});
    expect(!tavrix::regex::compile(deep, b.classes).ok, "nesting beyond the limit is refused");
    expect(!tavrix::regex::compile(builder::rep(b.lit('a'), 30000, 30000), b.classes).ok, "too many instructions");
    node nested = builder::alt({builder::empty(), b.lit('a')});
    for (int i = 0; i < 7; ++i) nested = builder::rep(std::move(nested), 0, unbounded);
    expect(!tavrix::regex::compile(nested, b.classes).ok, "too many nested empty-matching repeats");
    expect(!tavrix::regex::compile(node::character(99), b.classes).ok, "a class index out of range");
    expect(!tavrix::regex::compile(builder::rep(b.lit('a'), 3, 2), b.classes).ok, "min above max");
}

void prefilters() {
    builder b;
    // [a-z]+@x: gated by '@', starts only in the run of letters before it.
    auto gated = b.compile(b.seq({b.rep(b.cls(char_class::of_range('a', 'z')), 1, unbounded), b.str(U"@x")}));
    expect(gated.filter.type == prefilter::kind::gate, "a gate for [a-z]+@x");
    const std::u32string text = U"ab cd@y ef@x";
    start_finder<char32_t> starts(gated, text_view<char32_t>{text.data(), text.size()});
    expect(starts.next(0) == 3, "the first window starts after the blank");
    expect(starts.next(6) == 8, "the next window");
    expect(starts.next(11) == no_position, "no gate after the last");
    check_search("[a-z]+@x", gated, text, at_(8, 12));

    auto word = b.compile(b.str(U"secret"));
    expect(word.filter.type == prefilter::kind::prefix && word.filter.prefix.size() == 6, "a literal's prefix");
    auto anchored = b.compile(b.seq({b.at(assertion::beginning), b.lit('a')}));
    expect(anchored.filter.type == prefilter::kind::anchored, "anchored at the beginning");
    auto nullable = b.compile(b.rep(b.lit('a'), 0, unbounded));
    expect(nullable.filter.type == prefilter::kind::anywhere, "an empty match can start anywhere");
}

// The table scan against one search per program, over texts of every width.
void table_scan() {
    std::vector<std::shared_ptr<const program>> programs;
    std::vector<builder> builders(6);
    auto add = [&](builder& b, const node& n) { programs.push_back(std::make_shared<const program>(b.compile(n))); };
    add(builders[0], builders[0].str(U"secret"));
    add(builders[1], builder::seq({builders[1].rep(builders[1].cls(char_class::of_range('a', 'z')), 1, unbounded),
                                   builders[1].str(U"@x")}));
    add(builders[2], builder::rep(builders[2].lit('q'), 0, unbounded));
    add(builders[3], builder::seq({builder::at(assertion::beginning), builders[3].lit('z')}));
    add(builders[4], builders[4].lit(0x212A));
    add(builders[5], builder::seq({builders[5].cls(char_class::of_category(category::uni_digit)),
                                   builders[5].cls(char_class::of_category(category::uni_digit))}));
    // As built for a small table, and with the literal pass taking every
    // program with literals (as in a large one).
    const table_scanner grouped(programs), by_literals(programs, 0);
    expect(by_literals.dump() ==
               "0 literal pass: secret lead 0..0\n1 literal pass: @x lead 1..inf strategy reverse_suffix\n2 searched alone: anywhere\n"
               "3 searched alone: anchored\n4 grouped pass 0: prefix 1\n5 grouped pass 0: prefix 2\n",
           "scanner listing:\n" + by_literals.dump());
    const std::u32string texts[] = {
        U"", U"z", U"no secrets here: secret", U"mail ab@x", U"z\u212A \u0663\u0664", U"q", U"secre", U"ab@y cd@x",
        U"\U0001D7D8\U0001D7D9", U"1", U"x secret@x",
    };
    for (const table_scanner* scanner_of : {&grouped, &by_literals})
    for (const std::u32string& text : texts) {
        const table_scanner& scanner = *scanner_of;
        const text_view<char32_t> view{text.data(), text.size()};
        const auto found = scanner.scan(view, scan_mode::exists);
        const auto first = scanner.scan(view, scan_mode::first_match);
        const auto later = scanner.scan(view, scan_mode::first_match, 3);
        for (std::size_t i = 0; i < programs.size(); ++i) {
            const span want = search(*programs[i], text);
            const span got = first[i].span ? span(std::make_pair(first[i].span->start, first[i].span->end)) : std::nullopt;
            const std::string where = "program " + std::to_string(i) + " on '" + narrow(text) + "'";
            expect(found[i].found == want.has_value(), "scan finds " + where);
            expect(got == want, "scan's first match " + where + ": " + show(got) + ", want " + show(want));
            expect(later[i].found == (i >= 3 && want.has_value()), "a scan from the fourth program " + where);
        }
    }
}

// The general paths (closures worked out at every step; the Pike VM for
// existence) answer as the tables and the bit machine do.
void general_paths_agree() {
    compile_limits general;
    general.max_table_work = 0;  // no closure tables, hence no bit machine
    auto patterns = [](builder& b) {
        std::vector<node> out;
        out.push_back(builder::rep(builder::alt({builder::empty(), b.lit('a')}), 0, unbounded));
        out.push_back(builder::seq({builder::at(assertion::uni_boundary), builder::rep(b.lit('a'), 1, unbounded),
                                    builder::at(assertion::end)}));
        out.push_back(builder::alt({builder::seq({builder::rep(b.lit('a'), 0, unbounded), b.lit('b')}), b.lit('a')}));
        out.push_back(builder::seq({b.str(U"ab"), builder::rep(builder::alt({b.lit('a'), b.str(U"ba")}), 0, 3, false),
                                    builder::at(assertion::uni_non_boundary)}));
        return out;
    };
    builder fast_b, general_b;
    const auto fast_nodes = patterns(fast_b);
    const auto general_nodes = patterns(general_b);
    const std::u32string texts[] = {U"", U"a", U"aab", U"ab aa ba", U"abab", U"ba\nb", U"aaaa", U"abéaa"};
    for (std::size_t i = 0; i < fast_nodes.size(); ++i) {
        const program fast = fast_b.compile(fast_nodes[i]);
        const program slow = general_b.compile(general_nodes[i], general);
        expect(fast.closures.available && fast.bits.available, "the fast paths are there");
        expect(!slow.closures.available && !slow.bits.available, "the general paths are forced");
        for (const std::u32string& text : texts) {
            const std::string where = "pattern " + std::to_string(i) + " on '" + narrow(text) + "'";
            expect(search(fast, text) == search(slow, text), "search " + where);
            expect(all_matches(fast, text) == all_matches(slow, text), "matches " + where);
            workspace ws;
            const text_view<char32_t> view{text.data(), text.size()};
            expect(matcher(fast, view, ws).exists(0) == matcher(slow, view, ws).exists(0), "exists " + where);
        }
    }
}

// A pattern built by hand, what it stands for, and what is expected of it.
struct golden {
    const char* what;
    std::function<node(builder&)> make;
    const char* want;
};

// The literals every match must contain and where matches start from
// them, as listings: each literal's folded characters, then the lead.
std::string listing(const required_literals& r) {
    if (!r.known()) return "none";
    std::string out;
    for (const literal& l : r.strings) {
        for (const literal_position& p : l) out += static_cast<char>(p.fold);
        out += '|';
    }
    out.pop_back();
    out += " @" + std::to_string(r.lead_min) + "..";
    out += r.lead_max == unbounded ? std::string("inf") : std::to_string(r.lead_max);
    return out;
}

void required_literals_and_search() {
    const golden cases[] = {
        {"(?:flat).{0,40}\\b[0-9]{4}", [](builder& b) {
             return builder::seq({b.str(U"flat"), builder::rep(b.cls(char_class::of_any(false)), 0, 40),
                                  builder::at(assertion::uni_boundary),
                                  builder::rep(b.cls(char_class::of_range('0', '9')), 4, 4)});
         }, "flat @0..0"},
        {"[\\w]{0,50}?Vendor", [](builder& b) {
             return builder::seq({builder::rep(b.cls(char_class::of_category(category::uni_word)), 0, 50, false),
                                  b.str(U"Vendor")});
         }, "vendor @0..50"},
        {"\\w*word\\d", [](builder& b) {
             return builder::seq({builder::rep(b.cls(char_class::of_category(category::uni_word)), 0, unbounded),
                                  b.str(U"word"), b.cls(char_class::of_category(category::uni_digit))});
         }, "word @0..inf"},
        {"sk_(?:live|test)_", [](builder& b) {
             return builder::seq({b.str(U"sk_"), builder::alt({b.str(U"live"), b.str(U"test")}), b.lit('_')});
         }, "sk_live_|sk_test_ @0..0"},
        {"a[_-]?b", [](builder& b) {
             node dash = b.cls(char_class::of_range('-', '-'));
             return builder::seq({b.lit('a'), builder::rep(builder::alt({b.lit('_'), std::move(dash)}), 0, 1),
                                  b.lit('b')});
         }, "ab|a_b|a-b @0..0"},
        {"\\d+x?", [](builder& b) {
             return builder::seq({builder::rep(b.cls(char_class::of_category(category::uni_digit)), 1, unbounded),
                                  builder::rep(b.lit('x'), 0, 1)});
         }, "none"},
    };
    for (const golden& g : cases) {
        builder b;
        const node n = g.make(b);
        const program prog = b.compile(n);
        const std::string got = listing(prog.literal);
        expect(got == g.want, std::string("literals of ") + g.what + ": " + got + ", want " + g.want);
    }
    // Every occurrence, overlapping ones included, in order of their ends.
    builder b;
    literal_searcher searcher;
    const char32_t* words[] = {U"he", U"she", U"his", U"hers"};
    for (std::uint32_t i = 0; i < 4; ++i) {
        literal l;
        for (const char32_t* c = words[i]; *c; ++c) l.push_back({static_cast<std::uint8_t>(*c), 0});
        expect(searcher.add(i, {l}), "a literal fits");
    }
    searcher.build();
    const std::u32string text = U"uSHErs h\u0130s";
    std::string seen;
    searcher.scan(text_view<char32_t>{text.data(), text.size()}, 0, text.size(), 0,
                  [&](std::size_t end, const literal_searcher::entry& e) {
                      seen += std::to_string(end) + ":" + std::to_string(e.owner) + " ";
                  });
    expect(seen == "4:1 4:0 6:3 10:2 ", "the occurrences of he, she, his, hers: " + seen);
    // At its size the searcher refuses more, adding nothing, and searches
    // what it holds (span capture's URL tables fail their import on a refusal).
    literal_searcher full;
    const literal longest(literal_searcher::max_states - 1, literal_position{'a', 0});
    expect(full.add(0, {longest}), "a literal of every state but the root fits");
    expect(!full.add(1, {literal{literal_position{'b', 0}}}), "one more state is refused");
    full.build();
    const std::u32string as(literal_searcher::max_states, U'a');
    std::size_t found = 0;
    full.scan(text_view<char32_t>{as.data(), as.size()}, 0, as.size(), 0,
              [&](std::size_t, const literal_searcher::entry& e) { found += e.owner == 0 ? 1 : 100; });
    expect(found == 2, "the long literal twice, nothing else: " + std::to_string(found));
}

// Programs as listings: the compiler's shape for an alternation inside a
// greedy loop, a lazy counted repeat, a repeat whose body can match empty.
void listings() {
    const golden cases[] = {
        {"(?:ab|c)*d", [](builder& b) {
             return builder::seq({builder::rep(builder::alt({b.str(U"ab"), b.lit('c')}), 0, unbounded), b.lit('d')});
         },
         "0 split -> 1, 7\n1 split -> 2, 5\n2 consume c0 -> 3\n3 consume c1 -> 4\n4 jump -> 6\n"
         "5 consume c2 -> 6\n6 jump -> 0\n7 consume c3 -> 8\n8 match\nfilter gate\nliterals d @0..inf\n"},
        {"\\bx{1,3}?", [](builder& b) {
             return builder::seq({builder::at(assertion::uni_boundary), builder::rep(b.lit('x'), 1, 3, false)});
         },
         "0 assert uni_boundary -> 1\n1 consume c0 -> 2\n2 split -> 6, 3\n3 consume c0 -> 4\n4 split -> 6, 5\n"
         "5 consume c0 -> 6\n6 match\nfilter gate\nliterals x @0..0\n"},
        {"(?:a?)*b", [](builder& b) {
             return builder::seq({builder::rep(builder::rep(b.lit('a'), 0, 1), 0, unbounded), b.lit('b')});
         },
         "0 enter 0 -> 1\n1 split -> 2, 6\n2 check 0 -> 3\n3 split -> 4, 5\n4 consume c0 -> 5\n5 jump -> 1\n"
         "6 consume c1 -> 7\n7 match\nfilter gate\nliterals b @0..inf\n"},
    };
    for (const golden& g : cases) {
        builder b;
        const node n = g.make(b);
        const program prog = b.compile(n);
        expect(well_formed(prog), std::string("well formed: ") + g.what);
        const std::string got = dump(prog);
        expect(got == g.want, std::string("listing of ") + g.what + ":\n" + got + "want:\n" + g.want);
    }
}

// The matcher's work on the shapes that make backtracking exponential
// stays within the stated bound: a thread per instruction and position.
void work_is_linear() {
    builder b;
    // (a*)*b and (?:a|a)*c on "aaa...": no match, every position live
    const node nested = builder::seq({builder::rep(builder::rep(b.lit('a'), 0, unbounded), 0, unbounded), b.lit('b')});
    const node twice = builder::seq({builder::rep(builder::alt({b.lit('a'), b.lit('a')}), 0, unbounded), b.lit('c')});
    // The same through the backtracking attempt first (no bit machine, so
    // the simulation it gives up to is the general one): its steps are
    // bounded, max(4, size / 8) a character and four an instruction (plus 256).
    compile_limits backtracking;
    backtracking.max_table_work = 0;
    backtracking.backtrack_above = 0;
    const compile_limits* const choices[] = {nullptr, &backtracking};
    for (const compile_limits* limits : choices) {
        for (const node* n : {&nested, &twice}) {
            program prog = limits ? b.compile(*n, *limits) : b.compile(*n);
            expect(prog.backtracks_first == (limits != nullptr), "backtracking first where asked");
            // The texts lack the pattern's last character, which its
            // prefilter would find missing before any work: without one,
            // every position is live, the bound's worst case.
            expect(prog.filter.type != prefilter::kind::anywhere, "a prefilter to set aside");
            prog.filter = prefilter{};
            for (std::size_t size : {1000u, 8000u}) {
                const std::u32string text(size, U'a');
                const text_view<char32_t> view{text.data(), text.size()};
                workspace ws;
                const bool found = matcher(prog, view, ws).exists(0);
                const auto leftmost = matcher(prog, view, ws).search(0);
                const std::uint64_t m = prog.insts.size();
                const std::uint64_t attempts = limits ? 2 * (size * std::max<std::uint64_t>(4, m / 8) + 4 * m + 256) : 0;
                const std::uint64_t bound = 2 * (size + 1) * prog.insts.size() + attempts;
                expect(!found && !leftmost, "no match on a's");
                expect(ws.work > 0, "work is counted");
                expect(ws.work <= bound, "work " + std::to_string(ws.work) + " within " + std::to_string(bound));
            }
        }
    }
}

// A table large enough for the literal pass, on a text where every fourth
// position is an occurrence of every program's literal and nothing
// matches: each program's runs cover the text once (linear in the text
// times its size), the occurrences are those of the text.
void table_work_is_linear() {
    builder b;
    std::vector<std::shared_ptr<const program>> programs;
    for (int i = 0; i < 70; ++i) {
        // .*?abcd\d, or .{0,i}abcd\d
        node lead = builder::rep(b.cls(char_class::of_any(false)), 0, i % 2 ? unbounded : static_cast<std::uint32_t>(i),
                                 i % 2 == 1);
        node n = builder::seq({std::move(lead), b.str(U"abcd"), b.cls(char_class::of_category(category::uni_digit))});
        programs.push_back(std::make_shared<const program>(b.compile(n)));
    }
    const table_scanner scanner(programs);
    for (std::size_t copies : {500u, 4000u}) {
        std::u32string text;
        for (std::size_t i = 0; i < copies; ++i) text += U"abcd";
        scan_work work;
        const auto found = scanner.scan(text_view<char32_t>{text.data(), text.size()}, scan_mode::exists, 0, nullptr,
                                        &work);
        std::uint64_t bound = 0;
        for (const auto& p : programs) bound += 2 * (text.size() + 1) * p->insts.size();
        expect(std::none_of(found.begin(), found.end(), [](const scan_result& r) { return r.found; }), "no match");
        expect(work.matcher > 0 && work.characters == text.size(), "table work is counted");
        expect(work.matcher <= bound, "table work " + std::to_string(work.matcher) + " within " + std::to_string(bound));
        expect(work.occurrences == copies * programs.size(), "occurrences " + std::to_string(work.occurrences));
    }
}

// K programs \w*wordNx\d, each matching once near the end of the text,
// substituted in turn as redaction does: each scan after a substitution
// reads again only the stretches near its replacements (O(text + K*reach)
// characters in all, not O(K*text)), and the text comes out as from one
// substitution after another over the whole text.
void rescan_work_is_linear() {
    constexpr std::size_t rules = 40;
    auto word = [](std::size_t i) {
        std::u32string out = U"word";
        for (char c : std::to_string(i)) out += static_cast<char32_t>(c);
        return out + U"x";
    };
    builder b;
    std::vector<std::shared_ptr<const program>> programs;
    for (std::size_t i = 0; i < rules; ++i) {
        programs.push_back(std::make_shared<const program>(b.compile(builder::seq(
            {builder::rep(b.cls(char_class::of_category(category::uni_word)), 0, unbounded), b.str(word(i)),
             b.cls(char_class::of_category(category::uni_digit))}))));
    }
    // Every rule through the literal pass (a table this small would search
    // rules with a strategy of their own alone).
    const table_scanner scanner(programs, 0);
    std::u32string text;
    while (text.size() < 20000) text += U"plain words of filler text ";
    for (std::size_t i = rules; i-- > 0;) text += U" " + word(i) + U"7";
    const std::u32string repl = U"<WORD>";
    auto substitute = [&](const program& prog, const std::u32string& in, std::size_t from, const window_list* windows,
                          std::vector<match_span>* changed, std::vector<match_span>* replaced) {
        std::u32string out;
        std::size_t copied = 0;
        workspace ws;
        matcher(prog, text_view<char32_t>{in.data(), in.size()}, ws, windows).each_match(from, [&](match_span m) {
            out.append(in, copied, m.start - copied);
            if (changed) changed->push_back({out.size(), out.size() + repl.size()});
            if (replaced) replaced->push_back(m);
            out += repl;
            copied = m.end;
        });
        out.append(in, copied, std::u32string::npos);
        return out;
    };
    std::u32string want = text;
    for (const auto& p : programs) want = substitute(*p, want, 0, nullptr, nullptr, nullptr);

    std::u32string now = text;
    scan_work first, later;
    auto results = scanner.scan(text_view<char32_t>{now.data(), now.size()}, scan_mode::substitution, 0, nullptr, &first);
    std::size_t scanned_first = 0, rescans = 0;
    for (std::size_t i = 0; i < rules; ++i) {
        if (!results[i].found) continue;
        std::vector<match_span> changed, replaced;
        std::u32string next = substitute(*programs[i], now, results[i].floor, results[i].windows.get(), &changed, &replaced);
        if (changed.empty()) continue;
        now = std::move(next);
        const rescan_hint hint{&results, scanned_first, &changed, &replaced};
        results = scanner.scan(text_view<char32_t>{now.data(), now.size()}, scan_mode::substitution, i + 1, &hint, &later);
        scanned_first = i + 1;
        ++rescans;
    }
    expect(now == want, "redaction carried over gives the text of one substitution after another");
    expect(rescans == rules, "every rule substituted: " + std::to_string(rescans));
    expect(first.characters == text.size(), "the first scan reads the text once");
    expect(later.characters > 0 && later.carried > 0, "the scans after substitutions read and carry over");
    const std::uint64_t reach = rules * (repl.size() + 2 * 8);  // each replacement and a literal's length either side
    expect(later.characters <= reach,
           "characters read after substitutions: " + std::to_string(later.characters) + " within " + std::to_string(reach));
    // Nor do they run the programs over the text again: a program that
    // matched is handed to its substitution as it is.
    std::uint64_t threads = 0;
    for (const auto& p : programs) threads = std::max<std::uint64_t>(threads, p->insts.size());
    expect(later.matcher <= reach * threads,
           "matcher work after substitutions: " + std::to_string(later.matcher) + " within " + std::to_string(reach * threads));
}

// The checkers reject what breaks their structure (they can fail).
void checkers_reject_broken_structures() {
    builder b;
    const program good = b.compile(builder::seq({b.str(U"ab"), builder::rep(b.lit('c'), 0, unbounded)}));
    expect(well_formed(good), "a compiled program is well formed");
    program no_match = good;
    no_match.insts.back().code = op::jump;
    expect(!well_formed(no_match), "a program that does not end in match");
    program wild = good;
    wild.insts.front().next = static_cast<std::uint32_t>(wild.insts.size() + 3);
    expect(!well_formed(wild), "an instruction going past the end");
    program leads = good;
    leads.literal.lead_min = 5;
    leads.literal.lead_max = 2;
    expect(!well_formed(leads), "a literal's lead bounds crossed");
    program folds = good;
    folds.literal.strings.front().front().fold = 'z';
    expect(!well_formed(folds), "a literal's fold outside its class");
    // A literal, a wide counted repeat, a literal: the reverse suffix
    // after a prefix; its prefix comes only before a bounded lead.
    const program prefixed = b.compile(builder::seq({b.lit('x'), builder::rep(b.lit('b'), 20, 40), b.lit('y')}));
    const std::string listing = dump(prefixed);
    expect(listing.ends_with("strategy reverse_suffix prefix <c3> lead c4{20,40} head y\n"),
           "the prefixed split's listing:\n" + listing);
    expect(well_formed(prefixed), "a prefixed split is well formed");
    program unbounded_lead = prefixed;
    unbounded_lead.lead.max = unbounded;
    expect(!well_formed(unbounded_lead), "a prefix before an unbounded lead");
    program prefix_fold = prefixed;
    prefix_fold.lead.prefix.front().fold = 'x';
    expect(!well_formed(prefix_fold), "a prefix tested by anything but its classes");
    expect(windows_in_order({{0, 3}, {5, 9}}), "windows in order");
    expect(!windows_in_order({{0, 3}, {4, 9}}), "touching windows are merged");
    expect(!windows_in_order({{5, 9}, {0, 3}}), "windows out of order");
    expect(!windows_in_order({{4, 3}}), "a window ending before it starts");
}

// Every byte-filter variant this processor has gives the portable one's masks.
void byte_filter_variants() {
    std::uint64_t seed = 88172645463325252ull;
    auto next = [&] {
        seed ^= seed << 13;
        seed ^= seed >> 7;
        seed ^= seed << 17;
        return seed;
    };
    for (int round = 0; round < 40; ++round) {
        byte_filter f;
        for (int bucket = 0; bucket < 8; ++bucket)
            for (int j = 0; j < 3; ++j)
                for (int k = 0; k < 6; ++k) f.add(j, static_cast<std::uint32_t>(next() % 128 + (round % 2) * 100), bucket);
        std::vector<std::uint8_t> text(32 * 8 + 2);
        for (auto& c : text) c = static_cast<std::uint8_t>(next() % (round % 3 == 0 ? 256 : 40) + (round % 3 ? 60 : 0));
        std::uint32_t want[8], got[8];
        f.scan_as(byte_filter::variant::portable, text.data(), 0, 8, want);
        for (auto v : {byte_filter::variant::ssse3, byte_filter::variant::avx2}) {
            if (!byte_filter::available(v)) continue;
            f.scan_as(v, text.data(), 0, 8, got);
            expect(std::equal(std::begin(want), std::end(want), std::begin(got)),
                   "byte filter variant " + std::to_string(static_cast<int>(v)) + " round " + std::to_string(round));
        }
    }
}

}  // namespace

int main() {
    priorities();
    zero_width_iterations();
    assertions();
    successive_matches();
    dead_ends_after_overrun();
    character_classes();
    refusals();
    prefilters();
    table_scan();
    general_paths_agree();
    required_literals_and_search();
    listings();
    work_is_linear();
    table_work_is_linear();
    rescan_work_is_linear();
    checkers_reject_broken_structures();
    byte_filter_variants();
    if (failures != 0) {
        std::fprintf(stderr, "%d failure(s)\n", failures);
        return 1;
    }
    std::printf("ok\n");
    return 0;
}
