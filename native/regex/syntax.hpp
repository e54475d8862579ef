// The structure of a pattern, as the front end reads it from the
// interpreter's own parse: what the compiler turns into a program. Only the
// whole match is ever reported, so groups leave no trace here.
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

namespace tavrix::regex {

// Zero-width assertions, in the interpreter's matcher's meanings.
enum class assertion : std::uint8_t {
    beginning,         // ^ (without MULTILINE), \A
    beginning_line,    // ^ with MULTILINE
    end,               // $ without MULTILINE: the end, or before a final line feed
    end_line,          // $ with MULTILINE
    end_string,        // \Z
    boundary,          // \b with ASCII
    non_boundary,      // \B with ASCII
    uni_boundary,      // \b
    uni_non_boundary,  // \B
    count_,
};

inline constexpr std::uint32_t unbounded = std::numeric_limits<std::uint32_t>::max();

struct node {
    enum class kind : std::uint8_t {
        empty,      // matches the empty string
        character,  // one character of class `cls`
        assert,     // `at`
        concat,     // children in order
        alternate,  // the first child that leads to a match, in order
        repeat,     // children[0], min..max times (max may be `unbounded`), greedy or lazy
    };

    kind type = kind::empty;
    std::uint32_t cls = 0;
    assertion at = assertion::beginning;
    std::uint32_t min = 0;
    std::uint32_t max = 0;
    bool greedy = true;
    std::vector<node> children;

    static node character(std::uint32_t cls) {
        node n;
        n.type = kind::character;
        n.cls = cls;
        return n;
    }
    static node assert_at(assertion at) {
        node n;
        n.type = kind::assert;
        n.at = at;
        return n;
    }
    static node sequence(kind k, std::vector<node> children) {
        node n;
        n.type = k;
        n.children = std::move(children);
        return n;
    }
    static node repeat(node body, std::uint32_t min, std::uint32_t max, bool greedy) {
        node n;
        n.type = kind::repeat;
        n.min = min;
        n.max = max;
        n.greedy = greedy;
        n.children.push_back(std::move(body));
        return n;
    }
};

}  // namespace tavrix::regex
