// What a program tells about where its matches can start, so that the
// matcher only looks at positions that can.
#pragma once

#include "program.hpp"

namespace tavrix::regex {

// Derived once, when the program is compiled.
[[nodiscard]] prefilter derive_prefilter(const program& prog, const node& pattern);

[[nodiscard]] inline bool set_contains(const program& prog, const char_set& set, code_point c) noexcept {
    if (c < 256) return set.has_latin1(c);
    if (set.wide_all) return true;
    for (std::uint32_t cls : set.wide_classes)
        if (prog.classes[cls].contains(c)) return true;
    return false;
}

}  // namespace tavrix::regex
