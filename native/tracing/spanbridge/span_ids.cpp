// Span and trace ids as zero-padded hexadecimal text.
#include <bit>

#include "spanbridge.hpp"

namespace tavrix::spanbridge {

namespace {

// The lowercase hexadecimal digits of high:low, zero-padded to `width`
// (more digits when the value needs them), as format(value, "0<width>x").
ref hex_text(unsigned long long high, unsigned long long low, int width) {
    static constexpr char digits[] = "0123456789abcdef";
    int length = 16 + (high != 0 ? 16 - std::countl_zero(high) / 4 : 0);
    if (high == 0) length = low != 0 ? 16 - std::countl_zero(low) / 4 : 0;
    const int size = length > width ? length : width;
    ref text = check(PyUnicode_New(size, 127));
    Py_UCS1* out = PyUnicode_1BYTE_DATA(text.get()) + size;
    // Written from the last digit back; zeros fill the rest.
    for (int i = 0; i < length && i < 16; ++i, low >>= 4) *--out = static_cast<Py_UCS1>(digits[low & 0xf]);
    for (int i = 16; i < length; ++i, high >>= 4) *--out = static_cast<Py_UCS1>(digits[high & 0xf]);
    while (out != PyUnicode_1BYTE_DATA(text.get())) *--out = '0';
    return text;
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
            const unsigned long long id = PyLong_AsUnsignedLongLong(value);
            if (id != static_cast<unsigned long long>(-1) || !PyErr_Occurred()) return hex_text(0, id, width);
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw_error();
            PyErr_Clear();
        }
        unsigned long long high = 0, low = 0;
        if (overflow > 0 && compat::uint128_of(value, high, low)) return hex_text(high, low, width);
    }
    return check(PyObject_Format(value, width == 32 ? st.hex32.get() : st.hex16.get()));
}

}  // namespace tavrix::spanbridge
