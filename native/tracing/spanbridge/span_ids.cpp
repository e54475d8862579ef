// Span and trace ids as zero-padded hexadecimal text.
#include <array>
#include <bit>
#include <cstring>

#include "spanbridge.hpp"

namespace tavrix::spanbridge {

namespace {

// The lowercase hexadecimal digits of high:low, zero-padded to `width`
// (more digits when the value needs them), as format(value, "0<width>x").
ref hex_text(unsigned long long high, unsigned long long low, int width) {
    // Two digits a byte, from a table of the 256 pairs.
    static constexpr auto pairs = [] {
        constexpr char digits[] = "0123456789abcdef";
        std::array<char, 512> table{};
        for (int b = 0; b < 256; ++b) table[2 * b] = digits[b >> 4], table[2 * b + 1] = digits[b & 0xf];
        return table;
    }();
    int length = 16 + (high != 0 ? 16 - std::countl_zero(high) / 4 : 0);
    if (high == 0) length = low != 0 ? 16 - std::countl_zero(low) / 4 : 0;
    const int size = length > width ? length : width;
    ref text = check(PyUnicode_New(size, 127));
    Py_UCS1* const begin = PyUnicode_1BYTE_DATA(text.get());
    // All 32 digits of the 128 bits, then the ones shown, zeros before them.
    char all[32];
    for (int i = 0; i < 8; ++i) std::memcpy(all + 30 - 2 * i, &pairs[2 * ((low >> (8 * i)) & 0xff)], 2);
    if (length > 16)
        for (int i = 0; i < 8; ++i) std::memcpy(all + 14 - 2 * i, &pairs[2 * ((high >> (8 * i)) & 0xff)], 2);
    const int zeros = size - length;
    std::memset(begin, '0', static_cast<std::size_t>(zeros));
    std::memcpy(begin + zeros, all + 32 - length, static_cast<std::size_t>(length));
    return text;
}

// `value`, an int at or above 2**63, as 64 bits: (unsigned long long)-1
// with OverflowError set at 2**64 and above. Where unsigned long has 64
// bits, its reader, which adds up the digits, is used: the unsigned long
// long one writes the value out as bytes first.
unsigned long long unsigned_64(PyObject* value) {
    if constexpr (sizeof(unsigned long) == sizeof(unsigned long long))
        return PyLong_AsUnsignedLong(value);
    else
        return PyLong_AsUnsignedLongLong(value);
}

}  // namespace

ref hex_id(const spanbridge_state& st, PyObject* value, int width) {
    // Ids are non-negative ints of at most 128 bits: written here. Anything
    // else (negative, larger, another type) goes through format().
    if (PyLong_CheckExact(value)) [[likely]] {
        int overflow = 0;
        const long long small = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (small == -1 && PyErr_Occurred()) throw_error();
        if (overflow == 0 && small >= 0) return hex_text(0, static_cast<unsigned long long>(small), width);
        if (overflow > 0 && width == 16) {
            // A span id is at most 64 bits: read as such, without a shift.
            const unsigned long long id = unsigned_64(value);
            if (id != static_cast<unsigned long long>(-1) || !PyErr_Occurred()) return hex_text(0, id, width);
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw_error();
            PyErr_Clear();
        }
        unsigned long long high = 0, low = 0;
        if (overflow > 0 && compat::uint128_of(value, high, low)) return hex_text(high, low, width);
    }
    return check(PyObject_Format(value, width == 32 ? st.hex32.get() : st.hex16.get()));
}

ref trace_hex(spanbridge_state& st, PyObject* trace_id) {
    // The spans of one trace share the SDK's int of its id, and end one
    // after another: the text of the last one is kept with the int (held,
    // so that its address stays its own; an int never changes).
    if (trace_id == st.last_trace_id.get() && trace_id != nullptr) return st.last_trace_text.copy();
    ref text = hex_id(st, trace_id, 32);
    if (PyLong_CheckExact(trace_id)) {
        st.last_trace_id = ref::new_ref(trace_id);
        st.last_trace_text = text.copy();
    }
    return text;
}

}  // namespace tavrix::spanbridge
