// The interpreter's own keyword suggestion ("Did you mean ...?"), as 3.13
// makes it for Python functions: the candidate with the smallest weighted
// edit distance, if close enough.
#include "keyword_suggestion.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "errors.hpp"

#if PY_VERSION_HEX >= 0x030D0000

namespace tavrix {

namespace {

constexpr std::size_t move_cost = 2;
constexpr std::size_t case_cost = 1;
constexpr std::size_t max_string_size = 40;

std::size_t substitution_cost(char a, char b) {
    if ((a & 31) != (b & 31)) return move_cost;
    if (a == b) return 0;
    if ('A' <= a && a <= 'Z') a = static_cast<char>(a + ('a' - 'A'));
    if ('A' <= b && b <= 'Z') b = static_cast<char>(b + ('a' - 'A'));
    return a == b ? case_cost : move_cost;
}

std::size_t levenshtein(const char* a, std::size_t a_size, const char* b, std::size_t b_size, std::size_t max_cost) {
    while (a_size && b_size && a[0] == b[0]) ++a, ++b, --a_size, --b_size;
    while (a_size && b_size && a[a_size - 1] == b[b_size - 1]) --a_size, --b_size;
    if (a_size == 0 || b_size == 0) return (a_size + b_size) * move_cost;
    if (a_size > max_string_size || b_size > max_string_size) return max_cost + 1;
    if (b_size < a_size) std::swap(a, b), std::swap(a_size, b_size);
    if ((b_size - a_size) * move_cost > max_cost) return max_cost + 1;
    std::size_t buffer[max_string_size];
    std::size_t tmp = move_cost;
    for (std::size_t i = 0; i < a_size; ++i, tmp += move_cost) buffer[i] = tmp;
    std::size_t result = 0;
    for (std::size_t bi = 0; bi < b_size; ++bi) {
        const char code = b[bi];
        std::size_t distance = result = bi * move_cost;
        std::size_t minimum = SIZE_MAX;
        for (std::size_t index = 0; index < a_size; ++index) {
            const std::size_t substitute = distance + substitution_cost(code, a[index]);
            distance = buffer[index];
            const std::size_t insert_delete = std::min(result, distance) + move_cost;
            result = std::min(insert_delete, substitute);
            buffer[index] = result;
            minimum = std::min(minimum, result);
        }
        if (minimum > max_cost) return max_cost + 1;
    }
    return result;
}

// The UTF-8 text of a name for the edit distance, or null when it has none
// (a lone surrogate): the interpreter then makes no suggestion.
const char* suggestion_text(PyObject* name, Py_ssize_t* size) {
    const char* text = PyUnicode_AsUTF8AndSize(name, size);
    if (text == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw_error();
        PyErr_Clear();
    }
    return text;
}

}  // namespace

PyObject* suggest_keyword(PyObject* keyword, PyObject* names) {
    Py_ssize_t name_size = 0;
    const char* name = suggestion_text(keyword, &name_size);
    if (name == nullptr) return nullptr;
    PyObject* best = nullptr;
    auto best_distance = static_cast<std::size_t>(PY_SSIZE_T_MAX);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); ++i) {
        PyObject* item = PyTuple_GET_ITEM(names, i);
        const int same = PyUnicode_Compare(keyword, item);
        if (same == -1 && PyErr_Occurred()) throw_error();
        if (same == 0) continue;
        Py_ssize_t item_size = 0;
        const char* text = suggestion_text(item, &item_size);
        if (text == nullptr) return nullptr;
        std::size_t max_distance = static_cast<std::size_t>(name_size + item_size + 3) * move_cost / 6;
        max_distance = std::min(max_distance, best_distance - 1);
        const std::size_t d = levenshtein(name, static_cast<std::size_t>(name_size), text,
                                          static_cast<std::size_t>(item_size), max_distance);
        if (d > max_distance) continue;
        if (best == nullptr || d < best_distance) best = item, best_distance = d;
    }
    return best;
}

}  // namespace tavrix

#endif
