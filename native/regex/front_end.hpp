// From an `re.Pattern` to a program, through the interpreter's own parse
// of the pattern (`re._parser.parse`) for its structure and the
// interpreter's own compiler (`re._compiler._compile`) for every character
// item and assertion, so that syntax, flags and character semantics are
// read exactly as `re` reads them.
#pragma once

#include <memory>
#include <string>

#include "../support/errors.hpp"
#include "program.hpp"

namespace tavrix::regex {

struct front_end_result {
    std::shared_ptr<const program> prog;  // null when refused
    std::string refusal;
    bool lasting = true;  // whether the refusal holds on any thread (else: this stack was too small)
};

class vocabulary;

// Reads patterns as compile_pattern does, the interpreter's vocabulary
// (its opcode numbers, flags and compiler functions) read once for all of
// them: what a whole table's compile uses. Holds Python objects only while
// it lives (for the one build).
class pattern_reader {
public:
    explicit pattern_reader(PyObject* pattern_type);
    ~pattern_reader();
    pattern_reader(const pattern_reader&) = delete;
    pattern_reader& operator=(const pattern_reader&) = delete;

    [[nodiscard]] front_end_result compile(PyObject* pattern);

private:
    ref pattern_type_;
    std::unique_ptr<vocabulary> words_;
};

// Compiles `pattern` (any object; only an exact `re.Pattern` of a str
// pattern within the supported syntax gets a program). Errors the
// interpreter raises while reading the pattern make it a refusal, except
// those that must reach the caller (KeyboardInterrupt, MemoryError, ...),
// which are thrown as `error_already_set`.
[[nodiscard]] front_end_result compile_pattern(PyObject* pattern_type, PyObject* pattern);

}  // namespace tavrix::regex
